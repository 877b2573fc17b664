#include "support/http_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vesk::test {

int connect_to_loopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error("connect to port " + std::to_string(port) + " failed, errno " + std::to_string(error));
    }
    return fd;
}

std::string http_exchange(std::uint16_t port, std::string_view request, std::chrono::milliseconds timeout) {
    const int fd = connect_to_loopback(port);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string_view left = request;
    while (!left.empty()) {
        const ssize_t n = ::send(fd, left.data(), left.size(), MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may answer and close before reading everything
        left.remove_prefix(static_cast<std::size_t>(n));
    }
    std::string answer;
    char buffer[16384];
    for (;;) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(remaining.count())) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

HttpReply parse_http_reply(const std::string& raw) {
    HttpReply reply;
    const std::size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
    reply.status = std::stoi(raw.substr(9, 3));
    reply.head = raw.substr(0, end + 4);
    reply.body = raw.substr(end + 4);
    std::size_t line = raw.find("\r\n") + 2;
    while (line < end) {
        const std::size_t next = raw.find("\r\n", line);
        const std::string text = raw.substr(line, next - line);
        const std::size_t colon = text.find(": ");
        std::string name = text.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (colon != std::string::npos) reply.headers[name] = text.substr(colon + 2);
        line = next + 2;
    }
    return reply;
}

std::string host_header(std::uint16_t port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

HttpReply http_get(std::uint16_t port, const std::string& target, std::chrono::milliseconds timeout) {
    return parse_http_reply(
        http_exchange(port, "GET " + target + " HTTP/1.1\r\n" + host_header(port) + "\r\n", timeout));
}

HttpReply http_post(std::uint16_t port, const std::string& target, const std::string& body,
                    const std::string& content_type, std::chrono::milliseconds timeout) {
    return parse_http_reply(
        http_exchange(port,
                      "POST " + target + " HTTP/1.1\r\n" + host_header(port) + "Content-Type: " + content_type +
                          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                      timeout));
}

std::string base64_encode(std::string_view bytes) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        encoded += kAlphabet[(group >> 18) & 63];
        encoded += kAlphabet[(group >> 12) & 63];
        encoded += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        encoded += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return encoded;
}

}  // namespace vesk::test
