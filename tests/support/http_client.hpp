// A small HTTP client of the tests: raw bytes to 127.0.0.1, the whole answer back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vesk::test {

struct HttpReply {
    int status = 0;            // 0 when no status line arrived
    std::string head;          // status line and headers, each ended by "\r\n", plus "\r\n"
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

// Connects to 127.0.0.1:port, sends request whole, reads until the server closes the
// connection or `timeout` passes. Throws std::runtime_error when it cannot connect.
std::string http_exchange(std::uint16_t port, std::string_view request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

HttpReply parse_http_reply(const std::string& raw);

// "Host: 127.0.0.1:<port>\r\n": the service refuses any other name.
std::string host_header(std::uint16_t port);

HttpReply http_get(std::uint16_t port, const std::string& target,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
HttpReply http_post(std::uint16_t port, const std::string& target, const std::string& body,
                    const std::string& content_type = "application/json",
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Standard base64 with "=" padding: the encoding of the services' upload bodies.
std::string base64_encode(std::string_view bytes);

// A connected client socket to 127.0.0.1:port (close it with ::close); throws on failure.
int connect_to_loopback(std::uint16_t port);

}  // namespace vesk::test
