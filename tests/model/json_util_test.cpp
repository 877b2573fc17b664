#include "model/json_util.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace vesk {
namespace {

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Alternating objects and arrays: {"k":[{"k":[ ... ]}]}.
std::string nested_mixed(int depth) {
    std::string open;
    std::string close;
    for (int level = 0; level < depth; ++level) {
        if (level % 2 == 0) {
            open += "{\"k\":";
            close = "}" + close;
        } else {
            open += "[";
            close = "]" + close;
        }
    }
    return open + "1" + close;
}

std::string message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(StrictJson, NestingLimitIsSixtyFourLevels) {
    for (const auto& make : {nested_arrays, nested_mixed}) {
        EXPECT_NO_THROW(parse_strict_json(make(kMaxJsonDepth)));
        EXPECT_NO_THROW(parse_strict_ordered_json(make(kMaxJsonDepth)));
        EXPECT_THROW(parse_strict_json(make(kMaxJsonDepth + 1)), std::invalid_argument);
        EXPECT_THROW(parse_strict_ordered_json(make(kMaxJsonDepth + 1)), std::invalid_argument);
    }
    EXPECT_EQ(message_of([] { parse_strict_json(nested_arrays(65)); }), "JSON nesting exceeds 64 levels");
    // Far deeper text is refused just as cleanly, without exhausting the stack.
    EXPECT_THROW(parse_strict_json(nested_arrays(200000)), std::invalid_argument);
    // Siblings do not add up: depth is nesting, not container count.
    std::string wide = "[";
    for (int i = 0; i < 200; ++i) wide += (i ? "," : "") + nested_arrays(60);
    EXPECT_NO_THROW(parse_strict_json(wide + "]"));
}

TEST(StrictJson, DuplicateKeysAreRefusedPerObject) {
    struct Case {
        const char* text;
        const char* message;  // empty: accepted
    };
    const Case cases[] = {
        {R"({"a":1,"a":2})", "duplicate field 'a'"},
        {R"({"a":1,"b":{"c":1,"c":1}})", "duplicate field 'c'"},
        {R"([{"x":1},{"x":2,"y":[{"z":0,"z":0}]}])", "duplicate field 'z'"},
        {R"({"\u0061":1,"a":2})", "duplicate field 'a'"},  // escapes name the same key
        {R"({"a":1,"b":{"a":1},"c":[{"a":1}]})", ""},      // same key at other levels
        {R"([{"a":1},{"a":1}])", ""},                     // same key in sibling objects
        {R"({"a":1,"A":2,"a ":3})", ""},                  // keys compare as exact bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (*c.message == '\0') {
            EXPECT_NO_THROW(parse_strict_json(c.text));
            EXPECT_NO_THROW(parse_strict_ordered_json(c.text));
        } else {
            EXPECT_EQ(message_of([&] { parse_strict_json(c.text); }), c.message);
            EXPECT_EQ(message_of([&] { parse_strict_ordered_json(c.text); }), c.message);
        }
    }
}

TEST(StrictJson, RefusesWhatIsNotExactlyOneValue) {
    for (const char* text : {"", " ", "{} {}", "{}x", "// c\n{}", "{/* c */}", "{\"a\":1,}", "[1,]", "nul",
                             "{\"a\":NaN}", "{\"a\":Infinity}", "\"\xff\""}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(parse_strict_json(text), nlohmann::json::parse_error);
    }
    EXPECT_EQ(parse_strict_json(" {\"b\":1,\"a\":[true,null]}\n").dump(), R"({"a":[true,null],"b":1})");
    EXPECT_EQ(parse_strict_ordered_json(R"({"b":1,"a":2})").dump(), R"({"b":1,"a":2})");
}

TEST(JsonPathErrors, ThrowPathErrorJoinsPathAndMessage) {
    EXPECT_EQ(message_of([] { throw_path_error("views[3].center", "coordinates must be finite"); }),
              "views[3].center: coordinates must be finite");
    EXPECT_THROW(throw_path_error("root", "x"), std::invalid_argument);
}

TEST(JsonPathErrors, CheckObjectFieldsReportsTheFirstFailure) {
    const std::vector<std::string> required = {"id", "type"};
    const std::vector<std::string> allowed = {"id", "type", "note"};
    struct Case {
        const char* text;
        const char* message;  // empty: accepted
    };
    const Case cases[] = {
        {R"([])", "p: expected an object"},
        {R"("id")", "p: expected an object"},
        {R"({})", "p: missing required field 'id'"},
        {R"({"type":1,"zeta":0})", "p: missing required field 'id'"},  // required before unknown
        {R"({"id":1,"zeta":0})", "p: missing required field 'type'"},
        {R"({"id":1,"type":2,"zeta":0,"alpha":0})", "p: unknown field 'alpha'"},
        {R"({"id":1,"type":2,"zeta":0,"Zeta":0})", "p: unknown field 'Zeta'"},  // bytes: 'Z' < 'z'
        {R"({"id":1,"type":2,"\u00e9":0,"zz":0})", "p: unknown field 'zz'"},    // 'z' < 0xC3
        {R"({"id":1,"type":2,"Id":0})", "p: unknown field 'Id'"},
        {R"({"id":null,"type":2,"note":0})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const nlohmann::json json = parse_strict_json(c.text);
        if (*c.message == '\0') {
            EXPECT_NO_THROW(check_object_fields(json, required, allowed, "p"));
        } else {
            EXPECT_EQ(message_of([&] { check_object_fields(json, required, allowed, "p"); }), c.message);
        }
    }
}

TEST(JsonDocuments, IndentTwoUnescapedUtf8AndOneFinalNewline) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["z"] = "Ø \"q\"";
    json["a"] = nlohmann::ordered_json::array({1.0, 0.1, -0.0});
    json["e"] = nlohmann::ordered_json::object();
    EXPECT_EQ(dump_json_document(json),
              "{\n  \"z\": \"Ø \\\"q\\\"\",\n  \"a\": [\n    1.0,\n    0.1,\n    -0.0\n  ],\n  \"e\": {}\n}\n");
    nlohmann::json sorted = nlohmann::json::object();
    sorted["b"] = 1;
    sorted["a"] = true;
    EXPECT_EQ(dump_json_document(sorted), "{\n  \"a\": true,\n  \"b\": 1\n}\n");
    // Text that is not UTF-8 is refused instead of being written as broken JSON.
    nlohmann::ordered_json broken = nlohmann::ordered_json::object();
    broken["k"] = std::string("\xff");
    EXPECT_THROW(dump_json_document(broken), nlohmann::json::type_error);
}

}  // namespace
}  // namespace vesk
