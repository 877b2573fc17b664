// Build time of prismatic plates as the hole count grows, and of a bolted flange, by each
// hole-cutting route (0: all in one Boolean, 1: one by one, each cut from the solid holding the earlier holes), with the peak
// resident memory of the process.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "model/solid_builder.hpp"
#include "support/process_memory.hpp"

namespace {

using namespace vesk;

DimensionEntity line(std::string id, double x1, double y1, double x2, double y2, const char* view = "f") {
    return DimensionEntity{std::move(id), EntityType::line, view, LineGeometry{{x1, y1}, {x2, y2}}};
}

DimensionEntity circle(std::string id, double cx, double cy, double r) {
    return DimensionEntity{std::move(id), EntityType::circle, "f", CircleGeometry{{cx, cy}, r}};
}

// 200 x 100 x 10 plate with a square grid of side x side holes.
DimensionGraph plate(int side) {
    DimensionGraph g;
    g.views = {{"f", ViewType::front}, {"t", ViewType::top}};
    g.entities = {line("l1", 0, 0, 200, 0), line("l2", 200, 0, 200, 100), line("l3", 200, 100, 0, 100),
                  line("l4", 0, 100, 0, 0), line("t1", 0, 0, 200, 0, "t"), line("t2", 0, 10, 200, 10, "t")};
    const double dx = 200.0 / side;
    const double dy = 100.0 / side;
    for (int row = 0; row < side; ++row) {
        for (int col = 0; col < side; ++col) {
            g.entities.push_back(circle("h" + std::to_string(row) + "_" + std::to_string(col), dx * (col + 0.5),
                                        dy * (row + 0.5), 0.3 * dy));
        }
    }
    return g;
}

// Radius-50 flange, 12 thick, bore 15, six bolt holes of radius 4 on a 35 circle.
DimensionGraph flange() {
    DimensionGraph g;
    g.part_class = PartClass::revolve;
    g.views = {{"f", ViewType::front}, {"s", ViewType::side}};
    g.entities = {circle("outer", 0, 0, 50), circle("bore", 0, 0, 15)};
    for (int i = 0; i < 6; ++i) {
        const double a = i * 6.283185307179586 / 6.0;
        g.entities.push_back(circle("b" + std::to_string(i), 35.0 * std::cos(a), 35.0 * std::sin(a), 4.0));
    }
    g.entities.push_back(line("s1", 0, -50, 12, -50, "s"));
    g.entities.push_back(line("s2", 12, -50, 12, 50, "s"));
    return g;
}

HoleCutRoute route_of(const benchmark::State& state) {
    return state.range(1) == 0 ? HoleCutRoute::together : HoleCutRoute::one_by_one;
}

void BM_PlateHoles(benchmark::State& state) {
    const int side = static_cast<int>(std::lround(std::sqrt(static_cast<double>(state.range(0)))));
    const DimensionGraph graph = plate(side);
    for (auto _ : state) {
        BuiltModel model = build_m2_solid(graph, route_of(state));
        benchmark::DoNotOptimize(model.shape);
    }
    state.counters["peak_rss_MiB"] = test::peak_rss_mib();
}
BENCHMARK(BM_PlateHoles)
    ->ArgNames({"holes", "one_by_one"})
    ->ArgsProduct({{4, 16, 64, 256}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

void BM_PlateHolesMeasure(benchmark::State& state) {
    const int side = static_cast<int>(std::lround(std::sqrt(static_cast<double>(state.range(0)))));
    const BuiltModel model = build_m2_solid(plate(side));
    for (auto _ : state) {
        ShapeMeasurement m = measure_shape(model.shape);
        benchmark::DoNotOptimize(m.cylinders.data());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_PlateHolesMeasure)->Arg(4)->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond)->Complexity();

void BM_FlangeSixBoltHoles(benchmark::State& state) {
    const DimensionGraph graph = flange();
    for (auto _ : state) {
        BuiltModel model = build_m2_solid(graph, route_of(state));
        benchmark::DoNotOptimize(model.shape);
    }
    state.counters["peak_rss_MiB"] = test::peak_rss_mib();
}
BENCHMARK(BM_FlangeSixBoltHoles)->ArgNames({"", "one_by_one"})->Args({0, 0})->Args({0, 1})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
