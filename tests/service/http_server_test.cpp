// The HTTP server alone over real loopback sockets, with bounds small enough to reach.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/http_server.hpp"
#include "support/http_client.hpp"
#include "support/run_process.hpp"

namespace {

using namespace std::chrono_literals;

bool closed_by_server(int fd) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, 2000) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

bool still_open(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// At the bound a new connection is served, and room is made by closing, oldest first, one
// without its headers, else one still sending its body.
TEST(HttpServer, AtTheBoundTheOldestUnfinishedMakesRoom) {
    vesk::platform::Socket listener = vesk::platform::create_tcp_socket();
    vesk::platform::bind_loopback(listener, 0);
    vesk::platform::start_listening(listener);
    const std::uint16_t port = vesk::platform::local_port(listener);
    vesk::HttpServerLimits limits;
    limits.max_connections = 4;
    vesk::HttpServer server(
        std::move(listener), limits, {1, 1}, [](const vesk::HttpRequest&) { return vesk::HttpDispatch(); },
        [](const vesk::HttpRequest& request) {
            return vesk::make_json_response(200, "OK", nlohmann::ordered_json(request.target));
        });
    const auto open_with = [&](const std::string& bytes) {
        const int fd = vesk::test::connect_to_loopback(port);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);  // accepted in this order
        return fd;
    };
    std::vector<int> bodies;
    for (int i = 0; i < 4; ++i) bodies.push_back(open_with("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nx"));
    EXPECT_EQ(vesk::test::http_get(port, "/first").body, "\"/first\"\n");
    EXPECT_TRUE(closed_by_server(bodies[0]));
    EXPECT_TRUE(still_open(bodies[1]));
    std::this_thread::sleep_for(20ms);  // the answered connection is closed and uncounted

    const int headless = open_with("GET / HTTP/1.1\r\nX-Slow: a");
    EXPECT_EQ(vesk::test::http_get(port, "/second").body, "\"/second\"\n");
    EXPECT_TRUE(closed_by_server(headless));
    for (std::size_t i = 1; i < bodies.size(); ++i) EXPECT_TRUE(still_open(bodies[i])) << i;
    for (int fd : bodies) ::close(fd);
    ::close(headless);
}


constexpr std::size_t kLargeAnswer = 16 << 20;

// A server whose handlers answer "/block" only once released, and whose triage answers
// "/now" itself and sends GETs to the quick group.
struct BlockingServer {
    explicit BlockingServer(vesk::HttpServerLimits limits = {}) {
        vesk::platform::Socket listener = vesk::platform::create_tcp_socket();
        vesk::platform::bind_loopback(listener, 0);
        vesk::platform::start_listening(listener);
        port = vesk::platform::local_port(listener);
        server = std::make_unique<vesk::HttpServer>(
            std::move(listener), limits, vesk::HandlerCounts{1, 1},
            [](const vesk::HttpRequest& request) {
                vesk::HttpDispatch dispatch;
                if (request.target == "/now") dispatch.answer = echo(request);
                if (request.method == "GET") dispatch.group = vesk::HandlerGroup::quick;
                return dispatch;
            },
            [this](const vesk::HttpRequest& request) {
                if (request.target == "/block") released.wait();
                if (request.target == "/large") {
                    vesk::HttpResponse response = echo(request);
                    response.body = std::string(kLargeAnswer, 'x');
                    return response;
                }
                if (request.target == "/file") {
                    return vesk::make_file_response("application/octet-stream",
                                                    std::make_shared<vesk::platform::ReadableFile>(file));
                }
                return echo(request);
            });
    }
    ~BlockingServer() {
        unblock();
        server.reset();
    }
    void unblock() {
        std::call_once(once, [this] { release.set_value(); });
    }
    static vesk::HttpResponse echo(const vesk::HttpRequest& request) {
        return vesk::make_json_response(200, "OK", nlohmann::ordered_json(request.method + " " + request.target));
    }
    std::once_flag once;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::filesystem::path file;
    std::uint16_t port = 0;
    std::unique_ptr<vesk::HttpServer> server;
};

std::future<std::string> exchange_later(std::uint16_t port, const std::string& request) {
    return std::async(std::launch::async, [port, request] { return vesk::test::http_exchange(port, request, 20s); });
}

std::string body_of(const std::string& raw) { return vesk::test::parse_http_reply(raw).body; }

