#include "intake/reader_provider.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "intake/provider_inputs.hpp"
#include "model/document_files.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::make_reader_provider;
using vesk::ReaderProviderKind;
using vesk::ReaderRequest;

namespace {

const fs::path kData = fs::path(VESK_SOURCE_DIR) / "tests" / "intake" / "data" / "reader";

// Writes a file, creating its directories.
void put(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    vesk::test::write_file(path, text);
}

std::string response_text(const std::string& drawing_id) {
    return R"({"drawing_id": ")" + drawing_id +
           R"(", "dimension_graph": null, "readings": [{"constraint_id": "d", "value": 5, "confidence": 1,
               "origin": "source_text", "source_bbox": [0, 0, 1, 1]}], "errors": []})";
}

std::string manifest_of(const std::string& cases) {
    return R"({"schema_version": "vesk-reader-mock-manifest-v1", "cases": )" + cases + "}";
}

using vesk::test::Thrown;
using vesk::test::thrown;

ReaderRequest request(const std::string& id) { return ReaderRequest{id, "in.png", "."}; }

TEST(ReaderProviderKindParse, ExactLowerCaseNamesOnly) {
    EXPECT_EQ(vesk::parse_reader_provider_kind("disabled"), ReaderProviderKind::disabled);
    EXPECT_EQ(vesk::parse_reader_provider_kind("mock"), ReaderProviderKind::mock);
    EXPECT_EQ(vesk::parse_reader_provider_kind("file"), ReaderProviderKind::file);
    EXPECT_EQ(vesk::parse_reader_provider_kind("embedded"), ReaderProviderKind::embedded);
    for (const std::string text : {"MOCK", "File", "", "embedded ", "embedded-local-pilot"}) {
        const Thrown error = thrown([&] { vesk::parse_reader_provider_kind(text); });
        EXPECT_EQ(error.type, "invalid_argument");
        EXPECT_EQ(error.message, "Unknown reader provider kind '" + text + "'");
    }
}

TEST(ReaderProviderFactory, SettingsChecksPerKind) {
    EXPECT_EQ(make_reader_provider({ReaderProviderKind::disabled, "x", "y"}), nullptr);
    const std::string mock = "Mock reader provider requires manifest source and source_root";
    const std::string embedded = "Embedded reader provider requires manifest source and source_root";
    const std::vector<std::pair<vesk::ReaderProviderSettings, Thrown>> cases = {
        {{ReaderProviderKind::mock, "m.json", ""}, {"invalid_argument", mock}},
        {{ReaderProviderKind::mock, "", "root"}, {"invalid_argument", mock}},
        {{ReaderProviderKind::file, "", "ignored"}, {"invalid_argument", "File reader provider requires a response directory"}},
        {{ReaderProviderKind::embedded, "p.json", ""}, {"invalid_argument", embedded}},
        {{ReaderProviderKind::embedded, "p.json", "missing-install"},
         {"invalid_argument", "Embedded reader provider source_root must be an existing directory"}},
        {{static_cast<ReaderProviderKind>(9), "a", "b"}, {"logic_error", "Unknown reader provider kind"}},
    };
    for (const auto& [settings, expected] : cases) {
        const Thrown error = thrown([&] { make_reader_provider(settings); });
        EXPECT_EQ(error.type, expected.type) << expected.message;
        EXPECT_EQ(error.message, expected.message);
    }
}

TEST(MockReaderProvider, ServesManifestFixtures) {
    const auto provider = make_reader_provider({ReaderProviderKind::mock, kData / "mock_manifest.json", kData});
    ASSERT_NE(provider, nullptr);
    EXPECT_EQ(provider->name(), "mock");
    const vesk::ReaderResponse bracket = provider->read(request("bracket-01"));
    EXPECT_EQ(bracket.drawing_id, "bracket-01");
    ASSERT_EQ(bracket.readings.size(), 3u);
    EXPECT_EQ(bracket.readings[1].constraint_id, "height");
    EXPECT_EQ(*bracket.readings[1].value, 80.5);
    EXPECT_FALSE(bracket.readings[2].value.has_value());
    EXPECT_EQ(bracket.errors, std::vector<std::string>{"hole diameter smudged"});
    EXPECT_EQ(provider->read(request("flange_02")).readings.at(0).constraint_id, "outer");

    // Lookup is exact; an id the rule refuses is just an unknown fixture.
    for (const std::string id : {"bracket-02", "Bracket-01", "../bracket-01", ""}) {
        const Thrown error = thrown([&] { provider->read(request(id)); });
        EXPECT_EQ(error.type, "runtime_error");
        EXPECT_EQ(error.message, "Reader mock has no fixture for '" + id + "'");
    }
}

