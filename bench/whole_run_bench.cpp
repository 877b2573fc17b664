// Whole runs (graph file in, STEP, views and report out) on plates of 4, 16, 64 and 256
// holes and the shipped flange, by three routes:
//   0  the pipeline as it runs (holes in one Boolean, STEP beside the views),
//   1  the pipeline's reference route (holes one by one, every step in sequence),
//   2  a bare program doing the reference route's OCCT steps without any of our checks:
//      the blank, each hole cut from the solid holding the earlier ones, the three
//      hidden-line views, the STEP write and the read-back.
// CPU time is that of the whole process (both threads of route 0). Peak memory is the
// process high-water mark, so run one benchmark per process to read it per route:
//   whole_run_bench --benchmark_filter='BM_WholeRun/part:2/route:0$' --benchmark_repetitions=5
// The load counter is the one-minute load average at the end: the machine is shared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <BRepAlgoAPI_Cut.hxx>
#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>
#include <BRepPrimAPI_MakeRevol.hxx>
#include <HLRAlgo_Projector.hxx>
#include <HLRBRep_Algo.hxx>
#include <HLRBRep_HLRToShape.hxx>
#include <IFSelect_ReturnStatus.hxx>
#include <Interface_Static.hxx>
#include <STEPControl_Reader.hxx>
#include <STEPControl_Writer.hxx>
#include <gp_Ax2.hxx>

#include "bench/occt_bench_main.hpp"
#include "model/dimension_graph.hpp"
#include "model/occt_support.hpp"
#include "model/pipeline.hpp"
#include "support/graph_builders.hpp"
#include "support/process_memory.hpp"

namespace fs = std::filesystem;
using namespace vesk;

