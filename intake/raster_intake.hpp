// Raster intake: the floor on declared resolution, skew estimate and straightening, the
// normalised image written for later steps, and the small vocabulary of geometry that the
// binding understands, extracted from the drawing's dark ink.
//
// Pixel coordinates: origin at the top-left pixel, y downward, pixel (x, y) centred on the
// integer point (x, y). Everything here is deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numbers>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "intake/image_io.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// Degrees to radians, the one conversion the raster and binding code share.
inline double degrees_to_radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// Lowest declared resolution accepted (inclusive).
inline constexpr double kRasterDpiFloor = 144.0;
// The declared resolutions a submitted raster may carry (inclusive); the local jobs and the
// pilot refuse any other before the intake sees it.
inline constexpr double kMinDeclaredDpi = 72.0;
inline constexpr double kMaxDeclaredDpi = 1200.0;
// Largest image decoded or PDF page rendered (width x height); bounds the memory a hostile
// header or page size can demand.
inline constexpr std::uint64_t kMaxRasterPixels = std::uint64_t{1} << 26;
// Skews closer to zero than this, in degrees, leave the image as it is.
inline constexpr double kSkewCutoffDeg = 0.1;

// One 8-connected group of dark pixels, in the order the flood reached them.
struct RasterComponent {
    std::vector<std::pair<std::int32_t, std::int32_t>> pixels;
    std::int32_t min_x = 0;
    std::int32_t min_y = 0;
    std::int32_t max_x = 0;
    std::int32_t max_y = 0;
};

// profile_kind values.
inline constexpr std::uint32_t kProfileNone = 0;
inline constexpr std::uint32_t kProfileRectangle = 1;
inline constexpr std::uint32_t kProfileBracket = 2;
inline constexpr std::uint32_t kProfileStepped = 3;
inline constexpr std::uint32_t kProfileCircular = 4;
// profile_shape values.
inline constexpr std::uint32_t kShapeOrthogonal = 0;
inline constexpr std::uint32_t kShapeCircular = 1;

struct RasterExtraction {
    std::uint32_t profile_kind = kProfileNone;
    std::uint32_t profile_shape = kShapeOrthogonal;
    std::uint8_t entities_supported = 0;
    std::uint8_t millimeter_marker_verified = 0;
    SourceBox profile_box;                  // pixels of the normalised image
    std::vector<double> horizontal_axes_y;  // ascending
    std::vector<double> vertical_axes_x;    // ascending
    std::vector<SourceBox> circles;         // largest area first
    std::vector<SourceBox> annotation_slots;  // reading order
    std::string message;
};

// rejection code: declared resolution below the floor.
inline constexpr std::uint32_t kRejectionDpiBelowFloor = 0;

struct RasterIntakeResult {
    std::uint8_t accepted = 0;
    std::optional<std::uint32_t> rejection;
    std::string message;
    std::filesystem::path normalized_png;  // empty when refused
    std::int32_t width = 0;
    std::int32_t height = 0;
    double declared_dpi = 0.0;
    double measured_skew_deg = 0.0;     // skew of the input, the negated estimate
    double applied_rotation_deg = 0.0;  // 0 when the image was left as it is
    double elapsed_ms = 0.0;
    RasterExtraction extraction;
};

// The whole intake: floor check (a refused result, the file untouched), load, skew
// estimate and straightening, extraction, then the normalised image written to
// normalized_path. Throws std::invalid_argument for a resolution that is not finite and
// positive and for an unreadable input, std::runtime_error when the output cannot be
// written.
RasterIntakeResult normalize_raster_input(const std::filesystem::path& input_path, double declared_dpi,
                                          const std::filesystem::path& normalized_path);

// Loads a PNG. The header is checked before anything is decoded: not a PNG (or not
// loadable) gives std::invalid_argument "Cannot load raster input: <path>", a size of
// zero or above kMaxRasterPixels "Raster input dimensions are invalid: <path>".
RasterImage load_raster(const std::filesystem::path& path);

// Projection-profile estimate over candidates -5.0 .. +5.0 degrees in steps of 0.1; the
// angle by which the drawing's horizontals descend to the right. Every ink pixel (luma
// < 190) inside a 1 % margin that touches another takes part, thinned in scan order to at
// most 120,000 points. 0.0 when fewer than 200 pixels of a grid of about 120,000 are ink,
// or when the best candidate scores less than twice the worst (no straight edges).
double estimate_skew(const RasterImage& image);

// Bilinear sample at (x, y); opaque white outside the image.
std::uint32_t sample_bilinear(const RasterImage& image, double x, double y);
// Per byte: lround(a (1 - t) + b t), clamped to 0..255.
std::uint32_t blend_colour(std::uint32_t a, std::uint32_t b, double t);

// Writes the image as a PNG (RGB when fully opaque, else RGBA), creating missing parent
// directories. Throws std::runtime_error on failure.
void save_normalized_raster(const RasterImage& image, const std::filesystem::path& path);

RasterExtraction extract_raster_entities(const RasterImage& image);
// Components of ink (luma < 80) inside the front region, largest first (ties keep scan
// order); components under 25 pixels are dropped.
std::vector<RasterComponent> find_dark_components(const RasterImage& image);
bool is_circle_component(const RasterComponent& component);
// Line positions (run centres) of rows (horizontal) or columns with at least 40 ink pixels
// inside the front region, ascending.
std::vector<double> find_axis_lines(const RasterImage& image, bool horizontal);
std::vector<SourceBox> find_annotation_slots(const RasterImage& image);
bool verify_millimeter_marker(const RasterImage& image);

}  // namespace vesk
