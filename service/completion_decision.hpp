// Completion decisions: the checked body of one decision, its checks against the current
// plan, its pure application to a graph, and the deterministic replay of a stored record.
// Pure: no file, no lock, no service state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/dimension_graph.hpp"
#include "service/completion_plan.hpp"
#include "service/completion_record.hpp"

namespace vesk {

inline constexpr std::string_view kCompletionDecisionSchema = "v19-completion-decision-v1";

struct CompletionDecision {
    std::string decision_id;
    CompletionDecisionAction action = CompletionDecisionAction::leave_missing;
    std::string proposal_id;
    std::string selected_entity_id;  // may be empty; the messages call it the "edge"
    std::optional<double> value;
    std::optional<std::string> selected_constraint_id;
};

struct CompletionApplication {
    DimensionGraph graph;  // the possibly changed copy
    CompletionRecord record;
    bool rerun = false;  // the graph changed and the job is modelled again
};

// The body checks, in order; every refusal is std::invalid_argument.
CompletionDecision completion_decision_from_json(const SortedJson& body);

// The checks of a decision against the proposal it names (std::invalid_argument).
void check_decision_against_plan(const CompletionPlan& plan, const CompletionDecision& decision);

// Applies one decision to a copy of the graph. The same graph, plan and decision always
// give the same result. std::invalid_argument for what the decision got wrong.
CompletionApplication apply_completion_decision(const DimensionGraph& graph, const CompletionPlan& plan,
                                                const CompletionDecision& decision);

// Everything that a stored transition will check later, checked now, so that nothing is
// written for a decision that could never be replayed: the record passes the persisted
// record check, the approved id is a safe identifier, and the resulting graph passes the
// strict graph check and holds its approved constraint. std::invalid_argument.
void validate_completion_application(const CompletionApplication& application);

// The canonical text of a graph: the only form in which graphs are compared and stored.
std::string canonical_graph_text(const DimensionGraph& graph);

// Replay of a stored record (std::runtime_error for what the record does not reproduce).
enum class ProposalMatch { any_kind, missing_dimension, conflict_preference };
const CompletionProposal& map_record_to_proposal(const CompletionPlan& plan, const CompletionRecord& record,
                                                 ProposalMatch kind, bool match_entity);
CompletionDecision decision_from_record(const CompletionRecord& record, const CompletionPlan& plan);
CompletionApplication check_deterministic_replay(const std::string& base_text, const CompletionRecord& record);
// A completed graph holds exactly one constraint with the record's approved id, on the
// record's entity, of the target's type and value.
void check_completion_graph(const std::string& graph_text, const CompletionRecord& record, const std::string& label);

}  // namespace vesk
