// The durable trace of one applied completion decision: the record, its JSON form, the
// strict check of a record read back, and equality by value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/dimension_graph.hpp"

namespace vesk {

enum class CompletionDecisionAction : std::uint32_t {
    accept_suggestion = 0,
    user_value = 1,
    reject_suggestion = 2,
    leave_missing = 3,
};

// std::invalid_argument "Unknown completion decision action".
CompletionDecisionAction parse_completion_action(std::string_view text);
// std::logic_error "Unknown completion decision action" outside the enumeration.
std::string to_string(CompletionDecisionAction action);

inline constexpr std::string_view kProvenanceUserInput = "user_input";
inline constexpr std::string_view kProvenanceDeterministic = "approved_deterministic_suggestion";
inline constexpr std::string_view kProvenanceConflict = "approved_conflict_preference";
inline constexpr std::string_view kProvenanceUserDecision = "user_decision";
inline constexpr std::string_view kStatusApproved = "approved_completion";
inline constexpr std::string_view kStatusRejected = "rejected_completion";
inline constexpr std::string_view kStatusLeftMissing = "left_missing";
// The approved constraint of a value decision is named "completion_" + decision id.
inline constexpr std::string_view kApprovedIdPrefix = "completion_";

// The record's keys in their written order.
inline constexpr std::array<std::string_view, 8> kCompletionRecordKeys = {
    "decision_id", "action", "target", "entity_id", "approved_constraint_id", "value", "provenance", "status",
};

struct CompletionRecord {
    std::string decision_id;
    std::string action;
    std::string target;
    std::string entity_id;  // empty for reject_suggestion and leave_missing
    std::optional<std::string> approved_constraint_id;
    std::optional<double> value;
    std::string provenance;
    std::string status;
};

// Eight keys, always present, in insertion order: "decision_id", "action", "target",
// "entity_id", "approved_constraint_id" (or null), "value" (or null), "provenance", "status".
OrderedJson completion_record_to_json(const CompletionRecord& record);

// The strict check of a record read back (members found by name); std::invalid_argument
// with a "Persisted ..." message on the first failure.
CompletionRecord parse_completion_record(const SortedJson& json);

// The action-specific rules every stored record obeys. Each reader reports a broken rule
// in its own words, so the check names the rule rather than throwing.
enum class CompletionCoherence {
    coherent,
    user_value,     // user_value rules
    accepted,       // accept_suggestion: approved status, approved id, entity
    deterministic,  // accepted deterministic suggestion: value and "completion_" id
    conflict,       // accepted conflict preference: no value
    provenance,     // accepted with another provenance
    rejected,       // reject_suggestion rules
    leave_missing,  // leave_missing rules
    action,         // none of the four actions
};
CompletionCoherence check_completion_coherence(const CompletionRecord& record);

// Byte-equal strings, both ids absent or equal, both values absent or numerically equal.
bool completion_record_equal(const CompletionRecord& a, const CompletionRecord& b);
bool completion_records_equal(const std::vector<CompletionRecord>& a, const std::vector<CompletionRecord>& b);

}  // namespace vesk
