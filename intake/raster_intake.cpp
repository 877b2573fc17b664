#include "intake/raster_intake.hpp"
#include "intake/raster_intake_internal.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace vesk {
namespace {

// Dark thresholds, each named for its use.
constexpr double kSkewInkLuma = 190.0;
constexpr double kGeometryInkLuma = 80.0;
constexpr double kTextInkLuma = 160.0;
constexpr double kMarkerInkLuma = 180.0;

constexpr double kSkewProbePixels = 120000.0;
constexpr std::size_t kMinSkewPoints = 200;
constexpr std::size_t kSkewPointBudget = 120000;
// Best over worst candidate score below which a profile shows no orientation.
constexpr std::uint64_t kSkewMinContrast = 2;
constexpr int kSkewCandidates = 101;
constexpr std::size_t kMinComponentPixels = 25;
constexpr std::size_t kAxisLineMinInk = 40;
constexpr std::int32_t kBandRowGap = 2;
constexpr std::int32_t kSlotColumnGap = 6;
constexpr int kMarkerSearch = 5;
constexpr int kMarkerCellsNeeded = 85;  // ceil(99 x 0.85)

// Mixes a pixel position into 64 well-spread bits (the finaliser of SplitMix64).
std::uint64_t pixel_hash(std::int32_t x, std::int32_t y) {
    std::uint64_t z = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) ^
                      static_cast<std::uint32_t>(y);
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Half-open rectangle of pixel positions.
struct Region {
    std::int32_t x0 = 0;
    std::int32_t x1 = 0;
    std::int32_t y0 = 0;
    std::int32_t y1 = 0;

    bool empty() const { return x1 <= x0 || y1 <= y0; }
    std::int32_t width() const { return x1 - x0; }
    std::int32_t height() const { return y1 - y0; }
    std::size_t local(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y - y0) * static_cast<std::size_t>(width()) +
               static_cast<std::size_t>(x - x0);
    }
};

std::int32_t fraction_of(double fraction, std::int32_t extent) {
    return static_cast<std::int32_t>(std::lround(fraction * static_cast<double>(extent)));
}

// Front view: left and middle of the sheet.
Region front_region(const RasterImage& image) {
    return Region{fraction_of(0.08, image.width), fraction_of(0.72, image.width), fraction_of(0.12, image.height),
                  fraction_of(0.82, image.height)};
}

// Dimension annotations: a column at the right.
Region annotation_region(const RasterImage& image) {
    return Region{fraction_of(0.72, image.width), fraction_of(0.94, image.width), fraction_of(0.12, image.height),
                  fraction_of(0.75, image.height)};
}

// One byte per region pixel: 1 where luma is below the threshold.
std::vector<std::uint8_t> ink_mask(const RasterImage& image, const Region& region, double threshold) {
    std::vector<std::uint8_t> mask;
    if (region.empty()) return mask;
    mask.assign(static_cast<std::size_t>(region.width()) * static_cast<std::size_t>(region.height()), 0);
    for (std::int32_t y = region.y0; y < region.y1; ++y) {
        for (std::int32_t x = region.x0; x < region.x1; ++x) {
            if (pixel_luma(image.at(x, y)) < threshold) mask[region.local(x, y)] = 1;
        }
    }
    return mask;
}

