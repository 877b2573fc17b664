#include "support/drawing_generator.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "intake/raster_intake_internal.hpp"
#include "intake/reader_response_internal.hpp"

namespace vesk::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// 5x7 glyphs, one string per row, '#' for ink.
struct Glyph {
    int width;
    std::array<const char*, 7> rows;
};

const Glyph* find_glyph(char c) {
    static const Glyph kDigits[10] = {
        {5, {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
        // Every digit inks its first and last column, so that glyph gaps stay even.
        {5, {"..#..", ".##..", "#.#..", "..#..", "..#..", "..#..", "#####"}},
        {5, {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
        {5, {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
        {5, {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
        {5, {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
        {5, {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
        {5, {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
        {5, {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
        {5, {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    };
    static const Glyph kPoint = {1, {".", ".", ".", ".", ".", ".", "#"}};
    if (c >= '0' && c <= '9') return &kDigits[c - '0'];
    if (c == '.') return &kPoint;
    return nullptr;
}

// Calls cell(x, y) for the top-left pixel of every inked font cell.
template <typename Fn>
void for_each_text_cell(Point2 top_left, std::string_view digits, int scale, Fn&& cell) {
    if (scale < 1) throw std::invalid_argument("text scale must be at least 1");
    std::int32_t x = static_cast<std::int32_t>(std::lround(top_left.x));
    const std::int32_t y = static_cast<std::int32_t>(std::lround(top_left.y));
    for (const char c : digits) {
        const Glyph* glyph = find_glyph(c);
        if (glyph == nullptr) throw std::invalid_argument(std::string("no glyph for '") + c + "'");
        for (int row = 0; row < 7; ++row) {
            for (int column = 0; column < glyph->width; ++column) {
                if (glyph->rows[static_cast<std::size_t>(row)][column] == '#') cell(x + column * scale, y + row * scale);
            }
        }
        // Glyphs stay close enough to read as one group at every scale.
        x += glyph->width * scale + std::min(scale, 4);
    }
}

std::optional<SourceBox> text_ink_box(Point2 top_left, std::string_view digits, int scale) {
    bool any = false;
    std::int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    for_each_text_cell(top_left, digits, scale, [&](std::int32_t x, std::int32_t y) {
        if (!any) {
            x0 = x1 = x;
            y0 = y1 = y;
            any = true;
        }
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x + scale - 1);
        y1 = std::max(y1, y + scale - 1);
    });
    if (!any) return std::nullopt;
    return SourceBox{static_cast<double>(x0), static_cast<double>(y0), static_cast<double>(x1 - x0 + 1),
                     static_cast<double>(y1 - y0 + 1)};
}

// The sheet's "UNITS: mm" note, '#' for ink, with its top-left cell at the marker's place. Its
// letters are whole and ink every cell of the binding's marker mask. Its ink also counts in the
// skew estimate of every generated sheet, so a change to it can move the estimates the intake
// tests check by one candidate angle.
constexpr std::array<std::string_view, 12> kUnitsNote = {
    "................................................................",
    "................................####............................",
    "...#.....#..##...#.###..#####..##..##...........................",
    "...#.....#..##...#..#.....#....#....#...........................",
    "...#.....#..#.#..#..#.....#....#.......##.....#######...#######.",
    "...#.....#..#.#..#..#.....#.....####...##.....#..#...#..#..#...#",
    "...#.....#..#..#.#..#.....#.........#.........#..#...#..#..#...#",
    "...#.....#..#...##..#.....#.........#.........#..#...#..#..#...#",
    "...##...##..#...##..#.....#....#....#..##.....#..#...#..#..#...#",
    "....#####...#....#.###....#.....####...##.....#..#...#..#..#...#",
    "................................................................",
    "................................................................",
};

// splitmix64: the same sequence on every platform, unlike the standard distributions.
class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
    std::uint64_t state_;
};

struct Bounds {
    double x0, y0, x1, y1;
};

Bounds shape_bounds(const Drawing::Shape& shape) {
    return std::visit(
        [](const auto& s) -> Bounds {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, Drawing::Segment>) {
                return {std::min(s.from.x, s.to.x) - s.thickness, std::min(s.from.y, s.to.y) - s.thickness,
                        std::max(s.from.x, s.to.x) + s.thickness, std::max(s.from.y, s.to.y) + s.thickness};
            } else if constexpr (std::is_same_v<T, Drawing::Ring>) {
                return {s.centre.x - s.outer_radius, s.centre.y - s.outer_radius, s.centre.x + s.outer_radius,
                        s.centre.y + s.outer_radius};
            } else if constexpr (std::is_same_v<T, Drawing::Disc>) {
                return {s.centre.x - s.radius, s.centre.y - s.radius, s.centre.x + s.radius, s.centre.y + s.radius};
            } else {
                return {s.x0 - 0.5, s.y0 - 0.5, s.x1 + 0.5, s.y1 + 0.5};
            }
        },
        shape);
}

// Whether the drawing point (x, y) is ink of the shape; edges are half-open so that
// shapes on integer and half-integer positions cover whole pixels.
bool shape_covers(const Drawing::Shape& shape, double x, double y) {
    return std::visit(
        [x, y](const auto& s) -> bool {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, Drawing::Segment>) {
                const double dx = s.to.x - s.from.x;
                const double dy = s.to.y - s.from.y;
                const double length = std::hypot(dx, dy);
                const double half = s.thickness * 0.5;
                if (length == 0.0) {
                    return x - s.from.x >= -half && x - s.from.x < half && y - s.from.y >= -half && y - s.from.y < half;
                }
                const double ux = dx / length;
                const double uy = dy / length;
                const double along = (x - s.from.x) * ux + (y - s.from.y) * uy;
                const double across = ux * (y - s.from.y) - uy * (x - s.from.x);
                return along >= -half && along < length + half && across >= -half && across < half;
            } else if constexpr (std::is_same_v<T, Drawing::Ring>) {
                const double d2 = (x - s.centre.x) * (x - s.centre.x) + (y - s.centre.y) * (y - s.centre.y);
                const double inner = s.outer_radius - s.thickness;
                return d2 < s.outer_radius * s.outer_radius && (inner <= 0.0 || d2 >= inner * inner);
            } else if constexpr (std::is_same_v<T, Drawing::Disc>) {
                const double d2 = (x - s.centre.x) * (x - s.centre.x) + (y - s.centre.y) * (y - s.centre.y);
                return d2 < s.radius * s.radius;
            } else {
                return x >= s.x0 - 0.5 && x < s.x1 + 0.5 && y >= s.y0 - 0.5 && y < s.y1 + 0.5;
            }
        },
        shape);
}

// Input point to drawing point and back; the drawing is turned by +angle about c.
struct Rotation {
    double cos_a = 1.0;
    double sin_a = 0.0;
    double cx = 0.0;
    double cy = 0.0;

    Rotation(double angle_deg, std::int32_t width, std::int32_t height)
        : cos_a(std::cos(angle_deg * kPi / 180.0)),
          sin_a(std::sin(angle_deg * kPi / 180.0)),
          cx(static_cast<double>(width - 1) * 0.5),
          cy(static_cast<double>(height - 1) * 0.5) {}

    Point2 to_drawing(double x, double y) const {
        return {(x - cx) * cos_a + (y - cy) * sin_a + cx, -(x - cx) * sin_a + (y - cy) * cos_a + cy};
    }
    Point2 to_input(double x, double y) const {
        return {(x - cx) * cos_a - (y - cy) * sin_a + cx, (x - cx) * sin_a + (y - cy) * cos_a + cy};
    }

    // Narrows [first_x, last_x] on input row y to the pixels whose centre maps to within a
    // pixel of the drawing box b; no sample of the others can land inside it. A long line
    // turned by a few degrees crosses each row over a short stretch of its bounding box.
    void clip_row(const Bounds& b, std::int32_t y, std::int32_t& first_x, std::int32_t& last_x) const {
        if (cos_a < 0.5) return;  // steep turns: keep the whole box
        constexpr double kSlack = 1.0;
        const double dy = static_cast<double>(y) - cy;
        // Drawing x = (x - cx) cos + dy sin + cx grows with x.
        double lo = (b.x0 - kSlack - cx - dy * sin_a) / cos_a;
        double hi = (b.x1 + kSlack - cx - dy * sin_a) / cos_a;
        // Drawing y = -(x - cx) sin + dy cos + cy.
        const double low_y = b.y0 - kSlack - cy - dy * cos_a;
        const double high_y = b.y1 + kSlack - cy - dy * cos_a;
        if (sin_a > 0.0) {
            lo = std::max(lo, -high_y / sin_a);
            hi = std::min(hi, -low_y / sin_a);
        } else if (sin_a < 0.0) {
            lo = std::max(lo, -low_y / sin_a);
            hi = std::min(hi, -high_y / sin_a);
        } else if (low_y > 0.0 || high_y < 0.0) {
            last_x = first_x - 1;
            return;
        }
        if (!(lo <= hi)) {
            last_x = first_x - 1;
            return;
        }
        constexpr double kLowest = -1.0;
        constexpr double kHighest = 2147483646.0;
        const double left = std::clamp(std::floor(lo + cx) - 1.0, kLowest, kHighest);
        const double right = std::clamp(std::ceil(hi + cx) + 1.0, kLowest, kHighest);
        first_x = std::max(first_x, static_cast<std::int32_t>(left));
        last_x = std::min(last_x, static_cast<std::int32_t>(right));
    }
};

SourceBox rotated_box(const Rotation& rotation, const SourceBox& box) {
    const std::array<Point2, 4> corners = {Point2{box.x, box.y}, Point2{box.x + box.width, box.y},
                                           Point2{box.x, box.y + box.height},
                                           Point2{box.x + box.width, box.y + box.height}};
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const Point2 p = rotation.to_input(corners[i].x, corners[i].y);
        if (i == 0) {
            x0 = x1 = p.x;
            y0 = y1 = p.y;
        }
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    return SourceBox{x0, y0, x1 - x0, y1 - y0};
}

// --- PNG encoding ---

std::uint32_t crc32_of(const std::vector<std::uint8_t>& bytes, std::size_t begin) {
    static const std::array<std::uint32_t, 256> kTable = [] {
        std::array<std::uint32_t, 256> table{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return table;
    }();
    std::uint32_t c = 0xffffffffu;
    for (std::size_t i = begin; i < bytes.size(); ++i) c = kTable[(c ^ bytes[i]) & 0xffu] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put_chunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    put_u32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_u32(out, crc32_of(out, start));
}

std::uint32_t adler32_of(const std::vector<std::uint8_t>& raw) {
    std::uint32_t a = 1, b = 0;
    for (const std::uint8_t byte : raw) {
        a = (a + byte) % 65521u;
        b = (b + a) % 65521u;
    }
    return (b << 16) | a;
}

// zlib stream of stored (uncompressed) deflate blocks.
std::vector<std::uint8_t> zlib_stored(const std::vector<std::uint8_t>& raw) {
    std::vector<std::uint8_t> out = {0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - offset);
        const bool last = offset + length == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<std::uint8_t>(length & 0xffu));
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(~length & 0xffu));
        out.push_back(static_cast<std::uint8_t>((~length >> 8) & 0xffu));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                   raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    } while (offset < raw.size());
    put_u32(out, adler32_of(raw));
    return out;
}

// Deflate bits, least significant first; Huffman codes go out most significant bit first.
class BitWriter {
public:
    void bits(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            if (used_ == 0) bytes_.push_back(0);
            bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (((value >> i) & 1u) << used_));
            used_ = (used_ + 1) % 8;
        }
    }
    void code(std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i) bits(value >> i, 1);
    }
    std::vector<std::uint8_t> finish() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
    int used_ = 0;
};

void fixed_literal(BitWriter& out, std::uint32_t symbol) {
    if (symbol < 144) {
        out.code(0x30 + symbol, 8);
    } else if (symbol < 256) {
        out.code(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
        out.code(symbol - 256, 7);
    } else {
        out.code(0xc0 + symbol - 280, 8);
    }
}

void fixed_match(BitWriter& out, std::uint32_t length, std::uint32_t distance) {
    static constexpr std::array<std::uint32_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                                  15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr std::array<int, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr std::array<std::uint32_t, 30> kDistanceBase = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static constexpr std::array<int, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    std::size_t l = kLengthBase.size() - 1;
    while (kLengthBase[l] > length) --l;
    fixed_literal(out, 257 + static_cast<std::uint32_t>(l));
    out.bits(length - kLengthBase[l], kLengthExtra[l]);
    std::size_t d = kDistanceBase.size() - 1;
    while (kDistanceBase[d] > distance) --d;
    out.code(static_cast<std::uint32_t>(d), 5);
    out.bits(distance - kDistanceBase[d], kDistanceExtra[d]);
}

// zlib stream of one fixed-code deflate block whose matches repeat the byte before (runs)
// or the row above (stride bytes back): small for line drawings, and always the same bytes.
std::vector<std::uint8_t> zlib_runs(const std::vector<std::uint8_t>& raw, std::size_t stride) {
    BitWriter out;
    out.bits(1, 1);  // the last block
    out.bits(1, 2);  // fixed codes
    std::size_t i = 0;
    while (i < raw.size()) {
        std::size_t best_length = 0, best_distance = 0;
        for (const std::size_t distance : {std::size_t{1}, stride}) {
            if (distance == 0 || distance > i || distance > 32768) continue;
            std::size_t length = 0;
            while (length < 258 && i + length < raw.size() && raw[i + length] == raw[i + length - distance]) ++length;
            if (length > best_length) {
                best_length = length;
                best_distance = distance;
            }
        }
        if (best_length >= 3) {
            fixed_match(out, static_cast<std::uint32_t>(best_length), static_cast<std::uint32_t>(best_distance));
            i += best_length;
        } else {
            fixed_literal(out, raw[i++]);
        }
    }
    fixed_literal(out, 256);
    std::vector<std::uint8_t> stream = {0x78, 0x01};
    const std::vector<std::uint8_t> body = out.finish();
    stream.insert(stream.end(), body.begin(), body.end());
    put_u32(stream, adler32_of(raw));
    return stream;
}

void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// image_data: the zlib stream of the scanlines; pixels_per_metre 0 writes no pHYs chunk.
std::vector<std::uint8_t> png_file(std::uint32_t width, std::uint32_t height, std::uint8_t bit_depth,
                                   std::uint8_t colour_type, const std::vector<std::uint8_t>& image_data,
                                   const std::vector<std::uint8_t>& palette, const std::vector<std::uint8_t>& alphas,
                                   std::uint32_t pixels_per_metre = 0) {
    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> ihdr;
    put_u32(ihdr, width);
    put_u32(ihdr, height);
    ihdr.insert(ihdr.end(), {bit_depth, colour_type, 0, 0, 0});
    put_chunk(out, "IHDR", ihdr);
    if (!palette.empty()) put_chunk(out, "PLTE", palette);
    if (!alphas.empty()) put_chunk(out, "tRNS", alphas);
    if (pixels_per_metre != 0) {
        std::vector<std::uint8_t> phys;
        put_u32(phys, pixels_per_metre);
        put_u32(phys, pixels_per_metre);
        phys.push_back(1);  // unit: the metre
        put_chunk(out, "pHYs", phys);
    }
    put_chunk(out, "IDAT", image_data);
    put_chunk(out, "IEND", {});
    return out;
}

// Packs samples of bit_depth bits (1, 2, 4, 8 or 16) into filter-0 scanlines.
class ScanlineWriter {
public:
    ScanlineWriter(int bit_depth) : bit_depth_(bit_depth) {}
    void begin_row() {
        flush_bits();
        bytes_.push_back(0);
    }
    void sample(std::uint32_t value) {
        if (bit_depth_ == 16) {
            bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
            bytes_.push_back(static_cast<std::uint8_t>(value));
        } else if (bit_depth_ == 8) {
            bytes_.push_back(static_cast<std::uint8_t>(value));
        } else {
            pending_ = static_cast<std::uint8_t>(pending_ | (value << (8 - bit_depth_ - used_)));
            used_ += bit_depth_;
            if (used_ == 8) flush_bits();
        }
    }
    std::vector<std::uint8_t> finish() {
        flush_bits();
        return std::move(bytes_);
    }

private:
    void flush_bits() {
        if (used_ > 0) bytes_.push_back(pending_);
        pending_ = 0;
        used_ = 0;
    }
    int bit_depth_;
    std::vector<std::uint8_t> bytes_;
    std::uint8_t pending_ = 0;
    int used_ = 0;
};

// Shortest decimal text of a value ("100", "12.5").
std::string format_reading_value(double value) {
    std::array<char, 64> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    if (error != std::errc()) throw std::invalid_argument("cannot format reading value");
    return std::string(buffer.data(), end);
}

void require_representable(bool condition, PngKind kind) {
    if (!condition) throw std::invalid_argument("image not representable as " + std::string(to_string(kind)));
}

}  // namespace

Drawing::Drawing(std::int32_t width_px, std::int32_t height_px, double dpi)
    : width(width_px), height(height_px), declared_dpi(dpi) {}

void Drawing::line(Point2 from, Point2 to, double thickness) { shapes_.push_back(Segment{from, to, thickness}); }

void Drawing::polygon(const std::vector<Point2>& corners, double thickness) {
    for (std::size_t i = 0; i < corners.size(); ++i) line(corners[i], corners[(i + 1) % corners.size()], thickness);
}

void Drawing::rectangle(Point2 top_left, Point2 bottom_right, double thickness) {
    polygon({top_left, {bottom_right.x, top_left.y}, bottom_right, {top_left.x, bottom_right.y}}, thickness);
}

void Drawing::ring(Point2 centre, double outer_diameter, double thickness) {
    shapes_.push_back(Ring{centre, outer_diameter * 0.5, thickness});
}

void Drawing::disc(Point2 centre, double diameter) { shapes_.push_back(Disc{centre, diameter * 0.5}); }

void Drawing::block(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1) {
    shapes_.push_back(Block{x0, y0, x1, y1});
}

SourceBox Drawing::text(Point2 top_left, std::string_view digits, int scale) {
    for_each_text_cell(top_left, digits, scale,
                       [&](std::int32_t x, std::int32_t y) { block(x, y, x + scale - 1, y + scale - 1); });
    return text_ink_box(top_left, digits, scale).value_or(SourceBox{top_left.x, top_left.y, 0.0, 0.0});
}

void Drawing::millimeter_marker(std::int32_t shift_x, std::int32_t shift_y) {
    for (std::size_t r = 0; r < kUnitsNote.size(); ++r) {
        for (std::size_t c = 0; c < kUnitsNote[r].size(); ++c) {
            if (kUnitsNote[r][c] != '#') continue;
            const std::int32_t x = kMarkerLeft + shift_x + static_cast<std::int32_t>(c);
            const std::int32_t y = kMarkerTop + shift_y + static_cast<std::int32_t>(r);
            block(x, y, x, y);
        }
    }
}

void Drawing::sheet_frame(double margin, double thickness) {
    rectangle({margin, margin}, {static_cast<double>(width - 1) - margin, static_cast<double>(height - 1) - margin},
              thickness);
}

GeneratedReading& Drawing::add_reading(Point2 top_left, double value, int scale) {
    GeneratedReading reading;
    reading.text = format_reading_value(value);
    reading.top_left = top_left;
    reading.scale = scale;
    reading.constraint_id = "reading_" + std::to_string(readings.size() + 1);
    reading.value = value;
    readings.push_back(std::move(reading));
    return readings.back();
}

void Drawing::add_readings(const std::vector<double>& values, const ReadingGrid& grid) {
    const std::size_t columns = grid.columns_x.size();
    for (std::size_t i = 0; i < values.size(); ++i) {
        add_reading({grid.columns_x[i % columns], grid.first_y + grid.pitch * static_cast<double>(i / columns)},
                    values[i], grid.scale);
    }
}

RasterImage Drawing::render() const {
    if (width < 1 || height < 1) throw std::invalid_argument("drawing size must be positive");
    std::vector<Shape> all = shapes_;
    for (const GeneratedReading& reading : readings) {
        if (reading.text.empty()) continue;
        for_each_text_cell(reading.top_left, reading.text, reading.scale, [&](std::int32_t x, std::int32_t y) {
            all.push_back(Block{x, y, x + reading.scale - 1, y + reading.scale - 1});
        });
    }

    std::vector<Point2> samples;
    if (anti_aliased) {
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) samples.push_back({(i + 0.5) / 4.0 - 0.5, (j + 0.5) / 4.0 - 0.5});
        }
    } else {
        samples.push_back({0.0, 0.0});
    }
    const Rotation rotation(rotation_deg, width, height);
    const std::size_t w = static_cast<std::size_t>(width);
    std::vector<std::uint16_t> covered(w * static_cast<std::size_t>(height), 0);
    for (const Shape& shape : all) {
        const Bounds b = shape_bounds(shape);
        const SourceBox on_input = rotated_box(rotation, SourceBox{b.x0, b.y0, b.x1 - b.x0, b.y1 - b.y0});
        const auto first_x = std::max<std::int32_t>(0, static_cast<std::int32_t>(std::floor(on_input.x)) - 1);
        const auto first_y = std::max<std::int32_t>(0, static_cast<std::int32_t>(std::floor(on_input.y)) - 1);
        const auto last_x =
            std::min<std::int32_t>(width - 1, static_cast<std::int32_t>(std::ceil(on_input.x + on_input.width)) + 1);
        const auto last_y =
            std::min<std::int32_t>(height - 1, static_cast<std::int32_t>(std::ceil(on_input.y + on_input.height)) + 1);
        for (std::int32_t y = first_y; y <= last_y; ++y) {
            std::int32_t row_first = first_x;
            std::int32_t row_last = last_x;
            rotation.clip_row(b, y, row_first, row_last);
            for (std::int32_t x = row_first; x <= row_last; ++x) {
                std::uint16_t& bits = covered[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)];
                for (std::size_t k = 0; k < samples.size(); ++k) {
                    const Point2 q = rotation.to_drawing(x + samples[k].x, y + samples[k].y);
                    if (shape_covers(shape, q.x, q.y)) bits = static_cast<std::uint16_t>(bits | (1u << k));
                }
            }
        }
    }

    RasterImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(covered.size());
    const double contrast = static_cast<double>(paper) - static_cast<double>(ink);
    // One grey per number of covered samples.
    std::vector<std::uint32_t> level(samples.size() + 1);
    for (std::size_t k = 0; k < level.size(); ++k) {
        const double share = static_cast<double>(k) / static_cast<double>(samples.size());
        const auto grey = static_cast<std::uint8_t>(std::clamp<long>(std::lround(paper - contrast * share), 0, 255));
        level[k] = make_pixel(grey, grey, grey);
    }
    for (std::size_t i = 0; i < covered.size(); ++i) {
        image.pixels[i] = level[static_cast<std::size_t>(std::popcount(covered[i]))];
    }
    if (speckle_density > 0.0) {
        SeededRandom random(1);
        const auto count = static_cast<std::uint64_t>(std::llround(speckle_density * static_cast<double>(covered.size())));
        for (std::uint64_t n = 0; n < count; ++n) {
            const std::size_t x = random.below(w);
            const std::size_t y = random.below(static_cast<std::uint64_t>(height));
            const auto grey = static_cast<std::uint8_t>(random.below(std::uint64_t{paper} + 1));
            image.pixels[y * w + x] = make_pixel(grey, grey, grey);
        }
    }
    return image;
}

void Drawing::write_png(const std::filesystem::path& path) const { test::write_png(path, render(), PngKind::gray8); }

SourceBox Drawing::reading_box(const GeneratedReading& reading) const {
    if (reading.box_override) return *reading.box_override;
    const SourceBox box = text_ink_box(reading.top_left, reading.text, reading.scale)
                              .value_or(SourceBox{reading.top_left.x, reading.top_left.y, 0.0, 0.0});
    return rotation_deg == 0.0 ? box : rotated_box(Rotation(rotation_deg, width, height), box);
}

ReaderResponse Drawing::reader_response(const std::string& drawing_id) const {
    ReaderResponse response;
    response.drawing_id = drawing_id;
    for (const GeneratedReading& reading : readings) {
        DimensionReading out;
        out.constraint_id = reading.constraint_id;
        out.value = reading.value;
        out.confidence = reading.confidence;
        out.origin = parse_reading_origin(reading.origin);
        out.source_bbox = reading_box(reading);
        response.readings.push_back(std::move(out));
    }
    response.errors = reader_errors;
    return response;
}

std::string Drawing::reader_response_json(const std::string& drawing_id) const {
    nlohmann::ordered_json root;
    root["drawing_id"] = drawing_id;
    root["dimension_graph"] = nullptr;
    root["readings"] = nlohmann::ordered_json::array();
    for (const GeneratedReading& reading : readings) {
        const SourceBox box = reading_box(reading);
        nlohmann::ordered_json item;
        item["constraint_id"] = reading.constraint_id;
        item["value"] = reading.value ? nlohmann::ordered_json(*reading.value) : nlohmann::ordered_json(nullptr);
        item["confidence"] = reading.confidence;
        item["origin"] = reading.origin;
        item["source_bbox"] = {box.x, box.y, box.width, box.height};
        root["readings"].push_back(std::move(item));
    }
    root["errors"] = reader_errors;
    return root.dump(2) + "\n";
}

// --- Layouts ---

namespace {

Drawing sheet_drawing(const SheetLayout& sheet) {
    Drawing drawing(sheet.width, sheet.height, sheet.declared_dpi);
    if (sheet.marker) drawing.millimeter_marker();
    if (sheet.frame) drawing.sheet_frame();
    return drawing;
}

// Outline corners given in millimetres from the lower-left corner, y upward.
std::vector<Point2> outline_pixels(const std::vector<Point2>& corners_mm, Point2 origin, double px_per_mm,
                                   double height_mm) {
    std::vector<Point2> corners;
    for (const Point2& c : corners_mm) corners.push_back({origin.x + c.x * px_per_mm, origin.y + (height_mm - c.y) * px_per_mm});
    return corners;
}

void top_view(Drawing& drawing, double x, double y, double width_mm, double thickness_mm, double px_per_mm) {
    const double half = px_per_mm * 0.5;
    drawing.rectangle({x, y}, {x + width_mm * half, y + thickness_mm * half}, 2.0);
}

// The readings each template's binding expects, in slot order.
std::vector<double> plate_reading_values(const PlateLayout& layout) {
    std::vector<PlateHole> holes = layout.holes;
    // The binding takes holes lowest on the page first, then left to right.
    std::stable_sort(holes.begin(), holes.end(), [](const PlateHole& a, const PlateHole& b) {
        if (a.y_mm != b.y_mm) return a.y_mm < b.y_mm;
        return a.x_mm < b.x_mm;
    });
    const double w = layout.width_mm, h = layout.height_mm, t = layout.thickness_mm;
    std::vector<double> values;
    if (holes.size() == 4 && layout.side_readings) {
        values = {w, h, t, h, w, w, t, w, t, h, t, h};
        for (const PlateHole& hole : holes) values.push_back(hole.diameter_mm);
    } else {
        values = {w, h, w, h};
        for (const PlateHole& hole : holes) values.push_back(hole.diameter_mm);
        values.insert(values.end(), {w, t, w, t});
    }
    return values;
}

std::vector<double> bracket_reading_values(const BracketLayout& l) {
    return {l.overall_width_mm, l.foot_height_mm,    l.foot_length_mm, l.upright_height_mm, l.upright_width_mm,
            l.overall_height_mm, l.overall_width_mm, l.thickness_mm,   l.overall_width_mm,  l.thickness_mm};
}

std::vector<double> stepped_reading_values(const SteppedLayout& l) {
    return {l.overall_width_mm, l.low_height_mm, l.low_length_mm,     l.middle_height_mm,
            l.middle_length_mm, l.top_height_mm, l.top_width_mm,      l.overall_height_mm,
            l.overall_width_mm, l.thickness_mm,  l.overall_width_mm,  l.thickness_mm};
}

std::vector<double> flange_reading_values(const FlangeLayout& l) {
    std::vector<double> values = {l.diameter_mm};
    if (l.bore_mm > 0.0) values.push_back(l.bore_mm);
    // Circles come largest first, then top of the page first, then left to right.
    std::vector<FlangeBolt> bolts = l.bolts;
    std::stable_sort(bolts.begin(), bolts.end(), [](const FlangeBolt& a, const FlangeBolt& b) {
        if (a.diameter_mm != b.diameter_mm) return a.diameter_mm > b.diameter_mm;
        if (a.y_mm != b.y_mm) return a.y_mm > b.y_mm;
        return a.x_mm < b.x_mm;
    });
    for (const FlangeBolt& bolt : bolts) values.push_back(bolt.diameter_mm);
    values.insert(values.end(), {l.length_mm, l.diameter_mm, l.length_mm, l.diameter_mm});
    return values;
}

}  // namespace

Drawing plate_drawing(const PlateLayout& layout) {
    Drawing drawing = sheet_drawing(layout.sheet);
    const double ppm = layout.px_per_mm;
    const Point2 o = layout.origin;
    drawing.rectangle(o, {o.x + layout.width_mm * ppm, o.y + layout.height_mm * ppm}, layout.line_px);
    for (const PlateHole& hole : layout.holes) {
        drawing.ring({o.x + hole.x_mm * ppm, o.y + (layout.height_mm - hole.y_mm) * ppm}, hole.diameter_mm * ppm,
                     layout.ring_px);
    }
    top_view(drawing, o.x, layout.top_view_y, layout.width_mm, layout.thickness_mm, ppm);
    drawing.add_readings(plate_reading_values(layout), layout.sheet.grid);
    return drawing;
}

Drawing bracket_drawing(const BracketLayout& l) {
    Drawing drawing = sheet_drawing(l.sheet);
    const double w = l.overall_width_mm, h = l.overall_height_mm;
    drawing.polygon(outline_pixels({{0, 0}, {w, 0}, {w, l.foot_height_mm}, {l.upright_width_mm, l.foot_height_mm},
                                    {l.upright_width_mm, h}, {0, h}},
                                   l.origin, l.px_per_mm, h),
                    l.line_px);
    top_view(drawing, l.origin.x, l.top_view_y, w, l.thickness_mm, l.px_per_mm);
    drawing.add_readings(bracket_reading_values(l), l.sheet.grid);
    return drawing;
}

Drawing a4_bracket_drawing() {
    BracketLayout layout;
    layout.sheet.width = 2480;
    layout.sheet.height = 3508;
    layout.sheet.marker = false;
    layout.sheet.frame = true;
    layout.sheet.grid = ReadingGrid{{1830.0, 2080.0}, 450.0, 80.0, 6};
    layout.px_per_mm = 300.0 / 25.4;
    layout.origin = {300.0, 700.0};
    layout.line_px = 8.0;
    layout.top_view_y = 2950.0;
    Drawing drawing = bracket_drawing(layout);
    drawing.sheet_frame(40.0, 6.0);
    drawing.anti_aliased = true;
    drawing.paper = 240;
    drawing.speckle_density = 0.0002;
    return drawing;
}

Drawing stepped_drawing(const SteppedLayout& l) {
    Drawing drawing = sheet_drawing(l.sheet);
    const double w = l.overall_width_mm, h = l.overall_height_mm;
    const double middle_x = l.top_width_mm + l.middle_length_mm;
    const double middle_y = l.low_height_mm + l.middle_height_mm;
    drawing.polygon(outline_pixels({{0, 0}, {w, 0}, {w, l.low_height_mm}, {middle_x, l.low_height_mm},
                                    {middle_x, middle_y}, {l.top_width_mm, middle_y}, {l.top_width_mm, h}, {0, h}},
                                   l.origin, l.px_per_mm, h),
                    l.line_px);
    top_view(drawing, l.origin.x, l.top_view_y, w, l.thickness_mm, l.px_per_mm);
    drawing.add_readings(stepped_reading_values(l), l.sheet.grid);
    return drawing;
}

Drawing flange_drawing(const FlangeLayout& l) {
    Drawing drawing = sheet_drawing(l.sheet);
    const double ppm = l.px_per_mm;
    drawing.ring(l.centre, l.diameter_mm * ppm, l.ring_px);
    if (l.bore_mm > 0.0) {
        drawing.ring({l.centre.x + l.bore_offset_px.x, l.centre.y + l.bore_offset_px.y}, l.bore_mm * ppm,
                     l.hole_ring_px);
    }
    for (const FlangeBolt& bolt : l.bolts) {
        drawing.ring({l.centre.x + bolt.x_mm * ppm, l.centre.y - bolt.y_mm * ppm}, bolt.diameter_mm * ppm,
                     l.hole_ring_px);
    }
    drawing.add_readings(flange_reading_values(l), l.sheet.grid);
    return drawing;
}

// --- PNG files ---

std::string_view to_string(PngKind kind) {
    switch (kind) {
    case PngKind::gray1: return "gray1";
    case PngKind::gray4: return "gray4";
    case PngKind::gray8: return "gray8";
    case PngKind::gray16: return "gray16";
    case PngKind::gray_alpha8: return "gray_alpha8";
    case PngKind::rgb8: return "rgb8";
    case PngKind::rgb16: return "rgb16";
    case PngKind::rgba8: return "rgba8";
    case PngKind::rgba16: return "rgba16";
    case PngKind::palette1: return "palette1";
    case PngKind::palette4: return "palette4";
    case PngKind::palette8: return "palette8";
    case PngKind::palette8_transparent: return "palette8_transparent";
    }
    return "unknown";
}

void write_png(const std::filesystem::path& path, const RasterImage& image, PngKind kind) {
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto height = static_cast<std::uint32_t>(image.height);
    int bit_depth = 8;
    std::uint8_t colour_type = 0;
    switch (kind) {
    case PngKind::gray1: bit_depth = 1; break;
    case PngKind::gray4: bit_depth = 4; break;
    case PngKind::gray16: bit_depth = 16; break;
    case PngKind::gray_alpha8: colour_type = 4; break;
    case PngKind::rgb8: colour_type = 2; break;
    case PngKind::rgb16: colour_type = 2; bit_depth = 16; break;
    case PngKind::rgba8: colour_type = 6; break;
    case PngKind::rgba16: colour_type = 6; bit_depth = 16; break;
    case PngKind::palette1: colour_type = 3; bit_depth = 1; break;
    case PngKind::palette4: colour_type = 3; bit_depth = 4; break;
    case PngKind::palette8:
    case PngKind::palette8_transparent: colour_type = 3; break;
    case PngKind::gray8: break;
    }
    const bool grey = colour_type == 0 || colour_type == 4;
    const bool has_alpha = colour_type == 4 || colour_type == 6 || kind == PngKind::palette8_transparent;
    const std::uint32_t max_sample = colour_type == 3 ? 255u : (1u << bit_depth) - 1u;

    std::map<std::uint32_t, std::uint32_t> palette_index;
    std::vector<std::uint32_t> palette_colours;
    ScanlineWriter rows(bit_depth);
    for (std::int32_t y = 0; y < image.height; ++y) {
        rows.begin_row();
        for (std::int32_t x = 0; x < image.width; ++x) {
            const std::uint32_t p = image.at(x, y);
            require_representable(has_alpha || pixel_alpha(p) == 255, kind);
            if (colour_type == 3) {
                auto [it, added] = palette_index.emplace(p, static_cast<std::uint32_t>(palette_colours.size()));
                if (added) palette_colours.push_back(p);
                require_representable(palette_colours.size() <= (1u << bit_depth), kind);
                rows.sample(it->second);
                continue;
            }
            // 8-bit values scale to the sample depth exactly (x 257 for 16 bits).
            const auto scaled = [&](std::uint8_t v) {
                const std::uint32_t s = static_cast<std::uint32_t>(v) * max_sample;
                require_representable(s % 255u == 0, kind);
                return s / 255u;
            };
            if (grey) {
                require_representable(pixel_red(p) == pixel_green(p) && pixel_green(p) == pixel_blue(p), kind);
                rows.sample(scaled(pixel_red(p)));
            } else {
                rows.sample(scaled(pixel_red(p)));
                rows.sample(scaled(pixel_green(p)));
                rows.sample(scaled(pixel_blue(p)));
            }
            if (colour_type == 4 || colour_type == 6) rows.sample(scaled(pixel_alpha(p)));
        }
    }
    std::vector<std::uint8_t> palette;
    std::vector<std::uint8_t> alphas;
    for (const std::uint32_t c : palette_colours) {
        palette.insert(palette.end(), {pixel_red(c), pixel_green(c), pixel_blue(c)});
        if (kind == PngKind::palette8_transparent) alphas.push_back(pixel_alpha(c));
    }
    write_file(path, png_file(width, height, static_cast<std::uint8_t>(bit_depth), colour_type,
                              zlib_stored(rows.finish()), palette, alphas));
}

std::string blank_png(std::uint32_t width, std::uint32_t height) {
    const std::size_t stride = 1 + (width + 7) / 8;
    std::vector<std::uint8_t> rows(stride * height, 0xff);
    for (std::size_t y = 0; y < height; ++y) rows[y * stride] = 0;  // filter type: none
    const std::vector<std::uint8_t> png = png_file(width, height, 1, 0, zlib_runs(rows, stride), {}, {});
    return std::string(png.begin(), png.end());
}

void write_png_header_only(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height) {
    // One grey row of one pixel is all the data; the header is what matters.
    write_file(path, png_file(width, height, 8, 0, zlib_stored({0, 0}), {}, {}));
}

void write_bilevel_png(const std::filesystem::path& path, const RasterImage& image, double dpi) {
    ScanlineWriter rows(1);
    for (std::int32_t y = 0; y < image.height; ++y) {
        rows.begin_row();
        for (std::int32_t x = 0; x < image.width; ++x) {
            const std::uint32_t p = image.at(x, y);
            if (p != make_pixel(0, 0, 0) && p != make_pixel(255, 255, 255)) {
                throw std::invalid_argument("a bilevel PNG takes only opaque black and white pixels");
            }
            rows.sample(p == make_pixel(0, 0, 0) ? 0u : 1u);
        }
    }
    const auto width = static_cast<std::uint32_t>(image.width);
    const std::size_t stride = 1 + (width + 7) / 8;
    const auto per_metre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));
    write_file(path, png_file(width, static_cast<std::uint32_t>(image.height), 1, 0, zlib_runs(rows.finish(), stride),
                              {}, {}, per_metre));
}

}  // namespace vesk::test
