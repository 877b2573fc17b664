#include "service/completion_transition.hpp"
#include "service/completion_transition_internal.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "model/json_util.hpp"
#include "service/completion_api_internal.hpp"
#include "service/completion_log_internal.hpp"
#include "service/job_store.hpp"
#include "support/expect_error.hpp"
#include "support/fault_child.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

const std::string kJobId = "job-00000001";

struct Action {
    const char* name;
    const char* graph;  // fixture
    const char* error_code;
    nlohmann::json body;
    bool rerun;
};

nlohmann::json decision_body(const std::string& action, const std::string& proposal, const std::string& entity = "",
                             nlohmann::json value = nullptr, nlohmann::json constraint = nullptr) {
    return {{"schema_version", "v19-completion-decision-v1"}, {"decision_id", "d1"}, {"action", action},
            {"proposal_id", proposal}, {"selected_entity_id", entity}, {"value", std::move(value)},
            {"selected_constraint_id", std::move(constraint)}};
}

const std::string kPlate = std::string(VESK_SOURCE_DIR) + "/examples/underconstrained.json";
const std::string kFlange = std::string(VESK_SOURCE_DIR) + "/tests/model/data/analysis_flange_conflict.json";

const Action& action(int index) {
    static const Action actions[] = {
        {"user_value", kPlate.c_str(), "underconstrained_sketch", decision_body("user_value", "missing-1", "front_hole_1", 12), true},
        {"accept_suggestion", kPlate.c_str(), "underconstrained_sketch", decision_body("accept_suggestion", "missing-2"), true},
        {"accept_conflict", kFlange.c_str(), "conflicting_constraints", decision_body("accept_suggestion", "conflict-1", "", nullptr, "bound_2"), true},
        {"leave_missing", kPlate.c_str(), "underconstrained_sketch", decision_body("leave_missing", "missing-1"), false},
        {"reject", kPlate.c_str(), "underconstrained_sketch", decision_body("reject_suggestion", "missing-2"), false},
    };
    return actions[index];
}

// Decisions are taken under the job lock; here under that of a store of the test's own.
CommittedDecision commit(const JobRecord& job, const CompletionDecision& decision) {
    static JobStore store("jobs");
    return commit_completion_decision(store.lock(), job, decision);
}

JobRecord load_job(const fs::path& job_directory) {
    JobRecord job = job_record_from_state(
        parse_strict_json(test::read_file(job_directory / "job_state.json")), job_directory.filename().string());
    assign_job_paths(job, job_directory.parent_path());
    return job;
}

// A rejected graph job as the worker leaves it (its graph file key-sorted, as a graph job
// stores it), with one earlier leave-missing decision already journalled.
fs::path make_job(const fs::path& jobs, const Action& a) {
    JobRecord job;
    job.job_id = kJobId;
    job.drawing_id = "part";
    job.graph_filename = "part.json";
    job.source_filename = "part.png";
    assign_job_paths(job, jobs);
    fs::create_directories(job.job_directory);
    write_service_file(job.graph_path, dump_json_document(parse_strict_json(test::read_file(a.graph))));
    write_service_file(job.source_png_path, "\x89PNG\r\n\x1a\n");
    job.status = JobStatus::rejected;
    job.error_code = a.error_code;
    job.error_message = "Sketch cannot be modelled";
    job.duration_ms = 12.5;
    persist_job_state(job);
    auto earlier = completion_decision_from_json(decision_body("leave_missing", "missing-1"));
    earlier.decision_id = "d0";
    commit(job, earlier);
    return job.job_directory;
}

CommittedDecision decide(const fs::path& job_directory, const Action& a) {
    return commit(load_job(job_directory), completion_decision_from_json(a.body));
}

void recover_if_marked(const fs::path& job_directory) {
    if (fs::exists(completion_transition_path(job_directory))) recover_completion_transition(job_directory, kJobId);
}

// Every file of the job directory but the leftovers of interrupted replaces.
std::map<std::string, std::string> snapshot(const fs::path& job_directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(job_directory)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") != 0) files[name] = test::read_file(entry.path());
    }
    return files;
}