// 8-connected floods over the mask, scanning row by row; every component, in scan order.
std::vector<RasterComponent> flood_components(const Region& region, const std::vector<std::uint8_t>& ink) {
    static constexpr std::array<std::array<std::int32_t, 2>, 8> kNeighbours = {
        {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}}};
    std::vector<RasterComponent> components;
    if (region.empty()) return components;
    std::vector<std::uint8_t> visited(ink.size(), 0);
    for (std::int32_t y = region.y0; y < region.y1; ++y) {
        for (std::int32_t x = region.x0; x < region.x1; ++x) {
            const std::size_t start = region.local(x, y);
            if (ink[start] == 0 || visited[start] != 0) continue;
            RasterComponent component;
            component.min_x = component.max_x = x;
            component.min_y = component.max_y = y;
            visited[start] = 1;
            component.pixels.emplace_back(x, y);
            // The pixel list doubles as the breadth-first queue.
            for (std::size_t head = 0; head < component.pixels.size(); ++head) {
                const auto [px, py] = component.pixels[head];
                component.min_x = std::min(component.min_x, px);
                component.max_x = std::max(component.max_x, px);
                component.min_y = std::min(component.min_y, py);
                component.max_y = std::max(component.max_y, py);
                for (const auto& step : kNeighbours) {
                    const std::int32_t nx = px + step[0];
                    const std::int32_t ny = py + step[1];
                    if (nx < region.x0 || nx >= region.x1 || ny < region.y0 || ny >= region.y1) continue;
                    const std::size_t next = region.local(nx, ny);
                    if (ink[next] == 0 || visited[next] != 0) continue;
                    visited[next] = 1;
                    component.pixels.emplace_back(nx, ny);
                }
            }
            components.push_back(std::move(component));
        }
    }
    return components;
}

SourceBox component_box(const RasterComponent& component) {
    return SourceBox{static_cast<double>(component.min_x), static_cast<double>(component.min_y),
                     static_cast<double>(component.max_x - component.min_x + 1),
                     static_cast<double>(component.max_y - component.min_y + 1)};
}

[[noreturn]] void throw_invalid_dimensions(const std::filesystem::path& path) {
    throw std::invalid_argument("Raster input dimensions are invalid: " + path.string());
}

bool dimensions_acceptable(std::uint64_t width, std::uint64_t height) {
    constexpr std::uint64_t kMaxSide = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide && width * height <= kMaxRasterPixels;
}

double elapsed_since(std::chrono::steady_clock::time_point start) {
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(nanoseconds) / 1e6;
}

RasterExtraction empty_extraction(std::string message) {
    RasterExtraction extraction;
    extraction.message = std::move(message);
    return extraction;
}

}  // namespace

double pixel_luma(std::uint32_t pixel) {
    return 0.2126 * static_cast<double>(pixel_red(pixel)) + 0.7152 * static_cast<double>(pixel_green(pixel)) +
           0.0722 * static_cast<double>(pixel_blue(pixel));
}

RasterIntakeResult normalize_raster_input(const std::filesystem::path& input_path, double declared_dpi,
                                          const std::filesystem::path& normalized_path) {
    if (!std::isfinite(declared_dpi) || declared_dpi <= 0.0) {
        throw std::invalid_argument("Raster input requires a finite positive declared DPI");
    }
    const auto start = std::chrono::steady_clock::now();
    RasterIntakeResult result;
    result.declared_dpi = declared_dpi;
    if (declared_dpi < kRasterDpiFloor) {
        result.accepted = 0;
        result.rejection = kRejectionDpiBelowFloor;
        result.message = "declared DPI is below the 144 DPI input floor";
        result.extraction = empty_extraction("entity extraction skipped for rejected raster");
        result.elapsed_ms = elapsed_since(start);
        return result;
    }

    RasterImage image = load_raster(input_path);
    const double skew = estimate_skew(image);
    double applied = 0.0;
    if (std::fabs(skew) >= kSkewCutoffDeg) {
        image = rotate_raster(image, skew);
        applied = skew;
    }
    result.extraction = extract_raster_entities(image);
    save_normalized_raster(image, normalized_path);

    result.accepted = 1;
    result.message = "raster accepted and normalized";
    result.normalized_png = normalized_path;
    result.width = image.width;
    result.height = image.height;
    result.measured_skew_deg = -skew;
    result.applied_rotation_deg = applied;
    result.elapsed_ms = elapsed_since(start);
    return result;
}

