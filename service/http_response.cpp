#include "service/http_response.hpp"

namespace vesk {
namespace {

constexpr std::string_view kFixedHeaders =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' blob: data:; style-src 'self'; "
    "script-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'\r\n"
    "Connection: close\r\n"
    "\r\n";

HttpResponse json_response(std::uint32_t status, std::string reason, const OrderedJson& document,
                           OrderedJson::error_handler_t utf8) {
    HttpResponse response;
    response.status = status;
    response.reason = std::move(reason);
    response.content_type = std::string(kJsonContentType);
    response.body = document.dump(2, ' ', false, utf8);
    response.body.push_back('\n');
    return response;
}

}  // namespace

std::uint64_t body_length(const HttpResponse& response) {
    return response.file ? response.file->size_when_opened() : response.body.size();
}

std::string http_response_head(const HttpResponse& response) {
    std::string head;
    head.reserve(512);
    head += "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
    head += "Content-Type: " + response.content_type + "\r\n";
    head += "Content-Length: " + std::to_string(body_length(response)) + "\r\n";
    head += kFixedHeaders;
    return head;
}

HttpResponse make_file_response(std::string content_type, std::shared_ptr<platform::ReadableFile> file) {
    HttpResponse response;
    response.status = 200;
    response.reason = "OK";
    response.content_type = std::move(content_type);
    response.file = std::move(file);
    return response;
}

HttpResponse make_json_response(std::uint32_t status, std::string reason, const OrderedJson& document) {
    return json_response(status, std::move(reason), document, OrderedJson::error_handler_t::replace);
}

std::string content_type_for(std::string_view artifact_name) {
    if (artifact_name == "source.png") return "image/png";
    if (artifact_name == "model.step") return "model/step";
    if (artifact_name == "front.svg" || artifact_name == "top.svg" || artifact_name == "side.svg") {
        return "image/svg+xml; charset=utf-8";
    }
    if (artifact_name == "report.json" || artifact_name == "traffic.json") return "application/json; charset=utf-8";
    return "application/octet-stream";
}

OrderedJson error_document(const std::string& code, const std::string& message) {
    OrderedJson document;
    document["schema_version"] = "vesk-local-error-v1";
    document["error"]["code"] = code;
    document["error"]["message"] = message;
    return document;
}

HttpResponse make_error_response(std::uint32_t status, std::string reason, const std::string& code,
                                 const std::string& message) {
    return json_response(status, std::move(reason), error_document(code, message),
                         OrderedJson::error_handler_t::replace);
}

}  // namespace vesk
