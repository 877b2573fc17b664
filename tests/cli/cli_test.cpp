// End-to-end checks of the vesk-cli program: real binary, real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/run_process.hpp"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using vesk::test::read_file;
using vesk::test::run_process;
using vesk::test::TempDir;

namespace {

const fs::path kCli = fs::path(VESK_BINARY_DIR) / "cli" / "vesk-cli";
const fs::path kExamples = fs::path(VESK_SOURCE_DIR) / "examples";
const std::string kUsage = "Usage: vesk-cli <graph.json> [--output-dir <directory>]\n";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

TEST(CliArguments, HelpAndRefusalsPrintTheUsageLine) {
    struct Case {
        std::vector<std::string> args;
        std::string message;  // empty: the help request, exit 0
    };
    const Case cases[] = {
        {{"--help"}, ""},
        {{}, "expected a graph path and optional --output-dir"},
        {{"part.json", "-o", "out"}, "unknown option '-o'"},
        {{"part.json", "--output-dir"}, "expected a graph path and optional --output-dir"},
        {{"--help", "x"}, "expected a graph path and optional --output-dir"},
        {{"part.json", "--OUTPUT-DIR", "out"}, "unknown option '--OUTPUT-DIR'"},
    };
    for (const auto& c : cases) {
        const auto result = run_process(kCli, c.args);
        const bool help = c.message.empty();
        EXPECT_EQ(result.exit_code, help ? 0 : 1) << c.message;
        EXPECT_EQ(result.out, help ? kUsage : "") << c.message;
        EXPECT_EQ(result.err, help ? "" : "vesk-cli: " + c.message + "\n" + kUsage);
    }
}

TEST(CliRun, PlatePrintsFivePathsAndRepeatsByteForByte) {
    const TempDir dir;
    const fs::path o1 = dir.path() / "o1";
    const fs::path o2 = dir.path() / "o2";
    const fs::path graph = kExamples / "plate_with_holes.json";
    const auto first = run_process(kCli, {graph.string(), "--output-dir", o1.string()});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.err, "");
    const std::vector<std::string> names = {"plate_with_holes.step", "plate_with_holes_front.svg",
                                            "plate_with_holes_top.svg", "plate_with_holes_side.svg",
                                            "plate_with_holes_report.json"};
    const std::vector<std::string> labels = {"STEP: ", "Front SVG: ", "Top SVG: ", "Side SVG: ", "Report: "};
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < names.size(); ++i) expected.push_back(labels[i] + (o1 / names[i]).string());
    EXPECT_EQ(lines_of(first.out), expected);

    const auto second = run_process(kCli, {graph.string(), "--output-dir", o2.string()});
    ASSERT_EQ(second.exit_code, 0) << second.err;
    for (const auto& name : names) {
        const std::string a = read_file(o1 / name);
        EXPECT_FALSE(a.empty()) << name;
        EXPECT_EQ(a, read_file(o2 / name)) << name;
    }
}

TEST(CliRun, WithoutOutputDirWritesIntoTheWorkingDirectory) {
    const TempDir dir;
    const auto result = run_process(kCli, {(kExamples / "l_bracket.json").string()}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "STEP: " + (fs::canonical(dir.path()) / "l_bracket.step").string());
    EXPECT_TRUE(fs::exists(dir.path() / "l_bracket_report.json"));
}

Json& item(Json& list, const std::string& id) {
    for (auto& entry : list) {
        if (entry["id"] == id) return entry;
    }
    throw std::runtime_error("no item " + id);
}

