// The traffic report of a completed run: per dimension, whether its value is
// drawing-proven ("green") or needs review ("yellow"), and why.
#pragma once

#include <string>

#include "model/dimension_graph.hpp"
#include "service/completion_record.hpp"

namespace vesk {

// Client-supplied values at or above this confidence are drawing-proven.
inline constexpr double kGreenConfidence = 0.8;

// "vesk-local-traffic-v1", keys in written order; one entry per constraint in graph order.
OrderedJson build_traffic_report(const DimensionGraph& graph, const std::string& drawing_id, bool client_graph);

// Marks the target of an approved completion yellow with its provenance; other records
// change nothing. std::runtime_error for an unknown provenance, a missing target id, or a
// target that is not in the report.
void apply_completion_to_traffic(OrderedJson& traffic, const CompletionRecord& record);

// The first entry whose "constraint_id" equals id; null when there is none.
OrderedJson* find_dimension_by_constraint_id(OrderedJson& dimensions, const std::string& id);

}  // namespace vesk
