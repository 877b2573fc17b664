// The real vesk-service program: start-up lines through a pipe, option refusals, stop
// signals under load, and a second service on a busy port or jobs directory.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket.hpp"
#include "service/local_service.hpp"
#include "support/drawing_generator.hpp"
#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/sanitizers.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vesk::test::ServiceProcess;

namespace {

const std::string kUsage =
    "Usage: vesk-service [--port <0-65535>] [--jobs-dir <directory>] [--web-dir <directory>] [--workers <1-32>] "
    "[--reader-provider <disabled|mock|file|embedded>] [--reader-source <path>] [--reader-source-root <directory>]\n";

vesk::test::ProcessOutput run(const std::vector<std::string>& args, const fs::path& cwd) {
    return vesk::test::run_process(vesk::test::service_program(), args, cwd);
}

// A web directory without index.html (the default "web" away from the repository root, or
// a wrong --web-dir) is named in one line on standard error; standard output is unchanged.
TEST(ServiceProgram, StartUpLinesHealthAndOrderlyStop) {
    vesk::test::TempDir dir("vesk-program");
    fs::create_directory(dir.path() / "site");
    vesk::test::write_file(dir.path() / "site" / "index.html", "<!doctype html>\n");
    const auto warning = [&](const std::string& web) {
        return "vesk-service: warning: no index.html in web directory " + (dir.path() / web).string() +
               "; the page will not load (start from the repository root or pass --web-dir)\n";
    };
    struct Case {
        std::string port;
        std::vector<std::string> web;
        std::string error_output;
    };
    for (const Case& c : std::vector<Case>{{"0", {}, warning("web")},
                                           {"+0", {"--web-dir", "jobs"}, warning("jobs")},
                                           {"00", {"--web-dir", "site"}, ""}}) {
        std::vector<std::string> args = {"--jobs-dir", "jobs", "--port", c.port, "--workers", "2"};
        args.insert(args.end(), c.web.begin(), c.web.end());
        ServiceProcess service(args, dir.path());
        const std::uint16_t bound = service.wait_until_serving();
        ASSERT_NE(bound, 0) << service.error_output();
        ASSERT_EQ(service.lines().size(), 2u);
        EXPECT_EQ(service.lines()[0], "Vesk local service: http://127.0.0.1:" + std::to_string(bound));
        EXPECT_EQ(service.lines()[1], "Jobs directory: " + (dir.path() / "jobs").string());
        EXPECT_EQ(vesk::test::http_get(bound, "/health").status, 200);
        EXPECT_EQ(vesk::test::http_get(bound, "/").status, c.error_output.empty() ? 200 : 500);
        service.send_signal(c.port == "0" ? SIGINT : SIGTERM);
        EXPECT_EQ(service.wait(2s), 0);
        EXPECT_EQ(service.remaining_output(), "");
        EXPECT_EQ(service.error_output(), c.error_output);
    }
}

TEST(ServiceProgram, HelpAndOptionRefusals) {
    vesk::test::TempDir dir("vesk-program");
    const std::vector<std::vector<std::string>> help = {
        {"--help"}, {"--port", "0", "--help"}, {"--workers", "3", "--jobs-dir", "j", "--help", "--bogus"}};
    for (const auto& args : help) {
        const auto result = run(args, dir.path());
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.out, kUsage);
        EXPECT_EQ(result.err, "");
    }
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string port = "port must be an integer from 0 through 65535";
    const std::string workers = "worker count must be an integer from 1 to 32";
    const std::vector<Case> cases = {
        {{"--port", "65536"}, port},
        {{"--port", "80x"}, port},
        {{"--port", ""}, port},
        {{"--port", "18446744073709551616"}, port},
        {{"--port", "-1"}, port},
        {{"--port", "--help"}, port},
        {{"--workers", "0"}, workers},
        {{"--workers", "33"}, workers},
        {{"--port"}, "option '--port' requires a value"},
        {{"--port", "0", "--bogus"}, "option '--bogus' requires a value"},
        {{"--bogus", "1"}, "unknown option '--bogus'"},
        {{"--jobs-dir", ""}, "jobs directory must not be empty"},
        {{"--web-dir", ""}, "web directory must not be empty"},
        {{"--reader-source", ""}, "reader source must not be empty"},
        {{"--reader-source-root", ""}, "reader source root must not be empty"},
        {{"--reader-provider", "Mock"}, "Unknown reader provider kind 'Mock'"},
        {{"--port", "0", "--reader-provider", "mock"}, "Mock reader provider requires manifest source and source_root"},
    };
    // Each run starts the whole program; they run side by side.
    std::vector<std::future<vesk::test::ProcessOutput>> runs;
    for (const Case& c : cases) runs.push_back(std::async(std::launch::async, run, c.args, dir.path()));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const auto result = runs[i].get();
        EXPECT_EQ(result.exit_code, 1) << c.message;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "vesk-service: " + c.message + "\n" + kUsage);
    }
}

