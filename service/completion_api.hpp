// The work behind the completion routes, apart from HTTP and the service's lock: the
// completion state document, and one decision taken from the body to a committed
// transition. The caller keeps the job lock from commit_completion_decision through the
// update of the live record.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "model/dimension_graph.hpp"
#include "service/completion_decision.hpp"
#include "service/completion_plan.hpp"
#include "service/completion_transition.hpp"
#include "service/job_lock.hpp"
#include "service/job_record.hpp"

namespace vesk {

inline constexpr std::string_view kCompletionStateSchema = "v19-completion-state-v1";

struct CommittedDecision {
    JobRecord next_state;
    bool rerun = false;
    // The plan the decision was checked against; still the job's plan when the graph kept
    // its constraints (no rerun), so the answer reuses it.
    CompletionPlan plan;
};

// Checks the decision against the job and its current plan, applies it, validates the
// result and commits the transition. std::invalid_argument: the client's fault (400);
// CompletionStorageError: a failed write (500 storage); any other error: the job's files
// or memory disagree (500 state). Nothing is written unless the transition began.
CommittedDecision commit_completion_decision(const JobLock& lock, const JobRecord& job,
                                             const CompletionDecision& decision);

// "v19-completion-state-v1": schema, job id, status, plan (only for a job that takes
// decisions; `known_plan` when given, else built from the graph file), records, decision URL.
OrderedJson completion_state_document(const JobRecord& job, const CompletionPlan* known_plan = nullptr);

}  // namespace vesk
