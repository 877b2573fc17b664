// The state that every thread and every request handler of the service shares. Internal
// to the service library: routes and job code reach it through LocalService::Impl.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "intake/pdf_page_process.hpp"
#include "intake/reader_provider.hpp"
#include "model/dimension_graph.hpp"
#include "pilot/pilot_service.hpp"
#include "platform/files.hpp"
#include "platform/socket.hpp"
#include "service/http_server.hpp"
#include "service/local_service.hpp"

namespace vesk {

struct JobRecord;

// Handlers per worker count: twice the workers, at least 4, at most 32.
std::size_t connection_handler_count(std::uint64_t worker_count);

struct LocalService::Impl {
    explicit Impl(LocalServiceOptions service_options);
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    LocalServiceOptions options;
    std::shared_ptr<DrawingReaderProvider> reader_provider;  // empty when disabled
    // Exclusive flock on "<jobs>/.service.lock" for the life of the service.
    platform::DirectoryLock jobs_lock;

    // Kills the pilot's running PDF page helpers at stop and refuses later page work.
    std::shared_ptr<PdfPageStop> pdf_page_stop = std::make_shared<PdfPageStop>();
    // The pilot job store in "<jobs>/m23-pilot": created after the jobs directory is locked
    // and before job recovery and the listener; declared before the threads so that it is
    // destroyed after all of them are joined (its own worker drains its queue first).
    PilotServicePtr pilot{nullptr, &destroy_pilot_service};

    // Job state. The job mutex guards the map, the queue, both counters and every field
    // of every record; workers wait on the condition variable for queued jobs.
    std::mutex job_mutex;
    std::condition_variable job_cv;
    std::unordered_map<std::string, std::shared_ptr<JobRecord>> jobs;
    std::deque<std::shared_ptr<JobRecord>> job_queue;
    std::uint64_t next_job_number = 0;  // the last number handed out
    std::uint64_t active_jobs = 0;      // jobs running now

    // `stopping` is set first; `workers_stopping` later under the job mutex, then
    // broadcast, so that no worker between its check and its wait misses the change.
    std::atomic<bool> stopping{false};
    std::atomic<bool> workers_stopping{false};

    platform::Socket listen_socket;  // until the HTTP server takes it
    std::uint16_t bound_port = 0;
    std::vector<std::thread> workers;
    // Reads requests and runs the connection handlers, which call route_request; it takes
    // no job lock of its own.
    std::unique_ptr<HttpServer> http_server;

    // Idempotent: end the pilot's PDF page work, stop the HTTP server (complete requests
    // are answered), then let the workers drain the job queue and join them.
    void stop();

    // POST /api/jobs: validates the body, stores the job's files, persists it queued, queues
    // it and wakes one worker; returns "vesk-local-submit-v1". std::invalid_argument for
    // the client's mistakes, std::runtime_error for storage failures.
    OrderedJson submit_job(std::string_view body);
    // The record of a safe job id, or empty (ids that are not safe identifiers are not
    // looked up at all).
    std::shared_ptr<JobRecord> find_job(const std::string& job_id);

private:
    void open_listen_socket();
    void worker_loop() noexcept;
    // The next queued job, oldest first, marked running and counted active; empty once the
    // workers are told to stop and the queue is empty (so jobs queued before stop still run).
    std::shared_ptr<JobRecord> take_next_job();
    // Runs one taken job to completed or rejected; never throws.
    void run_job(const std::shared_ptr<JobRecord>& job) noexcept;
    // The rejection path of a run: record, persist and count the failure.
    void reject_job(JobRecord& job, const std::string& message, double duration_ms) noexcept;
    // Rebuilds the job map, the queue and the job counter from the job directories of
    // earlier runs (job_recovery.hpp); its failure ends the start.
    void recover_existing_jobs();
};

}  // namespace vesk
