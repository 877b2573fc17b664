// The pipeline run through real files: the report's exact text, what each failure leaves
// behind, and the checks the run is made of.
#include "model/pipeline.hpp"
// The service calls run_pipeline without compiling OCCT: nothing above may pull in an OCCT
// header (every one of them includes Standard_Macro.hxx).
#ifdef _Standard_Macro_HeaderFile
#error "model/pipeline.hpp includes an OCCT header"
#endif
#include "model/pipeline_internal.hpp"
#include "model/pipeline_steps.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <BRepBuilderAPI_MakeVertex.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <gp_Pnt.hxx>

#include "model/occt_support.hpp"
#include "support/expect_error.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::DimensionGraph;
using vesk::ViewType;
using vesk::test::read_file;
using vesk::test::TempDir;
using vesk::test::write_file;
using CT = vesk::ConstraintType;

using vesk::test::error_message;

namespace {

const bool kRouted = (vesk::route_occt_messages_to_stderr(), true);

vesk::DimensionConstraint dim(std::string id, CT type, std::vector<std::string> ids, double value) {
    return {std::move(id), type, std::move(ids), value, 1.0, {0, 0, 1, 1}, std::nullopt};
}

// Every line held by its length ("len_<id>") and every circle by its diameter ("dia_<id>").
DimensionGraph dimensioned(DimensionGraph g) {
    for (const auto& e : g.entities) {
        if (const auto* l = std::get_if<vesk::LineGeometry>(&e.geometry)) {
            const double length = std::hypot(l->end.x - l->start.x, l->end.y - l->start.y);
            g.constraints.push_back(dim("len_" + e.id, CT::distance, {e.id}, length));
        } else {
            const double radius = std::get<vesk::CircleGeometry>(e.geometry).radius;
            g.constraints.push_back(dim("dia_" + e.id, CT::diameter, {e.id}, 2.0 * radius));
        }
    }
    return g;
}

// A 40 x 20 plate (f1..f4), 5 thick (t1..t4), with one hole "h" of diameter 6 at (10, 10).
DimensionGraph small_plate(bool with_hole = true) {
    DimensionGraph g;
    g.views = {{"vf", ViewType::front}, {"vt", ViewType::top}};
    vesk::test::add_rectangle(g, "f", "vf", 40, 20);
    if (with_hole) g.entities.push_back(vesk::test::circle_entity("h", "vf", 10, 10, 3));
    vesk::test::add_rectangle(g, "t", "vt", 40, 5);
    return dimensioned(g);
}

fs::path write_graph(const fs::path& path, const DimensionGraph& graph) {
    write_file(path, vesk::dimension_graph_to_json(graph));
    return path;
}

void drop_constraint(DimensionGraph& g, const std::string& id) {
    std::erase_if(g.constraints, [&](const vesk::DimensionConstraint& c) { return c.id == id; });
}

const char* const kSmallPlateReport = R"({
  "schema_version": "m2",
  "result": "success",
  "input_graph": "small.json",
  "units": "mm",
  "part_class": "prismatic",
  "solver": {
    "engine": "Vesk GCS 1",
    "degrees_of_freedom": 0,
    "missing_dimensions": [],
    "conflicting_constraints": [],
    "redundant_constraints": []
  },
  "model": {
    "construction": "extrude",
    "bounds": {
      "min": [
        0.0,
        0.0,
        0.0
      ],
      "max": [
        40.0,
        20.0,
        5.0
      ]
    },
    "holes": [
      {
        "entity_id": "h",
        "center": [
          10.0,
          10.0
        ],
        "diameter": 6.0
      }
    ]
  },
  "outputs": {
    "step": "small.step",
    "front_svg": "small_front.svg",
    "top_svg": "small_top.svg",
    "side_svg": "small_side.svg"
  }
}
)";

