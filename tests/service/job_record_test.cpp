#include "service/job_record.hpp"
#include "service/job_record_internal.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "model/json_util.hpp"
#include "service/field_checks.hpp"
#include "support/expect_error.hpp"
#include "support/fault_child.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {
namespace fs = std::filesystem;
using test::TempDir;


JobRecord sample_job(const fs::path& jobs_directory) {
    JobRecord job;
    job.job_id = "job-00000007";
    job.drawing_id = "plate-7";
    job.graph_filename = "plate.json";
    job.source_filename = "plate.png";
    assign_job_paths(job, jobs_directory);
    job.status = JobStatus::rejected;
    job.error_code = "underconstrained";
    job.error_message = "Ø 12 is underconstrained";
    job.duration_ms = 12.5;
    CompletionRecord left;
    left.decision_id = "d1";
    left.action = "leave_missing";
    left.target = "h1.diameter";
    left.provenance = "user_decision";
    left.status = "left_missing";
    job.completion_records.push_back(left);
    return job;
}

const char* const kGoldenState = R"({
  "schema_version": "vesk-local-job-state-v1",
  "job_id": "job-00000007",
  "drawing_id": "plate-7",
  "graph_filename": "plate.json",
  "source_filename": "plate.png",
  "reader_provider_input": false,
  "status": "rejected",
  "duration_ms": 12.5,
  "error": {
    "code": "underconstrained",
    "message": "Ø 12 is underconstrained"
  },
  "completion_records": [
    {
      "decision_id": "d1",
      "action": "leave_missing",
      "target": "h1.diameter",
      "entity_id": "",
      "approved_constraint_id": null,
      "value": null,
      "provenance": "user_decision",
      "status": "left_missing"
    }
  ]
}
)";

// Children of the crash tests: "persist <directory>" writes the state of a job that
// has moved on (completed, no error) over the sample's.
void child_actions(const std::string& action, const std::string& argument) {
    if (action == "persist") {
        JobRecord job = sample_job(argument);
        job.status = JobStatus::completed;
        job.duration_ms = 99.0;
        persist_job_state(job);
    }
}
VESK_FAULT_CHILD_ACTIONS(child_actions);

TEST(JobRecord, StatusTextsAndJobIds) {
    for (auto status : {JobStatus::queued, JobStatus::running, JobStatus::completed, JobStatus::rejected}) {
        EXPECT_EQ(parse_job_status(to_string(status)), status);
    }
    EXPECT_EQ(test::error_message([] { to_string(static_cast<JobStatus>(4)); }), "Unknown local job status");
    for (const char* bad : {"Queued", "done", "", "queued "}) {
        EXPECT_EQ(test::error_message([&] { parse_job_status(bad); }), "Persisted local job has an invalid status")
            << bad;
    }
    EXPECT_EQ(make_job_id(1), "job-00000001");
    EXPECT_EQ(make_job_id(12345), "job-00012345");
    EXPECT_EQ(make_job_id(99'999'999), "job-99999999");
    // A longer id would never be found again at restart: refused as a storage fault.
    EXPECT_THROW(make_job_id(100'000'000), std::runtime_error);
    EXPECT_EQ(test::error_message([] { make_job_id(100'000'000); }),
              "Local job number 100000000 is out of range: job numbers end at 99999999");
    EXPECT_THROW(make_job_id(0), std::runtime_error);
}

