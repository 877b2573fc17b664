// Sketch analysis of a dimensioned plate: front outline, a grid of holes held by their
// diameters, and the top view's outline, as the rectangle binding builds it. The largest
// has the most holes a part may have.
#include <string>

#include <benchmark/benchmark.h>

#include "model/sketch_analysis.hpp"

namespace {

using vesk::ConstraintType;
using vesk::DimensionGraph;

void add_line(DimensionGraph& graph, const std::string& id, const std::string& view, double x0, double y0, double x1,
              double y1) {
    graph.entities.push_back({id, vesk::EntityType::line, view, vesk::LineGeometry{{x0, y0}, {x1, y1}}});
}

void add_constraint(DimensionGraph& graph, ConstraintType type, const std::string& entity, double value) {
    const std::string id = "bound_" + std::to_string(graph.constraints.size() + 1);
    graph.constraints.push_back({id, type, {entity}, value, 1.0, {}, std::nullopt});
}

void add_rectangle(DimensionGraph& graph, const std::string& view, double w, double h) {
    add_line(graph, view + "_bottom", view, 0, 0, w, 0);
    add_line(graph, view + "_right", view, w, 0, w, h);
    add_line(graph, view + "_top", view, w, h, 0, h);
    add_line(graph, view + "_left", view, 0, h, 0, 0);
    add_constraint(graph, ConstraintType::distance, view + "_bottom", w);
    add_constraint(graph, ConstraintType::distance, view + "_right", h);
    add_constraint(graph, ConstraintType::distance, view + "_top", w);
    add_constraint(graph, ConstraintType::distance, view + "_left", h);
}

DimensionGraph plate(int holes) {
    const int columns = 40;
    const double pitch = 10.0;
    const double width = pitch * (columns + 1);
    const double height = pitch * ((holes + columns - 1) / columns + 1);
    DimensionGraph graph;
    graph.views = {{"front", vesk::ViewType::front}, {"top", vesk::ViewType::top}};
    add_rectangle(graph, "front", width, height);
    for (int k = 0; k < holes; ++k) {
        const std::string id = "front_hole_" + std::to_string(k + 1);
        graph.entities.push_back({id, vesk::EntityType::circle, "front",
                                  vesk::CircleGeometry{{pitch * (k % columns + 1), pitch * (k / columns + 1)}, 3.0}});
        add_constraint(graph, ConstraintType::diameter, id, 6.0);
    }
    add_rectangle(graph, "top", width, 12.0);
    return graph;
}

void BM_AnalyzePlate(benchmark::State& state) {
    const DimensionGraph graph = plate(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vesk::SketchAnalysis analysis = vesk::analyze_dimension_graph(graph);
        if (analysis.degrees_of_freedom != 0) {
            state.SkipWithError("plate is not exactly dimensioned");
            break;
        }
        benchmark::DoNotOptimize(analysis);
    }
    state.counters["unknowns"] = static_cast<double>(8 * 4 + state.range(0) * 3);
}

}  // namespace

BENCHMARK(BM_AnalyzePlate)->Arg(4)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
