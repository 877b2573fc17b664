#include "model/dimension_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

#include "model/json_util.hpp"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

const fs::path kDataDir = fs::path(VESK_SOURCE_DIR) / "tests" / "model" / "data";
const std::string kPrefix = "DimensionGraph 'a.json' is invalid: ";

// A small valid graph touching every entity type: a line and a circle in the front view,
// an arc, and a second view with a line.
Json base_graph() {
    return Json::parse(R"({
      "units": "mm", "part_class": "prismatic",
      "views": [{"id": "front", "type": "front"}, {"id": "top", "type": "top"}],
      "entities": [
        {"id": "l1", "type": "line", "view_id": "front", "start": [0, 0], "end": [10, 0]},
        {"id": "c1", "type": "circle", "view_id": "front", "center": [5, 5], "radius": 2},
        {"id": "a1", "type": "arc", "view_id": "front", "center": [5, 5], "radius": 3,
         "start_angle_deg": 0, "end_angle_deg": 90},
        {"id": "t1", "type": "line", "view_id": "top", "start": [0, 0], "end": [0, 4]}
      ],
      "constraints": [
        {"id": "d1", "type": "distance", "entity_ids": ["l1"], "value": 10, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4]},
        {"id": "dia1", "type": "diameter", "entity_ids": ["c1"], "value": 4, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4], "display_name": "Hole"},
        {"id": "r1", "type": "radius", "entity_ids": ["a1"], "value": 3, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4]},
        {"id": "t", "type": "distance", "entity_ids": ["t1"], "value": 4, "confidence": 0.9,
         "source_bbox": [1, 2, 3, 4]}
      ]})");
}

Json constraint(const std::string& id, const std::string& type, std::vector<std::string> entity_ids, double value) {
    return Json{{"id", id},          {"type", type},       {"entity_ids", entity_ids},
                {"value", value},    {"confidence", 0.5}, {"source_bbox", {0, 0, 1, 1}}};
}

std::string message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("<other exception> ") + error.what();
    }
    return "<accepted>";
}

std::string parse_message(const std::string& text) {
    return message_of([&] { parse_dimension_graph(text, "a.json"); });
}

struct Case {
    const char* name;
    std::function<void(Json&)> mutate;
    std::string expected;  // message after the prefix; "<accepted>" for a graph that parses
};

void run_cases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json json = base_graph();
        c.mutate(json);
        const std::string message = parse_message(json.dump());
        if (c.expected == "<accepted>") {
            EXPECT_EQ(message, "<accepted>");
        } else {
            EXPECT_EQ(message, kPrefix + c.expected);
        }
    }
}

Json& entity(Json& graph, std::size_t index) { return graph["entities"][index]; }
Json& constraint_at(Json& graph, std::size_t index) { return graph["constraints"][index]; }

TEST(DimensionGraphParse, BaseGraphIsValid) {
    const DimensionGraph graph = parse_dimension_graph(base_graph().dump(), "a.json");
    EXPECT_EQ(graph.units, "mm");
    ASSERT_EQ(graph.entities.size(), 4u);
    EXPECT_EQ(std::get<ArcGeometry>(graph.entities[2].geometry).end_angle_deg, 90.0);
    ASSERT_EQ(graph.constraints.size(), 4u);
    EXPECT_EQ(graph.constraints[1].display_name, std::optional<std::string>("Hole"));
    EXPECT_EQ(graph.constraints[0].display_name, std::nullopt);
}