TEST(ServiceProgram, SecondServiceOnBusyPortOrJobsDirectory) {
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess first({"--port", "0", "--jobs-dir", "a"}, dir.path());
    const std::uint16_t port = first.wait_until_serving();
    ASSERT_NE(port, 0);
    auto result = run({"--port", std::to_string(port), "--jobs-dir", "b"}, dir.path());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "vesk-service: Cannot bind local service to 127.0.0.1\n" + kUsage);
    result = run({"--port", "0", "--jobs-dir", "a"}, dir.path());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err,
              "vesk-service: Jobs directory is in use by another service: " + (dir.path() / "a").string() + "\n" + kUsage);
    EXPECT_EQ(result.out, "");

    // Restart on the same port right after traffic: TIME_WAIT does not block the bind.
    for (int i = 0; i < 50; ++i) ASSERT_EQ(vesk::test::http_get(port, "/health").status, 200);
    first.send_signal(SIGTERM);
    ASSERT_EQ(first.wait(2s), 0);
    ServiceProcess again({"--port", std::to_string(port), "--jobs-dir", "a"}, dir.path());
    EXPECT_EQ(again.wait_until_serving(), port) << again.error_output();
    EXPECT_EQ(vesk::test::http_get(port, "/health").status, 200);
}

// Paths in the jobs directory reach persisted messages and answers, which are UTF-8: a
// directory whose path is not is refused at start.
TEST(ServiceProgram, JobsDirectoryPathMustBeUtf8) {
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess service({"--port", "0", "--jobs-dir", "jobs\xff"}, dir.path());
    EXPECT_EQ(service.wait(10s), 1);
    EXPECT_EQ(service.error_output(), "vesk-service: Jobs directory path must be valid UTF-8\n" + kUsage);
    EXPECT_FALSE(fs::exists(dir.path() / "jobs\xff"));
}

// Start-and-stop cycles of the program in two lanes, each stopped by SIGINT or SIGTERM
// while clients hammer it; every one must end with code 0 within 2 s. (The service's own
// stop runs 100 times under load in local_service_test.)
TEST(ServiceProgram, StopSignalsUnderLoadNeverHang) {
    vesk::test::TempDir dir("vesk-program");
    constexpr int kLanes = 2;
    constexpr int kCyclesPerLane = 6;
    std::vector<std::string> failures(kLanes);
    std::vector<std::thread> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        lanes.emplace_back([&, lane] {
            const std::string jobs = "jobs" + std::to_string(lane);
            for (int cycle = 0; cycle < kCyclesPerLane && failures[lane].empty(); ++cycle) {
                ServiceProcess service({"--port", "0", "--jobs-dir", jobs, "--workers", "1"}, dir.path());
                const std::uint16_t port = service.wait_until_serving();
                if (port == 0) {
                    failures[lane] = "no start-up lines: " + service.error_output();
                    break;
                }
                std::atomic<bool> done{false};
                std::thread load([&] {
                    while (!done) {
                        try {
                            vesk::test::http_exchange(port, "GET /health HTTP/1.1\r\n\r\n", 500ms);
                        } catch (const std::exception&) {
                        }
                    }
                });
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + 5 * (cycle % 4)));
                service.send_signal(cycle % 2 == 0 ? SIGINT : SIGTERM);
                const std::optional<int> code = service.wait(2s);
                done = true;
                load.join();
                if (code != 0) {
                    failures[lane] = "cycle " + std::to_string(cycle) + " ended with " +
                                     (code ? std::to_string(*code) : std::string("no exit within 2 s"));
                }
            }
        });
    }
    for (auto& lane : lanes) lane.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
}

