#include "pilot/pilot_documents.hpp"

#include <array>
#include <utility>

namespace vesk {
namespace fs = std::filesystem;

namespace {

OrderedJson box_to_json(const SourceBox& box) {
    return OrderedJson::array({box.x, box.y, box.width, box.height});
}

OrderedJson reading_to_json(const DimensionReading& reading) {
    OrderedJson json = OrderedJson::object();
    json["constraint_id"] = reading.constraint_id;
    json["value"] = json_or_null(reading.value);
    json["confidence"] = reading.confidence;
    json["origin"] = to_string(reading.origin);
    json["source_bbox"] = box_to_json(reading.source_bbox);
    return json;
}

// Download name -> key of the status document's "files" object.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kFileKeys = {{
    {"source", "source"},
    {"preview_png", "preview.png"},
    {"step", "model.step"},
    {"front_svg", "front.svg"},
    {"top_svg", "top.svg"},
    {"side_svg", "side.svg"},
    {"report_json", "report.json"},
    {"traffic_json", "traffic.json"},
    {"evidence_bundle", "evidence.tar"},
}};

}  // namespace

OrderedJson candidates_to_json(const ReaderResponse& response) {
    OrderedJson json = OrderedJson::object();
    json["drawing_id"] = response.drawing_id;
    json["dimension_graph"] = nullptr;
    OrderedJson readings = OrderedJson::array();
    for (const DimensionReading& reading : response.readings) readings.push_back(reading_to_json(reading));
    json["readings"] = std::move(readings);
    json["errors"] = OrderedJson::array();
    return json;
}

OrderedJson pilot_status_to_json(const PilotRecord& record) {
    const std::string base = "/api/pilot/jobs/" + record.job_id;
    OrderedJson json = OrderedJson::object();
    json["schema_version"] = "z23-edur-pilot-status-v1";
    json["job_id"] = record.job_id;
    json["drawing_id"] = record.drawing_id;
    json["status"] = to_string(record.status);
    json["route"] = json_or_null(!record.route.empty(), record.route);
    json["route_reason_codes"] = record.route_reason_codes;
    json["hold"] = true;
    json["direct_model_green"] = false;
    json["reader_evidence_tree_sha256"] = json_or_null(record.reader_evidence_tree_sha256);
    json["candidates"] = record.candidates ? candidates_to_json(*record.candidates)["readings"] : OrderedJson(nullptr);
    json["error"] = pilot_error_to_json(record);
    json["source_url"] = base + "/files/source";
    json["preview_url"] = base + "/files/preview.png";
    json["review_url"] = base + "/review";
    if (record.artifacts) {
        OrderedJson files = OrderedJson::object();
        for (const auto& [key, name] : kFileKeys) files[std::string(key)] = base + "/files/" + std::string(name);
        json["files"] = std::move(files);
    } else {
        json["files"] = nullptr;
    }
    return json;
}

std::optional<fs::path> pilot_artifact_path(const PilotRecord& record, std::string_view name, bool preview_exists) {
    if (name == "source") return record.source_path;
    if (name == "preview.png") return preview_exists ? std::optional<fs::path>(record.preview_path) : std::nullopt;
    // Model outputs are served only once the job is sealed: a modelling job may already
    // have some of them on disk, not yet stamped.
    if (!record.artifacts || record.status != PilotStatus::completed) return std::nullopt;
    const PilotArtifacts& a = *record.artifacts;
    if (name == "model.step") return a.step;
    if (name == "front.svg") return a.front_svg;
    if (name == "top.svg") return a.top_svg;
    if (name == "side.svg") return a.side_svg;
    if (name == "report.json") return a.report_json;
    if (name == "traffic.json") return record.traffic_path;
    if (name == "evidence.tar") return record.evidence_bundle_path;
    return std::nullopt;
}

OrderedJson pilot_traffic_to_json(const DimensionGraph& graph, const std::string& drawing_id) {
    OrderedJson json = OrderedJson::object();
    json["schema_version"] = "z23-edur-traffic-v1";
    json["drawing_id"] = drawing_id;
    json["overall"] = "yellow";
    json["hold"] = true;
    json["direct_model_green"] = false;
    OrderedJson dimensions = OrderedJson::array();
    for (const DimensionConstraint& constraint : graph.constraints) {
        OrderedJson dimension = OrderedJson::object();
        dimension["constraint_id"] = constraint.id;
        dimension["value"] = constraint.value;
        dimension["signal"] = "yellow";
        dimension["confidence"] = 1.0;
        dimension["confidence_applicable"] = false;
        dimension["validated"] = true;
        dimension["provenance"] = "operator_confirmed_local_pilot";
        dimension["reason"] = "Operator-confirmed pilot value is construction-eligible but never drawing-proven green";
        dimension["source_bbox"] = box_to_json(constraint.source_bbox);
        dimensions.push_back(std::move(dimension));
    }
    json["dimensions"] = std::move(dimensions);
    json["errors"] = OrderedJson::array();
    return json;
}

}  // namespace vesk
