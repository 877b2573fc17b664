#include "intake/embedded_reader_provider.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "intake/sha256.hpp"
#include "support/expect_error.hpp"
#include "support/reader_installation.hpp"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using test::ReaderInstallation;
using Clock = std::chrono::steady_clock;

using vesk::test::Thrown;
using vesk::test::thrown;

std::shared_ptr<DrawingReaderProvider> provider_of(const ReaderInstallation& install) {
    return make_reader_provider({ReaderProviderKind::embedded, install.manifest_path(), install.root()});
}

ReaderRequest request_for(const ReaderInstallation& install, const std::string& id) {
    const fs::path job = install.job(id);
    return {id, job / "input.png", job};
}

#define REQUIRE_PYTHON() \
    if (test::find_python3().empty()) GTEST_SKIP() << "python3 is not installed"

TEST(EmbeddedReaderManifest, Refusals) {
    using Edit = std::function<void(ReaderInstallation&)>;
    const auto field = [](const std::string& key, nlohmann::ordered_json value) -> Edit {
        return [key, value](ReaderInstallation& install) { install.manifest[key] = value; };
    };
    const std::string unsafe = "Embedded reader bridge_module is unsafe";
    const std::string identity = "Embedded reader source identity does not match its manifest";
    const std::string shadowed = "Embedded reader bridge_module would load another file than bridge_script";
    struct Case {
        std::string name;
        Edit edit;
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"timeout 10", field("timeout_seconds", 10), ""},
        {"timeout 3600", field("timeout_seconds", 3600), ""},
        {"timeout 9", field("timeout_seconds", 9), "Embedded reader timeout_seconds must be between 10 and 3600"},
        {"timeout 3601", field("timeout_seconds", 3601), "Embedded reader timeout_seconds must be between 10 and 3600"},
        {"timeout -5", field("timeout_seconds", -5), "Embedded reader timeout_seconds must be an unsigned integer"},
        {"timeout 12.5", field("timeout_seconds", 12.5), "Embedded reader timeout_seconds must be an unsigned integer"},
        {"unknown key", field("timeout", 10), "Embedded reader manifest contains unknown field 'timeout'"},
        {"schema", field("schema_version", "z23-edur-embedded-provider-v2"), "Embedded reader manifest schema is invalid"},
        {"escaping interpreter", field("python_executable", "../python"),
         "Embedded reader python_executable must not escape its source root"},
        {"absolute bridge", field("bridge_script", "/tmp/bridge.py"),
         "Embedded reader bridge_script must be a non-empty relative path"},
        {"module .reader", field("bridge_module", ".reader"), unsafe},
        {"module reader.", field("bridge_module", "reader."), unsafe},
        {"module a..b", field("bridge_module", "a..b"), unsafe},
        {"module Reader", field("bridge_module", "Reader"), unsafe},
        {"module of another file", field("bridge_module", "reader.other"),
         "Embedded reader bridge_module does not name bridge_script"},
        {"upper-case hex",
         [](ReaderInstallation& install) {
             std::string digest = install.manifest["bridge_sha256"];
             for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
             install.manifest["bridge_sha256"] = digest;
         },
         identity},
        {"wrong config digest", field("runtime_config_sha256", std::string(64, '0')), identity},
        {"missing config", field("runtime_config", "config/missing.json"),
         "Embedded reader executable, bridge, and runtime config must exist"},
        // Two files on this file system: the module would run a file the manifest never pinned.
        {"case twin",
         [](ReaderInstallation& install) {
             fs::create_directories(install.root() / "Reader");
             fs::copy_file(install.root() / "reader" / "bridge.py", install.root() / "Reader" / "Bridge.py");
             install.manifest["bridge_script"] = "Reader/Bridge.py";
         },
         "Embedded reader bridge_module does not name bridge_script"},
        {"package beside the module",
         [](ReaderInstallation& install) {
             fs::create_directories(install.root() / "reader" / "bridge");
             test::write_file(install.root() / "reader" / "bridge" / "__init__.py", "");
         },
         shadowed},
        {"extension beside the module",
         [](ReaderInstallation& install) {
             test::write_file(install.root() / "reader" / "bridge.cpython-311-x86_64-linux-gnu.so", "");
         },
         shadowed},
        {"module beside a namespace parent",
         [](ReaderInstallation& install) {
             fs::remove(install.root() / "reader" / "__init__.py");
             test::write_file(install.root() / "reader.py", "");
         },
         shadowed},
        {"virtual environment link",
         [](ReaderInstallation& install) {
             fs::remove(install.root() / "bin" / "python");
             fs::create_symlink("/bin/sh", install.root() / "bin" / "python");
         },
         "Embedded reader python_executable escapes its source root"},
    };
    for (const Case& c : cases) {
        ReaderInstallation install;
        c.edit(install);
        install.write_manifest();
        const Thrown error = thrown([&] { provider_of(install); });
        EXPECT_EQ(error.type, c.message.empty() ? "none" : "invalid_argument") << c.name;
        EXPECT_EQ(error.message, c.message) << c.name;
    }
}

