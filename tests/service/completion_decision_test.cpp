#include "service/completion_decision_internal.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "model/json_util.hpp"
#include "support/expect_error.hpp"
#include "support/graph_builders.hpp"

namespace vesk {
namespace {

const std::string kExamples = std::string(VESK_SOURCE_DIR) + "/examples/";
const std::string kModelData = std::string(VESK_SOURCE_DIR) + "/tests/model/data/";


nlohmann::json body(const std::string& action, const std::string& proposal, const std::string& entity = "",
                    nlohmann::json value = nullptr) {
    return {{"schema_version", "v19-completion-decision-v1"},
            {"decision_id", "d1"},
            {"action", action},
            {"proposal_id", proposal},
            {"selected_entity_id", entity},
            {"value", std::move(value)}};
}

// The whole road of one decision: body, plan checks, application and its validation.
CompletionApplication decide(const DimensionGraph& graph, const nlohmann::json& json) {
    const CompletionDecision decision = completion_decision_from_json(json);
    const CompletionPlan plan = build_completion_plan(graph);
    check_decision_against_plan(plan, decision);
    CompletionApplication application = apply_completion_decision(graph, plan, decision);
    validate_completion_application(application);
    return application;
}

TEST(CompletionDecision, BodyRefusals) {
    const struct {
        std::function<void(nlohmann::json&)> edit;
        std::string message;
    } cases[] = {
        {[](auto& b) { b = nlohmann::json::array(); }, "completion decision: field 'schema_version' must be a string"},
        {[](auto& b) { b["schema_version"] = "v19-completion-decision-v2"; }, "Completion decision schema is invalid"},
        {[](auto& b) { b["zeta"] = 1; b["alpha"] = 1; }, "Completion decision contains unknown field 'alpha'"},
        {[](auto& b) { b["decision_id"] = ""; }, "completion decision: field 'decision_id' must not be empty"},
        {[](auto& b) { b["decision_id"] = std::string(129, 'd'); }, "Completion decision_id is unsafe"},
        {[](auto& b) { b["action"] = "guess"; }, "Unknown completion decision action"},
        {[](auto& b) { b["proposal_id"] = "missing/1"; }, "Completion proposal_id is unsafe"},
        {[](auto& b) { b.erase("selected_entity_id"); }, "Completion selected_entity_id must be a string"},
        {[](auto& b) { b.erase("value"); }, "Completion decision must include value or null"},
        {[](auto& b) { b["value"] = "12"; }, "Completion value must be numeric or null"},
        {[](auto& b) { b["selected_constraint_id"] = 3; }, "Completion selected_constraint_id must be a string or null"},
        {[](auto& b) { b["selected_constraint_id"] = "c 1"; }, "Completion selected_constraint_id is unsafe"},
        {[](auto& b) { b["value"] = 3; }, "Reject and leave-missing decisions cannot carry a target or value"},
        {[](auto& b) { b["selected_constraint_id"] = "c1"; }, "Reject and leave-missing decisions cannot carry a target or value"},
        {[](auto& b) { b["action"] = "user_value"; }, "User completion requires a selected edge"},
        {[](auto& b) { b["action"] = "accept_suggestion"; b["value"] = 3; }, "Suggestion acceptance cannot override its value"},
    };
    for (const auto& c : cases) {
        nlohmann::json json = body("leave_missing", "missing-1");
        c.edit(json);
        SCOPED_TRACE(json.dump());
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { completion_decision_from_json(json); }), c.message);
    }
    EXPECT_EQ(
        test::error_message<std::invalid_argument>([] { parse_completion_decision(R"({"value":null,"value":1})"); }),
        "Completion decision body is not valid JSON: duplicate field 'value'");
    const auto accepted = parse_completion_decision(body("leave_missing", "missing-1").dump());
    EXPECT_EQ(accepted.proposal_id, "missing-1");
    EXPECT_FALSE(accepted.value);
}

