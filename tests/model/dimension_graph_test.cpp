#include "model/dimension_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/json_util.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using test::read_file;
using test::write_file;

const fs::path kDataDir = fs::path(VESK_SOURCE_DIR) / "tests" / "model" / "data";
const std::string kPrefix = "DimensionGraph 'a.json' is invalid: ";
const std::string kAccepted = test::kNoError;

// Every entity type: a line, a circle and an arc in the front view, a line in the top view.
Json base_graph() {
    return Json::parse(R"({
      "units": "mm", "part_class": "prismatic",
      "views": [{"id": "front", "type": "front"}, {"id": "top", "type": "top"}],
      "entities": [
        {"id": "l1", "type": "line", "view_id": "front", "start": [0, 0], "end": [10, 0]},
        {"id": "c1", "type": "circle", "view_id": "front", "center": [5, 5], "radius": 2},
        {"id": "a1", "type": "arc", "view_id": "front", "center": [5, 5], "radius": 3,
         "start_angle_deg": 0, "end_angle_deg": 90},
        {"id": "t1", "type": "line", "view_id": "top", "start": [0, 0], "end": [0, 4]}],
      "constraints": [
        {"id": "d1", "type": "distance", "entity_ids": ["l1"], "value": 10, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4]},
        {"id": "dia1", "type": "diameter", "entity_ids": ["c1"], "value": 4, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4], "display_name": "Hole"},
        {"id": "r1", "type": "radius", "entity_ids": ["a1"], "value": 3, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4]},
        {"id": "t", "type": "distance", "entity_ids": ["t1"], "value": 4, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4]}]})");
}

Json constraint(const std::string& id, const std::string& type, std::vector<std::string> entity_ids, double value) {
    return Json{{"id", id},       {"type", type},       {"entity_ids", entity_ids},
                {"value", value}, {"confidence", 0.5}, {"source_bbox", {0, 0, 1, 1}}};
}


std::string parse_message(const std::string& text) {
    return test::error_message<std::runtime_error>([&] { parse_dimension_graph(text, "a.json"); });
}

// Edits of the base graph addressed by JSON pointer; "/constraints/-" appends.
using Edit = std::function<void(Json&)>;
Edit set(const std::string& pointer, Json value) {
    return [pointer, value](Json& g) { g[Json::json_pointer(pointer)] = value; };
}
Edit drop(const std::string& pointer) {
    return [pointer](Json& g) {
        const Json::json_pointer p(pointer);
        g[p.parent_pointer()].erase(p.back());
    };
}
Edit add(const std::string& id, const std::string& type, std::vector<std::string> ids, double value) {
    return set("/constraints/-", constraint(id, type, std::move(ids), value));
}

struct Case {
    const char* name;
    std::vector<Edit> edits;
    std::string expected;  // message after the prefix, or kAccepted
};

void run_cases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json json = base_graph();
        for (const auto& edit : c.edits) edit(json);
        EXPECT_EQ(parse_message(json.dump()), c.expected == kAccepted ? kAccepted : kPrefix + c.expected);
    }
}

