// The completion plan of a rejected sketch: one proposal per named missing dimension (with
// a suggested value when the drawing's scale is verified) and one per group of constraints
// whose values contradict (with a preferred constraint when one carries clearly more
// evidence). A pure function of the graph, recomputed on every use and never stored, so
// that a replayed decision sees exactly what the decision saw. Touches no file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/dimension_graph.hpp"
#include "model/sketch_analysis.hpp"

namespace vesk {

inline constexpr std::string_view kCompletionPlanSchema = "v19-completion-plan-v1";
// Ratios within 2% of their median verify the drawing's scale.
inline constexpr double kScaleRelativeTolerance = 0.02;
inline constexpr double kScaleAbsoluteTolerance = 1e-9;
// A constraint with a usable source box earns this much over its confidence.
inline constexpr double kSourceBoxEvidenceBonus = 0.05;
// A conflict has a preferred constraint only when its weight leads by more than this.
inline constexpr double kEvidenceTieTolerance = 1e-9;

enum class CompletionProposalKind : std::uint32_t { missing_dimension = 0, conflict_preference = 1 };
enum class CompletionMeasure : std::uint32_t { length = 0, diameter = 1, radius = 2 };

// "missing_dimension", "conflict_preference"; std::logic_error otherwise.
std::string completion_proposal_kind_text(CompletionProposalKind kind);

struct ConflictChoice {
    std::string constraint_id;
    std::optional<std::string> display_name;
    double value = 0.0;
    double evidence_weight = 0.0;
};

struct CompletionProposal {
    std::string proposal_id;  // "missing-<i>" or "conflict-<g>", 1-based in its own list
    CompletionProposalKind kind = CompletionProposalKind::missing_dimension;
    std::string named_target;
    std::string entity_id;
    std::vector<std::string> conflicting_constraint_ids;
    std::optional<std::string> preferred_constraint_id;
    std::optional<double> suggested_value;
    double evidence_weight = 0.0;
    bool scale_verified = false;
    std::string rationale;
    std::vector<ConflictChoice> conflict_choices;  // ranked
};

struct CompletionPlan {
    SketchAnalysis analysis;
    bool scale_verified = false;
    double units_per_drawn_unit = 0.0;
    std::vector<CompletionProposal> proposals;  // missing dimensions first, then conflicts
};

struct NamedMissingDimension {
    std::string entity_id;
    CompletionMeasure measure = CompletionMeasure::length;
    ConstraintType constraint_type = ConstraintType::distance;
};

struct ScaleEstimate {
    bool verified = false;
    double units_per_drawn_unit = 0.0;
};

// Confidence, plus the bonus when the source box is finite with positive width and height.
double evidence_weight(const DimensionConstraint& constraint);
// Drawn size of an entity for a measure (line length, circle diameter, arc radius).
std::optional<double> visible_entity_size(const DimensionEntity& entity, CompletionMeasure measure);
// Model millimetres per drawn unit for one single-entity constraint.
std::optional<double> constraint_scale_ratio(const DimensionGraph& graph, const DimensionConstraint& constraint);
// Verified when at least two ratios all lie within the tolerance of their (upper) median.
ScaleEstimate estimate_drawing_scale(const DimensionGraph& graph);
std::optional<NamedMissingDimension> resolve_named_missing_dimension(const DimensionGraph& graph,
                                                                     const std::string& name);
// std::invalid_argument "Completion target entity does not exist".
const DimensionEntity& find_entity(const DimensionGraph& graph, const std::string& entity_id);
// std::runtime_error "Named conflicting constraint is absent".
std::vector<const DimensionConstraint*> collect_group_constraints(const DimensionGraph& graph,
                                                                  const std::vector<std::string>& ids);

// Plan of a graph from its analysis (the caller may have analysed it already).
CompletionPlan build_completion_plan(const DimensionGraph& graph, SketchAnalysis analysis);
CompletionPlan build_completion_plan(const DimensionGraph& graph);

// std::invalid_argument "Completion proposal does not exist".
const CompletionProposal& find_proposal(const CompletionPlan& plan, const std::string& proposal_id);
// The named dimension of a missing-dimension proposal, after checking that it is still
// missing in a fresh analysis of the graph and in the plan (std::invalid_argument).
NamedMissingDimension require_current_named_missing_dimension(const DimensionGraph& graph,
                                                              const CompletionPlan& plan,
                                                              const CompletionProposal& proposal);

// "v19-completion-plan-v1", keys in written order.
OrderedJson completion_plan_document(const CompletionPlan& plan);

}  // namespace vesk