TEST(DimensionGraphParse, RootFields) {
    run_cases({
        {"extra key", [](Json& g) { g["schema_version"] = "m1"; }, "root: unknown field 'schema_version'"},
        {"missing constraints before unknown keys",
         [](Json& g) {
             g.erase("constraints");
             g["zeta"] = 1;
             g["units"] = 5;
         },
         "root: missing required field 'constraints'"},
        {"required keys in list order",
         [](Json& g) {
             g.erase("views");
             g.erase("units");
         },
         "root: missing required field 'units'"},
        {"alpha before zeta",
         [](Json& g) {
             g["zeta"] = 1;
             g["alpha"] = 1;
         },
         "root: unknown field 'alpha'"},
        {"root not an object", [](Json& g) { g = Json::array({1}); }, "root: expected an object"},
        {"units capitals", [](Json& g) { g["units"] = "MM"; }, "root: M1 supports units 'mm' only"},
        {"units inches", [](Json& g) { g["units"] = "in"; }, "root: M1 supports units 'mm' only"},
        {"units empty", [](Json& g) { g["units"] = ""; }, "root: field 'units' must not be empty"},
        {"units number", [](Json& g) { g["units"] = 1; }, "root: field 'units' must be a string"},
        {"part class number", [](Json& g) { g["part_class"] = 1; }, "root: field 'part_class' must be a string"},
        {"views object before bad part class",
         [](Json& g) {
             g["views"] = Json::object();
             g["part_class"] = "cone";
         },
         "views: expected an array"},
        {"entities null", [](Json& g) { g["entities"] = nullptr; }, "entities: expected an array"},
        {"constraints string", [](Json& g) { g["constraints"] = "x"; }, "constraints: expected an array"},
        {"empty views before bad part class",
         [](Json& g) {
             g["views"] = Json::array();
             g["part_class"] = "cone";
         },
         "views: must not be empty"},
        {"unknown part class", [](Json& g) { g["part_class"] = "Revolve"; }, "root: unknown part_class 'Revolve'"},
        {"empty entities and constraints",
         [](Json& g) {
             g["entities"] = Json::array();
             g["constraints"] = Json::array();
         },
         "<accepted>"},
        {"revolve", [](Json& g) { g["part_class"] = "revolve"; }, "<accepted>"},
    });
}

TEST(DimensionGraphParse, Views) {
    run_cases({
        {"unknown type", [](Json& g) { g["views"][1]["type"] = "iso"; }, "views[1]: unknown view type 'iso'"},
        {"type case", [](Json& g) { g["views"][0]["type"] = "Front"; }, "views[0]: unknown view type 'Front'"},
        {"not an object", [](Json& g) { g["views"][1] = "top"; }, "views[1]: expected an object"},
        {"extra key", [](Json& g) { g["views"][0]["name"] = "x"; }, "views[0]: unknown field 'name'"},
        {"empty id", [](Json& g) { g["views"][0]["id"] = ""; }, "views[0]: field 'id' must not be empty"},
        {"duplicate type",
         [](Json& g) { g["views"][1] = Json{{"id", "front2"}, {"type", "front"}}; },
         "views: duplicate type 'front'"},
        {"duplicate id", [](Json& g) { g["views"][1]["id"] = "front"; }, "views: duplicate id 'front'"},
        {"all four types",
         [](Json& g) {
             g["views"].push_back(Json{{"id", "s"}, {"type", "side"}});
             g["views"].push_back(Json{{"id", "x"}, {"type", "section"}});
         },
         "<accepted>"},
        {"ids shared across kinds",
         [](Json& g) {
             entity(g, 0)["id"] = "front";
             constraint_at(g, 0)["id"] = "front";
             constraint_at(g, 0)["entity_ids"] = {"front"};
         },
         "<accepted>"},
    });
}

