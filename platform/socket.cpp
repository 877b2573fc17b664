#include "platform/socket.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vesk::platform {
namespace {

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1) throw SocketError("inet_pton", EINVAL);
    return address;
}

IoResult io_result(ssize_t n) {
    IoResult result;
    if (n > 0) {
        result.bytes = static_cast<std::size_t>(n);
    } else if (n < 0) {
        result.would_block = errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return result;
}

epoll_event epoll_entry(std::uint64_t key, std::uint32_t interest, bool one_shot) {
    epoll_event event{};
    if (interest & Poller::kReadable) event.events |= EPOLLIN | EPOLLRDHUP;
    if (interest & Poller::kWritable) event.events |= EPOLLOUT;
    if (one_shot) event.events |= EPOLLONESHOT;
    event.data.u64 = key;
    return event;
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

void Socket::shutdown_write() const noexcept {
    if (fd_ >= 0) (void)::shutdown(fd_, SHUT_WR);
}

void Socket::close() noexcept {
    if (fd_ >= 0) {
        (void)::close(fd_);
        fd_ = -1;
    }
}

void Socket::abort() noexcept {
    if (fd_ >= 0) {
        const linger reset{1, 0};
        (void)::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close();
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

void set_non_blocking(const Socket& socket) {
    const int flags = ::fcntl(socket.fd(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.fd(), F_SETFL, flags | O_NONBLOCK) != 0) throw SocketError("fcntl", errno);
}

void limit_send_buffer(const Socket& socket, std::size_t bytes) noexcept {
    const int value = static_cast<int>(std::min<std::size_t>(bytes, INT_MAX / 2));
    (void)::setsockopt(socket.fd(), SOL_SOCKET, SO_SNDBUF, &value, sizeof value);
}

Socket accept_waiting_connection(const Socket& listener, int& error_number) {
    for (;;) {
        const int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) return Socket(fd);
        error_number = errno;
        if (error_number == EINTR || error_number == ECONNABORTED) continue;
        return Socket();
    }
}

IoResult receive_available(const Socket& socket, char* buffer, std::size_t capacity) {
    ssize_t n;
    do {
        n = ::recv(socket.fd(), buffer, capacity, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return io_result(n);
}

IoResult send_available(const Socket& socket, std::string_view first, std::string_view second) {
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                      {const_cast<char*>(second.data()), second.size()}};
    msghdr message{};
    message.msg_iov = first.empty() ? parts + 1 : parts;
    message.msg_iovlen = first.empty() || second.empty() ? 1 : 2;
    ssize_t n;
    do {
        n = ::sendmsg(socket.fd(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return io_result(n);
}

bool input_pending(const Socket& socket) {
    char probe;
    return ::recv(socket.fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

Poller::Poller() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (fd_ < 0) throw SocketError("epoll_create1", errno);
}

Poller::~Poller() { ::close(fd_); }

void Poller::add(int fd, std::uint64_t key, std::uint32_t interest, bool one_shot) {
    epoll_event event = epoll_entry(key, interest, one_shot);
    if (::epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) != 0) throw SocketError("epoll_ctl", errno);
}

void Poller::modify(int fd, std::uint64_t key, std::uint32_t interest, bool one_shot) {
    epoll_event event = epoll_entry(key, interest, one_shot);
    if (::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &event) != 0) throw SocketError("epoll_ctl", errno);
}

std::size_t Poller::wait(std::uint64_t* keys, std::size_t capacity, std::chrono::milliseconds timeout) {
    constexpr std::size_t kBatch = 128;
    epoll_event ready[kBatch];
    const int wanted = static_cast<int>(std::min(capacity, kBatch));
    const int n =
        ::epoll_wait(fd_, ready, wanted, static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX)));
    if (n < 0) {
        if (errno == EINTR) return 0;
        throw SocketError("epoll_wait", errno);
    }
    for (int i = 0; i < n; ++i) keys[i] = ready[i].data.u64;
    return static_cast<std::size_t>(n);
}

Waker::Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw SocketError("eventfd", errno);
}

Waker::~Waker() { ::close(fd_); }

void Waker::notify() noexcept {
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is already a pending wake-up.
    (void)!::write(fd_, &one, sizeof one);
}

void Waker::clear() noexcept {
    std::uint64_t count;
    (void)!::read(fd_, &count, sizeof count);
}

std::size_t raise_open_file_limit() noexcept {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(limit.rlim_cur);
}

void ignore_broken_pipe_signal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace vesk::platform
