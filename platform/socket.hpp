// TCP on the loopback interface for one event loop: a listening socket, non-blocking
// connections, single receive and send calls, an epoll set and a wake-up descriptor. The
// layer reports plain results and errno; the service chooses its own messages and policy.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk::platform {

// A failed socket call: which call, and errno.
class SocketError : public std::runtime_error {
public:
    SocketError(std::string operation, int error_number);
    const std::string& operation() const noexcept { return operation_; }
    int error_number() const noexcept { return error_number_; }

private:
    std::string operation_;
    int error_number_;
};

// Owns one socket descriptor (close-on-exec); closed when the object goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) noexcept : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    ~Socket() { close(); }

    int fd() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Both directions; wakes a thread blocked in accept or receive on this socket.
    void shutdown_both() const noexcept;
    // Sends FIN after the last queued byte; receiving goes on.
    void shutdown_write() const noexcept;
    void close() noexcept;
    // Closes with a reset, dropping what is still queued to send: a plain close would let
    // the kernel go on feeding a peer that the caller has given up on.
    void abort() noexcept;

private:
    int fd_ = -1;
};

using Clock = std::chrono::steady_clock;

// Listener steps, each throwing SocketError named after its call. The address option is
// SO_REUSEADDR (never SO_REUSEPORT): a second listener on a busy port still fails with
// EADDRINUSE, while a restart right after traffic binds despite TIME_WAIT.
Socket create_tcp_socket();                                    // "socket"
void allow_address_reuse(const Socket& socket);                // "setsockopt"
void bind_loopback(const Socket& socket, std::uint16_t port);  // "inet_pton", "bind"
void start_listening(const Socket& socket);                    // "listen" (SOMAXCONN)
std::uint16_t local_port(const Socket& socket);                // "getsockname"
void set_non_blocking(const Socket& socket);                   // "fcntl"
// Caps the kernel's send buffer (SO_SNDBUF; Linux doubles the value); best effort. Left
// alone, the buffer of a loopback connection grows to megabytes whether or not the peer reads.
void limit_send_buffer(const Socket& socket, std::size_t bytes) noexcept;

// Accepts one waiting connection, non-blocking and close-on-exec, retrying EINTR and
// ECONNABORTED. None waiting or a failure: an invalid socket, with errno in `error_number`
// (EAGAIN when none was waiting, EMFILE or ENFILE when descriptors ran out).
Socket accept_waiting_connection(const Socket& listener, int& error_number);

// One receive or send that never waits. `bytes` is what moved; when it is 0, `would_block`
// tells "nothing can move now" from "the peer ended the stream or the call failed".
struct IoResult {
    std::size_t bytes = 0;
    bool would_block = false;
};
IoResult receive_available(const Socket& socket, char* buffer, std::size_t capacity);
// Sends from `first`, then `second`, in one call (MSG_NOSIGNAL): a head and its body leave
// together instead of waiting on each other under Nagle's rule.
IoResult send_available(const Socket& socket, std::string_view first, std::string_view second = {});
// True when received bytes wait unread: closing now would reset the connection.
bool input_pending(const Socket& socket);

// An epoll set. A registration carries the caller's 64-bit key; a one-shot registration
// reports once and then stays silent until rearmed, so a descriptor that the loop hands to
// another thread gets no events meanwhile. Failures throw SocketError ("epoll_create1",
// "epoll_ctl", "epoll_wait").
class Poller {
public:
    // A hang-up or an error is reported under either interest: the next call tells which.
    enum Interest : std::uint32_t { kNone = 0, kReadable = 1, kWritable = 2 };

    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    void add(int fd, std::uint64_t key, std::uint32_t interest, bool one_shot);
    void modify(int fd, std::uint64_t key, std::uint32_t interest, bool one_shot);
    // Waits at most `timeout` for registrations to report; fills in at most `capacity` of
    // their keys and returns the count. An interrupted wait returns 0.
    std::size_t wait(std::uint64_t* keys, std::size_t capacity, std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
};

// A descriptor that becomes readable when another thread calls notify (an eventfd).
class Waker {
public:
    Waker();  // "eventfd"
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    int fd() const noexcept { return fd_; }
    void notify() noexcept;
    void clear() noexcept;

private:
    int fd_ = -1;
};

// Raises the soft limit on open descriptors to the hard limit (many connections each hold
// one); returns the soft limit now in force.
std::size_t raise_open_file_limit() noexcept;

// A peer that hangs up must never end the process: SIGPIPE is ignored process-wide.
void ignore_broken_pipe_signal();

}  // namespace vesk::platform
