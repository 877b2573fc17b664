// The job body check, base64, and submissions to the service in this process: content
// type, id allocation, and reader-provider jobs through the mock provider and the binding.
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/json_util.hpp"
#include "service/job_record.hpp"
#include "service/job_submission_internal.hpp"
#include "service/local_service.hpp"
#include "support/drawing_generator.hpp"
#include "support/expect_error.hpp"
#include "support/http_client.hpp"
#include "support/service_process.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kPng = "iVBORw0KGgo=";  // the 8 signature bytes alone

json body(json graph = json::object()) {
    json b = {{"schema_version", "vesk-local-job-v1"},
              {"drawing_id", "d-1"},
              {"graph_filename", "g.json"},
              {"source_image", {{"filename", "s.png"}, {"media_type", "image/png"}, {"data_base64", kPng}}}};
    if (!graph.is_null()) b["graph"] = graph;
    return b;
}

std::string base64_of(const fs::path& path) {
    return vesk::test::base64_encode(vesk::test::read_file(path));
}

std::string refusal(const std::string& text, bool provider = false) {
    return vesk::test::error_message<std::invalid_argument>([&] { vesk::parse_job_submission(text, provider); });
}

TEST(JobSubmission, BodyTable) {
    struct Case {
        std::string text;
        bool provider;
        std::string expected;
    };
    auto with = [](json b, const std::string& pointer, json value) {
        b[json::json_pointer(pointer)] = std::move(value);
        return b.dump();
    };
    auto without = [](json b, const std::string& key) {
        b.erase(key);
        return b.dump();
    };
    json reader = body(nullptr);
    reader["declared_dpi"] = 300;
    const std::vector<Case> cases = {
        {"[]", false, "Job body must be an object"},
        {"{}", false, "job: field 'schema_version' must be a string"},
        {"{\"a\":1,\"a\":2}", false, "Job body is not valid JSON: duplicate field 'a'"},
        {with(json::parse(with(body(), "/zeta", 1)), "/alpha", 1), false, "Job body contains unknown field 'alpha'"},
        {with(body(), "/schema_version", "vesk-local-job-v2"), false, "job.schema_version must be 'vesk-local-job-v1'"},
        {with(body(), "/drawing_id", ""), false, "job: field 'drawing_id' must not be empty"},
        {with(body(), "/drawing_id", "a b"), false, "job.drawing_id contains unsafe characters or is too long"},
        {with(body(), "/drawing_id", std::string(129, 'a')), false,
         "job.drawing_id contains unsafe characters or is too long"},
        {with(body(), "/graph_filename", "a/b.json"), false, "job.graph_filename must be a safe .json basename"},
        {with(body(), "/graph_filename", "JOB_STATE.json"), false, "job.graph_filename must be a safe .json basename"},
        {with(body(), "/graph_filename", "Completion_Transition.JSON"), false,
         "job.graph_filename must not be the reserved name 'completion_transition.json'"},
        {with(body(), "/graph_filename", "Part.JSON"), false, vesk::test::kNoError},
        {with(body(), "/graph", nullptr), true, "job.graph must be a DimensionGraph object when supplied"},
        {with(body(), "/declared_dpi", "abc"), false, vesk::test::kNoError},
        {reader.dump(), false, "job.graph is required when the reader provider is disabled"},
        {without(reader, "declared_dpi"), true, "job.declared_dpi must be supplied for reader-provider jobs"},
        {with(reader, "/declared_dpi", 71.9), true, "job.declared_dpi must be finite and between 72 and 1200"},
        {with(reader, "/declared_dpi", 1200.5), true, "job.declared_dpi must be finite and between 72 and 1200"},
        {with(reader, "/declared_dpi", 72), true, vesk::test::kNoError},
        {with(reader, "/declared_dpi", 1200), true, vesk::test::kNoError},
        {without(body(), "source_image"), false, "job.source_image must be an object"},
        {with(body(), "/source_image/zz", 1), false, "job.source_image contains unknown field 'zz'"},
        {with(body(), "/source_image/filename", "s.PNG"), false, vesk::test::kNoError},
        {with(body(), "/source_image/filename", "s.jpg"), false, "source_image.filename must be a safe .png basename"},
        {with(body(), "/source_image/filename", "Reader_Normalized.png"), false,
         "source_image.filename must not be the reserved name 'reader_normalized.png'"},
        {with(body(), "/source_image/media_type", "image/PNG"), false, "source_image.media_type must be 'image/png'"},
        {with(body(), "/source_image/data_base64", "iVBORw0KGgo"), false,
         "source_image.data_base64 is not valid base64"},
        {with(body(), "/source_image/data_base64", "===="), false, "source_image.data_base64 is not valid base64"},
        {with(body(), "/source_image/data_base64", "aVBORw0KGgo="), false, "source_image must contain PNG bytes"},
        {"[" + std::string(100000, '[') + "]", false, "Job body is not valid JSON: JSON nesting exceeds 64 levels"},
    };
    for (const Case& c : cases) EXPECT_EQ(refusal(c.text, c.provider), c.expected) << c.text.substr(0, 120);
    EXPECT_EQ(vesk::decode_base64("TWFu"), "Man");
    EXPECT_EQ(vesk::decode_base64("TWE="), "Ma");
    EXPECT_EQ(vesk::decode_base64("TQ=="), "M");
    EXPECT_THROW(vesk::decode_base64("TQ=a"), std::invalid_argument);
    EXPECT_THROW(vesk::decode_base64("T-_a"), std::invalid_argument);
}

