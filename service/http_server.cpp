#include "service/http_server.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

using platform::Clock;
using platform::Poller;
using std::chrono::milliseconds;

constexpr std::uint64_t kListenerKey = 0;
constexpr std::uint64_t kWakerKey = 1;  // connection ids count on from here
// After the answer, what a client still sends is read and dropped for at most this long
// and this much, so that closing does not reset the connection under the answer.
constexpr milliseconds kDrainTime{1000};
constexpr std::size_t kDrainLimit = 1 << 20;
// Per readiness report, so that one fast client cannot hold the loop.
constexpr int kReceivesPerTurn = 16;
constexpr int kAcceptsPerTurn = 64;
constexpr std::size_t kEventsPerWait = 128;
// Longest sleep between deadline checks; shorter while accepting is paused, as handlers
// close connections without waking the loop.
constexpr milliseconds kSweepInterval{100};
constexpr milliseconds kPausedInterval{10};
// Accepting rests this long when descriptors run out, rather than spin on the listener.
constexpr milliseconds kDescriptorPause{20};
// Once stopping, answers still leaving get this long at most.
constexpr milliseconds kStopGrace{1000};
// Bodies up to this size are read at once; larger ones share the body budget.
constexpr std::uint64_t kSmallBodyBytes = 65536;

enum class Phase { reading, routing, writing, draining, closed };

// What every connection counts while it exists: itself, and the large body it holds.
struct Counters {
    std::atomic<std::size_t> open{0};
    std::atomic<std::uint64_t> body_bytes{0};
};

// One client connection, owned by one thread at a time: the I/O thread, or the handler
// routing its request and sending what of the answer the socket takes at once.
struct Connection {
    Connection(platform::Socket s, std::uint64_t connection_id, Counters& shared)
        : socket(std::move(s)), id(connection_id), counters(shared) {
        ++counters.open;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        release_body();
        socket.close();
        --counters.open;
    }
    void reserve_body(std::uint64_t bytes) {
        counters.body_bytes += bytes;
        body_reserved += bytes;
    }
    void release_body() {
        counters.body_bytes -= body_reserved;
        body_reserved = 0;
    }

    platform::Socket socket;
    const std::uint64_t id;
    Counters& counters;
    std::uint64_t body_reserved = 0;
    bool body_checked = false;  // the budget has let its body in (or had no say)
    bool body_waiting = false;  // its large body waits for room in the budget
    Phase phase = Phase::reading;
    HttpRequestReader reader;
    HttpRequest request;
    std::string head;
    std::string body;
    std::size_t sent = 0;
    std::size_t drained = 0;
    bool polled = false;           // registered with the poller
    Clock::time_point deadline;    // of the phase as a whole
    Clock::time_point idle_until;  // the next bytes must move by then
};

using ConnectionPtr = std::unique_ptr<Connection>;

HttpResponse bad_request(const std::string& message) {
    return make_error_response(400, "Bad Request", "invalid_http_request", message);
}

void begin_answer(Connection& c, HttpResponse response, const HttpServerLimits& limits) {
    c.request = HttpRequest();
    c.release_body();
    c.head = http_response_head(response);
    c.body = std::move(response.body);
    c.sent = 0;
    c.phase = Phase::writing;
    const auto now = Clock::now();
    c.deadline = now + limits.deadline;
    c.idle_until = now + limits.progress_timeout;
}

// Sends what the socket takes now; true once the whole answer is out. A failed send
// closes the connection.
bool send_some(Connection& c, milliseconds progress_timeout) {
    for (;;) {
        std::string_view head = c.head;
        std::string_view body = c.body;
        if (c.sent == head.size() + body.size()) return true;
        if (c.sent < head.size()) {
            head.remove_prefix(c.sent);
        } else {
            body.remove_prefix(c.sent - head.size());
            head = {};
        }
        const platform::IoResult result = platform::send_available(c.socket, head, body);
        if (result.bytes == 0) {
            if (!result.would_block) c.phase = Phase::closed;
            return false;
        }
        c.sent += result.bytes;
        c.idle_until = Clock::now() + progress_timeout;
    }
}

}  // namespace

struct HttpServer::State {
    using Map = std::map<std::uint64_t, ConnectionPtr>;

    State(platform::Socket listen, HttpServerLimits server_limits, Handler request_handler)
        : limits(server_limits), handler(std::move(request_handler)), listener(std::move(listen)) {}

    const HttpServerLimits limits;
    const Handler handler;
    platform::Socket listener;
    Poller poller;
    platform::Waker waker;
    Counters counters;
    std::atomic<bool> stopping{false};
    std::atomic<bool> handlers_done{false};

    // Shared between the I/O thread and the handlers.
    std::mutex mutex;
    std::condition_variable request_cv;
    std::deque<ConnectionPtr> requests;   // complete, waiting for a handler
    std::vector<ConnectionPtr> returned;  // answers a handler could not finish at once
    bool dispatch_closed = false;         // no request will be queued any more