TEST(CompletionDecision, ProposalChecksAndValidationBeforeCommit) {
    const DimensionGraph plate = load_dimension_graph(kExamples + "underconstrained.json");
    const DimensionGraph flange = load_dimension_graph(kModelData + "analysis_flange_conflict.json");
    DimensionGraph taken = plate;  // an existing constraint already has the approved id
    taken.constraints.push_back(taken.constraints.front());
    taken.constraints.back().id = "completion_d1";
    DimensionGraph drifted = plate;  // the hole was redrawn after the plan was shown
    std::get<CircleGeometry>(drifted.entities[4].geometry).radius = 6.000001;

    auto with = [](nlohmann::json b, const char* key, nlohmann::json value) {
        b[key] = std::move(value);
        return b;
    };
    const struct {
        const DimensionGraph* graph;
        nlohmann::json body;
        std::string message;
    } cases[] = {
        {&plate, body("leave_missing", "missing-9"), "Completion proposal does not exist"},
        {&flange, body("user_value", "conflict-1", "center_bore", 30), "User completion must target the selected named missing dimension"},
        {&plate, body("user_value", "missing-1", "front_left", 12), "User completion must target the selected named missing dimension"},
        {&plate, body("user_value", "missing-1", "front_hole_1", -1), "User completion requires an edge and positive value"},
        {&plate, body("accept_suggestion", "missing-1", "front_left"), "Selected edge does not match the completion proposal"},
        {&plate, with(body("accept_suggestion", "missing-1"), "selected_constraint_id", "width"), "Missing-dimension acceptance cannot carry a conflict selection"},
        {&flange, body("accept_suggestion", "conflict-1"), "Conflict acceptance requires an explicit constraint selection"},
        {&flange, with(body("accept_suggestion", "conflict-1"), "selected_constraint_id", "width"), "Selected constraint does not belong to the conflict proposal"},
        // The completed graph is checked as a stored transition would be, before anything is written.
        {&flange, with(body("accept_suggestion", "conflict-1"), "selected_constraint_id", "bound_10"), "DimensionGraph 'completed graph' is invalid: bound_10: radius value contradicts referenced entity"},
        {&taken, body("user_value", "missing-1", "front_hole_1", 12), "DimensionGraph 'completed graph' is invalid: constraints: duplicate id 'completion_d1'"},
        {&plate, with(body("user_value", "missing-1", "front_hole_1", 12), "decision_id", std::string(118, 'd')), "Completion decision_id is too long for its approved constraint id"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.dump());
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { decide(*c.graph, c.body); }), c.message);
    }
    // A suggestion shown before the drawing changed is not taken.
    const CompletionPlan plan = build_completion_plan(plate);
    const auto accept = completion_decision_from_json(body("accept_suggestion", "missing-1"));
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { apply_completion_decision(drifted, plan, accept); }),
              "Completion suggestion no longer matches verified geometry");
    EXPECT_EQ(decide(plate, with(body("user_value", "missing-1", "front_hole_1", 12), "decision_id", std::string(117, 'd')))
                  .record.approved_constraint_id->size(),
              128u);
}

// A value that contradicts the drawing is refused in the user's terms, numbers as people write
// them; the drawn size shown is one that would be taken.
TEST(CompletionDecision, ValueAgainstDrawnSize) {
    const DimensionGraph plate = load_dimension_graph(kExamples + "underconstrained.json");
    DimensionGraph noisy = plate;  // a size computed from coordinates, off by one ulp
    std::get<CircleGeometry>(noisy.entities[4].geometry).radius = 6.000000000000001;
    auto with_arc = [](double radius) {
        DimensionGraph graph = load_dimension_graph(kExamples + "plate_with_holes.json");
        graph.entities.push_back({"slot_end", EntityType::arc, "front", ArcGeometry{{20, 20}, radius, 0, 180}});
        return graph;
    };
    const DimensionGraph arc = with_arc(4.0);
    const DimensionGraph fine_arc = with_arc(4.123456789);
    const struct {
        const DimensionGraph* graph;
        const char* proposal;
        const char* entity;
        std::string value;
        std::string target;
        std::string drawn;
    } cases[] = {
        {&plate, "missing-1", "front_hole_1", "12.5", "front_hole_1.diameter", "12"},
        {&plate, "missing-2", "front_left", "41", "front_left.length", "40"},
        {&arc, "missing-1", "slot_end", "4.5", "slot_end.radius", "4"},
        {&noisy, "missing-1", "front_hole_1", "12.0000001", "front_hole_1.diameter", "12"},
        {&fine_arc, "missing-1", "slot_end", "4", "slot_end.radius", "4.123456789"},
    };
    for (const auto& c : cases) {
        const auto json = body("user_value", c.proposal, c.entity, std::stod(c.value));
        SCOPED_TRACE(json.dump());
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { decide(*c.graph, json); }),
                  "Completion value " + c.value + " for " + c.target + " contradicts the drawn size " + c.drawn +
                      " mm; the drawing is to scale: enter " + c.drawn + " or correct the drawing");
        EXPECT_NO_THROW(decide(*c.graph, body("user_value", c.proposal, c.entity, std::stod(c.drawn))));
    }
}

