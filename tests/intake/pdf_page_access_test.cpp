// PDF page access on generated files: refusals with their exact messages, counts by kind,
// coordinates that agree with the rendered ink, and the limits that protect the process.
#include "intake/pdf_page_access.hpp"

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "intake/image_io.hpp"
#include "intake/raster_intake_internal.hpp"
#include "support/expect_error.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

using test::PdfEncryption;
using test::PdfLabel;
using test::PdfPageSpec;
using test::PdfRect;
using test::PdfSpec;

class PdfPageAccessTest : public ::testing::Test {
protected:
    std::filesystem::path write(const PdfSpec& spec, const std::string& name = "in.pdf") {
        const std::filesystem::path path = dir_.path() / name;
        test::write_pdf_file(path, spec);
        return path;
    }
    std::filesystem::path write_page(const PdfPageSpec& page) { return write(PdfSpec{{page}}); }
    std::filesystem::path out(const std::string& name) const { return dir_.path() / name; }

    test::TempDir dir_{"vesk-pdf"};
};

PdfPageSpec labelled_page() {
    PdfPageSpec page;
    page.labels = {PdfLabel{"42", 40, 150}, PdfLabel{"UNITS: MM", 120, 60, 10}};
    return page;
}

TEST_F(PdfPageAccessTest, ResolutionAndPageIndexRefusals) {
    const std::filesystem::path pdf = write_page(labelled_page());
    for (const double dpi : {35.9, 600.1, std::nan(""), std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(dpi);
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { extract_pdf_page_vectors(pdf, 0, dpi); }),
                  "PDF text coordinate DPI must be between 36 and 600");
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { render_pdf_page(pdf, 0, dpi, out("a.png")); }),
                  "PDF raster DPI must be between 36 and 600");
    }
    EXPECT_EQ(extract_pdf_page_vectors(pdf, 0, 36.0).width_px, 144);
    const PdfRasterResult high = render_pdf_page(pdf, 0, 600.0, out("600.png"));
    EXPECT_EQ(high.width_px, 2400);
    EXPECT_EQ(read_png_header(out("600.png"))->height, 1800u);
    EXPECT_EQ(test::error_message<std::out_of_range>([&] { extract_pdf_page_vectors(pdf, -1, 72.0); }),
              "PDF page index -1 is outside [0, 1)");
    EXPECT_EQ(test::error_message<std::out_of_range>([&] { extract_pdf_page_vectors(pdf, 1, 72.0); }),
              "PDF page index 1 is outside [0, 1)");
    EXPECT_EQ(test::error_message<std::out_of_range>([&] { render_pdf_page(pdf, 1, 72.0, out("b.png")); }),
              "PDF page index 1 is outside [0, 1)");
    EXPECT_FALSE(std::filesystem::exists(out("a.png")) || std::filesystem::exists(out("b.png")));
}

TEST_F(PdfPageAccessTest, LoadRefusals) {
    const std::filesystem::path empty = out("empty.pdf");
    test::write_file(empty, "");
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(empty); }),
              "PDF input is empty: " + empty.string());
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { inspect_pdf_pages(out("missing.pdf")); }),
              "Cannot open PDF input: " + out("missing.pdf").string());
    const std::filesystem::path garbage = out("garbage.pdf");
    test::write_file(garbage, "this is not a PDF file at all\n");
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(garbage); }),
              "Cannot load PDF input '" + garbage.string() + "': format error");
    for (const PdfEncryption encryption : {PdfEncryption::user_password, PdfEncryption::bad_dictionary}) {
        PdfSpec spec{{labelled_page()}, encryption};
        const std::filesystem::path path = write(spec, "locked.pdf");
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { extract_pdf_page_vectors(path, 0, 72.0); }),
                  "Cannot load PDF input '" + path.string() + "': password required or incorrect");
    }
    // An empty user password opens, and the decrypted text reads as written.
    const PdfPageVectors open =
        extract_pdf_page_vectors(write(PdfSpec{{labelled_page()}, PdfEncryption::empty_user_password}), 0, 72.0);
    ASSERT_EQ(open.texts.size(), 2u);
    EXPECT_EQ(open.texts[1].text, "UNITS: MM");
    // Too large: refused from the size on disk, before anything is read.
    const std::filesystem::path huge = out("huge.pdf");
    test::write_file(huge, "%PDF-1.4\n");
    std::filesystem::resize_file(huge, kMaxPdfFileBytes + 1);
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(huge); }),
              "PDF input is larger than 268435456 bytes: " + huge.string());
    EXPECT_EQ(pdf_error_text(5), "unsupported security scheme");
    EXPECT_EQ(pdf_error_text(9), "unrecognized error code 9");
}