    // The I/O thread's own. Ids grow with each accept, so the map is in accept order.
    Map connections;
    std::deque<std::uint64_t> body_waiters;  // in the order their headers completed
    std::vector<ConnectionPtr> completed;    // requests for the handlers, queued each turn
    std::uint64_t last_id = kWakerKey;
    bool listening = true;
    bool accept_paused = false;
    Clock::time_point resume_accept_at{};
    Clock::time_point next_sweep{};
    Clock::time_point stop_by = Clock::time_point::max();

    std::thread io_thread;
    std::vector<std::thread> handlers;

    void io_loop() noexcept;
    void handler_loop() noexcept;

private:
    void on_event(std::uint64_t key);
    void accept_ready();
    bool evict_one();
    void pause_accepting(Clock::time_point until);
    void resume_accepting_if_due();
    void receive(Connection& c);
    // False when the connection's large body must wait for room in the budget.
    bool admit_body(Connection& c);
    void admit_waiting_bodies();
    void refuse(Connection& c, const char* message);
    void write(Connection& c);
    void finish_answer(Connection& c);
    void drain(Connection& c);
    void rearm(Connection& c, std::uint32_t interest);
    void take_returned();
    void begin_stop();
    void sweep();
    // Erases a closed connection, hands a complete request to the handlers; the next entry.
    Map::iterator settle(Map::iterator it);
    void hand_to_handler(ConnectionPtr c);
    void flush_completed();
    void respond(ConnectionPtr c);
};

void HttpServer::State::io_loop() noexcept {
    std::uint64_t ready_keys[kEventsPerWait];
    for (;;) {
        try {
            auto timeout = std::chrono::ceil<milliseconds>(next_sweep - Clock::now());
            if (accept_paused || !body_waiters.empty()) timeout = std::min(timeout, kPausedInterval);
            const std::size_t ready =
                poller.wait(ready_keys, kEventsPerWait, std::clamp(timeout, milliseconds(0), kSweepInterval));
            for (std::size_t i = 0; i < ready; ++i) on_event(ready_keys[i]);
            if (accept_paused) resume_accepting_if_due();
            if (!body_waiters.empty()) admit_waiting_bodies();
            flush_completed();
            if (stopping.load() && listening) begin_stop();
            if (Clock::now() >= next_sweep) sweep();
            if (handlers_done.load()) {
                take_returned();
                if (connections.empty()) return;
            }
        } catch (...) {
            // Out of memory, or the poller failed: rest rather than spin.
            std::this_thread::sleep_for(kPausedInterval);
        }
    }
}

void HttpServer::State::on_event(std::uint64_t key) {
    if (key == kListenerKey) {
        if (listening && !accept_paused) accept_ready();
        return;
    }
    if (key == kWakerKey) {
        waker.clear();
        take_returned();
        return;
    }
    // A report for a connection a handler holds, or has closed, is stale.
    const auto it = connections.find(key);
    if (it == connections.end()) return;
    Connection& c = *it->second;
    if (c.phase == Phase::reading) {
        receive(c);
    } else if (c.phase == Phase::writing) {
        write(c);
    } else if (c.phase == Phase::draining) {
        drain(c);
    }
    settle(it);
}

void HttpServer::State::accept_ready() {
    for (int i = 0; i < kAcceptsPerTurn && !accept_paused; ++i) {
        int error = 0;
        platform::Socket socket = platform::accept_waiting_connection(listener, error);
        if (!socket.valid()) {
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                pause_accepting(Clock::now() + kDescriptorPause);
            }
            return;
        }
        auto c = std::make_unique<Connection>(std::move(socket), ++last_id, counters);
        // Past the bound, another connection makes room; when none can, this one is the last
        // accepted until one can.
        if (counters.open.load() > limits.max_connections && !evict_one()) pause_accepting(Clock::now());
        const auto now = Clock::now();
        c->deadline = now + limits.deadline;
        c->idle_until = now + limits.progress_timeout;
        // The request has often arrived with the connection: read it before waiting.
        receive(*c);
        if (c->phase == Phase::routing) {
            hand_to_handler(std::move(c));
        } else if (c->phase != Phase::closed) {
            connections.emplace(c->id, std::move(c));
        }
    }
}

// At the bound, one of the loop's connections makes room, oldest first: one still without
// its headers, else one still sending its body, else an answer the client is slow to take.
bool HttpServer::State::evict_one() {
    if (connections.empty()) return false;
    auto body = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        const Connection& c = *it->second;
        if (c.phase != Phase::reading) continue;
        if (!c.reader.headers_complete()) {
            connections.erase(it);
            return true;
        }
        if (body == connections.end()) body = it;
    }
    const auto victim = body != connections.end() ? body : connections.begin();
    if (victim->second->phase == Phase::writing) victim->second->socket.abort();
    connections.erase(victim);
    return true;
}