TEST(CompletionDecision, ApplicationsReplayDeterministically) {
    const DimensionGraph plate = load_dimension_graph(kExamples + "underconstrained.json");
    // A line dimensioned three times: only the chosen value stays.
    DimensionGraph triple;
    triple.views.push_back({"front", ViewType::front});
    test::add_rectangle(triple, "e", "front", 100, 50);
    for (const auto& [id, value] : {std::pair{"c1", 90.0}, {"c2", 100.0}, {"c3", 110.0}}) {
        triple.constraints.push_back({id, ConstraintType::distance, {"e1"}, value, 0.9, {0, 0, 10, 10}, std::nullopt});
    }
    triple.constraints.push_back({"h", ConstraintType::distance, {"e2"}, 50, 0.9, {0, 0, 10, 10}, std::nullopt});

    auto conflict = body("accept_suggestion", "conflict-1", "e1");
    conflict["selected_constraint_id"] = "c2";
    const struct {
        const DimensionGraph* graph;
        nlohmann::json body;
        bool rerun;
        const char* status;
    } cases[] = {
        {&plate, body("user_value", "missing-1", "front_hole_1", 12), true, "approved_completion"},
        {&plate, body("accept_suggestion", "missing-2"), true, "approved_completion"},
        {&plate, body("reject_suggestion", "missing-1"), false, "rejected_completion"},
        {&plate, body("leave_missing", "missing-2"), false, "left_missing"},
        {&triple, conflict, true, "approved_completion"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.dump());
        const auto application = decide(*c.graph, c.body);
        EXPECT_EQ(application.rerun, c.rerun);
        EXPECT_EQ(application.record.status, c.status);
        const auto replay = check_deterministic_replay(canonical_graph_text(*c.graph), application.record);
        EXPECT_TRUE(completion_record_equal(replay.record, application.record));
        EXPECT_EQ(canonical_graph_text(replay.graph), canonical_graph_text(application.graph));
        if (c.rerun) check_completion_graph(canonical_graph_text(application.graph), application.record, "graph");
    }
    const auto chosen = decide(triple, conflict);
    std::vector<std::string> ids;
    for (const auto& constraint : chosen.graph.constraints) ids.push_back(constraint.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"c2", "h"}));
    EXPECT_EQ(chosen.record.approved_constraint_id, "c2");

    const auto added = decide(plate, body("user_value", "missing-1", "front_hole_1", 12)).graph.constraints.back();
    EXPECT_EQ(added.id, "completion_d1");
    EXPECT_EQ(added.type, ConstraintType::diameter);
    EXPECT_EQ(added.confidence, 1.0);
    EXPECT_EQ(added.source_bbox, (SourceBox{0, 0, 0, 0}));

    // A record that names no current proposal, or a base graph that is not canonical.
    auto record = decide(plate, body("leave_missing", "missing-2")).record;
    const std::string base = canonical_graph_text(plate);
    record.target = "front_top.length";
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { check_deterministic_replay(base, record); }),
              "<other: Completion transition record does not map to a current proposal>");
    EXPECT_EQ(test::error_message<std::invalid_argument>(
                  [&] { check_deterministic_replay(dump_json_document(parse_strict_json(base)), record); }),
              "<other: Completion transition base graph is not canonical>");
}

}  // namespace
}  // namespace vesk
