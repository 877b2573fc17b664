#include "service/completion_plan.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vesk {
namespace {

bool positive_finite(double value) {
    return std::isfinite(value) && value > 0.0;
}

bool ends_with(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The stem of `name` before `suffix` names an entity of `type`; an empty stem or another
// type gives none, an unknown entity throws.
std::optional<NamedMissingDimension> resolve_with(const DimensionGraph& graph, const std::string& name,
                                                  std::string_view suffix, EntityType type,
                                                  CompletionMeasure measure, ConstraintType constraint_type) {
    const std::string stem = name.substr(0, name.size() - suffix.size());
    if (stem.empty()) return std::nullopt;
    if (find_entity(graph, stem).type != type) return std::nullopt;
    return NamedMissingDimension{stem, measure, constraint_type};
}

CompletionProposal missing_proposal(const DimensionGraph& graph, const ScaleEstimate& scale, const std::string& name,
                                    std::size_t position) {
    const auto target = resolve_named_missing_dimension(graph, name);
    if (!target) throw std::logic_error("Constraint analysis emitted an unsupported named missing DOF");
    const auto size = visible_entity_size(find_entity(graph, target->entity_id), target->measure);
    const bool usable = scale.verified && size.has_value();

    CompletionProposal proposal;
    proposal.proposal_id = "missing-" + std::to_string(position);
    proposal.kind = CompletionProposalKind::missing_dimension;
    proposal.named_target = name;
    proposal.entity_id = target->entity_id;
    proposal.evidence_weight = usable ? 1.0 : 0.0;
    proposal.scale_verified = usable;
    proposal.rationale = usable ? "named missing DOF uses verified scale times visible geometry size"
                                : "named missing DOF has no independently verified scale and visible size";
    if (usable) {
        const double suggested = *size * scale.units_per_drawn_unit;
        if (!positive_finite(suggested)) throw std::logic_error("Verified completion suggestion is not positive and finite");
        proposal.suggested_value = suggested;
    }
    return proposal;
}

CompletionProposal conflict_proposal(const DimensionGraph& graph, const std::vector<std::string>& group,
                                     std::size_t position) {
    struct Ranked {
        const DimensionConstraint* constraint;
        double weight;
    };
    std::vector<Ranked> ranked;
    for (const auto* constraint : collect_group_constraints(graph, group)) {
        ranked.push_back({constraint, evidence_weight(*constraint)});
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
        if (a.weight != b.weight) return a.weight > b.weight;
        return a.constraint->id < b.constraint->id;
    });
    if (ranked.size() < 2) throw std::out_of_range("Conflict group has fewer than two constraints");
    const double top = ranked[0].weight;
    const bool unique = top > ranked[1].weight + kEvidenceTieTolerance;

    CompletionProposal proposal;
    proposal.proposal_id = "conflict-" + std::to_string(position);
    proposal.kind = CompletionProposalKind::conflict_preference;
    proposal.named_target = "conflicting_constraints/" + group.front();
    const auto& first_ids = ranked[0].constraint->entity_ids;
    proposal.entity_id = first_ids.empty() ? std::string() : first_ids.front();
    proposal.conflicting_constraint_ids = group;
    if (unique) proposal.preferred_constraint_id = ranked[0].constraint->id;
    proposal.evidence_weight = top;
    proposal.scale_verified = false;
    proposal.rationale = unique ? "unique highest evidence weight is preferred; user approval is still required"
                                : "conflicting constraints have tied evidence weight; no preference is offered";
    for (const auto& member : ranked) {
        proposal.conflict_choices.push_back(ConflictChoice{member.constraint->id, member.constraint->display_name,
                                                           member.constraint->value, member.weight});
    }
    return proposal;
}

OrderedJson string_array(const std::vector<std::string>& items) {
    OrderedJson array = OrderedJson::array();
    for (const auto& item : items) array.push_back(item);
    return array;
}

}  // namespace

std::string completion_proposal_kind_text(CompletionProposalKind kind) {
    switch (kind) {
    case CompletionProposalKind::missing_dimension: return "missing_dimension";
    case CompletionProposalKind::conflict_preference: return "conflict_preference";
    }
    throw std::logic_error("Unknown completion proposal kind");
}

