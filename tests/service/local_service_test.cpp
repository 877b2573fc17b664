// The service in this process over real loopback sockets: start and refusals, the health
// and web-file routes, slow, silent and vanishing clients, and concurrent connections.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/local_service.hpp"
#include "service/local_service_impl.hpp"
#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/sanitizers.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vesk::test::http_exchange;
using vesk::test::http_get;
using vesk::test::HttpReply;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kReaderData = fs::path(VESK_SOURCE_DIR) / "tests" / "intake" / "data" / "reader";

std::uint16_t port_of(const vesk::LocalService& service) {
    const std::string url = service.base_url();
    return static_cast<std::uint16_t>(std::stoul(url.substr(url.rfind(':') + 1)));
}

std::string error_code_of(const HttpReply& reply) {
    return nlohmann::json::parse(reply.body).at("error").at("code").get<std::string>();
}

std::string error_message_of(const HttpReply& reply) {
    return nlohmann::json::parse(reply.body).at("error").at("message").get<std::string>();
}

class LocalServiceTest : public ::testing::Test {
protected:
    vesk::LocalServiceOptions options(std::uint64_t workers = 1) const {
        vesk::LocalServiceOptions o;
        o.jobs_directory = dir_.path() / "jobs";
        o.pdf_page_helper = vesk::test::pdf_page_program();
        o.web_directory = dir_.path() / "web";
        o.worker_count = workers;
        return o;
    }
    std::string start_error(const vesk::LocalServiceOptions& o) const {
        try {
            vesk::LocalService service(o);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "started";
    }
    vesk::test::TempDir dir_{"vesk-service"};
};

TEST_F(LocalServiceTest, StartRefusalsLockAndPort) {
    auto o = options();
    o.worker_count = 0;
    EXPECT_EQ(start_error(o), "Local service worker_count must be between 1 and 32");
    o.worker_count = 33;
    EXPECT_EQ(start_error(o), "Local service worker_count must be between 1 and 32");
    o = options();
    o.jobs_directory.clear();
    EXPECT_EQ(start_error(o), "Local service jobs_directory must not be empty");
    o = options();
    o.reader.kind = vesk::ReaderProviderKind::mock;
    EXPECT_EQ(start_error(o), "Mock reader provider requires manifest source and source_root");
    EXPECT_FALSE(fs::exists(o.jobs_directory));  // refused before anything was created

    {
        vesk::LocalService first(options());
        struct stat st {};
        ASSERT_EQ(::stat(options().jobs_directory.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(start_error(options()),
                  "Jobs directory is in use by another service: " + fs::absolute(options().jobs_directory).string());
        o = options();
        o.jobs_directory = dir_.path() / "other";
        o.port = port_of(first);
        EXPECT_EQ(start_error(o), "Cannot bind local service to 127.0.0.1");
        EXPECT_EQ(http_get(port_of(first), "/health").status, 200);
    }
    // Both locks and the port are free again.
    o.port = 0;
    EXPECT_EQ(start_error(options()), "started");
    EXPECT_EQ(start_error(o), "started");
}

TEST_F(LocalServiceTest, HealthForEachProviderAndExactHead) {
    struct Case {
        vesk::ReaderProviderKind kind;
        fs::path source;
        fs::path root;
        std::string name;
    };
    const std::vector<Case> cases = {
        {vesk::ReaderProviderKind::disabled, {}, {}, "disabled"},
        {vesk::ReaderProviderKind::mock, kReaderData / "mock_manifest.json", kReaderData, "mock"},
        {vesk::ReaderProviderKind::file, kReaderData / "responses", {}, "file"},
    };
    for (const Case& c : cases) {
        auto o = options();
        o.reader = {c.kind, c.source, c.root};
        vesk::LocalService service(o);
        const std::uint16_t port = port_of(service);
        const std::string raw = http_exchange(port, "GET /health HTTP/1.1\r\n\r\n");
        const std::string body = "{\n  \"schema_version\": \"vesk-local-health-v1\",\n  \"status\": \"ok\",\n"
                                 "  \"host\": \"127.0.0.1\",\n  \"port\": " +
                                 std::to_string(port) + ",\n  \"reader_provider\": \"" + c.name + "\"\n}\n";
        EXPECT_EQ(raw, "HTTP/1.1 200 OK\r\n"
                       "Content-Type: application/json; charset=utf-8\r\n"
                       "Content-Length: " +
                           std::to_string(body.size()) +
                           "\r\n"
                           "Cache-Control: no-store\r\n"
                           "X-Content-Type-Options: nosniff\r\n"
                           "Referrer-Policy: no-referrer\r\n"
                           "Content-Security-Policy: default-src 'self'; img-src 'self' blob: data:; "
                           "style-src 'self'; script-src 'self'; object-src 'none'; base-uri 'none'; "
                           "frame-ancestors 'none'\r\n"
                           "Connection: close\r\n\r\n" +
                           body);
    }
}

TEST_F(LocalServiceTest, WebFilesRoutesAndBadRequests) {
    fs::create_directories(options().web_directory);
    vesk::test::write_file(options().web_directory / "styles.css", "body{}");
    vesk::test::write_file(options().web_directory / "app.js", "let a;");
    fs::create_directory(options().web_directory / "index.html");  // a directory, not a file
    vesk::LocalService service(options());
    const std::uint16_t port = port_of(service);

    HttpReply reply = http_get(port, "/styles.css");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["content-type"], "text/css; charset=utf-8");
    EXPECT_EQ(reply.body, "body{}");
    reply = http_get(port, "/app.js");
    EXPECT_EQ(reply.headers["content-type"], "text/javascript; charset=utf-8");
    EXPECT_EQ(reply.body, "let a;");
    reply = http_get(port, "/");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(error_code_of(reply), "web_file_read_failed");
    EXPECT_EQ(error_message_of(reply),
              "Cannot read local service artifact: " + (options().web_directory / "index.html").string());
    fs::remove(options().web_directory / "index.html");
    reply = http_get(port, "/index.html");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(error_message_of(reply),
              "Cannot open local service artifact: " + (options().web_directory / "index.html").string());
    vesk::test::write_file(options().web_directory / "index.html", "<p>\xc3\xa9</p>");
    for (const std::string target : {"/", "/index.html"}) {
        reply = http_get(port, target);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.headers["content-type"], "text/html; charset=utf-8");
        EXPECT_EQ(reply.body, "<p>\xc3\xa9</p>");
    }

    struct Case {
        std::string request;
        int status;
        std::string code;
    };
    const std::vector<Case> cases = {
        {"GET /index.html?x=1 HTTP/1.1\r\n\r\n", 404, "not_found"},
        {"PUT /health HTTP/1.1\r\n\r\n", 404, "not_found"},
        {"DELETE / HTTP/1.1\r\n\r\n", 404, "not_found"},
        {"get /health HTTP/1.1\r\n\r\n", 404, "not_found"},
        {"GET /api/jobs HTTP/1.1\r\n\r\n", 404, "not_found"},
        {"GET /health HTTP/1.0\r\n\r\n", 400, "invalid_http_request"},
        {"GET /health HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n", 400, "invalid_http_request"},
        {"POST /api/jobs HTTP/1.1\r\nContent-Type: application/jsonx\r\nContent-Length: 2\r\n\r\n{}", 415,
         "unsupported_media_type"},
    };
    for (const Case& c : cases) {
        reply = vesk::test::parse_http_reply(http_exchange(port, c.request));
        EXPECT_EQ(reply.status, c.status) << c.request;
        EXPECT_EQ(error_code_of(reply), c.code) << c.request;
    }
    reply = vesk::test::parse_http_reply(http_exchange(port, "GET / HTTP/1.1 x\r\n\r\n"));
    EXPECT_EQ(error_message_of(reply), "HTTP request line contains extra fields");
    // Oversized headers still get their answer (the rest of the request is drained).
    reply = vesk::test::parse_http_reply(
        http_exchange(port, "GET / HTTP/1.1\r\nX: " + std::string(100000, 'a') + "\r\n\r\n"));
    EXPECT_EQ(error_message_of(reply), "HTTP headers exceed 32 KiB");

    auto o = options();
    o.web_directory.clear();
    o.jobs_directory = dir_.path() / "jobs2";
    vesk::LocalService without_web(o);
    reply = http_get(port_of(without_web), "/");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(error_code_of(reply), "web_ui_unavailable");
}

// A page elsewhere reaches 127.0.0.1 under its own name (DNS rebinding) or posts from its
// own origin: refused before any route. Local tools without a Host are served.
TEST_F(LocalServiceTest, HostAndOriginMustNameThisService) {
    vesk::LocalService service(options());
    const std::uint16_t port = port_of(service);
    const std::string p = std::to_string(port);
    const std::string other = std::to_string(port == 65535 ? 1 : port + 1);
    const std::string host_refused = "Host header must name this service: 127.0.0.1:" + p;
    const std::string origin_refused = "Origin must be this service: http://127.0.0.1:" + p;
    const std::string job = "POST /api/jobs HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 2\r\n";
    struct Case {
        std::string request;  // completed by the empty line and, for a POST, its body "[]"
        int status;
        std::string message;  // of the error document; empty for 200
    };
    const std::string not_object = "Job body must be an object";
    const std::vector<Case> cases = {
        {"GET /health HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n", 200, ""},
        {"GET /health HTTP/1.1\r\nHost: LocalHost:" + p + "\r\n", 200, ""},
        {"GET /health HTTP/1.1\r\n", 200, ""},
        {"GET /health HTTP/1.1\r\nOrigin: http://evil.example\r\n", 200, ""},
        {"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n", 403, host_refused},
        {"GET /health HTTP/1.1\r\nHost: localhost:" + other + "\r\n", 403, host_refused},
        {"GET /health HTTP/1.1\r\nHost: rebound.example:" + p + "\r\n", 403, host_refused},
        {"GET /health HTTP/1.1\r\nHost: 127.0.0.1:" + p + ".evil\r\n", 403, host_refused},
        {"GET /health HTTP/1.1\r\nHost:\r\n", 403, host_refused},
        {"GET / HTTP/1.1\r\nHost: rebound.example\r\n", 403, host_refused},
        {"GET /nowhere HTTP/1.1\r\nHost: rebound.example\r\n", 403, host_refused},
        {job, 400, not_object},
        {job + "Origin: http://127.0.0.1:" + p + "\r\n", 400, not_object},
        {job + "Origin: HTTP://localhost:" + p + "\r\n", 400, not_object},
        {job + "Origin: http://evil.example\r\n", 403, origin_refused},
        {job + "Origin: null\r\n", 403, origin_refused},
        {job + "Origin: https://127.0.0.1:" + p + "\r\n", 403, origin_refused},
        {job + "Origin: http://127.0.0.1:" + other + "\r\n", 403, origin_refused},
        {job + "Origin: http://127.0.0.1\r\n", 403, origin_refused},
        {job + "Host: rebound.example\r\nOrigin: http://127.0.0.1:" + p + "\r\n", 403, host_refused},
    };
    for (const Case& c : cases) {
        const bool post = c.request.rfind("POST", 0) == 0;
        const HttpReply reply =
            vesk::test::parse_http_reply(http_exchange(port, c.request + "\r\n" + (post ? "[]" : "")));
        EXPECT_EQ(reply.status, c.status) << c.request;
        if (c.status == 200) continue;
        EXPECT_EQ(error_message_of(reply), c.message) << c.request;
        if (c.status == 403) {
            EXPECT_EQ(reply.head.substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
            EXPECT_EQ(error_code_of(reply), c.message == host_refused ? "forbidden_host" : "forbidden_origin");
        }
    }
}

TEST_F(LocalServiceTest, SlowSilentAndVanishingClients) {
    auto o = options(1);  // four handlers
    o.request_deadline = 1500ms;
    vesk::LocalService service(o);
    const std::uint16_t port = port_of(service);

    // One byte per send, with a pause so that each arrives on its own.
    {
        const int fd = vesk::test::connect_to_loopback(port);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (char c : "GET /health HTTP/1.1\r\n" + vesk::test::host_header(port) + "\r\n") {
            ASSERT_EQ(::send(fd, &c, 1, MSG_NOSIGNAL), 1);
            std::this_thread::sleep_for(1ms);
        }
        std::string raw;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        EXPECT_EQ(vesk::test::parse_http_reply(raw).status, 200);
    }

    // Peers that vanish: before sending, halfway through the head, and without reading.
    for (const std::string partial : {"", "GET /hea", "GET /health HTTP/1.1\r\n\r\n"}) {
        const int fd = vesk::test::connect_to_loopback(port);
        if (!partial.empty()) ::send(fd, partial.data(), partial.size(), MSG_NOSIGNAL);
        const linger reset{1, 0};  // close with a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }

    // Three silent clients hold three handlers; the fourth still answers at once.
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(vesk::test::connect_to_loopback(port));
    std::this_thread::sleep_for(50ms);
    auto started = Clock::now();
    EXPECT_EQ(http_get(port, "/health").status, 200);
    EXPECT_LT(Clock::now() - started, 1s);
    for (int fd : silent) ::close(fd);

    // Four clients trickle one byte per 100 ms (well inside the per-call time-out), as many
    // as there are handlers: health is still answered at once, and each trickler is cut at
    // the whole-request deadline.
    started = Clock::now();
    std::vector<std::string> answers(4);
    std::vector<Clock::duration> cut_after(4);
    std::vector<std::thread> trickles;
    for (int t = 0; t < 4; ++t) {
        trickles.emplace_back([&, t] {
            const int fd = vesk::test::connect_to_loopback(port);
            const std::string head = "GET /health HTTP/1.1\r\nX-Slow: " + std::string(1000, 'a');
            for (char c : head) {
                if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) > 0) break;  // answered: the service cut this client
            }
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                answers[t].append(buffer, static_cast<std::size_t>(n));
            }
            cut_after[t] = Clock::now() - started;
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(200ms);
    const auto probe = Clock::now();
    const HttpReply health = http_get(port, "/health");
    const auto health_took = Clock::now() - probe;
    for (auto& trickle : trickles) trickle.join();
    EXPECT_EQ(health.status, 200);
    EXPECT_LT(health_took, 1s);
    for (int t = 0; t < 4; ++t) {
        EXPECT_GE(cut_after[t], o.request_deadline - 100ms);
        EXPECT_LT(cut_after[t], o.request_deadline + 2s);
        EXPECT_EQ(error_message_of(vesk::test::parse_http_reply(answers[t])), "HTTP request ended before its headers");
    }
}

// Clients that ask for a large answer and read none of it, as many as there are handlers,
// hold no handler; one that reads, but too slowly, is cut at the answer's deadline.
TEST_F(LocalServiceTest, SlowReadersOfLargeAnswers) {
    fs::create_directories(options().web_directory);
    constexpr std::size_t kSize = 16 << 20;  // well past the socket buffers of both ends
    vesk::test::write_file(options().web_directory / "app.js", std::string(kSize, 'a'));
    auto o = options(1);  // four handlers
    o.request_deadline = 1500ms;
    vesk::LocalService service(o);
    const std::uint16_t port = port_of(service);
    const auto ask = [&] {
        const int fd = vesk::test::connect_to_loopback(port);
        const int small = 4096;  // no autotuning: the answer cannot hide in this buffer
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const std::string request = "GET /app.js HTTP/1.1\r\n" + vesk::test::host_header(port) + "\r\n";
        EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        return fd;
    };
    std::vector<int> stalled;
    for (int i = 0; i < 4; ++i) stalled.push_back(ask());
    const int slow = ask();
    std::this_thread::sleep_for(300ms);
    const auto probe = Clock::now();
    EXPECT_EQ(vesk::test::parse_http_reply(http_exchange(port, "GET /health HTTP/1.1\r\n\r\n", 2s)).status, 200);
    if (!vesk::test::kSanitized) {
        EXPECT_LT(Clock::now() - probe, 1s);
    }

    // 4 KiB every 50 ms: always progressing, so only the answer's deadline can end it, and
    // never finishing in time. However loaded the machine, the cut comes, and before the end.
    std::size_t received = 0;
    ssize_t n = 1;
    char buffer[4096];
    for (const auto give_up = Clock::now() + 60s; n > 0 && Clock::now() < give_up; std::this_thread::sleep_for(50ms)) {
        n = ::recv(slow, buffer, sizeof buffer, 0);
        if (n > 0) received += static_cast<std::size_t>(n);
    }
    EXPECT_LE(n, 0) << "not cut";
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, kSize);
    ::close(slow);
    for (int fd : stalled) ::close(fd);
}

// 100 construct-serve-destroy cycles while clients hammer the service: the destructor
// never hangs (a stop flag set outside its mutex would let a waiter sleep through it).
TEST_F(LocalServiceTest, HundredStopsUnderLoad) {
    for (int cycle = 0; cycle < 100; ++cycle) {
        auto service = std::make_unique<vesk::LocalService>(options(1 + cycle % 3));
        const std::uint16_t port = port_of(*service);
        std::atomic<bool> done{false};
        std::vector<std::thread> load;
        for (int c = 0; c < 3; ++c) {
            load.emplace_back([&] {
                while (!done) {
                    try {
                        http_exchange(port, "GET /health HTTP/1.1\r\n\r\n", 500ms);
                    } catch (const std::exception&) {
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 5));
        const auto started = Clock::now();
        service.reset();
        const auto took = Clock::now() - started;
        done = true;
        for (auto& thread : load) thread.join();
        ASSERT_LT(took, 2s) << "cycle " << cycle;
    }
}

TEST_F(LocalServiceTest, SixtyConcurrentConnections) {
    vesk::LocalService service(options(4));
    const std::uint16_t port = port_of(service);
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 60; ++i) {
        clients.emplace_back([&] {
            if (http_get(port, "/health").status == 200) ++ok;
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(ok.load(), 60);
    EXPECT_EQ(vesk::connection_handler_count(1), 4u);
    EXPECT_EQ(vesk::connection_handler_count(3), 6u);
    EXPECT_EQ(vesk::connection_handler_count(16), 32u);
    EXPECT_EQ(vesk::connection_handler_count(32), 32u);
}

}  // namespace
