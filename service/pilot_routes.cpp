#include "service/pilot_routes.hpp"
#include "service/pilot_routes_internal.hpp"

#include <stdexcept>
#include <vector>

#include "intake/provider_inputs.hpp"
#include "model/json_util.hpp"
#include "pilot/pilot_record.hpp"
#include "service/field_checks.hpp"
#include "service/job_record.hpp"
#include "service/job_submission.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPilotJobSchema = "vesk-z23-edur-job-v1";

// Content type of a pilot file: the job files' types, except that the source is a PDF or a
// PNG by its extension and the preview is always a PNG.
std::string pilot_content_type(const std::string& name, const fs::path& path) {
    if (name == "source") {
        return to_lower(path.extension().string()) == ".pdf" ? "application/pdf" : "image/png";
    }
    if (name == "preview.png") return "image/png";
    return content_type_for(name);
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
    check_known_fields(json, {"schema_version", "drawing_id", "source", "declared_dpi"}, "Z23-Edur body",
                       UnknownFieldWording::contains);
    const std::string context = "Z23-Edur job";
    if (require_text_field(json, "schema_version", context) != kPilotJobSchema) {
        throw std::invalid_argument("Z23-Edur job schema is invalid");
    }
    PilotSubmission submission;
    submission.drawing_id = require_text_field(json, "drawing_id", context);
    const auto source = json.find("source");
    if (source == json.end()) throw std::invalid_argument("Z23-Edur source must be an object");
    check_known_fields(*source, {"filename", "media_type", "data_base64"}, "Z23-Edur source",
                       UnknownFieldWording::contains);
    submission.source_filename = require_text_field(*source, "filename", "Z23-Edur source");
    submission.media_type = require_text_field(*source, "media_type", "Z23-Edur source");
    submission.bytes = decode_base64(require_text_field(*source, "data_base64", "Z23-Edur source"));
    if (submission.media_type == "image/png") {
        require_png_signature(submission.bytes);
    } else if (submission.media_type == "application/pdf") {
        require_pdf_signature(submission.bytes);
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
        return make_file_response(pilot_content_type(name, *path), open_service_file(*path));
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "pilot_artifact_read_failed", error.what());
    }
}

std::optional<HttpResponse> route_pilot_request(PilotService& pilot, const HttpRequest& request) {
    const std::string& method = request.method;
    if (method == "POST" && request.target == "/api/pilot/jobs") return route_pilot_create(pilot, request);
    const std::vector<std::string> s = split_target_path(request.target);
    if (s.size() < 4 || s[0] != "api" || s[1] != "pilot" || s[2] != "jobs") return std::nullopt;
    if (method == "GET" && s.size() == 4) return route_pilot_status(pilot, s[3]);
    if (method == "POST" && s.size() == 5 && s[4] == "review") return route_pilot_review(pilot, s[3], request);
    if (method == "GET" && s.size() == 6 && s[4] == "files") return route_pilot_artifact(pilot, s[3], s[5]);
    return std::nullopt;
}

}  // namespace vesk
