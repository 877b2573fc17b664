#include "service/completion_record.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "model/json_util.hpp"

#include "support/expect_error.hpp"

namespace vesk {
namespace {

const char* const kUserValue =
    R"({"decision_id":"d1","action":"user_value","target":"h1.diameter","entity_id":"h1",)"
    R"("approved_constraint_id":"completion_d1","value":12.5,"provenance":"user_input","status":"approved_completion"})";
const char* const kDeterministic =
    R"({"decision_id":"d2","action":"accept_suggestion","target":"l1.length","entity_id":"l1",)"
    R"("approved_constraint_id":"completion_d2","value":40,"provenance":"approved_deterministic_suggestion",)"
    R"("status":"approved_completion"})";
const char* const kConflict =
    R"({"decision_id":"d3","action":"accept_suggestion","target":"conflict.g1","entity_id":"l1",)"
    R"("approved_constraint_id":"c2","value":null,"provenance":"approved_conflict_preference",)"
    R"("status":"approved_completion"})";
const char* const kRejected =
    R"({"decision_id":"d4","action":"reject_suggestion","target":"l2.length","entity_id":"",)"
    R"("approved_constraint_id":null,"value":null,"provenance":"user_decision","status":"rejected_completion"})";
const char* const kLeftMissing =
    R"({"decision_id":"d5","action":"leave_missing","target":"l3.length","entity_id":"",)"
    R"("approved_constraint_id":null,"value":null,"provenance":"user_decision","status":"left_missing"})";


TEST(CompletionRecord, ActionsAndExactKeyOrder) {
    for (auto action : {CompletionDecisionAction::accept_suggestion, CompletionDecisionAction::user_value,
                        CompletionDecisionAction::reject_suggestion, CompletionDecisionAction::leave_missing}) {
        EXPECT_EQ(parse_completion_action(to_string(action)), action);
    }
    EXPECT_EQ(test::error_message<std::invalid_argument>([] { parse_completion_action("User_value"); }),
              "Unknown completion decision action");
    EXPECT_THROW(to_string(static_cast<CompletionDecisionAction>(4)), std::logic_error);

    // Written in insertion order whatever order the text read back had.
    for (const char* text : {kUserValue, kDeterministic, kConflict, kRejected, kLeftMissing}) {
        const CompletionRecord record = parse_completion_record(parse_strict_json(text));
        const std::string written = completion_record_to_json(record).dump();
        EXPECT_EQ(parse_strict_ordered_json(written), parse_strict_ordered_json(text)) << text;
        EXPECT_EQ(written.rfind("{\"decision_id\":", 0), 0u);
        EXPECT_NE(written.find(",\"status\":"), std::string::npos);
    }
    EXPECT_EQ(completion_record_to_json(parse_completion_record(parse_strict_json(kLeftMissing))).dump(),
              kLeftMissing);
}

TEST(CompletionRecord, IncoherentRecordsAreRefusedWithTheirMessages) {
    const struct {
        const char* base;
        std::function<void(nlohmann::json&)> edit;
        const char* message;
    } cases[] = {
        {kUserValue, [](auto& r) { r = "record"; }, "Persisted completion record is invalid"},
        {kUserValue, [](auto& r) { r.erase("value"); }, "Persisted completion record is incomplete"},
        {kLeftMissing, [](auto& r) { r.erase("status"); }, "Persisted completion record is incomplete"},
        {kUserValue, [](auto& r) { r["note"] = 1; }, "Persisted completion record has an unknown field"},
        {kUserValue, [](auto& r) { r["decision_id"] = 5; }, "completion record: field 'decision_id' must be a string"},
        {kUserValue, [](auto& r) { r["status"] = ""; }, "completion record: field 'status' must not be empty"},
        {kUserValue, [](auto& r) { r["entity_id"] = nullptr; }, "Persisted completion entity id is invalid"},
        {kUserValue, [](auto& r) { r["decision_id"] = "d 1"; }, "Persisted completion record has an unsafe identifier"},
        {kUserValue, [](auto& r) { r["entity_id"] = "h/1"; }, "Persisted completion record has an unsafe identifier"},
        {kUserValue, [](auto& r) { r["value"] = "12.5"; }, "Persisted completion value is invalid"},
        {kUserValue, [](auto& r) { r["value"] = 0; }, "Persisted completion value is not positive and finite"},
        {kUserValue, [](auto& r) { r["value"] = -1; }, "Persisted completion value is not positive and finite"},
        {kUserValue, [](auto& r) { r["approved_constraint_id"] = ""; }, "Persisted approved completion id is invalid"},
        {kUserValue, [](auto& r) { r["approved_constraint_id"] = 3; }, "Persisted approved completion id is invalid"},
        {kUserValue, [](auto& r) { r["approved_constraint_id"] = "c 1"; }, "Persisted approved completion id is unsafe"},
        {kUserValue, [](auto& r) { r["approved_constraint_id"] = "completion_d2"; }, "Persisted user completion record is incoherent"},
        {kUserValue, [](auto& r) { r["value"] = nullptr; }, "Persisted user completion record is incoherent"},
        {kUserValue, [](auto& r) { r["provenance"] = "user_decision"; }, "Persisted user completion record is incoherent"},
        {kUserValue, [](auto& r) { r["entity_id"] = ""; }, "Persisted user completion record is incoherent"},
        {kDeterministic, [](auto& r) { r["approved_constraint_id"] = nullptr; }, "Persisted accepted completion record is incoherent"},
        {kDeterministic, [](auto& r) { r["status"] = "left_missing"; }, "Persisted accepted completion record is incoherent"},
        {kDeterministic, [](auto& r) { r["value"] = nullptr; }, "Persisted deterministic completion record is incoherent"},
        {kDeterministic, [](auto& r) { r["approved_constraint_id"] = "c9"; }, "Persisted deterministic completion record is incoherent"},
        {kConflict, [](auto& r) { r["value"] = 3; }, "Persisted conflict completion record is incoherent"},
        {kConflict, [](auto& r) { r["provenance"] = "user_input"; }, "Persisted accepted completion provenance is invalid"},
        {kRejected, [](auto& r) { r["value"] = 3; }, "Persisted rejected completion record is incoherent"},
        {kRejected, [](auto& r) { r["entity_id"] = "l2"; }, "Persisted rejected completion record is incoherent"},
        {kLeftMissing, [](auto& r) { r["status"] = "rejected_completion"; }, "Persisted leave-missing record is incoherent"},
        {kLeftMissing, [](auto& r) { r["approved_constraint_id"] = "c1"; }, "Persisted leave-missing record is incoherent"},
        {kLeftMissing, [](auto& r) { r["action"] = "guess"; }, "Persisted completion action is invalid"},
    };
    for (const auto& c : cases) {
        nlohmann::json record = parse_strict_json(c.base);
        c.edit(record);
        SCOPED_TRACE(record.dump());
        EXPECT_EQ(test::error_message<std::invalid_argument>([&] { parse_completion_record(record); }), c.message);
    }
}

TEST(CompletionRecord, EqualityIsByValue) {
    std::string integral = kDeterministic;
    std::string decimal = integral;
    decimal.replace(decimal.find("40"), 2, "40.0");
    const auto a = parse_completion_record(parse_strict_json(integral));
    const auto b = parse_completion_record(parse_strict_json(decimal));
    EXPECT_TRUE(completion_record_equal(a, b));
    // Key order of the text read back does not matter.
    const auto sorted = parse_completion_record(parse_strict_json(parse_strict_json(integral).dump()));
    EXPECT_TRUE(completion_record_equal(a, sorted));

    auto without_value = a;
    without_value.value.reset();
    auto other_value = a;
    other_value.value = 40.000001;
    auto other_id = a;
    other_id.approved_constraint_id.reset();
    auto other_target = a;
    other_target.target = "l1.Length";
    for (const auto* different : {&without_value, &other_value, &other_id, &other_target}) {
        EXPECT_FALSE(completion_record_equal(a, *different));
        EXPECT_FALSE(completion_record_equal(*different, a));
    }
    EXPECT_TRUE(completion_records_equal({a, without_value}, {b, without_value}));
    EXPECT_FALSE(completion_records_equal({a, without_value}, {without_value, a}));
    EXPECT_FALSE(completion_records_equal({a}, {a, a}));
    EXPECT_TRUE(completion_records_equal({}, {}));
}

}  // namespace
}  // namespace vesk
