// Pilot jobs laid out on disk in any status, as the worker would have left them, for the
// recovery, record and bundle tests.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "intake/pdf_page_process.hpp"
#include "model/json_util.hpp"
#include "pilot/pilot_bundle.hpp"
#include "pilot/pilot_documents.hpp"
#include "pilot/pilot_files.hpp"
#include "pilot/pilot_record.hpp"
#include "pilot/pilot_service.hpp"
#include "support/expect_error.hpp"
#include "support/service_process.hpp"

namespace vesk::test {

// The real PDF page helper with a stop of its own.
inline PdfPageHelper pdf_page_helper() {
    return PdfPageHelper{pdf_page_program(), std::make_shared<PdfPageStop>()};
}

inline const std::string kPngBytes = std::string("\x89PNG\r\n\x1a\n", 8) + "pilot test source bytes";

inline ReaderResponse two_candidates(const std::string& drawing_id) {
    ReaderResponse response;
    response.drawing_id = drawing_id;
    response.readings.push_back({"width", 100.0, 0.9, ReadingOrigin::source_text, {10, 20, 30, 8}});
    response.readings.push_back({"height", std::nullopt, 0.0, ReadingOrigin::unreadable, {50, 20, 30, 8}});
    return response;
}

// Fake analysis: what the real one leaves for a PNG read by a provider.
inline void fake_analysis(PilotRecord& record) {
    record.binding_dpi = *record.declared_dpi;
    record.route = "raster_scan_eye";
    record.route_reason_codes = {"explicit_png_raster_input"};
    record.candidates = two_candidates(record.drawing_id);
    write_pilot_file(record.job_directory / kPilotCandidatesFile,
                     dump_json_document(candidates_to_json(*record.candidates)));
}

// Fake modelling: outputs, traffic and the real evidence bundle.
inline void fake_model(PilotRecord& record) {
    const PilotArtifacts artifacts = pilot_artifact_paths(record.job_directory);
    for (const auto& path : {artifacts.step, artifacts.front_svg, artifacts.top_svg, artifacts.side_svg,
                             artifacts.report_json}) {
        write_pilot_file(path, "output " + path.filename().string() + "\n");
    }
    write_pilot_file(record.traffic_path, "{}\n");
    record.artifacts = artifacts;
    write_evidence_bundle(record);
}

inline void fake_review(PilotRecord& record, const std::string& decision_id = "review-1") {
    record.review_decision_id = decision_id;
    write_once_record(review_record_path(record), "{\"accepted\": true}\n");
    write_pilot_file(record.reviewed_graph_path, "{\"reviewed\": true}\n");
}

inline void persist(const PilotRecord& record) {
    write_file_atomically(record.job_directory / kPilotStateFile, dump_json_document(pilot_state_to_json(record)));
}

// A PNG job numbered `number` persisted in `status`, with every file that status needs.
inline PilotRecord make_job_on_disk(const std::filesystem::path& root, std::uint64_t number, PilotStatus status) {
    PilotRecord record;
    record.job_id = pilot_job_id(number);
    record.drawing_id = "plate-1";
    record.source_filename = "drawing.png";
    record.media_type = "image/png";
    record.declared_dpi = 300.0;
    set_pilot_paths(record, root);
    write_pilot_file(record.source_path, kPngBytes);
    const auto at_least = [status](PilotStatus s) { return status != PilotStatus::rejected && status >= s; };
    if (at_least(PilotStatus::awaiting_review)) fake_analysis(record);
    if (at_least(PilotStatus::queued_model)) fake_review(record);
    if (status == PilotStatus::completed) fake_model(record);
    record.status = status;
    if (status == PilotStatus::rejected) {
        record.error_code = "pilot_processing_failed";
        record.error_message = "failed";
    }
    persist(record);
    return record;
}

// A review that confirms every candidate of a status document, in candidate order.
inline SortedJson confirm_all_review(const OrderedJson& status, const std::string& decision_id) {
    SortedJson body = {{"schema_version", "z23-edur-review-v1"},
                       {"decision_id", decision_id},
                       {"acknowledgement", {{"operator_reviewed_all_candidates", true}, {"pilot_hold", true}}}};
    body["decisions"] = SortedJson::array();
    for (const auto& candidate : status["candidates"]) {
        body["decisions"].push_back({{"constraint_id", candidate["constraint_id"]}, {"action", "confirm"}, {"value", nullptr}});
    }
    return body;
}

// The refusal message of a review, or kNoError.
inline std::string review_refusal(PilotService& service, const std::string& job_id, const SortedJson& body) {
    return error_message<std::invalid_argument>([&] { service.submit_review(job_id, body); });
}

}  // namespace vesk::test
