// The PDF engine as the intake sees it: a document loaded from memory, its page sizes, a
// walk over one page's drawn objects and a white raster of one page. The engine library's
// own API lives in one source file behind this interface (it is private to that library
// and changes between its versions).
//
// Coordinates of the walk are PDF points of the displayed page: origin at its top-left
// corner, y downward, /Rotate and the crop box applied. Multiplying by dpi / 72 gives the
// pixels of the engine's own raster at that resolution, so vector boxes and rendered ink
// always agree, on rotated and cropped pages too.
//
// Not thread-safe: callers hold the process-wide PDF mutex (pdf_page_access.cpp's) around
// every use, loading and destruction included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vesk::pdf_engine {

// A hostile page cannot make the walk or the renderer hold more path points than this.
inline constexpr std::uint64_t kMaxPageSegments = 4'000'000;
// Forms drawn inside forms deeper than this refuse the page.
inline constexpr int kMaxFormNesting = 32;
// The engine offers its abort check about every eleven operators; this bounds a page's
// content (a path that is built but never painted included) to roughly 22 million.
inline constexpr std::uint64_t kMaxAbortChecks = 2'000'000;
// Inflated content the engine may parse for one page: its content streams, and every form,
// pattern cell, Type 3 glyph and annotation appearance as often as it is drawn.
inline constexpr std::uint64_t kMaxPageContentBytes = std::uint64_t{64} << 20;
// Sub-paths of the path being built (the engine spends about 400 bytes on each); a path's
// points count towards kMaxPageSegments while it is built, not only when it is painted.
inline constexpr int kMaxPathSubpaths = 250'000;

// Load error codes (the texts are pdf_error_text's).
inline constexpr int kErrorFormat = 3;
inline constexpr int kErrorPassword = 4;

struct Point {
    double x = 0.0;
    double y = 0.0;
};

// One text-showing operator (Tj, TJ, ' or ").
struct TextObject {
    std::u32string text;  // one code point per mapped character; U+FFFD where the font has no mapping
    int render_mode = 0;  // 0..7 as set by Tr
    bool has_box = false;  // false when no glyph was shown
    double left = 0.0, top = 0.0, right = 0.0, bottom = 0.0;  // union of the glyph boxes
};

enum class PathElementType : std::uint8_t { move_to, line_to, bezier_to };

// A painted path as move-to, line-to and Bezier points (three bezier_to elements per curve:
// two control points and the end); close marks the element that closes its sub-path.
struct PathElement {
    PathElementType type = PathElementType::move_to;
    Point point;
    bool close = false;
};

struct PathObject {
    std::vector<PathElement> elements;
    bool filled = false;
    bool stroked = false;
};

// What the walk reports, in drawing order. depth is 0 for objects of the page itself and
// grows by one inside each form; a form is reported by form() and not as an object.
class PageVisitor {
public:
    virtual ~PageVisitor() = default;
    virtual void text(const TextObject& object, int depth) = 0;
    virtual void path(const PathObject& object, int depth) = 0;
    virtual void image(int depth) = 0;
    virtual void other(int depth) = 0;  // shadings and tiling patterns
    virtual void form(int depth) = 0;
};

struct PageSize {
    double width_pt = 0.0;  // after /Rotate
    double height_pt = 0.0;
};

// Receives the raster one row at a time: row y of width pixels, 4 bytes each in the order
// blue, green, red, alpha (alpha always 255).
using RowSink = std::function<void(int y, const std::uint8_t* bgra)>;

class Document {
public:
    virtual ~Document() = default;
    // From the page tree's /Count (bounded by the object count); no page is loaded.
    virtual int page_count() = 0;
    // Pages are 0-based here. Throws std::invalid_argument when the page cannot be read.
    virtual PageSize page_size(int index) = 0;
    // Throws std::invalid_argument when the page breaks a limit above (segments, sub-paths,
    // form nesting, operators, content bytes); the visitor may have seen part of the page.
    virtual void walk_page(int index, PageVisitor& visitor) = 0;
    // A width x height raster at dpi on white. Throws std::runtime_error "PDF engine could not
    // allocate the page bitmap" when the engine cannot, std::invalid_argument as walk_page.
    virtual void render_page(int index, double dpi, int width, int height, const RowSink& sink) = 0;
};

// Loads a document from bytes that must outlive it; no password (an empty user password
// opens). Null with error_code set (kErrorFormat, kErrorPassword, ...) on failure.
std::unique_ptr<Document> load_document(const std::string& bytes, int& error_code);

}  // namespace vesk::pdf_engine
