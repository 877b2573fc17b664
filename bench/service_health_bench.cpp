// GET /health against the service in this process over 127.0.0.1, one request per
// connection as the service speaks it: requests per second and the 99th-percentile
// latency (connect to close) at 1 and 16 concurrent client connections, and at 16 while
// another 2,000 connections stay open without sending anything (each one the service
// closes is opened again at once, so it runs at its connection bound throughout).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/socket.hpp"
#include "service/local_service.hpp"
#include "support/run_process.hpp"
#include "support/service_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

int connect_to(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One whole exchange, given up after 2 s without an answer; false when anything failed.
bool get_health(std::uint16_t port, const std::string& request) {
    const int fd = connect_to(port);
    if (fd < 0) return false;
    const timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    char buffer[4096];
    std::size_t received = 0;
    ssize_t n = 0;
    while (ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        if (received == 0 && std::string_view(buffer, static_cast<std::size_t>(n)).rfind("HTTP/1.1 200 ", 0) != 0) {
            ok = false;
        }
        received += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ok && n == 0 && received > 0;
}

// Keeps `count` connections open that never send a byte, reopening each one the service
// closes.
class IdleConnections {
public:
    IdleConnections(std::uint16_t port, std::size_t count) : port_(port) {
        vesk::platform::raise_open_file_limit();
        for (std::size_t i = 0; i < count; ++i) fds_.push_back(connect_to(port));
        thread_ = std::thread([this] { hold(); });
    }
    ~IdleConnections() {
        done_ = true;
        thread_.join();
        for (int fd : fds_) ::close(fd);
    }

private:
    void hold() {
        std::vector<pollfd> polled(fds_.size());
        while (!done_) {
            for (std::size_t i = 0; i < fds_.size(); ++i) polled[i] = {fds_[i], POLLIN, 0};
            if (::poll(polled.data(), polled.size(), 10) <= 0) continue;
            for (std::size_t i = 0; i < fds_.size(); ++i) {
                if (polled[i].revents == 0) continue;
                ::close(fds_[i]);
                fds_[i] = connect_to(port_);
            }
        }
    }

    std::uint16_t port_;
    std::vector<int> fds_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

void BM_HealthRequests(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const auto idle_count = static_cast<std::size_t>(state.range(1));
    constexpr int kRequestsPerConnection = 20000 / 16;
    const int per_client = connections == 1 ? 5000 : kRequestsPerConnection;
    constexpr auto kWallLimit = std::chrono::seconds(15);  // a starved service ends the run
    vesk::test::TempDir dir("vesk-health-bench");
    vesk::LocalServiceOptions options;
    options.jobs_directory = dir.path() / "jobs";
    options.pdf_page_helper = vesk::test::pdf_page_program();
    options.worker_count = 4;
    vesk::LocalService service(options);
    const std::string url = service.base_url();
    const auto port = static_cast<std::uint16_t>(std::stoul(url.substr(url.rfind(':') + 1)));
    const std::string request = "GET /health HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    std::unique_ptr<IdleConnections> idle;
    if (idle_count > 0) idle = std::make_unique<IdleConnections>(port, idle_count);

    std::vector<double> latencies_us;
    std::size_t failures = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::vector<std::vector<double>> per_thread(static_cast<std::size_t>(connections));
        std::vector<std::size_t> failed(static_cast<std::size_t>(connections), 0);
        const auto start = Clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < connections; ++c) {
            clients.emplace_back([&, c] {
                auto& mine = per_thread[static_cast<std::size_t>(c)];
                mine.reserve(static_cast<std::size_t>(per_client));
                for (int i = 0; i < per_client && Clock::now() - start < kWallLimit; ++i) {
                    const auto begin = Clock::now();
                    if (!get_health(port, request)) ++failed[static_cast<std::size_t>(c)];
                    mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
                }
            });
        }
        for (auto& client : clients) client.join();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        for (auto& mine : per_thread) latencies_us.insert(latencies_us.end(), mine.begin(), mine.end());
        for (std::size_t f : failed) failures += f;
    }
    std::sort(latencies_us.begin(), latencies_us.end());
    const auto at = [&](double q) { return latencies_us[static_cast<std::size_t>(q * (latencies_us.size() - 1))]; };
    state.counters["req_per_s"] = static_cast<double>(latencies_us.size() - failures) / seconds;
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["failed"] = static_cast<double>(failures);
    if (failures > 0) state.SkipWithError("some /health requests failed or went unanswered for 2 s");
}

BENCHMARK(BM_HealthRequests)
    ->ArgNames({"connections", "idle"})
    ->Args({1, 0})
    ->Args({16, 0})
    ->Args({16, 2000})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