TEST(DimensionGraphParse, Entities) {
    run_cases({
        {"not an object", [](Json& g) { entity(g, 1) = Json::array(); }, "entities[1]: expected an object"},
        {"type missing", [](Json& g) { entity(g, 0).erase("type"); }, "entities[0]: field 'type' must be a string"},
        {"type number", [](Json& g) { entity(g, 0)["type"] = 0; }, "entities[0]: field 'type' must be a string"},
        {"unknown type", [](Json& g) { entity(g, 0)["type"] = "spline"; },
         "entities[0]: unknown entity type 'spline'"},
        {"id typed wrongly before extra key",
         [](Json& g) {
             entity(g, 0)["id"] = 7;
             entity(g, 0)["bulge"] = 1;
         },
         "entities[0]: field 'id' must be a string"},
        {"view_id empty before missing key",
         [](Json& g) {
             entity(g, 1)["view_id"] = "";
             entity(g, 1).erase("radius");
         },
         "entities[1]: field 'view_id' must not be empty"},
        {"line with radius", [](Json& g) { entity(g, 0)["radius"] = 1; }, "entities[0]: unknown field 'radius'"},
        {"circle missing radius", [](Json& g) { entity(g, 1).erase("radius"); },
         "entities[1]: missing required field 'radius'"},
        {"arc missing angle", [](Json& g) { entity(g, 2).erase("end_angle_deg"); },
         "entities[2]: missing required field 'end_angle_deg'"},
        {"unknown view id reported at entity id", [](Json& g) { entity(g, 3)["view_id"] = "side"; },
         "t1: unknown view_id 'side'"},
        {"duplicate entity id", [](Json& g) { entity(g, 3)["id"] = "l1"; }, "entities: duplicate id 'l1'"},
        {"line endpoints equal", [](Json& g) { entity(g, 0)["end"] = {0, 0}; },
         "entities[0]: line endpoints must be distinct"},
        {"point of three", [](Json& g) { entity(g, 0)["start"] = {0, 0, 0}; },
         "entities[0].start: expected [x, y] with two numbers"},
        {"point with string", [](Json& g) { entity(g, 0)["end"] = {"10", 0}; },
         "entities[0].end: expected [x, y] with two numbers"},
        {"point object", [](Json& g) { entity(g, 1)["center"] = {{"x", 1}}; },
         "entities[1].center: expected an array"},
        {"circle radius zero", [](Json& g) { entity(g, 1)["radius"] = 0; }, "entities[1]: radius must be positive"},
        {"circle radius string", [](Json& g) { entity(g, 1)["radius"] = "2"; },
         "entities[1]: field 'radius' must be a number"},
        {"radius checked before center",
         [](Json& g) {
             entity(g, 1)["radius"] = -1;
             entity(g, 1)["center"] = "c";
         },
         "entities[1]: radius must be positive"},
        {"arc angles read before radius sign",
         [](Json& g) {
             entity(g, 2)["radius"] = -1;
             entity(g, 2)["start_angle_deg"] = true;
         },
         "entities[2]: field 'start_angle_deg' must be a number"},
        {"arc angles equal", [](Json& g) { entity(g, 2)["end_angle_deg"] = 0.0; },
         "entities[2]: arc angles must be distinct"},
        {"arc negative radius", [](Json& g) { entity(g, 2)["radius"] = -3; }, "entities[2]: radius must be positive"},
    });
}

TEST(DimensionGraphParse, ConstraintFields) {
    run_cases({
        {"missing source box", [](Json& g) { constraint_at(g, 0).erase("source_bbox"); },
         "constraints[0]: missing required field 'source_bbox'"},
        {"unknown key", [](Json& g) { constraint_at(g, 0)["unit"] = "mm"; }, "constraints[0]: unknown field 'unit'"},
        {"unknown type", [](Json& g) { constraint_at(g, 0)["type"] = "tangent"; },
         "constraints[0]: unknown constraint type 'tangent'"},
        {"entity_ids number", [](Json& g) { constraint_at(g, 0)["entity_ids"] = 3; },
         "constraints[0].entity_ids: expected an array"},
        {"entity_ids empty", [](Json& g) { constraint_at(g, 0)["entity_ids"] = Json::array(); },
         "constraints[0]: entity_ids must not be empty"},
        {"entity_ids empty string", [](Json& g) { constraint_at(g, 2)["entity_ids"] = {"a1", ""}; },
         "constraints[2]: entity_ids must contain non-empty strings"},
        {"entity_ids number element", [](Json& g) { constraint_at(g, 2)["entity_ids"] = {1}; },
         "constraints[2]: entity_ids must contain non-empty strings"},
        {"unknown entity reported at constraint id", [](Json& g) { constraint_at(g, 1)["entity_ids"] = {"c9"}; },
         "dia1: unknown entity id 'c9'"},
        {"duplicate constraint id", [](Json& g) { constraint_at(g, 3)["id"] = "d1"; },
         "constraints: duplicate id 'd1'"},
        {"confidence one", [](Json& g) { constraint_at(g, 0)["confidence"] = 1; }, "<accepted>"},
        {"confidence zero", [](Json& g) { constraint_at(g, 0)["confidence"] = 0.0; }, "<accepted>"},
        {"confidence above one", [](Json& g) { constraint_at(g, 0)["confidence"] = 1.0000001; },
         "constraints[0]: confidence must be in [0, 1]"},
        {"confidence negative", [](Json& g) { constraint_at(g, 0)["confidence"] = -0.01; },
         "constraints[0]: confidence must be in [0, 1]"},
        {"confidence before type", [](Json& g) {
             constraint_at(g, 0)["confidence"] = 2;
             constraint_at(g, 0)["type"] = "tangent";
         },
         "constraints[0]: confidence must be in [0, 1]"},
        {"display name empty", [](Json& g) { constraint_at(g, 0)["display_name"] = ""; },
         "constraints[0]: field 'display_name' must not be empty"},
        {"display name null", [](Json& g) { constraint_at(g, 0)["display_name"] = nullptr; },
         "constraints[0]: field 'display_name' must be a string"},
        {"value string", [](Json& g) { constraint_at(g, 0)["value"] = "10"; },
         "constraints[0]: field 'value' must be a number"},
        {"negative box width", [](Json& g) { constraint_at(g, 0)["source_bbox"] = {0, 0, -1, 2}; },
         "constraints[0].source_bbox: width and height must be non-negative"},
        {"box of three", [](Json& g) { constraint_at(g, 0)["source_bbox"] = {0, 0, 1}; },
         "constraints[0].source_bbox: expected [x, y, width, height]"},
        {"box with null", [](Json& g) { constraint_at(g, 0)["source_bbox"] = {0, nullptr, 1, 1}; },
         "constraints[0].source_bbox: all components must be finite numbers"},
        {"box object", [](Json& g) { constraint_at(g, 0)["source_bbox"] = Json::object(); },
         "constraints[0].source_bbox: expected an array"},
        {"zero box", [](Json& g) { constraint_at(g, 0)["source_bbox"] = {0, 0, 0, 0}; }, "<accepted>"},
    });
}