// Reads, replays, refuses a changed request, and shows what the reader process saw.
TEST(EmbeddedReader, ReadThenReplay) {
    REQUIRE_PYTHON();
    ReaderInstallation install;
    const auto provider = provider_of(install);
    EXPECT_EQ(provider->name(), "embedded-local-pilot");
    const ReaderRequest request = request_for(install, "ok-1");
    // Inheritable on purpose: a service's listening socket must not reach the reader.
    const int leaked = ::socket(AF_INET, SOCK_STREAM, 0);
    const ReaderResponse first = provider->read(request);
    ::close(leaked);
    ASSERT_EQ(first.readings.size(), 1u);
    EXPECT_EQ(first.drawing_id, "ok-1");
    EXPECT_EQ(first.readings[0].value, 40.0);

    const std::vector<nlohmann::json> runs = install.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["stdin_eof"], true);
    EXPECT_EQ(runs[0]["fds"], nlohmann::json::array({0, 1, 2}));
    EXPECT_EQ(runs[0]["cwd"], fs::canonical(install.root()).string());

    const fs::path evidence = fs::canonical(request.working_directory) / "reader_evidence";
    EXPECT_EQ(test::read_file(evidence / "bridge.stdout.log"), "fake bridge answered ok-1\n");
    const nlohmann::ordered_json sent = nlohmann::ordered_json::parse(test::read_file(evidence / "request.json"));
    std::vector<std::string> keys;
    for (const auto& item : sent.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"drawing_id", "evidence_directory", "input_png",
                                              "provider_manifest_sha256", "runtime_config_sha256",
                                              "schema_version"}));
    EXPECT_EQ(sent["evidence_directory"], evidence.string());
    EXPECT_EQ(sent["provider_manifest_sha256"], sha256_file(install.manifest_path()));
    // The pilot hashes the whole evidence tree later: no link may be in it.
    EXPECT_EQ(sha256_directory_tree(evidence).size(), 64u);

    const ReaderResponse replay = provider->read(request);
    EXPECT_EQ(install.runs().size(), 1u);  // no second start
    EXPECT_EQ(replay.readings.size(), 1u);
    EXPECT_EQ(replay.readings[0].constraint_id, first.readings[0].constraint_id);

    test::write_file(install.runtime_config(), "{\"model\": \"edited\"}\n");
    EXPECT_EQ(thrown([&] { provider->read(request); }).message, "Embedded reader request identity changed");
    // A fresh job does not run an installation that no longer matches its manifest.
    EXPECT_EQ(thrown([&] { provider->read(request_for(install, "ok-2")); }).message,
              "Embedded reader source identity does not match its manifest");
    EXPECT_EQ(install.runs().size(), 1u);
}

