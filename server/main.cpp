// vesk-service: the local job service on 127.0.0.1. Prints its address and jobs
// directory, serves until SIGINT or SIGTERM, then stops in order and exits 0.
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <thread>

#include <pthread.h>

#include "model/occt_support.hpp"
#include "platform/files.hpp"
#include "platform/socket.hpp"
#include "server/service_options.hpp"
#include "service/local_service.hpp"

namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void handle_stop_signal(int /*signal*/) {
    stop_requested.exchange(true);
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// The service's threads inherit the mask in force when they start: with the stop signals
// blocked there, only the main thread takes them once it unblocks them.
void set_stop_signals_blocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    ::pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

vesk::LocalServiceOptions to_service_options(const vesk::ServiceOptions& options) {
    vesk::LocalServiceOptions service;
    service.jobs_directory = options.jobs_directory;
    service.port = options.port;
    service.web_directory = options.web_directory;
    service.worker_count = options.worker_count;
    service.reader = options.reader;
    // The PDF page helper is built beside this program.
    service.pdf_page_helper = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vesk-pdf-page";
    return service;
}

// A service started away from the repository root would answer its page with a bare 500.
void warn_without_index_page(const std::filesystem::path& web_directory) {
    try {
        vesk::platform::ReadableFile index(web_directory / "index.html");
    } catch (const std::exception&) {
        std::cerr << "vesk-service: warning: no index.html in web directory "
                  << std::filesystem::absolute(web_directory).string()
                  << "; the page will not load (start from the repository root or pass --web-dir)\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The C library reads the time zone on first use; OCCT's STEP date and the PDF engine's
    // colour code both use it. Read once here, before any thread exists, so they never race.
    ::tzset();
    // Standard output carries the two start-up lines and nothing else.
    vesk::route_occt_messages_to_stderr();
    try {
        const vesk::ServiceOptions options = vesk::parse_options(argc, argv);
        if (options.show_help) {
            vesk::print_usage(std::cout);
            std::cout.flush();
            return 0;
        }
        install_stop_handlers();
        vesk::platform::ignore_broken_pipe_signal();
        set_stop_signals_blocked(true);
        {
            vesk::LocalService service(to_service_options(options));
            std::cout << "Vesk local service: " << service.base_url() << "\n"
                      << "Jobs directory: " << std::filesystem::absolute(options.jobs_directory).string() << "\n";
            std::cout.flush();
            warn_without_index_page(options.web_directory);
            set_stop_signals_blocked(false);
            while (!stop_requested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            set_stop_signals_blocked(true);
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "vesk-service: " << error.what() << "\n";
        vesk::print_usage(std::cerr);
        return 1;
    }
}