// Text cannot carry a non-finite number: the JSON library refuses one that overflows, and
// one that underflows reads as zero.
TEST(DimensionGraphParse, OutOfRangeNumbersInText) {
    const std::string base = base_graph().dump();
    auto with = [&](const std::string& from, const std::string& to) {
        std::string text = base;
        text.replace(text.find(from), from.size(), to);
        return parse_message(text);
    };
    for (const char* huge : {"1e400", "-1e400", "1e999"}) {
        const std::string message = with(R"("value":10)", std::string("\"value\":") + huge);
        EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
        EXPECT_NE(message.find(std::string("'") + huge + "'"), std::string::npos) << message;
    }
    EXPECT_EQ(with(R"("radius":2)", R"("radius":2e-400)"), kPrefix + "entities[1]: radius must be positive");
    EXPECT_EQ(with(R"("value":10)", R"("value":10.000000000000000000000000000001)"), "<accepted>");
    EXPECT_EQ(with(R"("end":[10,0])", R"("end":[1.7976931348623157e308,0])"),
              kPrefix + "d1: distance value contradicts referenced line length");
}

// Documents built in code can hold infinities and NaN; every finiteness check catches them.
TEST(DimensionGraphParse, NonFiniteNumbersInDocuments) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct DocCase {
        std::function<void(SortedJson&)> mutate;
        std::string expected;
    };
    const DocCase cases[] = {
        {[&](SortedJson& g) { g["entities"][0]["end"][0] = inf; }, "entities[0].end: coordinates must be finite"},
        {[&](SortedJson& g) { g["entities"][1]["center"][1] = nan; },
         "entities[1].center: coordinates must be finite"},
        {[&](SortedJson& g) { g["entities"][1]["radius"] = inf; }, "entities[1]: field 'radius' must be finite"},
        {[&](SortedJson& g) { g["entities"][2]["radius"] = nan; }, "entities[2]: field 'radius' must be finite"},
        {[&](SortedJson& g) { g["entities"][2]["end_angle_deg"] = -inf; },
         "entities[2]: field 'end_angle_deg' must be finite"},
        {[&](SortedJson& g) { g["constraints"][0]["value"] = -inf; }, "constraints[0]: field 'value' must be finite"},
        {[&](SortedJson& g) { g["constraints"][0]["confidence"] = nan; },
         "constraints[0]: field 'confidence' must be finite"},
        {[&](SortedJson& g) { g["constraints"][0]["source_bbox"][2] = inf; },
         "constraints[0].source_bbox: all components must be finite numbers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        SortedJson json = parse_strict_json(base_graph().dump());
        c.mutate(json);
        try {
            parse_dimension_graph_object(json);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), c.expected);
        }
    }
}

