#include "service/job_record.hpp"

#include <cmath>
#include <stdexcept>

#include "model/json_util.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

fs::path tmp_path_of(const fs::path& target) {
    fs::path tmp = target;
    tmp += ".tmp";
    return tmp;
}

[[noreturn]] void refuse_state(const std::string& name, const std::string& what) {
    throw std::runtime_error("Persisted local job '" + name + "' " + what);
}

}  // namespace

std::string to_string(JobStatus status) {
    switch (status) {
    case JobStatus::queued: return "queued";
    case JobStatus::running: return "running";
    case JobStatus::completed: return "completed";
    case JobStatus::rejected: return "rejected";
    }
    throw std::logic_error("Unknown local job status");
}

JobStatus parse_job_status(std::string_view text) {
    if (text == "queued") return JobStatus::queued;
    if (text == "running") return JobStatus::running;
    if (text == "completed") return JobStatus::completed;
    if (text == "rejected") return JobStatus::rejected;
    throw std::invalid_argument("Persisted local job has an invalid status");
}

bool is_safe_basename(std::string_view name, std::string_view extension) {
    if (!is_safe_identifier(name)) return false;
    const fs::path path{std::string(name)};
    // ".", ".." and ".json" fail here: their file name has no extension.
    return path.filename().string() == name && to_lower_ascii(path.extension().string()) == extension;
}

bool is_safe_graph_filename(std::string_view name) {
    return graph_filename_refusal(name, "graph_filename").empty();
}

bool is_safe_source_filename(std::string_view name) {
    return source_filename_refusal(name, "source_filename").empty();
}

std::string graph_filename_refusal(std::string_view name, std::string_view field) {
    if (!is_safe_basename(name, ".json") || to_lower_ascii(name) == kJobStateFilename) {
        return std::string(field) + " must be a safe .json basename";
    }
    // The transition marker: a graph of that name would read as a pending transition.
    if (to_lower_ascii(name) == kCompletionMarkerFilename) {
        return std::string(field) + " must not be the reserved name '" + std::string(kCompletionMarkerFilename) + "'";
    }
    return {};
}

std::string source_filename_refusal(std::string_view name, std::string_view field) {
    if (!is_safe_basename(name, ".png")) return std::string(field) + " must be a safe .png basename";
    // The binding writes its normalised raster under this name.
    if (to_lower_ascii(name) == kReaderNormalizedFilename) {
        return std::string(field) + " must not be the reserved name '" + std::string(kReaderNormalizedFilename) + "'";
    }
    return {};
}

std::string require_text_field(const nlohmann::json& object, const std::string& key, const std::string& context) {
    return require_non_empty_string(object, key, context);
}

std::string make_job_id(std::uint64_t job_number) {
    if (job_number == 0 || job_number > kMaxJobNumber) {
        throw std::runtime_error("Local job number " + std::to_string(job_number) +
                                 " is out of range: job numbers end at " + std::to_string(kMaxJobNumber));
    }
    std::string digits = std::to_string(job_number);
    return "job-" + std::string(8 - digits.size(), '0') + digits;
}

void assign_job_paths(JobRecord& record, const fs::path& jobs_directory) {
    record.job_directory = jobs_directory / record.job_id;
    record.graph_path = record.job_directory / record.graph_filename;
    record.source_png_path = record.job_directory / record.source_filename;
    record.traffic_path = record.job_directory / (record.graph_path.stem().string() + "_traffic.json");
}

nlohmann::ordered_json job_state_document(const JobRecord& record) {
    nlohmann::ordered_json state = nlohmann::ordered_json::object();
    state["schema_version"] = kJobStateSchema;
    state["job_id"] = record.job_id;
    state["drawing_id"] = record.drawing_id;
    state["graph_filename"] = record.graph_filename;
    state["source_filename"] = record.source_filename;
    state["reader_provider_input"] = record.reader_provider_input;
    state["status"] = to_string(record.status);
    state["duration_ms"] = record.duration_ms;
    if (record.status == JobStatus::rejected) {
        nlohmann::ordered_json error = nlohmann::ordered_json::object();
        error["code"] = record.error_code;
        error["message"] = record.error_message;
        state["error"] = std::move(error);
    } else {
        state["error"] = nullptr;
    }
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const auto& completion : record.completion_records) records.push_back(completion_record_to_json(completion));
    state["completion_records"] = std::move(records);
    return state;
}

