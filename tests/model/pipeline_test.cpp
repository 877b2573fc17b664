// The pipeline run through real files: the report's exact text, what each failure leaves
// behind, and the helpers the run is made of.
#include "model/pipeline.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/occt_support.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::test::read_file;
using vesk::test::TempDir;
using vesk::test::write_file;

namespace {

const bool kRouted = (vesk::route_occt_messages_to_stderr(), true);

std::string constraint(const std::string& id, const std::string& type, const std::string& entities, double value) {
    return R"({"id":")" + id + R"(","type":")" + type + R"(","entity_ids":[)" + entities +
           R"(],"value":)" + std::to_string(value) + R"(,"confidence":1,"source_bbox":[0,0,1,1]})";
}

std::string line(const std::string& id, const std::string& view, const std::string& start, const std::string& end) {
    return R"({"id":")" + id + R"(","type":"line","view_id":")" + view + R"(","start":)" + start +
           R"(,"end":)" + end + "}";
}

std::string circle(const std::string& id, const std::string& center, double radius) {
    return R"({"id":")" + id + R"(","type":"circle","view_id":"vf","center":)" + center +
           R"(,"radius":)" + std::to_string(radius) + "}";
}

std::string join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",\n") + item;
    return text;
}

std::string graph_text(const std::string& part_class, const std::string& views,
                       const std::vector<std::string>& entities, const std::vector<std::string>& constraints) {
    return R"({"units":"mm","part_class":")" + part_class + R"(","views":[)" + views + "],\n\"entities\":[" +
           join(entities) + "],\n\"constraints\":[" + join(constraints) + "]}\n";
}

const std::string kPlateViews = R"({"id":"vf","type":"front"},{"id":"vt","type":"top"})";

// A 40 x 20 plate, 5 thick, with one hole of diameter 6 at (10, 10); parts can be swapped.
struct SmallPlate {
    std::vector<std::string> entities = {
        line("b", "vf", "[0,0]", "[40,0]"),   line("r", "vf", "[40,0]", "[40,20]"),
        line("t", "vf", "[40,20]", "[0,20]"), line("l", "vf", "[0,20]", "[0,0]"),
        circle("h", "[10,10]", 3),            line("tb", "vt", "[0,0]", "[40,0]"),
        line("tr", "vt", "[40,0]", "[40,5]"), line("tt", "vt", "[40,5]", "[0,5]"),
        line("tl", "vt", "[0,5]", "[0,0]"),
    };
    std::vector<std::string> constraints = {
        constraint("w", "distance", R"("b")", 40),   constraint("hgt", "distance", R"("r")", 20),
        constraint("w2", "distance", R"("t")", 40),  constraint("h2", "distance", R"("l")", 20),
        constraint("d", "diameter", R"("h")", 6),    constraint("tw", "distance", R"("tb")", 40),
        constraint("th", "distance", R"("tr")", 5),  constraint("tw2", "distance", R"("tt")", 40),
        constraint("th2", "distance", R"("tl")", 5),
    };
    std::string views = kPlateViews;
    std::string text() const { return graph_text("prismatic", views, entities, constraints); }
};

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

std::string message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no error>";
}

TEST(PipelineRun, ReportOfASmallPlateIsExactlyItsText) {
    TempDir dir;
    const fs::path graph = dir.path() / "small.json";
    write_file(graph, SmallPlate().text());
    const fs::path out = dir.path() / "deeper" / "out";
    const vesk::PipelineResult result = vesk::run_pipeline(graph, out);

    EXPECT_EQ(result.construction, "extrude");
    EXPECT_EQ(result.analysis.degrees_of_freedom, 0);
    EXPECT_TRUE(result.analysis.missing_dimensions.empty());
    EXPECT_EQ(result.outputs.step, out / "small.step");
    EXPECT_EQ(result.outputs.front_svg, out / "small_front.svg");
    EXPECT_EQ(result.outputs.top_svg, out / "small_top.svg");
    EXPECT_EQ(result.outputs.side_svg, out / "small_side.svg");
    EXPECT_EQ(result.outputs.report, out / "small_report.json");
    for (const fs::path& path : {result.outputs.step, result.outputs.front_svg, result.outputs.top_svg,
                                 result.outputs.side_svg}) {
        EXPECT_GT(fs::exists(path) ? fs::file_size(path) : 0u, 100u) << path;
    }
    // Key order, integral doubles with ".0", indent 2 and one final newline.
    EXPECT_EQ(read_file(result.outputs.report), kSmallPlateReport);
}

