#include "pilot/pilot_record.hpp"

#include <array>
#include <cstdio>
#include <stdexcept>

#include "intake/sha256.hpp"
#include "model/json_util.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 7> kStatusTexts = {
    "pending_analysis", "analyzing", "awaiting_review", "queued_model", "modeling", "completed", "rejected",
};

constexpr std::string_view kJobPrefix = "pilot-";
constexpr std::size_t kJobDigits = 8;

std::string file_name_of(const fs::path& path) {
    return path.filename().string();
}

}  // namespace

std::string to_string(PilotStatus status) {
    const auto index = static_cast<std::uint32_t>(status);
    if (index >= kStatusTexts.size()) throw std::logic_error("Unknown Z23-Edur pilot status");
    return std::string(kStatusTexts[index]);
}

PilotStatus parse_pilot_status(std::string_view text) {
    for (std::size_t i = 0; i < kStatusTexts.size(); ++i) {
        if (kStatusTexts[i] == text) return static_cast<PilotStatus>(i);
    }
    throw std::runtime_error("Persisted Z23-Edur status is invalid");
}

std::string pilot_job_id(std::uint64_t number) {
    if (number == 0 || number > kMaxPilotJobNumber) throw std::out_of_range("Z23-Edur pilot job number is out of range");
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(number));
    return std::string(kJobPrefix) + digits;
}

std::optional<std::uint64_t> parse_pilot_job_directory_name(std::string_view name) {
    if (name.size() != kJobPrefix.size() + kJobDigits || name.substr(0, kJobPrefix.size()) != kJobPrefix) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (const char c : name.substr(kJobPrefix.size())) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number == 0) return std::nullopt;
    return number;
}

void set_pilot_paths(PilotRecord& record, const fs::path& root) {
    record.job_directory = root / record.job_id;
    record.source_path = record.job_directory / record.source_filename;
    record.preview_path =
        record.media_type == "image/png" ? record.source_path : record.job_directory / "preview.png";
    record.reviewed_graph_path = record.job_directory / "reviewed_graph.json";
    record.traffic_path = record.job_directory / "pilot_traffic.json";
    record.evidence_bundle_path = record.job_directory / "evidence_bundle.tar";
}

PilotArtifacts pilot_artifact_paths(const fs::path& job_directory) {
    const fs::path model = job_directory / "model";
    return PilotArtifacts{model / "reviewed_graph.step", model / "reviewed_graph_front.svg",
                          model / "reviewed_graph_top.svg", model / "reviewed_graph_side.svg",
                          model / "reviewed_graph_report.json"};
}

fs::path review_record_path(const PilotRecord& record) {
    if (!record.review_decision_id) throw std::logic_error("Z23-Edur review identity is unavailable");
    return record.job_directory / "review" / (*record.review_decision_id + ".json");
}

std::string classify_pilot_error(std::string_view message) {
    const auto has = [message](std::string_view part) { return message.find(part) != std::string_view::npos; };
    if (has("candidate") || has("reading") || has("binding")) return "reading_not_bindable";
    if (has("PDF") || has("source")) return "source_not_supported";
    return "pilot_processing_failed";
}

bool has_exact_keys(const SortedJson& json, const std::vector<std::string>& keys) {
    return json.is_object() && !first_missing_key(json, keys) && !first_unknown_key(json, keys);
}

const std::vector<std::string>& pilot_state_keys() {
    static const std::vector<std::string> keys = {
        "schema_version", "job_id",          "drawing_id",  "source_filename",
        "media_type",     "source_sha256",   "declared_dpi", "binding_dpi",
        "route",          "route_reason_codes", "vector_units_verified", "status",
        "error",          "candidate_file",  "reader_evidence_tree_sha256", "review_decision_id",
        "files",          "artifact_sha256",
    };
    return keys;
}

OrderedJson artifact_sha256_to_json(const PilotRecord& record) {
    OrderedJson hashes = OrderedJson::object();
    if (record.candidates) hashes["candidates"] = sha256_file(record.job_directory / kPilotCandidatesFile);
    if (record.review_decision_id) hashes["review"] = sha256_file(review_record_path(record));
    if (fs::is_regular_file(record.reviewed_graph_path)) {
        hashes["reviewed_graph"] = sha256_file(record.reviewed_graph_path);
    }
    if (record.artifacts) {
        hashes["step"] = sha256_file(record.artifacts->step);
        hashes["front_svg"] = sha256_file(record.artifacts->front_svg);
        hashes["top_svg"] = sha256_file(record.artifacts->top_svg);
        hashes["side_svg"] = sha256_file(record.artifacts->side_svg);
        hashes["report_json"] = sha256_file(record.artifacts->report_json);
        hashes["traffic_json"] = sha256_file(record.traffic_path);
        hashes["evidence_bundle"] = sha256_file(record.evidence_bundle_path);
    }
    return hashes;
}

OrderedJson pilot_error_to_json(const PilotRecord& record) {
    if (record.status != PilotStatus::rejected) return nullptr;
    OrderedJson error = OrderedJson::object();
    error["code"] = record.error_code;
    error["message"] = record.error_message;
    return error;
}

OrderedJson pilot_state_to_json(const PilotRecord& record) {
    OrderedJson state = OrderedJson::object();
    state["schema_version"] = kPilotStateSchema;
    state["job_id"] = record.job_id;
    state["drawing_id"] = record.drawing_id;
    state["source_filename"] = record.source_filename;
    state["media_type"] = record.media_type;
    state["source_sha256"] = sha256_file(record.source_path);
    state["declared_dpi"] = json_or_null(record.declared_dpi);
    state["binding_dpi"] = json_or_null(record.binding_dpi > 0.0, record.binding_dpi);
    state["route"] = json_or_null(!record.route.empty(), record.route);
    state["route_reason_codes"] = record.route_reason_codes;
    state["vector_units_verified"] = record.vector_units_verified;
    state["status"] = to_string(record.status);
    state["error"] = pilot_error_to_json(record);
    state["candidate_file"] = json_or_null(record.candidates.has_value(), kPilotCandidatesFile);
    state["reader_evidence_tree_sha256"] = json_or_null(record.reader_evidence_tree_sha256);
    state["review_decision_id"] = json_or_null(record.review_decision_id);
    if (record.artifacts) {
        OrderedJson files = OrderedJson::object();
        files["step"] = file_name_of(record.artifacts->step);
        files["front_svg"] = file_name_of(record.artifacts->front_svg);
        files["top_svg"] = file_name_of(record.artifacts->top_svg);
        files["side_svg"] = file_name_of(record.artifacts->side_svg);
        files["report_json"] = file_name_of(record.artifacts->report_json);
        files["traffic_json"] = file_name_of(record.traffic_path);
        files["evidence_bundle"] = file_name_of(record.evidence_bundle_path);
        state["files"] = std::move(files);
    } else {
        state["files"] = nullptr;
    }
    state["artifact_sha256"] = artifact_sha256_to_json(record);
    return state;
}

}  // namespace vesk
