// STEP write, STEP read and the three hidden-line views of a plate with 4 holes and a
// flange with 6.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>

#include "model/occt_support.hpp"
#include "model/solid_builder.hpp"
#include "support/graph_builders.hpp"
#include "model/step_exchange.hpp"
#include "model/views.hpp"

namespace fs = std::filesystem;

namespace {

using vesk::test::add_rectangle;

vesk::DimensionEntity circle(const std::string& id, const std::string& view, double x, double y, double r) {
    return vesk::test::circle_entity(id, view, x, y, r);
}

// 120 x 60 x 10 plate with four holes.
TopoDS_Shape plate_with_4_holes() {
    vesk::DimensionGraph g;
    g.views = {{"vf", vesk::ViewType::front}, {"vt", vesk::ViewType::top}};
    add_rectangle(g, "f", "vf", 120, 60);
    add_rectangle(g, "t", "vt", 120, 10);
    g.entities.push_back(circle("c1", "vf", 15, 15, 5));
    g.entities.push_back(circle("c2", "vf", 105, 15, 5));
    g.entities.push_back(circle("c3", "vf", 105, 45, 5));
    g.entities.push_back(circle("c4", "vf", 15, 45, 5));
    return vesk::build_m2_solid(g).shape;
}

// Flange of diameter 100, 12 thick, bore 30, six holes of diameter 10 on a 70 circle.
TopoDS_Shape flange_with_6_holes() {
    vesk::DimensionGraph g;
    g.part_class = vesk::PartClass::revolve;
    g.views = {{"vf", vesk::ViewType::front}, {"vs", vesk::ViewType::side}};
    g.entities.push_back(circle("outer", "vf", 0, 0, 50));
    g.entities.push_back(circle("bore", "vf", 0, 0, 15));
    for (int i = 0; i < 6; ++i) {
        const double a = i * 3.141592653589793 / 3.0;
        g.entities.push_back(circle("h" + std::to_string(i + 1), "vf", 35 * std::cos(a), 35 * std::sin(a), 5));
    }
    add_rectangle(g, "s", "vs", 12, 100);
    return vesk::build_m2_solid(g).shape;
}

TopoDS_Shape shape_for(int which) { return which == 0 ? plate_with_4_holes() : flange_with_6_holes(); }
const char* name_for(int which) { return which == 0 ? "plate4" : "flange6"; }

fs::path bench_dir() {
    static const fs::path dir = [] {
        vesk::route_occt_messages_to_stderr();
        fs::path d = fs::temp_directory_path() / "vesk_step_views_bench";
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

void BM_StepWrite(benchmark::State& state) {
    const TopoDS_Shape shape = shape_for(static_cast<int>(state.range(0)));
    const fs::path path = bench_dir() / (std::string(name_for(static_cast<int>(state.range(0)))) + ".step");
    for (auto _ : state) vesk::write_step_file(shape, path);
    state.SetLabel(name_for(static_cast<int>(state.range(0))));
}

void BM_StepRead(benchmark::State& state) {
    const fs::path path = bench_dir() / (std::string(name_for(static_cast<int>(state.range(0)))) + "_r.step");
    vesk::write_step_file(shape_for(static_cast<int>(state.range(0))), path);
    for (auto _ : state) benchmark::DoNotOptimize(vesk::read_step_file(path));
    state.SetLabel(name_for(static_cast<int>(state.range(0))));
}

void BM_ThreeViews(benchmark::State& state) {
    const TopoDS_Shape shape = shape_for(static_cast<int>(state.range(0)));
    const std::string stem = name_for(static_cast<int>(state.range(0)));
    const std::map<vesk::ViewType, fs::path> paths = {{vesk::ViewType::front, bench_dir() / (stem + "_front.svg")},
                                                      {vesk::ViewType::top, bench_dir() / (stem + "_top.svg")},
                                                      {vesk::ViewType::side, bench_dir() / (stem + "_side.svg")}};
    for (auto _ : state) vesk::write_view_svgs(shape, paths);
    state.SetLabel(stem);
}

BENCHMARK(BM_StepWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StepRead)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeViews)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