// Each refusal ends standard error with its "vesk-cli: " line and the usage line (the solver
// may print its own lines before them), prints nothing on standard output and writes nothing.
TEST(CliRun, RefusalsNameTheirReasonAndWriteNothing) {
    struct Case {
        const char* example;
        std::function<void(Json&)> edit;
        const char* file_name;  // the edited graph's name
        std::string line;       // the error line, or its start when prefix_only
        bool prefix_only;
    };
    const Case cases[] = {
        {"underconstrained.json", [](Json&) {}, "under.json",
         "vesk-cli: Underconstrained sketch; missing dimensions: front_hole_1.diameter, front_left.length", false},
        {"underconstrained.json",  // conflicts are named before missing dimensions
         [](Json& g) {
             Json twin = item(g["constraints"], "width");
             twin["id"] = "width_twin";
             twin["value"] = twin["value"].get<double>() + 1.0;
             g["constraints"].push_back(twin);
         },
         "conflicting.json", "vesk-cli: Conflicting constraints: width, width_twin", false},
        {"plate_with_holes.json",  // one corner skewed away from the square the perpendiculars assert
         [](Json& g) {
             item(g["entities"], "front_right")["end"] = Json::array({100.5, 50.0});
             item(g["entities"], "front_top")["start"] = Json::array({100.5, 50.0});
             item(g["constraints"], "height")["value"] = std::hypot(0.5, 50.0);
             item(g["constraints"], "top_edge")["value"] = 100.5;
         },
         "skewed.json", "vesk-cli: DimensionGraph constraint 'corner_bottom_right' value contradicts referenced lines",
         false},
        {"plate_with_holes.json",  // 1e-8 thick: passes the graph rules, then OCCT fails
         [](Json& g) {
             for (const char* id : {"top_right", "top_top", "top_left"}) {
                 for (const char* key : {"start", "end"}) {
                     Json& point = item(g["entities"], id)[key];
                     if (point[1].get<double>() > 0.0) point[1] = 1e-8;
                 }
             }
             item(g["constraints"], "thickness")["value"] = 1e-8;
             item(g["constraints"], "top_left_edge")["value"] = 1e-8;
         },
         "thin.json", "vesk-cli: Standard_", true},
        {"plate_with_holes.json", [](Json&) {}, "part.step", "", false},  // output onto the input
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file_name);
        const TempDir dir;
        Json graph = Json::parse(read_file(kExamples / c.example));
        c.edit(graph);
        const fs::path path = dir.path() / c.file_name;
        vesk::test::write_file(path, graph.dump(2));
        const bool onto_input = c.line.empty();
        const fs::path out = onto_input ? dir.path() : dir.path() / "out";
        const auto result = run_process(kCli, {path.string(), "--output-dir", out.string()});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.out, "");
        const std::vector<std::string> lines = lines_of(result.err);
        ASSERT_GE(lines.size(), 2u) << result.err;
        const std::string line = lines[lines.size() - 2];
        EXPECT_EQ(lines.back() + "\n", kUsage);
        if (onto_input) {
            EXPECT_EQ(line, "vesk-cli: Output file '" + path.string() + "' would overwrite the input graph");
            EXPECT_EQ(read_file(path), graph.dump(2));
        } else {
            EXPECT_EQ(c.prefix_only ? line.substr(0, c.line.size()) : line, c.line) << result.err;
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

// The page on writing a graph, run through the real program: its graph builds and prints
// the lines the page shows, and every refusal it quotes is the one vesk-cli gives for the
// edit of that graph which the page describes.
TEST(CliGuide, ThePagesGraphBuildsAndItsQuotedRefusalsAreReal) {
    const std::string page = read_file(fs::path(VESK_SOURCE_DIR) / "docs" / "dimension-graph.md");
    // The text of the page's n-th block of the given kind.
    const auto block = [&](const std::string& fence, int n) {
        std::size_t start = page.find("```" + fence + "\n");
        for (; n > 0 && start != std::string::npos; --n) start = page.find("```" + fence + "\n", start + 1);
        if (start == std::string::npos) throw std::runtime_error("no such " + fence + " block");
        const std::size_t body = start + fence.size() + 4;
        return page.substr(body, page.find("```", body) - body);
    };
    const Json plate = Json::parse(block("json", 0));
    const TempDir dir;
    vesk::test::write_file(dir.path() / "plate_four_holes.json", plate.dump());
    const auto built = run_process(kCli, {"plate_four_holes.json", "--output-dir", "out"}, dir.path());
    EXPECT_EQ("$ vesk-cli plate_four_holes.json --output-dir out\n" + built.out, block("console", 0)) << built.err;

    const auto remove = [](Json& list, const std::string& id) {
        list.erase(std::remove_if(list.begin(), list.end(), [&](const Json& e) { return e["id"] == id; }), list.end());
    };
    const auto relate = [](Json& g, const std::string& id, const char* type, Json ids, double value) {
        g["constraints"].push_back({{"id", id}, {"type", type}, {"entity_ids", ids}, {"value", value},
                                    {"confidence", 1}, {"source_bbox", {0, 0, 0, 0}}});
    };
    const std::pair<std::function<void(Json&)>, std::string> cases[] = {
        {[&](Json& g) {
             remove(g["constraints"], "top_length");
             remove(g["constraints"], "left_length");
             const char* corners[][2] = {{"bottom", "right"}, {"right", "top_edge"}, {"top_edge", "left"},
                                         {"left", "bottom"}};
             for (const auto& [a, b] : corners) relate(g, std::string("corner_") + a, "perpendicular", {a, b}, 90);
         },
         "Underconstrained sketch; missing dimensions: left.length, top_edge.length"},
        {[&](Json& g) {
             remove(g["constraints"], "top_length");
             relate(g, "joined", "coincident", {"top_edge", "left"}, 0);
         },
         "GCS DOF count does not match Vesk's named dimensional unknowns"},
        {[](Json& g) { g["constraints"][0].erase("source_bbox"); },
         "DimensionGraph 'g.json' is invalid: constraints[0]: missing required field 'source_bbox'"},
        {[](Json& g) { g["entities"][4]["diameter"] = 8; },
         "DimensionGraph 'g.json' is invalid: entities[4]: unknown field 'diameter'"},
        {[](Json& g) { g["constraints"][0]["entity_ids"] = "bottom"; },
         "DimensionGraph 'g.json' is invalid: constraints[0].entity_ids: expected an array"},
        {[](Json& g) { item(g["constraints"], "width")["value"] = 100; },
         "DimensionGraph 'g.json' is invalid: width: distance value contradicts referenced line length"},
        {[](Json& g) { item(g["constraints"], "hole_1_diameter")["value"] = 4; },
         "DimensionGraph 'g.json' is invalid: hole_1_diameter: diameter value contradicts referenced circle"},
        {[](Json& g) { g["units"] = "inch"; }, "DimensionGraph 'g.json' is invalid: root: M1 supports units 'mm' only"},
        {[&](Json& g) { remove(g["constraints"], "hole_1_diameter"); },
         "Underconstrained sketch; missing dimensions: hole_1.diameter"},
        {[&](Json& g) { relate(g, "width_2", "distance", {"bottom"}, 119); }, "Conflicting constraints: width, width_2"},
        {[](Json& g) { item(g["constraints"], "width")["entity_ids"] = {"left", "right"}; },
         "Constraint 'width' requires exactly one line in M2"},
        {[&](Json& g) { relate(g, "hole_x", "distance", {"hole_1"}, 8); },
         "Constraint 'hole_x' requires line entity 'hole_1'"},
        {[&](Json& g) { relate(g, "corner", "angle", {"bottom", "right"}, 80); },
         "DimensionGraph constraint 'corner' value contradicts referenced lines"},
        {[](Json& g) { g["views"][1]["type"] = "side"; }, "M2 builder requires a 'top' view"},
        {[](Json& g) {
             item(g["entities"], "bottom")["end"] = {120, 1};
             item(g["constraints"], "width")["value"] = std::hypot(120.0, 1.0);
         },
         "M2 prismatic outline is not a connected closed chain"},
        {[](Json& g) { item(g["entities"], "hole_1")["center"] = {2, 2}; },
         "Hole 'hole_1' is not inside the prismatic outline"},
    };
    for (const auto& [edit, message] : cases) {
        Json graph = plate;
        edit(graph);
        // The first edit is the page's rectangle, whose whole output the page shows.
        const bool rectangle = &message == &cases[0].second;
        const std::string name = rectangle ? "rectangle.json" : "g.json";
        vesk::test::write_file(dir.path() / name, graph.dump());
        const auto result = run_process(kCli, {name, "--output-dir", "out"}, dir.path());
        if (rectangle) {
            EXPECT_EQ("$ vesk-cli rectangle.json --output-dir out\n" + result.err, block("console", 1));
        }
        const std::vector<std::string> lines = lines_of(result.err);
        ASSERT_GE(lines.size(), 2u) << message;
        EXPECT_EQ(lines[lines.size() - 2], "vesk-cli: " + message);
        const std::size_t invalid = message.find("is invalid: ");
        const std::string quoted = invalid == std::string::npos ? message : message.substr(invalid + 12);
        EXPECT_NE(page.find(quoted), std::string::npos) << "the page quotes: " << quoted;
    }
}

// A bounded run of the mutation fuzzer (scripts/fuzz-cli.py; the full run takes 5,000
// cases): no crash, no hang, no file left by a refusal before building.
TEST(CliFuzz, MutatedGraphsAreRefusedCleanly) {
    if (std::system("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    const auto result = run_process("/usr/bin/env", {"python3", std::string(VESK_SOURCE_DIR) + "/scripts/fuzz-cli.py",
                                                     kCli.string(), "--cases", "24", "--jobs", "2", "--max-array", "2000"});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
}

}  // namespace
