// Deterministic test drawings: a small vector scene (lines, rings, discs, 5x7 digits, the
// millimetre marker, a sheet frame) rendered to a grey raster at any size, optionally
// rotated (point-sampled or anti-aliased) on grey paper with seeded speckle noise, plus
// the reader response that a drawing reader would give for its printed readings.
//
// Coordinates are pixels of the unrotated drawing, origin at the top-left, y downward,
// pixel (x, y) centred on the integer point (x, y). Rotation turns the finished drawing
// about the image centre so that its horizontals descend to the right by rotation_deg.
//
// The intake's skew estimate finds a rotation to within one 0.1-degree candidate on the
// 640 x 420 and the A4 sheets alike, from straight edges and text rows; a drawing of
// circles alone (a flange without its sheet frame) is never turned, so give skewed
// flanges a frame.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "intake/raster_intake.hpp"
#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk::test {

// One printed dimension and what the reader reports for it.
struct GeneratedReading {
    std::string text;  // digits (and '.') drawn on the sheet; empty: nothing drawn
    Point2 top_left;   // of the text, drawing pixels
    int scale = 2;     // pixels per font cell
    // Reported; the box is the drawn ink's box unless overridden (in drawing pixels).
    std::string constraint_id;
    std::optional<double> value;
    double confidence = 0.95;
    std::string origin = "source_text";
    std::optional<SourceBox> box_override;
};

// Where readings go: reading i at column i % columns.size(), row i / columns.size().
struct ReadingGrid {
    std::vector<double> columns_x = {470.0, 536.0};
    double first_y = 58.0;
    double pitch = 20.0;
    int scale = 2;
};

class Drawing {
public:
    Drawing(std::int32_t width, std::int32_t height, double declared_dpi = 300.0);

    // Sheet and rendering settings; may be changed until rendering.
    std::int32_t width;
    std::int32_t height;
    double declared_dpi;
    double rotation_deg = 0.0;
    bool anti_aliased = false;
    std::uint8_t paper = 255;
    std::uint8_t ink = 0;
    double speckle_density = 0.0;  // share of pixels replaced by a random grey speck
    std::vector<GeneratedReading> readings;
    std::vector<std::string> reader_errors;

    // A straight stroke with square ends, centred on the segment.
    void line(Point2 from, Point2 to, double thickness);
    // Closed outline through the corners, strokes centred on the edges.
    void polygon(const std::vector<Point2>& corners, double thickness);
    void rectangle(Point2 top_left, Point2 bottom_right, double thickness);
    // A ring whose outer edge has the given diameter.
    void ring(Point2 centre, double outer_diameter, double thickness);
    void disc(Point2 centre, double diameter);
    // Fills pixels x0..x1 and y0..y1, inclusive.
    void block(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1);
    // Digits and '.' in the 5x7 font; returns the ink box in drawing pixels.
    SourceBox text(Point2 top_left, std::string_view digits, int scale = 2);
    // The printed "UNITS: mm" note, the millimetre marker, at its fixed place on the 640 x 420
    // sheet, or shifted.
    void millimeter_marker(std::int32_t shift_x = 0, std::int32_t shift_y = 0);
    // A border margin pixels inside the sheet edges.
    void sheet_frame(double margin = 10.0, double thickness = 2.0);

    // Adds a printed reading; the text is the value in shortest form.
    GeneratedReading& add_reading(Point2 top_left, double value, int scale = 2);
    // Adds one reading per value at the grid's places, in order.
    void add_readings(const std::vector<double>& values, const ReadingGrid& grid = {});

    RasterImage render() const;
    // 8-bit grayscale PNG of render().
    void write_png(const std::filesystem::path& path) const;

    // The reader's view: readings in order, each box the bounding box of the printed
    // text's rotated corners, in pixels of the rendered input.
    ReaderResponse reader_response(const std::string& drawing_id) const;
    // The same as reader response JSON text (one reading object per reading).
    std::string reader_response_json(const std::string& drawing_id) const;

    struct Segment { Point2 from, to; double thickness; };
    struct Ring { Point2 centre; double outer_radius, thickness; };
    struct Disc { Point2 centre; double radius; };
    struct Block { std::int32_t x0, y0, x1, y1; };
    using Shape = std::variant<Segment, Ring, Disc, Block>;

private:
    SourceBox reading_box(const GeneratedReading& reading) const;
    std::vector<Shape> shapes_;
};

// --- The drawing layouts the binding understands (640 x 420 sheets by default). ---

struct SheetLayout {
    std::int32_t width = 640;
    std::int32_t height = 420;
    double declared_dpi = 300.0;
    bool marker = true;
    bool frame = false;
    ReadingGrid grid;
};

struct PlateHole {
    double x_mm;  // from the outline's lower-left corner, y upward
    double y_mm;
    double diameter_mm;
};

