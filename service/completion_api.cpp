#include "service/completion_api.hpp"
#include "service/completion_api_internal.hpp"

#include <system_error>

namespace vesk {
namespace fs = std::filesystem;
namespace {

// Whether the job is one that takes decisions: rejected as "underconstrained_sketch" or
// "conflicting_constraints".
bool accepts_completion_decisions(const JobRecord& job) {
    return job.status == JobStatus::rejected &&
           (job.error_code == "underconstrained_sketch" || job.error_code == "conflicting_constraints");
}

// "Pending completion transition must be recovered before another decision" when the
// job's marker exists; "Cannot inspect pending completion transition: <reason>".
void check_no_pending_transition(const JobRecord& job) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(completion_transition_path(job.job_directory), error);
    if (error && error != std::errc::no_such_file_or_directory) {
        throw std::runtime_error("Cannot inspect pending completion transition: " + error.message());
    }
    if (fs::exists(status)) {
        throw std::runtime_error("Pending completion transition must be recovered before another decision");
    }
}

}  // namespace

JobRecord completion_next_state(const JobRecord& job, const CompletionApplication& application) {
    JobRecord next = job;
    next.completion_records.push_back(application.record);
    if (application.rerun) {
        next.status = JobStatus::queued;
        next.duration_ms = 0.0;
        next.error_code.clear();
        next.error_message.clear();
        next.artifacts.reset();
    }
    return next;
}

CommittedDecision commit_completion_decision(const JobLock& lock, const JobRecord& job,
                                             const CompletionDecision& decision) {
    check_no_pending_transition(job);
    if (!accepts_completion_decisions(job)) {
        throw std::invalid_argument("Completion decisions require a named incomplete or conflicting job");
    }
    for (const auto& record : job.completion_records) {
        if (record.decision_id == decision.decision_id) throw std::invalid_argument("Completion decision_id is duplicated");
    }
    const DimensionGraph graph = load_dimension_graph(job.graph_path);
    CommittedDecision committed;
    committed.plan = build_completion_plan(graph);
    check_decision_against_plan(committed.plan, decision);
    const CompletionApplication application = apply_completion_decision(graph, committed.plan, decision);
    validate_completion_application(application);
    committed.next_state = completion_next_state(job, application);
    committed.rerun = application.rerun;
    begin_completion_transition(lock, committed.next_state, graph, application);
    return committed;
}

OrderedJson completion_state_document(const JobRecord& job, const CompletionPlan* known_plan) {
    OrderedJson document = OrderedJson::object();
    document["schema_version"] = kCompletionStateSchema;
    document["job_id"] = job.job_id;
    document["status"] = to_string(job.status);
    if (!accepts_completion_decisions(job)) {
        document["plan"] = nullptr;
    } else if (known_plan) {
        document["plan"] = completion_plan_document(*known_plan);
    } else {
        document["plan"] = completion_plan_document(build_completion_plan(load_dimension_graph(job.graph_path)));
    }
    OrderedJson records = OrderedJson::array();
    for (const auto& record : job.completion_records) records.push_back(completion_record_to_json(record));
    document["records"] = std::move(records);
    document["decision_url"] = "/api/jobs/" + job.job_id + "/completion";
    return document;
}

}  // namespace vesk
