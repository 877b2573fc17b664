#include "service/completion_routes.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "model/json_util.hpp"
#include "support/fault_child.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

// A job store whose queue the test takes from as a worker would, without waiting.
struct Service {
    explicit Service(const fs::path& jobs) : store(jobs) { store.stop_workers(); }
    std::vector<std::shared_ptr<JobRecord>> take_queued() {
        std::vector<std::shared_ptr<JobRecord>> queued;
        while (auto job = store.take_next_job()) queued.push_back(std::move(job));
        return queued;
    }
    JobStore store;
};

// A graph job the worker rejected for a missing hole diameter and wall length.
std::shared_ptr<JobRecord> make_job(const fs::path& jobs) {
    auto job = std::make_shared<JobRecord>();
    job->job_id = "job-00000001";
    job->drawing_id = "plate";
    job->graph_filename = "plate.json";
    job->source_filename = "plate.png";
    assign_job_paths(*job, jobs);
    fs::create_directories(job->job_directory);
    write_service_file(job->graph_path, test::read_file(std::string(VESK_SOURCE_DIR) + "/examples/underconstrained.json"));
    write_service_file(job->source_png_path, "\x89PNG\r\n\x1a\n");
    job->status = JobStatus::rejected;
    job->error_code = "underconstrained_sketch";
    job->error_message = "Sketch is underconstrained";
    persist_job_state(*job);
    return job;
}

HttpRequest post(const std::string& id, const std::string& action, const std::string& proposal,
                 const std::string& entity = "", nlohmann::json value = nullptr) {
    HttpRequest request;
    request.method = "POST";
    request.headers["content-type"] = "application/json";
    request.body = nlohmann::json{{"schema_version", "v19-completion-decision-v1"}, {"decision_id", id},
                                  {"action", action}, {"proposal_id", proposal}, {"selected_entity_id", entity},
                                  {"value", std::move(value)}}
                       .dump();
    return request;
}

std::string error_of(const HttpResponse& response) {
    const auto body = nlohmann::json::parse(response.body);
    return std::to_string(response.status) + " " + body["error"]["code"].get<std::string>() + ": " +
           body["error"]["message"].get<std::string>();
}

// "committed <jobs directory>": a decision whose answer fails after the commit.
void child_actions(const std::string& name, const std::string& argument) {
    if (name != "committed") return;
    Service service(argument);
    const auto job = make_job(argument);
    const auto response = handle_post_completion(service.store, job, post("d1", "user_value", "missing-1", "front_hole_1", 12));
    const std::string status = to_string(job->status);
    throw std::runtime_error(std::to_string(response.status) + " queued=" + std::to_string(service.take_queued().size()) +
                             " status=" + status + " records=" +
                             std::to_string(job->completion_records.size()));
}
VESK_FAULT_CHILD_ACTIONS(child_actions);

TEST(CompletionRoutes, DecisionsAnswerAndQueueReruns) {
    const TempDir dir;
    Service service(dir.path());
    const auto job = make_job(dir.path());

    HttpRequest plain = post("d1", "leave_missing", "missing-1");
    plain.headers.erase("content-type");
    EXPECT_EQ(error_of(handle_post_completion(service.store, job, plain)),
              "415 unsupported_media_type: Completion decisions require application/json");
    EXPECT_EQ(error_of(handle_post_completion(service.store, nullptr, post("d1", "leave_missing", "missing-1"))),
              "404 job_not_found: Local job was not found");
    HttpRequest broken = post("d1", "leave_missing", "missing-1");
    broken.body = "{";
    EXPECT_EQ(handle_post_completion(service.store, job, broken).status, 400u);

    const auto left = handle_post_completion(service.store, job, post("d1", "leave_missing", "missing-1"));
    ASSERT_EQ(left.status, 200u) << left.body;
    const auto document = nlohmann::ordered_json::parse(left.body);
    std::string keys;
    for (const auto& item : document.items()) keys += item.key() + " ";
    EXPECT_EQ(keys, "schema_version job_id status plan records decision_url rerun_started ");
    EXPECT_EQ(document["rerun_started"], false);
    EXPECT_TRUE(service.take_queued().empty());
    EXPECT_EQ(job->completion_records.size(), 1u);

    EXPECT_EQ(error_of(handle_post_completion(service.store, job, post("d1", "leave_missing", "missing-2"))),
              "400 invalid_completion_decision: Completion decision_id is duplicated");
    EXPECT_EQ(error_of(handle_post_completion(service.store, job, post("d2", "user_value", "missing-1", "front_hole_1", 12.5))),
              "400 invalid_completion_decision: Completion value 12.5 for front_hole_1.diameter contradicts the drawn size 12 mm; "
              "the drawing is to scale: enter 12 or correct the drawing");

    const auto approved = handle_post_completion(service.store, job, post("d2", "user_value", "missing-1", "front_hole_1", 12));
    ASSERT_EQ(approved.status, 202u) << approved.body;
    EXPECT_EQ(nlohmann::json::parse(approved.body)["plan"], nullptr);
    EXPECT_EQ(job->status, JobStatus::queued);
    EXPECT_EQ(service.take_queued(), std::vector<std::shared_ptr<JobRecord>>{job});
    EXPECT_EQ(error_of(handle_post_completion(service.store, job, post("d3", "leave_missing", "missing-1"))),
              "400 invalid_completion_decision: Completion decisions require a named incomplete or conflicting job");

    const auto state = handle_get_completion(service.store, job);
    EXPECT_EQ(state.status, 200u);
    EXPECT_EQ(nlohmann::json::parse(state.body)["records"].size(), 2u);
    EXPECT_EQ(error_of(handle_get_completion(service.store, nullptr)), "404 job_not_found: Local job was not found");
}

TEST(CompletionRoutes, UnreadableGraphAndFailedAnswer) {
    const TempDir dir;
    Service service(dir.path());
    const auto job = make_job(dir.path());
    fs::remove(job->graph_path);
    const auto response = handle_get_completion(service.store, job);
    EXPECT_EQ(response.status, 500u);
    EXPECT_EQ(nlohmann::json::parse(response.body)["error"]["code"], "completion_state_failed");
    EXPECT_EQ(handle_post_completion(service.store, job, post("d1", "leave_missing", "missing-1")).status, 500u);

    // The answer fails after the commit: the job is still updated, queued and woken.
    const TempDir child_jobs;
    const auto child = test::run_fault_child("committed", child_jobs.path().string(), "completion:committed:throw");
    EXPECT_EQ(child.err, "500 queued=1 status=queued records=1\n");
}

}  // namespace
}  // namespace vesk
