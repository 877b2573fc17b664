// Traffic reports, metric lines, error classification and the completion provenance.
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/json_util.hpp"
#include "model/pipeline.hpp"
#include "model/step_exchange.hpp"
#include "service/job_metrics.hpp"
#include "service/job_traffic.hpp"
#include "service/job_worker_internal.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace {

vesk::DimensionConstraint constraint(const std::string& id, double confidence, std::optional<std::string> name) {
    vesk::DimensionConstraint c;
    c.id = id;
    c.value = 12.5;
    c.confidence = confidence;
    c.source_bbox = {1, 2, 3, 4};
    c.display_name = std::move(name);
    return c;
}

vesk::CompletionRecord approved(const std::string& target, const std::string& provenance) {
    vesk::CompletionRecord record;
    record.decision_id = "d1";
    record.action = "user_value";
    record.target = "gap";
    record.entity_id = "l1";
    record.approved_constraint_id = target;
    record.value = 3.0;
    record.provenance = provenance;
    record.status = std::string(vesk::kStatusApproved);
    return record;
}

std::vector<std::string> keys_of(const ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

TEST(Traffic, SignalsReasonsAndKeyOrder) {
    vesk::DimensionGraph graph;
    graph.constraints = {constraint("a", 0.8, "A"), constraint("b", 0.79, std::nullopt)};
    ordered_json traffic = vesk::build_traffic_report(graph, "drw", true);
    EXPECT_EQ(keys_of(traffic), (std::vector<std::string>{"schema_version", "drawing_id", "overall",
                                                          "deterministic_validation_passed", "dimensions", "errors"}));
    EXPECT_EQ(traffic["overall"], "yellow");
    EXPECT_EQ(traffic["dimensions"][0]["signal"], "green");
    EXPECT_EQ(traffic["dimensions"][1]["signal"], "yellow");
    EXPECT_EQ(traffic["dimensions"][1]["reason"], "DimensionGraph source confidence is below 0.8 and requires review");
    EXPECT_EQ(keys_of(traffic["dimensions"][0]),
              (std::vector<std::string>{"constraint_id", "value", "signal", "confidence", "confidence_applicable",
                                        "validated", "reason", "source_bbox", "display_name"}));
    EXPECT_FALSE(traffic["dimensions"][1].contains("display_name"));
    EXPECT_EQ(traffic["dimensions"][0]["source_bbox"].dump(), "[1.0,2.0,3.0,4.0]");

    // The approved target turns yellow; provenance keys come last, the rest keep their place.
    vesk::apply_completion_to_traffic(traffic, approved("a", "approved_conflict_preference"));
    const ordered_json& a = traffic["dimensions"][0];
    EXPECT_EQ(keys_of(a), (std::vector<std::string>{"constraint_id", "value", "signal", "confidence",
                                                    "confidence_applicable", "validated", "reason", "source_bbox",
                                                    "display_name", "provenance_status", "provenance_kind"}));
    EXPECT_EQ(a["signal"], "yellow");
    EXPECT_EQ(a["confidence_applicable"], false);
    EXPECT_EQ(a["provenance_kind"], "approved_conflict_preference");
    EXPECT_EQ(vesk::drawing_proven_ids(traffic), std::vector<std::string>{});

    struct Refusal {
        vesk::CompletionRecord record;
        std::string message;
    };
    vesk::CompletionRecord no_target = approved("a", "user_input");
    no_target.approved_constraint_id.reset();
    const std::vector<Refusal> refusals = {
        {approved("a", "user_decision"), "Approved completion has unknown provenance"},
        {no_target, "Approved completion has no target constraint id"},
        {approved("zz", "user_input"), "Approved completion is missing from the rerun traffic report"},
    };
    for (const Refusal& r : refusals) {
        try {
            vesk::apply_completion_to_traffic(traffic, r.record);
            ADD_FAILURE() << r.message;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), r.message);
        }
    }
    vesk::CompletionRecord rejected = approved("zz", "user_decision");
    rejected.status = std::string(vesk::kStatusRejected);
    const ordered_json before = traffic;
    vesk::apply_completion_to_traffic(traffic, rejected);
    EXPECT_EQ(traffic, before);

    graph.constraints[1].confidence = 1.0;
    const ordered_json reader = vesk::build_traffic_report(graph, "drw", false);
    for (const auto& entry : reader["dimensions"]) {
        EXPECT_EQ(entry["reason"], "Reader-provider value lacks independent source verification and requires review");
    }
    const ordered_json empty = vesk::build_traffic_report(vesk::DimensionGraph{}, "drw", true);
    EXPECT_EQ(empty["overall"], "green");
    EXPECT_EQ(empty["dimensions"], ordered_json::array());
}