std::string job_state_text(const JobRecord& record) {
    return dump_json_document(job_state_document(record));
}

void persist_job_state(const JobRecord& record) {
    try {
        replace_file_atomically(record.job_directory / kJobStateFilename, job_state_text(record));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Local job state persistence failed: ") + e.what());
    }
}

JobRecord job_record_from_state(const nlohmann::json& state, const std::string& name) {
    if (!state.is_object() || require_text_field(state, "schema_version", name) != kJobStateSchema ||
        require_text_field(state, "job_id", name) != name) {
        refuse_state(name, "has an invalid identity");
    }
    JobRecord record;
    record.job_id = name;
    record.drawing_id = require_text_field(state, "drawing_id", name);
    record.graph_filename = require_text_field(state, "graph_filename", name);
    record.source_filename = require_text_field(state, "source_filename", name);

    if (const auto flag = state.find("reader_provider_input"); flag != state.end()) {
        if (!flag->is_boolean()) refuse_state(name, "has an invalid reader-provider flag");
        record.reader_provider_input = flag->get<bool>();
    }
    if (!is_safe_identifier(record.drawing_id) || !is_safe_graph_filename(record.graph_filename) ||
        !is_safe_source_filename(record.source_filename)) {
        refuse_state(name, "has unsafe metadata");
    }

    const auto duration = state.find("duration_ms");
    if (duration == state.end() || !duration->is_number()) refuse_state(name, "has no numeric duration");
    record.duration_ms = duration->get<double>();
    if (!std::isfinite(record.duration_ms) || record.duration_ms < 0.0) refuse_state(name, "has an invalid duration");

    record.status = parse_job_status(require_text_field(state, "status", name));

    if (const auto records = state.find("completion_records"); records != state.end()) {
        if (!records->is_array()) refuse_state(name, "has invalid completion records");
        for (const auto& item : *records) record.completion_records.push_back(parse_completion_record(item));
    }

    if (record.status == JobStatus::rejected) {
        const auto error = state.find("error");
        if (error == state.end() || !error->is_object()) {
            throw std::runtime_error("Persisted rejected job '" + name + "' has no error object");
        }
        record.error_code = require_text_field(*error, "code", name + " error");
        record.error_message = require_text_field(*error, "message", name + " error");
    }
    return record;
}

void write_service_file(const fs::path& path, std::string_view bytes) {
    const fs::path tmp = tmp_path_of(path);
    try {
        platform::replace_file_durably(path, bytes);
    } catch (const platform::FileError& e) {
        if (e.path() == tmp && e.operation() == "open") {
            throw std::runtime_error("Cannot write local service file: " + path.string());
        }
        throw std::runtime_error("Failed while writing local service file: " + path.string());
    }
}

std::string read_service_file(const fs::path& path) {
    try {
        return platform::read_file(path);
    } catch (const platform::FileError& e) {
        if (e.operation() == "open") throw std::runtime_error("Cannot open local service artifact: " + path.string());
        throw std::runtime_error("Cannot read local service artifact: " + path.string());
    }
}

void replace_file_atomically(const fs::path& target, std::string_view bytes) {
    const fs::path tmp = tmp_path_of(target);
    try {
        platform::replace_file_durably(target, bytes);
    } catch (const platform::FileError& e) {
        // The temporary write failing leaves the target untouched and says so; anything
        // later (the rename, the directory sync, a fault) is a failed replace.
        if (e.path() == tmp) {
            if (e.operation() == "open") throw std::runtime_error("Cannot write local service file: " + tmp.string());
            throw std::runtime_error("Failed while writing local service file: " + tmp.string());
        }
        throw std::runtime_error("Cannot atomically replace local service file '" + target.string() + "' (errno " +
                                 std::to_string(e.error_number()) + ")");
    }
}

}  // namespace vesk
