// One run of the model pipeline: graph file in, STEP, three SVG views and a report out.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "model/dimension_graph.hpp"
#include "model/sketch_analysis.hpp"
#include "model/solid_builder.hpp"

namespace vesk {

struct OutputPaths {
    std::filesystem::path step;
    std::filesystem::path front_svg;
    std::filesystem::path top_svg;
    std::filesystem::path side_svg;
    std::filesystem::path report;
};

struct PipelineResult {
    std::string construction;  // "extrude" or "revolve"
    SketchAnalysis analysis;
    OutputPaths outputs;
};

// Loads, analyses, builds and writes; every failure is an exception and a refused sketch
// leaves no file and no directory behind.
PipelineResult run_pipeline(const std::filesystem::path& graph_path, const std::filesystem::path& output_directory);

OutputPaths make_output_paths(const std::filesystem::path& graph_path, const std::filesystem::path& output_directory);

std::string join_ids(const std::vector<std::string>& ids);

// Every model hole must match a distinct measured cylinder within 1e-6.
void check_step_round_trip_holes(const ShapeMeasurement& measurement, const std::vector<ModelHole>& holes);

// Refuses output paths that resolve to the graph file itself.
void check_outputs_spare_input(const std::filesystem::path& graph_path, const OutputPaths& outputs);

void write_report(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                  const SketchAnalysis& analysis, const ShapeMeasurement& measurement, const OutputPaths& outputs);

}  // namespace vesk