void HttpServer::State::pause_accepting(Clock::time_point until) {
    poller.modify(listener.fd(), kListenerKey, Poller::kNone, false);
    accept_paused = true;
    resume_accept_at = until;
}

void HttpServer::State::resume_accepting_if_due() {
    if (!listening || Clock::now() < resume_accept_at) return;
    // At the bound, any connection of the loop's own can make room; those with handlers
    // will close soon.
    if (counters.open.load() >= limits.max_connections && connections.empty()) return;
    poller.modify(listener.fd(), kListenerKey, Poller::kReadable, false);
    accept_paused = false;
}

void HttpServer::State::receive(Connection& c) {
    char buffer[kHttpReceiveChunk];
    for (int turn = 0; turn < kReceivesPerTurn; ++turn) {
        const platform::IoResult result = platform::receive_available(c.socket, buffer, c.reader.wanted());
        if (result.would_block) break;
        try {
            const bool complete = c.reader.feed(std::string_view(buffer, result.bytes));
            if (!admit_body(c)) return;  // not read again until there is room
            if (complete) {
                c.request = c.reader.take_request();
                c.phase = Phase::routing;
                return;
            }
        } catch (const std::invalid_argument& error) {
            refuse(c, error.what());
            return;
        }
        c.idle_until = Clock::now() + limits.progress_timeout;
    }
    rearm(c, Poller::kReadable);
}

// Many large bodies read at once would hold far more memory than the handlers can route:
// past the budget, a body waits, unread, until earlier ones are answered. One that has
// arrived whole is already in memory and is counted as it is.
bool HttpServer::State::admit_body(Connection& c) {
    if (c.body_checked || !c.reader.headers_complete()) return true;
    const std::uint64_t length = c.reader.body_length();
    const std::uint64_t held = counters.body_bytes.load();
    if (length > kSmallBodyBytes && !c.reader.complete() && held != 0 && held + length > limits.body_budget) {
        if (!c.body_waiting) body_waiters.push_back(c.id);
        c.body_waiting = true;
        return false;
    }
    if (length > kSmallBodyBytes) c.reserve_body(length);
    c.body_checked = true;
    c.body_waiting = false;
    return true;
}

void HttpServer::State::admit_waiting_bodies() {
    while (!body_waiters.empty()) {
        const auto it = connections.find(body_waiters.front());
        if (it != connections.end() && it->second->body_waiting) {
            Connection& c = *it->second;
            if (!admit_body(c)) return;
            c.idle_until = Clock::now() + limits.progress_timeout;
            receive(c);
            settle(it);
        }
        body_waiters.pop_front();
    }
}

// The answer to a request that reached a limit, a deadline or a refusal of the reader.
void HttpServer::State::refuse(Connection& c, const char* message) {
    begin_answer(c, bad_request(message), limits);
    write(c);
}

void HttpServer::State::write(Connection& c) {
    if (send_some(c, limits.progress_timeout)) {
        finish_answer(c);
    } else if (c.phase == Phase::writing) {
        rearm(c, Poller::kWritable);
    }
}

void HttpServer::State::finish_answer(Connection& c) {
    if (!platform::input_pending(c.socket)) {
        c.phase = Phase::closed;
        return;
    }
    c.socket.shutdown_write();
    c.phase = Phase::draining;
    c.drained = 0;
    c.deadline = Clock::now() + kDrainTime;
    c.idle_until = c.deadline;
    drain(c);
}

void HttpServer::State::drain(Connection& c) {
    char sink[kHttpReceiveChunk];
    while (c.drained < kDrainLimit) {
        const platform::IoResult result = platform::receive_available(c.socket, sink, sizeof sink);
        if (result.would_block) {
            rearm(c, Poller::kReadable);
            return;
        }
        if (result.bytes == 0) break;
        c.drained += result.bytes;
    }
    c.phase = Phase::closed;
}

void HttpServer::State::rearm(Connection& c, std::uint32_t interest) {
    try {
        if (c.polled) {
            poller.modify(c.socket.fd(), c.id, interest, true);
        } else {
            poller.add(c.socket.fd(), c.id, interest, true);
            c.polled = true;
        }
    } catch (const platform::SocketError&) {
        c.phase = Phase::closed;
    }
}

void HttpServer::State::take_returned() {
    std::vector<ConnectionPtr> back;
    {
        std::lock_guard<std::mutex> lock(mutex);
        back.swap(returned);
    }
    for (ConnectionPtr& c : back) {
        Connection& connection = *c;
        const auto it = connections.emplace(connection.id, std::move(c)).first;
        write(connection);
        settle(it);
    }
}

