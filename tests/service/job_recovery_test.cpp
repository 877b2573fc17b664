#include "service/job_record_internal.hpp"
#include "service/job_recovery_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/files.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {
namespace fs = std::filesystem;
using nlohmann::ordered_json;
using test::TempDir;

// A state as the writer of "job_state.json" leaves it.
ordered_json state_of(const std::string& job_id, const std::string& status) {
    ordered_json state;
    state["schema_version"] = "vesk-local-job-state-v1";
    state["job_id"] = job_id;
    state["drawing_id"] = "plate";
    state["graph_filename"] = "plate.json";
    state["source_filename"] = "plate.png";
    state["reader_provider_input"] = false;
    state["status"] = status;
    state["duration_ms"] = 12.5;
    state["error"] = nullptr;
    if (status == "rejected") state["error"] = {{"code", "engine_failure"}, {"message", "boom"}};
    state["completion_records"] = ordered_json::array();
    return state;
}

ordered_json leave_missing_record(const std::string& decision_id) {
    return {{"decision_id", decision_id}, {"action", "leave_missing"},      {"target", "h1.diameter"},
            {"entity_id", ""},            {"approved_constraint_id", nullptr}, {"value", nullptr},
            {"provenance", "user_decision"}, {"status", "left_missing"}};
}

const std::vector<std::string> kOutputs = {"plate.step",    "plate_front.svg",   "plate_top.svg",
                                           "plate_side.svg", "plate_report.json", "plate_traffic.json"};

// One job directory; `files` are created with their own names as content.
void write_job(const fs::path& jobs, const std::string& name, const std::string& state_text,
               const std::vector<std::string>& files = {"plate.json", "plate.png"}) {
    fs::create_directories(jobs / name);
    if (!state_text.empty()) platform::write_file(jobs / name / "job_state.json", state_text);
    for (const std::string& file : files) platform::write_file(jobs / name / file, file);
}

std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = platform::read_file(entry.path());
        else files[fs::relative(entry.path(), root).string()] = "<dir>";
    }
    return files;
}

struct Recovery {
    std::vector<std::string> metrics;     // job ids in the order their metric was appended
    std::vector<std::string> rolled;      // job ids whose marker was rolled forward
    std::function<void(const fs::path&)> roll = [](const fs::path&) {};
    RecoveredJobs run(const fs::path& jobs) {
        RecoveryHooks hooks;
        hooks.roll_forward = [&](const fs::path& directory, const std::string& id) {
            rolled.push_back(id);
            roll(directory);
        };
        hooks.append_metric = [&](const JobRecord& record) { metrics.push_back(record.job_id); };
        return recover_jobs(jobs, hooks);
    }
};


TEST(JobRecovery, DirectoryNames) {
    EXPECT_EQ(job_directory_number("job-00000001"), 1u);
    EXPECT_EQ(job_directory_number("job-99999999"), 99999999u);
    for (const char* odd : {"job-00000000", "job-1", "job-000000001", "job-0000000a", "Job-00000001", "job-0000001 ",
                            "job-00000001.tmp", "metrics.jsonl", "m23-pilot", ""}) {
        EXPECT_FALSE(job_directory_number(odd)) << odd;
    }
}

