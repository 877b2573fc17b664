#include "service/local_service.hpp"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "pilot/pilot_analysis.hpp"
#include "service/completion_transition.hpp"
#include "service/http_request.hpp"
#include "service/http_router.hpp"
#include "service/job_metrics.hpp"
#include "service/job_record.hpp"
#include "service/job_recovery.hpp"
#include "service/job_worker.hpp"
#include "service/local_service_impl.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

// The fewest open connections the descriptor limit may leave; the service never uses more
// than a third of the limit for connections (each may hold a file open while it streams
// one), so job files always find descriptors.
constexpr std::size_t kMinOpenConnections = 16;

void create_jobs_directory(const fs::path& directory) {
    std::error_code error;
    const bool created = fs::create_directories(directory, error);
    if (error) throw std::runtime_error("Cannot create local service jobs directory: " + error.message());
    // Job files hold users' drawings: a directory the service creates is its owner's alone.
    // One that already existed keeps the mode its owner gave it.
    if (created) fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace, error);
}

template <typename Step>
void listen_step(const char* message, Step&& step) {
    try {
        step();
    } catch (const platform::SocketError&) {
        throw std::runtime_error(message);
    }
}

}  // namespace

std::size_t connection_handler_count(std::uint64_t worker_count) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(2 * worker_count, 4),
                                                            kMaxConnectionHandlers));
}

HandlerCounts connection_handler_groups(std::uint64_t worker_count) {
    const std::size_t total = connection_handler_count(worker_count);
    HandlerCounts counts;
    counts.quick = std::max<std::size_t>(2, total / 4);
    counts.general = total - counts.quick;
    return counts;
}

LocalService::Impl::Impl(LocalServiceOptions service_options) : options(std::move(service_options)) {
    if (options.jobs_directory.empty()) {
        throw std::invalid_argument("Local service jobs_directory must not be empty");
    }
    // Job messages name paths inside it, and what the service persists or answers is UTF-8:
    // such a path would come out mangled.
    if (!platform::is_valid_utf8(fs::absolute(options.jobs_directory).string())) {
        throw std::invalid_argument("Jobs directory path must be valid UTF-8");
    }
    if (options.worker_count == 0 || options.worker_count > kMaxWorkerCount) {
        throw std::invalid_argument("Local service worker_count must be between 1 and 32");
    }
    if (!fs::is_regular_file(options.pdf_page_helper) || ::access(options.pdf_page_helper.c_str(), X_OK) != 0) {
        throw std::runtime_error("PDF page helper is missing or not executable: " + options.pdf_page_helper.string());
    }
    reader_provider = make_reader_provider(options.reader);
    create_jobs_directory(options.jobs_directory);
    // Before anything else touches the directory: a second service on it must not run.
    if (!jobs_lock.try_acquire(options.jobs_directory / ".service.lock")) {
        throw std::runtime_error("Jobs directory is in use by another service: " +
                                 fs::absolute(options.jobs_directory).string());
    }
    platform::ignore_broken_pipe_signal();
    const std::size_t descriptors = platform::raise_open_file_limit();
    pilot = make_pilot_service(options.jobs_directory / kPilotRootName, reader_provider,
                               make_pilot_steps(reader_provider, {options.pdf_page_helper, pdf_page_stop}));
    // Single-threaded still: no worker, handler or acceptor exists yet.
    recover_existing_jobs();

    try {
        open_listen_socket();
        for (std::uint64_t i = 0; i < options.worker_count; ++i) workers.emplace_back([this] { run_job_worker(jobs); });
        HttpServerLimits limits;
        limits.deadline = options.request_deadline;
        limits.progress_timeout = kSocketTimeout;
        limits.max_connections = std::clamp(descriptors / 3, kMinOpenConnections, kMaxOpenConnections);
        // As many large bodies in memory as the handlers could route at once.
        limits.body_budget = connection_handler_count(options.worker_count) * kMaxHttpBodyBytes;
        http_server = std::make_unique<HttpServer>(
            std::move(listen_socket), limits, connection_handler_groups(options.worker_count),
            make_request_triage(*this), [this](const HttpRequest& request) { return route_request(*this, request); });
    } catch (...) {
        stop();
        throw;
    }
}

void LocalService::Impl::open_listen_socket() {
    listen_step("Cannot create local service socket", [&] { listen_socket = platform::create_tcp_socket(); });
    listen_step("Cannot make local service port exclusive", [&] { platform::allow_address_reuse(listen_socket); });
    try {
        platform::bind_loopback(listen_socket, options.port);
    } catch (const platform::SocketError& error) {
        if (error.operation() == "inet_pton") throw std::runtime_error("Cannot encode the loopback address");
        throw std::runtime_error("Cannot bind local service to 127.0.0.1");
    }
    listen_step("Cannot listen on the local service socket", [&] { platform::start_listening(listen_socket); });
    listen_step("Cannot read the local service port", [&] { bound_port = platform::local_port(listen_socket); });
}

void LocalService::Impl::stop() {
    // First: a page being drawn would otherwise hold the pilot's drain for its whole limit.
    pdf_page_stop->request();
    if (http_server) http_server->stop();
    listen_socket.close();
    jobs.stop_workers();
    for (std::thread& worker : workers) {
        if (worker.joinable()) worker.join();
    }
}

void LocalService::Impl::recover_existing_jobs() {
    RecoveryHooks hooks;
    hooks.roll_forward = [](const fs::path& job_directory, const std::string& job_id) {
        recover_completion_transition(job_directory, job_id);
    };
    hooks.append_metric = [this](const JobRecord& record) { append_job_metric(options.jobs_directory, record); };
    repair_job_metrics(options.jobs_directory);
    jobs.restore(recover_jobs(options.jobs_directory, hooks));
}

LocalService::LocalService(LocalServiceOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

LocalService::~LocalService() {
    try {
        impl_->stop();
    } catch (...) {
    }
}

std::string LocalService::base_url() const {
    return "http://127.0.0.1:" + std::to_string(impl_->bound_port);
}

}  // namespace vesk
