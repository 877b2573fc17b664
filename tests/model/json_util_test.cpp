#include "model/json_util.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "support/expect_error.hpp"
#include "support/sanitizers.hpp"

namespace vesk {
namespace {

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Alternating objects and arrays: {"k":[{"k":[ ... ]}]}.
std::string nested_mixed(int depth) {
    std::string open;
    std::string close;
    for (int level = 0; level < depth; ++level) {
        open += level % 2 == 0 ? "{\"k\":" : "[";
        close.insert(0, level % 2 == 0 ? "}" : "]");
    }
    return open + "1" + close;
}

// The guards' invalid_argument message, "<syntax>" for the JSON library's parse error, "" when accepted.
std::string message_of(const std::function<void()>& action) {
    const std::string message = test::error_message<std::invalid_argument>(action);
    if (message.starts_with("<other: [json.exception.parse_error.")) return "<syntax>";
    return message == test::kNoError ? "" : message;
}

TEST(StrictJson, NestingDuplicateKeysAndSyntax) {
    const std::string too_deep = "JSON nesting exceeds 64 levels";
    std::string wide = "[";  // siblings do not add up: depth is nesting, not container count
    for (int i = 0; i < 200; ++i) wide += (i ? "," : "") + nested_arrays(60);
    const std::pair<std::string, std::string> cases[] = {
        {nested_arrays(kMaxJsonDepth), ""},
        {nested_mixed(kMaxJsonDepth), ""},
        {nested_arrays(kMaxJsonDepth + 1), too_deep},
        {nested_mixed(kMaxJsonDepth + 1), too_deep},
        {nested_arrays(200000), too_deep},  // refused without exhausting the stack
        {wide + "]", ""},
        {R"({"a":1,"a":2})", "duplicate field 'a'"},
        {R"({"a":1,"b":{"c":1,"c":1}})", "duplicate field 'c'"},
        {R"([{"x":1},{"x":2,"y":[{"z":0,"z":0}]}])", "duplicate field 'z'"},
        {R"({"\u0061":1,"a":2})", "duplicate field 'a'"},  // escapes name the same key
        {R"({"a":1,"b":{"a":1},"c":[{"a":1}]})", ""},      // same key at other levels
        {R"([{"a":1},{"a":1}])", ""},                     // same key in sibling objects
        {R"({"a":1,"A":2,"a ":3})", ""},                  // keys compare as exact bytes
        {R"({"a":1,"a":2,)", "duplicate field 'a'"},     // the first fault in the text is reported
        {R"({"a":1 x,"a":2})", "<syntax>"},
        {"[" + nested_arrays(kMaxJsonDepth) + ",", too_deep},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.substr(0, 80));
        EXPECT_EQ(message_of([&] { parse_strict_json(text); }), expected);
        EXPECT_EQ(message_of([&] { parse_strict_ordered_json(text); }), expected);
    }
    for (const char* text : {"", " ", "{} {}", "{}x", "// c\n{}", "{/* c */}", "{\"a\":1,}", "[1,]", "nul",
                             "{\"a\":NaN}", "{\"a\":Infinity}", "\"\xff\""}) {
        EXPECT_EQ(message_of([&] { parse_strict_json(text); }), "<syntax>") << text;
    }
    EXPECT_EQ(parse_strict_json(" {\"b\":1,\"a\":[true,null]}\n").dump(), R"({"a":[true,null],"b":1})");
    EXPECT_EQ(parse_strict_ordered_json(R"({"b":1,"a":2})").dump(), R"({"b":1,"a":2})");
}

// The checks are linear: 200,000 small objects in one array, which took the library's
// callback parser minutes (it rescanned the array after every object). The bound is on
// processor time of the second of two parses: on this machine the page faults of a fresh
// heap cost several times the parse. The full-size figure (a 32 MiB body of a million
// objects) is json_bench's.
TEST(StrictJson, ArrayOfObjectsParsesInLinearTime) {
    constexpr int kObjects = 200000;
    std::string text = "[";
    char object[64];
    for (int i = 0; i < kObjects; ++i) {
        std::snprintf(object, sizeof object, R"(%s{"n":%d,"s":"%07d-abcd"})", i == 0 ? "" : ",", i, i);
        text += object;
    }
    text += "]";
    double seconds = 0.0;
    for (int run = 0; run < 2; ++run) {
        const double start = test::process_cpu_seconds();
        const nlohmann::json json = parse_strict_json(text);
        seconds = test::process_cpu_seconds() - start;
        ASSERT_EQ(json.size(), static_cast<std::size_t>(kObjects));
        EXPECT_EQ(json[kObjects - 1]["s"], "0199999-abcd");
    }
    if (!test::kSanitized) EXPECT_LT(seconds, 2.0);
}

TEST(JsonPathErrors, CheckObjectFieldsReportsTheFirstFailure) {
    const std::pair<const char*, std::string> cases[] = {
        {R"([])", "p: expected an object"},
        {R"({})", "p: missing required field 'id'"},
        {R"({"type":1,"zeta":0})", "p: missing required field 'id'"},  // required before unknown
        {R"({"id":1,"zeta":0})", "p: missing required field 'type'"},
        {R"({"id":1,"type":2,"zeta":0,"alpha":0})", "p: unknown field 'alpha'"},
        {R"({"id":1,"type":2,"zeta":0,"Zeta":0})", "p: unknown field 'Zeta'"},  // bytes: 'Z' < 'z'
        {R"({"id":1,"type":2,"\u00e9":0,"zz":0})", "p: unknown field 'zz'"},    // 'z' < 0xC3
        {R"({"id":null,"type":2,"note":0})", ""},
    };
    for (const auto& [text, expected] : cases) {
        const nlohmann::json json = parse_strict_json(text);
        EXPECT_EQ(message_of([&] { check_object_fields(json, {"id", "type"}, {"id", "type", "note"}, "p"); }), expected)
            << text;
    }
}

TEST(JsonDocuments, IndentTwoUnescapedUtf8AndOneFinalNewline) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["z"] = "Ø \"q\"";
    json["a"] = nlohmann::ordered_json::array({1.0, 0.1, -0.0});
    json["e"] = nlohmann::ordered_json::object();
    EXPECT_EQ(dump_json_document(json),
              "{\n  \"z\": \"Ø \\\"q\\\"\",\n  \"a\": [\n    1.0,\n    0.1,\n    -0.0\n  ],\n  \"e\": {}\n}\n");
    EXPECT_EQ(dump_json_document(nlohmann::json{{"b", 1}, {"a", true}}), "{\n  \"a\": true,\n  \"b\": 1\n}\n");
    // Bytes that are not UTF-8 (a message quoting a path) are replaced: the document is
    // still written, and as valid JSON.
    EXPECT_EQ(dump_json_document(nlohmann::ordered_json{{"k", "a\xff\xc3("}}), "{\n  \"k\": \"a\ufffd\ufffd(\"\n}\n");
    EXPECT_EQ(dump_json_document(nlohmann::json{{"k", "\xff"}}), "{\n  \"k\": \"\ufffd\"\n}\n");
    EXPECT_EQ(dump_json_line(nlohmann::ordered_json{{"k", "\xfe"}, {"n", 1}}), "{\"k\":\"\ufffd\",\"n\":1}");
}

}  // namespace
}  // namespace vesk