TEST(JobRecovery, RecoversEachStatusInNameOrder) {
    TempDir dir;
    const fs::path jobs = dir.path();
    write_job(jobs, "job-00000010", state_of("job-00000010", "queued").dump(2) + "\n");
    // With leftovers of interrupted writes: discarded, all but a name the file layer never gives.
    write_job(jobs, "job-00000002", state_of("job-00000002", "running").dump(2) + "\n",
              {"plate.json", "plate.png", "job_state.json.tmp", ".tmp~41-0-plate.step", "plate_report.json.tmp",
               "notes.tmp", ".tmp-41-0-plate.step"});
    write_job(jobs, "job-00000003", state_of("job-00000003", "running").dump(2) + "\n", {"plate.png"});
    auto completed = kOutputs;
    completed.insert(completed.end(), {"plate.json", "plate.png"});
    write_job(jobs, "job-00000004", state_of("job-00000004", "completed").dump(2) + "\n", completed);
    write_job(jobs, "job-00000005", state_of("job-00000005", "completed").dump(2) + "\n",
              {"plate.json", "plate.png", "plate.step"});
    const std::string rejected_text = state_of("job-00000006", "rejected").dump(2) + "\n";
    write_job(jobs, "job-00000006", rejected_text);
    // Key-sorted text, as a completion transition writes it, with one record.
    ordered_json with_record = state_of("job-00000007", "running");
    with_record["completion_records"].push_back(leave_missing_record("d1"));
    const nlohmann::json sorted = nlohmann::json::parse(with_record.dump());
    write_job(jobs, "job-00000007", sorted.dump(2) + "\n");
    // Odd names and a stateless directory: ignored, and number 8 stays free; what a cut
    // acceptance wrote stays, but for its temporaries.
    for (const char* odd : {"job-00000000", "job-1", "job-000000001", "job-00000009.tmp", "m23-pilot"}) {
        write_job(jobs, odd, state_of(odd, "queued").dump(2) + "\n");
    }
    platform::write_file(jobs / "job-00000011", "a file, not a directory");
    write_job(jobs, "job-00000008", "", {"plate.png", "plate.json.tmp", ".tmp~41-1-reader_normalized.png"});
    const std::string completed_before = platform::read_file(jobs / "job-00000004" / "job_state.json");

    Recovery recovery;
    const RecoveredJobs recovered = recovery.run(jobs);

    std::vector<std::string> ids;
    for (const auto& job : recovered.jobs) ids.push_back(job->job_id);
    EXPECT_EQ(ids, (std::vector<std::string>{"job-00000002", "job-00000003", "job-00000004", "job-00000005",
                                             "job-00000006", "job-00000007", "job-00000010"}));
    ids.clear();
    for (const auto& job : recovered.queue) ids.push_back(job->job_id);
    EXPECT_EQ(ids, (std::vector<std::string>{"job-00000002", "job-00000007", "job-00000010"}));
    EXPECT_EQ(recovered.next_job_number, 10u);
    EXPECT_EQ(recovery.metrics, (std::vector<std::string>{"job-00000003", "job-00000005"}));
    EXPECT_TRUE(recovery.rolled.empty());

    std::map<std::string, const JobRecord*> by_id;
    for (const auto& job : recovered.jobs) by_id[job->job_id] = job.get();
    // Running jobs come back queued with no duration, written back in the writer's order.
    for (const char* id : {"job-00000002", "job-00000007"}) {
        const JobRecord& job = *by_id[id];
        EXPECT_EQ(job.status, JobStatus::queued);
        EXPECT_EQ(job.duration_ms, 0.0);
        EXPECT_EQ(platform::read_file(jobs / id / "job_state.json"), job_state_text(job));
    }
    ASSERT_EQ(by_id["job-00000007"]->completion_records.size(), 1u);
    EXPECT_EQ(platform::read_file(jobs / "job-00000007" / "job_state.json").substr(0, 20), "{\n  \"schema_version\"");

    const JobRecord& lost_input = *by_id["job-00000003"];
    EXPECT_EQ(lost_input.status, JobStatus::rejected);
    EXPECT_EQ(lost_input.error_code, "recovery_input_missing");
    EXPECT_EQ(lost_input.error_message, "A recoverable local job is missing its graph or source PNG");
    EXPECT_EQ(platform::read_file(jobs / "job-00000003" / "job_state.json"), job_state_text(lost_input));

    const JobRecord& whole = *by_id["job-00000004"];
    EXPECT_EQ(whole.status, JobStatus::completed);
    ASSERT_TRUE(whole.artifacts);
    EXPECT_EQ(whole.artifacts->report, jobs / "job-00000004" / "plate_report.json");
    EXPECT_EQ(whole.traffic_path, jobs / "job-00000004" / "plate_traffic.json");
    EXPECT_EQ(platform::read_file(jobs / "job-00000004" / "job_state.json"), completed_before);

    const JobRecord& lost_output = *by_id["job-00000005"];
    EXPECT_EQ(lost_output.status, JobStatus::rejected);
    EXPECT_FALSE(lost_output.artifacts);
    EXPECT_EQ(lost_output.error_code, "recovery_artifact_missing");
    EXPECT_EQ(lost_output.error_message, "A persisted completed job is missing one or more local artifacts");

    EXPECT_EQ(by_id["job-00000006"]->error_code, "engine_failure");
    EXPECT_EQ(platform::read_file(jobs / "job-00000006" / "job_state.json"), rejected_text);
    const auto left = [&](const std::string& id) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(jobs / id)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(left("job-00000008"), std::vector<std::string>{"plate.png"});
    EXPECT_EQ(left("job-00000002"),
              (std::vector<std::string>{".tmp-41-0-plate.step", "job_state.json", "plate.json", "plate.png"}));
}

