// Jobs end to end against the real vesk-service: submit graphs, poll their status, fetch
// the result and every file, and stop a service with jobs still queued.
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/json_util.hpp"
#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using nlohmann::ordered_json;
using vesk::test::http_get;

namespace {

using vesk::test::example_job_body;
using vesk::test::wait_for_job_end;

std::string submit(std::uint16_t port, const std::string& body) {
    const vesk::test::HttpReply reply = vesk::test::http_post(port, "/api/jobs", body);
    EXPECT_EQ(reply.status, 202) << reply.body;
    return json::parse(reply.body).value("job_id", "");
}

TEST(JobProgram, GraphJobsResultsFilesAndRejection) {
    vesk::test::TempDir dir("vesk-jobs-e2e");
    vesk::test::ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "2"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();

    const std::string first = submit(port, example_job_body("plate_with_holes.json", "plate"));
    const std::string second = submit(port, example_job_body("plate_with_holes.json", "plate"));
    const std::string refused = submit(port, example_job_body("underconstrained.json", "under"));
    EXPECT_EQ(first, "job-00000001");
    EXPECT_EQ(wait_for_job_end(port, first)["status"], "completed");
    EXPECT_EQ(wait_for_job_end(port, second)["status"], "completed");

    // Status and result documents, byte for byte.
    const std::string status_text = http_get(port, "/api/jobs//" + first + "/").body;
    const double duration = json::parse(status_text)["duration_ms"];
    ordered_json status;
    status["schema_version"] = "vesk-local-status-v1";
    status["job_id"] = first;
    status["drawing_id"] = "plate";
    status["status"] = "completed";
    status["duration_ms"] = duration;
    status["error"] = nullptr;
    status["result_url"] = "/api/jobs/" + first + "/result";
    status["completion_url"] = "/api/jobs/" + first + "/completion";
    EXPECT_EQ(status_text, vesk::dump_json_document(status));

    const fs::path job_dir = dir.path() / "jobs" / first;
    const std::string base = "/api/jobs/" + first + "/files/";
    ordered_json result;
    for (const char* key : {"schema_version", "job_id", "drawing_id", "status", "duration_ms"}) result[key] = status[key];
    result["schema_version"] = "vesk-local-result-v1";
    result["traffic"] = ordered_json(json::parse(vesk::test::read_file(job_dir / "part_traffic.json")));
    result["provenance_counts"] = {{"drawing_proven_green", 13}, {"approved_completion", 0}};
    const std::vector<std::vector<std::string>> files = {
        {"source_png", "part.png", "source.png", "image/png"},
        {"step", "part.step", "model.step", "model/step"},
        {"front_svg", "part_front.svg", "front.svg", "image/svg+xml; charset=utf-8"},
        {"top_svg", "part_top.svg", "top.svg", "image/svg+xml; charset=utf-8"},
        {"side_svg", "part_side.svg", "side.svg", "image/svg+xml; charset=utf-8"},
        {"report_json", "part_report.json", "report.json", "application/json; charset=utf-8"},
        {"traffic_json", "part_traffic.json", "traffic.json", "application/json; charset=utf-8"},
    };
    for (const auto& f : files) result["files"][f[0]] = ordered_json{{"filename", f[1]}, {"url", base + f[2]}};
    EXPECT_EQ(http_get(port, "/api/jobs/" + first + "/result").body, vesk::dump_json_document(result));
    EXPECT_EQ(json::parse(vesk::test::read_file(job_dir / "part_traffic.json"))["overall"], "green");

    // Every file with its content type; the second identical job gives identical bytes.
    for (const auto& f : files) {
        const vesk::test::HttpReply reply = http_get(port, base + f[2]);
        EXPECT_EQ(reply.status, 200) << f[2];
        EXPECT_EQ(reply.headers.at("content-type"), f[3]);
        EXPECT_EQ(reply.body, vesk::test::read_file(job_dir / f[1])) << f[2];
        if (f[2] != "source.png") {
            EXPECT_EQ(http_get(port, "/api/jobs/" + second + "/files/" + f[2]).body, reply.body) << f[2];
        }
    }
    vesk::test::HttpReply reply = http_get(port, base + "Model.step");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(json::parse(reply.body)["error"]["code"], "artifact_not_found");
    EXPECT_EQ(json::parse(http_get(port, "/api/jobs/job-00000099").body)["error"]["code"], "job_not_found");
    EXPECT_EQ(json::parse(http_get(port, "/api/jobs/..%2F/result").body)["error"]["code"], "job_not_found");

    // The underconstrained graph ends rejected with its message.
    const json rejected = wait_for_job_end(port, refused);
    EXPECT_EQ(rejected["status"], "rejected");
    EXPECT_EQ(rejected["error"]["code"], "underconstrained_sketch");
    EXPECT_EQ(rejected["error"]["message"],
              "Underconstrained sketch; missing dimensions: front_hole_1.diameter, front_left.length");
    const json rejected_result = json::parse(http_get(port, "/api/jobs/" + refused + "/result").body);
    EXPECT_EQ(rejected_result["files"], nullptr);
    const json completion = json::parse(http_get(port, "/api/jobs/" + refused + "/completion").body);
    EXPECT_EQ(completion["schema_version"], "v19-completion-state-v1");
    EXPECT_EQ(rejected_result["completion"], completion);
    EXPECT_EQ(rejected_result["error"], rejected["error"]);
    EXPECT_EQ(http_get(port, "/api/jobs/" + refused + "/files/model.step").status, 409);

    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(10s), 0);
    EXPECT_EQ(service.remaining_output(), "");
}

// One worker, three jobs queued, then SIGTERM: all three finish before the program exits.
TEST(JobProgram, QueuedJobsFinishBeforeExit) {
    vesk::test::TempDir dir("vesk-jobs-e2e");
    vesk::test::ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(submit(port, example_job_body("l_bracket.json", "bracket")));
    const vesk::test::HttpReply queued = http_get(port, "/api/jobs/" + ids[2] + "/files/model.step");
    EXPECT_EQ(queued.status, 409);
    EXPECT_EQ(json::parse(queued.body)["error"]["code"], "artifact_not_ready");
    EXPECT_EQ(json::parse(http_get(port, "/api/jobs/" + ids[2] + "/result").body)["error"]["code"],
              "job_not_complete");
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(60s), 0);
    for (const std::string& id : ids) {
        const json state = json::parse(vesk::test::read_file(dir.path() / "jobs" / id / "job_state.json"));
        EXPECT_EQ(state["status"], "completed") << id;
    }
    const std::string metrics = vesk::test::read_file(dir.path() / "jobs" / "metrics.jsonl");
    EXPECT_EQ(std::count(metrics.begin(), metrics.end(), '\n'), 3);
}

}  // namespace
