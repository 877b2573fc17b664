#include "intake/pdf_page_access.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "intake/image_io.hpp"
#include "intake/pdf_engine.hpp"
#include "intake/raster_intake.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

// Resolution bounds of extraction and rendering, inclusive.
constexpr double kPdfMinDpi = 36.0;
constexpr double kPdfMaxDpi = 600.0;

// The one mutex that serialises every use of the PDF engine in this process.
std::mutex& pdf_mutex() {
    static std::mutex mutex;
    return mutex;
}

// Segments shorter than this (squared, in pixels) carry no geometry.
constexpr double kMinSegmentSquared = 1e-12;
constexpr int kMinBezierSteps = 4;
constexpr int kMaxBezierSteps = 64;

double milliseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void check_dpi(double dpi, const char* message) {
    if (!std::isfinite(dpi) || dpi < kPdfMinDpi || dpi > kPdfMaxDpi) throw std::invalid_argument(message);
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

double squared_distance(const pdf_engine::Point& a, const pdf_engine::Point& b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    return dx * dx + dy * dy;
}

// Counts the page's objects and, when asked, collects its text items and segments.
class PageCollector : public pdf_engine::PageVisitor {
public:
    PageCollector(PdfPageSummary& summary, PdfPageVectors* vectors) : summary_(summary), vectors_(vectors) {}

    void text(const pdf_engine::TextObject& object, int depth) override {
        count_top_level(depth);
        ++summary_.text_objects;
        if (object.render_mode == 3 || object.render_mode == 7) ++summary_.invisible_text_objects;
        const bool unmapped = std::find(object.text.begin(), object.text.end(), U'\uFFFD') != object.text.end();
        if (object.text.empty() || unmapped || object.render_mode < 0) ++summary_.undecodable_text_objects;
        if (vectors_ == nullptr || object.text.empty() || !object.has_box) return;
        if (!(object.right > object.left) || !(object.bottom > object.top)) return;
        const double s = vectors_->dpi / 72.0;
        const double x0 = std::max(object.left * s - 1.0, 0.0);
        const double y0 = std::max(object.top * s - 1.0, 0.0);
        const double width = std::min(object.right * s + 1.0, static_cast<double>(vectors_->width_px)) - x0;
        const double height = std::min(object.bottom * s + 1.0, static_cast<double>(vectors_->height_px)) - y0;
        if (!(width > 0.0) || !(height > 0.0)) return;
        PdfTextItem item;
        for (const char32_t c : object.text) append_utf8(item.text, c);
        item.bbox = SourceBox{x0, y0, width, height};
        vectors_->texts.push_back(std::move(item));
    }

    void path(const pdf_engine::PathObject& object, int depth) override {
        count_top_level(depth);
        ++summary_.path_objects;
        if (vectors_ != nullptr) add_segments(object);
    }
    void image(int depth) override {
        count_top_level(depth);
        ++summary_.image_objects;
    }
    void other(int depth) override {
        count_top_level(depth);
        ++summary_.other_objects;
    }
    void form(int depth) override { count_top_level(depth); }

private:
    void count_top_level(int depth) {
        if (depth == 0 && summary_.object_count < std::numeric_limits<std::int32_t>::max()) ++summary_.object_count;
    }

    void emit(const pdf_engine::Point& a, const pdf_engine::Point& b, const pdf_engine::PathObject& object) {
        const double s = vectors_->dpi / 72.0;
        const pdf_engine::Point pa{a.x * s, a.y * s};
        const pdf_engine::Point pb{b.x * s, b.y * s};
        if (!(squared_distance(pa, pb) > kMinSegmentSquared)) return;
        // Flattening multiplies a path's points; the page's bound holds for what is emitted.
        if (vectors_->segments.size() >= pdf_engine::kMaxPageSegments) {
            over_limit_ = true;
            return;
        }
        vectors_->segments.push_back(PdfPathSegment{pa.x, pa.y, pb.x, pb.y, path_index_, object.filled, object.stroked});
    }

    void flatten(const pdf_engine::Point& p0, const std::vector<pdf_engine::Point>& c,
                 const pdf_engine::PathObject& object) {
        const double s = vectors_->dpi / 72.0;
        const double length =
            (std::sqrt(squared_distance(p0, c[0])) + std::sqrt(squared_distance(c[0], c[1])) +
             std::sqrt(squared_distance(c[1], c[2]))) *
            s;
        const double wanted = std::ceil(0.25 * length);
        const int n = std::isfinite(wanted) ? static_cast<int>(std::clamp(wanted, double{kMinBezierSteps},
                                                                           double{kMaxBezierSteps}))
                                            : kMaxBezierSteps;
        pdf_engine::Point previous = p0;
        for (int i = 1; i <= n; ++i) {
            const double t = static_cast<double>(i) / n;
            const double u = 1.0 - t;
            const pdf_engine::Point point{
                u * u * u * p0.x + 3 * u * u * t * c[0].x + 3 * u * t * t * c[1].x + t * t * t * c[2].x,
                u * u * u * p0.y + 3 * u * u * t * c[0].y + 3 * u * t * t * c[1].y + t * t * t * c[2].y};
            emit(previous, point, object);
            previous = point;
        }
    }

    void add_segments(const pdf_engine::PathObject& object) {
        std::optional<pdf_engine::Point> current;
        std::optional<pdf_engine::Point> start;
        std::vector<pdf_engine::Point> pending;
        path_index_ = std::numeric_limits<std::uint32_t>::max();
        for (const pdf_engine::PathElement& element : object.elements) {
            switch (element.type) {
                case pdf_engine::PathElementType::move_to:
                    if (!pending.empty()) throw std::runtime_error("PDF engine returned an incomplete Bezier path");
                    current = start = element.point;
                    path_index_ = next_path_index_++;
                    break;
                case pdf_engine::PathElementType::line_to:
                    if (!pending.empty()) throw std::runtime_error("PDF engine returned an incomplete Bezier path");
                    if (current) emit(*current, element.point, object);
                    current = element.point;
                    break;
                case pdf_engine::PathElementType::bezier_to:
                    if (!current) throw std::runtime_error("PDF engine returned a Bezier path without a start");
                    pending.push_back(element.point);
                    if (pending.size() == 3) {
                        flatten(*current, pending, object);
                        current = pending[2];
                        pending.clear();
                    }
                    break;
            }
            if (element.close) {
                if (!pending.empty()) throw std::runtime_error("PDF engine closed an incomplete Bezier path");
                if (current && start && squared_distance(*current, *start) > kMinSegmentSquared) {
                    emit(*current, *start, object);
                    current = start;
                }
            }
        }
        if (!pending.empty()) throw std::runtime_error("PDF engine returned an incomplete Bezier path");
    }

public:
    bool over_limit_ = false;

private:
    PdfPageSummary& summary_;
    PdfPageVectors* vectors_;
    std::uint32_t path_index_ = 0;
    std::uint32_t next_path_index_ = 0;
};

PdfPageSummary walk_page(pdf_engine::Document& document, std::uint32_t index, PdfPageVectors* vectors) {
    PdfPageSummary summary;
    summary.page_index = index;
    const pdf_engine::PageSize size = document.page_size(static_cast<int>(index));
    summary.width_pt = size.width_pt;
    summary.height_pt = size.height_pt;
    if (!(summary.width_pt > 0.0) || !(summary.height_pt > 0.0) || !std::isfinite(summary.width_pt) ||
        !std::isfinite(summary.height_pt)) {
        throw std::invalid_argument("PDF page " + std::to_string(index) + " has invalid dimensions");
    }
    if (vectors != nullptr) {
        vectors->width_px = pdf_pixel_size(summary.width_pt, vectors->dpi);
        vectors->height_px = pdf_pixel_size(summary.height_pt, vectors->dpi);
    }
    PageCollector collector(summary, vectors);
    document.walk_page(static_cast<int>(index), collector);
    if (collector.over_limit_) {
        throw std::invalid_argument("PDF page " + std::to_string(index) + " holds more than " +
                                    std::to_string(pdf_engine::kMaxPageSegments) + " path segments");
    }
    summary.has_vector_content = summary.text_objects + summary.path_objects > 0;
    return summary;
}

std::uint32_t checked_page_index(pdf_engine::Document& document, std::int64_t index) {
    const int count = document.page_count();
    if (index < 0 || index >= count) {
        throw std::out_of_range("PDF page index " + std::to_string(index) + " is outside [0, " +
                                std::to_string(count) + ")");
    }
    return static_cast<std::uint32_t>(index);
}

}  // namespace