// Rectangle 100 x 60 mm at 3 px/mm from (100, 100), four holes, top view at half scale
// below y 350; 16 readings (front, top and side edges, then holes lowest row first) or,
// with side_readings off, front edges, holes, top edges.
struct PlateLayout {
    SheetLayout sheet;
    double width_mm = 100.0;
    double height_mm = 60.0;
    double thickness_mm = 20.0;
    double px_per_mm = 3.0;
    Point2 origin{100.0, 100.0};
    double line_px = 3.0;
    double ring_px = 2.0;
    std::vector<PlateHole> holes = {{20.0, 15.0, 8.0}, {80.0, 15.0, 10.0}, {20.0, 45.0, 12.0}, {80.0, 45.0, 14.0}};
    bool side_readings = true;  // used only with exactly four holes
    double top_view_y = 355.0;
};
Drawing plate_drawing(const PlateLayout& layout = {});

// L-shaped bracket, upright on the left, foot to the right; ten readings.
struct BracketLayout {
    SheetLayout sheet;
    double overall_width_mm = 120.0;
    double foot_height_mm = 20.0;
    double foot_length_mm = 80.0;
    double upright_height_mm = 60.0;
    double upright_width_mm = 40.0;
    double overall_height_mm = 80.0;
    double thickness_mm = 20.0;
    double px_per_mm = 3.0;
    Point2 origin{80.0, 80.0};
    double line_px = 3.0;
    double top_view_y = 355.0;
};
Drawing bracket_drawing(const BracketLayout& layout = {});

// A4 portrait at 300 dpi (2480 x 3508, 11.81 px/mm) as a scanner delivers it: the
// bracket's front and top views with 8-px outlines, its readings in a column at the right,
// two sheet frames, anti-aliased on grey paper with speckles. No millimetre marker.
Drawing a4_bracket_drawing();

// Three steps descending to the right; twelve readings.
struct SteppedLayout {
    SheetLayout sheet;
    double overall_width_mm = 120.0;
    double low_height_mm = 20.0;
    double low_length_mm = 40.0;
    double middle_height_mm = 20.0;
    double middle_length_mm = 40.0;
    double top_height_mm = 40.0;
    double top_width_mm = 40.0;
    double overall_height_mm = 80.0;
    double thickness_mm = 20.0;
    double px_per_mm = 3.0;
    Point2 origin{80.0, 80.0};
    double line_px = 3.0;
    double top_view_y = 355.0;
};
Drawing stepped_drawing(const SteppedLayout& layout = {});

struct FlangeBolt {
    double x_mm;  // from the flange centre, y upward
    double y_mm;
    double diameter_mm;
};

// Round flange: outer ring, optional bore, bolt holes; n circles + 4 readings.
struct FlangeLayout {
    SheetLayout sheet;
    double diameter_mm = 100.0;
    double bore_mm = 30.0;  // 0: no bore
    Point2 bore_offset_px{0.0, 0.0};
    std::vector<FlangeBolt> bolts = {{-25.0, 25.0, 12.0}, {25.0, 25.0, 12.0}, {-25.0, -25.0, 12.0}, {25.0, -25.0, 12.0}};
    double length_mm = 20.0;
    double px_per_mm = 1.5;
    Point2 centre{300.0, 200.0};
    double ring_px = 2.5;       // outer ring: thicker strokes would read as axis lines
    double hole_ring_px = 2.0;  // bore and bolt holes
};
Drawing flange_drawing(const FlangeLayout& layout = {});

// PNG encodings for exercising the image loader (stored, uncompressed deflate).
enum class PngKind {
    gray1, gray4, gray8, gray16, gray_alpha8,
    rgb8, rgb16, rgba8, rgba16,
    palette1, palette4, palette8, palette8_transparent,
};
std::string_view to_string(PngKind kind);
// Writes the image in the given encoding. The image must be representable: grey kinds
// take red = green = blue (1- and 4-bit: multiples of 255 and 17), opaque kinds take
// alpha 255, palette kinds at most 2, 16 or 256 colours (opaque unless transparent).
void write_png(const std::filesystem::path& path, const RasterImage& image, PngKind kind);
// A black-and-white drawing as a small PNG: 1-bit grey, deflate-compressed, with its
// resolution in a pHYs chunk. Every pixel must be opaque black or white.
void write_bilevel_png(const std::filesystem::path& path, const RasterImage& image, double dpi);
// A white page as a tiny PNG (1-bit grey, run-compressed): a large one costs the intake
// seconds to read while its file stays a few KiB.
std::string blank_png(std::uint32_t width, std::uint32_t height);
// A PNG whose header declares the given size, followed by a tiny image stream.
void write_png_header_only(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height);

}  // namespace vesk::test
