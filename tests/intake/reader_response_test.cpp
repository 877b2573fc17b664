#include "intake/reader_response.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using vesk::DimensionReading;
using vesk::parse_agent_reader_v2_response;
using vesk::ReaderResponse;
using vesk::ReadingOrigin;
using vesk::SortedJson;

namespace {

const std::string kPrefix = "Zozez-Udazur v2 response 'fixtures/r.json' is invalid: ";

// A valid response with one reading whose fields the cases below replace.
std::string document(const std::string& reading_fields, const std::string& root_tail = "\"errors\": []",
                     const std::string& graph = "null") {
    return R"({"drawing_id": "part-1", "dimension_graph": )" + graph + R"(, "readings": [)" + reading_fields +
           "], " + root_tail + "}";
}

std::string reading(const std::string& value = "40", const std::string& origin = "\"source_text\"",
                    const std::string& confidence = "0.9", const std::string& box = "[1, 2, 3, 4]",
                    const std::string& id = "\"d1\"") {
    return R"({"constraint_id": )" + id + R"(, "value": )" + value + R"(, "confidence": )" + confidence +
           R"(, "origin": )" + origin + R"(, "source_bbox": )" + box + "}";
}

std::string parse_error(const std::string& text) {
    try {
        parse_agent_reader_v2_response(text, "fixtures/r.json");
    } catch (const std::runtime_error& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("<wrong exception type> ") + error.what();
    }
    return "<parsed>";
}

TEST(ReaderResponseParse, AcceptsEveryReaderOriginAndConvertsIntegers) {
    const std::string text = document(reading("40", "\"source_text\"", "1") + ", " +
                                          reading("12.5", "\"inferred\"", "0", "[0.5, 1.5, 0, 0]", "\"d2\"") +
                                          ", " + reading("null", "\"unreadable\"", "0.25", "[7, 8, 9, 10]", "\"d3\""),
                                      R"("errors": ["faint text", "second"])");
    const ReaderResponse response = parse_agent_reader_v2_response(text, "r.json");
    EXPECT_EQ(response.drawing_id, "part-1");
    EXPECT_FALSE(response.dimension_graph.has_value());
    ASSERT_EQ(response.readings.size(), 3u);
    const DimensionReading& first = response.readings[0];
    EXPECT_EQ(first.constraint_id, "d1");
    ASSERT_TRUE(first.value.has_value());
    EXPECT_EQ(*first.value, 40.0);
    EXPECT_EQ(first.confidence, 1.0);
    EXPECT_EQ(first.origin, ReadingOrigin::source_text);
    EXPECT_EQ(first.source_bbox.x, 1.0);
    EXPECT_EQ(first.source_bbox.height, 4.0);
    EXPECT_EQ(response.readings[1].origin, ReadingOrigin::inferred);
    EXPECT_EQ(*response.readings[1].value, 12.5);
    EXPECT_EQ(response.readings[1].confidence, 0.0);
    EXPECT_EQ(response.readings[2].origin, ReadingOrigin::unreadable);
    EXPECT_FALSE(response.readings[2].value.has_value());
    EXPECT_EQ(response.readings[2].source_bbox.width, 9.0);
    EXPECT_EQ(response.errors, (std::vector<std::string>{"faint text", "second"}));

    const ReaderResponse empty =
        parse_agent_reader_v2_response(R"({"drawing_id":"x","dimension_graph":null,"readings":[],"errors":[]})", "e");
    EXPECT_TRUE(empty.readings.empty());
    EXPECT_TRUE(empty.errors.empty());
}

struct Refusal {
    const char* name;
    std::string text;
    std::string message;  // after the common prefix
};

TEST(ReaderResponseParse, RefusesEveryRuleWithItsMessage) {
    const std::string ok = reading();
    const std::vector<Refusal> cases = {
        // Text and root object.
        {"syntax_error", "{\"drawing_id\": ", "<library syntax error>"},
        {"comment", "/* c */ " + document(ok), "<library syntax error>"},
        {"duplicate_key", R"({"drawing_id":"a","drawing_id":"b","dimension_graph":null,"readings":[],"errors":[]})",
         "duplicate field 'drawing_id'"},
        {"too_deep", document(ok, R"("errors": )" + std::string(70, '[') + std::string(70, ']')),
         "JSON nesting exceeds 64 levels"},
        {"root_not_object", "[]", "root: expected an object"},
        {"root_missing_errors", R"({"drawing_id":"a","dimension_graph":null,"readings":[]})",
         "root: missing required field 'errors'"},
        {"root_extra_key", document(ok, R"("errors": [], "extra": 1)"), "root: unknown field 'extra'"},
        // dimension_graph.
        {"graph_present", document(ok, R"("errors": [])", "{}"),
         "root: Zozez-Udazur v2 requires dimension_graph to be null; graph output is a format error"},
        // drawing_id.
        {"drawing_id_number", R"({"drawing_id":7,"dimension_graph":null,"readings":[],"errors":[]})",
         "root: field 'drawing_id' must be a string"},
        {"drawing_id_empty", R"({"drawing_id":"","dimension_graph":null,"readings":[],"errors":[]})",
         "root: field 'drawing_id' must not be empty"},
        // readings and each reading's keys.
        {"readings_not_array", R"({"drawing_id":"a","dimension_graph":null,"readings":{},"errors":[]})",
         "root: readings must be an array"},
        {"reading_not_object", document("3"), "readings[0]: expected an object"},
        {"reading_missing_key", document(R"({"constraint_id":"d1","value":1,"confidence":1,"origin":"inferred"})"),
         "readings[0]: missing required field 'source_bbox'"},
        {"reading_extra_key", document(ok + R"(, {"constraint_id":"d2","value":1,"confidence":1,"origin":"inferred",
             "source_bbox":[0,0,0,0],"note":"x"})"),
         "readings[1]: unknown field 'note'"},
        {"duplicate_constraint_id", document(ok + ", " + ok), "root: duplicate reading constraint_id 'd1'"},
        // constraint_id.
        {"constraint_id_number", document(reading("40", "\"source_text\"", "0.9", "[1, 2, 3, 4]", "5")),
         "readings[0]: field 'constraint_id' must be a string"},
        {"constraint_id_empty", document(reading("40", "\"source_text\"", "0.9", "[1, 2, 3, 4]", "\"\"")),
         "readings[0]: field 'constraint_id' must not be empty"},
        // origin.
        {"origin_number", document(reading("40", "0")), "readings[0]: field 'origin' must be a string"},
        {"origin_empty", document(reading("40", "\"\"")), "readings[0]: field 'origin' must not be empty"},
        {"origin_case", document(reading("40", "\"Source_Text\"")), "Unknown VLM reading origin 'Source_Text'"},
        // confidence.
        {"confidence_string", document(reading("40", "\"inferred\"", "\"0.5\"")),
         "readings[0]: confidence must be a number"},
        {"confidence_above_one", document(reading("40", "\"inferred\"", "1.0000001")),
         "readings[0]: confidence must be finite and in [0, 1]"},
        {"confidence_negative", document(reading("40", "\"inferred\"", "-0.1")),
         "readings[0]: confidence must be finite and in [0, 1]"},
        // value and the origin rule.
        {"value_string", document(reading("\"40\"")), "readings[0]: value must be a number or null"},
        {"value_overflow", document(reading("1e400")), "<library syntax error>"},
        {"unreadable_with_value", document(reading("0", "\"unreadable\"")),
         "readings[0]: unreadable readings must have a null value"},
        {"readable_without_value", document(reading("null", "\"source_text\"")),
         "readings[0]: readable readings must have a numeric value"},
        // source_bbox.
        {"box_three_numbers", document(reading("40", "\"inferred\"", "1", "[1, 2, 3]")),
         "readings[0].source_bbox: expected [x, y, width, height]"},
        {"box_object", document(reading("40", "\"inferred\"", "1", "{}")),
         "readings[0].source_bbox: expected [x, y, width, height]"},
        {"box_string_component", document(reading("40", "\"inferred\"", "1", "[1, \"2\", 3, 4]")),
         "readings[0].source_bbox: all components must be numbers"},
        {"box_negative_width", document(reading("40", "\"inferred\"", "1", "[0, 0, -1, 5]")),
         "readings[0].source_bbox: width and height must be non-negative"},
        {"box_negative_height", document(reading("40", "\"inferred\"", "1", "[0, 0, 1, -5]")),
         "readings[0].source_bbox: width and height must be non-negative"},
        // errors.
        {"errors_not_array", document(ok, R"("errors": "bad")"), "root: errors must be an array"},
        {"errors_empty_string", document(ok, R"("errors": ["ok", ""])"), "root: errors must contain non-empty strings"},
        {"errors_number", document(ok, R"("errors": [1])"), "root: errors must contain non-empty strings"},
        // The operator's provenance cannot come from a reader.
        {"operator_confirmed", document(reading("40", "\"operator_confirmed\"")),
         "root: Zozez-Udazur v2 cannot claim operator-confirmed provenance"},
        // First fault met wins: root keys before the graph rule, errors before provenance,
        // each reading's box after its origin rule.
        {"order_root_keys_first", document(ok, R"("errors": [], "zz": 0)", "{}"), "root: unknown field 'zz'"},
        {"order_errors_before_provenance", document(reading("40", "\"operator_confirmed\""), R"("errors": [""])"),
         "root: errors must contain non-empty strings"},
        {"order_origin_rule_before_box", document(reading("null", "\"inferred\"", "1", "[1]")),
         "readings[0]: readable readings must have a numeric value"},
        {"order_graph_rule_before_drawing_id", R"({"drawing_id":"","dimension_graph":{},"readings":[],"errors":[]})",
         "root: Zozez-Udazur v2 requires dimension_graph to be null; graph output is a format error"},
        {"order_drawing_id_before_readings", R"({"drawing_id":"","dimension_graph":null,"readings":{},"errors":5})",
         "root: field 'drawing_id' must not be empty"},
        {"order_reading_keys_before_constraint_id",
         document(R"({"constraint_id":"","value":1,"confidence":1,"origin":"inferred","source_bbox":[0,0,0,0],"x":0})"),
         "readings[0]: unknown field 'x'"},
        {"order_constraint_id_before_origin", document(reading("40", "\"bad\"", "0.9", "[1, 2, 3, 4]", "\"\"")),
         "readings[0]: field 'constraint_id' must not be empty"},
        {"order_origin_before_confidence", document(reading("40", "\"Inferred\"", "2")),
         "Unknown VLM reading origin 'Inferred'"},
        {"order_confidence_before_value", document(reading("\"40\"", "\"inferred\"", "2")),
         "readings[0]: confidence must be finite and in [0, 1]"},
        {"order_value_before_origin_rule", document(reading("\"40\"", "\"unreadable\"")),
         "readings[0]: value must be a number or null"},
        {"order_duplicate_before_later_reading", document(ok + ", " + ok + ", 3"),
         "root: duplicate reading constraint_id 'd1'"},
        {"order_readings_before_errors", document(reading("40", "\"bad\""), R"("errors": 5)"),
         "Unknown VLM reading origin 'bad'"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = parse_error(c.text);
        if (c.message == "<library syntax error>") {
            EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
            EXPECT_NE(message.find("[json.exception."), std::string::npos) << message;
        } else {
            EXPECT_EQ(message, kPrefix + c.message);
        }
    }
}

// Numbers parsed from text are always finite; values built in memory need not be.
TEST(ReaderResponseParse, StructuralParserRefusesNonFiniteNumbers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const SortedJson base = SortedJson::parse(document(reading()));
    struct Case {
        const char* name;
        const char* key;
        SortedJson value;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"confidence_nan", "confidence", nan, "readings[0]: confidence must be finite and in [0, 1]"},
        {"value_inf", "value", inf, "readings[0]: value must be finite"},
        {"box_nan", "source_bbox", SortedJson::array({0.0, nan, 1.0, 1.0}),
         "readings[0].source_bbox: all components must be finite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SortedJson json = base;
        json["readings"][0][c.key] = c.value;
        try {
            vesk::parse_reader_response(json);
            ADD_FAILURE() << "parsed";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

TEST(ReaderResponseParse, StructuralParserAllowsWhatOnlyTheV2RulesRefuse) {
    const SortedJson json = SortedJson::parse(document(reading("3", "\"operator_confirmed\"")));
    EXPECT_EQ(vesk::parse_reader_response(json).readings.at(0).origin, ReadingOrigin::operator_confirmed);

    const SortedJson with_graph = SortedJson::parse(document(
        reading(), R"("errors": [])",
        R"({"units":"mm","part_class":"prismatic","views":[{"id":"f","type":"front"}],"entities":[],"constraints":[]})"));
    const ReaderResponse response = vesk::parse_reader_response(with_graph);
    ASSERT_TRUE(response.dimension_graph.has_value());
    EXPECT_EQ(response.dimension_graph->views.at(0).id, "f");

    SortedJson bad_graph = with_graph;
    bad_graph["dimension_graph"]["units"] = "in";
    try {
        vesk::parse_reader_response(bad_graph);
        ADD_FAILURE() << "parsed";
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()).rfind("DimensionGraph 'root.dimension_graph' is invalid: ", 0), 0u)
            << error.what();
    }
}

TEST(ReadingOriginText, RoundTripsAndRefusesUnknownValues) {
    for (std::uint32_t value = 0; value < 4; ++value) {
        const auto origin = static_cast<ReadingOrigin>(value);
        EXPECT_EQ(vesk::parse_reading_origin(vesk::to_string(origin)), origin);
    }
    EXPECT_EQ(vesk::to_string(ReadingOrigin::operator_confirmed), "operator_confirmed");
    try {
        vesk::to_string(static_cast<ReadingOrigin>(4));
        ADD_FAILURE() << "no error";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Unknown ReadingOrigin value");
    }
}

}  // namespace