TEST(DimensionGraphParse, RootAndViews) {
    run_cases({
        {"extra key", {set("/schema_version", "m1")}, "root: unknown field 'schema_version'"},
        {"missing constraints before unknown keys", {drop("/constraints"), set("/zeta", 1), set("/units", 5)},
         "root: missing required field 'constraints'"},
        {"required keys in list order", {drop("/part_class"), drop("/units")}, "root: missing required field 'units'"},
        {"alpha before zeta", {set("/zeta", 1), set("/alpha", 1)}, "root: unknown field 'alpha'"},
        {"root not an object", {[](Json& g) { g = Json::array({1}); }}, "root: expected an object"},
        {"units capitals", {set("/units", "MM")}, "root: M1 supports units 'mm' only"},
        {"units empty", {set("/units", "")}, "root: field 'units' must not be empty"},
        {"units number", {set("/units", 1)}, "root: field 'units' must be a string"},
        {"views object before bad part class", {set("/views", Json::object()), set("/part_class", "cone")},
         "views: expected an array"},
        {"constraints string", {set("/constraints", "x")}, "constraints: expected an array"},
        {"empty views before bad part class", {set("/views", Json::array()), set("/part_class", "cone")},
         "views: must not be empty"},
        {"unknown part class", {set("/part_class", "Revolve")}, "root: unknown part_class 'Revolve'"},
        {"no entities or constraints", {set("/entities", Json::array()), set("/constraints", Json::array())},
         kAccepted},
        {"revolve", {set("/part_class", "revolve")}, kAccepted},
        {"view type case", {set("/views/0/type", "Front")}, "views[0]: unknown view type 'Front'"},
        {"view not an object", {set("/views/1", "top")}, "views[1]: expected an object"},
        {"view extra key", {set("/views/0/name", "x")}, "views[0]: unknown field 'name'"},
        {"view empty id", {set("/views/0/id", "")}, "views[0]: field 'id' must not be empty"},
        {"duplicate view type", {set("/views/1", Json{{"id", "front2"}, {"type", "front"}})},
         "views: duplicate type 'front'"},
        {"duplicate view id", {set("/views/1/id", "front")}, "views: duplicate id 'front'"},
        {"all four view types",
         {set("/views/-", Json{{"id", "s"}, {"type", "side"}}),
          set("/views/-", Json{{"id", "x"}, {"type", "section"}})},
         kAccepted},
        {"ids shared across kinds",
         {set("/entities/0/id", "front"), set("/constraints/0/id", "front"),
          set("/constraints/0/entity_ids", {"front"})},
         kAccepted},
    });
}

TEST(DimensionGraphParse, Entities) {
    run_cases({
        {"not an object", {set("/entities/1", Json::array())}, "entities[1]: expected an object"},
        {"type missing", {drop("/entities/0/type")}, "entities[0]: field 'type' must be a string"},
        {"unknown type", {set("/entities/0/type", "spline")}, "entities[0]: unknown entity type 'spline'"},
        {"id typed wrongly before extra key", {set("/entities/0/id", 7), set("/entities/0/bulge", 1)},
         "entities[0]: field 'id' must be a string"},
        {"view_id empty before missing key", {set("/entities/1/view_id", ""), drop("/entities/1/radius")},
         "entities[1]: field 'view_id' must not be empty"},
        {"line with radius", {set("/entities/0/radius", 1)}, "entities[0]: unknown field 'radius'"},
        {"circle missing radius", {drop("/entities/1/radius")}, "entities[1]: missing required field 'radius'"},
        {"arc missing angle", {drop("/entities/2/end_angle_deg")},
         "entities[2]: missing required field 'end_angle_deg'"},
        {"unknown view id reported at entity id", {set("/entities/3/view_id", "side")}, "t1: unknown view_id 'side'"},
        {"duplicate entity id", {set("/entities/3/id", "l1")}, "entities: duplicate id 'l1'"},
        {"line endpoints equal", {set("/entities/0/end", {0, 0})}, "entities[0]: line endpoints must be distinct"},
        {"point of three", {set("/entities/0/start", {0, 0, 0})},
         "entities[0].start: expected [x, y] with two numbers"},
        {"point object", {set("/entities/1/center", {{"x", 1}})}, "entities[1].center: expected an array"},
        {"circle radius zero", {set("/entities/1/radius", 0)}, "entities[1]: radius must be positive"},
        {"circle radius string", {set("/entities/1/radius", "2")}, "entities[1]: field 'radius' must be a number"},
        {"radius checked before center", {set("/entities/1/radius", -1), set("/entities/1/center", "c")},
         "entities[1]: radius must be positive"},
        {"arc angles read before radius sign",
         {set("/entities/2/radius", -1), set("/entities/2/start_angle_deg", true)},
         "entities[2]: field 'start_angle_deg' must be a number"},
        {"arc angles equal", {set("/entities/2/end_angle_deg", 0.0)}, "entities[2]: arc angles must be distinct"},
        {"arc negative radius", {set("/entities/2/radius", -3)}, "entities[2]: radius must be positive"},
    });
}