RasterImage load_raster(const std::filesystem::path& path) {
    // The header decides before the decoder runs: a few hundred bytes can declare an
    // image of gigabytes.
    const std::optional<PngHeader> header = read_png_header(path);
    if (!header) throw std::invalid_argument("Cannot load raster input: " + path.string());
    if (!dimensions_acceptable(header->width, header->height)) throw_invalid_dimensions(path);

    std::optional<RasterImage> image = load_png(path);
    if (!image) throw std::invalid_argument("Cannot load raster input: " + path.string());
    if (!dimensions_acceptable(static_cast<std::uint64_t>(image->width), static_cast<std::uint64_t>(image->height))) {
        throw_invalid_dimensions(path);
    }
    return std::move(*image);
}

double estimate_skew(const RasterImage& image) {
    const std::int32_t width = image.width;
    const std::int32_t height = image.height;
    if (width <= 0 || height <= 0) return 0.0;
    const double area = static_cast<double>(width) * static_cast<double>(height);
    const std::int32_t step =
        std::max<std::int32_t>(1, static_cast<std::int32_t>(std::ceil(std::sqrt(area / kSkewProbePixels))));
    const std::int32_t margin_x = std::max<std::int32_t>(2, width / 100);
    const std::int32_t margin_y = std::max<std::int32_t>(2, height / 100);
    const double half_w = static_cast<double>(width - 1) * 0.5;
    const double half_h = static_cast<double>(height - 1) * 0.5;
    const Region inner{margin_x, width - margin_x, margin_y, height - margin_y};
    if (inner.empty()) return 0.0;

    // 1 marks ink; 2 marks ink that takes part in the profile.
    std::vector<std::uint8_t> ink = ink_mask(image, inner, kSkewInkLuma);
    const auto inked = [&](std::int32_t x, std::int32_t y) {
        return x >= inner.x0 && x < inner.x1 && y >= inner.y0 && y < inner.y1 && ink[inner.local(x, y)] != 0;
    };
    // Whether there is enough ink is judged on a sparse grid of about kSkewProbePixels
    // pixels, so that the rule means the same share of ink on every sheet size.
    std::size_t grid_ink = 0;
    std::size_t profile_ink = 0;
    for (std::int32_t y = inner.y0; y < inner.y1; ++y) {
        const bool grid_row = (y - inner.y0) % step == 0;
        for (std::int32_t x = inner.x0; x < inner.x1; ++x) {
            std::uint8_t& here = ink[inner.local(x, y)];
            if (here == 0) continue;
            if (grid_row && (x - inner.x0) % step == 0) ++grid_ink;
            // A lone dark pixel is a speck: it has no direction, and near-tied candidates
            // would follow wherever the specks happen to fall.
            const bool connected = inked(x - 1, y - 1) || inked(x, y - 1) || inked(x + 1, y - 1) ||
                                   inked(x - 1, y) || inked(x + 1, y) || inked(x - 1, y + 1) ||
                                   inked(x, y + 1) || inked(x + 1, y + 1);
            if (connected) {
                here = 2;
                ++profile_ink;
            }
        }
    }
    if (grid_ink < kMinSkewPoints) return 0.0;

    // The profile takes every such pixel, thinned to the budget. Points from grid rows only
    // would fall into every step-th bin at 0 degrees and leave the bins between empty: the
    // 0-degree score would be inflated by up to the step, and real skews would read as none.
    // Nor is every k-th point in scan order kept: on a filled area those form an oblique
    // lattice whose rows the profile finds as a skew (a straight filled rectangle read as
    // 4.4 degrees). A hash of the coordinates keeps a share of the points that favours no
    // direction, the same share everywhere.
    const std::uint64_t keep_below =
        profile_ink <= kSkewPointBudget
            ? std::numeric_limits<std::uint64_t>::max()
            : std::numeric_limits<std::uint64_t>::max() / profile_ink * kSkewPointBudget;
    std::vector<std::pair<double, double>> points;
    points.reserve(std::min(profile_ink, kSkewPointBudget + kSkewPointBudget / 8));
    for (std::int32_t y = inner.y0; y < inner.y1; ++y) {
        for (std::int32_t x = inner.x0; x < inner.x1; ++x) {
            if (ink[inner.local(x, y)] != 2 || pixel_hash(x, y) > keep_below) continue;
            points.emplace_back(static_cast<double>(x) - half_w, static_cast<double>(y) - half_h);
        }
    }
    if (points.size() < kMinSkewPoints) return 0.0;

    const long bins = static_cast<long>(height) + 64;
    std::vector<std::uint64_t> histogram(static_cast<std::size_t>(bins));
    bool found = false;
    std::uint64_t best_score = 0;
    std::uint64_t worst_score = std::numeric_limits<std::uint64_t>::max();
    double best_angle = 0.0;
    for (int i = 0; i < kSkewCandidates; ++i) {
        // Exactly this expression: a straight drawing may tie at -0.0999..., inside the cut-off.
        const double angle = static_cast<double>(i) * 0.1 - 5.0;
        const double radians = degrees_to_radians(angle);
        const double cos_a = std::cos(radians);
        const double sin_a = std::sin(radians);
        std::fill(histogram.begin(), histogram.end(), 0);
        for (const auto& [px, py] : points) {
            const long bin = std::lround(py * cos_a - px * sin_a + half_h) + 32;
            if (bin >= 0 && bin < bins) ++histogram[static_cast<std::size_t>(bin)];
        }
        std::uint64_t score = 0;
        for (const std::uint64_t count : histogram) score += count * count;
        worst_score = std::min(worst_score, score);
        if (score > best_score) {
            best_score = score;
            best_angle = angle;
            found = true;
        }
    }
    if (!found) return 0.0;
    // Straight edges and text rows make the profile swing by a factor of 2.5 and more over
    // the candidates. Circles and short marks alone move it far less, and their best angle
    // is an accident of where they lie: such a drawing (or one so heavy with ink that its
    // edges hardly count) shows no skew to measure and is left as it is.
    if (best_score < kSkewMinContrast * worst_score) return 0.0;
    return best_angle;
}

