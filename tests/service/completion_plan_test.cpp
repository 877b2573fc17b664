#include "service/completion_plan.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "model/json_util.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

const std::string kData = std::string(VESK_SOURCE_DIR) + "/tests/service/data/";

DimensionConstraint single(std::string id, ConstraintType type, std::string entity, double value,
                           double confidence = 0.9, SourceBox box = {0, 0, 10, 10}) {
    DimensionConstraint c;
    c.id = std::move(id);
    c.type = type;
    c.entity_ids = {std::move(entity)};
    c.value = value;
    c.confidence = confidence;
    c.source_bbox = box;
    return c;
}

// Lines "l<i>" of drawn length 100 dimensioned with the given values.
DimensionGraph lines_with_values(const std::vector<double>& values) {
    DimensionGraph graph;
    graph.views.push_back({"front", ViewType::front});
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string id = "l" + std::to_string(i + 1);
        graph.entities.push_back(test::line_entity(id, "front", 0, 10.0 * i, 100, 10.0 * i));
        graph.constraints.push_back(single("c" + std::to_string(i + 1), ConstraintType::distance, id, values[i]));
    }
    return graph;
}

TEST(CompletionPlan, DrawingScaleVerifiesWithinTwoPercentOfTheUpperMedian) {
    const struct {
        std::vector<double> values;
        bool verified;
        double scale;
    } cases[] = {
        {{100, 102}, true, 1.02},
        {{100, 103}, false, 0.0},
        {{100}, false, 0.0},
        {{}, false, 0.0},
        {{200, 199, 201, 200.5}, true, 2.005},  // third smallest, not the mean of the middle two
        {{100, 100, 100, 150}, false, 0.0},
    };
    for (const auto& c : cases) {
        const auto scale = estimate_drawing_scale(lines_with_values(c.values));
        EXPECT_EQ(scale.verified, c.verified) << c.values.size();
        EXPECT_DOUBLE_EQ(scale.units_per_drawn_unit, c.scale);
    }
    // Only distance-on-line, diameter-on-circle and radius-on-arc give a ratio.
    DimensionGraph graph = lines_with_values({100});
    graph.entities.push_back(test::circle_entity("h1", "front", 50, 50, 5));
    graph.entities.push_back({"a1", EntityType::arc, "front", ArcGeometry{{0, 0}, 5, 0, 90}});
    graph.constraints.push_back(single("r_on_circle", ConstraintType::radius, "h1", 5));
    graph.constraints.push_back(single("d_on_arc", ConstraintType::diameter, "a1", 10));
    EXPECT_FALSE(constraint_scale_ratio(graph, graph.constraints[1]));
    EXPECT_FALSE(constraint_scale_ratio(graph, graph.constraints[2]));
    EXPECT_FALSE(estimate_drawing_scale(graph).verified);
    graph.constraints.push_back(single("d_on_circle", ConstraintType::diameter, "h1", 10));
    graph.constraints.push_back(single("r_on_arc", ConstraintType::radius, "a1", 5));
    EXPECT_EQ(constraint_scale_ratio(graph, graph.constraints[3]), 1.0);
    EXPECT_EQ(constraint_scale_ratio(graph, graph.constraints[4]), 1.0);
    EXPECT_TRUE(estimate_drawing_scale(graph).verified);
    graph.constraints.push_back(single("ghost", ConstraintType::distance, "nowhere", 5));
    EXPECT_THROW(estimate_drawing_scale(graph), std::invalid_argument);
}