TEST(DimensionGraphParse, ConstraintValuesAgainstGeometry) {
    run_cases({
        {"distance contradicts line", [](Json& g) { constraint_at(g, 0)["value"] = 12; },
         "d1: distance value contradicts referenced line length"},
        {"distance 10 and 12 on one line",
         [](Json& g) { g["constraints"].push_back(constraint("d2", "distance", {"l1"}, 12)); }, "<accepted>"},
        {"12 and 14 on one line of 10, both contradicting",
         [](Json& g) {
             constraint_at(g, 0)["value"] = 14;
             g["constraints"].push_back(constraint("d2", "distance", {"l1"}, 12));
         },
         "<accepted>"},
        {"two equal wrong values",
         [](Json& g) {
             constraint_at(g, 0)["value"] = 12;
             g["constraints"].push_back(constraint("d2", "distance", {"l1"}, 12));
         },
         "d1: distance value contradicts referenced line length"},
        {"sibling within tolerance is no allowance",
         [](Json& g) {
             constraint_at(g, 0)["value"] = 12;
             g["constraints"].push_back(constraint("d2", "distance", {"l1"}, 12.0000000005));
         },
         "d1: distance value contradicts referenced line length"},
        {"sibling of another kind is no allowance",
         [](Json& g) {
             constraint_at(g, 0)["value"] = 12;
             g["constraints"].push_back(constraint("ang", "angle", {"l1"}, 30));
         },
         "d1: distance value contradicts referenced line length"},
        {"sibling on two entities is no allowance",
         [](Json& g) {
             constraint_at(g, 0)["value"] = 12;
             g["constraints"].push_back(constraint("d2", "distance", {"l1", "t1"}, 10));
         },
         "d1: distance value contradicts referenced line length"},
        {"distance on two entities unchecked",
         [](Json& g) { g["constraints"].push_back(constraint("d2", "distance", {"l1", "t1"}, 99)); }, "<accepted>"},
        {"distance on circle unchecked", [](Json& g) { constraint_at(g, 1)["type"] = "distance"; }, "<accepted>"},
        {"distance within tolerance", [](Json& g) { constraint_at(g, 0)["value"] = 10.0000000009; }, "<accepted>"},
        {"radius within 1e-9", [](Json& g) { entity(g, 2)["radius"] = 3.0000000005; }, "<accepted>"},
        {"radius beyond 1e-9", [](Json& g) { entity(g, 2)["radius"] = 3.000000002; },
         "r1: radius value contradicts referenced entity"},
        {"radius on circle", [](Json& g) { g["constraints"].push_back(constraint("r2", "radius", {"c1"}, 2)); },
         "<accepted>"},
        {"radius on line", [](Json& g) { constraint_at(g, 2)["entity_ids"] = {"l1"}; },
         "r1: radius must reference a circle or arc"},
        {"radius on two entities", [](Json& g) { constraint_at(g, 2)["entity_ids"] = {"a1", "c1"}; },
         "r1: diameter and radius constraints require exactly one entity"},
        {"diameter on arc", [](Json& g) { constraint_at(g, 1)["entity_ids"] = {"a1"}; },
         "dia1: diameter must reference a circle"},
        {"diameter contradicts circle", [](Json& g) { constraint_at(g, 1)["value"] = 2; },
         "dia1: diameter value contradicts referenced circle"},
        {"radius 2 and diameter 4 agree, so no allowance for a wrong diameter",
         [](Json& g) {
             g["constraints"].push_back(constraint("r2", "radius", {"c1"}, 3));
             g["constraints"].push_back(constraint("r3", "radius", {"c1"}, 3));
         },
         "<accepted>"},
        {"diameter 6 halved equals radius 3: both contradict without allowance",
         [](Json& g) {
             constraint_at(g, 1)["value"] = 6;
             g["constraints"].push_back(constraint("r2", "radius", {"c1"}, 3));
         },
         "dia1: diameter value contradicts referenced circle"},
        {"diameter 6 and radius 2 differ once halved",
         [](Json& g) {
             constraint_at(g, 1)["value"] = 6;
             g["constraints"].push_back(constraint("r2", "radius", {"c1"}, 2));
         },
         "<accepted>"},
        {"value checks run after every constraint is read",
         [](Json& g) {
             constraint_at(g, 0)["value"] = 12;
             g["constraints"].push_back(constraint("bad", "distance", {"nowhere"}, 1));
         },
         "bad: unknown entity id 'nowhere'"},
        {"relations unchecked",
         [](Json& g) {
             g["constraints"].push_back(constraint("p", "perpendicular", {"l1", "t1"}, 45));
             g["constraints"].push_back(constraint("s", "symmetric", {"l1", "t1", "c1"}, -7));
             g["constraints"].push_back(constraint("a", "angle", {"l1"}, 1e300));
         },
         "<accepted>"},
    });
}