RasterImage rotate_raster(const RasterImage& image, double angle_deg) {
    RasterImage rotated;
    rotated.width = image.width;
    rotated.height = image.height;
    rotated.pixels.resize(image.pixels.size());
    const double radians = degrees_to_radians(angle_deg);
    const double cos_a = std::cos(radians);
    const double sin_a = std::sin(radians);
    const double cx = static_cast<double>(image.width - 1) * 0.5;
    const double cy = static_cast<double>(image.height - 1) * 0.5;
    std::vector<double> x_cos(static_cast<std::size_t>(image.width));
    std::vector<double> x_sin(static_cast<std::size_t>(image.width));
    for (std::int32_t x = 0; x < image.width; ++x) {
        const double dx = static_cast<double>(x) - cx;
        x_cos[static_cast<std::size_t>(x)] = dx * cos_a;
        x_sin[static_cast<std::size_t>(x)] = dx * sin_a;
    }
    for (std::int32_t y = 0; y < image.height; ++y) {
        const double dy = static_cast<double>(y) - cy;
        const double y_sin = dy * sin_a;
        const double y_cos = dy * cos_a;
        for (std::int32_t x = 0; x < image.width; ++x) {
            const std::size_t ix = static_cast<std::size_t>(x);
            const double sx = x_cos[ix] - y_sin + cx;
            const double sy = x_sin[ix] + y_cos + cy;
            rotated.pixels[rotated.index(x, y)] = sample_bilinear(image, sx, sy);
        }
    }
    return rotated;
}

