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
    explicit WakeOnExit(JobStore& store) : store_(store) {}
    WakeOnExit(const WakeOnExit&) = delete;
    WakeOnExit& operator=(const WakeOnExit&) = delete;
    ~WakeOnExit() {
        if (armed_) store_.wake_worker();
    }
    void arm() { armed_ = true; }

private:
    JobStore& store_;
    bool armed_ = false;
};

// Tries at building a snapshot outside the lock before the last one is built under it: a
// job whose decisions keep coming faster than its plan is built still gets an answer.
constexpr int kSnapshotAttempts = 4;

}  // namespace

CompletionSnapshot completion_snapshot(JobStore& store, const JobRecord& job) {
    for (int attempt = 1;; ++attempt) {
        CompletionSnapshot snapshot;
        {
            const JobLock held = store.lock();
            snapshot.job = job;
            if (attempt == kSnapshotAttempts) {
                snapshot.document = completion_state_document(snapshot.job);
                return snapshot;
            }
        }
        snapshot.document = completion_state_document(snapshot.job);
        // Only a committed decision rewrites the graph file of a known job, and it adds a record.
        const JobLock held = store.lock();
        if (job.completion_records.size() == snapshot.job.completion_records.size()) return snapshot;
    }
}

HttpResponse handle_get_completion(JobStore& store, const std::shared_ptr<JobRecord>& job) {
    if (!job) return job_not_found();
    try {
        return make_json_response(200, "OK", completion_snapshot(store, *job).document);
    } catch (const std::exception& e) {
        return state_failed(e.what());
    } catch (...) {
        return state_failed("Completion state failed");
    }
}

HttpResponse handle_post_completion(JobStore& store, const std::shared_ptr<JobRecord>& job, const HttpRequest& request) {
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

    WakeOnExit wake(store);
    const JobLock held = store.lock();
    CommittedDecision committed;
    try {
        committed = commit_completion_decision(held, *job, decision);
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
        store.requeue(held, job);
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
