#include "service/completion_routes.hpp"

#include <stdexcept>

#include "platform/files.hpp"
#include "service/completion_api.hpp"

namespace vesk {
namespace {

HttpResponse job_not_found() {
    return make_error_response(404, "Not Found", "job_not_found", "Local job was not found");
}

HttpResponse state_failed(const std::string& message) {
    return make_error_response(500, "Internal Server Error", "completion_state_failed", message);
}

HttpResponse invalid_decision(const std::string& message) {
    return make_error_response(400, "Bad Request", "invalid_completion_decision", message);
}

// Wakes one worker when it goes, after the job lock (declared later) has been released.
class WakeOnExit {
public:
    explicit WakeOnExit(std::condition_variable& cv) : cv_(cv) {}
    WakeOnExit(const WakeOnExit&) = delete;
    WakeOnExit& operator=(const WakeOnExit&) = delete;
    ~WakeOnExit() {
        if (armed_) cv_.notify_one();
    }
    void arm() { armed_ = true; }

private:
    std::condition_variable& cv_;
    bool armed_ = false;
};

}  // namespace

HttpResponse handle_get_completion(CompletionRouteContext context, const std::shared_ptr<JobRecord>& job) {
    if (!job) return job_not_found();
    std::lock_guard<std::mutex> lock(context.job_mutex);
    try {
        return make_json_response(200, "OK", completion_state_document(*job));
    } catch (const std::exception& e) {
        return state_failed(e.what());
    } catch (...) {
        return state_failed("Completion state failed");
    }
}

HttpResponse handle_post_completion(CompletionRouteContext context, const std::shared_ptr<JobRecord>& job,
                                    const HttpRequest& request) {
    if (!has_json_content_type(request)) {
        return make_error_response(415, "Unsupported Media Type", "unsupported_media_type",
                                   "Completion decisions require application/json");
    }
    if (!job) return job_not_found();
    CompletionDecision decision;
    try {
        decision = completion_decision_from_json(parse_json_body(request.body, "Completion decision body is not valid JSON: "));
    } catch (const std::exception& e) {
        return invalid_decision(e.what());
    }

    WakeOnExit wake(context.job_cv);
    std::unique_lock<std::mutex> held(context.job_mutex);
    CommittedDecision committed;
    try {
        committed = commit_completion_decision(JobLock(held), *job, decision);
    } catch (const CompletionStorageError& e) {
        return make_error_response(500, "Internal Server Error", "completion_storage_failed", e.what());
    } catch (const std::invalid_argument& e) {
        return invalid_decision(e.what());
    } catch (const std::exception& e) {
        return state_failed(e.what());
    } catch (...) {
        return state_failed("Completion decision failed");
    }
    // Committed: memory follows the disk and a rerun is queued whatever happens next.
    *job = std::move(committed.next_state);
    if (committed.rerun) {
        context.job_queue.push_back(job);
        wake.arm();
    }
    try {
        platform::fault_point("completion:committed");
        auto document = completion_state_document(*job, committed.rerun ? nullptr : &committed.plan);
        document["rerun_started"] = committed.rerun;
        return committed.rerun ? make_json_response(202, "Accepted", document) : make_json_response(200, "OK", document);
    } catch (const std::exception& e) {
        return state_failed(e.what());
    } catch (...) {
        return state_failed("Completion answer failed");
    }
}

}  // namespace vesk
