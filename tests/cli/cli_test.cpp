// End-to-end checks of the vesk-cli program: real binary, real files.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::test::read_file;
using vesk::test::run_process;
using vesk::test::TempDir;

namespace {

const fs::path kCli = fs::path(VESK_BINARY_DIR) / "cli" / "vesk-cli";
const fs::path kExamples = fs::path(VESK_SOURCE_DIR) / "examples";
const std::string kUsage = "Usage: vesk-cli <graph.json> [--output-dir <directory>]\n";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> keys_of(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

}  // namespace

TEST(CliArguments, RefusalsPrintTheMessageAndTheUsageLine) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "expected a graph path and optional --output-dir"},
        {{"part.json", "-o", "out"}, "unknown option '-o'"},
        {{"part.json", "--output-dir"}, "expected a graph path and optional --output-dir"},
        {{"--help", "x"}, "expected a graph path and optional --output-dir"},
        {{"part.json", "--OUTPUT-DIR", "out"}, "unknown option '--OUTPUT-DIR'"},
    };
    for (const auto& c : cases) {
        const auto result = run_process(kCli, c.args);
        EXPECT_EQ(result.exit_code, 1) << c.message;
        EXPECT_EQ(result.out, "") << c.message;
        EXPECT_EQ(result.err, "vesk-cli: " + c.message + "\n" + kUsage);
    }
}

