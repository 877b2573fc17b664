// Sketch analysis: turns a DimensionGraph into a constraint system, lets the solver
// diagnose it and reports the result in the graph's own vocabulary (degrees of freedom,
// missing dimensions by name, conflicting and redundant constraint ids, conflict groups).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/dimension_graph.hpp"

namespace vesk {

struct SketchAnalysis {
    // Solver degrees of freedom after diagnosis; -1 when the solver gave no diagnosis.
    std::int32_t degrees_of_freedom = 0;
    // "<entity>.length", "<entity>.radius" or "<entity>.diameter", ascending.
    std::vector<std::string> missing_dimensions;
    // Constraint ids, ascending, unique.
    std::vector<std::string> conflicting_constraints;
    std::vector<std::string> redundant_constraints;
    // Constraints on one entity whose values contradict; each group ascending, groups in
    // lexicographic order.
    std::vector<std::vector<std::string>> conflict_groups;

    bool operator==(const SketchAnalysis&) const = default;
};

// Largest sketch the analysis takes on (a 256-hole plate with its outline and top view
// fits); beyond these the analysis refuses at once. Lines have their own, lower limit:
// relations tie lines into one block of unknowns, and each step of the solver's
// redundancy re-solve decomposes a block at the cost of its constraints times its
// unknowns squared, for up to 100 steps. On this machine 32 lines tied together under
// 10,000 constraints take about 9 s of processor time (28 s with 268 circles beside
// them), 64 lines 35 to 80 s, 96 lines 94 s; a circle is a block of its own.
inline constexpr std::size_t kMaxSketchEntities = 300;
inline constexpr std::size_t kMaxSketchLines = 32;
inline constexpr std::size_t kMaxSketchConstraints = 10000;

// Diagnoses the graph with a fresh solver system. Invalid-argument errors for relations
// the sketch model does not support or a graph beyond the size limits, overflow_error when the constraints run out of
// solver tags, runtime errors when the solver's count cannot be explained.
SketchAnalysis analyze_dimension_graph(const DimensionGraph& graph);

// Angle, parallel and perpendicular values must agree with the drawn line directions:
// the analysis is a rank test and the solid is built from the coordinates, so a relation
// the drawing contradicts would otherwise pass silently. Invalid-argument error
// "DimensionGraph constraint '<id>' value contradicts referenced lines".
void check_relation_values(const DimensionGraph& graph);

// Groups of same-entity constraints (all distances, or all radius/diameter) whose values
// contradict, diameters compared as half their value.
std::vector<std::vector<std::string>> find_conflict_groups(const DimensionGraph& graph);

// The name under which an undimensioned entity is reported.
std::string dimension_unknown_name(const DimensionEntity& entity);

}  // namespace vesk