struct LoadedPdf {
    std::string bytes;
    std::unique_ptr<pdf_engine::Document> document;
};

std::string pdf_error_text(long code) {
    switch (code) {
        case 0: return "success";
        case 1: return "unknown error";
        case 2: return "file error";
        case 3: return "format error";
        case 4: return "password required or incorrect";
        case 5: return "unsupported security scheme";
        case 6: return "page error";
        default: return "unrecognized error code " + std::to_string(code);
    }
}

std::string read_pdf_bytes(const std::filesystem::path& path) {
    std::string bytes;
    try {
        // The cap holds for the bytes read, not only for the size on disk (a growing file).
        bytes = platform::read_file(path, kMaxPdfFileBytes);
    } catch (const platform::FileError& error) {
        if (error.operation() == "size") {
            throw std::invalid_argument("PDF input is larger than " + std::to_string(kMaxPdfFileBytes) +
                                        " bytes: " + path.string());
        }
        if (error.operation() == "open") throw std::runtime_error("Cannot open PDF input: " + path.string());
        throw std::runtime_error("Failed while reading PDF input: " + path.string());
    }
    if (bytes.empty()) throw std::invalid_argument("PDF input is empty: " + path.string());
    return bytes;
}

std::unique_ptr<LoadedPdf> load_pdf_document(const std::filesystem::path& path) {
    auto loaded = std::make_unique<LoadedPdf>();
    loaded->bytes = read_pdf_bytes(path);
    int error = 0;
    loaded->document = pdf_engine::load_document(loaded->bytes, error);
    if (!loaded->document) {
        throw std::invalid_argument("Cannot load PDF input '" + path.string() + "': " + pdf_error_text(error));
    }
    return loaded;
}