class SubmissionService : public ::testing::Test {
protected:
    void start(vesk::ReaderProviderSettings reader = {}) {
        vesk::LocalServiceOptions options;
        options.jobs_directory = dir_.path() / "jobs";
        options.pdf_page_helper = vesk::test::pdf_page_program();
        options.worker_count = 1;
        options.reader = std::move(reader);
        service_ = std::make_unique<vesk::LocalService>(options);
        const std::string url = service_->base_url();
        port_ = static_cast<std::uint16_t>(std::stoul(url.substr(url.rfind(':') + 1)));
    }
    json post(const json& b, int expected_status) {
        const vesk::test::HttpReply reply = vesk::test::http_post(port_, "/api/jobs", b.dump());
        EXPECT_EQ(reply.status, expected_status) << reply.body;
        return json::parse(reply.body);
    }
    fs::path jobs() const { return dir_.path() / "jobs"; }

    vesk::test::TempDir dir_{"vesk-submit"};
    std::unique_ptr<vesk::LocalService> service_;
    std::uint16_t port_ = 0;
};

TEST_F(SubmissionService, ContentTypeIdsAndConcurrency) {
    // An earlier run's rejected job: recovery numbers new jobs past it.
    vesk::JobRecord earlier;
    earlier.job_id = "job-00000007";
    earlier.drawing_id = "d-1";
    earlier.graph_filename = "g.json";
    earlier.source_filename = "s.png";
    earlier.status = vesk::JobStatus::rejected;
    earlier.error_code = "engine_failure";
    earlier.error_message = "earlier failure";
    vesk::assign_job_paths(earlier, jobs());
    fs::create_directories(earlier.job_directory);
    vesk::persist_job_state(earlier);
    start();
    vesk::test::HttpReply reply = vesk::test::http_post(port_, "/api/jobs", body().dump(), "text/plain");
    EXPECT_EQ(reply.status, 415);
    EXPECT_EQ(json::parse(reply.body)["error"]["message"], "POST /api/jobs requires application/json");
    EXPECT_EQ(post({{"x", 1}}, 400)["error"]["code"], "invalid_job_request");
    EXPECT_EQ(vesk::test::http_post(port_, "/api/jobs/", body().dump()).status, 404);

    // Refusals use no number; six at once get six consecutive ones.
    std::vector<std::string> ids(6);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        clients.emplace_back([&, i] { ids[i] = post(body(), 202)["job_id"].get<std::string>(); });
    }
    for (auto& client : clients) client.join();
    const std::set<std::string> got(ids.begin(), ids.end());
    const std::set<std::string> want = {"job-00000008", "job-00000009", "job-00000010",
                                        "job-00000011", "job-00000012", "job-00000013"};
    EXPECT_EQ(got, want);
    const json answer = post(body(), 202);
    EXPECT_EQ(answer.dump(), R"({"job_id":"job-00000014","result_url":"/api/jobs/job-00000014/result",)"
                             R"("schema_version":"vesk-local-submit-v1","status":"queued",)"
                             R"("status_url":"/api/jobs/job-00000014"})");
    // The stored graph comes out key-sorted, whatever order the client used.
    EXPECT_EQ(vesk::test::read_file(jobs() / "job-00000014" / "g.json"), "{}\n");
}

TEST_F(SubmissionService, ReaderProviderJobsThroughTheBinding) {
    const vesk::test::Drawing drawing = vesk::test::plate_drawing();
    drawing.write_png(dir_.path() / "plate.png");
    vesk::test::write_file(dir_.path() / "plate-1.json", drawing.reader_response_json("plate-1"));
    vesk::test::write_file(dir_.path() / "manifest.json",
                           R"({"schema_version":"vesk-reader-mock-manifest-v1","cases":[)"
                           R"({"drawing_id":"plate-1","response":"plate-1.json"}]})");
    start({vesk::ReaderProviderKind::mock, dir_.path() / "manifest.json", dir_.path()});

    json b = body(nullptr);
    b["drawing_id"] = "plate-1";
    b["declared_dpi"] = drawing.declared_dpi;
    b["source_image"]["data_base64"] = base64_of(dir_.path() / "plate.png");
    EXPECT_EQ(post(b, 202)["job_id"], "job-00000001");
    const fs::path job = jobs() / "job-00000001";
    EXPECT_TRUE(fs::exists(job / "reader_normalized.png"));
    const std::string graph_text = vesk::test::read_file(job / "g.json");
    EXPECT_EQ(graph_text.rfind("{\n  \"units\": \"mm\",", 0), 0u) << graph_text.substr(0, 80);  // writer's order

    // The provider's own failure is a storage failure (500); readings that the binding
    // refuses are the client's (400). Both use up their number and keep the source.
    b["drawing_id"] = "other";
    EXPECT_EQ(post(b, 500)["error"]["code"], "job_storage_failed");
    vesk::test::Drawing(640, 420).write_png(dir_.path() / "blank.png");
    b["drawing_id"] = "plate-1";
    b["source_image"]["data_base64"] = base64_of(dir_.path() / "blank.png");
    const std::string message = post(b, 400)["error"]["message"];
    EXPECT_EQ(message.rfind("Reader provider output was rejected: ", 0), 0u) << message;
    EXPECT_TRUE(fs::exists(jobs() / "job-00000003" / "s.png"));
    EXPECT_FALSE(fs::exists(jobs() / "job-00000003" / "job_state.json"));
    EXPECT_EQ(post(body(json::object()), 202)["job_id"], "job-00000004");
}

}  // namespace
