#include "intake/reader_response.hpp"
#include "intake/reader_response_internal.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

using vesk::DimensionReading;
using vesk::parse_agent_reader_v2_response;
using vesk::ReaderResponse;
using vesk::ReadingOrigin;
using vesk::SortedJson;
using vesk::SourceBox;

namespace {

const std::string kPrefix = "Zozez-Udazur v2 response 'fixtures/r.json' is invalid: ";
const std::string kSyntaxError = "<library syntax error>";

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

// A root with the given members in place of the usual four.
std::string root(const std::string& drawing_id, const std::string& graph, const std::string& readings,
                 const std::string& errors) {
    return R"({"drawing_id":)" + drawing_id + R"(,"dimension_graph":)" + graph + R"(,"readings":)" + readings +
           R"(,"errors":)" + errors + "}";
}

std::string box_document(const std::string& box) { return document(reading("40", "\"inferred\"", "1", box)); }

TEST(ReaderResponseParse, AcceptsEveryReaderOriginAndConvertsIntegers) {
    const std::string text = document(reading("40", "\"source_text\"", "1") + ", " +
                                          reading("12.5", "\"inferred\"", "0", "[0.5, 1.5, 0, 0]", "\"d2\"") +
                                          ", " + reading("null", "\"unreadable\"", "0.25", "[7, 8, 9, 10]", "\"d3\""),
                                      R"("errors": ["faint text", "second"])");
    const ReaderResponse response = parse_agent_reader_v2_response(text, "r.json");
    EXPECT_EQ(response.drawing_id, "part-1");
    EXPECT_FALSE(response.dimension_graph.has_value());
    EXPECT_EQ(response.errors, (std::vector<std::string>{"faint text", "second"}));
    const std::vector<std::tuple<std::string, std::optional<double>, double, ReadingOrigin, SourceBox>> expected = {
        {"d1", 40.0, 1.0, ReadingOrigin::source_text, {1, 2, 3, 4}},
        {"d2", 12.5, 0.0, ReadingOrigin::inferred, {0.5, 1.5, 0, 0}},
        {"d3", std::nullopt, 0.25, ReadingOrigin::unreadable, {7, 8, 9, 10}},
    };
    ASSERT_EQ(response.readings.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const DimensionReading& r = response.readings[i];
        EXPECT_TRUE(std::tie(r.constraint_id, r.value, r.confidence, r.origin, r.source_bbox) == expected[i]) << i;
    }
    EXPECT_TRUE(parse_agent_reader_v2_response(document(""), "e").readings.empty());
}

TEST(ReaderResponseParse, RefusesEveryRuleWithItsMessage) {
    const std::string ok = reading();
    const std::vector<std::pair<std::string, std::string>> cases = {  // text, message after the prefix
        // Text and root object.
        {"{\"drawing_id\": ", kSyntaxError},
        {"/* c */ " + document(ok), kSyntaxError},
        {R"({"drawing_id":"a","drawing_id":"b","dimension_graph":null,"readings":[],"errors":[]})",
         "duplicate field 'drawing_id'"},
        {document(ok, R"("errors": )" + std::string(70, '[') + std::string(70, ']')), "JSON nesting exceeds 64 levels"},
        {"[]", "root: expected an object"},
        {R"({"drawing_id":"a","dimension_graph":null,"readings":[]})", "root: missing required field 'errors'"},
        {document(ok, R"("errors": [], "extra": 1)"), "root: unknown field 'extra'"},
        {document(ok, R"("errors": [])", "{}"),
         "root: Zozez-Udazur v2 requires dimension_graph to be null; graph output is a format error"},
        // drawing_id, readings and each reading's keys.
        {root("7", "null", "[]", "[]"), "root: field 'drawing_id' must be a string"},
        {root(R"("")", "null", "[]", "[]"), "root: field 'drawing_id' must not be empty"},
        {root(R"("a")", "null", "{}", "[]"), "root: readings must be an array"},
        {document("3"), "readings[0]: expected an object"},
        {document(R"({"constraint_id":"d1","value":1,"confidence":1,"origin":"inferred"})"),
         "readings[0]: missing required field 'source_bbox'"},
        {document(ok + R"(, {"constraint_id":"d2","value":1,"confidence":1,"origin":"inferred",
             "source_bbox":[0,0,0,0],"note":"x"})"),
         "readings[1]: unknown field 'note'"},
        {document(ok + ", " + ok), "root: duplicate reading constraint_id 'd1'"},
        {document(reading("40", "\"source_text\"", "0.9", "[1, 2, 3, 4]", "5")),
         "readings[0]: field 'constraint_id' must be a string"},
        {document(reading("40", "\"source_text\"", "0.9", "[1, 2, 3, 4]", "\"\"")),
         "readings[0]: field 'constraint_id' must not be empty"},
        // origin, confidence, value and the origin rule.
        {document(reading("40", "0")), "readings[0]: field 'origin' must be a string"},
        {document(reading("40", "\"\"")), "readings[0]: field 'origin' must not be empty"},
        {document(reading("40", "\"Source_Text\"")), "Unknown VLM reading origin 'Source_Text'"},
        {document(reading("40", "\"inferred\"", "\"0.5\"")), "readings[0]: confidence must be a number"},
        {document(reading("40", "\"inferred\"", "1.0000001")), "readings[0]: confidence must be finite and in [0, 1]"},
        {document(reading("40", "\"inferred\"", "-0.1")), "readings[0]: confidence must be finite and in [0, 1]"},
        {document(reading("\"40\"")), "readings[0]: value must be a number or null"},
        {document(reading("1e400")), kSyntaxError},
        {document(reading("0", "\"unreadable\"")), "readings[0]: unreadable readings must have a null value"},
        {document(reading("null", "\"source_text\"")), "readings[0]: readable readings must have a numeric value"},
        // source_bbox.
        {box_document("[1, 2, 3]"), "readings[0].source_bbox: expected [x, y, width, height]"},
        {box_document("[1, \"2\", 3, 4]"), "readings[0].source_bbox: all components must be numbers"},
        {box_document("[0, 0, -1, 5]"), "readings[0].source_bbox: width and height must be non-negative"},
        {box_document("[0, 0, 1, -5]"), "readings[0].source_bbox: width and height must be non-negative"},
        // errors, and the operator's provenance, which cannot come from a reader.
        {document(ok, R"("errors": "bad")"), "root: errors must be an array"},
        {document(ok, R"("errors": ["ok", ""])"), "root: errors must contain non-empty strings"},
        {document(ok, R"("errors": [1])"), "root: errors must contain non-empty strings"},
        {document(reading("40", "\"operator_confirmed\"")),
         "root: Zozez-Udazur v2 cannot claim operator-confirmed provenance"},
        // The first fault met wins, in the order of the checks.
        {document(ok, R"("errors": [], "zz": 0)", "{}"), "root: unknown field 'zz'"},
        {root(R"("")", "{}", "[]", "[]"),
         "root: Zozez-Udazur v2 requires dimension_graph to be null; graph output is a format error"},
        {root(R"("")", "null", "{}", "5"), "root: field 'drawing_id' must not be empty"},
        {document(R"({"constraint_id":"","value":1,"confidence":1,"origin":"inferred","source_bbox":[0,0,0,0],"x":0})"),
         "readings[0]: unknown field 'x'"},
        {document(reading("40", "\"bad\"", "0.9", "[1, 2, 3, 4]", "\"\"")),
         "readings[0]: field 'constraint_id' must not be empty"},
        {document(reading("40", "\"Inferred\"", "2")), "Unknown VLM reading origin 'Inferred'"},
        {document(reading("\"40\"", "\"inferred\"", "2")), "readings[0]: confidence must be finite and in [0, 1]"},
        {document(reading("\"40\"", "\"unreadable\"")), "readings[0]: value must be a number or null"},
        {document(reading("null", "\"inferred\"", "1", "[1]")),
         "readings[0]: readable readings must have a numeric value"},
        {document(ok + ", " + ok + ", 3"), "root: duplicate reading constraint_id 'd1'"},
        {document(reading("40", "\"bad\""), R"("errors": 5)"), "Unknown VLM reading origin 'bad'"},
        {document(reading("40", "\"operator_confirmed\""), R"("errors": [""])"),
         "root: errors must contain non-empty strings"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        std::string message = "<parsed>";
        try {
            parse_agent_reader_v2_response(text, "fixtures/r.json");
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        if (expected == kSyntaxError) {
            EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
            EXPECT_NE(message.find("[json.exception."), std::string::npos) << message;
        } else {
            EXPECT_EQ(message, kPrefix + expected);
        }
    }
}

// Numbers parsed from text are always finite; values built in memory need not be.
TEST(ReaderResponseParse, StructuralParserRefusesNonFiniteNumbers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const SortedJson base = SortedJson::parse(document(reading()));
    const std::vector<std::tuple<const char*, SortedJson, std::string>> cases = {
        {"confidence", nan, "readings[0]: confidence must be finite and in [0, 1]"},
        {"value", std::numeric_limits<double>::infinity(), "readings[0]: value must be finite"},
        {"source_bbox", SortedJson::array({0.0, nan, 1.0, 1.0}), "readings[0].source_bbox: all components must be finite"},
    };
    for (const auto& [key, value, message] : cases) {
        SortedJson json = base;
        json["readings"][0][key] = value;
        try {
            vesk::parse_reader_response(json);
            ADD_FAILURE() << key << " parsed";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
}

TEST(ReaderResponseParse, StructuralParserAllowsWhatOnlyTheV2RulesRefuse) {
    const SortedJson json = SortedJson::parse(document(reading("3", "\"operator_confirmed\"")));
    EXPECT_EQ(vesk::parse_reader_response(json).readings.at(0).origin, ReadingOrigin::operator_confirmed);

    SortedJson with_graph = SortedJson::parse(document(
        reading(), R"("errors": [])",
        R"({"units":"mm","part_class":"prismatic","views":[{"id":"f","type":"front"}],"entities":[],"constraints":[]})"));
    EXPECT_EQ(vesk::parse_reader_response(with_graph).dimension_graph.value().views.at(0).id, "f");
    with_graph["dimension_graph"]["units"] = "in";
    try {
        vesk::parse_reader_response(with_graph);
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
