// One run of the model pipeline: graph file in, STEP, three SVG views and a report out.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "model/dimension_graph.hpp"
#include "model/sketch_analysis.hpp"

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

// How a run does its slow work. The default is the fast route: every hole cut in one
// Boolean, and the STEP write and read-back on a thread of their own beside the views.
// The other settings give the reference route (holes cut one by one, every step in
// sequence) that the tests and benchmarks compare against; every
// route writes the same bytes and fails with the same message.
struct PipelineRoute {
    bool holes_one_by_one = false;
    bool stages_in_sequence = false;
};

// Loads, analyses, builds and writes; every failure is an exception and a refused sketch
// leaves no file and no directory behind. Each output appears under its final name only
// whole (pipeline_steps.hpp holds the steps that need the built solid).
PipelineResult run_pipeline(const std::filesystem::path& graph_path, const std::filesystem::path& output_directory,
                            PipelineRoute route = {});

// Output names from the graph's stem; refuses an empty stem and a file name that is not UTF-8.
OutputPaths make_output_paths(const std::filesystem::path& graph_path, const std::filesystem::path& output_directory);

std::string join_ids(const std::vector<std::string>& ids);

}  // namespace vesk