// The public per-constraint check and the graph parser apply one rule.
TEST(DimensionGraphParse, PerConstraintCheckAgreesWithTheGraphParser) {
    const std::vector<std::vector<double>> distance_sets = {{10}, {12}, {10, 12}, {12, 12}, {12, 14},
                                                            {12, 12.0000000005}, {10.0000000005, 12}};
    for (const auto& values : distance_sets) {
        Json json = base_graph();
        json["constraints"] = Json::array();
        for (std::size_t i = 0; i < values.size(); ++i) {
            json["constraints"].push_back(constraint("d" + std::to_string(i), "distance", {"l1"}, values[i]));
        }
        const std::string graph_message = parse_message(json.dump());

        const SortedJson sorted = parse_strict_json(json.dump());
        std::vector<DimensionEntity> entities;
        for (std::size_t i = 0; i < sorted["entities"].size(); ++i) {
            push_entity(entities, parse_dimension_entity(sorted["entities"][i], i));
        }
        std::map<std::string, const DimensionEntity*> by_id;
        for (const auto& e : entities) by_id[e.id] = &e;
        std::vector<DimensionConstraint> constraints;
        for (std::size_t i = 0; i < sorted["constraints"].size(); ++i) {
            constraints.push_back(parse_dimension_constraint(sorted["constraints"][i], i));
        }
        std::string single_message = "<accepted>";
        try {
            for (const auto& c : constraints) validate_constraint_geometry(c, by_id, constraints);
        } catch (const std::invalid_argument& error) {
            single_message = kPrefix + error.what();
        }
        EXPECT_EQ(graph_message, single_message) << ::testing::PrintToString(values);
    }
}

TEST(DimensionGraphParse, TextGuards) {
    const std::string base = base_graph().dump();
    EXPECT_EQ(parse_message(R"({"units":"mm","units":"mm"})"), kPrefix + "duplicate field 'units'");
    std::string duplicate_inside = base;
    duplicate_inside.replace(duplicate_inside.find(R"("radius":2)"), 10, R"("radius":2,"radius":2)");
    EXPECT_EQ(parse_message(duplicate_inside), kPrefix + "duplicate field 'radius'");

    // Root object, constraints array and constraint object are three levels; 61 arrays
    // around a value make 64, one more is refused.
    auto nested = [&](int arrays) {
        std::string text = base;
        text.replace(text.find(R"("value":10)"), 10,
                     "\"value\":" + std::string(arrays, '[') + "10" + std::string(arrays, ']'));
        return text;
    };
    EXPECT_EQ(parse_message(nested(kMaxJsonDepth - 3)), kPrefix + "constraints[0]: field 'value' must be a number");
    EXPECT_EQ(parse_message(nested(kMaxJsonDepth - 2)), kPrefix + "JSON nesting exceeds 64 levels");

    for (const std::string& bad : {base + "x", base + base, "// note\n" + base, std::string("")}) {
        const std::string message = parse_message(bad);
        EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
        EXPECT_GT(message.size(), kPrefix.size());
    }
}

class GraphFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vesk_graph_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path write(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    fs::path dir_;
};

TEST_F(GraphFiles, LoadReportsOpenReadAndParseFailures) {
    const fs::path missing = dir_ / "missing.json";
    EXPECT_EQ(message_of([&] { load_dimension_graph(missing); }),
              "Cannot open DimensionGraph file: " + missing.string());

    const fs::path directory = dir_ / "graph.json";
    fs::create_directories(directory);
    EXPECT_EQ(message_of([&] { load_dimension_graph(directory); }),
              "Cannot read DimensionGraph file: " + directory.string());

    const fs::path empty = write("empty.json", "");
    const std::string empty_message = message_of([&] { load_dimension_graph(empty); });
    const std::string empty_prefix = "DimensionGraph '" + empty.string() + "' is invalid: ";
    EXPECT_EQ(empty_message.rfind(empty_prefix, 0), 0u) << empty_message;
    EXPECT_GT(empty_message.size(), empty_prefix.size());

    const fs::path duplicate = write("dup.json", R"({"units":"mm","units":"mm"})");
    EXPECT_EQ(message_of([&] { load_dimension_graph(duplicate); }),
              "DimensionGraph '" + duplicate.string() + "' is invalid: duplicate field 'units'");
}