// The bounds and the hole come from the STEP file read back, so this text also pins the
// round trip.
TEST(PipelineRun, ReportOfASmallPlateIsExactlyItsText) {
    const TempDir dir;
    const fs::path out = dir.path() / "deeper" / "out";
    const vesk::PipelineResult result = vesk::run_pipeline(write_graph(dir.path() / "small.json", small_plate()), out);
    EXPECT_EQ(result.construction, "extrude");
    EXPECT_EQ(result.outputs.step, out / "small.step");
    EXPECT_EQ(result.outputs.front_svg, out / "small_front.svg");
    EXPECT_EQ(result.outputs.top_svg, out / "small_top.svg");
    EXPECT_EQ(result.outputs.side_svg, out / "small_side.svg");
    EXPECT_EQ(result.outputs.report, out / "small_report.json");
    for (const fs::path& path : {result.outputs.step, result.outputs.front_svg, result.outputs.top_svg,
                                 result.outputs.side_svg}) {
        EXPECT_GT(fs::exists(path) ? fs::file_size(path) : 0u, 100u) << path;
    }
    EXPECT_EQ(read_file(result.outputs.report), kSmallPlateReport);
}

TEST(PipelineRun, FlangeReportListsTheBoreBeforeHolesDrawnEarlier) {
    const TempDir dir;
    DimensionGraph g;
    g.part_class = vesk::PartClass::revolve;
    g.views = {{"vf", ViewType::front}, {"vs", ViewType::side}};
    constexpr auto* circle = &vesk::test::circle_entity;
    g.entities = {circle("h1", "vf", 20, 0, 2), circle("bore", "vf", 0, 0, 5), circle("h2", "vf", -20, 0, 2),
                  circle("outer", "vf", 0, 0, 30)};
    vesk::test::add_rectangle(g, "s", "vs", 8, 60, 0, -30);
    const vesk::PipelineResult result =
        vesk::run_pipeline(write_graph(dir.path() / "fl.json", dimensioned(g)), dir.path());
    EXPECT_EQ(result.construction, "revolve");
    const std::string report = read_file(result.outputs.report);
    const std::size_t bore = report.find("\"entity_id\": \"bore\"");
    const std::size_t h1 = report.find("\"entity_id\": \"h1\"");
    const std::size_t h2 = report.find("\"entity_id\": \"h2\"");
    ASSERT_NE(h2, std::string::npos) << report;
    EXPECT_LT(bore, h1);
    EXPECT_LT(h1, h2);
    EXPECT_EQ(report.find("\"entity_id\": \"outer\""), std::string::npos) << "the outer circle is no hole";
    EXPECT_NE(report.find("\"construction\": \"revolve\""), std::string::npos);
}

TEST(PipelineRun, PlateWithoutHolesReportsARedundantDimension) {
    const TempDir dir;
    DimensionGraph g = small_plate(false);
    g.constraints.push_back(dim("again", CT::distance, {"f1"}, 40));
    const vesk::PipelineResult result = vesk::run_pipeline(write_graph(dir.path() / "plain.json", g), dir.path());
    EXPECT_EQ(result.analysis.redundant_constraints, std::vector<std::string>{"again"});
    const std::string report = read_file(result.outputs.report);
    EXPECT_NE(report.find("\"holes\": []"), std::string::npos) << report;
    EXPECT_NE(report.find("\"redundant_constraints\": [\n      \"again\"\n    ]"), std::string::npos) << report;
}

