// The connection side of the local HTTP server. One I/O thread accepts every connection
// and reads its request without blocking, under the reader's limits and the deadlines
// below; complete requests go to one of two groups of handler threads, which route them,
// except the few that a triage answers at once (/health), which never wait long for a
// handler. Answers are sent without blocking too: what a slow reader leaves unsent, the
// I/O thread finishes, file answers read from the file as they go. So no client, however
// slow or silent, holds a handler while it sends or receives.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "platform/socket.hpp"
#include "service/http_request.hpp"
#include "service/http_response.hpp"

namespace vesk {

struct HttpServerLimits {
    // Reading one request, counted from accept; and, counted afresh, sending its answer.
    std::chrono::milliseconds deadline{30000};
    // The longest wait for a client's next bytes in either direction.
    std::chrono::milliseconds progress_timeout{5000};
    // Open connections. Past it, the connection that has waited longest without completing
    // its headers is closed; when there is none, the oldest still sending its body, then the
    // oldest answer still leaving; when all are with the handlers, accepting waits.
    std::size_t max_connections = 1024;
    // Bytes of large request bodies (over 64 KiB) held at once, counted by their declared
    // length from their 64 KiB-th byte until their answer begins. A body that finds no room
    // is not read further until there is, in the order they came. One that holds room must
    // keep arriving at 64 KiB/s after its first second there, or it is cut like a stalled
    // body.
    std::uint64_t body_budget = std::uint64_t{256} << 20;
    // Bytes of built answers (not files) that the I/O thread holds for clients slow to take
    // them. Past it, the oldest of them are cut (reset) until the rest fit; one answer
    // larger than the whole budget is sent alone.
    std::uint64_t answer_budget = std::uint64_t{64} << 20;
    // The kernel's send buffer of each connection with a larger answer (it doubles the
    // value). On loopback it would otherwise grow to megabytes per connection, read or not,
    // and a thousand slow readers would hold gigabytes of the machine's socket memory.
    std::size_t send_buffer = 128 << 10;
};

// The two groups of handlers: requests that only read get their own, so that they never
// queue behind slow work such as an upload that runs a drawing reader.
enum class HandlerGroup { quick, general };

struct HandlerCounts {
    std::size_t quick = 1;
    std::size_t general = 1;
};

// What the I/O thread does with one complete request.
struct HttpDispatch {
    // A ready answer. An idle handler sends it; when none takes it within 100 ms, the I/O
    // thread sends it itself, so it never waits for busy handlers.
    std::optional<HttpResponse> answer;
    // Otherwise, the group whose handler routes it.
    HandlerGroup group = HandlerGroup::general;
};

class HttpServer {
public:
    // Answers one complete request on a handler thread. A std::exception that escapes is
    // answered 400 "invalid_http_request" with its message.
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // Runs on the I/O thread for every complete request, so it must be quick and never wait
    // for a lock that handlers hold. An exception sends the request to the general group.
    using Triage = std::function<HttpDispatch(const HttpRequest&)>;

    // Takes a bound, listening socket and starts the I/O thread and the handlers. Throws
    // platform::SocketError or std::system_error, after stopping whatever had started.
    HttpServer(platform::Socket listener, HttpServerLimits limits, HandlerCounts handlers, Triage triage,
               Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Idempotent. Stops accepting; requests already complete are answered, connections
    // whose request is not are closed; answers still leaving get at most a second more.
    // Joins every thread.
    void stop() noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace vesk
