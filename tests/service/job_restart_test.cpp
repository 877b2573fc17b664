// Restarts of the real vesk-service on one jobs directory: a completion decision cut at a
// fault point is finished by the next start, and a state that cannot be trusted stops it.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/json_util.hpp"

#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using vesk::test::read_file;
using vesk::test::ServiceProcess;

namespace {

const std::string kJob = "job-00000001";
const std::string kDecision =
    json{{"schema_version", "v19-completion-decision-v1"}, {"decision_id", "d1"}, {"action", "user_value"},
         {"proposal_id", "missing-1"}, {"selected_entity_id", "front_hole_1"}, {"value", 12}}
        .dump();

std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files[entry.path().lexically_relative(root).string()] = read_file(entry.path());
    }
    return files;
}

long line_count(const fs::path& path) {
    const std::string text = read_file(path);
    return std::count(text.begin(), text.end(), '\n');
}

vesk::test::HttpReply post_decision(std::uint16_t port) {
    return vesk::test::http_post(port, "/api/jobs/" + kJob + "/completion", kDecision);
}

std::string error_of(const vesk::test::HttpReply& reply) {
    const json body = json::parse(reply.body);
    return std::to_string(reply.status) + " " + body["error"]["code"].get<std::string>() + ": " +
           body["error"]["message"].get<std::string>();
}