TEST(DimensionGraphParse, ConstraintFields) {
    run_cases({
        {"missing source box", {drop("/constraints/0/source_bbox")},
         "constraints[0]: missing required field 'source_bbox'"},
        {"unknown key", {set("/constraints/0/unit", "mm")}, "constraints[0]: unknown field 'unit'"},
        {"unknown type", {set("/constraints/0/type", "tangent")}, "constraints[0]: unknown constraint type 'tangent'"},
        {"entity_ids number", {set("/constraints/0/entity_ids", 3)}, "constraints[0].entity_ids: expected an array"},
        {"entity_ids empty", {set("/constraints/0/entity_ids", Json::array())},
         "constraints[0]: entity_ids must not be empty"},
        {"entity_ids empty string", {set("/constraints/2/entity_ids", {"a1", ""})},
         "constraints[2]: entity_ids must contain non-empty strings"},
        {"unknown entity reported at constraint id", {set("/constraints/1/entity_ids", {"c9"})},
         "dia1: unknown entity id 'c9'"},
        {"duplicate constraint id", {set("/constraints/3/id", "d1")}, "constraints: duplicate id 'd1'"},
        {"confidence one", {set("/constraints/0/confidence", 1)}, kAccepted},
        {"confidence zero", {set("/constraints/0/confidence", 0.0)}, kAccepted},
        {"confidence above one", {set("/constraints/0/confidence", 1.0000001)},
         "constraints[0]: confidence must be in [0, 1]"},
        {"confidence negative", {set("/constraints/0/confidence", -0.01)},
         "constraints[0]: confidence must be in [0, 1]"},
        {"confidence before type", {set("/constraints/0/confidence", 2), set("/constraints/0/type", "tangent")},
         "constraints[0]: confidence must be in [0, 1]"},
        {"display name empty", {set("/constraints/0/display_name", "")},
         "constraints[0]: field 'display_name' must not be empty"},
        {"display name null", {set("/constraints/0/display_name", nullptr)},
         "constraints[0]: field 'display_name' must be a string"},
        {"value string", {set("/constraints/0/value", "10")}, "constraints[0]: field 'value' must be a number"},
        {"negative box width", {set("/constraints/0/source_bbox", {0, 0, -1, 2})},
         "constraints[0].source_bbox: width and height must be non-negative"},
        {"box of three", {set("/constraints/0/source_bbox", {0, 0, 1})},
         "constraints[0].source_bbox: expected [x, y, width, height]"},
        {"box with null", {set("/constraints/0/source_bbox", {0, nullptr, 1, 1})},
         "constraints[0].source_bbox: all components must be finite numbers"},
        {"box object", {set("/constraints/0/source_bbox", Json::object())},
         "constraints[0].source_bbox: expected an array"},
        {"zero box", {set("/constraints/0/source_bbox", {0, 0, 0, 0})}, kAccepted},
    });
}

