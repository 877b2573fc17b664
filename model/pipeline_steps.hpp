// The steps of one pipeline run that work on the built solid, apart from pipeline.hpp so
// that callers of run_pipeline never compile the geometry kernel's headers.
#pragma once

#include <filesystem>
#include <vector>

#include "model/pipeline.hpp"
#include "model/solid_builder.hpp"

namespace vesk {

// Every model hole must match a distinct measured cylinder within 1e-6.
void check_step_round_trip_holes(const ShapeMeasurement& measurement, const std::vector<ModelHole>& holes);

// The report written whole or not at all.
void write_report(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                  const SketchAnalysis& analysis, const ShapeMeasurement& measurement, const OutputPaths& outputs);

}  // namespace vesk