// Starts the service on dir/jobs with one worker, VESK_FAULT_AT armed when `fault` is set.
std::unique_ptr<ServiceProcess> start(const fs::path& dir, const std::string& fault = "") {
    if (!fault.empty()) ::setenv("VESK_FAULT_AT", fault.c_str(), 1);
    auto service = std::make_unique<ServiceProcess>(
        std::vector<std::string>{"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir);
    ::unsetenv("VESK_FAULT_AT");
    return service;
}

void stop(ServiceProcess& service) {
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(30s), 0) << service.error_output();
}

// Each tampered form of the marker stops the start with its message and changes nothing;
// the marker is put back afterwards.
void expect_tampered_markers_stop_the_start(const fs::path& dir) {
    const fs::path marker_path = dir / "jobs" / kJob / "completion_transition.json";
    const std::string marker = read_file(marker_path);
    const auto tampered = [&](const std::function<void(nlohmann::ordered_json&)>& edit) {
        auto document = vesk::parse_strict_ordered_json(marker);
        edit(document);
        return vesk::dump_json_document(document);
    };
    const auto resorted = [](const nlohmann::ordered_json& text) {
        return vesk::dump_json_document(vesk::parse_strict_json(text.get<std::string>()));
    };
    const std::pair<std::string, std::string> untrusted[] = {
        {tampered([](auto& m) { m["note"] = 1; }), "Completion transition has an unknown field"},
        {tampered([&](auto& m) { m["base_graph"] = resorted(m["base_graph"]); }),
         "Completion transition base graph is not canonical"},
    };
    for (const auto& [text, message] : untrusted) {
        vesk::test::write_file(marker_path, text);
        const auto before = snapshot(dir / "jobs");
        const auto failed =
            vesk::test::run_process(vesk::test::service_program(), {"--jobs-dir", "jobs", "--port", "0"}, dir);
        EXPECT_EQ(failed.exit_code, 1);
        EXPECT_EQ(failed.err.substr(0, failed.err.find('\n')),
                  "vesk-service: Cannot recover completion transition for local job '" + kJob + "': " + message);
        EXPECT_EQ(snapshot(dir / "jobs"), before);
    }
    vesk::test::write_file(marker_path, marker);
}

// A user value for the rejected job's missing hole diameter, cut at a point of its
// transition: a tampered marker stops the next start; the untouched one is finished by it
// and the job reruns once.
TEST(JobRestart, CutCompletionDecisionIsFinishedByTheNextStart) {
    struct Row {
        std::string fault;
        bool exits;  // else the write throws and the service goes on
    };
    const std::vector<Row> rows = {{"replace:completion_decisions.jsonl:renamed", true},
                                   {"replace:job_state.json:tmp", true},
                                   {"replace:completion_decisions.jsonl:renamed:throw", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        vesk::test::TempDir dir("vesk-restart");
        const fs::path job_dir = dir.path() / "jobs" / kJob;
        {
            auto service = start(dir.path());
            const std::uint16_t port = service->wait_until_serving(30s);
            ASSERT_NE(port, 0) << service->error_output();
            const auto reply = vesk::test::http_post(port, "/api/jobs", vesk::test::example_job_body("underconstrained.json", "under"));
            ASSERT_EQ(reply.status, 202) << reply.body;
            EXPECT_EQ(vesk::test::wait_for_job_end(port, kJob)["error"]["code"], "underconstrained_sketch");
            stop(*service);
        }
        const std::string graph_before = read_file(job_dir / "part.json");
        {
            auto service = start(dir.path(), row.fault);
            const std::uint16_t port = service->wait_until_serving(30s);
            ASSERT_NE(port, 0) << service->error_output();
            const auto cut = post_decision(port);
            if (row.exits) {
                EXPECT_EQ(cut.status, 0) << cut.body;
                EXPECT_EQ(service->wait(30s), 86);
            } else {
                EXPECT_EQ(error_of(cut).substr(0, 30), "500 completion_storage_failed:");
                EXPECT_EQ(error_of(post_decision(port)),
                          "500 completion_state_failed: Pending completion transition must be recovered before "
                          "another decision");
                stop(*service);
            }
        }
        EXPECT_TRUE(fs::exists(job_dir / "completion_transition.json"));
        EXPECT_EQ(line_count(dir.path() / "jobs" / "metrics.jsonl"), 1);

        if (&row == &rows.front()) expect_tampered_markers_stop_the_start(dir.path());

        auto service = start(dir.path());
        const std::uint16_t port = service->wait_until_serving(30s);
        ASSERT_NE(port, 0) << service->error_output();
        const json status = vesk::test::wait_for_job_end(port, kJob);
        // The rerun with the diameter still misses the wall length.
        EXPECT_EQ(status["error"]["message"], "Underconstrained sketch; missing dimensions: front_left.length");
        EXPECT_FALSE(fs::exists(job_dir / "completion_transition.json"));
        EXPECT_NE(read_file(job_dir / "part.json"), graph_before);
        EXPECT_EQ(line_count(job_dir / "completion_decisions.jsonl"), 1);
        const json state = json::parse(read_file(job_dir / "job_state.json"));
        ASSERT_EQ(state["completion_records"].size(), 1u);
        EXPECT_EQ(state["completion_records"][0]["decision_id"], "d1");
        EXPECT_EQ(line_count(dir.path() / "jobs" / "metrics.jsonl"), 2);
        for (const auto& [name, bytes] : snapshot(job_dir)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;

        // The job no longer waits for that decision; refusing it writes nothing.
        const auto before = snapshot(dir.path() / "jobs");
        EXPECT_EQ(post_decision(port).status, 400);
        EXPECT_EQ(snapshot(dir.path() / "jobs"), before);
        stop(*service);
    }
}

// A metric line that a crash or a full disk cut short is cut off
// at start, before recovery appends the line of the job it rejects: the file stays JSON lines.
TEST(JobRestart, TornMetricsLineIsCutAtStart) {
    vesk::test::TempDir dir("vesk-restart");
    const fs::path jobs = dir.path() / "jobs";
    // A running job whose inputs are gone: recovery rejects it and appends its metric line.
    const std::string state = R"({"schema_version":"vesk-local-job-state-v1","job_id":"job-00000001",)"
                              R"("drawing_id":"p","graph_filename":"p.json","source_filename":"p.png","status":)"
                              R"("running","reader_provider_input":false,"duration_ms":0,"error":null,)"
                              R"("completion_records":[]})";
    fs::create_directories(jobs / kJob);
    vesk::test::write_file(jobs / kJob / "job_state.json", state);
    const std::string whole = R"({"schema_version":"vesk-local-job-metric-v1","status":"completed"})";
    vesk::test::write_file(jobs / "metrics.jsonl", whole + "\n" + R"({"schema_version":"vesk-lo)");
    auto service = start(dir.path());
    ASSERT_NE(service->wait_until_serving(30s), 0) << service->error_output();
    stop(*service);
    const std::string metrics = read_file(jobs / "metrics.jsonl");
    ASSERT_EQ(metrics.rfind(whole + "\n", 0), 0u) << metrics;
    EXPECT_EQ(json::parse(metrics.substr(whole.size() + 1))["rejection_reason"], "recovery_input_missing");
}

// A metrics file that may only be read is opened for writing only to cut a torn last line:
// a whole one starts the service, untouched; a torn one stops the start naming the file.
TEST(JobRestart, ReadOnlyMetricsFileIsWrittenOnlyToCutIt) {
    // As root the file's mode alone would not stop a write: drop the capability that
    // overrides it.
    std::vector<std::string> wrapper;
    if (::geteuid() == 0) wrapper = {"/usr/bin/setpriv", "--bounding-set", "-dac_override"};
    const std::string whole = R"({"schema_version":"vesk-local-job-metric-v1","status":"completed"})" "\n";
    for (const std::string& text : {whole, whole + R"({"schema_version":"vesk-lo)"}) {
        vesk::test::TempDir dir("vesk-restart");
        const fs::path metrics = dir.path() / "jobs" / "metrics.jsonl";
        fs::create_directories(metrics.parent_path());
        vesk::test::write_file(metrics, text);
        fs::permissions(metrics, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path(), wrapper);
        if (text == whole) {
            EXPECT_NE(service.wait_until_serving(30s), 0) << service.error_output();
            stop(service);
        } else {
            EXPECT_EQ(service.wait(30s), 1);
            const std::string errors = service.error_output();
            EXPECT_EQ(errors.substr(0, errors.find('\n')), "vesk-service: Cannot open 'jobs/metrics.jsonl' (errno 13)");
        }
        EXPECT_EQ(read_file(metrics), text);
    }
}

// A state that cannot be trusted ends the start with the recovery's own message.
TEST(JobRestart, UntrustedStateStopsTheProgram) {
    vesk::test::TempDir dir("vesk-restart");
    const fs::path job_dir = dir.path() / "jobs" / kJob;
    fs::create_directories(job_dir);
    const json state = {{"schema_version", "vesk-local-job-state-v1"}, {"job_id", "job-00000002"}};
    vesk::test::write_file(job_dir / "job_state.json", state.dump());
    const auto failed =
        vesk::test::run_process(vesk::test::service_program(), {"--jobs-dir", "jobs", "--port", "0"}, dir.path());
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err.rfind("vesk-service: Persisted local job 'job-00000001' has an invalid identity\n", 0), 0u)
        << failed.err;
}

}  // namespace
