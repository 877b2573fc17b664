#include "service/http_router.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "intake/provider_inputs.hpp"
#include "model/json_util.hpp"
#include "service/completion_routes.hpp"
#include "service/job_record.hpp"
#include "service/job_store.hpp"
#include "service/job_submission.hpp"
#include "service/local_service_impl.hpp"
#include "service/pilot_routes.hpp"

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

HttpResponse job_not_found() {
    return make_error_response(404, "Not Found", "job_not_found", "Local job was not found");
}

struct JobFile {
    std::string_view name;
    std::filesystem::path (*path)(const JobRecord& job);
};

// Route-12 names and the record path each one serves (outputs present: checked first).
constexpr std::array<JobFile, 7> kJobFiles{{
    {"source.png", [](const JobRecord& job) { return job.source_png_path; }},
    {"model.step", [](const JobRecord& job) { return job.artifacts->step; }},
    {"front.svg", [](const JobRecord& job) { return job.artifacts->front_svg; }},
    {"top.svg", [](const JobRecord& job) { return job.artifacts->top_svg; }},
    {"side.svg", [](const JobRecord& job) { return job.artifacts->side_svg; }},
    {"report.json", [](const JobRecord& job) { return job.artifacts->report; }},
    {"traffic.json", [](const JobRecord& job) { return job.traffic_path; }},
}};

OrderedJson file_entry(const std::filesystem::path& path, const std::string& base, std::string_view name) {
    OrderedJson entry;
    entry["filename"] = path.filename().string();
    entry["url"] = base + std::string(name);
    return entry;
}

OrderedJson error_object(const JobRecord& job) {
    OrderedJson error;
    error["code"] = job.error_code;
    error["message"] = job.error_message;
    return error;
}

[[noreturn]] void logic_failure(const char* message) {
    throw std::logic_error(message);
}

// The counts of the result document, with the checks that the traffic file and the
// approved completion records agree.
OrderedJson provenance_counts(const JobRecord& job, const SortedJson& traffic) {
    std::map<std::string, std::string> approved;
    for (const CompletionRecord& record : job.completion_records) {
        if (record.status != kStatusApproved) continue;
        if (!record.approved_constraint_id || record.approved_constraint_id->empty() ||
            !approved.emplace(*record.approved_constraint_id, record.provenance).second) {
            logic_failure("Approved completion records do not have unique target constraint ids");
        }
    }
    std::size_t green = 0;
    std::set<std::string> seen;
    std::map<std::string, int> approved_seen;
    for (const SortedJson& entry : traffic.at("dimensions")) {
        if (!entry.is_object() || entry.empty() || !entry.contains("constraint_id") ||
            !entry["constraint_id"].is_string() || !entry.contains("signal") || !entry["signal"].is_string()) {
            logic_failure("Completed local job traffic has an invalid dimension");
        }
        const std::string& id = entry["constraint_id"].get_ref<const std::string&>();
        if (id.empty() || !seen.insert(id).second) {
            logic_failure("Completed local job traffic has duplicate or empty constraint ids");
        }
        if (entry.contains("provenance_status")) {
            if (!entry["provenance_status"].is_string()) {
                logic_failure("Completed local job traffic has an invalid provenance status");
            }
            if (entry["provenance_status"] != kStatusApproved) {
                logic_failure("Completed local job traffic has an unknown provenance status");
            }
            const auto target = approved.find(id);
            const bool matches = entry["signal"] == "yellow" && target != approved.end() &&
                                 entry.contains("confidence_applicable") && entry["confidence_applicable"].is_boolean() &&
                                 !entry["confidence_applicable"].get<bool>() && entry.contains("provenance_kind") &&
                                 entry["provenance_kind"].is_string() && entry["provenance_kind"] == target->second;
            if (!matches) logic_failure("Approved completion traffic does not match approved completion records");
            ++approved_seen[id];
        } else if (entry["signal"] == "green") {
            ++green;
        }
    }
    for (const auto& [id, provenance] : approved) {
        const auto count = approved_seen.find(id);
        if (count == approved_seen.end() || count->second != 1) {
            logic_failure("Approved completion records and traffic provenance disagree");
        }
    }
    if (approved_seen.size() != approved.size()) logic_failure("Approved completion records and traffic provenance disagree");
    OrderedJson counts;
    counts["drawing_proven_green"] = green;
    counts["approved_completion"] = approved.size();
    return counts;
}

// Whether a Host value, or an Origin's host and port, names this service. Port 80 may go
// unwritten, as clients leave out the default port; any other name is refused.
bool names_this_service(std::string_view authority, std::uint16_t port) {
    const std::string lower = to_lower(authority);
    const std::string suffix = ":" + std::to_string(port);
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        if (lower == host + suffix || (port == 80 && lower == host)) return true;
    }
    return false;
}