std::uint32_t sample_bilinear(const RasterImage& image, double x, double y) {
    // Written so that NaN also lands outside.
    if (!(x >= 0.0) || !(y >= 0.0) || x > static_cast<double>(image.width - 1) ||
        y > static_cast<double>(image.height - 1)) {
        return kOpaqueWhite;
    }
    const double fx0 = std::floor(x);
    const double fy0 = std::floor(y);
    const std::int32_t x0 = static_cast<std::int32_t>(fx0);
    const std::int32_t y0 = static_cast<std::int32_t>(fy0);
    const std::int32_t x1 = std::min(image.width - 1, x0 + 1);
    const std::int32_t y1 = std::min(image.height - 1, y0 + 1);
    const double fx = x - fx0;
    const double fy = y - fy0;
    const std::uint32_t top_left = image.at(x0, y0);
    const std::uint32_t top_right = image.at(x1, y0);
    const std::uint32_t bottom_left = image.at(x0, y1);
    const std::uint32_t bottom_right = image.at(x1, y1);
    // Blank paper, most of a drawing: blending a pixel with itself gives it back.
    if (top_left == top_right && top_left == bottom_left && top_left == bottom_right) return top_left;
    const std::uint32_t top = blend_colour(top_left, top_right, fx);
    const std::uint32_t bottom = blend_colour(bottom_left, bottom_right, fx);
    return blend_colour(top, bottom, fy);
}

std::uint32_t blend_colour(std::uint32_t a, std::uint32_t b, double t) {
    std::uint32_t result = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const double av = static_cast<double>((a >> shift) & 0xffu);
        const double bv = static_cast<double>((b >> shift) & 0xffu);
        const long value = std::clamp<long>(std::lround(av * (1.0 - t) + bv * t), 0, 255);
        result |= static_cast<std::uint32_t>(value) << shift;
    }
    return result;
}

void save_normalized_raster(const RasterImage& image, const std::filesystem::path& path) {
    save_png(path, image.width, image.height, "deskew output", [&image](const PngRow& row) {
        const std::size_t width = static_cast<std::size_t>(image.width);
        for (std::int32_t y = 0; y < image.height; ++y) {
            std::uint8_t* out = row(y);
            const std::uint32_t* in = image.pixels.data() + static_cast<std::size_t>(y) * width;
            for (std::size_t x = 0; x < width; ++x) {
                out[4 * x] = pixel_blue(in[x]);
                out[4 * x + 1] = pixel_green(in[x]);
                out[4 * x + 2] = pixel_red(in[x]);
                out[4 * x + 3] = pixel_alpha(in[x]);
            }
        }
    });
}

std::vector<RasterComponent> find_dark_components(const RasterImage& image) {
    const Region region = front_region(image);
    std::vector<RasterComponent> components = flood_components(region, ink_mask(image, region, kGeometryInkLuma));
    std::erase_if(components, [](const RasterComponent& c) { return c.pixels.size() < kMinComponentPixels; });
    std::stable_sort(components.begin(), components.end(), [](const RasterComponent& a, const RasterComponent& b) {
        return a.pixels.size() > b.pixels.size();
    });
    return components;
}

bool is_circle_component(const RasterComponent& component) {
    const std::int32_t w = component.max_x - component.min_x + 1;
    const std::int32_t h = component.max_y - component.min_y + 1;
    if (w < 15 || h < 15) return false;
    const double ratio = static_cast<double>(w) / static_cast<double>(h);
    if (ratio < 0.85 || ratio > 1.15) return false;
    std::vector<std::size_t> rows(static_cast<std::size_t>(h), 0);
    std::vector<std::size_t> columns(static_cast<std::size_t>(w), 0);
    for (const auto& [x, y] : component.pixels) {
        ++rows[static_cast<std::size_t>(y - component.min_y)];
        ++columns[static_cast<std::size_t>(x - component.min_x)];
    }
    const std::size_t widest_row = *std::max_element(rows.begin(), rows.end());
    const std::size_t tallest_column = *std::max_element(columns.begin(), columns.end());
    // A ring: no row or column is mostly ink, as it would be in a disc or a line.
    return static_cast<double>(widest_row) / static_cast<double>(w) < 0.75 &&
           static_cast<double>(tallest_column) / static_cast<double>(h) < 0.75;
}