TEST_F(PdfPageAccessTest, InspectionCountsByKind) {
    PdfSpec spec;
    PdfPageSpec& first = spec.pages[0];
    first.labels = {PdfLabel{"12", 20, 150}, PdfLabel{"hidden", 20, 100, 8, 3}, PdfLabel{"", 20, 80},
                    PdfLabel{"\xC2\x81", 20, 60}};
    first.rects = {PdfRect{100, 100, 50, 30}};
    first.inline_image = true;
    first.form = test::PdfForm{{1, 0, 0, 1, 0, 0}, {PdfLabel{"7", 200, 50}}, {PdfRect{200, 20, 10, 10}}};
    PdfPageSpec second;
    second.width = 612;
    second.height = 792;
    second.rotate = 90;
    spec.pages.push_back(second);
    const PdfInspection inspection = inspect_pdf_pages(write(spec));
    ASSERT_EQ(inspection.page_count, 2);
    ASSERT_EQ(inspection.pages.size(), 2u);
    EXPECT_TRUE(inspection.any_page_has_vector_content);
    const PdfPageSummary& a = inspection.pages[0];
    EXPECT_EQ(a.text_objects, 5u);  // four on the page, one inside the form
    EXPECT_EQ(a.path_objects, 2u);
    EXPECT_EQ(a.image_objects, 1u);
    EXPECT_EQ(a.other_objects, 0u);
    EXPECT_EQ(a.object_count, 7);  // the form counts once, not its contents
    EXPECT_EQ(a.invisible_text_objects, 1u);
    EXPECT_EQ(a.undecodable_text_objects, 2u);  // the empty string and the unmapped code
    EXPECT_TRUE(a.has_vector_content);
    const PdfPageSummary& b = inspection.pages[1];
    EXPECT_EQ(b.page_index, 1u);
    EXPECT_EQ(b.width_pt, 792.0);  // after /Rotate
    EXPECT_EQ(b.height_pt, 612.0);
    EXPECT_EQ(b.object_count, 0);
    EXPECT_FALSE(b.has_vector_content);
}