namespace {

constexpr int kPlateHoles[] = {4, 16, 64, 256};
constexpr int kFlangePart = 4;
constexpr double kPlateWidth = 200.0;
constexpr double kPlateHeight = 100.0;
constexpr double kPlateThickness = 10.0;

struct Hole {
    double x, y, r;
};

// A square grid of holes on the 200 x 100 plate.
std::vector<Hole> plate_holes(int count) {
    const int side = static_cast<int>(std::lround(std::sqrt(static_cast<double>(count))));
    const double dx = kPlateWidth / side;
    const double dy = kPlateHeight / side;
    std::vector<Hole> holes;
    for (int row = 0; row < side; ++row)
        for (int col = 0; col < side; ++col) holes.push_back({dx * (col + 0.5), dy * (row + 0.5), 0.3 * dy});
    return holes;
}

DimensionConstraint dimension(std::string id, ConstraintType type, std::string entity, double value) {
    return {std::move(id), type, {std::move(entity)}, value, 1.0, {0, 0, 1, 1}, std::nullopt};
}

// The plate as a fully dimensioned graph: each line by its length, each hole by its diameter.
DimensionGraph plate_graph(int count) {
    DimensionGraph g;
    g.views = {{"f", ViewType::front}, {"t", ViewType::top}};
    test::add_rectangle(g, "l", "f", kPlateWidth, kPlateHeight);
    test::add_rectangle(g, "t", "t", kPlateWidth, kPlateThickness);
    int k = 0;
    for (const Hole& h : plate_holes(count))
        g.entities.push_back(test::circle_entity("h" + std::to_string(k++), "f", h.x, h.y, h.r));
    for (const DimensionEntity& e : g.entities) {
        if (const auto* line = std::get_if<LineGeometry>(&e.geometry)) {
            const double length = std::hypot(line->end.x - line->start.x, line->end.y - line->start.y);
            g.constraints.push_back(dimension("len_" + e.id, ConstraintType::distance, e.id, length));
        } else {
            const double r = std::get<CircleGeometry>(e.geometry).radius;
            g.constraints.push_back(dimension("dia_" + e.id, ConstraintType::diameter, e.id, 2.0 * r));
        }
    }
    return g;
}

fs::path scratch() {
    const fs::path dir = fs::temp_directory_path() / "vesk-whole-run-bench";
    fs::create_directories(dir);
    return dir;
}

fs::path graph_file(int part) {
    if (part == kFlangePart) return fs::path(VESK_SOURCE_DIR) / "examples" / "flange.json";
    const fs::path path = scratch() / ("plate_" + std::to_string(kPlateHoles[part]) + ".json");
    std::ofstream(path) << dimension_graph_to_json(plate_graph(kPlateHoles[part]));
    return path;
}

std::string part_name(int part) {
    return part == kFlangePart ? "flange" : "plate " + std::to_string(kPlateHoles[part]) + " holes";
}

// The bare program's blank: the plate box, or the shipped flange revolved (radius 50, bore 15,
// 12 thick) with its six bolt holes of radius 4.5 on a circle of 35.
TopoDS_Shape bare_blank(int part, std::vector<Hole>& holes, double& thickness) {
    if (part != kFlangePart) {
        holes = plate_holes(kPlateHoles[part]);
        thickness = kPlateThickness;
        return BRepPrimAPI_MakeBox(kPlateWidth, kPlateHeight, kPlateThickness).Shape();
    }
    thickness = 12.0;
    for (int i = 0; i < 6; ++i) {
        const double a = i * 6.283185307179586 / 6.0;
        holes.push_back({35.0 * std::cos(a), 35.0 * std::sin(a), 4.5});
    }
    BRepBuilderAPI_MakePolygon profile(gp_Pnt(15, 0, 0), gp_Pnt(50, 0, 0), gp_Pnt(50, 0, thickness),
                                       gp_Pnt(15, 0, thickness), Standard_True);
    const TopoDS_Face face = BRepBuilderAPI_MakeFace(profile.Wire()).Face();
    return BRepPrimAPI_MakeRevol(face, gp_Ax1(gp_Pnt(0, 0, 0), gp_Dir(0, 0, 1))).Shape();
}

void bare_run(int part, const fs::path& step_path) {
    std::vector<Hole> holes;
    double t = 0.0;
    TopoDS_Shape solid = bare_blank(part, holes, t);
    for (const Hole& h : holes) {
        const gp_Ax2 axis(gp_Pnt(h.x, h.y, -t), gp_Dir(0, 0, 1));
        solid = BRepAlgoAPI_Cut(solid, BRepPrimAPI_MakeCylinder(axis, h.r, 3.0 * t).Shape()).Shape();
    }
    const gp_Ax2 views[] = {gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(0, 0, 1), gp_Dir(1, 0, 0)),
                            gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(0, -1, 0), gp_Dir(1, 0, 0)),
                            gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(-1, 0, 0), gp_Dir(0, 0, 1))};
    for (const gp_Ax2& view : views) {
        Handle(HLRBRep_Algo) algo = new HLRBRep_Algo();
        algo->Add(solid, 0);
        algo->Projector(HLRAlgo_Projector(view));
        algo->Update();
        algo->Hide();
        HLRBRep_HLRToShape shapes(algo);
        for (const TopoDS_Shape& s :
             {shapes.VCompound(), shapes.Rg1LineVCompound(), shapes.RgNLineVCompound(), shapes.OutLineVCompound(),
              shapes.HCompound(), shapes.Rg1LineHCompound(), shapes.RgNLineHCompound(), shapes.OutLineHCompound()})
            benchmark::DoNotOptimize(s);
    }
    STEPControl_Writer writer;
    Interface_Static::SetCVal("write.step.schema", "AP242DIS");
    writer.Model(Standard_True);
    writer.Transfer(solid, STEPControl_AsIs);
    if (writer.Write(step_path.c_str()) != IFSelect_RetDone) throw std::runtime_error("STEP write failed");
    STEPControl_Reader reader;
    if (reader.ReadFile(step_path.c_str()) != IFSelect_RetDone) throw std::runtime_error("STEP read failed");
    reader.TransferRoots();
    benchmark::DoNotOptimize(reader.OneShape());
}

double load_average() {
    double load = 0.0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

void BM_WholeRun(benchmark::State& state) {
    const int part = static_cast<int>(state.range(0));
    const int route = static_cast<int>(state.range(1));
    const fs::path graph = graph_file(part);
    const fs::path out = scratch() / ("out_" + std::to_string(part) + "_" + std::to_string(route));
    fs::create_directories(out);
    for (auto _ : state) {
        if (route == 2) bare_run(part, out / "bare.step");
        else benchmark::DoNotOptimize(run_pipeline(graph, out, PipelineRoute{route == 1, route == 1}));
    }
    state.SetLabel(part_name(part) + (route == 0 ? ", now" : route == 1 ? ", reference route" : ", bare OCCT"));
    state.counters["peak_rss_MiB"] = test::peak_rss_mib();
    state.counters["load"] = load_average();
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_WholeRun)
    ->ArgNames({"part", "route"})
    ->ArgsProduct({{0, 1, 2, 3, kFlangePart}, {0, 1, 2}})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->ComputeStatistics("min", minimum)
    ->Unit(benchmark::kMillisecond);

VESK_OCCT_BENCHMARK_MAIN()