TEST(JobRecovery, StatelessDirectories) {
    TempDir dir;
    const fs::path jobs = dir.path();
    write_job(jobs, "job-00000007", state_of("job-00000007", "rejected").dump(2) + "\n");
    write_job(jobs, "job-00000008", "");  // number given out again
    Recovery recovery;
    EXPECT_EQ(recovery.run(jobs).next_job_number, 7u);

    // A leftover marker or log keeps its number in use and is not rolled forward.
    for (const char* leftover : {"completion_transition.json", "completion_decisions.jsonl"}) {
        TempDir other;
        write_job(other.path(), "job-00000003", state_of("job-00000003", "rejected").dump(2) + "\n");
        write_job(other.path(), "job-00000009", "", {leftover});
        const auto before = snapshot(other.path());
        Recovery again;
        EXPECT_EQ(again.run(other.path()).next_job_number, 9u) << leftover;
        EXPECT_TRUE(again.rolled.empty());
        EXPECT_EQ(snapshot(other.path()), before);
    }
}

TEST(JobRecovery, MarkerIsRolledForwardBeforeTheStateIsRead) {
    TempDir dir;
    const fs::path jobs = dir.path();
    write_job(jobs, "job-00000001", state_of("job-00000001", "rejected").dump(2) + "\n", {"plate.json", "plate.png",
                                                                                        "completion_transition.json"});
    Recovery recovery;
    // The roll-forward writes the next state; recovery must read that one.
    recovery.roll = [](const fs::path& directory) {
        platform::write_file(directory / "job_state.json", state_of("job-00000001", "queued").dump(2) + "\n");
        fs::remove(directory / "completion_transition.json");
    };
    const RecoveredJobs recovered = recovery.run(jobs);
    EXPECT_EQ(recovery.rolled, std::vector<std::string>{"job-00000001"});
    ASSERT_EQ(recovered.queue.size(), 1u);

    recovery.roll = [](const fs::path&) { throw std::runtime_error("Completion transition has an unknown field"); };
    platform::write_file(jobs / "job-00000001" / "completion_transition.json", "{}");
    EXPECT_EQ(test::error_message([&] { recovery.run(jobs); }),
              "Cannot recover completion transition for local job 'job-00000001': "
              "Completion transition has an unknown field");
}