TEST(DimensionGraphParse, ConstraintValuesAgainstGeometry) {
    const std::string d1_wrong = "d1: distance value contradicts referenced line length";
    const Edit d1_12 = set("/constraints/0/value", 12);
    run_cases({
        {"distance 12 alone", {d1_12}, d1_wrong},
        {"distance 10 and 12 on one line", {add("d2", "distance", {"l1"}, 12)}, kAccepted},
        {"12 and 14 on a line of 10", {set("/constraints/0/value", 14), add("d2", "distance", {"l1"}, 12)}, kAccepted},
        {"two equal wrong values", {d1_12, add("d2", "distance", {"l1"}, 12)}, d1_wrong},
        {"sibling within tolerance is no allowance", {d1_12, add("d2", "distance", {"l1"}, 12.0000000005)}, d1_wrong},
        {"sibling of another kind is no allowance", {d1_12, add("ang", "angle", {"l1"}, 30)}, d1_wrong},
        {"sibling on two entities is no allowance", {d1_12, add("d2", "distance", {"l1", "t1"}, 10)}, d1_wrong},
        {"distance on two entities unchecked", {add("d2", "distance", {"l1", "t1"}, 99)}, kAccepted},
        {"distance on circle unchecked", {set("/constraints/1/type", "distance")}, kAccepted},
        {"distance within tolerance", {set("/constraints/0/value", 10.0000000009)}, kAccepted},
        {"radius within 1e-9", {set("/entities/2/radius", 3.0000000005)}, kAccepted},
        {"radius beyond 1e-9", {set("/entities/2/radius", 3.000000002)},
         "r1: radius value contradicts referenced entity"},
        {"radius on circle", {add("r2", "radius", {"c1"}, 2)}, kAccepted},
        {"radius on line", {set("/constraints/2/entity_ids", {"l1"})}, "r1: radius must reference a circle or arc"},
        {"radius on two entities", {set("/constraints/2/entity_ids", {"a1", "c1"})},
         "r1: diameter and radius constraints require exactly one entity"},
        {"diameter on arc", {set("/constraints/1/entity_ids", {"a1"})}, "dia1: diameter must reference a circle"},
        {"diameter contradicts circle", {set("/constraints/1/value", 2)},
         "dia1: diameter value contradicts referenced circle"},
        {"agreeing wrong radii on a circle", {add("r2", "radius", {"c1"}, 3), add("r3", "radius", {"c1"}, 3)},
         kAccepted},  // the correct diameter is the sibling that differs
        {"diameter 6 halved equals radius 3", {set("/constraints/1/value", 6), add("r2", "radius", {"c1"}, 3)},
         "dia1: diameter value contradicts referenced circle"},
        {"diameter 6 and radius 2 differ once halved",
         {set("/constraints/1/value", 6), add("r2", "radius", {"c1"}, 2)}, kAccepted},
        {"value checks run after every constraint is read", {d1_12, add("bad", "distance", {"nowhere"}, 1)},
         "bad: unknown entity id 'nowhere'"},
        {"relations unchecked",
         {add("p", "perpendicular", {"l1", "t1"}, 45), add("s", "symmetric", {"l1", "t1", "c1"}, -7),
          add("a", "angle", {"l1"}, 1e300)},
         kAccepted},
    });
}

// Documents built in code can hold infinities and NaN; every finiteness check catches them.
TEST(DimensionGraphParse, NonFiniteNumbersInDocuments) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<std::pair<const char*, double>, const char*> cases[] = {
        {{"/entities/0/end/0", inf}, "entities[0].end: coordinates must be finite"},
        {{"/entities/1/center/1", nan}, "entities[1].center: coordinates must be finite"},
        {{"/entities/1/radius", inf}, "entities[1]: field 'radius' must be finite"},
        {{"/entities/2/radius", nan}, "entities[2]: field 'radius' must be finite"},
        {{"/entities/2/end_angle_deg", -inf}, "entities[2]: field 'end_angle_deg' must be finite"},
        {{"/constraints/0/value", -inf}, "constraints[0]: field 'value' must be finite"},
        {{"/constraints/0/confidence", nan}, "constraints[0]: field 'confidence' must be finite"},
        {{"/constraints/0/source_bbox/2", inf}, "constraints[0].source_bbox: all components must be finite numbers"},
    };
    for (const auto& [edit, expected] : cases) {
        SortedJson json = parse_strict_json(base_graph().dump());
        json[SortedJson::json_pointer(edit.first)] = edit.second;
        EXPECT_EQ(test::error_message<std::runtime_error>([&] { parse_dimension_graph_object(json); }),
                  std::string("<other: ") + expected + ">");
    }
}

