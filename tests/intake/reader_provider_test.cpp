#include "intake/reader_provider.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using vesk::make_reader_provider;
using vesk::ReaderProviderKind;
using vesk::ReaderProviderSettings;
using vesk::ReaderRequest;

namespace {

const fs::path kData = fs::path(VESK_SOURCE_DIR) / "tests" / "intake" / "data" / "reader";

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vesk-reader-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = fs::canonical(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

std::string response_text(const std::string& drawing_id) {
    return R"({"drawing_id": ")" + drawing_id +
           R"(", "dimension_graph": null, "readings": [{"constraint_id": "d", "value": 5, "confidence": 1,
               "origin": "source_text", "source_bbox": [0, 0, 1, 1]}], "errors": []})";
}

// The error's dynamic type name and message, so a table can check both.
struct Thrown {
    std::string type;
    std::string message;
};

template <typename Fn>
Thrown thrown(Fn&& fn) {
    try {
        fn();
    } catch (const std::invalid_argument& error) {
        return {"invalid_argument", error.what()};
    } catch (const std::logic_error& error) {
        return {"logic_error", error.what()};
    } catch (const std::runtime_error& error) {
        return {"runtime_error", error.what()};
    } catch (const std::exception& error) {
        return {typeid(error).name(), error.what()};
    }
    return {"none", ""};
}

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
    struct Case {
        const char* name;
        ReaderProviderSettings settings;
        Thrown expected;
    };
    const std::vector<Case> cases = {
        {"mock_without_root",
         {ReaderProviderKind::mock, "m.json", ""},
         {"invalid_argument", "Mock reader provider requires manifest source and source_root"}},
        {"mock_without_source",
         {ReaderProviderKind::mock, "", "root"},
         {"invalid_argument", "Mock reader provider requires manifest source and source_root"}},
        {"file_without_directory",
         {ReaderProviderKind::file, "", "ignored"},
         {"invalid_argument", "File reader provider requires a response directory"}},
        {"embedded_without_root",
         {ReaderProviderKind::embedded, "p.json", ""},
         {"invalid_argument", "Embedded reader provider requires manifest source and source_root"}},
        {"embedded_not_built",
         {ReaderProviderKind::embedded, "p.json", "install"},
         {"runtime_error", "Embedded reader provider is not available in this build"}},
        {"unknown_kind",
         {static_cast<ReaderProviderKind>(9), "a", "b"},
         {"logic_error", "Unknown reader provider kind"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Thrown error = thrown([&] { make_reader_provider(c.settings); });
        EXPECT_EQ(error.type, c.expected.type);
        EXPECT_EQ(error.message, c.expected.message);
    }
}

TEST(MockReaderProvider, ServesManifestFixtures) {
    const auto provider =
        make_reader_provider({ReaderProviderKind::mock, kData / "mock_manifest.json", kData});
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

TEST(MockReaderProvider, FixturesAreReadOnceAtConstruction) {
    TempDir dir;
    write_file(dir.path() / "m.json",
               R"({"schema_version":"vesk-reader-mock-manifest-v1","cases":[{"drawing_id":"p","response":"r.json"}]})");
    write_file(dir.path() / "r.json", response_text("p"));
    const auto provider = make_reader_provider({ReaderProviderKind::mock, dir.path() / "m.json", dir.path()});
    fs::remove(dir.path() / "r.json");
    EXPECT_EQ(provider->read(request("p")).readings.at(0).value, 5.0);
}

struct ManifestCase {
    const char* name;
    std::string manifest;  // empty: no manifest file at all
    std::vector<std::pair<std::string, std::string>> fixtures;  // relative path, drawing id inside
    Thrown expected;
};

std::string manifest_of(const std::string& cases) {
    return R"({"schema_version": "vesk-reader-mock-manifest-v1", "cases": )" + cases + "}";
}

TEST(MockReaderProvider, ManifestRefusals) {
    const std::string long_id(129, 'a');
    const std::string shape_error = "Reader mock manifest must contain a non-empty cases array";
    const std::vector<ManifestCase> cases = {
        // Manifest file and shape.
        {"missing_manifest", "", {}, {"runtime_error", "Reader mock manifest is invalid JSON: Reader provider cannot open response: "}},
        {"bad_json", "{\"schema_version\": ", {}, {"runtime_error", "Reader mock manifest is invalid JSON: "}},
        {"duplicate_key", R"({"schema_version":"a","schema_version":"b"})", {},
         {"runtime_error", "Reader mock manifest is invalid JSON: duplicate field 'schema_version'"}},
        {"schema_missing", R"({"cases": []})", {},
         {"invalid_argument", "Reader mock manifest: field 'schema_version' must be a string"}},
        {"schema_number", R"({"schema_version": 1, "cases": []})", {},
         {"invalid_argument", "Reader mock manifest: field 'schema_version' must be a string"}},
        {"schema_empty", R"({"schema_version": "", "cases": []})", {},
         {"invalid_argument", "Reader mock manifest: field 'schema_version' must not be empty"}},
        {"manifest_array", "[]", {}, {"invalid_argument", "Reader mock manifest: field 'schema_version' must be a string"}},
        {"empty_cases", manifest_of("[]"), {}, {"invalid_argument", shape_error}},
        {"cases_object", manifest_of("{}"), {}, {"invalid_argument", shape_error}},
        {"cases_missing", R"({"schema_version": "vesk-reader-mock-manifest-v1"})", {}, {"invalid_argument", shape_error}},
        {"wrong_schema", R"({"schema_version": "vesk-reader-mock-manifest-v2", "cases": [{"drawing_id": "p", "response": "p.json"}]})",
         {{"p.json", "p"}}, {"invalid_argument", shape_error}},
        // One case.
        {"case_not_object", manifest_of("[5]"), {},
         {"invalid_argument", "Reader mock cases[0]: field 'drawing_id' must be a string"}},
        {"upper_case_id", manifest_of(R"([{"drawing_id": "Part-1", "response": "p.json"}])"), {{"p.json", "Part-1"}},
         {"invalid_argument", "Reader mock cases[0]: drawing_id is unsafe"}},
        {"id_129_chars", manifest_of(R"([{"drawing_id": ")" + long_id + R"(", "response": "p.json"}])"),
         {{"p.json", long_id}}, {"invalid_argument", "Reader mock cases[0]: drawing_id is unsafe"}},
        {"second_case_dotted_id",
         manifest_of(R"([{"drawing_id": "p", "response": "p.json"}, {"drawing_id": "a.b", "response": "p.json"}])"),
         {{"p.json", "p"}}, {"invalid_argument", "Reader mock cases[1]: drawing_id is unsafe"}},
        {"response_missing", manifest_of(R"([{"drawing_id": "p"}])"), {},
         {"invalid_argument", "Reader mock cases[0]: field 'response' must be a string"}},
        {"response_escapes", manifest_of(R"([{"drawing_id": "p", "response": "../x.json"}])"), {},
         {"invalid_argument", "Reader mock cases[0].response must not escape its source root"}},
        {"response_escapes_after_normalising", manifest_of(R"([{"drawing_id": "p", "response": "a/../../x.json"}])"), {},
         {"invalid_argument", "Reader mock cases[0].response must not escape its source root"}},
        {"response_absolute", manifest_of(R"([{"drawing_id": "p", "response": "/etc/x.json"}])"), {},
         {"invalid_argument", "Reader mock cases[0].response must be a non-empty relative path"}},
        {"response_nul_byte", manifest_of(R"([{"drawing_id": "p", "response": "p.json\u0000x"}])"), {{"p.json", "p"}},
         {"invalid_argument", "Reader mock cases[0].response must not contain a NUL byte"}},
        {"fixture_identity", manifest_of(R"([{"drawing_id": "part-1", "response": "p.json"}])"), {{"p.json", "part-2"}},
         {"runtime_error", "Reader provider response identity does not match request 'part-1'"}},
        {"fixture_invalid", manifest_of(R"([{"drawing_id": "p", "response": "bad.json"}])"), {{"bad.json", ""}},
         {"runtime_error", "Zozez-Udazur v2 response '<root>/bad.json' is invalid: root: field 'drawing_id' must not be empty"}},
        {"duplicate_id",
         manifest_of(R"([{"drawing_id": "part-1", "response": "p.json"}, {"drawing_id": "part-1", "response": "p.json"}])"),
         {{"p.json", "part-1"}}, {"invalid_argument", "Reader mock manifest contains duplicate drawing_id 'part-1'"}},
        {"fixture_missing", manifest_of(R"([{"drawing_id": "p", "response": "sub/p.json"}])"), {},
         {"runtime_error", "Reader provider cannot open response: <root>/sub/p.json"}},
        // Each case is checked in turn: its id, then its path, then its fixture, and only
        // then is it entered, so a duplicate whose fixture is missing fails on the fixture.
        {"order_id_before_response", manifest_of(R"([{"drawing_id": "P", "response": "/abs.json"}])"), {},
         {"invalid_argument", "Reader mock cases[0]: drawing_id is unsafe"}},
        {"order_fixture_before_duplicate",
         manifest_of(R"([{"drawing_id": "p", "response": "p.json"}, {"drawing_id": "p", "response": "q.json"}])"),
         {{"p.json", "p"}}, {"runtime_error", "Reader provider cannot open response: <root>/q.json"}},
    };
    for (const ManifestCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path manifest = dir.path() / "manifest.json";
        if (!c.manifest.empty()) write_file(manifest, c.manifest);
        for (const auto& [relative, id] : c.fixtures) write_file(dir.path() / relative, response_text(id));
        const Thrown error = thrown([&] { make_reader_provider({ReaderProviderKind::mock, manifest, dir.path()}); });
        EXPECT_EQ(error.type, c.expected.type);
        std::string expected = c.expected.message;
        if (const auto at = expected.find("<root>"); at != std::string::npos) {
            expected.replace(at, 6, dir.path().string());
        }
        if (c.expected.message.back() == ' ') {
            EXPECT_EQ(error.message.rfind(expected, 0), 0u) << error.message;
        } else {
            EXPECT_EQ(error.message, expected);
        }
    }
}

TEST(MockReaderProvider, AcceptsIdOf128Characters) {
    TempDir dir;
    const std::string id = std::string(126, 'a') + "_-";
    write_file(dir.path() / "m.json", manifest_of(R"([{"drawing_id": ")" + id + R"(", "response": "sub/r.json"}])"));
    write_file(dir.path() / "sub" / "r.json", response_text(id));
    const auto provider = make_reader_provider({ReaderProviderKind::mock, dir.path() / "m.json", dir.path()});
    EXPECT_EQ(provider->read(request(id)).drawing_id, id);
}

TEST(FileReaderProvider, ReadsResponseNamedByDrawingId) {
    TempDir dir;
    write_file(dir.path() / "part-7.json", response_text("part-7"));
    write_file(dir.path() / "other.json", response_text("part-8"));
    const auto provider = make_reader_provider({ReaderProviderKind::file, dir.path(), ""});
    EXPECT_EQ(provider->name(), "file");
    EXPECT_EQ(provider->read(request("part-7")).drawing_id, "part-7");

    const Thrown missing = thrown([&] { provider->read(request("nothing")); });
    EXPECT_EQ(missing.type, "runtime_error");
    EXPECT_EQ(missing.message, "Reader provider cannot open response: " + (dir.path() / "nothing.json").string());
    const Thrown identity = thrown([&] { provider->read(request("other")); });
    EXPECT_EQ(identity.message, "Reader provider response identity does not match request 'other'");
    fs::create_directory(dir.path() / "folder.json");
    const Thrown directory = thrown([&] { provider->read(request("folder")); });
    EXPECT_EQ(directory.message, "Reader provider cannot read response: " + (dir.path() / "folder.json").string());
}

TEST(FileReaderProvider, RefusesUnsafeIdsBeforeTouchingTheDisk) {
    TempDir dir;
    const fs::path responses = dir.path() / "responses";
    fs::create_directory(responses);
    const auto provider = make_reader_provider({ReaderProviderKind::file, responses, ""});
    // With the directory gone, any disk access would report a missing file instead.
    fs::remove(responses);
    for (const std::string& id : std::vector<std::string>{"a.b", "", "Part", "a b", "a/b", "\xc3\xa9", std::string(129, 'a')}) {
        const Thrown error = thrown([&] { provider->read(request(id)); });
        EXPECT_EQ(error.type, "invalid_argument") << id;
        EXPECT_EQ(error.message, "Reader request drawing_id is unsafe") << id;
    }
    EXPECT_EQ(thrown([&] { provider->read(request("ok")); }).message,
              "Reader provider cannot open response: " + (responses / "ok.json").string());
}

TEST(FileReaderProvider, SourceMustBeAnExistingDirectory) {
    TempDir dir;
    write_file(dir.path() / "file.json", "{}");
    for (const fs::path& source : {dir.path() / "missing", dir.path() / "file.json"}) {
        const Thrown error = thrown([&] { make_reader_provider({ReaderProviderKind::file, source, ""}); });
        EXPECT_EQ(error.type, "invalid_argument");
        EXPECT_EQ(error.message, "Reader file provider source must be an existing directory");
    }
}

TEST(ReaderPathHelpers, SafeRelativePath) {
    struct Case {
        std::string text;
        std::string expected;  // normalised path, or the message after the label
    };
    const std::vector<Case> cases = {
        {"a/b.json", "a/b.json"},
        {"./a//b/../c.json", "a/c.json"},
        {"", "L must be a non-empty relative path"},
        {"/abs.json", "L must be a non-empty relative path"},
        {"..", "L must not escape its source root"},
        {"a/../../b", "L must not escape its source root"},
    };
    for (const Case& c : cases) {
        const Thrown error = thrown([&] { EXPECT_EQ(vesk::safe_relative_path(c.text, "L").string(), c.expected); });
        if (error.type != "none") {
            EXPECT_EQ(error.message, c.expected) << c.text;
        }
    }
}

TEST(ReaderPathHelpers, ResolveUnderRootComparesElementsExactly) {
    TempDir dir;
    const fs::path root = dir.path() / "reader";
    write_file(root / "bridge.py", "pass\n");
    write_file(dir.path() / "Reader" / "bridge.py", "case twin\n");
    write_file(dir.path() / "readerx" / "bridge.py", "prefix twin\n");
    fs::create_directory_symlink("../Reader", root / "twin");
    fs::create_directory_symlink("../readerx", root / "prefix");
    fs::create_directory_symlink("reader", dir.path() / "alias");

    EXPECT_EQ(vesk::resolve_under_root(root, "bridge.py", "L"), root / "bridge.py");
    EXPECT_EQ(vesk::resolve_under_root(root, "not/yet/there.py", "L"), root / "not/yet/there.py");
    // A root reached through a link still contains its own files.
    EXPECT_EQ(vesk::resolve_under_root(dir.path() / "alias", "bridge.py", "L"), root / "bridge.py");
    for (const std::string text : {"twin/bridge.py", "prefix/bridge.py"}) {
        const Thrown error = thrown([&] { vesk::resolve_under_root(root, text, "Reader bridge_script"); });
        EXPECT_EQ(error.type, "invalid_argument") << text;
        EXPECT_EQ(error.message, "Reader bridge_script escapes its source root") << text;
    }
    EXPECT_EQ(thrown([&] { vesk::resolve_under_root(root, "../Reader/bridge.py", "L"); }).message,
              "L must not escape its source root");
}

TEST(ReaderJsonHelpers, FieldChecksAndFileErrors) {
    const vesk::SortedJson object = vesk::SortedJson::parse(R"({"b": "x", "empty": "", "n": 1, "zeta": 0, "alpha": 0})");
    EXPECT_EQ(vesk::require_string_field(object, "M", "b"), "x");
    EXPECT_EQ(thrown([&] { vesk::require_string_field(object, "M", "n"); }).message, "M: field 'n' must be a string");
    EXPECT_EQ(thrown([&] { vesk::require_string_field(object, "M", "nope"); }).message,
              "M: field 'nope' must be a string");
    EXPECT_EQ(thrown([&] { vesk::require_string_field(vesk::SortedJson::array(), "M", "b"); }).message,
              "M: field 'b' must be a string");
    EXPECT_EQ(thrown([&] { vesk::require_string_field(object, "M", "empty"); }).message,
              "M: field 'empty' must not be empty");
    EXPECT_EQ(thrown([&] { vesk::reject_unknown_fields(object, {"b", "empty", "n"}, "M"); }).message,
              "M contains unknown field 'alpha'");
    EXPECT_EQ(thrown([&] { vesk::reject_unknown_fields(vesk::SortedJson(3), {}, "M"); }).message, "M must be an object");
    EXPECT_EQ(thrown([&] { vesk::reject_unknown_fields(object, {"alpha", "b", "empty", "n", "zeta"}, "M"); }).type,
              "none");

    TempDir dir;
    EXPECT_EQ(thrown([&] { vesk::read_json_file(dir.path(), "M"); }).message,
              "M is invalid JSON: Reader provider cannot read response: " + dir.path().string());
    write_file(dir.path() / "deep.json", std::string(65, '[') + std::string(65, ']'));
    EXPECT_EQ(thrown([&] { vesk::read_json_file(dir.path() / "deep.json", "M"); }).message,
              "M is invalid JSON: JSON nesting exceeds 64 levels");
}

TEST(ReaderTextHelpers, DrawingIdRuleAndLowerCase) {
    EXPECT_TRUE(vesk::is_safe_drawing_id("a"));
    EXPECT_TRUE(vesk::is_safe_drawing_id("0_z-9"));
    EXPECT_TRUE(vesk::is_safe_drawing_id(std::string(128, 'x')));
    for (const std::string& id : std::vector<std::string>{"", "A", "a.b", "a b", "a/b", "a\\b", std::string("a\0b", 3), "\xff",
                                 std::string(129, 'x')}) {
        EXPECT_FALSE(vesk::is_safe_drawing_id(id)) << id;
    }
    // Bytes above 0x7F pass through untouched.
    EXPECT_EQ(vesk::to_lower("Reader/BRIDGE.py \xc3\x89\xff"), "reader/bridge.py \xc3\x89\xff");
}

}  // namespace