TEST_F(PdfPageAccessTest, FormMatrixShiftsBoxesAndRectanglesCloseOnce) {
    PdfPageSpec plain;
    plain.labels = {PdfLabel{"25", 30, 100}};
    PdfPageSpec shifted;
    shifted.form = test::PdfForm{{1, 0, 0, 1, 100, 0}, {PdfLabel{"25", 30, 100}}, {}};
    const double dpi = 150.0;
    const PdfPageVectors a = extract_pdf_page_vectors(write(PdfSpec{{plain}}, "a.pdf"), 0, dpi);
    const PdfPageVectors b = extract_pdf_page_vectors(write(PdfSpec{{shifted}}, "b.pdf"), 0, dpi);
    ASSERT_EQ(a.texts.size(), 1u);
    ASSERT_EQ(b.texts.size(), 1u);
    EXPECT_NEAR(b.texts[0].bbox.x - a.texts[0].bbox.x, 100.0 * dpi / 72.0, 1e-9);
    EXPECT_EQ(b.texts[0].bbox.y, a.texts[0].bbox.y);

    // A stroked rectangle and a filled-and-stroked one: four segments each, one path index
    // each, the second merged into one object that is both.
    PdfPageSpec rects;
    rects.rects = {PdfRect{10, 10, 20, 30}, PdfRect{50, 10, 20, 30, true, true}};
    const PdfPageVectors r = extract_pdf_page_vectors(write(PdfSpec{{rects}}, "r.pdf"), 0, 72.0);
    EXPECT_EQ(r.page.path_objects, 2u);
    ASSERT_EQ(r.segments.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(r.segments[i].path_index, i / 4);
        EXPECT_EQ(r.segments[i].filled, i >= 4);
        EXPECT_TRUE(r.segments[i].stroked);
    }
    // Page y runs downward: the first rectangle's bottom edge lies at 216 - 10.
    EXPECT_EQ(r.segments[0].x1, 10.0);
    EXPECT_EQ(r.segments[0].y1, 206.0);
    // Curves are flattened into 4 to 64 pieces.
    PdfPageSpec curve;
    curve.extra_content = "10 10 m 10 200 270 200 270 10 c S\n";
    const PdfPageVectors c = extract_pdf_page_vectors(write(PdfSpec{{curve}}, "c.pdf"), 0, 300.0);
    EXPECT_EQ(c.segments.size(), 64u);
    EXPECT_NEAR(c.segments.back().x2, 270.0 * 300.0 / 72.0, 1e-9);
}

TEST_F(PdfPageAccessTest, BoxesClampToTheRaster) {
    PdfPageSpec page;
    page.labels = {PdfLabel{"88", -5, 100, 20}, PdfLabel{"99", 400, 100, 20}, PdfLabel{"77", 100, 210, 20}};
    const PdfPageVectors v = extract_pdf_page_vectors(write_page(page), 0, 72.0);
    ASSERT_EQ(v.texts.size(), 2u);  // "99" lies wholly right of the page
    EXPECT_EQ(v.texts[0].text, "88");
    EXPECT_EQ(v.texts[0].bbox.x, 0.0);
    EXPECT_EQ(v.texts[1].text, "77");
    EXPECT_EQ(v.texts[1].bbox.y, 0.0);
    EXPECT_GT(v.texts[1].bbox.height, 0.0);
}

// Every dark pixel of a page of labels lies in some text box (give or take a pixel), and
// every box holds ink.
void expect_boxes_on_ink(const PdfPageVectors& vectors, const std::filesystem::path& png) {
    const RasterImage image = load_raster(png);
    ASSERT_EQ(image.width, vectors.width_px);
    ASSERT_EQ(image.height, vectors.height_px);
    std::vector<int> ink(vectors.texts.size(), 0);
    int stray = 0;
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x) {
            if (pixel_luma(image.at(x, y)) >= 128.0) continue;
            bool inside = false;
            for (std::size_t i = 0; i < vectors.texts.size(); ++i) {
                const SourceBox& b = vectors.texts[i].bbox;
                // Pixel centres; the substituted font may overshoot the ascent by a fraction.
                if (x + 0.5 >= b.x - 1 && x + 0.5 <= b.x + b.width + 1 && y + 0.5 >= b.y - 1 &&
                    y + 0.5 <= b.y + b.height + 1) {
                    ++ink[i];
                    inside = true;
                }
            }
            stray += inside ? 0 : 1;
        }
    }
    EXPECT_EQ(stray, 0);
    for (std::size_t i = 0; i < ink.size(); ++i) EXPECT_GT(ink[i], 20) << vectors.texts[i].text;
}

TEST_F(PdfPageAccessTest, RotatedAndCroppedPagesPutBoxesOnTheirInk) {
    struct Case {
        int rotate;
        bool crop;
    };
    for (const Case c : {Case{0, false}, Case{90, false}, Case{180, true}, Case{270, true}}) {
        SCOPED_TRACE(c.rotate);
        PdfPageSpec page = labelled_page();
        page.labels.push_back(PdfLabel{"8.5", 200, 180, 12});
        page.rotate = c.rotate;
        if (c.crop) page.crop_box = std::array<double, 4>{15, 20, 270, 200};
        const std::filesystem::path pdf = write_page(page);
        const PdfPageVectors vectors = extract_pdf_page_vectors(pdf, 0, 150.0);
        ASSERT_EQ(vectors.texts.size(), 3u);
        render_pdf_page(pdf, 0, 150.0, out("page.png"));
        expect_boxes_on_ink(vectors, out("page.png"));
    }
}