// The public per-constraint check and the graph parser's own copy of the rule agree.
TEST(DimensionGraphParse, PerConstraintCheckAgreesWithTheGraphParser) {
    for (const std::vector<double>& values : std::vector<std::vector<double>>{
             {10}, {12}, {10, 12}, {12, 12}, {12, 14}, {12, 12.0000000005}, {10.0000000005, 12}}) {
        DimensionGraph graph;
        graph.views = {{"f", ViewType::front}};
        graph.entities = {{"l1", EntityType::line, "f", LineGeometry{{0, 0}, {10, 0}}}};
        for (std::size_t i = 0; i < values.size(); ++i) {
            graph.constraints.push_back(
                {"d" + std::to_string(i), ConstraintType::distance, {"l1"}, values[i], 1, {}, {}});
        }
        const std::map<std::string, const DimensionEntity*> by_id = {{"l1", &graph.entities[0]}};
        std::string single = kAccepted;
        try {
            for (const auto& c : graph.constraints) validate_constraint_geometry(c, by_id, graph.constraints);
        } catch (const std::invalid_argument& error) {
            single = kPrefix + error.what();
        }
        EXPECT_EQ(parse_message(dimension_graph_to_json(graph)), single) << ::testing::PrintToString(values);
    }
}

TEST(DimensionGraphParse, TextGuards) {
    auto with = [](const std::string& from, const std::string& to) {
        std::string text = base_graph().dump();
        return parse_message(text.replace(text.find(from), from.size(), to));
    };
    EXPECT_EQ(with(R"("radius":2)", R"("radius":2,"radius":2)"), kPrefix + "duplicate field 'radius'");
    // Root object, constraints array and constraint object are three levels; 61 arrays
    // around a value make 64, one more is refused.
    auto nested = [](int n) { return "\"value\":" + std::string(n, '[') + "10" + std::string(n, ']'); };
    EXPECT_EQ(with(R"("value":10)", nested(kMaxJsonDepth - 3)),
              kPrefix + "constraints[0]: field 'value' must be a number");
    EXPECT_EQ(with(R"("value":10)", nested(kMaxJsonDepth - 2)), kPrefix + "JSON nesting exceeds 64 levels");
}

TEST(DimensionGraphFiles, LoadReportsOpenReadAndParseFailures) {
    const test::TempDir dir;
    const fs::path missing = dir.path() / "missing.json";
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { load_dimension_graph(missing); }),
              "Cannot open DimensionGraph file: " + missing.string());
    const fs::path directory = dir.path() / "graph.json";
    fs::create_directories(directory);
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { load_dimension_graph(directory); }),
              "Cannot read DimensionGraph file: " + directory.string());

    const fs::path empty = dir.path() / "empty.json";
    write_file(empty, "");
    const std::string empty_message = test::error_message<std::runtime_error>([&] { load_dimension_graph(empty); });
    const std::string empty_prefix = "DimensionGraph '" + empty.string() + "' is invalid: ";
    EXPECT_EQ(empty_message.rfind(empty_prefix, 0), 0u) << empty_message;
    EXPECT_GT(empty_message.size(), empty_prefix.size());

    const fs::path duplicate = dir.path() / "dup.json";
    write_file(duplicate, R"({"units":"mm","units":"mm"})");
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { load_dimension_graph(duplicate); }),
              "DimensionGraph '" + duplicate.string() + "' is invalid: duplicate field 'units'");

    // Larger than one read buffer, CR LF line ends kept as they are.
    Json json = base_graph();
    for (int i = 0; i < 3000; ++i) {
        json["constraints"].push_back(constraint("p" + std::to_string(i), "parallel", {"l1", "t1"}, 0));
    }
    std::string crlf;
    for (char ch : json.dump(2)) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    ASSERT_GT(crlf.size(), 200000u);
    write_file(dir.path() / "big.json", crlf);
    const DimensionGraph graph = load_dimension_graph(dir.path() / "big.json");
    EXPECT_EQ(graph.constraints.size(), 3004u);
    EXPECT_EQ(graph.constraints.back().id, "p2999");
}

