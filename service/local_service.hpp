// The running local job service: one object owns the HTTP server (its I/O thread and
// connection handlers) and the job workers, and stops and joins them all when it goes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "intake/reader_provider.hpp"

namespace vesk {

// The longest wait for a client's next bytes, receiving or sending.
inline constexpr std::chrono::milliseconds kSocketTimeout{5000};
// Whole-request deadline from accept: a client trickling one byte per time-out is cut
// here. Sending the answer gets the same time again.
inline constexpr std::chrono::milliseconds kRequestDeadline{30000};
// Open connections at most (fewer when the descriptor limit is low: a third of it).
inline constexpr std::size_t kMaxOpenConnections = 1024;
inline constexpr std::uint64_t kMaxWorkerCount = 32;
inline constexpr std::size_t kMaxConnectionHandlers = 32;

struct LocalServiceOptions {
    std::filesystem::path jobs_directory;
    std::uint16_t port = 0;
    std::filesystem::path web_directory;
    std::uint64_t worker_count = 4;
    ReaderProviderSettings reader;
    std::chrono::milliseconds request_deadline = kRequestDeadline;
    // The vesk-pdf-page program that does the pilot's PDF page work; it must be executable.
    std::filesystem::path pdf_page_helper;
};

class LocalService {
public:
    // Validates the options, takes the jobs directory, binds 127.0.0.1:port and starts
    // every thread. Throws std::invalid_argument for bad options and std::runtime_error
    // for a failed start; whatever had started is stopped again first.
    explicit LocalService(LocalServiceOptions options);
    // Ends the running PDF page work, stops accepting, answers the requests already
    // complete, lets the workers finish the queued jobs, and joins every thread. Never throws.
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    // "http://127.0.0.1:" + the port really bound.
    std::string base_url() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vesk
