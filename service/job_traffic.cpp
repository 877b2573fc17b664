#include "service/job_traffic.hpp"

#include <stdexcept>

namespace vesk {
namespace {

constexpr const char* kClientGreen = "DimensionGraph source confidence is at least 0.8 and the model validated";
constexpr const char* kClientYellow = "DimensionGraph source confidence is below 0.8 and requires review";
constexpr const char* kReaderYellow =
    "Reader-provider value lacks independent source verification and requires review";
constexpr const char* kConflictApproved =
    "User-approved conflict selection is valid for construction but is not drawing-proven green";
constexpr const char* kValueApproved =
    "User-approved completion is valid for construction but is not drawing-proven green";

}  // namespace

OrderedJson build_traffic_report(const DimensionGraph& graph, const std::string& drawing_id, bool client_graph) {
    bool all_green = true;
    OrderedJson dimensions = OrderedJson::array();
    for (const DimensionConstraint& constraint : graph.constraints) {
        const bool green = client_graph && constraint.confidence >= kGreenConfidence;
        all_green = all_green && green;
        OrderedJson entry;
        entry["constraint_id"] = constraint.id;
        entry["value"] = constraint.value;
        entry["signal"] = green ? "green" : "yellow";
        entry["confidence"] = constraint.confidence;
        entry["confidence_applicable"] = true;
        entry["validated"] = true;
        entry["reason"] = !client_graph ? kReaderYellow : green ? kClientGreen : kClientYellow;
        const SourceBox& box = constraint.source_bbox;
        entry["source_bbox"] = {box.x, box.y, box.width, box.height};
        if (constraint.display_name) entry["display_name"] = *constraint.display_name;
        dimensions.push_back(std::move(entry));
    }
    OrderedJson traffic;
    traffic["schema_version"] = "vesk-local-traffic-v1";
    traffic["drawing_id"] = drawing_id;
    traffic["overall"] = all_green ? "green" : "yellow";
    traffic["deterministic_validation_passed"] = true;
    traffic["dimensions"] = std::move(dimensions);
    traffic["errors"] = OrderedJson::array();
    return traffic;
}

OrderedJson* find_dimension_by_constraint_id(OrderedJson& dimensions, const std::string& id) {
    for (OrderedJson& entry : dimensions) {
        if (entry.is_object() && entry.contains("constraint_id") && entry["constraint_id"] == id) return &entry;
    }
    return nullptr;
}

void apply_completion_to_traffic(OrderedJson& traffic, const CompletionRecord& record) {
    if (record.status != kStatusApproved) return;
    const bool conflict = record.provenance == kProvenanceConflict;
    if (!conflict && record.provenance != kProvenanceUserInput && record.provenance != kProvenanceDeterministic) {
        throw std::runtime_error("Approved completion has unknown provenance");
    }
    if (!record.approved_constraint_id) throw std::runtime_error("Approved completion has no target constraint id");
    OrderedJson* entry = find_dimension_by_constraint_id(traffic["dimensions"], *record.approved_constraint_id);
    if (entry == nullptr) throw std::runtime_error("Approved completion is missing from the rerun traffic report");
    (*entry)["signal"] = "yellow";
    (*entry)["provenance_status"] = kStatusApproved;
    (*entry)["provenance_kind"] = record.provenance;
    (*entry)["confidence_applicable"] = false;
    (*entry)["reason"] = conflict ? kConflictApproved : kValueApproved;
    traffic["overall"] = "yellow";
}

}  // namespace vesk