TEST_F(GraphFiles, LoadReadsTheWholeFileBinary) {
    // Larger than one read buffer, with CR LF line ends kept as they are.
    Json json = base_graph();
    for (int i = 0; i < 3000; ++i) {
        json["constraints"].push_back(constraint("p" + std::to_string(i), "parallel", {"l1", "t1"}, 0));
    }
    std::string text = json.dump(2);
    std::string crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    ASSERT_GT(crlf.size(), 200000u);
    const DimensionGraph graph = load_dimension_graph(write("big.json", crlf));
    EXPECT_EQ(graph.constraints.size(), 3004u);
    EXPECT_EQ(graph.constraints.back().id, "p2999");
}

TEST(DimensionGraphEnums, TextNames) {
    EXPECT_EQ(to_string(PartClass::prismatic), "prismatic");
    EXPECT_EQ(to_string(PartClass::revolve), "revolve");
    const std::pair<ViewType, const char*> views[] = {
        {ViewType::front, "front"}, {ViewType::top, "top"}, {ViewType::side, "side"}, {ViewType::section, "section"}};
    for (const auto& [value, name] : views) EXPECT_EQ(to_string(value), name);
    const std::pair<EntityType, const char*> entities[] = {
        {EntityType::line, "line"}, {EntityType::arc, "arc"}, {EntityType::circle, "circle"}};
    for (const auto& [value, name] : entities) EXPECT_EQ(to_string(value), name);
    const char* constraint_names[] = {"distance",   "diameter", "radius",        "angle",
                                      "coincident", "parallel", "perpendicular", "symmetric"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(to_string(static_cast<ConstraintType>(i)), constraint_names[i]);
        EXPECT_EQ(parse_constraint_type(constraint_names[i], "p"), static_cast<ConstraintType>(i));
    }
    EXPECT_EQ(message_of([] { parse_constraint_type("Distance", "constraints[4]"); }),
              "<other exception> constraints[4]: unknown constraint type 'Distance'");

    struct Bad {
        std::function<void()> call;
        const char* message;
    };
    const Bad bad[] = {
        {[] { to_string(static_cast<PartClass>(2)); }, "Unknown PartClass value"},
        {[] { to_string(static_cast<ViewType>(4)); }, "Unknown ViewType value"},
        {[] { to_string(static_cast<EntityType>(3)); }, "Unknown EntityType value"},
        {[] { to_string(static_cast<ConstraintType>(8)); }, "Unknown ConstraintType value"},
    };
    for (const auto& b : bad) {
        try {
            b.call();
            ADD_FAILURE() << "no exception for " << b.message;
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), b.message);
        }
    }
}

TEST(DimensionGraphWriter, KeysInFixedOrderIndentTwoAndOneNewline) {
    // Built record by record, as the binding does, so no key order comes from a parser.
    DimensionGraph graph;
    graph.part_class = PartClass::revolve;
    push_view(graph.views, DimensionView{"f", ViewType::front});
    push_entity(graph.entities, DimensionEntity{"c", EntityType::circle, "f", CircleGeometry{{0.0, -0.5}, 50.0}});
    push_entity(graph.entities,
                DimensionEntity{"a", EntityType::arc, "f", ArcGeometry{{1.0, 2.0}, 0.1, -90.0, 1e21}});
    push_entity(graph.entities, DimensionEntity{"l", EntityType::line, "f", LineGeometry{{0, 0}, {3, 4}}});
    graph.constraints.push_back(DimensionConstraint{"k", ConstraintType::diameter, {"c"}, 100.0, 1.0,
                                                    SourceBox{1.5, 2.0, 0.0, 4.0}, std::string("Ø100 \"A\"")});
    graph.constraints.push_back(
        DimensionConstraint{"m", ConstraintType::distance, {"l"}, 5.0, 0.25, SourceBox{}, std::nullopt});
    // Keys in the order written here (the ordered type keeps it), numbers as doubles.
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
    EXPECT_NE(text.find("\n      \"end_angle_deg\": 1e+21\n    },\n"), std::string::npos);
    EXPECT_NE(text.find("\"display_name\": \"Ø100 \\\"A\\\"\"\n"), std::string::npos);
    EXPECT_EQ(parse_dimension_graph(text, "built"), graph);
}

