#include "service/local_service.hpp"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "model/occt_support.hpp"
#include "pilot/pilot_analysis.hpp"
#include "service/http_request.hpp"
#include "service/http_response.hpp"
#include "service/completion_transition.hpp"
#include "service/http_router.hpp"
#include "service/job_metrics.hpp"
#include "service/job_record.hpp"
#include "service/job_recovery.hpp"
#include "service/local_service_impl.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

// After the answer, what a client still sends is read and dropped for at most this long
// and this much, so that closing does not reset the connection under the answer.
constexpr std::chrono::milliseconds kDrainTime{1000};
constexpr std::size_t kDrainLimit = 1 << 20;

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

void answer_bad_request(const platform::Socket& socket, const std::string& message) noexcept {
    try {
        send_http_response(socket, make_error_response(400, "Bad Request", "invalid_http_request", message));
    } catch (...) {
        // The client is gone or stalled; the connection is closed either way.
    }
}

}  // namespace

std::size_t connection_handler_count(std::uint64_t worker_count) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(2 * worker_count, 4),
                                                            kMaxConnectionHandlers));
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
    reader_provider = make_reader_provider(options.reader);
    create_jobs_directory(options.jobs_directory);
    // Before anything else touches the directory: a second service on it must not run.
    if (!jobs_lock.try_acquire(options.jobs_directory / ".service.lock")) {
        throw std::runtime_error("Jobs directory is in use by another service: " +
                                 fs::absolute(options.jobs_directory).string());
    }
    platform::ignore_broken_pipe_signal();
    pilot = make_pilot_service(options.jobs_directory / kPilotRootName, reader_provider,
                               make_pilot_steps(reader_provider));
    // Single-threaded still: no worker, handler or acceptor exists yet.
    recover_existing_jobs();

    try {
        open_listen_socket();
        for (std::uint64_t i = 0; i < options.worker_count; ++i) workers.emplace_back([this] { worker_loop(); });
        const std::size_t handler_count = connection_handler_count(options.worker_count);
        for (std::size_t i = 0; i < handler_count; ++i) handlers.emplace_back([this] { connection_loop(); });
        acceptor = std::thread([this] { accept_loop(); });
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
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(connection_mutex);
        first = !stopping.exchange(true);
    }
    // close() does not wake a thread blocked in accept on Linux; shutdown does. The
    // descriptor is closed only after the acceptor has been joined.
    if (first) listen_socket.shutdown_both();
    connection_cv.notify_all();
    queue_space_cv.notify_all();
    if (acceptor.joinable()) acceptor.join();
    listen_socket.close();
    connection_cv.notify_all();
    for (std::thread& handler : handlers) {
        if (handler.joinable()) handler.join();
    }
    {
        std::lock_guard<std::mutex> lock(job_mutex);
        workers_stopping.store(true);
    }
    job_cv.notify_all();
    for (std::thread& worker : workers) {
        if (worker.joinable()) worker.join();
    }
}

void LocalService::Impl::accept_loop() noexcept {
    while (!stopping.load()) {
        try {
            {
                std::unique_lock<std::mutex> lock(connection_mutex);
                queue_space_cv.wait(lock, [&] {
                    return stopping.load() || pending_sockets.size() < kMaxPendingConnections;
                });
                if (stopping.load()) return;
            }
            platform::Socket socket = platform::accept_connection(listen_socket);
            if (!socket.valid()) {
                std::this_thread::yield();
                continue;
            }
            if (stopping.load()) {
                socket.shutdown_both();
                return;
            }
            platform::set_io_timeouts(socket, kSocketTimeout);
            {
                std::lock_guard<std::mutex> lock(connection_mutex);
                pending_sockets.push_back(std::move(socket));
            }
            connection_cv.notify_one();
        } catch (...) {
            // Out of memory while queueing: that connection is dropped, accepting goes on.
        }
    }
}

void LocalService::Impl::connection_loop() noexcept {
    for (;;) {
        platform::Socket socket;
        {
            std::unique_lock<std::mutex> lock(connection_mutex);
            connection_cv.wait(lock, [&] { return stopping.load() || !pending_sockets.empty(); });
            if (pending_sockets.empty()) return;
            socket = std::move(pending_sockets.front());
            pending_sockets.pop_front();
        }
        queue_space_cv.notify_one();
        serve_connection(socket);
    }
}

void LocalService::Impl::serve_connection(platform::Socket& socket) noexcept {
    const auto deadline = platform::Clock::now() + options.request_deadline;
    const HttpReceive receive = [&](char* buffer, std::size_t capacity) {
        return platform::receive_some(socket, buffer, capacity, kSocketTimeout, deadline);
    };
    try {
        const HttpRequest request = read_http_request(receive);
        send_http_response(socket, route_request(*this, request));
    } catch (const std::exception& error) {
        answer_bad_request(socket, error.what());
    } catch (const Standard_Failure& failure) {
        answer_bad_request(socket, occt_failure_message(failure));
    } catch (...) {
        answer_bad_request(socket, "Local HTTP request failed with an unknown error");
    }
    platform::finish_and_drain(socket, kDrainLimit, platform::Clock::now() + kDrainTime);
    socket.shutdown_both();
    socket.close();
}

std::shared_ptr<JobRecord> LocalService::Impl::find_job(const std::string& job_id) {
    if (!is_safe_identifier(job_id)) return nullptr;
    std::lock_guard<std::mutex> lock(job_mutex);
    const auto found = jobs.find(job_id);
    return found == jobs.end() ? nullptr : found->second;
}

void LocalService::Impl::recover_existing_jobs() {
    RecoveryHooks hooks;
    hooks.roll_forward = [](const fs::path& job_directory, const std::string& job_id) {
        recover_completion_transition(job_directory, job_id);
    };
    hooks.append_metric = [this](const JobRecord& record) { append_job_metric(options.jobs_directory, record); };
    repair_job_metrics(options.jobs_directory);
    RecoveredJobs recovered = recover_jobs(options.jobs_directory, hooks);
    for (std::shared_ptr<JobRecord>& job : recovered.jobs) jobs.emplace(job->job_id, std::move(job));
    job_queue.assign(recovered.queue.begin(), recovered.queue.end());
    next_job_number = recovered.next_job_number;
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
