#include "service/completion_record.hpp"

#include <cmath>
#include <stdexcept>

#include "model/ascii_text.hpp"
#include "model/json_util.hpp"
#include "service/field_checks.hpp"

namespace vesk {
namespace {

[[noreturn]] void refuse(const char* message) {
    throw std::invalid_argument(message);
}

bool approved_id_is_derived(const CompletionRecord& record) {
    return record.approved_constraint_id &&
           *record.approved_constraint_id == std::string(kApprovedIdPrefix) + record.decision_id;
}

}  // namespace

CompletionDecisionAction parse_completion_action(std::string_view text) {
    if (text == "accept_suggestion") return CompletionDecisionAction::accept_suggestion;
    if (text == "user_value") return CompletionDecisionAction::user_value;
    if (text == "reject_suggestion") return CompletionDecisionAction::reject_suggestion;
    if (text == "leave_missing") return CompletionDecisionAction::leave_missing;
    throw std::invalid_argument("Unknown completion decision action");
}

std::string to_string(CompletionDecisionAction action) {
    switch (action) {
    case CompletionDecisionAction::accept_suggestion: return "accept_suggestion";
    case CompletionDecisionAction::user_value: return "user_value";
    case CompletionDecisionAction::reject_suggestion: return "reject_suggestion";
    case CompletionDecisionAction::leave_missing: return "leave_missing";
    }
    throw std::logic_error("Unknown completion decision action");
}

OrderedJson completion_record_to_json(const CompletionRecord& record) {
    OrderedJson json = OrderedJson::object();
    json["decision_id"] = record.decision_id;
    json["action"] = record.action;
    json["target"] = record.target;
    json["entity_id"] = record.entity_id;
    json["approved_constraint_id"] =
        record.approved_constraint_id ? OrderedJson(*record.approved_constraint_id) : nullptr;
    json["value"] = record.value ? OrderedJson(*record.value) : nullptr;
    json["provenance"] = record.provenance;
    json["status"] = record.status;
    return json;
}

CompletionCoherence check_completion_coherence(const CompletionRecord& r) {
    const bool approved = r.status == kStatusApproved;
    if (r.action == "user_value") {
        const bool ok = approved && r.provenance == kProvenanceUserInput && r.approved_constraint_id && r.value &&
                        !r.entity_id.empty() && approved_id_is_derived(r);
        return ok ? CompletionCoherence::coherent : CompletionCoherence::user_value;
    }
    if (r.action == "accept_suggestion") {
        if (!approved || !r.approved_constraint_id || r.entity_id.empty()) return CompletionCoherence::accepted;
        if (r.provenance == kProvenanceDeterministic) {
            return r.value && approved_id_is_derived(r) ? CompletionCoherence::coherent
                                                        : CompletionCoherence::deterministic;
        }
        if (r.provenance == kProvenanceConflict) {
            return r.value ? CompletionCoherence::conflict : CompletionCoherence::coherent;
        }
        return CompletionCoherence::provenance;
    }
    const bool plain = r.provenance == kProvenanceUserDecision && !r.approved_constraint_id && !r.value &&
                       r.entity_id.empty();
    if (r.action == "reject_suggestion") {
        return plain && r.status == kStatusRejected ? CompletionCoherence::coherent : CompletionCoherence::rejected;
    }
    if (r.action == "leave_missing") {
        return plain && r.status == kStatusLeftMissing ? CompletionCoherence::coherent
                                                       : CompletionCoherence::leave_missing;
    }
    return CompletionCoherence::action;
}

CompletionRecord parse_completion_record(const SortedJson& json) {
    if (!json.is_object()) refuse("Persisted completion record is invalid");
    if (first_missing_key(json, kCompletionRecordKeys)) refuse("Persisted completion record is incomplete");
    if (first_unknown_key(json, kCompletionRecordKeys)) refuse("Persisted completion record has an unknown field");

    CompletionRecord record;
    const std::string context = "completion record";
    record.decision_id = require_text_field(json, "decision_id", context);
    record.action = require_text_field(json, "action", context);
    record.target = require_text_field(json, "target", context);
    record.provenance = require_text_field(json, "provenance", context);
    record.status = require_text_field(json, "status", context);
    const auto& entity = json.at("entity_id");
    if (!entity.is_string()) refuse("Persisted completion entity id is invalid");
    record.entity_id = entity.get<std::string>();

    if (!is_safe_identifier(record.decision_id) ||
        (!record.entity_id.empty() && !is_safe_identifier(record.entity_id))) {
        refuse("Persisted completion record has an unsafe identifier");
    }

    const auto& value = json.at("value");
    if (!value.is_null()) {
        if (!value.is_number()) refuse("Persisted completion value is invalid");
        const double number = value.get<double>();
        if (!std::isfinite(number) || number <= 0.0) refuse("Persisted completion value is not positive and finite");
        record.value = number;
    }

    const auto& approved = json.at("approved_constraint_id");
    if (!approved.is_null()) {
        if (!approved.is_string() || approved.get_ref<const std::string&>().empty()) {
            refuse("Persisted approved completion id is invalid");
        }
        if (!is_safe_identifier(approved.get_ref<const std::string&>())) {
            refuse("Persisted approved completion id is unsafe");
        }
        record.approved_constraint_id = approved.get<std::string>();
    }

    switch (check_completion_coherence(record)) {
    case CompletionCoherence::coherent: break;
    case CompletionCoherence::user_value: refuse("Persisted user completion record is incoherent");
    case CompletionCoherence::accepted: refuse("Persisted accepted completion record is incoherent");
    case CompletionCoherence::deterministic: refuse("Persisted deterministic completion record is incoherent");
    case CompletionCoherence::conflict: refuse("Persisted conflict completion record is incoherent");
    case CompletionCoherence::provenance: refuse("Persisted accepted completion provenance is invalid");
    case CompletionCoherence::rejected: refuse("Persisted rejected completion record is incoherent");
    case CompletionCoherence::leave_missing: refuse("Persisted leave-missing record is incoherent");
    case CompletionCoherence::action: refuse("Persisted completion action is invalid");
    }
    return record;
}

bool completion_record_equal(const CompletionRecord& a, const CompletionRecord& b) {
    return a.decision_id == b.decision_id && a.action == b.action && a.target == b.target &&
           a.entity_id == b.entity_id && a.provenance == b.provenance && a.status == b.status &&
           a.approved_constraint_id == b.approved_constraint_id && a.value.has_value() == b.value.has_value() &&
           (!a.value || *a.value == *b.value);
}

bool completion_records_equal(const std::vector<CompletionRecord>& a, const std::vector<CompletionRecord>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!completion_record_equal(a[i], b[i])) return false;
    }
    return true;
}

}  // namespace vesk
