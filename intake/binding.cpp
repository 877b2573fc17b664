#include "intake/binding.hpp"
#include "intake/binding_internal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "intake/binding_templates.hpp"
#include "intake/image_io.hpp"

namespace vesk {
namespace {

// A reading's box centre may lie at most this share of the image diagonal from the outline.
constexpr double kProfileReachShare = 0.35;
// Slot proximity never demands closer than this many pixels, however small the slot.
constexpr double kMinSlotReachPx = 12.0;
constexpr double kDarkTextLuma = 140.0;

double box_centre_x(const SourceBox& box) { return box.x + box.width * 0.5; }
double box_centre_y(const SourceBox& box) { return box.y + box.height * 0.5; }

double distance_to_box(double x, double y, const SourceBox& box) {
    const double dx = std::max({box.x - x, 0.0, x - (box.x + box.width)});
    const double dy = std::max({box.y - y, 0.0, y - (box.y + box.height)});
    return std::hypot(dx, dy);
}

void check_reading(const DimensionReading& reading) {
    if (!reading.value) throw std::invalid_argument("all construction readings must have numeric values");
    if (reading.origin != ReadingOrigin::source_text && reading.origin != ReadingOrigin::operator_confirmed) {
        throw std::invalid_argument("unreviewed inferred or unreadable construction readings cannot be bound");
    }
    if (!(reading.confidence >= kBindingConfidenceFloor)) {
        throw std::invalid_argument("construction reading confidence is below the green floor");
    }
    if (!(*reading.value > 0.0)) throw std::invalid_argument("construction readings must be positive");
    if (!(reading.source_bbox.width > 0.0) || !(reading.source_bbox.height > 0.0)) {
        throw std::invalid_argument("source_bbox must have positive width and height");
    }
}

// Bindings run one at a time in a process: each holds its raster several times over (about
// 600 MB at the intake's pixel cap), which the number of callers (connection handlers, the
// pilot's review) must not multiply.
std::mutex& binding_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::string binding_failure_reason(const BindingResult& result) {
    return result.binding_errors.empty() ? std::string("deterministic binding produced no graph")
                                         : result.binding_errors.front();
}

BindingResult bind_readings_to_raster(const std::filesystem::path& input_png, double declared_dpi,
                                      const std::filesystem::path& normalized_png, const ReaderResponse& response) {
    return bind_readings_core(input_png, declared_dpi, normalized_png, response, BindingOverride{}, {}, false);
}

BindingResult bind_readings_to_raster_with_options(const std::filesystem::path& input_png, double declared_dpi,
                                                   const std::filesystem::path& normalized_png,
                                                   const ReaderResponse& response, std::uint8_t marker_verified,
                                                   std::vector<SourceBox> annotation_slots) {
    return bind_readings_core(input_png, declared_dpi, normalized_png, response,
                              BindingOverride{true, marker_verified}, std::move(annotation_slots), true);
}

BindingResult bind_readings_core(const std::filesystem::path& input_png, double declared_dpi,
                                 const std::filesystem::path& normalized_png, const ReaderResponse& response,
                                 BindingOverride override, std::vector<SourceBox> annotation_slots,
                                 bool stop_on_reader_errors) {
    const std::lock_guard<std::mutex> turn(binding_mutex());
    BindingResult result;
    // The intake's own errors (resolution, load, save) belong to the caller.
    result.raster = normalize_raster_input(input_png, declared_dpi, normalized_png);
    if (override.present) {
        result.raster.extraction.millimeter_marker_verified = override.marker_verified;
        result.raster.extraction.annotation_slots = std::move(annotation_slots);
    }
    result.response = response;
    result.response.dimension_graph.reset();
    if (stop_on_reader_errors) result.binding_errors = response.errors;

    if (!result.raster.accepted) {
        result.binding_errors.push_back(result.raster.message);
        return result;
    }
    if (stop_on_reader_errors && !result.binding_errors.empty()) return result;

    try {
        const std::vector<DimensionReading> readings = validate_reading_slots(result.response, result.raster);
        const RasterExtraction& extraction = result.raster.extraction;
        require(extraction.entities_supported != 0, "raster entity extraction is unsupported");
        require(extraction.millimeter_marker_verified != 0, "the deterministic millimeter marker was not verified");
        const DimensionGraph graph = bind_profile_template(extraction, readings);
        // The bound graph must pass exactly what any graph file passes.
        DimensionGraph parsed =
            parse_dimension_graph(dimension_graph_to_json(graph), response.drawing_id + ".bound_graph");
        result.response.dimension_graph = parsed;
        result.bound_graph = std::move(parsed);
    } catch (const std::exception& error) {
        result.binding_errors.emplace_back(error.what());
    }

    result.response.errors = response.errors;
    result.response.errors.insert(result.response.errors.end(), result.binding_errors.begin(),
                                  result.binding_errors.end());
    return result;
}

SourceBox map_box_to_normalized(const SourceBox& box, const RasterIntakeResult& raster) {
    if (raster.applied_rotation_deg == 0.0) return box;
    const double a = degrees_to_radians(raster.applied_rotation_deg);
    const double cos_a = std::cos(a);
    const double sin_a = std::sin(a);
    const double cx = (static_cast<double>(raster.width) - 1.0) * 0.5;
    const double cy = (static_cast<double>(raster.height) - 1.0) * 0.5;
    const double corners[4][2] = {{box.x, box.y},
                                  {box.x + box.width, box.y},
                                  {box.x, box.y + box.height},
                                  {box.x + box.width, box.y + box.height}};
    double min_x = std::numeric_limits<double>::infinity();
    double min_y = min_x;
    double max_x = -min_x;
    double max_y = -min_x;
    for (const auto& corner : corners) {
        const double dx = corner[0] - cx;
        const double dy = corner[1] - cy;
        const double x = dx * cos_a + dy * sin_a + cx;
        const double y = -dx * sin_a + dy * cos_a + cy;
        min_x = std::min(min_x, x);
        max_x = std::max(max_x, x);
        min_y = std::min(min_y, y);
        max_y = std::max(max_y, y);
    }
    return SourceBox{min_x, min_y, max_x - min_x, max_y - min_y};
}

bool overlaps_dark_text(const RasterImage& image, const SourceBox& box) {
    // Components in [0, 1] as the image library hands them out: the byte over 255 in float.
    const auto unit = [](std::uint8_t byte) { return static_cast<double>(static_cast<float>(byte) / 255.0f); };
    const double image_width = static_cast<double>(image.width);
    const double image_height = static_cast<double>(image.height);
    // Clamp in double before narrowing so that a huge box cannot overflow the loop bounds.
    const auto x0 = static_cast<std::int64_t>(std::max(0.0, std::floor(box.x)));
    const auto x1 = static_cast<std::int64_t>(std::min(image_width, std::ceil(box.x + box.width)));
    const auto y0 = static_cast<std::int64_t>(std::max(0.0, std::floor(box.y)));
    const auto y1 = static_cast<std::int64_t>(std::min(image_height, std::ceil(box.y + box.height)));
    int dark = 0;
    for (std::int64_t y = y0; y < y1; ++y) {
        for (std::int64_t x = x0; x < x1; ++x) {
            const std::uint32_t pixel = image.at(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
            const double luma = (0.2126 * unit(pixel_red(pixel)) + 0.7152 * unit(pixel_green(pixel)) +
                                 0.0722 * unit(pixel_blue(pixel))) *
                                255.0;
            if (luma < kDarkTextLuma && ++dark >= 2) return true;
        }
    }
    return false;
}

std::vector<DimensionReading> validate_reading_slots(const ReaderResponse& response,
                                                     const RasterIntakeResult& raster) {
    const std::optional<RasterImage> image =
        raster.normalized_png.empty() ? std::nullopt : load_png(raster.normalized_png);
    if (!image) throw std::invalid_argument("cannot reload normalized raster for source_bbox validation");
    const std::vector<SourceBox>& slots = raster.extraction.annotation_slots;
    if (response.readings.size() != slots.size()) {
        throw std::invalid_argument("reader count does not match extracted source annotation slots");
    }
    const double width = static_cast<double>(raster.width);
    const double height = static_cast<double>(raster.height);
    const double diagonal = std::hypot(width, height);
    std::vector<std::optional<std::size_t>> taken(slots.size());

    for (std::size_t r = 0; r < response.readings.size(); ++r) {
        const DimensionReading& reading = response.readings[r];
        check_reading(reading);
        const SourceBox box = map_box_to_normalized(reading.source_bbox, raster);
        if (!(box.x >= 0.0 && box.y >= 0.0 && box.x + box.width <= width && box.y + box.height <= height)) {
            throw std::invalid_argument("source_bbox falls outside the normalized raster");
        }
        if (!overlaps_dark_text(*image, box)) {
            throw std::invalid_argument("source_bbox does not overlap dark source text");
        }
        const double cx = box_centre_x(box);
        const double cy = box_centre_y(box);
        if (!(distance_to_box(cx, cy, raster.extraction.profile_box) <= kProfileReachShare * diagonal)) {
            throw std::invalid_argument("source_bbox is too far from the extracted entity region");
        }
        if (slots.empty()) throw std::invalid_argument("source_bbox has no extracted annotation slot");
        std::size_t nearest = 0;
        double d1 = std::numeric_limits<double>::infinity();
        double d2 = std::numeric_limits<double>::infinity();
        for (std::size_t s = 0; s < slots.size(); ++s) {
            const double d = std::hypot(cx - box_centre_x(slots[s]), cy - box_centre_y(slots[s]));
            if (d < d1) {
                d2 = d1;
                d1 = d;
                nearest = s;
            } else if (d < d2) {
                d2 = d;
            }
        }
        const SourceBox& slot = slots[nearest];
        if (!(d1 <= std::max(kMinSlotReachPx, std::hypot(slot.width, slot.height)))) {
            throw std::invalid_argument("source_bbox is not proximal to its extracted annotation slot");
        }
        if (slots.size() > 1 && !(d2 - d1 >= kSlotAmbiguityGapPx)) {
            throw std::invalid_argument("source_bbox annotation-slot assignment is ambiguous");
        }
        if (taken[nearest]) throw std::invalid_argument("multiple readings map to one extracted annotation slot");
        taken[nearest] = r;
    }

    std::vector<DimensionReading> ordered;
    ordered.reserve(slots.size());
    for (const auto& reading_index : taken) {
        if (!reading_index) throw std::invalid_argument("an extracted annotation slot has no reading");
        ordered.push_back(response.readings[*reading_index]);
    }
    return ordered;
}

}  // namespace vesk