TEST(CompletionPlan, ConflictRankingTiesAndNames) {
    DimensionGraph graph = lines_with_values({100, 100});
    graph.constraints.push_back(single("b_dup", ConstraintType::distance, "l1", 120, 0.9));
    graph.constraints[0].display_name = "Width";
    SketchAnalysis analysis;
    analysis.conflict_groups = {{"c1", "b_dup"}};
    analysis.missing_dimensions = {"l2.length", "l1.length"};

    const struct {
        double other_confidence;
        SourceBox other_box;
        const char* preferred;  // "" none
    } cases[] = {
        {0.9, {0, 0, 10, 10}, ""},          // exact tie: ranked by id
        {0.9 + 5e-10, {0, 0, 10, 10}, ""},  // within 1e-9: still a tie
        {0.9 + 1e-8, {0, 0, 10, 10}, "b_dup"},
        {0.9, {0, 0, 0, 10}, "c1"},  // zero width: no source-box bonus
    };
    for (const auto& c : cases) {
        graph.constraints[2].confidence = c.other_confidence;
        graph.constraints[2].source_bbox = c.other_box;
        const CompletionPlan plan = build_completion_plan(graph, analysis);
        ASSERT_EQ(plan.proposals.size(), 3u);
        EXPECT_EQ(plan.proposals[0].proposal_id, "missing-1");
        EXPECT_EQ(plan.proposals[1].proposal_id, "missing-2");
        EXPECT_FALSE(plan.proposals[1].suggested_value);  // 120 on a line drawn 100 breaks the scale
        const auto& conflict = plan.proposals[2];
        EXPECT_EQ(conflict.proposal_id, "conflict-1");
        EXPECT_EQ(conflict.named_target, "conflicting_constraints/c1");
        EXPECT_EQ(conflict.preferred_constraint_id.value_or(""), c.preferred);
        EXPECT_EQ(conflict.rationale, *c.preferred ? "unique highest evidence weight is preferred; user approval is still required"
                                                    : "conflicting constraints have tied evidence weight; no preference is offered");
        if (!*c.preferred) {
            EXPECT_EQ(conflict.conflict_choices[0].constraint_id, "b_dup");
        }
        // The choice of a constraint with a display name carries it as its fourth, last key.
        const auto document = completion_plan_document(plan);
        for (const auto& choice : document["proposals"][2]["conflict_choices"]) {
            const bool named = choice["constraint_id"] == "c1";
            EXPECT_EQ(choice.size(), named ? 4u : 3u);
            if (named) {
                EXPECT_EQ(std::prev(choice.end()).key(), "display_name");
            }
        }
    }
    analysis.conflict_groups = {{"c1", "absent"}};
    EXPECT_THROW(build_completion_plan(graph, analysis), std::runtime_error);
    analysis.conflict_groups = {};
    analysis.missing_dimensions = {"l1.radius"};
    EXPECT_THROW(build_completion_plan(graph, analysis), std::logic_error);
    EXPECT_THROW(completion_proposal_kind_text(static_cast<CompletionProposalKind>(2)), std::logic_error);
}

// Whole plans of two drawings, byte for byte.
TEST(CompletionPlan, FixturePlansMatchGoldenFiles) {
    const std::pair<std::string, std::string> fixtures[] = {
        {std::string(VESK_SOURCE_DIR) + "/examples/underconstrained.json", "plan_underconstrained.json"},
        {std::string(VESK_SOURCE_DIR) + "/tests/model/data/analysis_flange_conflict.json", "plan_flange_conflict.json"},
    };
    for (const auto& [graph_path, golden] : fixtures) {
        const DimensionGraph graph = load_dimension_graph(graph_path);
        const std::string text = dump_json_document(completion_plan_document(build_completion_plan(graph)));
        EXPECT_EQ(text, test::read_file(kData + golden)) << golden << ":\n" << text;
    }
}

TEST(CompletionPlan, CurrentNamedMissingDimension) {
    const DimensionGraph graph = load_dimension_graph(std::string(VESK_SOURCE_DIR) + "/examples/underconstrained.json");
    const CompletionPlan plan = build_completion_plan(graph);
    ASSERT_FALSE(plan.proposals.empty());
    const auto& first = plan.proposals.front();
    EXPECT_EQ(require_current_named_missing_dimension(graph, plan, first).entity_id, first.entity_id);
    EXPECT_EQ(&find_proposal(plan, first.proposal_id), &first);
    EXPECT_THROW(find_proposal(plan, "missing-99"), std::invalid_argument);

    auto moved = first;
    moved.entity_id = "front_bottom";
    EXPECT_THROW(require_current_named_missing_dimension(graph, plan, moved), std::invalid_argument);
    auto stale = plan;
    stale.analysis.missing_dimensions.clear();
    EXPECT_THROW(require_current_named_missing_dimension(graph, stale, first), std::invalid_argument);
}

}  // namespace
}  // namespace vesk