double evidence_weight(const DimensionConstraint& constraint) {
    const SourceBox& box = constraint.source_bbox;
    const bool usable_box = std::isfinite(box.x) && std::isfinite(box.y) && std::isfinite(box.width) &&
                            std::isfinite(box.height) && box.width > 0.0 && box.height > 0.0;
    return usable_box ? constraint.confidence + kSourceBoxEvidenceBonus : constraint.confidence;
}

std::optional<double> visible_entity_size(const DimensionEntity& entity, CompletionMeasure measure) {
    std::optional<double> size;
    if (measure == CompletionMeasure::length && entity.type == EntityType::line) {
        const auto& line = std::get<LineGeometry>(entity.geometry);
        size = std::hypot(line.end.x - line.start.x, line.end.y - line.start.y);
    } else if (measure == CompletionMeasure::diameter && entity.type == EntityType::circle) {
        size = 2.0 * std::get<CircleGeometry>(entity.geometry).radius;
    } else if (measure == CompletionMeasure::radius && entity.type == EntityType::arc) {
        size = std::get<ArcGeometry>(entity.geometry).radius;
    }
    if (size && !positive_finite(*size)) size.reset();
    return size;
}

std::optional<double> constraint_scale_ratio(const DimensionGraph& graph, const DimensionConstraint& constraint) {
    if (constraint.entity_ids.size() != 1 || !positive_finite(constraint.value)) return std::nullopt;
    const DimensionEntity& entity = find_entity(graph, constraint.entity_ids.front());
    std::optional<double> size;
    if (constraint.type == ConstraintType::distance && entity.type == EntityType::line) {
        size = visible_entity_size(entity, CompletionMeasure::length);
    } else if (constraint.type == ConstraintType::diameter && entity.type == EntityType::circle) {
        size = visible_entity_size(entity, CompletionMeasure::diameter);
    } else if (constraint.type == ConstraintType::radius && entity.type == EntityType::arc) {
        size = visible_entity_size(entity, CompletionMeasure::radius);
    }
    if (!size) return std::nullopt;
    const double ratio = constraint.value / *size;
    if (!positive_finite(ratio)) return std::nullopt;
    return ratio;
}

ScaleEstimate estimate_drawing_scale(const DimensionGraph& graph) {
    std::vector<double> ratios;
    for (const auto& constraint : graph.constraints) {
        if (auto ratio = constraint_scale_ratio(graph, constraint)) ratios.push_back(*ratio);
    }
    if (ratios.size() < 2) return {};
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    const double tolerance = std::max(std::fabs(median) * kScaleRelativeTolerance, kScaleAbsoluteTolerance);
    for (double ratio : ratios) {
        if (std::fabs(ratio - median) > tolerance) return {};
    }
    return {true, median};
}

std::optional<NamedMissingDimension> resolve_named_missing_dimension(const DimensionGraph& graph,
                                                                     const std::string& name) {
    if (name.size() >= 7 && ends_with(name, ".length")) {
        return resolve_with(graph, name, ".length", EntityType::line, CompletionMeasure::length,
                            ConstraintType::distance);
    }
    if (name.size() >= 9 && ends_with(name, ".diameter")) {
        return resolve_with(graph, name, ".diameter", EntityType::circle, CompletionMeasure::diameter,
                            ConstraintType::diameter);
    }
    if (ends_with(name, ".radius")) {
        return resolve_with(graph, name, ".radius", EntityType::arc, CompletionMeasure::radius, ConstraintType::radius);
    }
    return std::nullopt;
}

const DimensionEntity& find_entity(const DimensionGraph& graph, const std::string& entity_id) {
    for (const auto& entity : graph.entities) {
        if (entity.id == entity_id) return entity;
    }
    throw std::invalid_argument("Completion target entity does not exist");
}

std::vector<const DimensionConstraint*> collect_group_constraints(const DimensionGraph& graph,
                                                                  const std::vector<std::string>& ids) {
    std::vector<const DimensionConstraint*> members;
    for (const auto& id : ids) {
        const auto found = std::find_if(graph.constraints.begin(), graph.constraints.end(),
                                        [&](const DimensionConstraint& c) { return c.id == id; });
        if (found == graph.constraints.end()) throw std::runtime_error("Named conflicting constraint is absent");
        members.push_back(&*found);
    }
    return members;
}

