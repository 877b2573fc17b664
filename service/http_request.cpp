#include "service/http_request.hpp"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "model/json_util.hpp"

namespace vesk {
namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

std::string to_lower_ascii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
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

HttpRequest read_http_request(const HttpReceive& receive) {
    std::string received;
    char buffer[kHttpReceiveChunk];
    std::size_t header_end = std::string::npos;
    while (header_end == std::string::npos) {
        const std::size_t n = receive(buffer, sizeof buffer);
        if (n == 0) refuse("HTTP request ended before its headers");
        // Only the new bytes and the three before them can complete the terminator, so
        // a client sending one byte at a time costs linear, not quadratic, work.
        const std::size_t search_from = received.size() < 3 ? 0 : received.size() - 3;
        received.append(buffer, n);
        if (received.size() > kMaxHttpHeaderBytes) refuse("HTTP headers exceed 32 KiB");
        if (received.size() >= 4) header_end = received.find(kTerminator, search_from);
    }

    const std::string_view block = std::string_view(received).substr(0, header_end);
    if (block.empty()) refuse("HTTP request line is missing");
    HttpRequest request;
    std::size_t line_end = block.find('\n');
    parse_request_line(strip_one_cr(block.substr(0, line_end)), request);
    while (line_end != std::string_view::npos) {
        const std::size_t start = line_end + 1;
        line_end = block.find('\n', start);
        parse_header_line(strip_one_cr(block.substr(start, line_end == std::string_view::npos
                                                                ? std::string_view::npos
                                                                : line_end - start)),
                          request);
    }

    const std::optional<std::uint64_t> length = parse_content_length(request.headers);
    if (!length) return request;
    const std::size_t wanted = static_cast<std::size_t>(*length);
    request.body = received.substr(header_end + kTerminator.size());
    if (request.body.size() > wanted) request.body.resize(wanted);
    while (request.body.size() < wanted) {
        const std::size_t ask = std::min(wanted - request.body.size(), kHttpReceiveChunk);
        const std::size_t n = receive(buffer, ask);
        if (n == 0) refuse("HTTP request body ended before Content-Length");
        request.body.append(buffer, std::min(n, ask));
    }
    return request;
}

std::optional<std::uint64_t> parse_content_length(const std::map<std::string, std::string>& headers) {
    const auto found = headers.find("content-length");
    if (found == headers.end()) return std::nullopt;
    const std::string& text = found->second;
    // strtoull semantics on purpose: leading blanks and a sign are the library's business;
    // a minus sign wraps to a huge value, which the range check then refuses.
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    if (end == begin || errno == ERANGE) refuse("Content-Length must be a non-negative integer");
    if (end != begin + text.size() || value > kMaxHttpBodyBytes) {
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
    return found != request.headers.end() && to_lower_ascii(found->second).rfind("application/json", 0) == 0;
}

nlohmann::json parse_json_body(std::string_view body, const std::string& prefix) {
    try {
        return parse_strict_json(body);
    } catch (const std::exception& error) {
        throw std::invalid_argument(prefix + error.what());
    }
}

}  // namespace vesk
