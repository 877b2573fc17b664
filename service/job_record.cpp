#include "service/job_record.hpp"
#include "service/job_record_internal.hpp"

#include <cerrno>
#include <cmath>
#include <set>
#include <stdexcept>

#include "intake/provider_inputs.hpp"
#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "service/field_checks.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

fs::path tmp_path_of(const fs::path& target) {
    fs::path tmp = target;
    tmp += ".tmp";
    return tmp;
}

std::string recovery_refusal(JobStateFault fault, const std::string& name, const std::string& member) {
    const std::string job = "Persisted local job '" + name + "' ";
    switch (fault) {
    case JobStateFault::not_object:
    case JobStateFault::identity:
        return job + "has an invalid identity";
    case JobStateFault::missing_member:
        return job + "has no field '" + member + "'";
    case JobStateFault::unknown_member:
        return job + "has an unknown field '" + member + "'";
    case JobStateFault::unsafe_metadata:
        return job + "has unsafe metadata";
    case JobStateFault::reader_flag:
        return job + "has an invalid reader-provider flag";
    case JobStateFault::duration_not_number:
        return job + "has no numeric duration";
    case JobStateFault::duration_invalid:
        return job + "has an invalid duration";
    case JobStateFault::records_not_array:
        return job + "has invalid completion records";
    case JobStateFault::duplicate_decision_ids:
        return job + "has duplicate completion decision ids";
    case JobStateFault::rejected_without_error:
        return "Persisted rejected job '" + name + "' has no error object";
    case JobStateFault::error_without_rejection:
        return job + "has an error but is not rejected";
    }
    throw std::logic_error("Unknown job state fault");
}

struct Refusal {
    const JobStateWording& wording;
    const std::string& job_id;
    [[noreturn]] void operator()(JobStateFault fault, const std::string& member = {}) const {
        throw std::runtime_error(wording.refusal(fault, job_id, member));
    }
};

