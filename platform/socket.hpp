// TCP on the loopback interface: a listening socket, accepted connections with receive
// and send time-outs, receives under a whole-request deadline, and complete sends. The
// layer reports plain results and errno; the service chooses its own messages.
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
    void close() noexcept;

private:
    int fd_ = -1;
};

using Clock = std::chrono::steady_clock;

// Listener steps, each throwing SocketError named after its call. The address option is
// SO_REUSEADDR (never SO_REUSEPORT): a second listener on a busy port still fails with
// EADDRINUSE, while a restart right after traffic binds despite TIME_WAIT.
Socket create_tcp_socket();                               // "socket"
void allow_address_reuse(const Socket& socket);           // "setsockopt"
void bind_loopback(const Socket& socket, std::uint16_t port);  // "inet_pton", "bind"
void start_listening(const Socket& socket);               // "listen" (SOMAXCONN)
std::uint16_t local_port(const Socket& socket);           // "getsockname"

// Accepts one connection (close-on-exec). Retries EINTR and ECONNABORTED; after EMFILE or
// ENFILE it sleeps about 20 ms so that a descriptor shortage does not spin a core. Any
// failure returns an invalid socket; after shutdown_both of the listener it fails at once.
Socket accept_connection(const Socket& listener);

// SO_RCVTIMEO and SO_SNDTIMEO; results ignored (a socket without them still works).
void set_io_timeouts(const Socket& socket, std::chrono::milliseconds timeout);

// One receive of at most `capacity` bytes. Each call waits at most `per_call` and never
// past `deadline` (the receive time-out is shrunk as the deadline nears). Returns the byte
// count; 0 when the peer ended the stream, the call failed, timed out or the deadline
// has passed.
std::size_t receive_some(const Socket& socket, char* buffer, std::size_t capacity,
                         std::chrono::milliseconds per_call, Clock::time_point deadline);

// Sends every byte (MSG_NOSIGNAL, retrying EINTR); false when a send fails or times out.
bool send_all(const Socket& socket, std::string_view bytes);

// When input is waiting unread: half-close for writing, then discard what the peer still
// sends, for at most `limit` bytes and until `deadline`. Closing with unread input would
// send a reset that can destroy the response before the peer reads it.
void finish_and_drain(const Socket& socket, std::size_t limit, Clock::time_point deadline);

// A client connection to 127.0.0.1:port; throws SocketError.
Socket connect_loopback(std::uint16_t port);

// A peer that hangs up must never end the process: SIGPIPE is ignored process-wide.
void ignore_broken_pipe_signal();

}  // namespace vesk::platform
