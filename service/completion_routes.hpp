// The completion routes: GET and POST /api/jobs/{id}/completion. The router finds the job
// (an empty pointer answers 404) and hands over the job store.
#pragma once

#include <memory>

#include "model/dimension_graph.hpp"
#include "service/http_request.hpp"
#include "service/http_response.hpp"
#include "service/job_record.hpp"
#include "service/job_store.hpp"

namespace vesk {

// A copy of a job and its completion state document, both of one moment. The copy is taken
// under the job lock and the plan is built from the graph file outside it; both again when a
// completion decision changed the job meanwhile. The document's own errors (an unreadable
// graph) pass through.
struct CompletionSnapshot {
    JobRecord job;
    OrderedJson document;
};
CompletionSnapshot completion_snapshot(JobStore& store, const JobRecord& job);

// 200 with the completion state document; 404 "job_not_found"; any failure 500
// "completion_state_failed" (an unreadable graph included).
HttpResponse handle_get_completion(JobStore& store, const std::shared_ptr<JobRecord>& job);

// One decision: 415 without the JSON content type, 404 for no job, 400
// "invalid_completion_decision" for what the client got wrong, 500
// "completion_state_failed" when memory and disk disagree, 500 "completion_storage_failed"
// when a write of the transition failed; else 202 (the job runs again) or 200 with the
// state document and "rerun_started". Decisions are taken one at a time under the job lock,
// from the check for a pending transition to the update of the live record. Once the
// decision is committed the live record is updated and a rerun job queued and woken, even
// if building the answer fails.
HttpResponse handle_post_completion(JobStore& store, const std::shared_ptr<JobRecord>& job, const HttpRequest& request);

}  // namespace vesk