TEST(CliArguments, HelpAloneExitsZero) {
    const auto result = run_process(kCli, {"--help"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(result.err, "");
}

TEST(CliRun, PlatePrintsFivePathsAndRepeatsByteForByte) {
    TempDir dir;
    const fs::path o1 = dir.path() / "o1";
    const fs::path o2 = dir.path() / "o2";
    const fs::path graph = kExamples / "plate_with_holes.json";
    const auto first = run_process(kCli, {graph.string(), "--output-dir", o1.string()});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.err, "");
    const std::vector<std::string> expected = {
        "STEP: " + (o1 / "plate_with_holes.step").string(),
        "Front SVG: " + (o1 / "plate_with_holes_front.svg").string(),
        "Top SVG: " + (o1 / "plate_with_holes_top.svg").string(),
        "Side SVG: " + (o1 / "plate_with_holes_side.svg").string(),
        "Report: " + (o1 / "plate_with_holes_report.json").string(),
    };
    EXPECT_EQ(lines_of(first.out), expected);

    const auto second = run_process(kCli, {graph.string(), "--output-dir", o2.string()});
    ASSERT_EQ(second.exit_code, 0) << second.err;
    for (const char* name : {"plate_with_holes.step", "plate_with_holes_front.svg", "plate_with_holes_top.svg",
                             "plate_with_holes_side.svg", "plate_with_holes_report.json"}) {
        const std::string a = read_file(o1 / name);
        EXPECT_FALSE(a.empty()) << name;
        EXPECT_EQ(a, read_file(o2 / name)) << name;
    }

    const auto report = nlohmann::ordered_json::parse(read_file(o1 / "plate_with_holes_report.json"));
    EXPECT_EQ(keys_of(report), (std::vector<std::string>{"schema_version", "result", "input_graph", "units",
                                                          "part_class", "solver", "model", "outputs"}));
    EXPECT_EQ(keys_of(report["solver"]),
              (std::vector<std::string>{"engine", "degrees_of_freedom", "missing_dimensions",
                                        "conflicting_constraints", "redundant_constraints"}));
    EXPECT_EQ(keys_of(report["model"]), (std::vector<std::string>{"construction", "bounds", "holes"}));
    EXPECT_EQ(keys_of(report["model"]["bounds"]), (std::vector<std::string>{"min", "max"}));
    EXPECT_EQ(keys_of(report["outputs"]), (std::vector<std::string>{"step", "front_svg", "top_svg", "side_svg"}));
    EXPECT_EQ(report["input_graph"], "plate_with_holes.json");
    EXPECT_EQ(report["solver"]["degrees_of_freedom"], 0);
    EXPECT_EQ(report["model"]["construction"], "extrude");
    ASSERT_EQ(report["model"]["holes"].size(), 2u);
    EXPECT_EQ(keys_of(report["model"]["holes"][0]), (std::vector<std::string>{"entity_id", "center", "diameter"}));
    EXPECT_EQ(report["model"]["bounds"]["max"], nlohmann::ordered_json::parse("[100.0, 50.0, 10.0]"));
    EXPECT_EQ(report["outputs"]["step"], "plate_with_holes.step");
}

TEST(CliRun, FlangeListsItsBoreFirst) {
    TempDir dir;
    const auto result = run_process(kCli, {(kExamples / "flange.json").string(), "--output-dir", dir.path().string()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto report = nlohmann::ordered_json::parse(read_file(dir.path() / "flange_report.json"));
    EXPECT_EQ(report["model"]["construction"], "revolve");
    // The bore, then the bolt holes in graph order; the outer circle is no hole.
    std::vector<std::string> ids;
    for (const auto& hole : report["model"]["holes"]) ids.push_back(hole["entity_id"].get<std::string>());
    EXPECT_EQ(ids, (std::vector<std::string>{"center_bore", "bolt_hole_1", "bolt_hole_2", "bolt_hole_3",
                                             "bolt_hole_4", "bolt_hole_5", "bolt_hole_6"}));
    ASSERT_GE(report["model"]["holes"].size(), 2u);
    const auto& bore = report["model"]["holes"][0];
    const auto& bounds = report["model"]["bounds"];
    // The bore is concentric with the outer circle.
    const double cx = (bounds["min"][0].get<double>() + bounds["max"][0].get<double>()) / 2.0;
    const double cy = (bounds["min"][1].get<double>() + bounds["max"][1].get<double>()) / 2.0;
    EXPECT_NEAR(bore["center"][0].get<double>(), cx, 1e-6);
    EXPECT_NEAR(bore["center"][1].get<double>(), cy, 1e-6);
}

TEST(CliRun, WithoutOutputDirWritesIntoTheWorkingDirectory) {
    TempDir dir;
    const auto result = run_process(kCli, {(kExamples / "l_bracket.json").string()}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "STEP: " + (fs::canonical(dir.path()) / "l_bracket.step").string());
    EXPECT_TRUE(fs::exists(dir.path() / "l_bracket_report.json"));
}

TEST(CliRun, RefusedSketchesNameTheirReasonAndWriteNothing) {
    TempDir dir;
    const fs::path out = dir.path() / "out";
    const std::string expected_missing = "front_hole_1.diameter, front_left.length";
    const auto under = run_process(kCli, {(kExamples / "underconstrained.json").string(), "--output-dir", out.string()});
    EXPECT_EQ(under.exit_code, 1);
    EXPECT_EQ(under.out, "");
    // The solver may print its own summary lines first; the program's two lines end the stream.
    EXPECT_TRUE(ends_with(under.err, "vesk-cli: Underconstrained sketch; missing dimensions: " + expected_missing +
                                         "\n" + kUsage))
        << under.err;
    EXPECT_FALSE(fs::exists(out));

    // Conflicts are named before missing dimensions.
    auto graph = nlohmann::ordered_json::parse(read_file(kExamples / "underconstrained.json"));
    auto twin = graph["constraints"][0];
    twin["id"] = "width_twin";
    twin["value"] = twin["value"].get<double>() + 1.0;
    graph["constraints"].push_back(twin);
    const fs::path conflicting = dir.path() / "conflicting.json";
    vesk::test::write_file(conflicting, graph.dump(2));
    const auto conflict = run_process(kCli, {conflicting.string(), "--output-dir", out.string()});
    EXPECT_EQ(conflict.exit_code, 1);
    EXPECT_TRUE(ends_with(conflict.err, "vesk-cli: Conflicting constraints: width, width_twin\n" + kUsage))
        << conflict.err;
    EXPECT_FALSE(fs::exists(out));
}

TEST(CliRun, ContradictedRelationIsRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    auto graph = nlohmann::ordered_json::parse(read_file(kExamples / "plate_with_holes.json"));
    // Skew one corner of the drawn outline away from the square the perpendiculars assert.
    for (auto& entity : graph["entities"]) {
        if (entity["id"] == "front_right") entity["end"] = nlohmann::ordered_json::array({100.5, 50.0});
        if (entity["id"] == "front_top") entity["start"] = nlohmann::ordered_json::array({100.5, 50.0});
    }
    for (auto& constraint : graph["constraints"]) {
        if (constraint["id"] == "height") constraint["value"] = std::hypot(0.5, 50.0);
        if (constraint["id"] == "top_edge") constraint["value"] = 100.5;
    }
    const fs::path path = dir.path() / "skewed.json";
    vesk::test::write_file(path, graph.dump(2));
    const fs::path out = dir.path() / "out";
    const auto result = run_process(kCli, {path.string(), "--output-dir", out.string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("value contradicts referenced lines"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(out));
}

TEST(CliRun, OutputNeverOverwritesTheInputGraph) {
    TempDir dir;
    const fs::path graph = dir.path() / "part.step";
    fs::copy_file(kExamples / "plate_with_holes.json", graph);
    const std::string before = read_file(graph);
    const auto result = run_process(kCli, {graph.string(), "--output-dir", dir.path().string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("would overwrite the input graph"), std::string::npos) << result.err;
    EXPECT_EQ(read_file(graph), before);
}

TEST(CliRun, OcctFailureEndsWithAMessageNotAnAbort) {
    TempDir dir;
    auto graph = nlohmann::ordered_json::parse(read_file(kExamples / "plate_with_holes.json"));
    // A plate 1e-8 thick passes the graph rules and makes OCCT fail.
    for (auto& entity : graph["entities"]) {
        for (const char* key : {"start", "end"}) {
            if (entity["view_id"] == "top" && entity.contains(key) && entity[key][1].get<double>() > 0.0) {
                entity[key][1] = 1e-8;
            }
        }
    }
    for (auto& constraint : graph["constraints"]) {
        if (constraint["id"] == "thickness" || constraint["id"] == "top_left_edge") constraint["value"] = 1e-8;
    }
    const fs::path path = dir.path() / "thin.json";
    vesk::test::write_file(path, graph.dump(2));
    const auto result = run_process(kCli, {path.string(), "--output-dir", (dir.path() / "out").string()});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    // The last two lines: the translated OCCT failure (its type, then its message) and the
    // usage line; the solver may have printed its own lines before them.
    const std::vector<std::string> lines = lines_of(result.err);
    ASSERT_GE(lines.size(), 2u) << result.err;
    EXPECT_EQ(lines[lines.size() - 2].rfind("vesk-cli: Standard_", 0), 0u) << result.err;
    EXPECT_TRUE(ends_with(result.err, "\n" + kUsage)) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(CliRun, ReportListsRedundantDimensionsAndAnEmptyHoleList) {
    TempDir dir;
    auto graph = nlohmann::ordered_json::parse(read_file(kExamples / "plate_with_holes.json"));
    // Drop the holes and repeat one dimension with the same value.
    auto& entities = graph["entities"];
    for (std::size_t i = entities.size(); i-- > 0;) {
        if (entities[i]["type"] == "circle") entities.erase(i);
    }
    auto& constraints = graph["constraints"];
    for (std::size_t i = constraints.size(); i-- > 0;) {
        if (constraints[i]["type"] == "diameter") constraints.erase(i);
    }
    auto repeat = constraints[0];
    repeat["id"] = "width_again";
    constraints.push_back(repeat);
    const fs::path path = dir.path() / "plain.json";
    vesk::test::write_file(path, graph.dump(2));
    const auto result = run_process(kCli, {path.string(), "--output-dir", dir.path().string()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto report = nlohmann::ordered_json::parse(read_file(dir.path() / "plain_report.json"));
    EXPECT_EQ(report["model"]["holes"], nlohmann::ordered_json::array());
    const auto redundant = report["solver"]["redundant_constraints"];
    ASSERT_FALSE(redundant.empty());
    bool names_repeat = false;
    for (const auto& id : redundant) names_repeat |= (id == "width" || id == "width_again");
    EXPECT_TRUE(names_repeat) << redundant.dump();
    EXPECT_EQ(report["solver"]["conflicting_constraints"], nlohmann::ordered_json::array());
}