// Each failure with its message, and what it leaves in the output directory.
TEST(PipelineRun, FailuresNameTheirCauseAndLeaveWhatWasWritten) {
    struct Case {
        const char* name;
        std::function<void(DimensionGraph&)> edit;
        std::function<void(const fs::path& out)> prepare;  // may be empty
        std::string message;  // followed by the report's path when with_report_path
        bool with_report_path;
        std::vector<std::string> left;  // files of out that exist afterwards; out absent when empty
    };
    const std::vector<std::string> step_and_views = {"small.step", "small_front.svg", "small_top.svg",
                                                     "small_side.svg"};
    const std::vector<Case> cases = {
        {"hole outside the outline is lost in the round trip",
         [](DimensionGraph& g) { g.entities[4] = vesk::test::circle_entity("h", "vf", 60, 10, 3); }, nullptr,
         "STEP round trip lost cylindrical hole 'h'", false, step_and_views},
        {"hole far outside is not cut (OCCT hung on it)",
         [](DimensionGraph& g) { g.entities[4] = vesk::test::circle_entity("h", "vf", -1e308, 10, 3); }, nullptr,
         "STEP round trip lost cylindrical hole 'h'", false, step_and_views},
        {"missing dimension", [](DimensionGraph& g) { drop_constraint(g, "dia_h"); }, nullptr,
         "Underconstrained sketch; missing dimensions: h.diameter", false, {}},
        {"conflict named before missing dimensions",
         [](DimensionGraph& g) {
             drop_constraint(g, "len_f2");
             g.constraints.push_back(dim("z", CT::distance, {"f1"}, 41));
         },
         nullptr, "Conflicting constraints: len_f1, z", false, {}},
        {"relation contradicted by the drawing",
         [](DimensionGraph& g) { g.constraints.push_back(dim("a", CT::angle, {"f1", "f2"}, 80)); }, nullptr,
         "DimensionGraph constraint 'a' value contradicts referenced lines", false, {}},
        {"builder refusal before the directory exists", [](DimensionGraph& g) { g.views[1].type = ViewType::side; },
         nullptr, "M2 builder requires a 'top' view", false, {}},
        {"report path taken by a directory", [](DimensionGraph&) {},
         [](const fs::path& out) { fs::create_directories(out / "small_report.json"); }, "Cannot write report file: ",
         true, step_and_views},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        DimensionGraph plate = small_plate();
        c.edit(plate);
        const fs::path graph = write_graph(dir.path() / "small.json", plate);
        const fs::path out = dir.path() / "out";
        if (c.prepare) c.prepare(out);
        EXPECT_EQ(error_message([&] { vesk::run_pipeline(graph, out); }),
                  c.message + (c.with_report_path ? (out / "small_report.json").string() : ""));
        EXPECT_EQ(fs::exists(out), !c.left.empty());
        for (const auto& name : c.left) EXPECT_TRUE(fs::exists(out / name)) << name;
        EXPECT_FALSE(fs::is_regular_file(out / "small_report.json"));
    }

    const TempDir dir;
    write_file(dir.path() / "a_file", "");
    const fs::path below_file = dir.path() / "a_file" / "out";
    const std::string message =
        error_message([&] { vesk::run_pipeline(write_graph(dir.path() / "small.json", small_plate()), below_file); });
    const std::string prefix = "Cannot create output directory '" + below_file.string() + "': ";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size());
}

TEST(PipelineParts, OutputPathsAndReportWriterFailures) {
    EXPECT_EQ(vesk::make_output_paths("in/part.v2.json", "out").step, fs::path("out/part.v2.step"));
    EXPECT_EQ(error_message([] { vesk::make_output_paths("in/", "out"); }),
              "Input graph filename must have a non-empty stem");

    const vesk::BuiltModel model{TopoDS_Shape(), "extrude", {}};
    vesk::OutputPaths outputs = vesk::make_output_paths("part.json", "no_such_directory");
    auto write = [&] { vesk::write_report("part.json", DimensionGraph{}, model, {}, {}, outputs); };
    EXPECT_EQ(error_message(write), "Cannot write report file: " + outputs.report.string());
    // A device that takes the open but refuses the bytes.
    if (fs::exists("/dev/full")) {
        outputs.report = "/dev/full";
        EXPECT_EQ(error_message(write), "Failed while writing report file: /dev/full");
    }
}

TEST(PipelineParts, RoundTripMatchesEachHoleToItsOwnCylinder) {
    vesk::ShapeMeasurement measurement;
    measurement.cylinders = {{0.0, 0.0, 50.0}, {10.0, 10.0, 3.0}, {20.0, 10.0, 3.0}};
    const vesk::ModelHole a{"a", 10.0, 10.0, 3.0};
    const vesk::ModelHole near{"near", 20.0 + 0.9e-6, 10.0 - 0.9e-6, 3.0 + 0.9e-6};
    const vesk::ModelHole off{"off", 20.0, 10.0, 3.0 + 1.1e-6};
    const vesk::ModelHole twin{"twin", 10.0, 10.0, 3.0};
    const std::pair<std::vector<vesk::ModelHole>, std::string> cases[] = {
        {{}, "<no error>"},
        {{a, near}, "<no error>"},  // leftover cylinders are ignored
        {{a, off}, "STEP round trip lost cylindrical hole 'off'"},
        {{a, twin}, "STEP round trip lost cylindrical hole 'twin'"},  // a cylinder serves one hole
    };
    for (const auto& [holes, expected] : cases) {
        EXPECT_EQ(error_message([&] { vesk::check_step_round_trip_holes(measurement, holes); }), expected);
    }
}