TEST(DimensionGraphWriter, GeometryDisagreeingWithTypeIsAnInternalFault) {
    DimensionGraph graph;
    push_view(graph.views, DimensionView{"f", ViewType::front});
    push_entity(graph.entities, DimensionEntity{"c", EntityType::circle, "f", LineGeometry{{0, 0}, {1, 1}}});
    EXPECT_THROW(dimension_graph_to_json(graph), std::bad_variant_access);
}

std::vector<fs::path> fixture_files() {
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(kDataDir)) {
        if (item.path().extension() == ".json") files.push_back(item.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
        const DimensionGraph again = parse_dimension_graph(first, path.filename().string());
        EXPECT_EQ(again, graph);
        const std::string second = dimension_graph_to_json(again);
        EXPECT_EQ(second, first);
        ASSERT_GE(first.size(), 2u);
        EXPECT_EQ(first.back(), '\n');
        EXPECT_NE(first[first.size() - 2], '\n');
        EXPECT_EQ(first.find('\r'), std::string::npos);
    }
    for (const char* name : {"plate_with_holes.json", "flange.json", "l_bracket.json", "underconstrained.json",
                             "all_record_kinds.json"}) {
        EXPECT_NE(std::find(valid.begin(), valid.end(), name), valid.end()) << name << " does not parse";
    }
}

TEST(DimensionGraphWriter, SharedFixturesHaveTheirShape) {
    const DimensionGraph plate = load_dimension_graph(kDataDir / "plate_with_holes.json");
    EXPECT_EQ(plate.part_class, PartClass::prismatic);
    EXPECT_EQ(plate.views.size(), 2u);
    EXPECT_EQ(plate.entities.size(), 10u);
    const DimensionGraph flange = load_dimension_graph(kDataDir / "flange.json");
    EXPECT_EQ(flange.part_class, PartClass::revolve);
    EXPECT_EQ(std::count_if(flange.entities.begin(), flange.entities.end(),
                            [](const DimensionEntity& e) { return e.type == EntityType::circle; }),
              8);
}

// Seeded random damage to valid graph texts: every result is a graph or a runtime error
// carrying the parser's prefix, and every accepted graph survives a writer round trip.
TEST(DimensionGraphRobustness, RandomMutationsAreAcceptedOrRefusedCleanly) {
    std::vector<std::string> texts = {base_graph().dump(), base_graph().dump(2)};
    for (const auto& path : fixture_files()) {
        const std::string text = read_file(path);
        if (parse_message(text) == "<accepted>") texts.push_back(text);
    }
    const std::vector<std::string> numbers = {"1e308",     "1e400",  "-1e400", "1.7976931348623157e308", "5e-324",
                                              "-0",        "0",      "-1",     "99999999999999999999999999",
                                              "18446744073709551615", "-9223372036854775809", "1e-400", "0.5"};
    const std::vector<Json> replacements = {nullptr, true, false, "", "l1", "front", 0, -1, 2.5, 1e300,
                                            Json::array(), Json::array({1, 2}), Json::array({0, 0, 1, 1}),
                                            Json::object(), Json{{"id", "x"}}};

    std::mt19937 rng(20240607u);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
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
                if ((text[i] >= '0' && text[i] <= '9') && (i == 0 || !(text[i - 1] >= '0' && text[i - 1] <= '9'))) {
                    starts.push_back(i);
                }
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
                    auto it = item.begin();
                    std::advance(it, static_cast<std::ptrdiff_t>(pick(item.size())));
                    item.erase(it);
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
            } else {
                const std::size_t depth = 1 + pick(100);
                const std::size_t colon = text.find(':', at);
                if (colon != std::string::npos) {
                    text.insert(colon + 1, std::string(depth, '['));
                    const std::size_t close = text.find_first_of(",}", colon + 1 + depth);
                    if (close != std::string::npos) text.insert(close, std::string(depth, ']'));
                }
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
