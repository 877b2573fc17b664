// The connection side of the local HTTP server. One I/O thread accepts every connection
// and reads its request without blocking, under the reader's limits and the deadlines
// below; only complete requests reach the handler threads, which route them. Answers are
// sent without blocking too: what a slow reader leaves unsent, the I/O thread finishes. So
// no client, however slow or silent, holds a handler while it sends or receives.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

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
    // length from the end of their headers until their answer begins. A body that finds
    // no room is not read until there is, in the order the headers came.
    std::uint64_t body_budget = std::uint64_t{256} << 20;
};

class HttpServer {
public:
    // Answers one complete request on a handler thread. A std::exception that escapes is
    // answered 400 "invalid_http_request" with its message.
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Takes a bound, listening socket and starts the I/O thread and `handler_count`
    // handlers. Throws platform::SocketError or std::system_error, after stopping whatever
    // had started.
    HttpServer(platform::Socket listener, HttpServerLimits limits, std::size_t handler_count, Handler handler);
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
