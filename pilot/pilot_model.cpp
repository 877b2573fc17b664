#include "pilot/pilot_model.hpp"

#include <stdexcept>

#include "model/json_util.hpp"
#include "model/pipeline.hpp"
#include "pilot/pilot_bundle.hpp"
#include "pilot/pilot_documents.hpp"
#include "pilot/pilot_files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

std::size_t count_occurrences(const std::string& text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace

void stamp_step_release_header(const fs::path& step_path) {
    std::string text = read_pilot_file(step_path);
    if (count_occurrences(text, kStepDescriptionAsWritten) != 1 ||
        count_occurrences(text, kStepDescriptionPilotHold) != 0) {
        throw std::runtime_error("Z23-Edur STEP release-state header is missing or ambiguous");
    }
    text.replace(text.find(kStepDescriptionAsWritten), kStepDescriptionAsWritten.size(), kStepDescriptionPilotHold);
    write_file_atomically(step_path, text);
}

void stamp_output_hold(const fs::path& report_path, const std::string& review_decision_id) {
    OrderedJson report;
    try {
        report = parse_strict_ordered_json(read_pilot_file(report_path));
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("Z23-Edur cannot stamp its output report: ") + error.what());
    }
    if (!report.is_object() || report.contains("pilot_release")) {
        throw std::runtime_error("Z23-Edur output report cannot be stamped safely");
    }
    OrderedJson release = OrderedJson::object();
    release["schema_version"] = "z23-edur-output-hold-v1";
    release["release_state"] = "PILOT/HOLD";
    release["production_approved"] = false;
    release["independent_ground_truth"] = false;
    release["operator_review_decision_id"] = review_decision_id;
    report["pilot_release"] = std::move(release);
    write_file_atomically(report_path, dump_json_document(report));
}

void model_job(PilotRecord& snapshot) {
    verify_reader_evidence_tree(snapshot);
    const PipelineResult result = run_pipeline(snapshot.reviewed_graph_path, snapshot.job_directory / "model");
    const DimensionGraph graph = load_dimension_graph(snapshot.reviewed_graph_path);
    write_pilot_file(snapshot.traffic_path, dump_json_document(pilot_traffic_to_json(graph, snapshot.drawing_id)));
    snapshot.artifacts = PilotArtifacts{result.outputs.step, result.outputs.front_svg, result.outputs.top_svg,
                                        result.outputs.side_svg, result.outputs.report};
    if (!snapshot.review_decision_id) {
        throw std::runtime_error("Z23-Edur cannot stamp outputs without review provenance");
    }
    stamp_step_release_header(snapshot.artifacts->step);
    stamp_output_hold(snapshot.artifacts->report_json, *snapshot.review_decision_id);
    write_evidence_bundle(snapshot);
}

}  // namespace vesk