PdfPageSummary summarize_pdf_page(pdf_engine::Document& document, std::uint32_t index) {
    return walk_page(document, index, nullptr);
}

std::int32_t pdf_pixel_size(double points, double dpi) {
    const double pixels = std::ceil(points * dpi / 72.0);
    if (!std::isfinite(pixels) || pixels < 1.0 || pixels > 2147483647.0) {
        throw std::invalid_argument("Requested PDF raster dimensions are outside integer range");
    }
    return static_cast<std::int32_t>(pixels);
}

PdfInspection inspect_pdf_pages(const std::filesystem::path& path) {
    return inspect_pdf_pages(path, std::numeric_limits<std::int32_t>::max());
}

PdfInspection inspect_pdf_pages(const std::filesystem::path& path, std::int32_t max_pages) {
    std::lock_guard<std::mutex> lock(pdf_mutex());
    const std::unique_ptr<LoadedPdf> loaded = load_pdf_document(path);
    PdfInspection inspection;
    inspection.page_count = loaded->document->page_count();
    if (inspection.page_count < 1) throw std::invalid_argument("PDF input contains no pages: " + path.string());
    if (inspection.page_count > max_pages) return inspection;
    for (std::int32_t i = 0; i < inspection.page_count; ++i) {
        PdfPageSummary summary = summarize_pdf_page(*loaded->document, static_cast<std::uint32_t>(i));
        inspection.any_page_has_vector_content = inspection.any_page_has_vector_content || summary.has_vector_content;
        inspection.pages.push_back(summary);
    }
    return inspection;
}

PdfPageVectors extract_pdf_page_vectors(const std::filesystem::path& path, std::int32_t page_index, double dpi) {
    check_dpi(dpi, "PDF text coordinate DPI must be between 36 and 600");
    const Clock::time_point start = Clock::now();
    std::lock_guard<std::mutex> lock(pdf_mutex());
    const std::unique_ptr<LoadedPdf> loaded = load_pdf_document(path);
    const std::uint32_t index = checked_page_index(*loaded->document, page_index);
    PdfPageVectors vectors;
    vectors.dpi = dpi;
    vectors.page = walk_page(*loaded->document, index, &vectors);
    vectors.elapsed_ms = milliseconds_since(start);
    return vectors;
}

PdfRasterResult render_pdf_page(const std::filesystem::path& path, std::uint32_t page_index, double dpi,
                                const std::filesystem::path& output) {
    check_dpi(dpi, "PDF raster DPI must be between 36 and 600");
    const Clock::time_point start = Clock::now();
    std::lock_guard<std::mutex> lock(pdf_mutex());
    const std::unique_ptr<LoadedPdf> loaded = load_pdf_document(path);
    PdfRasterResult result;
    const std::uint32_t index = checked_page_index(*loaded->document, page_index);
    result.page = summarize_pdf_page(*loaded->document, index);
    result.dpi = dpi;
    result.width_px = pdf_pixel_size(result.page.width_pt, dpi);
    result.height_px = pdf_pixel_size(result.page.height_pt, dpi);
    // Each side alone fits an int, their product need not: refuse before allocating. A
    // raster's pixels have one bound, whoever decodes or renders it.
    if (static_cast<std::uint64_t>(result.width_px) * static_cast<std::uint64_t>(result.height_px) >
        kMaxRasterPixels) {
        throw std::runtime_error("PDF engine could not allocate the page bitmap");
    }

    const std::size_t row_bytes = static_cast<std::size_t>(result.width_px) * 4;
    save_png(output, result.width_px, result.height_px, "PDF raster output", [&](const PngRow& row) {
        loaded->document->render_page(static_cast<int>(index), dpi, result.width_px, result.height_px,
                                      [&](int y, const std::uint8_t* bgra) { std::copy_n(bgra, row_bytes, row(y)); });
    });
    result.output = output;
    result.elapsed_ms = milliseconds_since(start);
    return result;
}

}  // namespace vesk
