#include "service/http_router.hpp"

#include <array>
#include <string_view>

#include "service/job_record.hpp"
#include "service/pilot_routes.hpp"
#include "service/local_service_impl.hpp"

namespace vesk {
namespace {

struct WebFile {
    std::string_view target;
    std::string_view file;
    std::string_view content_type;
};

constexpr std::array<WebFile, 4> kWebFiles{{
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/styles.css", "styles.css", "text/css; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
}};

const WebFile* find_web_file(std::string_view target) {
    for (const WebFile& file : kWebFiles) {
        if (file.target == target) return &file;
    }
    return nullptr;
}

HttpResponse not_found() {
    return make_error_response(404, "Not Found", "not_found", "Local API route not found");
}

}  // namespace

nlohmann::ordered_json health_document(const LocalService::Impl& service) {
    nlohmann::ordered_json document;
    document["schema_version"] = "vesk-local-health-v1";
    document["status"] = "ok";
    document["host"] = "127.0.0.1";
    document["port"] = service.bound_port;
    document["reader_provider"] =
        service.reader_provider ? std::string(service.reader_provider->name()) : std::string("disabled");
    return document;
}

HttpResponse handle_web_file(const LocalService::Impl& service, const std::string& target) {
    if (service.options.web_directory.empty()) {
        return make_error_response(404, "Not Found", "web_ui_unavailable", "Local web files are not configured");
    }
    const WebFile* file = find_web_file(target);
    if (file == nullptr) return make_error_response(404, "Not Found", "web_file_not_found", "Web file was not found");
    try {
        HttpResponse response;
        response.status = 200;
        response.reason = "OK";
        response.content_type = std::string(file->content_type);
        response.body = read_service_file(service.options.web_directory / file->file);
        return response;
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "web_file_read_failed", error.what());
    }
}

HttpResponse route_request(LocalService::Impl& service, const HttpRequest& request) {
    const std::string& method = request.method;
    const std::string& target = request.target;
    if (method == "GET" && find_web_file(target) != nullptr) return handle_web_file(service, target);
    if (method == "GET" && target == "/health") return make_json_response(200, "OK", health_document(service));
    if (auto pilot = route_pilot_request(*service.pilot, request)) return std::move(*pilot);
    return not_found();
}

}  // namespace vesk