TEST(JobRecord, BasenameRules) {
    const std::string unsafe_graph = "job.graph_filename must be a safe .json basename";
    const std::string unsafe_source = "source_image.filename must be a safe .png basename";
    const struct {
        const char* name;
        std::string graph;   // refusal as a graph name, "" accepted
        std::string source;  // refusal as a source name
    } cases[] = {
        {"Part.JSON", "", unsafe_source},
        {"plate.json", "", unsafe_source},
        {"a.PNG", unsafe_graph, ""},
        {"a/b.json", unsafe_graph, unsafe_source},
        {".json", unsafe_graph, unsafe_source},
        {".png", unsafe_graph, unsafe_source},
        {"..", unsafe_graph, unsafe_source},
        {"a.json.png", unsafe_graph, ""},
        {"JOB_STATE.json", unsafe_graph, unsafe_source},
        {"job_state.json", unsafe_graph, unsafe_source},
        {"Completion_Transition.JSON",
         "job.graph_filename must not be the reserved name 'completion_transition.json'", unsafe_source},
        {"reader_normalized.png", unsafe_graph,
         "source_image.filename must not be the reserved name 'reader_normalized.png'"},
        {"READER_Normalized.PNG", unsafe_graph,
         "source_image.filename must not be the reserved name 'reader_normalized.png'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(graph_filename_refusal(c.name, "job.graph_filename"), c.graph);
        EXPECT_EQ(is_safe_graph_filename(c.name), c.graph.empty());
        EXPECT_EQ(source_filename_refusal(c.name, "source_image.filename"), c.source);
        EXPECT_EQ(is_safe_source_filename(c.name), c.source.empty());
    }

    const auto body = parse_strict_json(R"({"a": "x", "n": 3, "e": ""})");
    EXPECT_EQ(require_text_field(body, "a", "job"), "x");
    EXPECT_EQ(test::error_message([&] { require_text_field(body, "n", "job"); }), "job: field 'n' must be a string");
    EXPECT_EQ(test::error_message([&] { require_text_field(body, "z", "job"); }), "job: field 'z' must be a string");
    EXPECT_EQ(test::error_message([&] { require_text_field(body, "e", "job"); }), "job: field 'e' must not be empty");
    EXPECT_THROW(require_text_field(nlohmann::json::array(), "a", "job"), std::invalid_argument);
}

TEST(JobRecord, GoldenStateTextReadsBackInEitherKeyOrder) {
    const TempDir dir;
    const JobRecord job = sample_job(dir.path());
    EXPECT_EQ(job.traffic_path, dir.path() / "job-00000007" / "plate_traffic.json");
    EXPECT_EQ(job_state_text(job), kGoldenState);

    JobRecord queued = job;
    queued.status = JobStatus::queued;
    queued.completion_records.clear();
    const std::string queued_text = job_state_text(queued);
    EXPECT_NE(queued_text.find("  \"error\": null,\n  \"completion_records\": []\n}\n"), std::string::npos);

    // The writer's order and the key-sorted order of the transition read back alike.
    const auto parsed = parse_strict_json(kGoldenState);
    for (const std::string& text : {std::string(kGoldenState), dump_json_document(parsed)}) {
        const JobRecord back = job_record_from_state(parse_strict_json(text), "job-00000007");
        EXPECT_EQ(back.drawing_id, job.drawing_id);
        EXPECT_EQ(back.status, JobStatus::rejected);
        EXPECT_EQ(back.error_message, job.error_message);
        EXPECT_EQ(back.duration_ms, 12.5);
        EXPECT_TRUE(completion_records_equal(back.completion_records, job.completion_records));
        EXPECT_EQ(job_state_text(back), kGoldenState);
    }
    // A repeated key is refused by the strict entry point, never last-wins.
    std::string doubled = kGoldenState;
    doubled.insert(2, "\"status\": \"completed\",\n  ");
    EXPECT_EQ(test::error_message([&] { parse_strict_json(doubled); }), "duplicate field 'status'");
}

TEST(JobRecord, StateReadBackRefusals) {
    const std::string name = "job-00000007";
    const auto golden = parse_strict_json(kGoldenState);
    const struct {
        const char* what;
        std::function<void(nlohmann::json&)> edit;
        std::string message;
    } cases[] = {
        {"array", [](auto& s) { s = nlohmann::json::array(); }, "Persisted local job 'job-00000007' has an invalid identity"},
        {"other id", [](auto& s) { s["job_id"] = "job-00000002"; }, "Persisted local job 'job-00000007' has an invalid identity"},
        {"schema", [](auto& s) { s["schema_version"] = "v2"; }, "Persisted local job 'job-00000007' has an invalid identity"},
        {"no schema", [](auto& s) { s.erase("schema_version"); }, "job-00000007: field 'schema_version' must be a string"},
        {"flag", [](auto& s) { s["reader_provider_input"] = 1; }, "Persisted local job 'job-00000007' has an invalid reader-provider flag"},
        {"no flag", [](auto& s) { s.erase("reader_provider_input"); }, "Persisted local job 'job-00000007' has no field 'reader_provider_input'"},
        {"marker name", [](auto& s) { s["graph_filename"] = "completion_transition.json"; }, "Persisted local job 'job-00000007' has unsafe metadata"},
        {"binding name", [](auto& s) { s["source_filename"] = "reader_normalized.png"; }, "Persisted local job 'job-00000007' has unsafe metadata"},
        {"drawing", [](auto& s) { s["drawing_id"] = "a b"; }, "Persisted local job 'job-00000007' has unsafe metadata"},
        {"text duration", [](auto& s) { s["duration_ms"] = "5"; }, "Persisted local job 'job-00000007' has no numeric duration"},
        {"negative duration", [](auto& s) { s["duration_ms"] = -1; }, "Persisted local job 'job-00000007' has an invalid duration"},
        {"status", [](auto& s) { s["status"] = "done"; }, "Persisted local job has an invalid status"},
        {"records", [](auto& s) { s["completion_records"] = nlohmann::json::object(); }, "Persisted local job 'job-00000007' has invalid completion records"},
        {"record", [](auto& s) { s["completion_records"][0]["value"] = 0; }, "Persisted completion value is not positive and finite"},
        {"no error", [](auto& s) { s["error"] = nullptr; }, "Persisted rejected job 'job-00000007' has no error object"},
        {"error code", [](auto& s) { s["error"]["code"] = 7; }, "job-00000007 error: field 'code' must be a string"},
        {"error text", [](auto& s) { s["error"] = "x"; }, "Persisted rejected job 'job-00000007' has no error object"},
        {"error when queued", [](auto& s) { s["status"] = "queued"; s["error"]["code"] = 7; }, "Persisted local job 'job-00000007' has an error but is not rejected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        nlohmann::json state = golden;
        c.edit(state);
        EXPECT_EQ(test::error_message([&] { job_record_from_state(state, name); }), c.message);
    }
}

TEST(JobRecord, PersistReplacesWholeOrNothingAtEachFaultPoint) {
    const TempDir dir;
    const JobRecord job = sample_job(dir.path());
    fs::create_directories(job.job_directory);
    const fs::path state_path = job.job_directory / "job_state.json";
    const fs::path tmp_path = job.job_directory / "job_state.json.tmp";
    JobRecord moved_on = job;
    moved_on.status = JobStatus::completed;
    moved_on.duration_ms = 99.0;
    const std::string new_text = job_state_text(moved_on);

    const struct {
        std::string fault;
        int exit_code;
        bool replaced;
    } cases[] = {
        {"replace:job_state.json:tmp", 86, false},
        {"replace:job_state.json:tmp:torn", 86, false},
        {"replace:job_state.json:renamed", 86, true},
        {"replace:job_state.json:tmp:throw", test::kChildThrew, false},
        {"", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        persist_job_state(job);
        fs::remove(tmp_path);
        const auto child = test::run_fault_child("persist", dir.path().string(), c.fault);
        EXPECT_EQ(child.exit_code, c.exit_code) << child.err;
        const std::string text = test::read_file(state_path);
        EXPECT_EQ(text, c.replaced ? new_text : std::string(kGoldenState));
        const JobRecord back = job_record_from_state(parse_strict_json(text), job.job_id);
        EXPECT_EQ(back.status, c.replaced ? JobStatus::completed : JobStatus::rejected);
        if (c.exit_code == test::kChildThrew) {
            EXPECT_EQ(child.err, "Local job state persistence failed: Cannot atomically replace local service file '" +
                                     state_path.string() + "' (errno 5)\n");
            EXPECT_FALSE(fs::exists(tmp_path));
        }
    }
    // A temporary file that cannot be written leaves the target untouched.
    fs::remove(tmp_path);
    fs::create_directory(tmp_path);
    EXPECT_EQ(test::error_message([&] { persist_job_state(moved_on); }),
              "Local job state persistence failed: Cannot write local service file: " + tmp_path.string());
    EXPECT_EQ(test::read_file(state_path), new_text);
    fs::remove(tmp_path);
    JobRecord lost = job;
    lost.job_directory = dir.path() / "missing";
    EXPECT_EQ(test::error_message([&] { persist_job_state(lost); }),
              "Local job state persistence failed: Cannot write local service file: " +
                  (lost.job_directory / "job_state.json.tmp").string());
}

// The state reaches the disk through the durable layer: the temporary file is synced
// before the rename, and the directory after it.
TEST(JobRecord, PersistSyncsFileThenRenamesThenSyncsDirectory) {
    if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    const TempDir dir;
    const JobRecord job = sample_job(dir.path());
    fs::create_directories(job.job_directory);
    const fs::path trace = dir.path() / "trace";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    ::setenv("VESK_CHILD_ACTION", "persist", 1);
    ::setenv("VESK_CHILD_ARGUMENT", dir.path().c_str(), 1);
    const auto run = test::run_process(
        "/usr/bin/strace", {"-f", "-o", trace.string(), "-e", "trace=openat,fsync,rename,renameat,renameat2",
                            fs::read_symlink("/proc/self/exe").string(),
                            std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()});
    ::unsetenv("VESK_CHILD_ACTION");
    ::unsetenv("VESK_CHILD_ARGUMENT");
    if (run.exit_code != 0 && run.err.find("ptrace") != std::string::npos) {
        GTEST_SKIP() << "strace cannot trace here: " << run.err;
    }
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string text = test::read_file(trace);
    const std::string state = (job.job_directory / "job_state.json").string();
    std::size_t at = text.find("\"" + state + ".tmp\", O_WRONLY|O_CREAT|O_TRUNC");
    ASSERT_NE(at, std::string::npos) << text;
    for (const std::string& step : {std::string("fsync("), "\"" + state + ".tmp\", ", "\"" + state + "\") = 0",
                                   "\"" + job.job_directory.string() + "\", O_RDONLY",
                                   std::string("fsync(")}) {
        at = text.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << "\n" << text;
    }
}

}  // namespace
}  // namespace vesk