TEST_F(PdfPageAccessTest, RendersAreExactAndRepeatable) {
    PdfPageSpec letter = labelled_page();
    letter.width = 612;
    letter.height = 792;
    letter.rects = {PdfRect{100, 100, 300, 200}};
    const std::filesystem::path pdf = write_page(letter);
    const PdfRasterResult first = render_pdf_page(pdf, 0, 300.0, out("nested/dir/one.png"));
    EXPECT_EQ(first.width_px, 2550);
    EXPECT_EQ(first.height_px, 3300);
    EXPECT_EQ(first.page.path_objects, 1u);
    EXPECT_EQ(first.output, out("nested/dir/one.png"));
    const auto header = read_png_header(first.output);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 2550u);
    EXPECT_EQ(header->height, 3300u);
    render_pdf_page(pdf, 0, 300.0, out("two.png"));
    EXPECT_EQ(test::read_file(out("nested/dir/one.png")), test::read_file(out("two.png")));
    EXPECT_EQ(pdf_pixel_size(612, 300), 2550);
    EXPECT_EQ(pdf_pixel_size(612.01, 300), 2551);
    EXPECT_EQ(test::error_message<std::invalid_argument>([] { pdf_pixel_size(1e12, 600); }),
              "Requested PDF raster dimensions are outside integer range");
}

// A page drawing `glyphs` glyphs of a Type 3 font and `fills` fills of a tiling pattern,
// whose glyph procedure and pattern cell each end in 1 MiB of blanks. No cross-reference
// table: the engine rebuilds it.
std::string glyph_and_pattern_pdf(int glyphs, int fills) {
    const auto stream = [](const std::string& dictionary, const std::string& data) {
        return "<< " + dictionary + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
    };
    const std::string pad(std::size_t{1} << 20, ' ');
    std::string content = "BT /T3 20 Tf 10 150 Td (" + std::string(static_cast<std::size_t>(glyphs), 'a') + ") Tj ET\n";
    for (int i = 0; i < fills; ++i) content += "/Pattern cs /P1 scn 20 20 100 100 re f\n";
    const std::string objects[] = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Resources << /Font << /T3 4 0 R >> /Pattern << /P1 "
        "6 0 R >> >> /Contents 7 0 R >>",
        "<< /Type /Font /Subtype /Type3 /FontBBox [0 0 10 10] /FontMatrix [0.1 0 0 0.1 0 0] /CharProcs << /a 5 0 R "
        ">> /Encoding << /Type /Encoding /Differences [97 /a] >> /FirstChar 97 /LastChar 97 /Widths [12] >>",
        stream("", "12 0 d0 0 0 10 10 re f" + pad),
        stream("/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 10 10] /XStep 10 /YStep 10 /Resources << >>",
               "0 0 5 5 re f" + pad),
        stream("", content)};
    std::string pdf = "%PDF-1.4\n";
    for (std::size_t i = 0; i < std::size(objects); ++i) {
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    return pdf + "trailer\n<< /Root 1 0 R >>\n%%EOF\n";
}