TEST(PipelineRun, FlangeReportListsTheBoreBeforeHolesDrawnEarlier) {
    TempDir dir;
    const std::vector<std::string> entities = {
        circle("h1", "[20,0]", 2),
        circle("bore", "[0,0]", 5),
        circle("h2", "[-20,0]", 2),
        circle("outer", "[0,0]", 30),
        line("sb", "vs", "[0,-30]", "[8,-30]"),
        line("sr", "vs", "[8,-30]", "[8,30]"),
        line("st", "vs", "[8,30]", "[0,30]"),
        line("sl", "vs", "[0,30]", "[0,-30]"),
    };
    const std::vector<std::string> constraints = {
        constraint("dh1", "diameter", R"("h1")", 4),      constraint("db", "diameter", R"("bore")", 10),
        constraint("dh2", "diameter", R"("h2")", 4),      constraint("do", "diameter", R"("outer")", 60),
        constraint("t1", "distance", R"("sb")", 8),       constraint("s1", "distance", R"("sr")", 60),
        constraint("t2", "distance", R"("st")", 8),       constraint("s2", "distance", R"("sl")", 60),
    };
    const fs::path graph = dir.path() / "fl.json";
    write_file(graph, graph_text("revolve", R"({"id":"vf","type":"front"},{"id":"vs","type":"side"})", entities,
                                 constraints));
    const vesk::PipelineResult result = vesk::run_pipeline(graph, dir.path());
    EXPECT_EQ(result.construction, "revolve");
    const std::string report = read_file(result.outputs.report);
    const std::size_t bore = report.find("\"entity_id\": \"bore\"");
    const std::size_t h1 = report.find("\"entity_id\": \"h1\"");
    const std::size_t h2 = report.find("\"entity_id\": \"h2\"");
    ASSERT_NE(bore, std::string::npos) << report;
    ASSERT_NE(h1, std::string::npos) << report;
    ASSERT_NE(h2, std::string::npos) << report;
    EXPECT_LT(bore, h1);
    EXPECT_LT(h1, h2);
    EXPECT_EQ(report.find("\"entity_id\": \"outer\""), std::string::npos) << "the outer circle is no hole";
    EXPECT_NE(report.find("\"construction\": \"revolve\""), std::string::npos);
}

// Each failure with its message, and what it leaves in the output directory.
TEST(PipelineRun, FailuresNameTheirCauseAndLeaveWhatWasWritten) {
    struct Case {
        const char* name;
        std::function<void(SmallPlate&)> mutate;
        std::function<void(const fs::path& out)> prepare;  // may be empty
        std::string message;  // expected message, followed by the report's path when with_report_path
        bool with_report_path;
        std::vector<std::string> left;  // files of out that exist afterwards; out absent when empty
    };
    const std::vector<std::string> step_and_views = {"small.step", "small_front.svg", "small_top.svg",
                                                     "small_side.svg"};
    const std::vector<Case> cases = {
        {"hole outside the outline is lost in the round trip",
         [](SmallPlate& p) { p.entities[4] = circle("h", "[60,10]", 3); }, nullptr,
         "STEP round trip lost cylindrical hole 'h'", false, step_and_views},
        {"missing dimension",
         [](SmallPlate& p) { p.constraints.erase(p.constraints.begin() + 4); }, nullptr,
         "Underconstrained sketch; missing dimensions: h.diameter", false, {}},
        {"conflict named before missing dimensions",
         [](SmallPlate& p) {
             p.constraints.erase(p.constraints.begin() + 1);  // r.length missing
             p.constraints.push_back(constraint("z", "distance", R"("b")", 41));
         },
         nullptr, "Conflicting constraints: w, z", false, {}},
        {"relation contradicted by the drawing",
         [](SmallPlate& p) { p.constraints.push_back(constraint("a", "angle", R"("b","r")", 80)); }, nullptr,
         "DimensionGraph constraint 'a' value contradicts referenced lines", false, {}},
        {"builder refusal before the directory exists",
         [](SmallPlate& p) {
             p.views = R"({"id":"vf","type":"front"},{"id":"vt","type":"side"})";
         },
         nullptr, "M2 builder requires a 'top' view", false, {}},
        {"report path taken by a directory", [](SmallPlate&) {},
         [](const fs::path& out) { fs::create_directories(out / "small_report.json"); },
         "Cannot write report file: ", true, step_and_views},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        SmallPlate plate;
        c.mutate(plate);
        const fs::path graph = dir.path() / "small.json";
        write_file(graph, plate.text());
        const fs::path out = dir.path() / "out";
        if (c.prepare) c.prepare(out);
        const std::string message = message_of([&] { vesk::run_pipeline(graph, out); });
        EXPECT_EQ(message, c.message + (c.with_report_path ? (out / "small_report.json").string() : ""));
        if (c.left.empty()) {
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        for (const auto& name : c.left) EXPECT_TRUE(fs::exists(out / name)) << name;
        EXPECT_FALSE(fs::is_regular_file(out / "small_report.json"));
    }

    TempDir dir;
    const fs::path graph = dir.path() / "small.json";
    write_file(graph, SmallPlate().text());
    write_file(dir.path() / "a_file", "");
    const fs::path below_file = dir.path() / "a_file" / "out";
    const std::string message = message_of([&] { vesk::run_pipeline(graph, below_file); });
    const std::string prefix = "Cannot create output directory '" + below_file.string() + "': ";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size());
}