CompletionPlan build_completion_plan(const DimensionGraph& graph, SketchAnalysis analysis) {
    CompletionPlan plan;
    plan.analysis = std::move(analysis);
    const ScaleEstimate scale = estimate_drawing_scale(graph);
    plan.scale_verified = scale.verified;
    plan.units_per_drawn_unit = scale.units_per_drawn_unit;
    std::size_t position = 0;
    for (const auto& name : plan.analysis.missing_dimensions) {
        plan.proposals.push_back(missing_proposal(graph, scale, name, ++position));
    }
    position = 0;
    for (const auto& group : plan.analysis.conflict_groups) {
        plan.proposals.push_back(conflict_proposal(graph, group, ++position));
    }
    return plan;
}

CompletionPlan build_completion_plan(const DimensionGraph& graph) {
    return build_completion_plan(graph, analyze_dimension_graph(graph));
}

const CompletionProposal& find_proposal(const CompletionPlan& plan, const std::string& proposal_id) {
    for (const auto& proposal : plan.proposals) {
        if (proposal.proposal_id == proposal_id) return proposal;
    }
    throw std::invalid_argument("Completion proposal does not exist");
}

NamedMissingDimension require_current_named_missing_dimension(const DimensionGraph& graph,
                                                              const CompletionPlan& plan,
                                                              const CompletionProposal& proposal) {
    if (proposal.kind != CompletionProposalKind::missing_dimension) {
        throw std::invalid_argument("Completion proposal does not identify a missing dimension");
    }
    const auto target = resolve_named_missing_dimension(graph, proposal.named_target);
    if (!target || target->entity_id != proposal.entity_id) {
        throw std::invalid_argument("Completion proposal does not identify an exact compatible named DOF");
    }
    const auto contains = [&](const std::vector<std::string>& names) {
        return std::find(names.begin(), names.end(), proposal.named_target) != names.end();
    };
    if (!contains(plan.analysis.missing_dimensions) || !contains(analyze_dimension_graph(graph).missing_dimensions)) {
        throw std::invalid_argument("Completion target is not a current named missing DOF");
    }
    return *target;
}

OrderedJson completion_plan_document(const CompletionPlan& plan) {
    OrderedJson document = OrderedJson::object();
    document["schema_version"] = kCompletionPlanSchema;
    document["degrees_of_freedom"] = plan.analysis.degrees_of_freedom;
    document["missing_dimensions"] = string_array(plan.analysis.missing_dimensions);
    document["conflicting_constraints"] = string_array(plan.analysis.conflicting_constraints);
    OrderedJson groups = OrderedJson::array();
    for (const auto& group : plan.analysis.conflict_groups) groups.push_back(string_array(group));
    document["resolvable_conflict_groups"] = std::move(groups);
    document["scale_verified"] = plan.scale_verified;
    document["units_per_drawn_unit"] = plan.units_per_drawn_unit;
    OrderedJson proposals = OrderedJson::array();
    for (const auto& p : plan.proposals) {
        OrderedJson item = OrderedJson::object();
        item["proposal_id"] = p.proposal_id;
        item["kind"] = completion_proposal_kind_text(p.kind);
        item["named_target"] = p.named_target;
        item["entity_id"] = p.entity_id;
        item["conflicting_constraint_ids"] = string_array(p.conflicting_constraint_ids);
        item["preferred_constraint_id"] = p.preferred_constraint_id ? OrderedJson(*p.preferred_constraint_id) : nullptr;
        item["suggested_value"] = p.suggested_value ? OrderedJson(*p.suggested_value) : nullptr;
        item["evidence_weight"] = p.evidence_weight;
        item["scale_verified"] = p.scale_verified;
        item["rationale"] = p.rationale;
        OrderedJson choices = OrderedJson::array();
        for (const auto& choice : p.conflict_choices) {
            OrderedJson entry = OrderedJson::object();
            entry["constraint_id"] = choice.constraint_id;
            entry["value"] = choice.value;
            entry["evidence_weight"] = choice.evidence_weight;
            if (choice.display_name) entry["display_name"] = *choice.display_name;
            choices.push_back(std::move(entry));
        }
        item["conflict_choices"] = std::move(choices);
        proposals.push_back(std::move(item));
    }
    document["proposals"] = std::move(proposals);
    return document;
}

}  // namespace vesk
