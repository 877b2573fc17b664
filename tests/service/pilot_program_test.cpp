// The pilot through the real vesk-service program: a vector-route PDF from upload to its
// sealed bundle, the route refusals, a restart, and a changed output stopping the start.
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/http_client.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"
#include "support/service_process.hpp"

namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vesk::test::http_get;
using vesk::test::http_post;
using vesk::test::ServiceProcess;

nlohmann::json body_of(const vesk::test::HttpReply& reply) {
    return nlohmann::json::parse(reply.body);
}

std::string error_of(const vesk::test::HttpReply& reply) {
    const auto body = body_of(reply);
    return std::to_string(reply.status) + " " + body["error"]["code"].get<std::string>() + ": " +
           body["error"]["message"].get<std::string>();
}

std::string wait_for(std::uint16_t port, const std::string& status) {
    std::string now;
    for (int i = 0; i < 3000; ++i) {
        now = body_of(http_get(port, "/api/pilot/jobs/pilot-00000001"))["status"];
        if (now == status || now == "rejected") break;
        std::this_thread::sleep_for(10ms);
    }
    return now;
}

TEST(PilotProgram, VectorPdfFromUploadToBundleAndRestart) {
    vesk::test::TempDir dir("vesk-pilot-program");
    // The longest source name and decision id that a bundle member name can hold.
    const std::string source_name = std::string(96, 'p') + ".pdf";
    const std::string decision_id(95, 'r');
    nlohmann::json job = {{"schema_version", "vesk-z23-edur-job-v1"},
                          {"drawing_id", "plate-1"},
                          {"source", {{"filename", source_name}, {"media_type", "application/pdf"},
                                      {"data_base64", vesk::test::base64_encode(vesk::test::write_pdf(vesk::test::plate_pdf()))}}}};
    const fs::path job_dir = dir.path() / "jobs" / "m23-pilot" / "pilot-00000001";
    {
        ServiceProcess service({"--jobs-dir", "jobs", "--port", "0", "--workers", "1"}, dir.path());
        const std::uint16_t port = service.wait_until_serving();
        ASSERT_NE(port, 0) << service.error_output();

        struct Refusal {
            std::function<void(nlohmann::json&)> edit;
            std::string answer;
        };
        const std::vector<Refusal> refusals = {
            {[](auto& j) { j["schema_version"] = "vesk-z23-edur-job-v2"; },
             "400 invalid_pilot_request: Z23-Edur job schema is invalid"},
            {[](auto& j) { j["declared_dpi"] = "300"; },
             "400 invalid_pilot_request: Z23-Edur declared_dpi must be numeric or null"},
            {[](auto& j) { j["extra"] = 1; }, "400 invalid_pilot_request: Z23-Edur body contains unknown field 'extra'"},
            {[](auto& j) { j["source"]["data_base64"] = "%%%%"; },
             "400 invalid_pilot_request: source_image.data_base64 is not valid base64"},
        };
        for (const Refusal& r : refusals) {
            nlohmann::json edited = job;
            r.edit(edited);
            EXPECT_EQ(error_of(http_post(port, "/api/pilot/jobs", edited.dump())), r.answer);
        }
        EXPECT_EQ(error_of(http_post(port, "/api/pilot/jobs", job.dump(), "text/plain")),
                  "415 unsupported_media_type: POST /api/pilot/jobs requires application/json");

        const auto created = http_post(port, "/api/pilot/jobs", job.dump());
        ASSERT_EQ(created.status, 202) << created.body;
        EXPECT_EQ(body_of(created)["status"], "pending_analysis");
        ASSERT_EQ(wait_for(port, "awaiting_review"), "awaiting_review");
        const auto status = body_of(http_get(port, "/api/pilot/jobs/pilot-00000001"));
        const auto preview = http_get(port, "/api/pilot/jobs/pilot-00000001/files/preview.png");
        EXPECT_EQ(preview.status, 200);
        EXPECT_EQ(preview.headers.at("content-type"), "image/png");
        EXPECT_EQ(http_get(port, "/api/pilot/jobs/pilot-00000001/files/source").headers.at("content-type"),
                  "application/pdf");

        // Keys in reverse order: the attempt record still writes them sorted.
        nlohmann::ordered_json review = {{"decisions", nlohmann::ordered_json::array()},
                                         {"decision_id", decision_id},
                                         {"acknowledgement", {{"pilot_hold", true}, {"operator_reviewed_all_candidates", true}}},
                                         {"schema_version", "z23-edur-review-v1"}};
        for (const auto& candidate : status["candidates"]) {
            review["decisions"].push_back(
                {{"value", nullptr}, {"constraint_id", candidate["constraint_id"]}, {"action", "confirm"}});
        }
        const std::string review_target = "/api/pilot/jobs/pilot-00000001/review";
        EXPECT_EQ(error_of(http_post(port, review_target, "not json")).substr(0, 24), "500 pilot_review_failed:");
        EXPECT_EQ(error_of(http_post(port, review_target, review.dump(), "text/plain")),
                  "415 unsupported_media_type: Z23-Edur review requires application/json");
        EXPECT_EQ(error_of(http_post(port, "/api/pilot/jobs/pilot-00000009/review", review.dump())),
                  "400 invalid_pilot_review: Z23-Edur pilot job was not found");
        EXPECT_EQ(error_of(http_get(port, "/api/pilot/jobs/pilot-00000009")),
                  "404 pilot_job_not_found: Z23-Edur pilot job was not found");
        EXPECT_EQ(error_of(http_get(port, "/api/pilot/jobs/pilot-00000009/files/source")),
                  "404 pilot_artifact_not_found: Z23-Edur pilot artifact is unavailable");
        EXPECT_EQ(error_of(http_get(port, "/api/pilot/jobs/pilot-00000001/files/model.step")),
                  "404 pilot_artifact_not_found: Z23-Edur pilot artifact is unavailable");
        const auto reviewed = http_post(port, review_target, review.dump());
        ASSERT_EQ(reviewed.status, 202) << reviewed.body;
        ASSERT_EQ(wait_for(port, "completed"), "completed")
            << http_get(port, "/api/pilot/jobs/pilot-00000001").body;
        const auto bundle = http_get(port, "/api/pilot/jobs/pilot-00000001/files/evidence.tar");
        ASSERT_EQ(bundle.status, 200);
        vesk::test::write_file(dir.path() / "bundle.tar", bundle.body);
        for (const std::string view : {"front.svg", "top.svg", "side.svg"}) {
            const std::string svg = http_get(port, "/api/pilot/jobs/pilot-00000001/files/" + view).body;
            EXPECT_NE(svg.find(" data-release-state=\"PILOT/HOLD\">\n"), std::string::npos) << view;
            EXPECT_TRUE(svg.ends_with(">PILOT/HOLD - NOT FOR PRODUCTION</text>\n</svg>\n")) << view;
        }
        const auto traffic = body_of(http_get(port, "/api/pilot/jobs/pilot-00000001/files/traffic.json"));
        EXPECT_EQ(traffic["overall"], "yellow");
        service.send_signal(SIGTERM);
        EXPECT_EQ(service.wait(10s), 0);
    }
    const auto listing = vesk::test::run_process("/usr/bin/env", {"tar", "-tvf", (dir.path() / "bundle.tar").string()});
    EXPECT_EQ(listing.exit_code, 0) << listing.err;
    for (const std::string& member : {std::string("model/reviewed_graph.step"), source_name,
                                      "review/" + decision_id + ".json"}) {
        EXPECT_NE(listing.out.find(" " + member + "\n"), std::string::npos) << member << "\n" << listing.out;
    }
    const std::string attempt = vesk::test::read_file(job_dir / "review" / (decision_id + ".json"));
    std::size_t at = 0;
    for (const char* key : {"\"schema_version\"", "\"job_id\"", "\"decision\"", "\"acknowledgement\"",
                            "\"operator_reviewed_all_candidates\"", "\"pilot_hold\"", "\"decision_id\"",
                            "\"decisions\"", "\"action\"", "\"constraint_id\"", "\"value\""}) {
        const std::size_t next = attempt.find(key, at);
        EXPECT_NE(next, std::string::npos) << key << " out of order in\n" << attempt;
        at = next == std::string::npos ? at : next;
    }
    {
        ServiceProcess service({"--jobs-dir", "jobs", "--port", "0"}, dir.path());
        const std::uint16_t port = service.wait_until_serving();
        ASSERT_NE(port, 0) << service.error_output();
        EXPECT_EQ(body_of(http_get(port, "/api/pilot/jobs/pilot-00000001"))["status"], "completed");
        service.send_signal(SIGTERM);
        EXPECT_EQ(service.wait(10s), 0);
    }
    // A changed byte in an output's PILOT/HOLD mark stops the next start.
    for (const auto& [name, key] :
         {std::pair{"reviewed_graph_front.svg", "front_svg"}, {"reviewed_graph.step", "step"}}) {
        const fs::path path = job_dir / "model" / name;
        const std::string bytes = vesk::test::read_file(path);
        std::string changed = bytes;
        const std::size_t mark = changed.rfind("PILOT/HOLD");
        ASSERT_NE(mark, std::string::npos) << name;
        changed[mark] ^= 1;
        vesk::test::write_file(path, changed);
        const auto failed =
            vesk::test::run_process(vesk::test::service_program(), {"--jobs-dir", "jobs", "--port", "0"}, dir.path());
        EXPECT_EQ(failed.exit_code, 1);
        const std::string expected =
            "vesk-service: pilot-00000001: persisted artifact '" + std::string(key) + "' changed\n";
        EXPECT_EQ(failed.err.rfind(expected, 0), 0u) << failed.err;
        vesk::test::write_file(path, bytes);
    }
}

}  // namespace