// The first file name whose presence or bytes differ, "" when the snapshots agree.
std::string differing_file(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
    for (const auto& [name, bytes] : a) {
        const auto other = b.find(name);
        if (other == b.end() || other->second != bytes) return name;
    }
    for (const auto& [name, bytes] : b) {
        if (a.count(name) == 0) return name;
    }
    return "";
}


// Children: "decide <index> <job directory>" and "recover <job directory>".
void child_actions(const std::string& name, const std::string& argument) {
    if (name == "decide") decide(argument.substr(2), action(argument[0] - '0'));
    if (name == "recover") recover_if_marked(argument);
}
VESK_FAULT_CHILD_ACTIONS(child_actions);

const char* const kFaultPoints[] = {
    "replace:completion_transition.json:tmp", "replace:completion_transition.json:renamed",
    "replace:part.json:tmp",                  "replace:part.json:renamed",
    "replace:completion_decisions.jsonl:tmp", "replace:completion_decisions.jsonl:renamed",
    "replace:job_state.json:tmp",             "replace:job_state.json:renamed",
    "remove:completion_transition.json:done",
};

// Each point of the transition crashed in a child; a second child crashes recovery at the
// same point; the parent's recovery then reaches the state of an uninterrupted decision.
void run_crash_matrix(int index) {
    const Action& a = action(index);
    const TempDir dir;
    const fs::path reference = make_job(dir.path() / "reference", a);
    const auto before = snapshot(reference);
    decide(reference, a);
    const auto expected = snapshot(reference);
    ASSERT_EQ(expected.count("completion_transition.json"), 0u);
    const auto state = load_job(reference);
    EXPECT_EQ(state.status, a.rerun ? JobStatus::queued : JobStatus::rejected);
    ASSERT_EQ(state.completion_records.size(), 2u);
    EXPECT_EQ(expected.at("completion_decisions.jsonl").rfind(before.at("completion_decisions.jsonl"), 0), 0u);

    int round = 0;
    for (const char* point : kFaultPoints) {
        SCOPED_TRACE(std::string(a.name) + " at " + point);
        const fs::path job = make_job(dir.path() / std::to_string(round++), a);
        const std::string argument = std::to_string(index) + " " + job.string();
        const auto crashed = test::run_fault_child("decide", argument, point);
        ASSERT_EQ(crashed.exit_code, 86) << crashed.err;
        if (std::string(point) == kFaultPoints[0]) {
            // Crashed before the marker existed: nothing happened, and a retry succeeds.
            EXPECT_FALSE(fs::exists(completion_transition_path(job)));
            EXPECT_EQ(differing_file(snapshot(job), before), "");
            decide(job, a);
        } else {
            const auto again = test::run_fault_child("recover", job.string(), point);
            EXPECT_TRUE(again.exit_code == 86 || again.exit_code == 0) << again.err;
            recover_if_marked(job);
        }
        EXPECT_EQ(differing_file(snapshot(job), expected), "");
        recover_if_marked(job);  // a second recovery changes nothing
        EXPECT_EQ(differing_file(snapshot(job), expected), "");
    }
}

