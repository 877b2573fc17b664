// The response side of the local HTTP server: one response per connection with a fixed
// set of security headers, JSON documents serialised one way, and the error document
// that every failing route answers with.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/dimension_graph.hpp"
#include "platform/files.hpp"

namespace vesk {

inline constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";

struct HttpResponse {
    std::uint32_t status = 200;
    std::string reason;
    std::string content_type;
    std::string body;
    // A file answer: the body is the file's first size_when_opened() bytes, read from disk
    // as the client takes them (`body` stays empty), so no answer holds a file in memory.
    std::shared_ptr<platform::ReadableFile> file;
};

// Bytes of the body: the file's size when it was opened, or the built body's.
std::uint64_t body_length(const HttpResponse& response);

// The response head: status line, the seven fixed headers, then the empty line.
std::string http_response_head(const HttpResponse& response);

// 200 "OK" answering with the file.
HttpResponse make_file_response(std::string content_type, std::shared_ptr<platform::ReadableFile> file);

// Indent 2, keys in insertion order, UTF-8 unescaped, one final "\n". Invalid UTF-8 in a
// string is replaced (U+FFFD): a job's own message must never make its status unanswerable.
HttpResponse make_json_response(std::uint32_t status, std::string reason, const OrderedJson& document);

// Content type of a job file by its name; "application/octet-stream" for any other name.
std::string content_type_for(std::string_view artifact_name);

OrderedJson error_document(const std::string& code, const std::string& message);

// The error document, answered as make_json_response does: an error message may quote raw
// request bytes, and answering an error must never fail in turn.
HttpResponse make_error_response(std::uint32_t status, std::string reason, const std::string& code,
                                 const std::string& message);

}  // namespace vesk
