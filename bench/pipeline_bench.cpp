// End-to-end pipeline on the shipped plate and flange, with each stage timed on its own.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include "bench/occt_bench_main.hpp"
#include "model/dimension_graph.hpp"
#include "model/occt_support.hpp"
#include "model/pipeline.hpp"
#include "model/pipeline_steps.hpp"
#include "model/sketch_analysis.hpp"
#include "model/solid_builder.hpp"
#include "model/step_exchange.hpp"
#include "model/views.hpp"

namespace fs = std::filesystem;
using namespace vesk;

namespace {

fs::path example(const std::string& name) { return fs::path(VESK_SOURCE_DIR) / "examples" / (name + ".json"); }

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / "vesk-pipeline-bench" / name;
    fs::create_directories(dir);
    return dir;
}

void peak_memory(benchmark::State& state) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

const char* kParts[] = {"plate_with_holes", "flange"};

void BM_Load(benchmark::State& state) {
    const fs::path path = example(kParts[state.range(0)]);
    for (auto _ : state) benchmark::DoNotOptimize(load_dimension_graph(path));
    state.SetLabel(kParts[state.range(0)]);
}

void BM_Analysis(benchmark::State& state) {
    const DimensionGraph graph = load_dimension_graph(example(kParts[state.range(0)]));
    for (auto _ : state) benchmark::DoNotOptimize(analyze_dimension_graph(graph));
    state.SetLabel(kParts[state.range(0)]);
}

void BM_Build(benchmark::State& state) {
    const DimensionGraph graph = load_dimension_graph(example(kParts[state.range(0)]));
    for (auto _ : state) benchmark::DoNotOptimize(build_m2_solid(graph));
    state.SetLabel(kParts[state.range(0)]);
}

void BM_StepWrite(benchmark::State& state) {
    const std::string name = kParts[state.range(0)];
    const BuiltModel model = build_m2_solid(load_dimension_graph(example(name)));
    const fs::path path = scratch("step") / (name + ".step");
    for (auto _ : state) write_step_file(model.shape, path);
    state.SetLabel(name);
}

void BM_Views(benchmark::State& state) {
    const std::string name = kParts[state.range(0)];
    const BuiltModel model = build_m2_solid(load_dimension_graph(example(name)));
    const fs::path dir = scratch("views");
    for (auto _ : state) {
        write_view_svgs(model.shape, {{ViewType::front, dir / "f.svg"},
                                      {ViewType::top, dir / "t.svg"},
                                      {ViewType::side, dir / "s.svg"}});
    }
    state.SetLabel(name);
}

void BM_StepReadBack(benchmark::State& state) {
    const std::string name = kParts[state.range(0)];
    const BuiltModel model = build_m2_solid(load_dimension_graph(example(name)));
    const fs::path path = scratch("read") / (name + ".step");
    write_step_file(model.shape, path);
    for (auto _ : state) {
        const ShapeMeasurement measurement = measure_shape(read_step_file(path));
        check_step_round_trip_holes(measurement, model.holes);
    }
    state.SetLabel(name);
}

void BM_Report(benchmark::State& state) {
    const std::string name = kParts[state.range(0)];
    const fs::path graph_path = example(name);
    const DimensionGraph graph = load_dimension_graph(graph_path);
    const SketchAnalysis analysis = analyze_dimension_graph(graph);
    const BuiltModel model = build_m2_solid(graph);
    const ShapeMeasurement measurement = measure_shape(model.shape);
    const OutputPaths outputs = make_output_paths(graph_path, scratch("report"));
    for (auto _ : state) write_report(graph_path, graph, model, analysis, measurement, outputs);
    state.SetLabel(name);
}

void BM_WholeRun(benchmark::State& state) {
    const std::string name = kParts[state.range(0)];
    const fs::path dir = scratch("whole");
    for (auto _ : state) benchmark::DoNotOptimize(run_pipeline(example(name), dir));
    state.SetLabel(name);
    peak_memory(state);
}

}  // namespace

BENCHMARK(BM_Load)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Analysis)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Build)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StepWrite)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Views)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StepReadBack)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Report)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeRun)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

VESK_OCCT_BENCHMARK_MAIN()