// 2,000 connections that send nothing and 16 that trickle a byte every half second: the
// oldest idle ones are closed to keep the connection bound, /health answers every probe at
// once (also when the idle ones time out together), a plate job is accepted and completes,
// and SIGTERM still stops the service at once.
TEST(ServiceProgram, IdleAndTricklingClientsCannotStarveIt) {
    vesk::platform::raise_open_file_limit();  // this process holds the 2,016 client sockets
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    std::vector<int> idle;
    std::vector<int> trickling;
    for (int i = 0; i < 2000; ++i) idle.push_back(vesk::test::connect_to_loopback(port));
    for (int i = 0; i < 16; ++i) trickling.push_back(vesk::test::connect_to_loopback(port));
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const std::string head = "GET /health HTTP/1.1\r\nX-Slow: ";
        for (std::size_t i = 0; !done; ++i) {
            const char c = i < head.size() ? head[i] : 'a';
            for (int fd : trickling) ::send(fd, &c, 1, MSG_NOSIGNAL);
            for (int k = 0; k < 50 && !done; ++k) std::this_thread::sleep_for(10ms);
        }
    });

    const auto closed_by_service = [&] {
        std::vector<pollfd> polled;
        for (int fd : idle) polled.push_back({fd, POLLIN, 0});
        ::poll(polled.data(), polled.size(), 0);
        return std::count_if(polled.begin(), polled.end(), [](const pollfd& p) { return p.revents != 0; });
    };
    const auto evicted = static_cast<long>(idle.size() + trickling.size() - vesk::kMaxOpenConnections);
    const auto started = std::chrono::steady_clock::now();
    while (closed_by_service() < evicted && std::chrono::steady_clock::now() - started < 3s) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(closed_by_service(), evicted);

    // Probes for 7 s: past the 5 s at which the idle connections are answered and closed.
    std::chrono::steady_clock::duration slowest{};
    int answered = 0;
    int probes = 0;
    for (; std::chrono::steady_clock::now() - started < 7s; ++probes) {
        const auto probe = std::chrono::steady_clock::now();
        const std::string request = "GET /health HTTP/1.1\r\n" + vesk::test::host_header(port) + "\r\n";
        if (vesk::test::parse_http_reply(vesk::test::http_exchange(port, request, 2s)).status == 200) ++answered;
        slowest = std::max(slowest, std::chrono::steady_clock::now() - probe);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(answered, probes);
    EXPECT_LT(slowest, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";

    const auto submitted =
        vesk::test::http_post(port, "/api/jobs", vesk::test::example_job_body("plate_with_holes.json", "plate"));
    EXPECT_EQ(submitted.status, 202) << submitted.body;
    if (submitted.status == 202) {
        const std::string job_id = nlohmann::json::parse(submitted.body).at("job_id");
        EXPECT_EQ(vesk::test::wait_for_job_end(port, job_id).at("status"), "completed");
    }
    done = true;
    trickle.join();
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(2s), 0);
    for (int fd : idle) ::close(fd);
    for (int fd : trickling) ::close(fd);
}

// Resident memory of a process in MiB, from /proc: now ("VmRSS:") or at its peak ("VmHWM:").
double memory_mib(pid_t pid, const std::string& key = "VmRSS:") {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) / 1024.0;
    }
    return 0;
}

// Kills the service once its resident memory passes `limit_mib`: a service that holds each
// answer whole would otherwise take the machine's memory. Records the most it saw.
class MemoryGuard {
public:
    MemoryGuard(const ServiceProcess& service, double limit_mib)
        : thread_([this, &service, limit_mib] {
              while (!done_) {
                  const double now = memory_mib(service.pid());
                  most_ = std::max(most_.load(), now);
                  if (now > limit_mib) service.send_signal(SIGKILL);
                  std::this_thread::sleep_for(2ms);
              }
          }) {}
    ~MemoryGuard() { stop(); }
    double stop() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        return most_;
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<double> most_{0};
    std::thread thread_;
};

std::string job_id_of(const vesk::test::HttpReply& reply) {
    return nlohmann::json::parse(reply.body).at("job_id").get<std::string>();
}

// One exchange and how long it took.
std::pair<vesk::test::HttpReply, std::chrono::steady_clock::duration> timed(const std::function<vesk::test::HttpReply()>& exchange) {
    const auto started = std::chrono::steady_clock::now();
    vesk::test::HttpReply reply = exchange();
    return {std::move(reply), std::chrono::steady_clock::now() - started};
}

