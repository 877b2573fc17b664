// PDF page access: inspect every page of a file (sizes, object counts by kind, invisible
// and undecodable text), extract one page's text objects and path segments, and render
// one page to an image file. Every box and point handed out is in pixels of the page's
// raster at the requested resolution, origin top-left, y downward, exactly where
// render_pdf_page puts the ink (the engine's own page transform: /Rotate and crop box
// included).
//
// Each call loads the file afresh and holds the process-wide PDF mutex from loading to
// the last write; nothing is cached between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "model/dimension_graph.hpp"

namespace vesk {

namespace pdf_engine {
class Document;
}

// Larger files are refused before they are read.
inline constexpr std::uint64_t kMaxPdfFileBytes = std::uint64_t{256} << 20;

struct PdfPageSummary {
    std::uint32_t page_index = 0;  // 0-based
    double width_pt = 0.0;         // after /Rotate
    double height_pt = 0.0;
    std::int32_t object_count = 0;  // the page's own objects; a form counts once
    std::uint32_t text_objects = 0;  // objects inside forms by their own kind
    std::uint32_t path_objects = 0;
    std::uint32_t image_objects = 0;
    std::uint32_t other_objects = 0;
    bool has_vector_content = false;  // text_objects + path_objects > 0
    std::uint32_t invisible_text_objects = 0;    // render mode 3 or 7
    std::uint32_t undecodable_text_objects = 0;  // empty, or holding U+FFFD
};

struct PdfInspection {
    std::int32_t page_count = 0;
    bool any_page_has_vector_content = false;
    std::vector<PdfPageSummary> pages;
};

struct PdfTextItem {
    std::string text;  // UTF-8 of one text object
    SourceBox bbox;
};

struct PdfPathSegment {
    double x1 = 0.0;
    double y1 = 0.0;
    double x2 = 0.0;
    double y2 = 0.0;
    std::uint32_t path_index = 0;  // sub-path number on the page, from 0 in move-to order
    bool filled = false;
    bool stroked = false;
};

struct PdfPageVectors {
    PdfPageSummary page;
    std::int32_t width_px = 0;
    std::int32_t height_px = 0;
    double dpi = 0.0;
    double elapsed_ms = 0.0;
    std::vector<PdfTextItem> texts;
    std::vector<PdfPathSegment> segments;
};

struct PdfRasterResult {
    PdfPageSummary page;
    std::filesystem::path output;
    std::int32_t width_px = 0;
    std::int32_t height_px = 0;
    double dpi = 0.0;
    double elapsed_ms = 0.0;
};

// A loaded file: its bytes (which the engine reads in place) and the engine's document.
struct LoadedPdf;

PdfInspection inspect_pdf_pages(const std::filesystem::path& path);
// The page count, read from the page tree, comes first: a file of more than `max_pages`
// pages reports its count and no page summaries, without any page being walked.
PdfInspection inspect_pdf_pages(const std::filesystem::path& path, std::int32_t max_pages);
PdfPageVectors extract_pdf_page_vectors(const std::filesystem::path& path, std::int32_t page_index, double dpi);
PdfRasterResult render_pdf_page(const std::filesystem::path& path, std::uint32_t page_index, double dpi,
                                const std::filesystem::path& output);

// 0 "success", 1 "unknown error", 2 "file error", 3 "format error", 4 "password required
// or incorrect", 5 "unsupported security scheme", 6 "page error", else "unrecognized error
// code <n>".
std::string pdf_error_text(long code);

// The whole file; refuses a missing, unreadable, empty or too large file.
std::string read_pdf_bytes(const std::filesystem::path& path);
// Caller holds the process-wide PDF mutex.
std::unique_ptr<LoadedPdf> load_pdf_document(const std::filesystem::path& path);
// The page's summary from one walk over its objects. Caller holds the process-wide PDF mutex.
PdfPageSummary summarize_pdf_page(pdf_engine::Document& document, std::uint32_t index);
// ceil(points x dpi / 72), refused outside 1 .. 2^31 - 1.
std::int32_t pdf_pixel_size(double points, double dpi);

}  // namespace vesk
