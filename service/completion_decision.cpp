#include "service/completion_decision.hpp"
#include "service/completion_decision_internal.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "model/ascii_text.hpp"
#include "model/json_util.hpp"
#include "service/field_checks.hpp"
#include "service/job_record.hpp"

namespace vesk {
namespace {

constexpr const char* kDecisionKeys[] = {
    "schema_version", "decision_id", "action", "proposal_id", "selected_entity_id", "value", "selected_constraint_id",
};

[[noreturn]] void refuse(const std::string& message) {
    throw std::invalid_argument(message);
}

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

bool positive_finite(double value) {
    return std::isfinite(value) && value > 0.0;
}

bool contains(const std::vector<std::string>& ids, const std::string& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string approved_id_of(const std::string& decision_id) {
    return std::string(kApprovedIdPrefix) + decision_id;
}

// The constraint a value decision adds: the named dimension, full confidence, no source box.
void append_completion_constraint(DimensionGraph& graph, const std::string& decision_id,
                                  const NamedMissingDimension& target, double value) {
    DimensionConstraint constraint;
    constraint.id = approved_id_of(decision_id);
    constraint.type = target.constraint_type;
    constraint.entity_ids = {target.entity_id};
    constraint.value = value;
    constraint.confidence = 1.0;
    constraint.source_bbox = SourceBox{0.0, 0.0, 0.0, 0.0};
    graph.constraints.push_back(std::move(constraint));
}

void check_plain_decision(const CompletionDecision& decision, const char* no_proposal, const char* carries) {
    if (decision.proposal_id.empty()) refuse(no_proposal);
    if (!decision.selected_entity_id.empty() || decision.value || decision.selected_constraint_id) refuse(carries);
}

// Runs a check whose every failure is the client's doing and reports it as such.
template <typename Check>
void as_client_fault(Check check) {
    try {
        check();
    } catch (const std::invalid_argument&) {
        throw;
    } catch (const std::exception& e) {
        throw std::invalid_argument(e.what());
    }
}

// The drawing is to scale, so a completion value must equal the drawn size of its target.
// Returns the refusal in the user's terms, or nothing when the value matches or has no size.
std::optional<std::string> drawn_size_contradiction(const DimensionGraph& graph, const CompletionRecord& record) {
    if (!record.value) return std::nullopt;
    std::optional<double> size;
    try {
        const auto target = resolve_named_missing_dimension(graph, record.target);
        if (target) size = visible_entity_size(find_entity(graph, target->entity_id), target->measure);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!size || std::fabs(*size - *record.value) <= kGraphValueTolerance) return std::nullopt;
    // Drawn sizes come from coordinates: six decimals, unless the value they read as would
    // itself be refused; then every digit, so that the size shown is always one to enter.
    std::string drawn = number_text(*size, 6);
    double shown = 0.0;
    std::from_chars(drawn.data(), drawn.data() + drawn.size(), shown);
    if (shown <= 0.0 || std::fabs(shown - *size) > kGraphValueTolerance) drawn = number_text(*size);
    return "Completion value " + number_text(*record.value) + " for " + record.target + " contradicts the drawn size " +
           drawn + " mm; the drawing is to scale: enter " + drawn + " or correct the drawing";
}

}  // namespace

CompletionDecision completion_decision_from_json(const SortedJson& body) {
    const std::string context = "completion decision";
    if (require_text_field(body, "schema_version", context) != kCompletionDecisionSchema) {
        refuse("Completion decision schema is invalid");
    }
    if (const auto unknown = first_unknown_key(body, kDecisionKeys)) {
        refuse("Completion decision contains unknown field '" + *unknown + "'");
    }
    CompletionDecision decision;
    decision.decision_id = require_text_field(body, "decision_id", context);
    if (!is_safe_identifier(decision.decision_id)) refuse("Completion decision_id is unsafe");
    decision.action = parse_completion_action(require_text_field(body, "action", context));
    decision.proposal_id = require_text_field(body, "proposal_id", context);
    if (!is_safe_identifier(decision.proposal_id)) refuse("Completion proposal_id is unsafe");

    const auto entity = body.find("selected_entity_id");
    if (entity == body.end() || !entity->is_string()) refuse("Completion selected_entity_id must be a string");
    decision.selected_entity_id = entity->get<std::string>();

    const auto value = body.find("value");
    if (value == body.end()) refuse("Completion decision must include value or null");
    if (!value->is_null()) {
        if (!value->is_number()) refuse("Completion value must be numeric or null");
        decision.value = value->get<double>();
    }

    const auto selected = body.find("selected_constraint_id");
    if (selected != body.end() && !selected->is_null()) {
        if (!selected->is_string()) refuse("Completion selected_constraint_id must be a string or null");
        if (!is_safe_identifier(selected->get_ref<const std::string&>())) {
            refuse("Completion selected_constraint_id is unsafe");
        }
        decision.selected_constraint_id = selected->get<std::string>();
    }

    switch (decision.action) {
    case CompletionDecisionAction::reject_suggestion:
    case CompletionDecisionAction::leave_missing:
        if (!decision.selected_entity_id.empty() || decision.value || decision.selected_constraint_id) {
            refuse("Reject and leave-missing decisions cannot carry a target or value");
        }
        break;
    case CompletionDecisionAction::user_value:
        if (decision.selected_entity_id.empty() || decision.selected_constraint_id) {
            refuse("User completion requires a selected edge");
        }
        break;
    case CompletionDecisionAction::accept_suggestion:
        if (decision.value) refuse("Suggestion acceptance cannot override its value");
        break;
    }
    return decision;
}

CompletionDecision parse_completion_decision(std::string_view body) {
    SortedJson json;
    try {
        json = parse_strict_json(body);
    } catch (const std::exception& e) {
        refuse(std::string("Completion decision body is not valid JSON: ") + e.what());
    }
    return completion_decision_from_json(json);
}

void check_decision_against_plan(const CompletionPlan& plan, const CompletionDecision& decision) {
    const CompletionProposal& proposal = find_proposal(plan, decision.proposal_id);
    const bool missing = proposal.kind == CompletionProposalKind::missing_dimension;
    if (decision.action == CompletionDecisionAction::user_value) {
        if (!missing || proposal.entity_id != decision.selected_entity_id) {
            refuse("User completion must target the selected named missing dimension");
        }
    } else if (decision.action == CompletionDecisionAction::accept_suggestion) {
        if (!decision.selected_entity_id.empty() && decision.selected_entity_id != proposal.entity_id) {
            refuse("Selected edge does not match the completion proposal");
        }
        if (!missing) {
            // The preferred constraint is never taken by default: a person picks one.
            if (!decision.selected_constraint_id) refuse("Conflict acceptance requires an explicit constraint selection");
            if (!contains(proposal.conflicting_constraint_ids, *decision.selected_constraint_id)) {
                refuse("Selected constraint does not belong to the conflict proposal");
            }
        } else if (decision.selected_constraint_id) {
            refuse("Missing-dimension acceptance cannot carry a conflict selection");
        }
    }
}

CompletionApplication apply_completion_decision(const DimensionGraph& graph, const CompletionPlan& plan,
                                                const CompletionDecision& decision) {
    if (decision.decision_id.empty()) refuse("Completion decision_id must not be empty");
    CompletionApplication application;
    CompletionRecord& record = application.record;
    record.decision_id = decision.decision_id;
    record.action = to_string(decision.action);
    record.entity_id = decision.selected_entity_id;
    record.provenance = kProvenanceUserDecision;
    record.status = kStatusLeftMissing;
    application.graph = graph;

    switch (decision.action) {
    case CompletionDecisionAction::reject_suggestion: {
        check_plain_decision(decision, "Reject decision requires a proposal", "Reject decision cannot carry an edge or value");
        record.target = find_proposal(plan, decision.proposal_id).named_target;
        record.status = kStatusRejected;
        break;
    }
    case CompletionDecisionAction::leave_missing: {
        check_plain_decision(decision, "Leave-missing decision requires a proposal",
                             "Leave-missing decision cannot carry an edge or value");
        record.target = find_proposal(plan, decision.proposal_id).named_target;
        break;
    }
    case CompletionDecisionAction::user_value: {
        if (decision.selected_entity_id.empty() || !decision.value || !positive_finite(*decision.value) ||
            decision.selected_constraint_id) {
            refuse("User completion requires an edge and positive value");
        }
        const CompletionProposal& proposal = find_proposal(plan, decision.proposal_id);
        const NamedMissingDimension target = require_current_named_missing_dimension(graph, plan, proposal);
        if (target.entity_id != decision.selected_entity_id) {
            refuse("User completion must target the exact named compatible missing DOF");
        }
        record.target = proposal.named_target;
        record.entity_id = target.entity_id;
        record.value = *decision.value;
        record.approved_constraint_id = approved_id_of(decision.decision_id);
        record.provenance = kProvenanceUserInput;
        record.status = kStatusApproved;
        append_completion_constraint(application.graph, decision.decision_id, target, *decision.value);
        application.rerun = true;
        break;
    }
    case CompletionDecisionAction::accept_suggestion: {
        const CompletionProposal& proposal = find_proposal(plan, decision.proposal_id);
        if (!decision.selected_entity_id.empty() && decision.selected_entity_id != proposal.entity_id) {
            refuse("Selected edge does not match the completion proposal");
        }
        record.target = proposal.named_target;
        record.entity_id = proposal.entity_id;
        record.status = kStatusApproved;
        if (proposal.kind == CompletionProposalKind::missing_dimension) {
            if (decision.selected_constraint_id) refuse("Missing-dimension suggestion cannot carry a conflict selection");
            const NamedMissingDimension target = require_current_named_missing_dimension(graph, plan, proposal);
            const ScaleEstimate scale = estimate_drawing_scale(graph);
            const auto size = visible_entity_size(find_entity(graph, target.entity_id), target.measure);
            if (!proposal.scale_verified || !proposal.suggested_value || !size || !scale.verified) {
                refuse("Unverified missing-dimension suggestion cannot be accepted");
            }
            const double recomputed = *size * scale.units_per_drawn_unit;
            const double suggested = *proposal.suggested_value;
            const double tolerance = std::max(std::max(std::fabs(recomputed), std::fabs(suggested)) * 1e-9, 1e-9);
            if (!positive_finite(recomputed) || std::fabs(recomputed - suggested) > tolerance) {
                refuse("Completion suggestion no longer matches verified geometry");
            }
            record.value = recomputed;
            record.approved_constraint_id = approved_id_of(decision.decision_id);
            record.provenance = kProvenanceDeterministic;
            append_completion_constraint(application.graph, decision.decision_id, target, recomputed);
        } else {
            const auto chosen = decision.selected_constraint_id ? decision.selected_constraint_id
                                                                : proposal.preferred_constraint_id;
            if (!chosen) refuse("Tied conflict has no acceptable preference");
            if (!contains(proposal.conflicting_constraint_ids, *chosen)) {
                refuse("Selected constraint does not belong to the conflict proposal");
            }
            record.approved_constraint_id = *chosen;
            record.provenance = kProvenanceConflict;
            auto& constraints = application.graph.constraints;
            constraints.erase(std::remove_if(constraints.begin(), constraints.end(),
                                             [&](const DimensionConstraint& c) {
                                                 return c.id != *chosen &&
                                                        contains(proposal.conflicting_constraint_ids, c.id);
                                             }),
                              constraints.end());
        }
        application.rerun = true;
        break;
    }
    }
    return application;
}

void validate_completion_application(const CompletionApplication& application) {
    const CompletionRecord& record = application.record;
    if (!record.entity_id.empty() && !is_safe_identifier(record.entity_id)) {
        refuse("Completion target entity id is not a safe identifier");
    }
    if (record.approved_constraint_id && !is_safe_identifier(*record.approved_constraint_id)) {
        refuse("Completion decision_id is too long for its approved constraint id");
    }
    as_client_fault([&] { parse_completion_record(parse_strict_json(completion_record_to_json(record).dump())); });
    if (!application.rerun) return;
    const std::string text = canonical_graph_text(application.graph);
    as_client_fault([&] {
        try {
            parse_dimension_graph(text, "completed graph");
        } catch (const std::exception&) {
            if (const auto refusal = drawn_size_contradiction(application.graph, record)) refuse(*refusal);
            throw;
        }
        check_completion_graph(text, record, "completed graph");
    });
}

std::string canonical_graph_text(const DimensionGraph& graph) {
    return dimension_graph_to_json(graph);
}

const CompletionProposal& map_record_to_proposal(const CompletionPlan& plan, const CompletionRecord& record,
                                                 ProposalMatch kind, bool match_entity) {
    const CompletionProposal* found = nullptr;
    for (const auto& proposal : plan.proposals) {
        if (proposal.named_target != record.target) continue;
        if (kind == ProposalMatch::missing_dimension && proposal.kind != CompletionProposalKind::missing_dimension) continue;
        if (kind == ProposalMatch::conflict_preference && proposal.kind != CompletionProposalKind::conflict_preference) {
            continue;
        }
        if (match_entity && proposal.entity_id != record.entity_id) continue;
        if (found) fail("Completion transition record maps to multiple current proposals");
        found = &proposal;
    }
    if (!found) fail("Completion transition record does not map to a current proposal");
    return *found;
}

CompletionDecision decision_from_record(const CompletionRecord& record, const CompletionPlan& plan) {
    CompletionDecision decision;
    decision.decision_id = record.decision_id;
    decision.action = parse_completion_action(record.action);
    switch (decision.action) {
    case CompletionDecisionAction::user_value:
        decision.proposal_id = map_record_to_proposal(plan, record, ProposalMatch::missing_dimension, true).proposal_id;
        decision.selected_entity_id = record.entity_id;
        decision.value = record.value;
        break;
    case CompletionDecisionAction::reject_suggestion:
    case CompletionDecisionAction::leave_missing:
        decision.proposal_id = map_record_to_proposal(plan, record, ProposalMatch::any_kind, false).proposal_id;
        break;
    case CompletionDecisionAction::accept_suggestion: {
        const bool deterministic = record.provenance == kProvenanceDeterministic;
        const auto kind = deterministic ? ProposalMatch::missing_dimension : ProposalMatch::conflict_preference;
        decision.proposal_id = map_record_to_proposal(plan, record, kind, true).proposal_id;
        decision.selected_entity_id = record.entity_id;
        if (!deterministic) decision.selected_constraint_id = record.approved_constraint_id;
        break;
    }
    }
    return decision;
}

CompletionApplication check_deterministic_replay(const std::string& base_text, const CompletionRecord& record) {
    const DimensionGraph graph = parse_dimension_graph(base_text, "completion transition base graph");
    if (canonical_graph_text(graph) != base_text) fail("Completion transition base graph is not canonical");
    const CompletionPlan plan = build_completion_plan(graph);
    CompletionApplication application = apply_completion_decision(graph, plan, decision_from_record(record, plan));
    if (!completion_record_equal(application.record, record)) {
        fail("Completion transition record does not reproduce deterministically");
    }
    return application;
}

void check_completion_graph(const std::string& graph_text, const CompletionRecord& record, const std::string& label) {
    if (record.status != kStatusApproved || !record.approved_constraint_id) {
        fail("Completion graph has no approved completion record");
    }
    const DimensionGraph graph = parse_dimension_graph(graph_text, label);
    const DimensionConstraint* approved = nullptr;
    for (const auto& constraint : graph.constraints) {
        if (constraint.id != *record.approved_constraint_id) continue;
        if (approved) fail("Completion graph does not contain its approved constraint");
        approved = &constraint;
    }
    if (!approved) fail("Completion graph does not contain its approved constraint");
    if (approved->entity_ids.size() != 1 || approved->entity_ids.front() != record.entity_id) {
        fail("Completion graph constraint has an unexpected entity");
    }
    if (!record.value) return;
    std::optional<ConstraintType> expected;
    const auto ends_with = [&](std::string_view suffix) {
        return record.target.size() >= suffix.size() &&
               record.target.compare(record.target.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (ends_with(".diameter")) expected = ConstraintType::diameter;
    else if (ends_with(".radius")) expected = ConstraintType::radius;
    else if (ends_with(".length")) expected = ConstraintType::distance;
    if (!expected || approved->type != *expected) fail("Completion graph record has an unknown target kind");
    if (approved->value != *record.value) fail("Completion graph constraint has an unexpected value");
}

}  // namespace vesk