void HttpServer::State::begin_stop() {
    listening = false;
    accept_paused = false;
    listener.close();
    stop_by = Clock::now() + kStopGrace;
    // What has arrived is read once more: a request complete by now is answered, any
    // other connection still reading is closed.
    for (auto it = connections.begin(); it != connections.end();) {
        Connection& c = *it->second;
        if (c.phase == Phase::reading) {
            receive(c);
            if (c.phase == Phase::reading) c.phase = Phase::closed;
        }
        it = settle(it);
    }
    flush_completed();
    {
        std::lock_guard<std::mutex> lock(mutex);
        dispatch_closed = true;
    }
    request_cv.notify_all();
}

void HttpServer::State::sweep() {
    const auto now = Clock::now();
    auto next = now + kSweepInterval;
    for (auto it = connections.begin(); it != connections.end();) {
        Connection& c = *it->second;
        // A body waiting for the budget is not the client's delay: only its deadline runs.
        if (c.body_waiting) c.idle_until = std::max(c.idle_until, now + limits.progress_timeout);
        if (now >= std::min({c.deadline, c.idle_until, stop_by})) {
            if (c.phase == Phase::reading && now < stop_by) {
                try {
                    c.reader.feed({});  // a stalled or late request is refused as an ended one
                } catch (const std::invalid_argument& error) {
                    refuse(c, error.what());
                }
            } else {
                if (c.phase == Phase::writing) c.socket.abort();
                c.phase = Phase::closed;
            }
        }
        if (c.phase != Phase::closed) next = std::min({next, c.deadline, c.idle_until, stop_by});
        it = settle(it);
    }
    next_sweep = next;
}

HttpServer::State::Map::iterator HttpServer::State::settle(Map::iterator it) {
    Connection& c = *it->second;
    if (c.phase == Phase::closed) return connections.erase(it);
    if (c.phase != Phase::routing) return std::next(it);
    ConnectionPtr routed = std::move(it->second);
    const auto next = connections.erase(it);
    hand_to_handler(std::move(routed));
    return next;
}

void HttpServer::State::hand_to_handler(ConnectionPtr c) { completed.push_back(std::move(c)); }

// Once per turn of the loop: one lock and one wake-up for all the requests it completed.
void HttpServer::State::flush_completed() {
    if (completed.empty()) return;
    const std::size_t count = completed.size();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (ConnectionPtr& c : completed) requests.push_back(std::move(c));
    }
    completed.clear();
    if (count == 1) {
        request_cv.notify_one();
    } else {
        request_cv.notify_all();
    }
}

void HttpServer::State::handler_loop() noexcept {
    for (;;) {
        ConnectionPtr c;
        {
            std::unique_lock<std::mutex> lock(mutex);
            request_cv.wait(lock, [&] { return dispatch_closed || !requests.empty(); });
            if (requests.empty()) return;
            c = std::move(requests.front());
            requests.pop_front();
        }
        try {
            respond(std::move(c));
        } catch (...) {
            // Out of memory while answering: that connection is dropped, the handler stays.
        }
    }
}

void HttpServer::State::respond(ConnectionPtr c) {
    HttpResponse response;
    try {
        response = handler(c->request);
    } catch (const std::exception& error) {
        response = bad_request(error.what());
    } catch (...) {
        response = bad_request("Local HTTP request failed with an unknown error");
    }
    begin_answer(*c, std::move(response), limits);
    // Most answers fit the socket buffer: sent and closed here, without the loop.
    if (send_some(*c, limits.progress_timeout) && !platform::input_pending(c->socket)) return;
    if (c->phase == Phase::closed) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        returned.push_back(std::move(c));
    }
    waker.notify();
}

HttpServer::HttpServer(platform::Socket listener, HttpServerLimits limits, std::size_t handler_count, Handler handler)
    : state_(std::make_unique<State>(std::move(listener), limits, std::move(handler))) {
    State& s = *state_;
    platform::set_non_blocking(s.listener);
    s.poller.add(s.listener.fd(), kListenerKey, Poller::kReadable, false);
    s.poller.add(s.waker.fd(), kWakerKey, Poller::kReadable, false);
    try {
        s.io_thread = std::thread([&s] { s.io_loop(); });
        for (std::size_t i = 0; i < handler_count; ++i) s.handlers.emplace_back([&s] { s.handler_loop(); });
    } catch (...) {
        stop();
        throw;
    }
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::stop() noexcept {
    State& s = *state_;
    s.stopping.store(true);
    s.waker.notify();
    if (!s.io_thread.joinable()) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.dispatch_closed = true;
    }
    s.request_cv.notify_all();
    for (std::thread& handler : s.handlers) {
        if (handler.joinable()) handler.join();
    }
    s.handlers_done.store(true);
    s.waker.notify();
    if (s.io_thread.joinable()) s.io_thread.join();
}

}  // namespace vesk
