#include "service/http_server.hpp"

#include <algorithm>
#include <array>
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
// Bodies up to this size are read at once; larger ones read this much, then share the body
// budget. So a client that declares a large body but sends it slowly holds no room.
constexpr std::uint64_t kSmallBodyBytes = 65536;
// A body that holds room in the budget must keep arriving at this rate after a first second
// there, or it is cut: declaring 32 MiB and trickling must not keep others out.
constexpr std::uint64_t kMinBodyBytesPerSecond = 65536;
constexpr milliseconds kBodyRateGrace{1000};
// A ready answer (the triage's) waits this long at most for a handler before the loop
// sends it itself; the loop checks at every sweep.
constexpr milliseconds kAnswerWait{100};
// Sends per readiness report, so that one fast reader cannot hold the loop.
constexpr int kSendsPerTurn = 16;
// A file answer is read in pieces of this size, each into the sending thread's own buffer
// and sent at once; what the socket does not take is read again next time, so a
// connection holds no buffer while it waits.
constexpr std::size_t kFileChunk = 65536;

enum class Phase { reading, routing, writing, draining, closed };

// What every connection counts while it exists: itself, the large body it holds, and the
// built answer the I/O thread holds for it.
struct Counters {
    std::atomic<std::size_t> open{0};
    std::atomic<std::uint64_t> body_bytes{0};
    std::atomic<std::uint64_t> answer_bytes{0};
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
        release_answer();
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
    void hold_answer() {
        counters.answer_bytes += body.size() - answer_held;
        answer_held = body.size();
    }
    // Frees what the answer held: its built body and its file.
    void release_answer() {
        counters.answer_bytes -= answer_held;
        answer_held = 0;
        std::string().swap(body);
        file.reset();
    }
    // Whether the body holds room in the budget but is arriving too slowly to deserve it.
    bool body_too_slow(Clock::time_point now) const {
        if (body_reserved == 0 || now - budget_since <= kBodyRateGrace) return false;
        const auto late = std::chrono::duration_cast<milliseconds>(now - budget_since - kBodyRateGrace);
        const std::uint64_t due = kMinBodyBytesPerSecond * static_cast<std::uint64_t>(late.count()) / 1000;
        return reader.body_received() - received_before_budget < due;
    }

    platform::Socket socket;
    const std::uint64_t id;
    Counters& counters;
    std::uint64_t body_reserved = 0;
    bool body_checked = false;  // the budget has let its body in (or had no say)
    bool body_waiting = false;  // its large body waits for room in the budget
    Clock::time_point budget_since;            // when its body took room in the budget
    std::uint64_t received_before_budget = 0;  // body bytes it had by then
    Phase phase = Phase::reading;
    HttpRequestReader reader;
    HttpRequest request;
    HandlerGroup group = HandlerGroup::general;
    std::optional<HttpResponse> prepared;  // the triage's answer, for whoever sends it
    Clock::time_point queued_at;           // handed to the handlers
    std::string head;
    std::string body;
    std::shared_ptr<platform::ReadableFile> file;  // the body, when it is a file's
    std::uint64_t body_size = 0;
    std::uint64_t answer_held = 0;  // of Counters::answer_bytes
    std::uint64_t sent = 0;
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
    c.release_answer();
    c.head = http_response_head(response);
    c.body_size = body_length(response);
    c.body = std::move(response.body);
    c.file = std::move(response.file);
    // Before anything is queued: the cap matters only for answers that can fill a buffer.
    if (c.body_size > limits.send_buffer) platform::limit_send_buffer(c.socket, limits.send_buffer);
    c.sent = 0;
    c.phase = Phase::writing;
    const auto now = Clock::now();
    c.deadline = now + limits.deadline;
    c.idle_until = now + limits.progress_timeout;
}

void cut_connection(Connection& c) {
    c.socket.abort();
    c.phase = Phase::closed;
}

// The next piece of a file answer's body, read at `offset`; empty when the file can no
// longer be read there (it shrank, or the read failed).
std::string_view read_file_piece(Connection& c, std::uint64_t offset, std::array<char, kFileChunk>& buffer) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kFileChunk, c.body_size - offset));
    try {
        return std::string_view(buffer.data(), c.file->read_at(offset, buffer.data(), wanted));
    } catch (const platform::FileError&) {
        return {};
    }
}

// Sends what the socket takes now, a file's body read from the file as it goes; true once
// the whole answer is out. A failed send, or a file that can no longer be read up to the
// size it had when the answer began, cuts the connection with a reset: the client must
// never take a short body for a whole one. (The service replaces its files by renaming,
// so an open file keeps its bytes.)
bool send_some(Connection& c, milliseconds progress_timeout) {
    const std::uint64_t total = c.head.size() + c.body_size;
    std::array<char, kFileChunk> piece;
    for (int turn = 0; c.sent < total; ++turn) {
        if (turn == kSendsPerTurn) return false;
        const bool in_head = c.sent < c.head.size();
        const std::string_view head = in_head ? std::string_view(c.head).substr(c.sent) : std::string_view();
        const std::uint64_t offset = in_head ? 0 : c.sent - c.head.size();
        std::string_view body;
        if (!c.file) {
            body = std::string_view(c.body).substr(offset);
        } else if (offset < c.body_size) {
            body = read_file_piece(c, offset, piece);
            if (body.empty()) {
                cut_connection(c);
                return false;
            }
        }
        const platform::IoResult result = platform::send_available(c.socket, head, body);
        if (result.bytes == 0) {
            if (!result.would_block) cut_connection(c);
            return false;
        }
        c.sent += result.bytes;
        c.idle_until = Clock::now() + progress_timeout;
    }
    return true;
}

}  // namespace

