// The pipeline's stages that the tests run on their own: the STEP and view stage in either
// order of work, and the report's text.
#pragma once

#include <filesystem>
#include <string>

#include "model/pipeline_steps.hpp"

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

// The report's JSON text.
std::string report_text(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                        const SketchAnalysis& analysis, const ShapeMeasurement& measurement,
                        const OutputPaths& outputs);

}  // namespace vesk