// A page elsewhere whose name was re-pointed at 127.0.0.1 (DNS rebinding) sends its own
// name as Host; a cross-site form or script sends its own Origin with a POST. Both are
// refused before any route. Local tools that send no Host are served.
std::optional<HttpResponse> refuse_foreign_request(const HttpRequest& request, std::uint16_t port) {
    const std::string service = "127.0.0.1:" + std::to_string(port);
    const auto host = request.headers.find("host");
    if (host != request.headers.end() && !names_this_service(host->second, port)) {
        return make_error_response(403, "Forbidden", "forbidden_host",
                                   "Host header must name this service: " + service);
    }
    constexpr std::string_view kScheme = "http://";
    const auto origin = request.headers.find("origin");
    if (request.method == "POST" && origin != request.headers.end()) {
        const std::string_view value = origin->second;
        if (to_lower(value.substr(0, kScheme.size())) != kScheme ||
            !names_this_service(value.substr(std::min(value.size(), kScheme.size())), port)) {
            return make_error_response(403, "Forbidden", "forbidden_origin",
                                       "Origin must be this service: http://" + service);
        }
    }
    return std::nullopt;
}

// "vesk-local-health-v1": status, loopback host, bound port and the reader provider.
OrderedJson health_document(const LocalService::Impl& service) {
    OrderedJson document;
    document["schema_version"] = "vesk-local-health-v1";
    document["status"] = "ok";
    document["host"] = "127.0.0.1";
    document["port"] = service.bound_port;
    document["reader_provider"] =
        service.reader_provider ? std::string(service.reader_provider->name()) : std::string("disabled");
    return document;
}

// GETs of the job API and the web files only read: they have handlers of their own. The
// pilot's GETs stay with the general handlers, as they wait on the pilot's lock, which a
// review holds across its whole binding.
bool is_quick_read(const HttpRequest& request) {
    if (request.method != "GET") return false;
    if (find_web_file(request.target) != nullptr) return true;
    const std::vector<std::string> segments = split_target_path(request.target);
    return segments.size() >= 3 && segments[0] == "api" && segments[1] == "jobs";
}

HttpResponse submit_job_route(JobStore& store, const DrawingReaderProvider* provider, const HttpRequest& request) {
    if (!has_json_content_type(request)) {
        return make_error_response(415, "Unsupported Media Type", "unsupported_media_type",
                                   "POST /api/jobs requires application/json");
    }
    try {
        return make_json_response(202, "Accepted", submit_job(store, provider, request.body));
    } catch (const std::invalid_argument& error) {
        return make_error_response(400, "Bad Request", "invalid_job_request", error.what());
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "job_storage_failed", error.what());
    }
}

}  // namespace

HttpResponse handle_web_file(const LocalService::Impl& service, const std::string& target) {
    if (service.options.web_directory.empty()) {
        return make_error_response(404, "Not Found", "web_ui_unavailable", "Local web files are not configured");
    }
    const WebFile* file = find_web_file(target);
    if (file == nullptr) return make_error_response(404, "Not Found", "web_file_not_found", "Web file was not found");
    try {
        return make_file_response(std::string(file->content_type),
                                  open_service_file(service.options.web_directory / file->file));
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "web_file_read_failed", error.what());
    }
}

OrderedJson status_document(const JobLock&, const JobRecord& job) {
    OrderedJson document;
    document["schema_version"] = "vesk-local-status-v1";
    document["job_id"] = job.job_id;
    document["drawing_id"] = job.drawing_id;
    document["status"] = to_string(job.status);
    document["duration_ms"] = job.duration_ms;
    document["error"] = job.status == JobStatus::rejected ? error_object(job) : OrderedJson();
    document["result_url"] = "/api/jobs/" + job.job_id + "/result";
    document["completion_url"] = "/api/jobs/" + job.job_id + "/completion";
    return document;
}

OrderedJson result_document(const JobRecord& job) {
    if (!job.artifacts) logic_failure("Completed local job is missing pipeline outputs");
    // Read strictly into the key-sorted type: the embedded traffic comes out key-sorted.
    const SortedJson traffic = parse_strict_json(read_service_file(job.traffic_path));
    OrderedJson counts = provenance_counts(job, traffic);
    const std::string base = "/api/jobs/" + job.job_id + "/files/";
    OrderedJson document;
    document["schema_version"] = "vesk-local-result-v1";
    document["job_id"] = job.job_id;
    document["drawing_id"] = job.drawing_id;
    document["status"] = "completed";
    document["duration_ms"] = job.duration_ms;
    document["traffic"] = OrderedJson(traffic);
    document["provenance_counts"] = std::move(counts);
    OrderedJson& files = document["files"];
    files["source_png"] = file_entry(job.source_filename, base, "source.png");
    files["step"] = file_entry(job.artifacts->step, base, "model.step");
    files["front_svg"] = file_entry(job.artifacts->front_svg, base, "front.svg");
    files["top_svg"] = file_entry(job.artifacts->top_svg, base, "top.svg");
    files["side_svg"] = file_entry(job.artifacts->side_svg, base, "side.svg");
    files["report_json"] = file_entry(job.artifacts->report, base, "report.json");
    files["traffic_json"] = file_entry(job.traffic_path, base, "traffic.json");
    return document;
}