struct HttpServer::State {
    using Map = std::map<std::uint64_t, ConnectionPtr>;

    State(platform::Socket listen, HttpServerLimits server_limits, Triage request_triage, Handler request_handler)
        : limits(server_limits),
          triage(std::move(request_triage)),
          handler(std::move(request_handler)),
          listener(std::move(listen)) {}

    const HttpServerLimits limits;
    const Triage triage;
    const Handler handler;
    platform::Socket listener;
    Poller poller;
    platform::Waker waker;
    Counters counters;
    std::atomic<bool> stopping{false};
    std::atomic<bool> handlers_done{false};

    // Shared between the I/O thread and the handlers. Requests wait by handler group.
    std::mutex mutex;
    std::array<std::condition_variable, 2> request_cv;
    std::array<std::deque<ConnectionPtr>, 2> requests;  // complete, waiting for a handler
    std::array<std::size_t, 2> idle{};                  // handlers waiting for a request
    std::vector<ConnectionPtr> returned;  // answers a handler could not finish at once
    bool dispatch_closed = false;         // no request will be queued any more

    // The I/O thread's own. Ids grow with each accept, so the map is in accept order.
    Map connections;
    std::deque<std::uint64_t> body_waiters;  // in the order they asked for room
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
    void handler_loop(HandlerGroup group) noexcept;

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
    // Ends a request that stalled, came too slowly or is too late, with the reader's 400.
    void cut_request(Connection& c);
    void write(Connection& c);
    // Cuts the oldest held answers while they exceed the answer budget.
    void bound_held_answers();
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
    // Ready answers that have waited kAnswerWait for a handler: the loop sends them.
    void take_back_waiting_answers();
    void answer_now(ConnectionPtr c, HttpResponse response);
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
            if (counters.answer_bytes.load() > limits.answer_budget) bound_held_answers();
            if (stopping.load() && listening) begin_stop();
            if (Clock::now() >= next_sweep) {
                sweep();
                take_back_waiting_answers();
            }
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
        std::size_t wanted = c.reader.wanted();
        // A large body not yet let into the budget stops at its free first bytes.
        if (!c.body_checked && c.reader.headers_complete()) {
            wanted = static_cast<std::size_t>(
                std::min<std::uint64_t>(wanted, kSmallBodyBytes - c.reader.body_received()));
        }
        const platform::IoResult result = platform::receive_available(c.socket, buffer, wanted);
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
// once a large body has sent its free first bytes, it takes room for its declared length
// or waits, unread, until earlier ones are answered. A client that never sends that much
// never holds room, however much it declares.
bool HttpServer::State::admit_body(Connection& c) {
    if (c.body_checked || !c.reader.headers_complete()) return true;
    const std::uint64_t length = c.reader.body_length();
    if (length > kSmallBodyBytes) {
        if (c.reader.body_received() < kSmallBodyBytes) return true;
        const std::uint64_t held = counters.body_bytes.load();
        if (held != 0 && held + length > limits.body_budget) {
            if (!c.body_waiting) body_waiters.push_back(c.id);
            c.body_waiting = true;
            return false;
        }
        c.reserve_body(length);
        c.budget_since = Clock::now();
        c.received_before_budget = c.reader.body_received();
    }
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
    c.hold_answer();
    write(c);
}

void HttpServer::State::cut_request(Connection& c) {
    try {
        c.reader.feed({});
    } catch (const std::invalid_argument& error) {
        refuse(c, error.what());
    }
}

void HttpServer::State::write(Connection& c) {
    if (send_some(c, limits.progress_timeout)) {
        finish_answer(c);
    } else if (c.phase == Phase::writing) {
        rearm(c, Poller::kWritable);
    }
}

void HttpServer::State::bound_held_answers() {
    for (auto& [id, connection] : connections) {
        const std::uint64_t held = counters.answer_bytes.load();
        if (held <= limits.answer_budget) return;
        Connection& c = *connection;
        // Never the last one held: an answer larger than the budget is sent alone.
        if (c.phase != Phase::writing || c.answer_held == 0 || c.answer_held >= held) continue;
        cut_connection(c);  // erased by the next sweep or event
        c.release_answer();
    }
}

void HttpServer::State::finish_answer(Connection& c) {
    c.release_answer();
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
        connection.hold_answer();
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
    for (auto& cv : request_cv) cv.notify_all();
}

void HttpServer::State::sweep() {
    const auto now = Clock::now();
    auto next = now + kSweepInterval;
    for (auto it = connections.begin(); it != connections.end();) {
        Connection& c = *it->second;
        // A body waiting for the budget is not the client's delay: only its deadline runs.
        if (c.body_waiting) c.idle_until = std::max(c.idle_until, now + limits.progress_timeout);
        if (c.phase == Phase::reading && c.body_too_slow(now)) {
            // What has arrived counts; bytes still unread mean the loop is slow, not the client.
            receive(c);
            if (c.phase == Phase::reading && c.body_too_slow(now) && !platform::input_pending(c.socket)) {
                cut_request(c);
            }
        }
        if (c.phase != Phase::closed && c.phase != Phase::routing && now >= std::min({c.deadline, c.idle_until, stop_by})) {
            if (c.phase == Phase::reading && now < stop_by) {
                cut_request(c);  // a stalled or late request is refused as an ended one
            } else {
                if (c.phase == Phase::writing) c.socket.abort();
                c.phase = Phase::closed;
            }
        }
        if (c.phase != Phase::closed && c.phase != Phase::routing) {
            next = std::min({next, c.deadline, c.idle_until, stop_by});
        }
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

// Once per turn of the loop, with one lock and one wake-up per group. An answer the triage
// gives is sent by a handler too, in the group with an idle one: sending on loopback costs
// the sender the delivery as well, and the loop has every connection to serve. One that no
// handler takes in time, the loop takes back and sends itself (take_back_waiting_answers).
void HttpServer::State::flush_completed() {
    if (completed.empty()) return;
    std::array<std::size_t, 2> queued{};
    const auto now = Clock::now();
    for (ConnectionPtr& c : completed) {
        try {
            HttpDispatch dispatch = triage(c->request);
            c->group = dispatch.group;
            c->prepared = std::move(dispatch.answer);
        } catch (...) {
            c->group = HandlerGroup::general;
        }
        c->queued_at = now;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (ConnectionPtr& c : completed) {
            auto g = static_cast<std::size_t>(c->group);
            if (c->prepared) g = idle[0] > requests[0].size() || idle[1] <= requests[1].size() ? 0 : 1;
            requests[g].push_back(std::move(c));
            ++queued[g];
        }
    }
    completed.clear();
    for (std::size_t g = 0; g < queued.size(); ++g) {
        if (queued[g] == 1) {
            request_cv[g].notify_one();
        } else if (queued[g] > 1) {
            request_cv[g].notify_all();
        }
    }
}

void HttpServer::State::take_back_waiting_answers() {
    std::vector<ConnectionPtr> waited;
    const auto now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& queue : requests) {
            for (auto it = queue.begin(); it != queue.end();) {
                if ((*it)->prepared && now - (*it)->queued_at >= kAnswerWait) {
                    waited.push_back(std::move(*it));
                    it = queue.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    for (ConnectionPtr& c : waited) {
        HttpResponse response = std::move(*c->prepared);
        c->prepared.reset();
        answer_now(std::move(c), std::move(response));
    }
}

void HttpServer::State::answer_now(ConnectionPtr c, HttpResponse response) {
    Connection& connection = *c;
    begin_answer(connection, std::move(response), limits);
    connection.hold_answer();
    const auto it = connections.emplace(connection.id, std::move(c)).first;
    write(connection);
    settle(it);
}

void HttpServer::State::handler_loop(HandlerGroup group) noexcept {
    auto& queue = requests[static_cast<std::size_t>(group)];
    auto& wake = request_cv[static_cast<std::size_t>(group)];
    for (;;) {
        ConnectionPtr c;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ++idle[static_cast<std::size_t>(group)];
            wake.wait(lock, [&] { return dispatch_closed || !queue.empty(); });
            --idle[static_cast<std::size_t>(group)];
            if (queue.empty()) return;
            c = std::move(queue.front());
            queue.pop_front();
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
        response = c->prepared ? std::move(*c->prepared) : handler(c->request);
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

HttpServer::HttpServer(platform::Socket listener, HttpServerLimits limits, HandlerCounts handlers, Triage triage,
                       Handler handler)
    : state_(std::make_unique<State>(std::move(listener), limits, std::move(triage), std::move(handler))) {
    State& s = *state_;
    platform::set_non_blocking(s.listener);
    s.poller.add(s.listener.fd(), kListenerKey, Poller::kReadable, false);
    s.poller.add(s.waker.fd(), kWakerKey, Poller::kReadable, false);
    try {
        s.io_thread = std::thread([&s] { s.io_loop(); });
        for (std::size_t i = 0; i < handlers.quick; ++i) {
            s.handlers.emplace_back([&s] { s.handler_loop(HandlerGroup::quick); });
        }
        for (std::size_t i = 0; i < handlers.general; ++i) {
            s.handlers.emplace_back([&s] { s.handler_loop(HandlerGroup::general); });
        }
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
    for (auto& cv : s.request_cv) cv.notify_all();
    for (std::thread& handler : s.handlers) {
        if (handler.joinable()) handler.join();
    }
    s.handlers_done.store(true);
    s.waker.notify();
    if (s.io_thread.joinable()) s.io_thread.join();
}

}  // namespace vesk