std::vector<double> find_axis_lines(const RasterImage& image, bool horizontal) {
    const Region region = front_region(image);
    std::vector<double> lines;
    if (region.empty()) return lines;
    const std::vector<std::uint8_t> ink = ink_mask(image, region, kGeometryInkLuma);
    const std::int32_t first_position = horizontal ? region.y0 : region.x0;
    const std::int32_t end_position = horizontal ? region.y1 : region.x1;
    std::vector<std::size_t> counts(static_cast<std::size_t>(end_position - first_position), 0);
    for (std::int32_t y = region.y0; y < region.y1; ++y) {
        for (std::int32_t x = region.x0; x < region.x1; ++x) {
            if (ink[region.local(x, y)] != 0) ++counts[static_cast<std::size_t>((horizontal ? y : x) - first_position)];
        }
    }
    bool open = false;
    std::int32_t run_first = 0;
    for (std::int32_t position = first_position; position < end_position; ++position) {
        const bool heavy = counts[static_cast<std::size_t>(position - first_position)] >= kAxisLineMinInk;
        if (heavy && !open) {
            open = true;
            run_first = position;
        } else if (!heavy && open) {
            open = false;
            lines.push_back(static_cast<double>(run_first + (position - 1)) * 0.5);
        }
    }
    if (open) lines.push_back(static_cast<double>(run_first + (end_position - 1)) * 0.5);
    return lines;
}

std::vector<SourceBox> find_annotation_slots(const RasterImage& image) {
    const Region region = annotation_region(image);
    std::vector<SourceBox> slots;
    if (region.empty()) return slots;
    std::vector<std::uint8_t> text(static_cast<std::size_t>(region.width()) * static_cast<std::size_t>(region.height()), 0);
    for (const RasterComponent& component : flood_components(region, ink_mask(image, region, kTextInkLuma))) {
        if (component.pixels.size() < 3 || component.max_y - component.min_y + 1 < 4) continue;
        for (const auto& [x, y] : component.pixels) text[region.local(x, y)] = 1;
    }

    std::vector<std::uint8_t> row_has_text(static_cast<std::size_t>(region.height()), 0);
    for (std::int32_t y = region.y0; y < region.y1; ++y) {
        for (std::int32_t x = region.x0; x < region.x1; ++x) {
            if (text[region.local(x, y)] != 0) {
                row_has_text[static_cast<std::size_t>(y - region.y0)] = 1;
                break;
            }
        }
    }
    std::vector<std::pair<std::int32_t, std::int32_t>> bands;
    for (std::int32_t y = region.y0; y < region.y1; ++y) {
        if (row_has_text[static_cast<std::size_t>(y - region.y0)] == 0) continue;
        if (!bands.empty() && y - bands.back().second <= kBandRowGap) {
            bands.back().second = y;
        } else {
            bands.emplace_back(y, y);
        }
    }

    for (const auto& [top, bottom] : bands) {
        bool open = false;
        std::int32_t left = 0;
        std::int32_t right = 0;
        const auto close_group = [&] {
            slots.push_back(SourceBox{static_cast<double>(left), static_cast<double>(top),
                                      static_cast<double>(right - left + 1), static_cast<double>(bottom - top + 1)});
        };
        for (std::int32_t x = region.x0; x < region.x1; ++x) {
            bool column_has_text = false;
            for (std::int32_t y = top; y <= bottom && !column_has_text; ++y) {
                column_has_text = text[region.local(x, y)] != 0;
            }
            if (!column_has_text) continue;
            if (open && x - right <= kSlotColumnGap) {
                right = x;
            } else {
                if (open) close_group();
                open = true;
                left = right = x;
            }
        }
        if (open) close_group();
    }

    std::stable_sort(slots.begin(), slots.end(), [](const SourceBox& a, const SourceBox& b) {
        const double ay = a.y + a.height * 0.5;
        const double by = b.y + b.height * 0.5;
        if (ay != by) return ay < by;
        return a.x + a.width * 0.5 < b.x + b.width * 0.5;
    });
    return slots;
}

