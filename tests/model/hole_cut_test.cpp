// Cutting every hole in one Boolean against cutting them one by one: the same STEP text,
// SVG views, holes and measurements on the examples, generated plates and flanges; and a
// cut that cannot be done falls back to one by one and names its hole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <TopoDS_Shape.hxx>

#include "model/solid_builder.hpp"
#include "model/step_exchange.hpp"
#include "model/views.hpp"
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
        g.entities.push_back(test::circle_entity("h" + std::to_string(k), "f", 25.0 * std::cos(a), 25.0 * std::sin(a), 3.0));
    }
    g.entities.push_back(test::circle_entity("outer", "f", 0.0, 0.0, 40.0));
    test::add_rectangle(g, "s", "s", 12.0, 80.0, 0.0, -40.0);
    return g;
}

// Everything the pipeline writes from a built solid, or the build's error.
std::string outputs_of(const DimensionGraph& graph, HoleCutRoute route, const fs::path& dir) {
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
        const ShapeMeasurement m = measure_shape(model.shape);
        for (const MeasuredCylinder& c : m.cylinders) {
            std::snprintf(line, sizeof line, "cylinder %.17g %.17g %.17g\n", c.x, c.y, c.radius);
            out += line;
        }
        write_step_file(model.shape, dir / "part.step");
        out += test::read_file(dir / "part.step");
        for (ViewType view : {ViewType::front, ViewType::top, ViewType::side})
            out += view_svg_text(view, project_hlr_view(model.shape, make_view_projection(view)));
    } catch (const std::exception& e) {
        out += std::string("error: ") + e.what();
    }
    return out;
}

TEST(HoleCut, OneBooleanGivesTheOutputsOfOneByOne) {
    std::vector<std::pair<std::string, DimensionGraph>> cases;
    for (const char* name : {"flange", "l_bracket", "plate_with_holes", "underconstrained"})
        cases.emplace_back(name, load_dimension_graph(fs::path(VESK_SOURCE_DIR) / "examples" / (std::string(name) + ".json")));
    for (int n : {0, 4, 16, 64}) cases.emplace_back("plate " + std::to_string(n), plate(n));
    for (int n : {0, 6, 12}) cases.emplace_back("flange " + std::to_string(n), flange(n));
    test::TempDir dir;
    for (const auto& [name, graph] : cases) {
        const std::string together = outputs_of(graph, HoleCutRoute::together, dir.path());
        EXPECT_EQ(together, outputs_of(graph, HoleCutRoute::one_by_one, dir.path())) << name;
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