TEST(DimensionGraphWriter, KeysInFixedOrderIndentTwoAndOneNewline) {
    // Built record by record, as the binding does, so no key order comes from a parser.
    DimensionGraph graph;
    graph.part_class = PartClass::revolve;
    push_view(graph.views, DimensionView{"f", ViewType::front});
    push_entity(graph.entities, DimensionEntity{"c", EntityType::circle, "f", CircleGeometry{{0.0, -0.5}, 50.0}});
    push_entity(graph.entities, DimensionEntity{"a", EntityType::arc, "f", ArcGeometry{{1.0, 2.0}, 0.1, -90.0, 1e21}});
    push_entity(graph.entities, DimensionEntity{"l", EntityType::line, "f", LineGeometry{{0, 0}, {3, 4}}});
    graph.constraints.push_back(DimensionConstraint{"k", ConstraintType::diameter, {"c"}, 100.0, 1.0,
                                                    SourceBox{1.5, 2.0, 0.0, 4.0}, std::string("Ø100 \"A\"")});
    graph.constraints.push_back(
        DimensionConstraint{"m", ConstraintType::distance, {"l"}, 5.0, 0.25, SourceBox{}, std::nullopt});
    const Json expected = Json::parse(R"({"units": "mm", "part_class": "revolve",
      "views": [{"id": "f", "type": "front"}],
      "entities": [
        {"id": "c", "type": "circle", "view_id": "f", "center": [0.0, -0.5], "radius": 50.0},
        {"id": "a", "type": "arc", "view_id": "f", "center": [1.0, 2.0], "radius": 0.1,
         "start_angle_deg": -90.0, "end_angle_deg": 1e+21},
        {"id": "l", "type": "line", "view_id": "f", "start": [0.0, 0.0], "end": [3.0, 4.0]}],
      "constraints": [
        {"id": "k", "type": "diameter", "entity_ids": ["c"], "value": 100.0, "confidence": 1.0,
         "source_bbox": [1.5, 2.0, 0.0, 4.0], "display_name": "Ø100 \"A\""},
        {"id": "m", "type": "distance", "entity_ids": ["l"], "value": 5.0, "confidence": 0.25,
         "source_bbox": [0.0, 0.0, 0.0, 0.0]}]})");
    const std::string text = dimension_graph_to_json(graph);
    EXPECT_EQ(text, expected.dump(2) + "\n");
    EXPECT_EQ(parse_dimension_graph(text, "built"), graph);
}

