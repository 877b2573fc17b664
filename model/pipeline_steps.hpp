// The steps of one pipeline run that work on the built solid, apart from pipeline.hpp so
// that callers of run_pipeline never compile the geometry kernel's headers.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "model/pipeline.hpp"
#include "model/solid_builder.hpp"

namespace vesk {

// Where the STEP write and read-back run: on a thread of their own beside the three views,
// or before the views on the caller's thread.
enum class OutputStages { beside, in_sequence };

// Writes the STEP file and the front, top and side views of the model into the existing
// output directory, reads the STEP file back and checks it holds every model hole, and
// returns its measurement. A failure reports the first failing step in the order STEP
// write, views (front, top, side), read-back, whatever the stages: after a failed STEP
// write or view no output is left; after a failed read-back the STEP file and the views
// are in place (they always were), and the caller writes no report.
ShapeMeasurement write_step_and_views(const BuiltModel& model, const OutputPaths& outputs,
                                      OutputStages stages = OutputStages::beside);

// Every model hole must match a distinct measured cylinder within 1e-6.
void check_step_round_trip_holes(const ShapeMeasurement& measurement, const std::vector<ModelHole>& holes);

// The report's JSON text, and the report written whole or not at all.
std::string report_text(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                        const SketchAnalysis& analysis, const ShapeMeasurement& measurement,
                        const OutputPaths& outputs);
void write_report(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                  const SketchAnalysis& analysis, const ShapeMeasurement& measurement, const OutputPaths& outputs);

}  // namespace vesk