TEST_F(PdfPageAccessTest, HostilePagesAreRefused) {
    // Each side fits an int, the raster would need 2^33 pixels: refused before allocating.
    PdfPageSpec vast;
    vast.width = 14400;
    vast.height = 14400;
    const std::filesystem::path big = write_page(vast);
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { render_pdf_page(big, 0, 600.0, out("big.png")); }),
              "PDF engine could not allocate the page bitmap");
    EXPECT_EQ(inspect_pdf_pages(big).pages[0].width_pt, 14400.0);

    // Forms nested past the bound, and a form that draws itself.
    PdfPageSpec nested;
    nested.form = test::PdfForm{{1, 0, 0, 1, 0, 0}, {PdfLabel{"5", 10, 10}}, {}, 40, false};
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(write_page(nested)); }),
              "PDF page 0 nests forms deeper than 32");
    nested.form->nesting = 30;
    EXPECT_EQ(inspect_pdf_pages(write_page(nested)).pages[0].text_objects, 1u);
    PdfPageSpec cycle;
    cycle.form = test::PdfForm{{1, 0, 0, 1, 0, 0}, {PdfLabel{"5", 10, 10}}, {}, 1, true};
    const std::filesystem::path cyclic = write_page(cycle);
    try {
        EXPECT_EQ(inspect_pdf_pages(cyclic).pages[0].text_objects, 1u);
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), "PDF page 0 draws a form inside itself");
    }

    // Over four million path segments on one page: points the engine holds (filled paths
    // of twenty rectangles), and segments that flattened curves would emit.
    std::string rectangles;
    for (int i = 0; i < 40'001; ++i) {
        for (int k = 0; k < 20; ++k) rectangles += "0 0 1 1 re ";
        rectangles += "f\n";
    }
    PdfPageSpec dense;
    dense.extra_content = rectangles;
    const std::filesystem::path many = write_page(dense);
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { render_pdf_page(many, 0, 36.0, out("many.png")); }),
              "PDF page 0 holds more than 4000000 path segments");
    // A path is bounded while it is built: sub-paths, and points before it is painted.
    dense.extra_content = "";
    for (int i = 0; i < 250'100; ++i) dense.extra_content += "0 0 1 1 re\n";
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(write_page(dense)); }),
              "PDF page 0 holds a path of more than 250000 sub-paths");
    dense.extra_content = "0 0 m\n";
    for (int i = 0; i < 1'333'400; ++i) dense.extra_content += "0 0 1 1 0 1 c\n";
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(write_page(dense)); }),
              "PDF page 0 holds more than 4000000 path segments");
    // Content bytes count a form as often as it is drawn: 70 draws of a 1 MiB form.
    PdfPageSpec repeated;
    repeated.form = test::PdfForm{};
    repeated.form->blank_padding = std::uint64_t{1} << 20;
    for (int i = 0; i < 70; ++i) repeated.extra_content += "/Fm1 Do\n";
    const std::filesystem::path drawn = write_page(repeated);
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { inspect_pdf_pages(drawn); }),
              "PDF page 0 holds more than 67108864 bytes of content");
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { render_pdf_page(drawn, 0, 36.0, out("d.png")); }),
              "PDF page 0 holds more than 67108864 bytes of content");
    // So do Type 3 glyph procedures and pattern cells when the page is rendered.
    const std::filesystem::path few = out("few.pdf");
    test::write_file(few, glyph_and_pattern_pdf(4, 1));
    EXPECT_EQ(render_pdf_page(few, 0, 72.0, out("few.png")).width_px, 200);
    for (const auto& [glyphs, fills] : {std::pair{70, 1}, std::pair{1, 70}}) {
        const std::filesystem::path hostile = out("hostile.pdf");
        test::write_file(hostile, glyph_and_pattern_pdf(glyphs, fills));
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { render_pdf_page(hostile, 0, 72.0, out("h.png")); }),
                  "PDF page 0 holds more than 67108864 bytes of content");
    }
    std::string curves = "0 0 m\n";
    for (int i = 0; i < 62'501; ++i) curves += "0 300 300 300 300 0 c 300 300 0 300 0 0 c\n";
    PdfPageSpec curvy;
    curvy.extra_content = curves + "S\n";
    EXPECT_EQ(
        test::error_message<std::invalid_argument>([&] { extract_pdf_page_vectors(write_page(curvy), 0, 300.0); }),
        "PDF page 0 holds more than 4000000 path segments");
}

}  // namespace
}  // namespace vesk
