// A job of the local service: its record, status and id, the identifier rules that keep
// client-chosen names inside the job directory, the state document "job_state.json" and
// the service's file helpers, all of whose writes go through the durable file layer.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/ascii_text.hpp"
#include "model/dimension_graph.hpp"
#include "model/pipeline.hpp"
#include "platform/files.hpp"
#include "service/completion_record.hpp"

namespace vesk {

enum class JobStatus : std::uint32_t { queued = 0, running = 1, completed = 2, rejected = 3 };

// "queued", "running", "completed", "rejected"; std::logic_error for any other value.
std::string to_string(JobStatus status);
// Exact, case-sensitive; std::invalid_argument "Persisted local job has an invalid status".
JobStatus parse_job_status(std::string_view text);

// One job. Shared between the job map, the queue, the worker and the request handlers
// (always held by std::shared_ptr); every field is guarded by the job store's lock.
struct JobRecord {
    std::string job_id;
    std::string drawing_id;
    std::string graph_filename;
    std::string source_filename;
    std::filesystem::path job_directory;
    std::filesystem::path graph_path;
    std::filesystem::path source_png_path;
    bool reader_provider_input = false;
    JobStatus status = JobStatus::queued;
    std::string error_code;     // set only when rejected
    std::string error_message;  // set only when rejected
    double duration_ms = 0.0;
    std::uint64_t active_jobs_at_start = 0;
    std::optional<OutputPaths> artifacts;
    std::filesystem::path traffic_path;
    std::vector<CompletionRecord> completion_records;  // oldest first
};

inline constexpr std::string_view kJobStateSchema = "vesk-local-job-state-v1";
inline constexpr std::string_view kJobStateFilename = "job_state.json";
inline constexpr std::string_view kReaderNormalizedFilename = "reader_normalized.png";
inline constexpr std::string_view kCompletionLogFilename = "completion_decisions.jsonl";
inline constexpr std::string_view kCompletionMarkerFilename = "completion_transition.json";

// Recovery finds only "job-" plus exactly eight digits, so no higher number is handed out.
inline constexpr std::uint64_t kMaxJobNumber = 99'999'999;

// Why a name is refused, naming the field (e.g. "job.graph_filename"); empty when the
// name is accepted.
std::string graph_filename_refusal(std::string_view name, std::string_view field);
std::string source_filename_refusal(std::string_view name, std::string_view field);

// "job-" and the number with at least eight digits. Numbers 0 and above kMaxJobNumber are
// refused with a std::runtime_error: such a job could never be recovered.
std::string make_job_id(std::uint64_t job_number);

// Fills job_directory, graph_path, source_png_path and traffic_path from the names.
void assign_job_paths(JobRecord& record, const std::filesystem::path& jobs_directory);

// The members of the state document, in the order the writer inserts them; a state read
// back has these and no other.
inline constexpr std::array<std::string_view, 10> kJobStateKeys = {
    "schema_version",        "job_id", "drawing_id",  "graph_filename", "source_filename",
    "reader_provider_input", "status", "duration_ms", "error",          "completion_records"};

// The state document, keys in the order the writer inserts them.
OrderedJson job_state_document(const JobRecord& record);
// Durable replace of <job_directory>/job_state.json; every failure becomes
// std::runtime_error "Local job state persistence failed: " + reason.
void persist_job_state(const JobRecord& record);

// What a state document read back can be refused for; each reader words it.
enum class JobStateFault {
    not_object,
    missing_member,           // "reader_provider_input", "completion_records" or (not rejected) "error"
    unknown_member,           // a member outside kJobStateKeys
    identity,                 // another schema, or another job's id
    unsafe_metadata,          // the drawing id or a file name breaks the identifier rules
    reader_flag,              // "reader_provider_input" is not a boolean
    duration_not_number,      // "duration_ms" absent or not a number
    duration_invalid,         // not finite, or below 0
    records_not_array,        // "completion_records"
    duplicate_decision_ids,   // two completion records with one decision id
    rejected_without_error,   // rejected, and "error" is null or absent
    error_without_rejection,  // not rejected, and "error" is not null
};

// How one reader words its refusals: the contexts of require_text_field for the state's own
// members and for those of "error", and the message of each fault (`member` names the
// member of missing_member and unknown_member).
struct JobStateWording {
    std::string context;
    std::string error_context;
    std::string (*refusal)(JobStateFault fault, const std::string& job_id, const std::string& member);
    // Whether a non-null "error" has its code and message read before the status is weighed.
    bool error_fields_first = true;
};

// The one strict read of a state document (members found by name, so either writer's key
// order is accepted): every member of kJobStateKeys and no other, `job_id` its own id, the
// identifier rules, a finite duration not below 0, strict completion records with distinct
// decision ids, and an "error" object, with a non-empty code and message, exactly when
// rejected. Fills the persisted fields only; paths are left to assign_job_paths. Its faults
// are std::runtime_error in the reader's words; require_text_field, parse_job_status and
// parse_completion_record refuse with their own messages.
JobRecord parse_job_state(const SortedJson& state, const std::string& job_id, const JobStateWording& wording);
// parse_job_state as recovery words it: "Persisted local job '<name>' ...", where `name` is
// the job directory's name.
JobRecord job_record_from_state(const SortedJson& state, const std::string& name);

// Whole-file write, durable (tmp, fsync, rename, directory fsync): a file that a state
// file vouches for is on disk before the state names it.
// "Cannot write local service file: <path>" / "Failed while writing local service file: <path>".
void write_service_file(const std::filesystem::path& path, std::string_view bytes);
// "Cannot open local service artifact: <path>" / "Cannot read local service artifact: <path>".
std::string read_service_file(const std::filesystem::path& path);
// The file open for an answer that streams it, refused with read_service_file's messages.
std::shared_ptr<platform::ReadableFile> open_service_file(const std::filesystem::path& path);
// Durable replace; the temporary file "<target>.tmp" is removed on every failure.
// A failed rename: "Cannot atomically replace local service file '<target>' (errno N)".
void replace_file_atomically(const std::filesystem::path& target, std::string_view bytes);

}  // namespace vesk
