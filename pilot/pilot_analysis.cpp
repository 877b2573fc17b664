#include "pilot/pilot_analysis.hpp"

#include <stdexcept>

#include "intake/pdf_page_process.hpp"
#include "intake/raster_intake.hpp"
#include "intake/sha256.hpp"
#include "intake/vector_dimensions.hpp"
#include "model/ascii_text.hpp"
#include "model/json_util.hpp"
#include "pilot/pilot_documents.hpp"
#include "pilot/pilot_files.hpp"
#include "pilot/pilot_model.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

// Resolution of the PDF preview, of its vector reading and of its binding.
constexpr double kPilotPdfDpi = 300.0;

// The two vector-reading errors that have reason codes of their own; any other error makes
// the extraction unusable.
constexpr std::string_view kNoUnitsError = "vector text did not provide explicit millimeter unit evidence";
constexpr std::string_view kNoReadingsError = "no supported vector dimension text was found";

// The preview is rendered under a temporary name and renamed, so it is never served
// half-written. The image writer picks the format by extension, so the temporary name
// ends in ".png"; it lives in the pilot root, outside every job directory, so that a
// crash never leaves it where the evidence bundle would seal it.
double render_preview(const PilotRecord& record, PdfPageProcess& pages) {
    const fs::path partial = record.job_directory.parent_path() / ("." + record.job_id + "-preview.png");
    try {
        const PdfRasterResult raster = pages.render_pdf_page(record.source_path, 0, kPilotPdfDpi, partial);
        platform::sync_file(partial);
        fs::rename(partial, record.preview_path);
        platform::sync_directory(record.job_directory);
        return raster.dpi;
    } catch (...) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw;
    }
}

void read_with_provider(PilotRecord& record, const std::shared_ptr<DrawingReaderProvider>& provider) {
    record.candidates = provider->read(ReaderRequest{record.drawing_id, record.preview_path, record.job_directory});
    record.route = "raster_scan_eye";
    if (provider->name() == "embedded-local-pilot") {
        record.reader_evidence_tree_sha256 = sha256_directory_tree(record.job_directory / "reader_evidence");
    }
}

// The review binds the preview in this process under the pilot's lock: a page whose
// preview it could not bind is refused here, before anything is rendered.
void require_bindable_preview(const PdfPageSummary& page) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(pdf_pixel_size(page.width_pt, kPilotPdfDpi)) *
                                 static_cast<std::uint64_t>(pdf_pixel_size(page.height_pt, kPilotPdfDpi));
    if (pixels > kMaxRasterPixels) {
        throw std::invalid_argument("PDF page 0 of " + number_text(page.width_pt, 2) + " x " +
                                    number_text(page.height_pt, 2) +
                                    " pt is too large for review: its 300 dpi preview would exceed " +
                                    std::to_string(kMaxRasterPixels) + " pixels");
    }
}

void analyze_pdf(PilotRecord& record, const std::shared_ptr<DrawingReaderProvider>& provider,
                 const PdfPageHelper& helper) {
    PdfPageProcess pages(helper);
    // A file of many pages is refused from its page count, before any page is walked.
    const PdfInspection inspection = pages.inspect_pdf_pages(record.source_path, 1);
    if (inspection.page_count != 1 || inspection.pages.size() != 1) {
        throw std::invalid_argument("Z23-Edur pilot currently requires a single-page PDF");
    }
    const PdfPageSummary& page = inspection.pages.front();
    require_bindable_preview(page);
    record.binding_dpi = render_preview(record, pages);
    std::vector<std::string>& reasons = record.route_reason_codes;
    if (!page.has_vector_content) reasons.push_back("no_vector_content");
    if (page.text_objects == 0) reasons.push_back("no_native_text_objects");
    if (page.image_objects > 0) reasons.push_back("raster_image_present");
    if (page.invisible_text_objects > 0) reasons.push_back("invisible_text_or_hidden_ocr_overlay");
    if (page.undecodable_text_objects >= 1) reasons.push_back("undecodable_text_objects");
    if (page.has_vector_content && page.text_objects > 0 && page.image_objects == 0 &&
        page.invisible_text_objects == 0 && page.undecodable_text_objects == 0) {
        VectorDimensionResult vector = read_vector_dimensions(
            pages.extract_pdf_page_vectors(record.source_path, 0, kPilotPdfDpi), record.drawing_id);
        const ReaderResponse& response = vector.response;
        if (vector.millimeter_evidence && !response.readings.empty() && response.errors.empty()) {
            record.candidates = std::move(vector.response);
            record.route = "vector_text";
            reasons = {"visible_native_text_candidate_human_review_required"};
            record.vector_units_verified = true;
            return;
        }
        bool other_errors = false;
        for (const std::string& error : response.errors) {
            if (error != kNoUnitsError && error != kNoReadingsError) other_errors = true;
        }
        if (!vector.millimeter_evidence) reasons.push_back("millimeter_units_unverified");
        if (response.readings.empty()) reasons.push_back("vector_dimension_candidates_empty");
        if (other_errors) reasons.push_back("vector_dimension_extraction_unusable");
    }
    if (reasons.empty()) reasons.push_back("vector_source_not_safely_admitted");
    if (!provider) throw std::runtime_error("Z23-Edur raster fallback requires the embedded local reader");
    read_with_provider(record, provider);
}

void analyze_png(PilotRecord& record, const std::shared_ptr<DrawingReaderProvider>& provider) {
    record.route_reason_codes = {"explicit_png_raster_input"};
    record.binding_dpi = record.declared_dpi.value_or(0.0);
    if (!provider) throw std::runtime_error("Z23-Edur PNG input requires the embedded local reader");
    read_with_provider(record, provider);
}

}  // namespace

void analyze_job(PilotRecord& snapshot, const std::shared_ptr<DrawingReaderProvider>& provider,
                 const PdfPageHelper& pdf_pages) {
    if (snapshot.media_type == "application/pdf") {
        analyze_pdf(snapshot, provider, pdf_pages);
    } else {
        analyze_png(snapshot, provider);
    }
    const std::optional<ReaderResponse>& candidates = snapshot.candidates;
    if (!candidates || candidates->dimension_graph || candidates->readings.empty() || !candidates->errors.empty()) {
        throw std::runtime_error("Z23-Edur reader did not produce a reviewable candidate set");
    }
    write_pilot_file(snapshot.job_directory / kPilotCandidatesFile,
                     dump_json_document(candidates_to_json(*candidates)));
}

PilotSteps make_pilot_steps(std::shared_ptr<DrawingReaderProvider> provider, PdfPageHelper pdf_pages) {
    return PilotSteps{[provider, pdf_pages](PilotRecord& snapshot) { analyze_job(snapshot, provider, pdf_pages); },
                      model_job};
}

}  // namespace vesk
