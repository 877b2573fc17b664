#include "platform/socket.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vesk::platform {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Time-out values of zero mean "wait for ever" to the kernel; callers never want that.
timeval to_timeval(microseconds value) {
    if (value < microseconds(1)) value = microseconds(1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(value.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(value.count() % 1000000);
    return tv;
}

void set_timeout(int fd, int option, microseconds value) {
    const timeval tv = to_timeval(value);
    (void)::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1) throw SocketError("inet_pton", EINVAL);
    return address;
}

}  // namespace

SocketError::SocketError(std::string operation, int error_number)
    : std::runtime_error("Socket call " + operation + " failed (errno " + std::to_string(error_number) + ")"),
      operation_(std::move(operation)),
      error_number_(error_number) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Socket::shutdown_both() const noexcept {
    if (fd_ >= 0) (void)::shutdown(fd_, SHUT_RDWR);
}

void Socket::close() noexcept {
    if (fd_ >= 0) {
        (void)::close(fd_);
        fd_ = -1;
    }
}

Socket create_tcp_socket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SocketError("socket", errno);
    return Socket(fd);
}

void allow_address_reuse(const Socket& socket) {
    const int one = 1;
    if (::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        throw SocketError("setsockopt", errno);
    }
}

void bind_loopback(const Socket& socket, std::uint16_t port) {
    const sockaddr_in address = loopback_address(port);
    if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw SocketError("bind", errno);
    }
}

void start_listening(const Socket& socket) {
    if (::listen(socket.fd(), SOMAXCONN) != 0) throw SocketError("listen", errno);
}

std::uint16_t local_port(const Socket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw SocketError("getsockname", errno);
    }
    return ntohs(address.sin_port);
}

Socket accept_connection(const Socket& listener) {
    for (;;) {
        const int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return Socket(fd);
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (error == EMFILE || error == ENFILE) std::this_thread::sleep_for(milliseconds(20));
        return Socket();
    }
}

void set_io_timeouts(const Socket& socket, milliseconds timeout) {
    set_timeout(socket.fd(), SO_RCVTIMEO, duration_cast<microseconds>(timeout));
    set_timeout(socket.fd(), SO_SNDTIMEO, duration_cast<microseconds>(timeout));
}

std::size_t receive_some(const Socket& socket, char* buffer, std::size_t capacity, milliseconds per_call,
                         Clock::time_point deadline) {
    for (;;) {
        const auto remaining = duration_cast<microseconds>(deadline - Clock::now());
        if (remaining <= microseconds(0)) return 0;
        // The socket keeps its per-call time-out until the deadline is closer than that.
        if (remaining < per_call) set_timeout(socket.fd(), SO_RCVTIMEO, remaining);
        const ssize_t n = ::recv(socket.fd(), buffer, capacity, 0);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

bool send_all(const Socket& socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), INT_MAX);
        const ssize_t n = ::send(socket.fd(), bytes.data(), chunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void finish_and_drain(const Socket& socket, std::size_t limit, Clock::time_point deadline) {
    // Nothing unread now: a closing client has nothing in flight, and waiting for its FIN
    // would only hold the handler for a round trip.
    char probe;
    const ssize_t pending = ::recv(socket.fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (pending < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (pending <= 0) return;
    if (::shutdown(socket.fd(), SHUT_WR) != 0) return;
    char sink[4096];
    std::size_t drained = 0;
    while (drained < limit) {
        const std::size_t n = receive_some(socket, sink, sizeof sink, milliseconds(1000), deadline);
        if (n == 0) return;
        drained += n;
    }
}

Socket connect_loopback(std::uint16_t port) {
    Socket socket = create_tcp_socket();
    const sockaddr_in address = loopback_address(port);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw SocketError("connect", errno);
    }
    return socket;
}

void ignore_broken_pipe_signal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace vesk::platform