TEST(Traffic, MetricLinesAndClassification) {
    vesk::test::TempDir dir("vesk-metrics");
    vesk::JobRecord job;
    job.status = vesk::JobStatus::completed;
    job.duration_ms = 12.5;
    job.active_jobs_at_start = 2;
    job.traffic_path = dir.path() / "t.json";
    vesk::test::write_file(job.traffic_path,
                           R"({"dimensions":[{"signal":"green"},{"signal":"yellow"},{"signal":"green"}]})");
    vesk::append_job_metric(dir.path(), job);
    vesk::test::write_file(job.traffic_path, R"({"dimensions":[{"signal":"blue"}]})");
    try {
        vesk::append_job_metric(dir.path(), job);
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Completed local job traffic has an unknown signal");
    }
    job.status = vesk::JobStatus::rejected;
    job.error_code = "engine_failure";
    vesk::append_job_metric(dir.path(), job);
    EXPECT_EQ(vesk::test::read_file(dir.path() / "metrics.jsonl"),
              R"({"schema_version":"vesk-local-job-metric-v1","status":"completed","duration_ms":12.5,)"
              R"("flag_distribution":{"green":2,"yellow":1,"red":0},"rejection_reason":null,"active_jobs_at_start":2})"
              "\n"
              R"({"schema_version":"vesk-local-job-metric-v1","status":"rejected","duration_ms":12.5,)"
              R"("flag_distribution":{"green":0,"yellow":0,"red":0},"rejection_reason":"engine_failure",)"
              R"("active_jobs_at_start":2})"
              "\n");

    // Concurrent appends stay whole lines.
    fs::remove(dir.path() / "metrics.jsonl");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) vesk::append_job_metric(dir.path(), job);
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string text = vesk::test::read_file(dir.path() / "metrics.jsonl");
    std::size_t lines = 0;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
        EXPECT_NO_THROW(vesk::parse_strict_json(text.substr(start, end - start)));
    }
    EXPECT_EQ(lines, 800u);
    EXPECT_THROW(vesk::append_job_metric(dir.path() / "missing", job), std::runtime_error);

    const std::vector<std::pair<std::string, std::string>> codes = {
        {"Underconstrained sketch; x requires y", "underconstrained_sketch"},
        {"Local job state persistence failed: disk", "job_state_persist_failed"},
        {"anonymous local job metrics; DimensionGraph", "local_metrics_write_failed"},
        {"DimensionGraph constraint 'a' is bad", "invalid_dimension_graph"},
        {"Conflicting constraints: a, b", "conflicting_constraints"},
        {"profile is not closed", "unsupported_geometry"},
        {"Standard_Failure: boom", "engine_failure"},
    };
    for (const auto& [message, code] : codes) EXPECT_EQ(vesk::classify_job_error(message), code) << message;
}

// The provenance lands in the report as its last member and before the first STEP
// terminator, and OCCT still reads the STEP file.
TEST(Traffic, CompletionProvenanceInReportAndStep) {
    vesk::test::TempDir dir("vesk-provenance");
    const vesk::PipelineResult result =
        vesk::run_pipeline(fs::path(VESK_SOURCE_DIR) / "examples" / "plate_with_holes.json", dir.path());
    const std::string report_before = vesk::test::read_file(result.outputs.report);
    vesk::CompletionRecord skipped = approved("x", "user_decision");
    skipped.status = std::string(vesk::kStatusLeftMissing);
    const std::vector<vesk::CompletionRecord> records = {approved("completion_d1", "user_input"), skipped};
    vesk::write_completion_provenance(result.outputs, records, {"width", "height"});

    const std::string compact =
        R"({"schema_version":"v19-completion-provenance-v1","drawing_proven_green":2,)"
        R"("drawing_proven_constraints":["width","height"],"approved_completion":1,"records":[)" +
        vesk::completion_record_to_json(records[0]).dump() + "]}";
    const std::string step = vesk::test::read_file(result.outputs.step);
    EXPECT_NE(step.find("/* VESK_V19_PROVENANCE " + compact + " */\nEND-ISO-10303-21;"), std::string::npos);
    EXPECT_FALSE(vesk::read_step_file(result.outputs.step).IsNull());
    const ordered_json report = vesk::parse_strict_ordered_json(vesk::test::read_file(result.outputs.report));
    EXPECT_EQ(keys_of(report).back(), "completion_provenance");
    EXPECT_EQ(report["completion_provenance"].dump(), compact);
    const ordered_json original = vesk::parse_strict_ordered_json(report_before);
    std::vector<std::string> report_keys = keys_of(report);
    report_keys.pop_back();
    EXPECT_EQ(report_keys, keys_of(original));

    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{""}, "Drawing-proven constraint id must not be empty"},
        {{"a", "a"}, "Drawing-proven constraint ids must be unique"},
        {{"completion_d1"}, "Drawing-proven constraint ids cannot overlap approved completion targets"},
    };
    for (const auto& [ids, message] : refusals) {
        try {
            vesk::completion_provenance_document(records, ids);
            ADD_FAILURE() << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
    vesk::test::write_file(result.outputs.step, "ISO-10303-21;");
    try {
        vesk::write_completion_provenance(result.outputs, records, {});
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "STEP terminator is missing for provenance");
    }
}

}  // namespace
