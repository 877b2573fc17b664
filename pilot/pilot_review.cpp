#include "pilot/pilot_review.hpp"

#include <cmath>
#include <mutex>
#include <stdexcept>
#include <unordered_set>

#include "intake/binding.hpp"
#include "model/ascii_text.hpp"
#include "model/json_util.hpp"
#include "pilot/pilot_documents.hpp"
#include "pilot/pilot_files.hpp"
#include "pilot/pilot_service.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPilotReviewSchema = "z23-edur-review-v1";
// "review/<id>.json" must fit a ustar name ("review" as prefix, "<id>.json" within 100
// bytes), or the job could never be sealed after its review.
constexpr std::size_t kMaxReviewDecisionIdLength = 95;

[[noreturn]] void refuse(const std::string& message) {
    throw std::invalid_argument(message);
}

bool is_true(const SortedJson& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

const DimensionReading* find_candidate(const ReaderResponse& candidates, const std::string& constraint_id) {
    for (const DimensionReading& reading : candidates.readings) {
        if (reading.constraint_id == constraint_id) return &reading;
    }
    return nullptr;
}

// The attempt record written once for every review that reaches binding.
OrderedJson review_attempt_to_json(const PilotRecord& record, const SortedJson& body,
                                   const std::vector<std::string>& binding_errors, bool accepted) {
    OrderedJson attempt = OrderedJson::object();
    attempt["schema_version"] = "z23-edur-review-attempt-v1";
    attempt["job_id"] = record.job_id;
    // The body as parsed: every object in ascending key order, the decisions in request order.
    attempt["decision"] = parse_strict_ordered_json(body.dump());
    attempt["binding_errors"] = binding_errors;
    attempt["accepted"] = accepted;
    return attempt;
}

}  // namespace

ReaderResponse parse_pilot_review(const PilotRecord& record, const SortedJson& body) {
    if (!has_exact_keys(body, {"schema_version", "decision_id", "acknowledgement", "decisions"})) {
        refuse("Z23-Edur review fields are invalid");
    }
    const std::string context = "Z23-Edur review";
    if (require_pilot_string_field(body, context, "schema_version") != kPilotReviewSchema) {
        refuse("Z23-Edur review schema is invalid");
    }
    const std::string decision_id = require_pilot_string_field(body, context, "decision_id");
    if (!is_safe_identifier(decision_id) || decision_id.size() > kMaxReviewDecisionIdLength) {
        refuse("Z23-Edur review decision_id is unsafe");
    }
    const SortedJson& acknowledgement = body.at("acknowledgement");
    if (!has_exact_keys(acknowledgement, {"operator_reviewed_all_candidates", "pilot_hold"}) ||
        !is_true(acknowledgement, "operator_reviewed_all_candidates") || !is_true(acknowledgement, "pilot_hold")) {
        refuse("Z23-Edur review requires explicit all-candidate and PILOT/HOLD acknowledgement");
    }
    const ReaderResponse& candidates = *record.candidates;
    const SortedJson& decisions = body.at("decisions");
    if (!decisions.is_array() || decisions.size() != candidates.readings.size()) {
        refuse("Z23-Edur review requires exactly one decision per candidate");
    }

    ReaderResponse reviewed;
    reviewed.drawing_id = record.drawing_id;
    std::unordered_set<std::string> decided;
    const std::string decision_context = "Z23-Edur candidate decision";
    for (const SortedJson& decision : decisions) {
        if (!has_exact_keys(decision, {"constraint_id", "action", "value"})) {
            refuse("Z23-Edur candidate decision fields are invalid");
        }
        const std::string constraint_id = require_pilot_string_field(decision, decision_context, "constraint_id");
        const std::string action = require_pilot_string_field(decision, decision_context, "action");
        const DimensionReading* candidate = find_candidate(candidates, constraint_id);
        if (candidate == nullptr || !decided.insert(constraint_id).second) {
            refuse("Z23-Edur candidate decision identity is missing or duplicated");
        }
        const SortedJson& value = decision.at("value");
        double reviewed_value = 0.0;
        if (action == "reject") {
            if (!value.is_null()) refuse("Rejected Z23-Edur candidates require null value");
            continue;
        } else if (action == "confirm") {
            if (!value.is_null() || !candidate->value || candidate->origin == ReadingOrigin::unreadable) {
                refuse("Z23-Edur confirmation requires an existing readable value");
            }
            reviewed_value = *candidate->value;
        } else if (action == "correct") {
            if (!value.is_number()) refuse("Z23-Edur correction requires a numeric value");
            reviewed_value = value.get<double>();
        } else {
            refuse("Z23-Edur candidate action is invalid");
        }
        if (!std::isfinite(reviewed_value) || reviewed_value <= 0.0) {
            refuse("Z23-Edur reviewed values must be positive and finite");
        }
        reviewed.readings.push_back(DimensionReading{constraint_id, reviewed_value, 1.0,
                                                     ReadingOrigin::operator_confirmed, candidate->source_bbox});
    }
    if (reviewed.readings.empty()) refuse("Z23-Edur review rejected every candidate");
    return reviewed;
}

OrderedJson PilotService::submit_review(const std::string& job_id, const SortedJson& body) {
    OrderedJson status;
    {
        std::lock_guard lock(mutex_);
        const auto it = jobs_.find(job_id);
        if (it == jobs_.end()) refuse("Z23-Edur pilot job was not found");
        PilotRecord& record = *it->second;
        if (record.status != PilotStatus::awaiting_review || !record.candidates) {
            refuse("Z23-Edur job is not awaiting review");
        }
        const ReaderResponse reviewed = parse_pilot_review(record, body);
        const std::string decision_id = body.at("decision_id").get<std::string>();

        const fs::path normalized = record.job_directory / "reviewed_normalized.png";
        BindingResult binding;
        if (record.route == "vector_text") {
            // The vector route's slots are the reviewed readings' own boxes, in decision order.
            std::vector<SourceBox> slots;
            for (const DimensionReading& reading : reviewed.readings) slots.push_back(reading.source_bbox);
            binding = bind_readings_to_raster_with_options(record.preview_path, record.binding_dpi, normalized, reviewed,
                                                           record.vector_units_verified ? 1 : 0, std::move(slots));
        } else {
            binding = bind_readings_to_raster(record.preview_path, record.binding_dpi, normalized, reviewed);
        }
        const bool accepted = binding.bound_graph.has_value() && binding.binding_errors.empty();
        write_once_record(record.job_directory / "review" / (decision_id + ".json"),
                          dump_json_document(review_attempt_to_json(record, body, binding.binding_errors, accepted)));
        if (!accepted) {
            refuse("Z23-Edur reviewed values could not be bound: " + binding_failure_reason(binding));
        }
        write_pilot_file(record.reviewed_graph_path, dimension_graph_to_json(*binding.bound_graph));
        if (fs::exists(normalized)) platform::sync_file(normalized);
        record.review_decision_id = decision_id;
        record.status = PilotStatus::queued_model;
        try {
            persist_job(record);
        } catch (...) {
            // Not persisted, so not accepted: the job stays where its state file says.
            record.review_decision_id.reset();
            record.status = PilotStatus::awaiting_review;
            throw;
        }
        queue_.push_back(it->second);
        status = pilot_status_to_json(record);
    }
    wake_.notify_one();
    return status;
}

OrderedJson handle_pilot_review(PilotService& service, const std::string& job_id, const SortedJson& body) {
    return service.submit_review(job_id, body);
}

}  // namespace vesk
