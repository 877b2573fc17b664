// Vector dimension text: a PDF page's own text read as dimension values, with no
// recognition and no guessing. Single-glyph fragments are joined into numbers, every text
// run is classified (length, diameter, radius, thread, tolerance or not a dimension), each
// bindable run becomes a reading "vector_<n>" in reading order, and the page is searched
// for proof that its dimensions are in millimetres. Boxes are pixels of the page raster.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "intake/pdf_page_access.hpp"
#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// Numbering is fixed.
enum class VectorTextClass : std::uint32_t {
    linear = 0,
    diameter = 1,
    radius = 2,
    thread = 3,
    tolerance = 4,
    not_dimension = 5,
};

struct VectorTextClassification {
    std::string text;  // trimmed of blanks, tabs, CR and LF at both ends
    VectorTextClass text_class = VectorTextClass::not_dimension;
    std::optional<double> value;  // millimetres
    bool bindable = false;
    std::string message;
    SourceBox bbox;
};

struct VectorDimensionResult {
    PdfPageSummary page;
    std::int32_t width_px = 0;
    std::int32_t height_px = 0;
    double dpi = 0.0;
    double elapsed_ms = 0.0;
    std::vector<PdfTextItem> texts;  // after run building
    std::vector<PdfPathSegment> segments;
    ReaderResponse response;
    std::vector<VectorTextClassification> classifications;  // reading order
    bool millimeter_evidence = false;
    double total_elapsed_ms = 0.0;  // extraction plus reading
};

VectorDimensionResult read_pdf_vector_dimensions(const std::filesystem::path& path, std::int32_t page_index,
                                                 double dpi, const std::string& drawing_id);
VectorDimensionResult read_vector_dimensions(PdfPageVectors&& page, const std::string& drawing_id);
VectorTextClassification classify_vector_text(std::string_view text, const SourceBox& bbox);

// Joins single-glyph fragments ("1", "2", ".", "5") into runs that read as one decimal
// number; rewrites page.texts as the runs in order of creation, then every item no run
// took, in input order.
void build_text_runs(PdfPageVectors& page, bool vertical);

// Every blank, tab, CR and LF removed; ASCII a-z upper-cased; other bytes kept.
std::string normalize_dimension_text(std::string_view text);
// Digits with at most one separator ("." or a lone "," between digits); finite and > 0.
std::optional<double> parse_decimal(std::string_view text);
bool inch_matches_mm(double mm, double inch);

}  // namespace vesk
