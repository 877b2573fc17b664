#include "service/pilot_routes.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "model/json_util.hpp"
#include "pilot/pilot_record.hpp"
#include "service/job_record.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPilotJobSchema = "vesk-z23-edur-job-v1";
constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Segments of a target: none for an empty target, one not starting with '/', or one
// holding '?' or '#'; else the pieces between '/', empty ones dropped.
std::vector<std::string> target_segments(std::string_view target) {
    std::vector<std::string> segments;
    if (target.empty() || target.front() != '/' || target.find_first_of("?#") != std::string_view::npos) {
        return segments;
    }
    std::size_t at = 1;
    while (at <= target.size()) {
        const std::size_t slash = std::min(target.find('/', at), target.size());
        if (slash > at) segments.emplace_back(target.substr(at, slash - at));
        at = slash + 1;
    }
    return segments;
}

// Standard base64 with "=" padding and no white space.
std::string decode_source_base64(std::string_view text) {
    const auto refuse = [] { throw std::invalid_argument("source_image.data_base64 is not valid base64"); };
    const auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    if (text.empty() || text.size() % 4 != 0) refuse();
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<std::size_t>(k)];
            if (c == '=' && last && k >= 2) {
                ++padding;
                v[k] = 0;
                continue;
            }
            if (padding > 0) refuse();  // data after padding
            v[k] = value(c);
            if (v[k] < 0) refuse();
        }
        const unsigned group = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                               (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        // Canonical form: the bits that padding drops must be zero.
        if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) refuse();
        bytes.push_back(static_cast<char>(group >> 16));
        if (padding < 2) bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
        if (padding < 1) bytes.push_back(static_cast<char>(group & 0xFF));
    }
    return bytes;
}

std::string required_string(const SortedJson& object, const std::string& key, const std::string& context) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        throw std::invalid_argument(context + ": field '" + key + "' must be a string");
    }
    std::string text = it->get<std::string>();
    if (text.empty()) throw std::invalid_argument(context + ": field '" + key + "' must not be empty");
    return text;
}

void refuse_unknown_keys(const SortedJson& object, const std::vector<std::string>& allowed, const std::string& what) {
    for (const auto& item : object.items()) {  // ascending byte order of the keys
        if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
            throw std::invalid_argument(what + " contains unknown field '" + item.key() + "'");
        }
    }
}

std::string file_content_type(const std::string& name, const fs::path& path) {
    if (name == "source") {
        std::string extension = path.extension().string();
        for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return extension == ".pdf" ? "application/pdf" : "image/png";
    }
    if (name == "preview.png") return "image/png";
    if (name == "model.step") return "model/step";
    if (name == "front.svg" || name == "top.svg" || name == "side.svg") return "image/svg+xml; charset=utf-8";
    if (name == "report.json" || name == "traffic.json") return "application/json; charset=utf-8";
    return "application/octet-stream";
}

HttpResponse accepted(const OrderedJson& document) {
    return make_json_response(202, "Accepted", document);
}

HttpResponse route_pilot_create(PilotService& pilot, const HttpRequest& request) {
    if (!has_json_content_type(request)) {
        return make_error_response(415, "Unsupported Media Type", "unsupported_media_type",
                                   "POST /api/pilot/jobs requires application/json");
    }
    try {
        return accepted(handle_pilot_create(pilot, parse_pilot_submission(request.body)));
    } catch (const std::invalid_argument& error) {
        return make_error_response(400, "Bad Request", "invalid_pilot_request", error.what());
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "pilot_storage_failed", error.what());
    }
}

}  // namespace