bool verify_millimeter_marker(const RasterImage& image) {
    if (image.width != kMarkerSheetWidth || image.height != kMarkerSheetHeight) return false;
    int best = 0;
    for (int dy = -kMarkerSearch; dy <= kMarkerSearch; ++dy) {
        for (int dx = -kMarkerSearch; dx <= kMarkerSearch; ++dx) {
            int count = 0;
            for (int r = 0; r < 12; ++r) {
                for (int c = 0; c < 64; ++c) {
                    if (((kMillimeterMarkerRows[r] >> c) & 1u) == 0) continue;
                    const std::int32_t x = kMarkerLeft + dx + c;
                    const std::int32_t y = kMarkerTop + dy + r;
                    if (x < 0 || y < 0 || x >= image.width || y >= image.height) continue;
                    if (pixel_luma(image.at(x, y)) < kMarkerInkLuma) ++count;
                }
            }
            best = std::max(best, count);
        }
    }
    return best >= kMarkerCellsNeeded;
}

RasterExtraction extract_raster_entities(const RasterImage& image) {
    const std::vector<RasterComponent> components = find_dark_components(image);
    if (components.empty()) return empty_extraction("no supported dark-ink geometry component found");

    RasterExtraction extraction;
    extraction.millimeter_marker_verified = verify_millimeter_marker(image) ? 1 : 0;
    extraction.profile_box = component_box(components.front());
    extraction.annotation_slots = find_annotation_slots(image);

    for (const RasterComponent& component : components) {
        if (is_circle_component(component)) extraction.circles.push_back(component_box(component));
    }
    std::stable_sort(extraction.circles.begin(), extraction.circles.end(), [](const SourceBox& a, const SourceBox& b) {
        const double area_a = a.width * a.height;
        const double area_b = b.width * b.height;
        if (area_a != area_b) return area_a > area_b;
        if (a.y != b.y) return a.y < b.y;
        return a.x < b.x;
    });

    extraction.horizontal_axes_y = find_axis_lines(image, true);
    extraction.vertical_axes_x = find_axis_lines(image, false);
    const std::size_t nh = extraction.horizontal_axes_y.size();
    const std::size_t nv = extraction.vertical_axes_x.size();
    if (nh == nv && nh >= 2 && nh <= 4) {
        const double left = extraction.vertical_axes_x.front();
        const double top = extraction.horizontal_axes_y.front();
        extraction.profile_box =
            SourceBox{left, top, extraction.vertical_axes_x.back() - left, extraction.horizontal_axes_y.back() - top};
        extraction.profile_kind = static_cast<std::uint32_t>(nh - 1);
        extraction.profile_shape = kShapeOrthogonal;
        extraction.entities_supported = 1;
        extraction.message = "orthogonal front outline and circle entities extracted";
    } else if (!extraction.circles.empty()) {
        extraction.profile_box = extraction.circles.front();
        extraction.profile_kind = kProfileCircular;
        extraction.profile_shape = kShapeCircular;
        extraction.entities_supported = 1;
        extraction.message = "circular front profile and circle entities extracted";
    } else {
        extraction.profile_kind = kProfileNone;
        extraction.profile_shape = kShapeOrthogonal;
        extraction.entities_supported = 0;
        extraction.message = nh == nv ? "orthogonal outline topology is outside the deterministic grammar"
                                      : "orthogonal outline has unequal horizontal and vertical axis counts";
    }
    return extraction;
}

}  // namespace vesk