// A client that asks for `target` and reads nothing yet: what exceeds the socket buffers
// (a few MiB on loopback) waits with the server.
int ask(std::uint16_t port, const std::string& target) {
    const int fd = vesk::test::connect_to_loopback(port);
    const std::string request = "GET " + target + " HTTP/1.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return fd;
}

// Everything the server sends until it closes; `reset` tells a reset from a plain close.
std::string read_all(int fd, bool& reset) {
    std::string raw;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) raw.append(buffer, static_cast<std::size_t>(n));
    reset = n < 0 && errno == ECONNRESET;
    ::close(fd);
    return raw;
}

// A GET is routed while a POST holds the general handler; the triage's own answer comes
// while both handlers are held.
TEST(HttpServer, ReadsAndTriageAnswersPassBusyHandlers) {
    BlockingServer s;
    auto post = exchange_later(s.port, "POST /block HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    auto queued_post = exchange_later(s.port, "POST /after HTTP/1.1\r\n\r\n");
    EXPECT_EQ(vesk::test::http_get(s.port, "/read").body, "\"GET /read\"\n");
    auto get = exchange_later(s.port, "GET /block HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(vesk::test::http_get(s.port, "/now").body, "\"GET /now\"\n");
    EXPECT_EQ(queued_post.wait_for(200ms), std::future_status::timeout);
    s.unblock();
    EXPECT_EQ(body_of(post.get()), "\"POST /block\"\n");
    EXPECT_EQ(body_of(get.get()), "\"GET /block\"\n");
    EXPECT_EQ(body_of(queued_post.get()), "\"POST /after\"\n");
}

// A file answer comes from the file as the client takes it; a file that shrinks under a
// slow reader cuts the connection with a reset rather than send what is no longer there.
TEST(HttpServer, FileAnswersAreSentFromTheFile) {
    vesk::test::TempDir dir("vesk-http-server");
    std::string content(32 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 23);
    BlockingServer s;
    s.file = dir.path() / "file";
    vesk::test::write_file(s.file, content);
    const vesk::test::HttpReply whole = vesk::test::http_get(s.port, "/file");
    EXPECT_EQ(whole.headers.at("content-length"), std::to_string(content.size()));
    EXPECT_TRUE(whole.body == content);

    const int slow = ask(s.port, "/file");
    std::this_thread::sleep_for(200ms);
    std::filesystem::resize_file(s.file, 1 << 20);
    bool reset = false;
    const std::string raw = read_all(slow, reset);
    const std::string body = raw.substr(raw.find("\r\n\r\n") + 4);
    EXPECT_TRUE(reset);
    EXPECT_LT(body.size(), content.size());
    EXPECT_TRUE(body == content.substr(0, body.size()));
}

// Built answers held for slow readers stay within their budget: past it the oldest are
// cut, the newest still get theirs whole. A large body that took room in the body budget
// and then stalls is cut after its first second there, long before the progress timeout.
TEST(HttpServer, HeldAnswersAndStalledBodiesStayWithinTheirBudgets) {
    vesk::HttpServerLimits limits;
    limits.answer_budget = 3 * kLargeAnswer;
    limits.body_budget = 1 << 20;
    limits.progress_timeout = 20s;
    limits.deadline = 60s;
    BlockingServer s(limits);
    std::vector<int> readers;
    for (int i = 0; i < 6; ++i) {
        readers.push_back(ask(s.port, "/large"));
        std::this_thread::sleep_for(50ms);  // routed in this order
    }
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 6; ++i) {
        bool reset = false;
        const vesk::test::HttpReply reply = vesk::test::parse_http_reply(read_all(readers[i], reset));
        EXPECT_EQ(reset, i < 3) << i;
        EXPECT_EQ(reply.body.size() == kLargeAnswer, i >= 3) << i;
    }

    const int stalled = vesk::test::connect_to_loopback(s.port);
    const std::string request =
        "POST /x HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + std::string(65536 + 10, ' ');
    ::send(stalled, request.data(), request.size(), MSG_NOSIGNAL);
    const auto started = std::chrono::steady_clock::now();
    bool reset = false;
    const vesk::test::HttpReply cut = vesk::test::parse_http_reply(read_all(stalled, reset));
    EXPECT_LT(std::chrono::steady_clock::now() - started, limits.progress_timeout / 2);
    EXPECT_EQ(cut.status, 400);
    EXPECT_NE(cut.body.find("HTTP request body ended before Content-Length"), std::string::npos) << cut.body;
}

}  // namespace
