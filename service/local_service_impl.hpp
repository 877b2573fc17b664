// The state that every thread and every request handler of the service shares. Internal
// to the service library: the router dispatches from it; job routes and workers are given
// its job store.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "intake/pdf_page_process.hpp"
#include "intake/reader_provider.hpp"
#include "model/dimension_graph.hpp"
#include "pilot/pilot_service.hpp"
#include "platform/files.hpp"
#include "platform/socket.hpp"
#include "service/http_server.hpp"
#include "service/job_store.hpp"
#include "service/local_service.hpp"

namespace vesk {

// Handlers per worker count: twice the workers, at least 4, at most 32.
std::size_t connection_handler_count(std::uint64_t worker_count);
// Those handlers in two groups: a quarter (at least 2) for requests that only read, the
// rest for all others.
HandlerCounts connection_handler_groups(std::uint64_t worker_count);

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

    // Every job, the work queue and the counters, with the job mutex and the workers' wake-up.
    // Declared before the threads, which use it until they are joined.
    JobStore jobs{options.jobs_directory};

    platform::Socket listen_socket;  // until the HTTP server takes it
    std::uint16_t bound_port = 0;
    std::vector<std::thread> workers;
    // Reads requests and runs the connection handlers, which call route_request; it takes
    // no job lock of its own.
    std::unique_ptr<HttpServer> http_server;

    // Idempotent: end the pilot's PDF page work, stop the HTTP server (complete requests
    // are answered), then let the workers drain the job queue and join them.
    void stop();

private:
    void open_listen_socket();
    // Rebuilds the job map, the queue and the job counter from the job directories of
    // earlier runs (job_recovery.hpp); its failure ends the start.
    void recover_existing_jobs();
};

}  // namespace vesk
