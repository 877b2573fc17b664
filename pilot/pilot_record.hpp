// The pilot job record, its status, its durable state document and the small rules that
// every pilot step shares (job numbers, error codes).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"
#include "model/json_util.hpp"

namespace vesk {

// Numbering is fixed: the text forms are what documents carry.
enum class PilotStatus : std::uint32_t {
    pending_analysis = 0,
    analyzing = 1,
    awaiting_review = 2,
    queued_model = 3,
    modeling = 4,
    completed = 5,
    rejected = 6,
};

// Any other value: std::logic_error "Unknown Z23-Edur pilot status".
std::string to_string(PilotStatus status);
// Exact text; anything else: std::runtime_error "Persisted Z23-Edur status is invalid".
PilotStatus parse_pilot_status(std::string_view text);

struct PilotArtifacts {
    std::filesystem::path step;
    std::filesystem::path front_svg;
    std::filesystem::path top_svg;
    std::filesystem::path side_svg;
    std::filesystem::path report_json;
};

struct PilotRecord {
    std::string job_id;
    std::string drawing_id;
    std::string source_filename;
    std::string media_type;
    std::filesystem::path job_directory;
    std::filesystem::path source_path;
    std::filesystem::path preview_path;
    std::filesystem::path reviewed_graph_path;
    std::filesystem::path traffic_path;
    std::filesystem::path evidence_bundle_path;
    std::optional<double> declared_dpi;
    double binding_dpi = 0.0;  // 0 while unset
    std::string route;
    std::vector<std::string> route_reason_codes;
    bool vector_units_verified = false;
    PilotStatus status = PilotStatus::pending_analysis;
    std::string error_code;
    std::string error_message;
    std::optional<ReaderResponse> candidates;
    std::optional<PilotArtifacts> artifacts;
    std::optional<std::string> review_decision_id;
    std::optional<std::string> reader_evidence_tree_sha256;
};

inline constexpr std::string_view kPilotStateSchema = "z23-edur-pilot-state-v1";
inline constexpr std::string_view kPilotStateFile = "pilot_state.json";
inline constexpr std::string_view kPilotCandidatesFile = "candidates.json";
// Job directories are "pilot-" and exactly eight digits, so recovery can read back every
// number that creation hands out.
inline constexpr std::uint64_t kMaxPilotJobNumber = 99'999'999;

// "pilot-" and the number zero-filled to eight digits; a number outside 1..99,999,999 is
// a std::out_of_range.
std::string pilot_job_id(std::uint64_t number);
// The number of a "pilot-NNNNNNNN" name (exactly 14 characters, value above 0), or nothing.
std::optional<std::uint64_t> parse_pilot_job_directory_name(std::string_view name);

// Fills the job directory and the five paths derived from it for a record whose job_id,
// source_filename and media_type are set.
void set_pilot_paths(PilotRecord& record, const std::filesystem::path& root);
// Fixed artifact names below "<job_directory>/model".
PilotArtifacts pilot_artifact_paths(const std::filesystem::path& job_directory);
// "<job_directory>/review/<review_decision_id>.json"; without a review id a
// std::logic_error "Z23-Edur review identity is unavailable".
std::filesystem::path review_record_path(const PilotRecord& record);

// The error code of a failed job from its message (first match wins).
std::string classify_pilot_error(std::string_view message);

// True when json is an object whose key set equals keys exactly (order plays no part).
bool has_exact_keys(const SortedJson& json, const std::vector<std::string>& keys);
// A non-empty string member, else std::invalid_argument
// "<context>: field '<key>' must be a non-empty string".
inline std::string require_pilot_string_field(const SortedJson& object, const std::string& context,
                                              const std::string& key) {
    return require_non_empty_string(object, key, context, EmptyStringWording::combined);
}

// A member of the pilot's documents that may be absent: the value, or null.
template <typename T>
OrderedJson json_or_null(const std::optional<T>& value) {
    return value ? OrderedJson(*value) : OrderedJson(nullptr);
}
template <typename T>
OrderedJson json_or_null(bool present, const T& value) {
    return present ? OrderedJson(value) : OrderedJson(nullptr);
}

// The 18 keys of the state document, in written order.
const std::vector<std::string>& pilot_state_keys();

// The state document; hashes the source and every pinned file afresh, so a missing
// pinned file fails the write.
OrderedJson pilot_state_to_json(const PilotRecord& record);
// {"code", "message"} of a rejected job; null for any other status.
OrderedJson pilot_error_to_json(const PilotRecord& record);
OrderedJson artifact_sha256_to_json(const PilotRecord& record);

}  // namespace vesk
