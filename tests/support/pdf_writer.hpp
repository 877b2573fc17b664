// A small deterministic PDF writer for tests and benchmarks: PDF-1.4, uncompressed
// streams unless a page asks for a Flate-compressed content stream, text in WinAnsi-encoded Helvetica (one BT ... Tj ET
// per label, or one Tj per glyph), stroked or filled rectangles and lines, an optional form XObject with its own
// matrix, an optional inline image, /Rotate and a crop box per page, any number of pages,
// and optional encryption. The same spec always gives the same bytes, and the output holds
// printable ASCII only unless a stream is compressed.
//
// Coordinates are PDF points in the page's own space: origin at the bottom-left corner of
// the media box, y upward. At 300 dpi one point is 300 / 72 pixels; kPlatePxToPt goes back.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vesk::test {

struct PdfLabel {
    // UTF-8 of code points up to U+00FF, written as WinAnsi bytes ("Ø", "±", ...); U+0081
    // shows a glyph that reads as U+FFFD.
    std::string text;
    double x = 0.0;    // start of the baseline
    double y = 0.0;
    double size = 8.0;
    int render_mode = 0;        // Tr: 3 is invisible
    bool split_glyphs = false;  // one Tj (one text object) per character
};

struct PdfRect {
    double x = 0.0;  // lower-left corner
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
    bool fill = false;  // both: one "B" operator
    bool stroke = true;
};

struct PdfLine {
    double x1 = 0.0, y1 = 0.0, x2 = 0.0, y2 = 0.0;
};

// Drawn through "/Fm1 Do" after the page's own content, with /Matrix [a b c d e f].
// nesting > 1 wraps it in that many forms in all, each drawing the next (every one with
// the matrix); cycle makes the innermost form draw itself as well.
struct PdfForm {
    std::array<double, 6> matrix = {1.0, 0.0, 0.0, 1.0, 0.0, 0.0};
    std::vector<PdfLabel> labels;
    std::vector<PdfRect> rects;
    int nesting = 1;
    bool cycle = false;
    std::uint64_t blank_padding = 0;  // blanks after the innermost form's content
};

// A stream object in the page's resources under /<category> /<name> (a category left empty
// writes the object without naming it there). "{<name>}" in the dictionary refers to an
// earlier resource of the page.
struct PdfResource {
    std::string category;  // "XObject", "Pattern", "Shading" or empty
    std::string name;
    std::string dictionary;  // entries besides /Length and /Filter
    std::string data;
    bool deflate = false;
    std::uint64_t blank_padding = 0;  // after data, compressed with it when deflated
};

struct PdfPageSpec {
    double width = 288.0;  // media box [0 0 width height]
    double height = 216.0;
    std::optional<std::array<double, 4>> crop_box;  // [x0 y0 x1 y1]
    int rotate = 0;
    double line_width = 0.72;  // 3 px at 300 dpi
    std::vector<PdfLabel> labels;
    std::vector<PdfRect> rects;
    std::vector<PdfLine> lines;
    std::optional<PdfForm> form;
    bool inline_image = false;   // a 2 x 2 grey image, 20 pt square, at (10, 10)
    std::string extra_content;   // raw operators appended to the content stream
    std::vector<PdfResource> resources;
    // The content stream Flate-compressed, then followed by this many blanks (which
    // compress to about a thousandth of their size).
    bool deflate = false;
    std::uint64_t blank_padding = 0;
};

enum class PdfEncryption {
    none,
    empty_user_password,  // RC4 40-bit, owner password "owner", opens without a password
    user_password,        // the same with user password "user"
    bad_dictionary,       // an /Encrypt dictionary no security handler accepts
};

struct PdfSpec {
    std::vector<PdfPageSpec> pages = {PdfPageSpec{}};
    PdfEncryption encryption = PdfEncryption::none;
    bool share_content = false;  // pages with the same content draw one stream object
};

std::string write_pdf(const PdfSpec& spec);
void write_pdf_file(const std::filesystem::path& path, const PdfSpec& spec);

// --- The checked plate drawing (80 x 60 x 10 mm), shared by the intake and pilot tests. ---
//
// One page of 288 x 216 pt, which is 1200 x 900 px at 300 dpi. In top-left pixels at 300
// dpi: the front view is a 400 x 300 rectangle at (200, 250) and the top view a 400 x 50
// rectangle at (200, 760), 3-px strokes. 8-pt labels, each one text object: "80", "60",
// "80", "60" in a column at x 900 (baselines 310, 380, 450, 520; inside the raster
// annotation column), "80", "10", "80", "10" in one row with baseline 862 at x 250, 330,
// 470, 550 (below y 738, outside the raster front and annotation regions), and
// "UNITS: MM" at x 900, baseline 720. No label shares a row or column with the outline,
// and the annotation column holds no "1". The vector reading order gives exactly the
// plate template's order: front width, height, width, height; top width, thickness,
// width, thickness.
inline constexpr double kPlatePxToPt = 72.0 / 300.0;
PdfSpec plate_pdf();
// The same drawing in the top-left corner of a larger sheet (A4 is 595 x 842 pt).
PdfSpec plate_pdf_on_sheet(double width, double height);
// The readings' values in reading order.
std::vector<double> plate_pdf_values();

}  // namespace vesk::test