PilotSubmission parse_pilot_submission(std::string_view body) {
    const SortedJson json = parse_json_body(body, "Z23-Edur body is not valid JSON: ");
    if (!json.is_object()) throw std::invalid_argument("Z23-Edur body must be an object");
    refuse_unknown_keys(json, {"schema_version", "drawing_id", "source", "declared_dpi"}, "Z23-Edur body");
    const std::string context = "Z23-Edur job";
    if (required_string(json, "schema_version", context) != kPilotJobSchema) {
        throw std::invalid_argument("Z23-Edur job schema is invalid");
    }
    PilotSubmission submission;
    submission.drawing_id = required_string(json, "drawing_id", context);
    const auto source = json.find("source");
    if (source == json.end() || !source->is_object()) throw std::invalid_argument("Z23-Edur source must be an object");
    refuse_unknown_keys(*source, {"filename", "media_type", "data_base64"}, "Z23-Edur source");
    submission.source_filename = required_string(*source, "filename", "Z23-Edur source");
    submission.media_type = required_string(*source, "media_type", "Z23-Edur source");
    submission.bytes = decode_source_base64(required_string(*source, "data_base64", "Z23-Edur source"));
    if (submission.media_type == "image/png") {
        if (!submission.bytes.starts_with(kPngSignature)) {
            throw std::invalid_argument("source_image must contain PNG bytes");
        }
    } else if (submission.media_type == "application/pdf") {
        if (!submission.bytes.starts_with("%PDF-")) throw std::invalid_argument("Z23-Edur PDF signature is invalid");
    } else {
        throw std::invalid_argument("Z23-Edur source media type is unsupported");
    }
    const auto dpi = json.find("declared_dpi");
    if (dpi != json.end() && !dpi->is_null()) {
        if (!dpi->is_number()) throw std::invalid_argument("Z23-Edur declared_dpi must be numeric or null");
        submission.declared_dpi = dpi->get<double>();
    }
    return submission;
}

HttpResponse route_pilot_status(PilotService& pilot, const std::string& job_id) {
    const std::optional<OrderedJson> status = handle_pilot_status(pilot, job_id);
    if (!status) return make_error_response(404, "Not Found", "pilot_job_not_found", "Z23-Edur pilot job was not found");
    return make_json_response(200, "OK", *status);
}

HttpResponse route_pilot_review(PilotService& pilot, const std::string& job_id, const HttpRequest& request) {
    if (!has_json_content_type(request)) {
        return make_error_response(415, "Unsupported Media Type", "unsupported_media_type",
                                   "Z23-Edur review requires application/json");
    }
    try {
        // A body that is not JSON is the parser's own error, answered as a server error.
        const SortedJson body = parse_strict_json(request.body);
        return accepted(handle_pilot_review(pilot, job_id, body));
    } catch (const std::invalid_argument& error) {
        return make_error_response(400, "Bad Request", "invalid_pilot_review", error.what());
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "pilot_review_failed", error.what());
    }
}

HttpResponse route_pilot_artifact(PilotService& pilot, const std::string& job_id, const std::string& name) {
    try {
        const std::optional<fs::path> path = handle_pilot_artifact(pilot, job_id, name);
        if (!path) {
            return make_error_response(404, "Not Found", "pilot_artifact_not_found",
                                       "Z23-Edur pilot artifact is unavailable");
        }
        HttpResponse response;
        response.status = 200;
        response.reason = "OK";
        response.content_type = file_content_type(name, *path);
        response.body = read_service_file(*path);
        return response;
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "pilot_artifact_read_failed", error.what());
    }
}

std::optional<HttpResponse> route_pilot_request(PilotService& pilot, const HttpRequest& request) {
    const std::string& method = request.method;
    if (method == "POST" && request.target == "/api/pilot/jobs") return route_pilot_create(pilot, request);
    const std::vector<std::string> s = target_segments(request.target);
    if (s.size() < 4 || s[0] != "api" || s[1] != "pilot" || s[2] != "jobs") return std::nullopt;
    if (method == "GET" && s.size() == 4) return route_pilot_status(pilot, s[3]);
    if (method == "POST" && s.size() == 5 && s[4] == "review") return route_pilot_review(pilot, s[3], request);
    if (method == "GET" && s.size() == 6 && s[4] == "files") return route_pilot_artifact(pilot, s[3], s[5]);
    return std::nullopt;
}

}  // namespace vesk
