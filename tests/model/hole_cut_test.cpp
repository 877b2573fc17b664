// Cutting every hole in one Boolean and writing STEP beside the views, against cutting them
// one by one and writing in sequence: the same STEP text, SVG views, report, holes and
// measurements on the examples, generated plates and flanges; and a cut that cannot be
// done falls back to one by one and names its hole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <TopoDS_Shape.hxx>

#include "model/pipeline_internal.hpp"
#include "model/solid_builder.hpp"
#include "model/solid_builder_internal.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// A 100 x 50 plate 8 thick with n holes of radius 1.5 on a grid.
DimensionGraph plate(int n) {
    DimensionGraph g;
    g.views = {{"f", ViewType::front}, {"t", ViewType::top}};
    test::add_rectangle(g, "l", "f", 100.0, 50.0);
    const int across = n <= 4 ? 2 : n <= 16 ? 4 : 16;
    for (int k = 0; k < n; ++k) {
        const int rows = (n + across - 1) / across;
        const double x = 100.0 * (k % across + 0.5) / across;
        const double y = 50.0 * (k / across + 0.5) / rows;
        g.entities.push_back(test::circle_entity("h" + std::to_string(k), "f", x, y, 1.5));
    }
    test::add_rectangle(g, "t", "t", 100.0, 8.0);
    return g;
}

// A flange of radius 40, 12 thick, with a bore of 10 and n holes of radius 3 on a circle of 25.
DimensionGraph flange(int n) {
    DimensionGraph g;
    g.part_class = PartClass::revolve;
    g.views = {{"f", ViewType::front}, {"s", ViewType::side}};
    g.entities.push_back(test::circle_entity("bore", "f", 0.0, 0.0, 10.0));
    for (int k = 0; k < n; ++k) {
        const double a = 6.283185307179586 * k / n;
        g.entities.push_back(
            test::circle_entity("h" + std::to_string(k), "f", 25.0 * std::cos(a), 25.0 * std::sin(a), 3.0));
    }
    g.entities.push_back(test::circle_entity("outer", "f", 0.0, 0.0, 40.0));
    test::add_rectangle(g, "s", "s", 12.0, 80.0, 0.0, -40.0);
    return g;
}

// The holes and cylinders of the built solid, everything the pipeline writes from it, and
// its report; or the first error.
std::string outputs_of(const DimensionGraph& graph, HoleCutRoute route, OutputStages stages, const fs::path& dir) {
    std::string out;
    try {
        const BuiltModel model = build_m2_solid(graph, route);
        out += model.construction + "\n";
        char line[160];
        for (const ModelHole& h : model.holes) {
            std::snprintf(line, sizeof line, "%s %.17g %.17g %.17g\n", h.entity_id.c_str(), h.center_x, h.center_y,
                          h.radius);
            out += line;
        }
        for (const MeasuredCylinder& c : measure_shape(model.shape).cylinders) {
            std::snprintf(line, sizeof line, "cylinder %.17g %.17g %.17g\n", c.x, c.y, c.radius);
            out += line;
        }
        const OutputPaths paths = make_output_paths("part.json", dir);
        const ShapeMeasurement read_back = write_step_and_views(model, paths, stages);
        for (const fs::path& file : {paths.step, paths.front_svg, paths.top_svg, paths.side_svg})
            out += test::read_file(file);
        out += report_text("part.json", graph, model, SketchAnalysis{}, read_back, paths);
    } catch (const std::exception& e) {
        out += std::string("error: ") + e.what();
    }
    return out;
}

// The fast route (one Boolean, STEP beside the views) against the earlier one (one by one,
// in sequence).
TEST(HoleCut, OneBooleanGivesTheOutputsOfOneByOne) {
    std::vector<std::pair<std::string, DimensionGraph>> cases;
    for (const char* name : {"flange", "l_bracket", "plate_with_holes", "underconstrained"})
        cases.emplace_back(
            name, load_dimension_graph(fs::path(VESK_SOURCE_DIR) / "examples" / (std::string(name) + ".json")));
    for (int n : {0, 4, 16, 64}) cases.emplace_back("plate " + std::to_string(n), plate(n));
    for (int n : {0, 6, 12}) cases.emplace_back("flange " + std::to_string(n), flange(n));
    test::TempDir dir;
    for (const auto& [name, graph] : cases) {
        const std::string together = outputs_of(graph, HoleCutRoute::together, OutputStages::beside, dir.path());
        EXPECT_EQ(together, outputs_of(graph, HoleCutRoute::one_by_one, OutputStages::in_sequence, dir.path())) << name;
        EXPECT_EQ(together.find("error"), std::string::npos) << name << ": " << together.substr(0, 200);
    }
}

// A null solid: the one Boolean is not done, and the first cut one by one fails and names
// its hole, on either route.
TEST(HoleCut, FailedCutFallsBackAndNamesItsHole) {
    const std::vector<ModelHole> holes = {{"first", 1.0, 1.0, 0.5}, {"second", 3.0, 1.0, 0.5}};
    for (HoleCutRoute route : {HoleCutRoute::together, HoleCutRoute::one_by_one}) {
        try {
            cut_through_holes(TopoDS_Shape(), holes, 2.0, route);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "OCCT failed to cut hole 'first'");
        }
    }
}

}  // namespace
}  // namespace vesk
