// The documents the pilot shows its clients and writes beside its outputs: the status
// document, the downloadable-file table, the candidates file and the pilot traffic
// document. Pure: no file access.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"
#include "pilot/pilot_record.hpp"

namespace vesk {

// The 15-key status document ("z23-edur-pilot-status-v1").
OrderedJson pilot_status_to_json(const PilotRecord& record);

// The file behind a download name, or nothing for an unknown name or a file not yet
// available. preview_exists says whether record.preview_path is on disk.
std::optional<std::filesystem::path> pilot_artifact_path(const PilotRecord& record, std::string_view name,
                                                         bool preview_exists);

// "candidates.json": {"drawing_id", "dimension_graph": null, "readings", "errors": []}.
OrderedJson candidates_to_json(const ReaderResponse& response);

// "pilot_traffic.json": every reviewed value yellow, never green.
OrderedJson pilot_traffic_to_json(const DimensionGraph& graph, const std::string& drawing_id);

}  // namespace vesk
