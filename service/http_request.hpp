// The request reader of the local HTTP server: one HTTP/1.1 request read whole into
// memory under fixed limits. It never touches a socket; its bytes come from a receive
// function, so the same code serves the connection handlers, the tests and the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vesk {

// Largest single receive, for the header block and for the body.
inline constexpr std::size_t kHttpReceiveChunk = 8192;
// Everything received before the end of the header block was found, terminator included.
inline constexpr std::size_t kMaxHttpHeaderBytes = 32768;
// Largest accepted Content-Length (32 MiB).
inline constexpr std::uint64_t kMaxHttpBodyBytes = 33554432;

struct HttpRequest {
    std::string method;                         // as sent
    std::string target;                         // as sent, not decoded
    std::map<std::string, std::string> headers;  // lower-case names, trimmed values
    std::string body;                           // exactly Content-Length bytes
};

// Fills at most `capacity` bytes of `buffer`; returns the count, 0 for end of stream,
// failure or time-out.
using HttpReceive = std::function<std::size_t(char* buffer, std::size_t capacity)>;

// Reads one request. Every refusal is a std::invalid_argument with a fixed message.
HttpRequest read_http_request(const HttpReceive& receive);

// The "content-length" header: none without it; else a std::invalid_argument.
std::optional<std::uint64_t> parse_content_length(const std::map<std::string, std::string>& headers);

// Strips C-locale white space (space, \t, \n, \v, \f, \r) at both ends.
std::string trim_header_value(std::string_view text);

// True when the "content-type" header, lower-cased, begins with "application/json".
bool has_json_content_type(const HttpRequest& request);

// The one entry point for JSON request bodies: the strict parser (nesting limit, repeated
// keys refused) into the key-sorted type. Any failure, a syntax error included, becomes
// std::invalid_argument(prefix + the parser's message), so a hostile body is a 400.
nlohmann::json parse_json_body(std::string_view body, const std::string& prefix);

}  // namespace vesk