// 24 clients upload 32 MiB bodies at once and never send the last byte: the service reads
// only as many as its four handlers could route (and the first 64 KiB of the others), so its
// memory stays bounded, and a later large upload waits unread until the others are gone,
// then is answered. The clients send until the service stops taking bytes, however long a
// loaded machine takes to get there.
TEST(ServiceProgram, LargeUploadsShareABoundedBudget) {
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const double before = memory_mib(service.pid());
    const std::string head = "POST /api/jobs HTTP/1.1\r\n" + vesk::test::host_header(port) +
                             "Content-Type: application/json\r\nContent-Length: 33554432\r\n\r\n";
    constexpr std::size_t kAllButOne = (32 << 20) - 1;
    const std::string spaces(1 << 20, ' ');
    std::vector<int> uploads;
    std::vector<std::size_t> sent(24, 0);
    for (int i = 0; i < 24; ++i) {
        uploads.push_back(vesk::test::connect_to_loopback(port));
        ASSERT_EQ(::send(uploads.back(), head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    }
    auto last_progress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - last_progress < 2s) {
        bool moved = false;
        for (std::size_t i = 0; i < uploads.size(); ++i) {
            const std::size_t want = std::min(spaces.size(), kAllButOne - sent[i]);
            const ssize_t n = want == 0 ? 0 : ::send(uploads[i], spaces.data(), want, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent[i] += static_cast<std::size_t>(n);
            moved = moved || n > 0;
        }
        if (moved) last_progress = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(std::count(sent.begin(), sent.end(), kAllButOne), 4);
    if (!vesk::test::kSanitized) {
        EXPECT_LT(memory_mib(service.pid()) - before, 4 * 32 + 64);
    }
    EXPECT_EQ(vesk::test::http_get(port, "/health").status, 200);

    auto late = std::async(std::launch::async, [&] {
        return vesk::test::parse_http_reply(vesk::test::http_exchange(
            port,
            "POST /api/jobs HTTP/1.1\r\n" + vesk::test::host_header(port) +
                "Content-Type: application/json\r\nContent-Length: 1048576\r\n\r\n" + std::string((1 << 20) - 2, ' ') + "[]",
            60s));
    });
    EXPECT_EQ(late.wait_for(500ms), std::future_status::timeout);
    for (int fd : uploads) ::close(fd);
    ASSERT_EQ(late.wait_for(60s), std::future_status::ready);
    const auto reply = late.get();
    EXPECT_EQ(reply.status, 400);
    EXPECT_NE(reply.body.find("Job body must be an object"), std::string::npos) << reply.body;
}

// 1,000 clients ask for a completed job's 20 MiB source.png and read nothing: the file goes
// out from disk as each socket drains, so the service's memory does not grow with them, and
// /health answers every probe within a second meanwhile. A reader that reads gets it whole.
TEST(ServiceProgram, SlowReadersOfALargeJobFileHoldNoMemory) {
    // The service opens a third of its descriptors to connections (each may hold a file).
    const std::size_t clients = std::min<std::size_t>(1000, vesk::platform::raise_open_file_limit() / 3 - 16);
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const std::string png = std::string(vesk::test::kPngSignature) + std::string(20 << 20, 'p');
    const auto submitted = vesk::test::http_post(
        port, "/api/jobs", vesk::test::graph_job_body(vesk::test::example_graph("plate_with_holes.json"), "plate", png),
        "application/json", 120s);
    ASSERT_EQ(submitted.status, 202) << submitted.body;
    const std::string job_id = job_id_of(submitted);
    ASSERT_EQ(vesk::test::wait_for_job_end(port, job_id).at("status"), "completed");
    const std::string target = "/api/jobs/" + job_id + "/files/source.png";

    const double before = memory_mib(service.pid());
    MemoryGuard guard(service, before + 1024);
    const std::string request = "GET " + target + " HTTP/1.1\r\n" + vesk::test::host_header(port) + "\r\n";
    std::vector<int> readers;
    for (std::size_t i = 0; i < clients; ++i) {
        readers.push_back(vesk::test::connect_to_loopback(port));
        const int small = 4096;  // the answer cannot hide in this client's buffer
        ::setsockopt(readers.back(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::send(readers.back(), request.data(), request.size(), MSG_NOSIGNAL);
    }
    std::chrono::steady_clock::duration slowest{};
    for (int probe = 0; probe < 10; ++probe) {
        const auto [health, took] = timed([&] { return vesk::test::http_get(port, "/health", 2s); });
        EXPECT_EQ(health.status, 200);
        slowest = std::max(slowest, took);
        std::this_thread::sleep_for(100ms);
    }
    const double peak = std::max(guard.stop(), memory_mib(service.pid(), "VmHWM:")) - before;
    if (!vesk::test::kSanitized) {
        EXPECT_LT(peak, 512) << "MiB above " << before << " MiB with " << readers.size() << " slow readers";
        EXPECT_LT(slowest, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
    }
    for (int fd : readers) ::close(fd);
    const auto whole = vesk::test::parse_http_reply(vesk::test::http_exchange(port, request, 60s));
    EXPECT_EQ(whole.headers.at("content-type"), "image/png");
    EXPECT_TRUE(whole.body == png) << whole.body.size() << " bytes";
}

// 16 clients declare 32 MiB bodies and send a byte a second, four times the room of the
// body budget: they never send the 64 KiB at which a body takes room, so a real upload of
// 400 KiB is not delayed by them.
TEST(ServiceProgram, TricklingDeclaredBodiesDoNotDelayAnUpload) {
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const std::string body = vesk::test::graph_job_body(vesk::test::example_graph("plate_with_holes.json"), "plate",
                                                        std::string(vesk::test::kPngSignature) + std::string(300 << 10, 'p'));
    const auto upload = [&] { return vesk::test::http_post(port, "/api/jobs", body, "application/json", 60s); };
    const auto [alone, alone_took] = timed(upload);
    EXPECT_EQ(alone.status, 202) << alone.body;

    const std::string head = "POST /api/jobs HTTP/1.1\r\n" + vesk::test::host_header(port) +
                             "Content-Type: application/json\r\nContent-Length: 33554432\r\n\r\n";
    std::vector<int> trickling;
    for (int i = 0; i < 16; ++i) {
        trickling.push_back(vesk::test::connect_to_loopback(port));
        ::send(trickling.back(), head.data(), head.size(), MSG_NOSIGNAL);
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (int fd : trickling) ::send(fd, " ", 1, MSG_NOSIGNAL);
            for (int k = 0; k < 100 && !done; ++k) std::this_thread::sleep_for(10ms);
        }
    });
    std::this_thread::sleep_for(1500ms);
    const auto [beside, beside_took] = timed(upload);
    done = true;
    trickle.join();
    for (int fd : trickling) ::close(fd);
    EXPECT_EQ(beside.status, 202) << beside.body;
    EXPECT_LT(beside_took, alone_took + 2s)
        << std::chrono::duration_cast<std::chrono::milliseconds>(beside_took).count() << " ms beside the trickling bodies, "
        << std::chrono::duration_cast<std::chrono::milliseconds>(alone_took).count() << " ms alone";
}

// Nine uploads of an 8192 x 8191 drawing through the file reader provider, each of which
// runs the reader and the binding for seconds, while a client polls a job's status: every
// status answers within 2 s and every /health within 1 s.
TEST(ServiceProgram, DrawingUploadsLeaveStatusAndHealthAnswering) {
    vesk::test::TempDir dir("vesk-program");
    ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1", "--reader-provider", "file",
                            "--reader-source", (fs::path(VESK_SOURCE_DIR) / "examples" / "reader").string()},
                           dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const auto submitted = vesk::test::http_post(port, "/api/jobs", vesk::test::example_job_body("plate_with_holes.json", "plate"));
    ASSERT_EQ(submitted.status, 202) << submitted.body;
    const std::string job_id = job_id_of(submitted);

    nlohmann::json drawing = nlohmann::json::parse(vesk::test::graph_job_body(
        nlohmann::json(), "plate_with_holes", vesk::test::blank_png(8192, 8191)));
    drawing.erase("graph");
    drawing["declared_dpi"] = 300;
    const std::string request = "POST /api/jobs HTTP/1.1\r\n" + vesk::test::host_header(port) +
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(drawing.dump().size()) + "\r\n\r\n" + drawing.dump();
    std::vector<std::future<vesk::test::HttpReply>> uploads;
    for (int i = 0; i < (vesk::test::kSanitized ? 3 : 9); ++i) {
        uploads.push_back(std::async(std::launch::async, [&] {
            return vesk::test::parse_http_reply(vesk::test::http_exchange(port, request, 600s));
        }));
    }
    std::chrono::steady_clock::duration slowest_status{};
    std::chrono::steady_clock::duration slowest_health{};
    const auto all_answered = [&] {
        return std::all_of(uploads.begin(), uploads.end(), [](auto& u) { return u.wait_for(0s) == std::future_status::ready; });
    };
    int polls = 0;
    for (; !all_answered(); ++polls) {
        const auto [status, status_took] = timed([&] { return vesk::test::http_get(port, "/api/jobs/" + job_id); });
        const auto [health, health_took] = timed([&] { return vesk::test::http_get(port, "/health"); });
        EXPECT_EQ(status.status, 200);
        EXPECT_EQ(health.status, 200);
        slowest_status = std::max(slowest_status, status_took);
        slowest_health = std::max(slowest_health, health_took);
        std::this_thread::sleep_for(50ms);
    }
    for (auto& upload : uploads) {
        const auto reply = upload.get();
        EXPECT_TRUE(reply.status == 202 || reply.status == 400) << reply.head << reply.body;
    }
    EXPECT_GT(polls, 0);
    if (!vesk::test::kSanitized) {
        EXPECT_LT(slowest_status, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(slowest_status).count() << " ms";
        EXPECT_LT(slowest_health, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(slowest_health).count() << " ms";
    }
}

}  // namespace