// A safe identifier that is its own file name and whose extension, lower-cased, is
// `extension` (".json", ".png").
bool is_safe_basename(std::string_view name, std::string_view extension) {
    if (!is_safe_identifier(name)) return false;
    const fs::path path{std::string(name)};
    // ".", ".." and ".json" fail here: their file name has no extension.
    return path.filename().string() == name && to_lower(path.extension().string()) == extension;
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

bool is_safe_graph_filename(std::string_view name) {
    return graph_filename_refusal(name, "graph_filename").empty();
}

bool is_safe_source_filename(std::string_view name) {
    return source_filename_refusal(name, "source_filename").empty();
}

std::string graph_filename_refusal(std::string_view name, std::string_view field) {
    if (!is_safe_basename(name, ".json") || to_lower(name) == kJobStateFilename) {
        return std::string(field) + " must be a safe .json basename";
    }
    // The transition marker: a graph of that name would read as a pending transition.
    if (to_lower(name) == kCompletionMarkerFilename) {
        return std::string(field) + " must not be the reserved name '" + std::string(kCompletionMarkerFilename) + "'";
    }
    return {};
}

std::string source_filename_refusal(std::string_view name, std::string_view field) {
    if (!is_safe_basename(name, ".png")) return std::string(field) + " must be a safe .png basename";
    // The binding writes its normalised raster under this name.
    if (to_lower(name) == kReaderNormalizedFilename) {
        return std::string(field) + " must not be the reserved name '" + std::string(kReaderNormalizedFilename) + "'";
    }
    return {};
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

OrderedJson job_state_document(const JobRecord& record) {
    OrderedJson state = OrderedJson::object();
    state["schema_version"] = kJobStateSchema;
    state["job_id"] = record.job_id;
    state["drawing_id"] = record.drawing_id;
    state["graph_filename"] = record.graph_filename;
    state["source_filename"] = record.source_filename;
    state["reader_provider_input"] = record.reader_provider_input;
    state["status"] = to_string(record.status);
    state["duration_ms"] = record.duration_ms;
    if (record.status == JobStatus::rejected) {
        OrderedJson error = OrderedJson::object();
        error["code"] = record.error_code;
        error["message"] = record.error_message;
        state["error"] = std::move(error);
    } else {
        state["error"] = nullptr;
    }
    OrderedJson records = OrderedJson::array();
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

JobRecord parse_job_state(const SortedJson& state, const std::string& job_id, const JobStateWording& wording) {
    const Refusal refuse{wording, job_id};
    const std::string& context = wording.context;
    if (!state.is_object()) refuse(JobStateFault::not_object);
    if (require_text_field(state, "schema_version", context) != kJobStateSchema ||
        require_text_field(state, "job_id", context) != job_id) {
        refuse(JobStateFault::identity);
    }
    JobRecord record;
    record.job_id = job_id;
    record.drawing_id = require_text_field(state, "drawing_id", context);
    record.graph_filename = require_text_field(state, "graph_filename", context);
    record.source_filename = require_text_field(state, "source_filename", context);

    const auto flag = state.find("reader_provider_input");
    if (flag == state.end()) refuse(JobStateFault::missing_member, "reader_provider_input");
    if (!flag->is_boolean()) refuse(JobStateFault::reader_flag);
    record.reader_provider_input = flag->get<bool>();
    if (!is_safe_identifier(record.drawing_id) || !is_safe_graph_filename(record.graph_filename) ||
        !is_safe_source_filename(record.source_filename)) {
        refuse(JobStateFault::unsafe_metadata);
    }

    const auto duration = state.find("duration_ms");
    if (duration == state.end() || !duration->is_number()) refuse(JobStateFault::duration_not_number);
    record.duration_ms = duration->get<double>();
    if (!std::isfinite(record.duration_ms) || record.duration_ms < 0.0) refuse(JobStateFault::duration_invalid);

    record.status = parse_job_status(require_text_field(state, "status", context));

    const auto records = state.find("completion_records");
    if (records == state.end()) refuse(JobStateFault::missing_member, "completion_records");
    if (!records->is_array()) refuse(JobStateFault::records_not_array);
    std::set<std::string> decision_ids;
    for (const auto& item : *records) {
        record.completion_records.push_back(parse_completion_record(item));
        if (!decision_ids.insert(record.completion_records.back().decision_id).second) {
            refuse(JobStateFault::duplicate_decision_ids);
        }
    }

    const bool rejected = record.status == JobStatus::rejected;
    const auto error = state.find("error");
    if (error == state.end()) {
        refuse(rejected ? JobStateFault::rejected_without_error : JobStateFault::missing_member, "error");
    }
    const auto read_error_fields = [&] {
        record.error_code = require_text_field(*error, "code", wording.error_context);
        record.error_message = require_text_field(*error, "message", wording.error_context);
    };
    // The transition reads any error's fields before it weighs the status; recovery weighs
    // the status first, so a rejected job whose error is no object "has no error object".
    if (wording.error_fields_first && !error->is_null()) read_error_fields();
    if (rejected && !error->is_object()) refuse(JobStateFault::rejected_without_error);
    if (!rejected && !error->is_null()) refuse(JobStateFault::error_without_rejection);
    if (!wording.error_fields_first && rejected) read_error_fields();

    if (const auto unknown = first_unknown_key(state, kJobStateKeys)) refuse(JobStateFault::unknown_member, *unknown);
    return record;
}

JobRecord job_record_from_state(const SortedJson& state, const std::string& name) {
    return parse_job_state(state, name, {name, name + " error", &recovery_refusal, false});
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

namespace {

[[noreturn]] void artifact_failure(const platform::FileError& error, const fs::path& path) {
    // A path that opens but is no regular file cannot be read, as read_file reports it.
    const bool opened = error.operation() != "open" || error.error_number() == EISDIR || error.error_number() == EINVAL;
    throw std::runtime_error((opened ? "Cannot read local service artifact: " : "Cannot open local service artifact: ") +
                             path.string());
}

}  // namespace

std::string read_service_file(const fs::path& path) {
    try {
        return platform::read_file(path);
    } catch (const platform::FileError& e) {
        artifact_failure(e, path);
    }
}

std::shared_ptr<platform::ReadableFile> open_service_file(const fs::path& path) {
    try {
        return std::make_shared<platform::ReadableFile>(path);
    } catch (const platform::FileError& e) {
        artifact_failure(e, path);
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