// Whatever the stages, the first failing step in the order STEP write, views, read-back is
// reported, and it leaves what it always left: nothing, or the STEP file and the views.
TEST(PipelineParts, StepBesideTheViewsFailsAsInSequence) {
    const TopoDS_Shape box = BRepPrimAPI_MakeBox(10, 10, 10).Shape();
    const TopoDS_Shape vertex = BRepBuilderAPI_MakeVertex(gp_Pnt(1, 2, 3)).Shape();
    const vesk::ModelHole ghost{"ghost", 5, 5, 1};
    struct Case {
        const char* name;
        vesk::BuiltModel model;
        std::string message;
        bool left;  // the STEP file and the views
    };
    const Case cases[] = {
        {"no shape: the STEP write fails, then the views", {TopoDS_Shape(), "extrude", {ghost}},
         "Cannot write a null shape to STEP", false},
        {"a vertex: the views fail, then the read-back", {vertex, "extrude", {ghost}},
         "OCCT HLR produced no projection edges", false},
        {"a box without the hole: the read-back fails", {box, "extrude", {ghost}},
         "STEP round trip lost cylindrical hole 'ghost'", true},
        {"a box", {box, "extrude", {}}, "<no error>", true},
    };
    for (const Case& c : cases) {
        for (vesk::OutputStages stages : {vesk::OutputStages::beside, vesk::OutputStages::in_sequence}) {
            SCOPED_TRACE(std::string(c.name) + (stages == vesk::OutputStages::beside ? ", beside" : ", in sequence"));
            const TempDir dir;
            const vesk::OutputPaths paths = vesk::make_output_paths("p.json", dir.path());
            EXPECT_EQ(error_message([&] { vesk::write_step_and_views(c.model, paths, stages); }), c.message);
            std::vector<std::string> left;
            for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename());
            std::sort(left.begin(), left.end());
            const std::vector<std::string> outputs = {"p.step", "p_front.svg", "p_side.svg", "p_top.svg"};
            EXPECT_EQ(left, c.left ? outputs : std::vector<std::string>{});
        }
    }
}

// The drawn directions decide, in the solver's own angle convention: the angle from the
// first line to the second, counter-clockwise, modulo a full turn.
TEST(PipelineParts, RelationValuesAgainstTheDrawnLines) {
    struct Case {
        const char* name;
        CT type;
        double x, y;  // the second line runs from (0, 0) to (x, y); the first along +x
        double value;
        bool accepted;
    };
    const Case cases[] = {
        {"angle as drawn", CT::angle, 10, 10, 45, true},
        {"angle plus a full turn", CT::angle, 10, 10, 405, true},
        {"angle of the other sense", CT::angle, 10, 10, -45, false},
        {"angle off by 15 degrees", CT::angle, 10, 10, 30, false},
        {"parallel", CT::parallel, -7, 0, 0, true},
        {"parallel within 1e-10 rad", CT::parallel, 1000, 1e-7, 0, true},
        {"parallel off by 1e-8 rad", CT::parallel, 1000, 1e-5, 0, false},
        {"perpendicular", CT::perpendicular, 0, -3, 0, true},
        {"perpendicular to a diagonal", CT::perpendicular, 3, 3, 90, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DimensionGraph graph;
        graph.views = {{"vf", ViewType::front}};
        graph.entities = {vesk::test::line_entity("first", "vf", 0, 0, 10, 0),
                          vesk::test::line_entity("second", "vf", 0, 0, c.x, c.y)};
        graph.constraints = {dim("rel", c.type, {"first", "second"}, c.value)};
        EXPECT_EQ(error_message([&] { vesk::check_relation_values(graph); }),
                  c.accepted ? "<no error>" : "DimensionGraph constraint 'rel' value contradicts referenced lines");
    }
}

}  // namespace