TEST(MockReaderProvider, AcceptsIdOf128CharactersAndReadsFixturesOnce) {
    vesk::test::TempDir dir;
    const std::string id = std::string(126, 'a') + "_-";
    put(dir.path() / "m.json", manifest_of(R"([{"drawing_id": ")" + id + R"(", "response": "sub/r.json"}])"));
    put(dir.path() / "sub" / "r.json", response_text(id));
    const auto provider = make_reader_provider({ReaderProviderKind::mock, dir.path() / "m.json", dir.path()});
    fs::remove(dir.path() / "sub" / "r.json");
    EXPECT_EQ(provider->read(request(id)).readings.at(0).value, 5.0);
}

TEST(MockReaderProvider, ManifestRefusals) {
    struct Case {
        std::string manifest;  // empty: no manifest file at all
        std::vector<std::pair<std::string, std::string>> fixtures;  // relative path, drawing id inside
        Thrown expected;  // a message ending in a blank is a prefix
    };
    const std::string long_id(129, 'a');
    const std::string shape_error = "Reader mock manifest must contain a non-empty cases array";
    const std::string schema_error = "Reader mock manifest: field 'schema_version' must be a string";
    const auto one_case = [](const std::string& id, const std::string& response) {
        return manifest_of(R"([{"drawing_id": ")" + id + R"(", "response": ")" + response + R"("}])");
    };
    const std::vector<Case> cases = {
        // Manifest file and shape.
        {"", {}, {"runtime_error", "Reader mock manifest is invalid JSON: Reader provider cannot open response: "}},
        {R"({"schema_version":"a","schema_version":"b"})", {},
         {"runtime_error", "Reader mock manifest is invalid JSON: duplicate field 'schema_version'"}},
        {R"({"cases": []})", {}, {"invalid_argument", schema_error}},
        {R"({"schema_version": 1, "cases": []})", {}, {"invalid_argument", schema_error}},
        {manifest_of("[]"), {}, {"invalid_argument", shape_error}},
        {manifest_of("{}"), {}, {"invalid_argument", shape_error}},
        {R"({"schema_version": "vesk-reader-mock-manifest-v1"})", {}, {"invalid_argument", shape_error}},
        {R"({"schema_version": "vesk-reader-mock-manifest-v2", "cases": [{"drawing_id": "p", "response": "p.json"}]})",
         {{"p.json", "p"}}, {"invalid_argument", shape_error}},
        // One case.
        {one_case("Part-1", "p.json"), {{"p.json", "Part-1"}},
         {"invalid_argument", "Reader mock cases[0]: drawing_id is unsafe"}},
        {one_case(long_id, "p.json"), {{"p.json", long_id}},
         {"invalid_argument", "Reader mock cases[0]: drawing_id is unsafe"}},
        {manifest_of(R"([{"drawing_id": "p", "response": "p.json"}, {"drawing_id": "a.b", "response": "p.json"}])"),
         {{"p.json", "p"}}, {"invalid_argument", "Reader mock cases[1]: drawing_id is unsafe"}},
        {manifest_of(R"([{"drawing_id": "p"}])"), {},
         {"invalid_argument", "Reader mock cases[0]: field 'response' must be a string"}},
        {one_case("p", "../x.json"), {},
         {"invalid_argument", "Reader mock cases[0].response must not escape its source root"}},
        {one_case("p", "/etc/x.json"), {},
         {"invalid_argument", "Reader mock cases[0].response must be a non-empty relative path"}},
        {one_case("p", "p.json\\u0000x"), {{"p.json", "p"}},
         {"invalid_argument", "Reader mock cases[0].response must not contain a NUL byte"}},
        {one_case("part-1", "p.json"), {{"p.json", "part-2"}},
         {"runtime_error", "Reader provider response identity does not match request 'part-1'"}},
        {one_case("p", "bad.json"), {{"bad.json", ""}},
         {"runtime_error",
          "Zozez-Udazur v2 response '<root>/bad.json' is invalid: root: field 'drawing_id' must not be empty"}},
        {manifest_of(R"([{"drawing_id": "part-1", "response": "p.json"}, {"drawing_id": "part-1", "response": "p.json"}])"),
         {{"p.json", "part-1"}}, {"invalid_argument", "Reader mock manifest contains duplicate drawing_id 'part-1'"}},
        {one_case("p", "sub/p.json"), {}, {"runtime_error", "Reader provider cannot open response: <root>/sub/p.json"}},
        // Each case is checked in turn: its id, then its path, then its fixture, and only
        // then is it entered, so a duplicate whose fixture is missing fails on the fixture.
        {one_case("P", "/abs.json"), {}, {"invalid_argument", "Reader mock cases[0]: drawing_id is unsafe"}},
        {manifest_of(R"([{"drawing_id": "p", "response": "p.json"}, {"drawing_id": "p", "response": "q.json"}])"),
         {{"p.json", "p"}}, {"runtime_error", "Reader provider cannot open response: <root>/q.json"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        vesk::test::TempDir dir;
        const fs::path manifest = dir.path() / "manifest.json";
        if (!c.manifest.empty()) put(manifest, c.manifest);
        for (const auto& [relative, id] : c.fixtures) put(dir.path() / relative, response_text(id));
        const Thrown error = thrown([&] { make_reader_provider({ReaderProviderKind::mock, manifest, dir.path()}); });
        EXPECT_EQ(error.type, c.expected.type);
        std::string expected = c.expected.message;
        if (const auto at = expected.find("<root>"); at != std::string::npos) {
            expected.replace(at, 6, dir.path().string());
        }
        if (expected.back() == ' ') {
            EXPECT_EQ(error.message.rfind(expected, 0), 0u) << error.message;
        } else {
            EXPECT_EQ(error.message, expected);
        }
    }
}

TEST(FileReaderProvider, ReadsResponseNamedByDrawingId) {
    vesk::test::TempDir dir;
    const fs::path responses = dir.path() / "responses";
    put(responses / "part-7.json", response_text("part-7"));
    put(responses / "other.json", response_text("part-8"));
    fs::create_directory(responses / "folder.json");
    const auto provider = make_reader_provider({ReaderProviderKind::file, responses, ""});
    EXPECT_EQ(provider->name(), "file");
    EXPECT_EQ(provider->read(request("part-7")).drawing_id, "part-7");
    EXPECT_EQ(thrown([&] { provider->read(request("other")); }).message,
              "Reader provider response identity does not match request 'other'");
    EXPECT_EQ(thrown([&] { provider->read(request("folder")); }).message,
              "Reader provider cannot read response: " + (responses / "folder.json").string());
    // Neither a FIFO nor an oversized response is waited on or read; a manifest neither.
    ASSERT_EQ(::mkfifo((responses / "fifo.json").c_str(), 0600), 0);
    put(responses / "huge.json", "");
    fs::resize_file(responses / "huge.json", vesk::kMaxInputDocumentBytes + 1);
    EXPECT_EQ(thrown([&] { provider->read(request("fifo")); }).message,
              "Reader provider cannot read response: " + (responses / "fifo.json").string());
    EXPECT_EQ(thrown([&] { provider->read(request("huge")); }).message,
              "Input document exceeds the 64 MiB limit: " + (responses / "huge.json").string());
    EXPECT_EQ(thrown([&] { make_reader_provider({ReaderProviderKind::mock, responses / "fifo.json", dir.path()}); })
                  .message,
              "Reader mock manifest is invalid JSON: Reader provider cannot read response: " +
                  (responses / "fifo.json").string());
    for (const fs::path& source : {dir.path() / "missing", responses / "part-7.json"}) {
        const Thrown error = thrown([&] { make_reader_provider({ReaderProviderKind::file, source, ""}); });
        EXPECT_EQ(error.type, "invalid_argument");
        EXPECT_EQ(error.message, "Reader file provider source must be an existing directory");
    }

    // With the directory gone, any disk access reports a missing file: unsafe ids are
    // refused before that.
    fs::remove_all(responses);
    const Thrown missing = thrown([&] { provider->read(request("part-7")); });
    EXPECT_EQ(missing.type, "runtime_error");
    EXPECT_EQ(missing.message, "Reader provider cannot open response: " + (responses / "part-7.json").string());
    for (const std::string id : {"a.b", "", "Part", "a/b"}) {
        const Thrown error = thrown([&] { provider->read(request(id)); });
        EXPECT_EQ(error.type, "invalid_argument") << id;
        EXPECT_EQ(error.message, "Reader request drawing_id is unsafe") << id;
    }
}

TEST(ReaderPathHelpers, SafeRelativePath) {
    const std::vector<std::pair<std::string, std::string>> cases = {  // text, normal path or message
        {"a/b.json", "a/b.json"},
        {"./a//b/../c.json", "a/c.json"},
        {"", "L must be a non-empty relative path"},
        {"/abs.json", "L must be a non-empty relative path"},
        {"..", "L must not escape its source root"},
        {"a/../../b", "L must not escape its source root"},
        {std::string("a\0b", 3), "L must not contain a NUL byte"},
    };
    for (const auto& [text, expected] : cases) {
        const Thrown error = thrown([&] { EXPECT_EQ(vesk::safe_relative_path(text, "L").string(), expected); });
        if (error.type != "none") {
            EXPECT_EQ(error.message, expected) << text;
        }
    }
}

TEST(ReaderPathHelpers, ResolveUnderRootComparesElementsExactly) {
    vesk::test::TempDir dir;
    const fs::path base = fs::canonical(dir.path());
    const fs::path root = base / "reader";
    put(root / "bridge.py", "pass\n");
    put(base / "Reader" / "bridge.py", "case twin\n");
    put(base / "readerx" / "bridge.py", "prefix twin\n");
    fs::create_directory_symlink("../Reader", root / "twin");
    fs::create_directory_symlink("../readerx", root / "prefix");
    fs::create_directory_symlink("reader", base / "alias");

    EXPECT_EQ(vesk::resolve_under_root(root, "bridge.py", "L"), root / "bridge.py");
    EXPECT_EQ(vesk::resolve_under_root(root, "not/yet/there.py", "L"), root / "not/yet/there.py");
    // A root reached through a link still contains its own files.
    EXPECT_EQ(vesk::resolve_under_root(base / "alias", "bridge.py", "L"), root / "bridge.py");
    for (const std::string text : {"twin/bridge.py", "prefix/bridge.py"}) {
        const Thrown error = thrown([&] { vesk::resolve_under_root(root, text, "Reader bridge_script"); });
        EXPECT_EQ(error.type, "invalid_argument") << text;
        EXPECT_EQ(error.message, "Reader bridge_script escapes its source root") << text;
    }
    EXPECT_EQ(thrown([&] { vesk::resolve_under_root(root, "../Reader/bridge.py", "L"); }).message,
              "L must not escape its source root");
}

TEST(ReaderJsonHelpers, FieldChecksAndFileErrors) {
    const auto object = vesk::SortedJson::parse(R"({"b": "x", "empty": "", "n": 1, "zeta": 0, "alpha": 0})");
    const auto message = [](auto&& fn) { return thrown(fn).message; };
    EXPECT_EQ(vesk::require_string_field(object, "M", "b"), "x");
    EXPECT_EQ(message([&] { vesk::require_string_field(object, "M", "n"); }), "M: field 'n' must be a string");
    EXPECT_EQ(message([&] { vesk::require_string_field(object, "M", "nope"); }), "M: field 'nope' must be a string");
    EXPECT_EQ(message([&] { vesk::require_string_field(vesk::SortedJson::array(), "M", "b"); }),
              "M: field 'b' must be a string");
    EXPECT_EQ(message([&] { vesk::require_string_field(object, "M", "empty"); }), "M: field 'empty' must not be empty");
    EXPECT_EQ(vesk::to_lower("Part.JSON \xc3\x89"), "part.json \xc3\x89");  // ASCII letters only
    EXPECT_EQ(message([&] { vesk::reject_unknown_fields(object, {"b", "empty", "n"}, "M"); }),
              "M contains unknown field 'alpha'");
    EXPECT_EQ(message([&] { vesk::reject_unknown_fields(vesk::SortedJson(3), {}, "M"); }), "M must be an object");
    EXPECT_EQ(thrown([&] { vesk::reject_unknown_fields(object, {"alpha", "b", "empty", "n", "zeta"}, "M"); }).type,
              "none");

    vesk::test::TempDir dir;
    EXPECT_EQ(message([&] { vesk::read_json_file(dir.path(), "M"); }),
              "M is invalid JSON: Reader provider cannot read response: " + dir.path().string());
    put(dir.path() / "deep.json", std::string(65, '[') + std::string(65, ']'));
    EXPECT_EQ(message([&] { vesk::read_json_file(dir.path() / "deep.json", "M"); }),
              "M is invalid JSON: JSON nesting exceeds 64 levels");
}

TEST(ReaderTextHelpers, DrawingIdRule) {
    for (const std::string& id : std::vector<std::string>{"a", "0_z-9", std::string(128, 'x')}) {
        EXPECT_TRUE(vesk::is_safe_drawing_id(id)) << id;
    }
    for (const std::string& id : std::vector<std::string>{"", "A", "a.b", "a b", "a\\b", std::string("a\0b", 3),
                                                          "\xff", std::string(129, 'x')}) {
        EXPECT_FALSE(vesk::is_safe_drawing_id(id)) << id;
    }
}

}  // namespace