std::vector<fs::path> fixture_files() {
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(kDataDir)) {
        if (item.path().extension() == ".json") files.push_back(item.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Every fixture that parses is a valid graph; the shared ones must be among them.
TEST(DimensionGraphWriter, RoundTripOfEveryValidFixtureIsByteIdentical) {
    std::vector<std::string> valid;
    for (const auto& path : fixture_files()) {
        DimensionGraph graph;
        try {
            graph = load_dimension_graph(path);
        } catch (const std::runtime_error&) {
            continue;
        }
        SCOPED_TRACE(path.filename().string());
        valid.push_back(path.filename().string());
        const std::string first = dimension_graph_to_json(graph);
        const DimensionGraph again = parse_dimension_graph(first, "again");
        EXPECT_EQ(again, graph);
        EXPECT_EQ(dimension_graph_to_json(again), first);
        ASSERT_GE(first.size(), 2u);
        EXPECT_EQ(first.substr(first.size() - 2, 2).find('\n'), 1u);
        EXPECT_EQ(first.find('\r'), std::string::npos);
    }
    for (const char* name : {"plate_with_holes.json", "flange.json", "l_bracket.json", "underconstrained.json",
                             "all_record_kinds.json"}) {
        EXPECT_NE(std::find(valid.begin(), valid.end(), name), valid.end()) << name << " does not parse";
    }
}

// Seeded random damage to valid graph texts: every result is a graph or a runtime error
// carrying the parser's prefix, and every accepted graph survives a writer round trip.
TEST(DimensionGraphRobustness, RandomMutationsAreAcceptedOrRefusedCleanly) {
    std::vector<std::string> texts = {base_graph().dump(), base_graph().dump(2)};
    for (const auto& path : fixture_files()) {
        const std::string text = read_file(path);
        if (parse_message(text) == kAccepted) texts.push_back(text);
    }
    const std::vector<std::string> numbers = {"1e308", "1e400", "-1e400", "1.7976931348623157e308", "5e-324", "-0",
                                              "0", "-1", "99999999999999999999999999", "18446744073709551615",
                                              "-9223372036854775809", "1e-400", "0.5"};
    const std::vector<Json> replacements = {nullptr, true, false, "", "l1", "front", 0, -1, 2.5, 1e300,
                                            Json::array(), Json::array({1, 2}), Json::array({0, 0, 1, 1}),
                                            Json::object(), Json{{"id", "x"}}};
    std::mt19937 rng(20240607u);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    int accepted = 0;
    int refused = 0;
    for (int iteration = 0; iteration < 6000; ++iteration) {
        std::string text = texts[pick(texts.size())];
        switch (pick(6)) {
        case 0:  // truncation
            text.resize(pick(text.size()));
            break;
        case 1:  // byte flips
            for (std::size_t n = 1 + pick(3); n > 0; --n) text[pick(text.size())] = static_cast<char>(pick(256));
            break;
        case 2: {  // a value of another type anywhere in the tree
            Json json = Json::parse(text);
            std::vector<Json*> nodes;
            std::function<void(Json&)> collect = [&](Json& node) {
                nodes.push_back(&node);
                if (node.is_structured()) {
                    for (auto& child : node) collect(child);
                }
            };
            collect(json);
            *nodes[pick(nodes.size())] = replacements[pick(replacements.size())];
            text = json.dump(pick(2) ? -1 : 2);
            break;
        }
        case 3: {  // huge, tiny and non-finite numbers in place of a digit run
            std::vector<std::size_t> starts;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (is_digit(text[i]) && (i == 0 || !is_digit(text[i - 1]))) starts.push_back(i);
            }
            if (starts.empty()) break;
            const std::size_t start = starts[pick(starts.size())];
            std::size_t end = start;
            while (end < text.size() && std::string("0123456789.eE+-").find(text[end]) != std::string::npos) ++end;
            text.replace(start, end - start, numbers[pick(numbers.size())]);
            break;
        }
        case 4: {  // a member or element removed, or a member repeated
            Json json = Json::parse(text);
            Json& list = json[std::vector<const char*>{"views", "entities", "constraints"}[pick(3)]];
            if (!list.empty()) {
                Json& item = list[pick(list.size())];
                if (pick(2) == 0) {
                    list.erase(pick(list.size()));
                } else if (item.is_object() && !item.empty()) {
                    item.erase(std::next(item.begin(), static_cast<std::ptrdiff_t>(pick(item.size()))));
                }
            }
            text = json.dump();
            if (pick(4) == 0) text.insert(1, "\"units\":\"mm\",");
            break;
        }
        default: {  // text spliced from another graph, or nesting around a value
            const std::string& other = texts[pick(texts.size())];
            const std::size_t at = pick(text.size());
            if (pick(2) == 0) {
                text = text.substr(0, at) + other.substr(pick(other.size()));
                break;
            }
            const std::size_t depth = 1 + pick(100);
            if (const std::size_t colon = text.find(':', at); colon != std::string::npos) {
                text.insert(colon + 1, std::string(depth, '['));
                const std::size_t close = text.find_first_of(",}", colon + 1 + depth);
                if (close != std::string::npos) text.insert(close, std::string(depth, ']'));
            }
            break;
        }
        }

        try {
            const DimensionGraph graph = parse_dimension_graph(text, "m.json");
            ++accepted;
            const std::string written = dimension_graph_to_json(graph);
            const DimensionGraph again = parse_dimension_graph(written, "again");
            if (!(again == graph) || dimension_graph_to_json(again) != written) {
                ADD_FAILURE() << "round trip differs for mutation " << iteration << ":\n" << text;
            }
        } catch (const std::runtime_error& error) {
            ++refused;
            if (std::string(error.what()).rfind("DimensionGraph 'm.json' is invalid: ", 0) != 0) {
                ADD_FAILURE() << "unexpected message " << error.what();
            }
        } catch (const std::exception& error) {
            ADD_FAILURE() << "mutation " << iteration << " raised another exception: " << error.what() << "\n" << text;
        } catch (...) {
            ADD_FAILURE() << "mutation " << iteration << " raised a non-standard exception";
        }
    }
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 3000);
}

}  // namespace
}  // namespace vesk
