#include "service/http_request.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "model/ascii_text.hpp"
#include "model/json_util.hpp"

namespace vesk {
namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void refuse(const char* message) {
    throw std::invalid_argument(message);
}

std::string_view strip_one_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_c_space(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !is_c_space(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

void parse_request_line(std::string_view line, HttpRequest& request) {
    const std::vector<std::string_view> words = split_words(line);
    if (words.size() < 3 || words[2] != "HTTP/1.1") refuse("Only a valid HTTP/1.1 request line is accepted");
    if (words.size() > 3) refuse("HTTP request line contains extra fields");
    request.method = std::string(words[0]);
    request.target = std::string(words[1]);
}

void parse_header_line(std::string_view line, HttpRequest& request) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) refuse("HTTP header is missing ':'");
    std::string name = to_lower_ascii(trim_header_value(line.substr(0, colon)));
    if (name.empty() || request.headers.count(name) != 0) refuse("HTTP header name is empty or duplicated");
    request.headers.emplace(std::move(name), trim_header_value(line.substr(colon + 1)));
}

}  // namespace

std::size_t HttpRequestReader::wanted() const noexcept {
    if (complete_) return 0;
    if (!headers_complete_) return kHttpReceiveChunk;
    return static_cast<std::size_t>(std::min<std::uint64_t>(body_length_ - request_.body.size(), kHttpReceiveChunk));
}

bool HttpRequestReader::feed(std::string_view bytes) {
    if (complete_) return true;
    if (bytes.empty()) {
        refuse(headers_complete_ ? "HTTP request body ended before Content-Length"
                                 : "HTTP request ended before its headers");
    }
    if (headers_complete_) {
        request_.body.append(bytes.substr(0, body_length_ - request_.body.size()));
        complete_ = request_.body.size() == body_length_;
        return complete_;
    }
    // Only the new bytes and the three before them can complete the terminator, so a
    // client sending one byte at a time costs linear, not quadratic, work.
    const std::size_t search_from = received_.size() < 3 ? 0 : received_.size() - 3;
    received_.append(bytes);
    // Everything received counts, body bytes that came with the terminator included.
    if (received_.size() > kMaxHttpHeaderBytes) refuse("HTTP headers exceed 32 KiB");
    if (received_.size() < kTerminator.size()) return false;
    const std::size_t header_end = received_.find(kTerminator, search_from);
    if (header_end == std::string::npos) return false;
    finish_headers(header_end);
    return complete_;
}

void HttpRequestReader::finish_headers(std::size_t header_end) {
    const std::string_view block = std::string_view(received_).substr(0, header_end);
    if (block.empty()) refuse("HTTP request line is missing");
    std::size_t line_end = block.find('\n');
    parse_request_line(strip_one_cr(block.substr(0, line_end)), request_);
    while (line_end != std::string_view::npos) {
        const std::size_t start = line_end + 1;
        line_end = block.find('\n', start);
        parse_header_line(strip_one_cr(block.substr(start, line_end == std::string_view::npos
                                                                ? std::string_view::npos
                                                                : line_end - start)),
                          request_);
    }
    // Chunked bodies are not spoken here; a body whose end two parties judge differently
    // is how requests get smuggled past a proxy.
    if (request_.headers.count("transfer-encoding") != 0) refuse("HTTP request bodies must use Content-Length");
    body_length_ = parse_content_length(request_.headers).value_or(0);
    request_.body = received_.substr(header_end + kTerminator.size());
    if (request_.body.size() > body_length_) request_.body.resize(static_cast<std::size_t>(body_length_));
    std::string().swap(received_);
    headers_complete_ = true;
    complete_ = request_.body.size() == body_length_;
}

HttpRequest HttpRequestReader::take_request() { return std::move(request_); }

HttpRequest read_http_request(const HttpReceive& receive) {
    HttpRequestReader reader;
    char buffer[kHttpReceiveChunk];
    for (;;) {
        const std::size_t ask = reader.wanted();
        const std::size_t n = std::min(receive(buffer, ask), ask);
        if (reader.feed(std::string_view(buffer, n))) return reader.take_request();
    }
}

std::optional<std::uint64_t> parse_content_length(const std::map<std::string, std::string>& headers) {
    const auto found = headers.find("content-length");
    if (found == headers.end()) return std::nullopt;
    const std::string& text = found->second;
    // strtoull tells "no digits" and overflow apart; anything but plain digits (a sign
    // included, which it would accept) is a malformed length.
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    if (end == begin || errno == ERANGE) refuse("Content-Length must be a non-negative integer");
    if (!is_ascii_digit(text.front()) || end != begin + text.size() || value > kMaxHttpBodyBytes) {
        refuse("Content-Length is invalid or exceeds 32 MiB");
    }
    return static_cast<std::uint64_t>(value);
}

std::string trim_header_value(std::string_view text) {
    while (!text.empty() && is_c_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_c_space(text.back())) text.remove_suffix(1);
    return std::string(text);
}

bool has_json_content_type(const HttpRequest& request) {
    const auto found = request.headers.find("content-type");
    if (found == request.headers.end()) return false;
    const std::string_view value = found->second;
    return to_lower_ascii(trim_header_value(value.substr(0, value.find(';')))) == "application/json";
}

std::vector<std::string> split_target_path(std::string_view target) {
    std::vector<std::string> segments;
    if (target.empty() || target.front() != '/' || target.find_first_of("?#") != std::string_view::npos) {
        return segments;
    }
    std::size_t start = 1;
    while (start <= target.size()) {
        const std::size_t end = std::min(target.find('/', start), target.size());
        if (end > start) segments.emplace_back(target.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

SortedJson parse_json_body(std::string_view body, const std::string& prefix) {
    try {
        return parse_strict_json(body);
    } catch (const std::exception& error) {
        throw std::invalid_argument(prefix + error.what());
    }
}

}  // namespace vesk
