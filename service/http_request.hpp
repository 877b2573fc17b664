// The request reader of the local HTTP server: one HTTP/1.1 request read whole into
// memory under fixed limits. It never touches a socket or a clock: it is fed the bytes of
// each receive, so the same code serves the connection loop, the tests and the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/dimension_graph.hpp"

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

// Reads one request from the bytes of successive receives. Every refusal is a
// std::invalid_argument with a fixed message; after one, the reader is spent.
class HttpRequestReader {
public:
    // The most bytes the next receive should ask for: the header block is received in
    // chunks of kHttpReceiveChunk, the body never past its declared length. 0 once complete.
    std::size_t wanted() const noexcept;
    // The bytes of one receive; true once the request is complete. Empty bytes mean the
    // stream ended (closed, failed or timed out) and refuse an incomplete request. Body
    // bytes past the declared length are dropped.
    bool feed(std::string_view bytes);
    bool headers_complete() const noexcept { return headers_complete_; }
    // The declared Content-Length (0 without one), once the headers are complete.
    std::uint64_t body_length() const noexcept { return body_length_; }
    // Body bytes received so far.
    std::uint64_t body_received() const noexcept { return request_.body.size(); }
    bool complete() const noexcept { return complete_; }
    // The request, once complete; leaves the reader empty.
    HttpRequest take_request();

private:
    std::string received_;  // everything before the end of the header block was found
    HttpRequest request_;
    std::uint64_t body_length_ = 0;
    bool headers_complete_ = false;
    bool complete_ = false;

    void finish_headers(std::size_t header_end);
};

// Fills at most `capacity` bytes of `buffer`; returns the count, 0 for end of stream,
// failure or time-out.
using HttpReceive = std::function<std::size_t(char* buffer, std::size_t capacity)>;

// Reads one request through an HttpRequestReader.
HttpRequest read_http_request(const HttpReceive& receive);

// The "content-length" header: none without it; else a std::invalid_argument.
std::optional<std::uint64_t> parse_content_length(const std::map<std::string, std::string>& headers);

// Strips C-locale white space (space, \t, \n, \v, \f, \r) at both ends.
std::string trim_header_value(std::string_view text);

// True when the "content-type" header's media type, before any parameters, is
// application/json (ASCII case ignored).
bool has_json_content_type(const HttpRequest& request);

// The segments of a target: empty when it is empty, does not begin with '/', or holds '?'
// or '#'; otherwise the text after the leading '/' split at '/', empty pieces dropped.
std::vector<std::string> split_target_path(std::string_view target);

// The one entry point for JSON request bodies: the strict parser (nesting limit, repeated
// keys refused) into the key-sorted type. Any failure, a syntax error included, becomes
// std::invalid_argument(prefix + the parser's message), so a hostile body is a 400.
SortedJson parse_json_body(std::string_view body, const std::string& prefix);

}  // namespace vesk