HttpResponse handle_get_status(JobStore& store, const std::string& job_id) {
    const std::shared_ptr<JobRecord> job = store.find(job_id);
    if (!job) return job_not_found();
    OrderedJson document;
    {
        const JobLock held = store.lock();
        document = status_document(held, *job);
    }
    return make_json_response(200, "OK", document);
}

HttpResponse handle_get_result(JobStore& store, const std::string& job_id) {
    const std::shared_ptr<JobRecord> job = store.find(job_id);
    if (!job) return job_not_found();
    // Only a rejected job's completion state reads a file (its graph, for the plan).
    CompletionSnapshot snapshot;
    try {
        snapshot = completion_snapshot(store, *job);
    } catch (const std::exception& error) {
        // The same answer as the completion route gives for that state (an unreadable graph).
        return make_error_response(500, "Internal Server Error", "completion_state_failed", error.what());
    }
    const JobRecord& copy = snapshot.job;
    if (copy.status == JobStatus::queued || copy.status == JobStatus::running) {
        return make_error_response(409, "Conflict", "job_not_complete", "Local job has not reached a terminal state");
    }
    if (copy.status == JobStatus::completed) {
        // A completed job never changes again, so its copy and files still describe it.
        try {
            return make_json_response(200, "OK", result_document(copy));
        } catch (const std::exception& error) {
            return make_error_response(500, "Internal Server Error", "completed_result_invalid", error.what());
        }
    }
    OrderedJson document;
    document["schema_version"] = "vesk-local-result-v1";
    document["job_id"] = copy.job_id;
    document["drawing_id"] = copy.drawing_id;
    document["status"] = "rejected";
    document["duration_ms"] = copy.duration_ms;
    document["error"] = error_object(copy);
    document["completion"] = std::move(snapshot.document);
    document["files"] = nullptr;
    return make_json_response(200, "OK", document);
}

HttpResponse handle_get_job_file(JobStore& store, const std::string& job_id, const std::string& name) {
    const std::shared_ptr<JobRecord> job = store.find(job_id);
    if (!job) return job_not_found();
    std::filesystem::path path;
    {
        const JobLock held = store.lock();
        if (job->status != JobStatus::completed || !job->artifacts) {
            return make_error_response(409, "Conflict", "artifact_not_ready", "Local job artifacts are not available");
        }
        const auto file = std::find_if(kJobFiles.begin(), kJobFiles.end(),
                                       [&](const JobFile& candidate) { return candidate.name == name; });
        if (file == kJobFiles.end()) {
            return make_error_response(404, "Not Found", "artifact_not_found", "Artifact was not found");
        }
        path = file->path(*job);
    }
    try {
        return make_file_response(content_type_for(name), open_service_file(path));
    } catch (const std::exception& error) {
        return make_error_response(500, "Internal Server Error", "artifact_read_failed", error.what());
    }
}

HttpServer::Triage make_request_triage(const LocalService::Impl& service) {
    const std::uint16_t port = service.bound_port;
    const HttpResponse health = make_json_response(200, "OK", health_document(service));
    return [port, health](const HttpRequest& request) {
        HttpDispatch dispatch;
        if (request.method == "GET" && request.target == "/health") {
            auto refused = refuse_foreign_request(request, port);
            dispatch.answer = refused ? std::move(*refused) : health;
        } else if (is_quick_read(request)) {
            dispatch.group = HandlerGroup::quick;
        }
        return dispatch;
    };
}

HttpResponse route_request(LocalService::Impl& service, const HttpRequest& request) {
    if (auto refused = refuse_foreign_request(request, service.bound_port)) return std::move(*refused);
    const std::string& method = request.method;
    const std::string& target = request.target;
    if (method == "GET" && find_web_file(target) != nullptr) return handle_web_file(service, target);
    if (method == "GET" && target == "/health") return make_json_response(200, "OK", health_document(service));
    if (method == "POST" && target == "/api/jobs") {
        return submit_job_route(service.jobs, service.reader_provider.get(), request);
    }
    if (auto pilot = route_pilot_request(*service.pilot, request)) return std::move(*pilot);

    const std::vector<std::string> segments = split_target_path(target);
    const auto is_jobs = [&](std::size_t count) {
        return segments.size() == count && segments[0] == "api" && segments[1] == "jobs";
    };
    JobStore& jobs = service.jobs;
    if (method == "GET" && is_jobs(3)) return handle_get_status(jobs, segments[2]);
    if (method == "GET" && is_jobs(4) && segments[3] == "result") return handle_get_result(jobs, segments[2]);
    if (is_jobs(4) && segments[3] == "completion") {
        if (method == "GET") return handle_get_completion(jobs, jobs.find(segments[2]));
        if (method == "POST") return handle_post_completion(jobs, jobs.find(segments[2]), request);
    }
    if (method == "GET" && is_jobs(5) && segments[3] == "files") {
        return handle_get_job_file(jobs, segments[2], segments[4]);
    }
    return not_found();
}

}  // namespace vesk