TEST(EmbeddedReader, RequestRefusals) {
    ReaderInstallation install;
    const auto provider = provider_of(install);
    const fs::path job = install.job("ok-1");
    const std::vector<std::pair<ReaderRequest, std::string>> cases = {
        {{"Ok-1", job / "input.png", job}, "Embedded reader request drawing_id is unsafe"},
        {{"ok/1", job / "input.png", job}, "Embedded reader request drawing_id is unsafe"},
        {{"ok-1", job / "missing.png", job}, "Embedded reader input must be an existing file"},
        {{"ok-1", job, job}, "Embedded reader input must be an existing file"},
        {{"ok-1", job / "input.png", job / "missing"},
         "Embedded reader working_directory must be an existing directory"},
    };
    for (const auto& [request, message] : cases) {
        const Thrown error = thrown([&] { provider->read(request); });
        EXPECT_EQ(error.type, "invalid_argument") << message;
        EXPECT_EQ(error.message, message);
    }
}

TEST(EmbeddedReader, StartFailures) {
    ReaderInstallation install;
    const auto provider = provider_of(install);
    const ReaderRequest planted = request_for(install, "ok-planted");
    // A link left where a log goes is not followed (nor is its target truncated).
    fs::create_directories(planted.working_directory / "reader_evidence");
    fs::create_symlink(install.runtime_config(), planted.working_directory / "reader_evidence" / "bridge.stderr.log");
    EXPECT_EQ(thrown([&] { provider->read(planted); }).message, "Embedded reader cannot create process log handles");
    fs::permissions(install.root() / "bin" / "python", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(thrown([&] { provider->read(request_for(install, "ok-1")); }).message,
              "Embedded reader process creation failed with errno 13");
}

// Each misbehaviour of the fake bridge, and evidence tampered with before a replay.
TEST(EmbeddedReader, ProcessAndEvidenceFaults) {
    REQUIRE_PYTHON();
    ReaderInstallation install;
    const auto provider = provider_of(install);
    const std::string tail = std::string(1000, 'y') + "\xEF\xBF\xBD\xEF\xBF\xBD" + std::string(1045, 'z');
    const std::string bad_response_prefix = "Zozez-Udazur v2 response '";
    struct Case {
        std::string id;
        std::string message;
        std::function<void(const fs::path& evidence)> tamper;  // after a correct read, then replay
    };
    const std::vector<Case> cases = {
        {"fail-1", "Embedded reader failed with exit code 3: " + tail, nullptr},
        {"silent-1", "Embedded reader exited without a response", nullptr},
        {"badresponse-1", "root: Zozez-Udazur v2 cannot claim operator-confirmed provenance", nullptr},
        {"dupcrop-1", "Embedded reader evidence file identity is duplicated or invalid", nullptr},
        {"fourviews-1", "Embedded reader evidence calibration set changed", nullptr},
        {"escape-1", "Embedded reader evidence crop must not escape its source root", nullptr},
        {"fifo-1", "Embedded reader evidence file changed", nullptr},
        {"nodevice-1", "Embedded reader evidence manifest: field 'device' must be a string", nullptr},
        {"badbase-1", "Embedded reader evidence base model identity is invalid", nullptr},
        {"ok-crop", "Embedded reader evidence file changed",
         [](const fs::path& evidence) { test::write_file(evidence / "crops" / "crop_0.png", "other"); }},
        {"ok-link", "Embedded reader evidence file changed",
         [](const fs::path& evidence) {
             fs::rename(evidence / "crops" / "crop_0.png", evidence / "crops" / "real.png");
             fs::create_symlink("real.png", evidence / "crops" / "crop_0.png");
         }},
        {"ok-response", "Embedded reader evidence identity changed",
         [](const fs::path& evidence) { test::write_file(evidence / "response.json", "{}"); }},
    };
    // Independent jobs, four read side by side.
    std::vector<Thrown> errors(cases.size());
    std::vector<std::thread> threads;
    std::atomic<std::size_t> next{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i = next++; i < cases.size(); i = next++) {
                errors[i] = thrown([&] {
                    const ReaderRequest request = request_for(install, cases[i].id);
                    if (cases[i].tamper) {
                        provider->read(request);
                        cases[i].tamper(request.working_directory / "reader_evidence");
                    }
                    provider->read(request);
                });
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Thrown& error = errors[i];
        EXPECT_EQ(error.type, "runtime_error") << c.id;
        if (c.id == "badresponse-1") {
            EXPECT_EQ(error.message.rfind(bad_response_prefix, 0), 0u) << error.message;
            EXPECT_TRUE(error.message.ends_with(c.message)) << error.message;
        } else {
            EXPECT_EQ(error.message, c.message) << c.id;
        }
        // Every message can go into a JSON job state.
        EXPECT_NO_THROW(nlohmann::json(error.message).dump()) << c.id;
    }
}

TEST(EmbeddedReader, TimeOutKillsReaderAndGrandchild) {
    REQUIRE_PYTHON();
    ReaderInstallation install;
    install.manifest["timeout_seconds"] = 10;
    install.write_manifest();
    // The interpreter wrapper starts a grandchild of its own first: a shell gets there at
    // once even where a loaded machine starts Python too slowly to fork in 10 s.
    const fs::path wrapper = install.root() / "bin" / "python";
    const fs::path wrapper_pid = install.root() / ".." / "wrapper-grandchild.pid";
    std::string script = test::read_file(wrapper);
    script.insert(script.find('\n') + 1, "sleep 300 & echo $! > '" + wrapper_pid.string() + "'\n");
    test::write_file(wrapper, script);
    const auto provider = provider_of(install);
    const ReaderRequest request = request_for(install, "grandchild-1");
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(thrown([&] { provider->read(request); }).message, "Embedded reader exceeded its configured wall timeout");
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(10));
    EXPECT_LT(took, std::chrono::seconds(20));
    const auto stopped = [](const std::string& pid_text) {
        for (int i = 0; i < 300; ++i) {
            const std::string stat = test::read_file("/proc/" + pid_text + "/stat");
            if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    const std::string from_wrapper = test::read_file(wrapper_pid);
    ASSERT_FALSE(from_wrapper.empty());
    EXPECT_TRUE(stopped(from_wrapper.substr(0, from_wrapper.find('\n'))));
    // The fake bridge's own grandchild, where Python got that far.
    const std::string from_bridge = test::read_file(request.working_directory / "reader_evidence" / "grandchild.pid");
    if (!from_bridge.empty()) {
        EXPECT_TRUE(stopped(from_bridge));
    }
}

TEST(EmbeddedReader, ConcurrentReads) {
    REQUIRE_PYTHON();
    ReaderInstallation install;
    const auto provider = provider_of(install);
    std::vector<ReaderRequest> requests;
    for (const char* id : {"ok-a", "ok-b", "ok-c", "ok-d"}) requests.push_back(request_for(install, id));
    std::vector<std::string> got(requests.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                got[i] = provider->read(requests[i]).drawing_id;
            } catch (const std::exception& error) {
                got[i] = error.what();
            } catch (...) {
                got[i] = "unknown failure";
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(got[i], requests[i].drawing_id);
    EXPECT_EQ(install.runs().size(), 4u);
}

TEST(ReadLogTail, CutsAtACharacterAndReplacesInvalidBytes) {
    test::TempDir dir("vesk-log-tail");
    const fs::path log = dir.path() / "log";
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"a\xC3\xA9 \xF0\x9F\x98\x80", "a\xC3\xA9 \xF0\x9F\x98\x80"},
        {"\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x82", r + r + "|" + r + r + r + "|" + r + r + r + r + "|" + r + r},
        // The last 2048 bytes begin inside the euro sign.
        {std::string(100, 'a') + "\xE2\x82\xAC" + std::string(2046, 'b'), std::string(2046, 'b')},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        test::write_file(log, cases[i].first);
        EXPECT_EQ(read_log_tail(log), cases[i].second) << i;
    }
    EXPECT_EQ(read_log_tail(dir.path() / "missing"), "");
    EXPECT_EQ(read_log_tail(dir.path()), "");
}

}  // namespace
}  // namespace vesk