// Each row spoils job-00000002 beside a good running job: the start stops with the message
// and no file changes, the good job's state and the metrics included.
TEST(JobRecovery, UntrustedStateStopsTheStartAndChangesNothing) {
    struct Row {
        const char* what;
        std::function<void(ordered_json&)> spoil;
        std::string message;
    };
    const std::string job = "Persisted local job 'job-00000002' ";
    const std::vector<Row> rows = {
        {"job id", [](ordered_json& s) { s["job_id"] = "job-00000001"; }, job + "has an invalid identity"},
        {"schema", [](ordered_json& s) { s["schema_version"] = "v2"; }, job + "has an invalid identity"},
        {"not object", [](ordered_json& s) { s = ordered_json::array(); }, job + "has an invalid identity"},
        {"duration -1", [](ordered_json& s) { s["duration_ms"] = -1; }, job + "has an invalid duration"},
        {"duration text", [](ordered_json& s) { s["duration_ms"] = "5"; }, job + "has no numeric duration"},
        {"status", [](ordered_json& s) { s["status"] = "paused"; }, "Persisted local job has an invalid status"},
        {"unsafe graph", [](ordered_json& s) { s["graph_filename"] = "../plate.json"; }, job + "has unsafe metadata"},
        {"unsafe drawing", [](ordered_json& s) { s["drawing_id"] = "a/b"; }, job + "has unsafe metadata"},
        {"reserved source", [](ordered_json& s) { s["source_filename"] = "reader_normalized.png"; },
         job + "has unsafe metadata"},
        {"reader flag", [](ordered_json& s) { s["reader_provider_input"] = 1; }, job + "has an invalid reader-provider flag"},
        {"records", [](ordered_json& s) { s["completion_records"] = 3; }, job + "has invalid completion records"},
        {"bad record", [](ordered_json& s) { s["completion_records"].push_back({{"decision_id", "d"}}); },
         "Persisted completion record is incomplete"},
        {"rejected no error", [](ordered_json& s) { s["status"] = "rejected"; },
         "Persisted rejected job 'job-00000002' has no error object"},
        {"error code", [](ordered_json& s) { s["status"] = "rejected"; s["error"] = {{"message", "m"}}; },
         "job-00000002 error: field 'code' must be a string"},
        // The stricter rules of a later completion transition.
        {"missing key", [](ordered_json& s) { s.erase("reader_provider_input"); },
         job + "has no field 'reader_provider_input'"},
        {"missing error", [](ordered_json& s) { s.erase("error"); }, job + "has no field 'error'"},
        {"unknown key", [](ordered_json& s) { s["note"] = "x"; }, job + "has an unknown field 'note'"},
        {"error not rejected", [](ordered_json& s) { s["error"] = {{"code", "c"}, {"message", "m"}}; },
         job + "has an error but is not rejected"},
        {"duplicate ids",
         [](ordered_json& s) {
             s["completion_records"].push_back(leave_missing_record("d1"));
             s["completion_records"].push_back(leave_missing_record("d1"));
         },
         job + "has duplicate completion decision ids"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const fs::path jobs = dir.path();
        write_job(jobs, "job-00000001", state_of("job-00000001", "running").dump(2) + "\n",
                  {"plate.json", "plate.png", "job_state.json.tmp"});
        write_job(jobs, "job-00000003", state_of("job-00000003", "running").dump(2) + "\n", {"plate.png"});
        ordered_json spoiled = state_of("job-00000002", "running");
        row.spoil(spoiled);
        write_job(jobs, "job-00000002", spoiled.dump(2) + "\n");
        const auto before = snapshot(jobs);
        Recovery recovery;
        EXPECT_EQ(test::error_message([&] { recovery.run(jobs); }), row.message) << row.what;
        EXPECT_EQ(snapshot(jobs), before) << row.what;
        EXPECT_TRUE(recovery.metrics.empty()) << row.what;
    }

    TempDir dir;
    write_job(dir.path(), "job-00000004", "{\"status\": ");
    Recovery recovery;
    EXPECT_EQ(test::error_message([&] {
                  recovery.run(dir.path());
              }).rfind("Cannot recover persisted local job 'job-00000004': ", 0),
              0u);
}

}  // namespace
}  // namespace vesk