// Only the store makes the token, which holds its mutex until it goes and cannot be copied.
TEST(JobLock, OnlyTheStoreMakesOneAndItHoldsTheMutex) {
    static_assert(!std::is_copy_constructible_v<JobLock> && !std::is_move_constructible_v<JobLock>);
    static_assert(!std::is_constructible_v<JobLock, std::mutex&>);
    static_assert(!std::is_constructible_v<JobLock, std::unique_lock<std::mutex>&>);
    JobStore store("jobs");
    std::future<std::shared_ptr<JobRecord>> lookup;
    {
        const JobLock held = store.lock();
        lookup = std::async(std::launch::async, [&] { return store.find("job-00000001"); });
        EXPECT_EQ(lookup.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    }
    EXPECT_EQ(lookup.get(), nullptr);
}

TEST(CompletionTransition, CrashMatrixUserValue) { run_crash_matrix(0); }
TEST(CompletionTransition, CrashMatrixAcceptSuggestion) { run_crash_matrix(1); }
TEST(CompletionTransition, CrashMatrixAcceptConflict) { run_crash_matrix(2); }
TEST(CompletionTransition, CrashMatrixLeaveMissing) { run_crash_matrix(3); }
TEST(CompletionTransition, CrashMatrixReject) { run_crash_matrix(4); }

TEST(CompletionTransition, LeaveMissingRewritesGraphCanonicallyAndStateKeySorted) {
    const TempDir dir;
    const Action& a = action(3);
    const fs::path job = make_job(dir.path(), a);
    const auto before = snapshot(job);
    const auto committed = decide(job, a);
    EXPECT_FALSE(committed.rerun);
    const auto after = snapshot(job);
    EXPECT_EQ(after.at("part.json"), canonical_graph_text(load_dimension_graph(a.graph)));
    const std::string& state = after.at("job_state.json");
    EXPECT_EQ(state.rfind("{\n  \"completion_records\": [\n    {\n      \"action\": \"leave_missing\"", 0), 0u);
    EXPECT_NE(state.find("\"source_filename\": \"part.png\",\n  \"status\": \"rejected\"\n}\n"), std::string::npos);
    EXPECT_EQ(after.at("completion_decisions.jsonl"),
              before.at("completion_decisions.jsonl") + completion_log_line(kJobId, committed.next_state.completion_records.back()) + "\n");
    EXPECT_EQ(read_completion_decision_log(job / "completion_decisions.jsonl", kJobId).records.size(), 2u);

    // The answer reuses the plan the decision was checked against.
    const auto document = completion_state_document(committed.next_state, &committed.plan);
    std::string keys;
    for (const auto& item : document.items()) keys += item.key() + " ";
    EXPECT_EQ(keys, "schema_version job_id status plan records decision_url ");
    EXPECT_EQ(document["plan"], completion_plan_document(build_completion_plan(load_dimension_graph(job / "part.json"))));
    EXPECT_EQ(document["records"].size(), 2u);
}

TEST(CompletionTransition, RefusedDecisionsWriteNothing) {
    const TempDir dir;
    const fs::path job = make_job(dir.path(), action(0));
    const auto before = snapshot(job);
    JobRecord stale = load_job(job);  // memory holds a record the disk does not
    stale.completion_records.push_back(stale.completion_records.front());
    stale.completion_records.back().decision_id = "d9";
    JobRecord completed = load_job(job);
    completed.status = JobStatus::completed;
    const struct {
        JobRecord record;
        nlohmann::json body;
        std::string message;
    } cases[] = {
        {load_job(job), decision_body("user_value", "missing-1", "front_hole_1", 12.5),
         "Completion value 12.5 for front_hole_1.diameter contradicts the drawn size 12 mm; the drawing is to scale: "
         "enter 12 or correct the drawing"},
        {load_job(job), decision_body("leave_missing", "missing-7"), "Completion proposal does not exist"},
        {completed, decision_body("leave_missing", "missing-1"), "Completion decisions require a named incomplete or conflicting job"},
        {stale, decision_body("leave_missing", "missing-1"), "Completion transition does not append exactly one completion record"},
    };
    for (const auto& c : cases) {
        auto body = c.body;
        EXPECT_EQ(test::error_message([&] { commit(c.record, completion_decision_from_json(body)); }), c.message);
        body["decision_id"] = "d0";
        EXPECT_EQ(test::error_message([&] { commit(load_job(job), completion_decision_from_json(body)); }),
                  "Completion decision_id is duplicated");
        EXPECT_EQ(differing_file(snapshot(job), before), "");
        EXPECT_FALSE(fs::exists(job / "completion_transition.json.tmp"));
    }
}

TEST(CompletionTransition, ThrownWriteLeavesMarkerUntilRecovery) {
    const TempDir dir;
    const Action& a = action(0);
    const fs::path reference = make_job(dir.path() / "reference", a);
    decide(reference, a);
    const auto expected = snapshot(reference);

    const fs::path job = make_job(dir.path() / "after-rename", a);
    auto failed = test::run_fault_child("decide", "0 " + job.string(), "replace:completion_decisions.jsonl:tmp:throw");
    EXPECT_EQ(failed.exit_code, test::kChildThrew);
    EXPECT_EQ(failed.err, "Cannot atomically replace completion artifact '" +
                              (job / "completion_decisions.jsonl").string() + "' (errno 5)\n");
    EXPECT_EQ(test::error_message([&] { decide(job, a); }),
              "Pending completion transition must be recovered before another decision");
    recover_if_marked(job);
    EXPECT_EQ(differing_file(snapshot(job), expected), "");

    const fs::path early = make_job(dir.path() / "marker-tmp", a);
    const auto before = snapshot(early);
    failed = test::run_fault_child("decide", "0 " + early.string(), "replace:completion_transition.json:tmp:throw");
    EXPECT_EQ(failed.exit_code, test::kChildThrew);
    EXPECT_EQ(differing_file(snapshot(early), before), "");
    EXPECT_FALSE(fs::exists(early / "completion_transition.json.tmp"));
    decide(early, a);
    EXPECT_EQ(differing_file(snapshot(early), expected), "");
}

TEST(CompletionTransition, MarkerChecks) {
    const TempDir dir;
    const Action& a = action(3);
    const fs::path job = make_job(dir.path(), a);
    const JobRecord current = load_job(job);
    const DimensionGraph graph = load_dimension_graph(current.graph_path);
    const CompletionPlan plan = build_completion_plan(graph);
    const auto application = apply_completion_decision(graph, plan, completion_decision_from_json(a.body));
    const JobRecord next = completion_next_state(current, application);
    const std::string base = canonical_graph_text(graph);
    const std::string good = completion_transition_text(kJobId, base, std::nullopt, application.record, next);
    EXPECT_EQ(good.rfind("{\n  \"schema_version\": \"v19-completion-transition-v1\",\n  \"job_id\"", 0), 0u);

    auto edited = [&](const std::function<void(nlohmann::ordered_json&)>& edit) {
        auto marker = parse_strict_ordered_json(good);
        edit(marker);
        return dump_json_document(marker);
    };
    const auto before = snapshot(job);
    const std::pair<std::string, std::string> cases[] = {
        {edited([](auto& m) { m["note"] = 1; }), "Completion transition has an unknown field"},
        {edited([](auto& m) { m["job_id"] = "job-00000002"; }), "Completion transition is invalid"},
        {edited([&](auto& m) { m["base_graph"] = dump_json_document(parse_strict_json(base)); }), "Completion transition base graph is not canonical"},
        {edited([](auto& m) { m["graph"] = "{}"; }), "Completion transition non-rerun record has incoherent graph or state"},
        {edited([](auto& m) { m["state"]["drawing_id"] = "other"; }), "Completion transition changes immutable job metadata"},
        {edited([](auto& m) { m["state"]["duration_ms"] = 1; }), "Completion transition changes rejected state metadata"},
        {edited([](auto& m) { m["state"]["completion_records"].erase(1); }), "Completion transition state omits its decision record"},
        {edited([](auto& m) { m["state"]["extra"] = 1; }), "Completion transition state has an unknown field"},
        {edited([](auto& m) { m["state"].erase("drawing_id"); }), "Completion transition state is incomplete"},
        {"{", "Completion transition is invalid"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(test::error_message([&] { plan_completion_transition(job, kJobId, text); }), message);
    }
    // Key order of the marker's objects does not matter.
    plan_completion_transition(job, kJobId, dump_json_document(parse_strict_json(good)));
    EXPECT_EQ(differing_file(snapshot(job), before), "");
    EXPECT_EQ(test::error_message([&] { finalize_completion_transition(job / "completion_transition.json"); }),
              "Cannot finalize completion transition '" + (job / "completion_transition.json").string() +
                  "' because the transition marker was already absent");
}

}  // namespace
}  // namespace vesk