TEST(PipelineParts, ReportWriterFailures) {
    const vesk::BuiltModel model{TopoDS_Shape(), "extrude", {}};
    const vesk::ShapeMeasurement measurement;
    vesk::OutputPaths outputs = vesk::make_output_paths("part.json", "no_such_directory");
    EXPECT_EQ(message_of([&] {
                  vesk::write_report("part.json", vesk::DimensionGraph{}, model, {}, measurement, outputs);
              }),
              "Cannot write report file: " + outputs.report.string());
    // A device that takes the open but refuses the bytes.
    if (fs::exists("/dev/full")) {
        outputs.report = "/dev/full";
        EXPECT_EQ(message_of([&] {
                      vesk::write_report("part.json", vesk::DimensionGraph{}, model, {}, measurement, outputs);
                  }),
                  "Failed while writing report file: /dev/full");
    }
}

TEST(PipelineParts, OutputPathsAndJoinedIds) {
    const vesk::OutputPaths paths = vesk::make_output_paths("in/part.v2.json", "out");
    EXPECT_EQ(paths.step, fs::path("out/part.v2.step"));
    EXPECT_EQ(paths.front_svg, fs::path("out/part.v2_front.svg"));
    EXPECT_EQ(paths.top_svg, fs::path("out/part.v2_top.svg"));
    EXPECT_EQ(paths.side_svg, fs::path("out/part.v2_side.svg"));
    EXPECT_EQ(paths.report, fs::path("out/part.v2_report.json"));
    try {
        vesk::make_output_paths("in/", "out");
        ADD_FAILURE() << "an empty stem was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Input graph filename must have a non-empty stem");
    }

    EXPECT_EQ(vesk::join_ids({}), "");
    EXPECT_EQ(vesk::join_ids({"c1.diameter"}), "c1.diameter");
    EXPECT_EQ(vesk::join_ids({"c1.diameter", "l2.length", "x"}), "c1.diameter, l2.length, x");
}

TEST(PipelineParts, RoundTripMatchesEachHoleToItsOwnCylinder) {
    vesk::ShapeMeasurement measurement;
    measurement.cylinders = {{0.0, 0.0, 50.0}, {10.0, 10.0, 3.0}, {20.0, 10.0, 3.0}};
    const vesk::ModelHole a{"a", 10.0, 10.0, 3.0};
    const vesk::ModelHole near{"near", 20.0 + 0.9e-6, 10.0 - 0.9e-6, 3.0 + 0.9e-6};
    const vesk::ModelHole off{"off", 20.0, 10.0, 3.0 + 1.1e-6};
    const vesk::ModelHole twin{"twin", 10.0, 10.0, 3.0};
    struct Case {
        std::vector<vesk::ModelHole> holes;
        std::string message;
    };
    const Case cases[] = {
        {{}, "<no error>"},
        {{a, near}, "<no error>"},  // leftover cylinders are ignored
        {{a, off}, "STEP round trip lost cylindrical hole 'off'"},
        {{a, twin}, "STEP round trip lost cylindrical hole 'twin'"},  // a cylinder serves one hole
    };
    for (const Case& c : cases) {
        EXPECT_EQ(message_of([&] { vesk::check_step_round_trip_holes(measurement, c.holes); }), c.message);
    }
}

// The drawn directions decide, in the solver's own angle convention: the angle from the
// first line to the second, counter-clockwise, modulo a full turn.
TEST(PipelineParts, RelationValuesAgainstTheDrawnLines) {
    using CT = vesk::ConstraintType;
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
        vesk::DimensionGraph graph;
        graph.views = {{"vf", vesk::ViewType::front}};
        graph.entities = {{"first", vesk::EntityType::line, "vf", vesk::LineGeometry{{0, 0}, {10, 0}}},
                          {"second", vesk::EntityType::line, "vf", vesk::LineGeometry{{0, 0}, {c.x, c.y}}}};
        vesk::DimensionConstraint relation;
        relation.id = "rel";
        relation.type = c.type;
        relation.entity_ids = {"first", "second"};
        relation.value = c.value;
        graph.constraints.push_back(relation);
        EXPECT_EQ(message_of([&] { vesk::check_relation_values(graph); }),
                  c.accepted ? "<no error>" : "DimensionGraph constraint 'rel' value contradicts referenced lines");
    }
}

}  // namespace
