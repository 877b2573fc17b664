// The completion routes: GET and POST /api/jobs/{id}/completion. The router finds the job
// (an empty pointer answers 404) and hands over the service's job lock, queue and wake-up.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "service/http_request.hpp"
#include "service/http_response.hpp"
#include "service/job_record.hpp"

namespace vesk {

struct CompletionRouteContext {
    std::mutex& job_mutex;
    std::condition_variable& job_cv;
    std::deque<std::shared_ptr<JobRecord>>& job_queue;
};

// 200 with the completion state document; 404 "job_not_found"; any failure 500
// "completion_state_failed" (an unreadable graph included).
HttpResponse handle_get_completion(CompletionRouteContext context, const std::shared_ptr<JobRecord>& job);

// One decision: 415 without the JSON content type, 404 for no job, 400
// "invalid_completion_decision" for what the client got wrong, 500
// "completion_state_failed" when memory and disk disagree, 500 "completion_storage_failed"
// when a write of the transition failed; else 202 (the job runs again) or 200 with the
// state document and "rerun_started". Once the decision is committed the live record is
// updated and a rerun job queued and woken, even if building the answer fails.
HttpResponse handle_post_completion(CompletionRouteContext context, const std::shared_ptr<JobRecord>& job,
                                    const HttpRequest& request);

}  // namespace vesk
