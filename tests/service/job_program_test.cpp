// Jobs end to end against the real vesk-service: submit graphs, poll their status, fetch
// the result and every file, and stop a service with jobs still queued.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/json_util.hpp"
#include "model/step_exchange.hpp"
#include "support/drawing_generator.hpp"
#include "support/http_client.hpp"
#include "support/pdf_writer.hpp"
#include "support/process_memory.hpp"
#include "support/run_process.hpp"
#include "support/sanitizers.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using nlohmann::ordered_json;
using vesk::test::http_get;

namespace {

using vesk::test::example_graph;
using vesk::test::example_job_body;
using vesk::test::wait_for_job_end;

std::string job_body(const json& graph, const std::string& drawing_id) {
    return vesk::test::graph_job_body(graph, drawing_id);
}

std::string submit(std::uint16_t port, const std::string& body) {
    const vesk::test::HttpReply reply = vesk::test::http_post(port, "/api/jobs", body);
    EXPECT_EQ(reply.status, 202) << reply.body;
    return json::parse(reply.body).value("job_id", "");
}

json wait_for_end(std::uint16_t port, const std::string& id) {
    return vesk::test::wait_for_job_end(port, id, vesk::test::kSanitized ? 600s : 60s);
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

// The underconstrained example with its wall length given: only the hole diameter is missing.
json one_missing_graph() {
    json graph = example_graph("underconstrained.json");
    graph["constraints"].push_back({{"id", "left"}, {"type", "distance"}, {"entity_ids", {"front_left"}},
                                    {"value", 40.0}, {"confidence", 0.95}, {"source_bbox", {24.0, 240.0, 18.0, 50.0}}});
    return graph;
}

std::string decision(const std::string& id, const std::string& action, const json& value = nullptr) {
    return json{{"schema_version", "v19-completion-decision-v1"}, {"decision_id", id}, {"action", action},
                {"proposal_id", "missing-1"}, {"selected_entity_id", value.is_null() ? "" : "front_hole_1"},
                {"value", value}}
        .dump();
}

std::size_t line_count(const fs::path& path) {
    const std::string text = vesk::test::read_file(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A drawing missing one hole diameter: rejected, completed by a person's value, rerun.
TEST(JobProgram, CompletionDecisionRerunsRejectedJob) {
    vesk::test::TempDir dir("vesk-jobs-e2e");
    vesk::test::ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "2"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const std::string id = submit(port, job_body(one_missing_graph(), "hole"));
    const json rejected = wait_for_end(port, id);
    ASSERT_EQ(rejected["status"], "rejected");
    EXPECT_EQ(rejected["error"]["message"], "Underconstrained sketch; missing dimensions: front_hole_1.diameter");

    // The plan proposes the drawn size; the result embeds the same completion state.
    const std::string url = "/api/jobs/" + id + "/completion";
    const json state = json::parse(http_get(port, url).body);
    EXPECT_EQ(state["plan"]["missing_dimensions"], json::array({"front_hole_1.diameter"}));
    EXPECT_EQ(state["plan"]["proposals"][0]["suggested_value"], 12.0);
    EXPECT_EQ(json::parse(http_get(port, "/api/jobs/" + id + "/result").body)["completion"], state);

    // Leaving it missing is journalled without a rerun or a metric; an id is used once.
    const fs::path metrics = dir.path() / "jobs" / "metrics.jsonl";
    EXPECT_EQ(line_count(metrics), 1u);
    vesk::test::HttpReply reply = vesk::test::http_post(port, url, decision("d1", "leave_missing"));
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(json::parse(reply.body)["rerun_started"], false);
    EXPECT_EQ(line_count(metrics), 1u);
    EXPECT_EQ(json::parse(http_get(port, "/api/jobs/" + id).body)["status"], "rejected");
    reply = vesk::test::http_post(port, url, decision("d1", "user_value", 12.0));
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(json::parse(reply.body)["error"]["message"], "Completion decision_id is duplicated");

    reply = vesk::test::http_post(port, url, decision("d2", "user_value", 12.0));
    EXPECT_EQ(reply.status, 202) << reply.body;
    EXPECT_EQ(json::parse(reply.body)["rerun_started"], true);
    ASSERT_EQ(wait_for_end(port, id)["status"], "completed");
    EXPECT_EQ(line_count(metrics), 2u);

    // Provenance: the comment right before the first terminator (OCCT still reads the file),
    // and the report's last member.
    const std::string step = http_get(port, "/api/jobs/" + id + "/files/model.step").body;
    const std::size_t end = step.find("END-ISO-10303-21;");
    ASSERT_NE(end, std::string::npos);
    const std::size_t line = step.rfind('\n', end - 2) + 1;
    EXPECT_EQ(step.substr(line, 24), "/* VESK_V19_PROVENANCE {");
    EXPECT_EQ(step.substr(end - 4, 4), " */\n");
    EXPECT_NE(step.find("\"approved_constraint_id\":\"completion_d2\""), std::string::npos);
    EXPECT_FALSE(vesk::read_step_file(dir.path() / "jobs" / id / "part.step").IsNull());
    const ordered_json report = ordered_json::parse(http_get(port, "/api/jobs/" + id + "/files/report.json").body);
    EXPECT_EQ(std::prev(report.end()).key(), "completion_provenance");
    EXPECT_EQ(report["completion_provenance"]["approved_completion"], 1);
    EXPECT_EQ(json::parse(http_get(port, "/api/jobs/" + id + "/result").body)["provenance_counts"]["approved_completion"], 1);

    reply = vesk::test::http_post(port, url, decision("d3", "leave_missing"));
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(json::parse(reply.body)["error"]["message"],
              "Completion decisions require a named incomplete or conflicting job");
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(10s), 0);
}

// Four workers and four clients with 20 mixed jobs each: plates, flanges, brackets, an
// unreadable graph, a PNG read by the mock reader, and a drawing missing a hole that a
// decision completes and reruns; clients read status, results and files meanwhile, and a
// pilot PDF is analysed beside them (the PDF engine and OCCT's STEP writer both read the
// time zone). Run under ThreadSanitizer, which then instruments the program as well.
TEST(JobProgram, MixedJobsOnFourWorkers) {
    if (!vesk::test::kThreadSanitized && std::getenv("VESK_MIXED_JOBS") == nullptr) {
        GTEST_SKIP() << "needs a ThreadSanitizer build (-DVESK_TSAN=ON) or VESK_MIXED_JOBS=1";
    }
    vesk::test::TempDir dir("vesk-jobs-e2e");
    const vesk::test::Drawing drawing = vesk::test::plate_drawing();
    drawing.write_png(dir.path() / "plate.png");
    vesk::test::write_file(dir.path() / "plate.json", drawing.reader_response_json("scan"));
    vesk::test::write_file(dir.path() / "manifest.json", R"({"schema_version":"vesk-reader-mock-manifest-v1",)"
                                                         R"("cases":[{"drawing_id":"scan","response":"plate.json"}]})");
    json scan = json::parse(job_body(json(), "scan"));
    scan.erase("graph");
    scan["declared_dpi"] = drawing.declared_dpi;
    scan["source_image"]["data_base64"] = vesk::test::base64_encode(vesk::test::read_file(dir.path() / "plate.png"));

    vesk::test::ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "4", "--reader-provider",
                                        "mock", "--reader-source", "manifest.json", "--reader-source-root", "."},
                                       dir.path());
    const std::uint16_t port = service.wait_until_serving(60s);
    ASSERT_NE(port, 0) << service.error_output();
    const json pilot = {{"schema_version", "vesk-z23-edur-job-v1"},
                        {"drawing_id", "plate-1"},
                        {"source",
                         {{"filename", "plate.pdf"},
                          {"media_type", "application/pdf"},
                          {"data_base64", vesk::test::base64_encode(vesk::test::write_pdf(vesk::test::plate_pdf()))}}}};
    EXPECT_EQ(vesk::test::http_post(port, "/api/pilot/jobs", pilot.dump()).status, 202);
    // Body and final status of each kind of job.
    const std::vector<std::pair<std::string, std::string>> kinds = {
        {example_job_body("plate_with_holes.json", "plate"), "completed"}, {example_job_body("flange.json", "flange"), "completed"},
        {example_job_body("l_bracket.json", "bracket"), "completed"},      {job_body(json::object(), "empty"), "rejected"},
        {scan.dump(), "completed"},                                {job_body(one_missing_graph(), "hole"), "completed"}};
    constexpr int kClients = 4;
    constexpr int kJobsPerClient = 20;
    std::vector<std::string> failures(kClients);
    std::atomic<std::size_t> reruns{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::vector<std::pair<std::string, std::size_t>> jobs;
            for (int i = 0; i < kJobsPerClient; ++i) {
                const std::size_t kind = static_cast<std::size_t>(c * kJobsPerClient + i) % kinds.size();
                jobs.emplace_back(submit(port, kinds[kind].first), kind);
            }
            for (const auto& [id, kind] : jobs) {
                json status = wait_for_end(port, id);
                http_get(port, "/api/jobs/" + id + "/result");
                if (kind + 1 == kinds.size() && status["status"] == "rejected") {
                    const auto reply = vesk::test::http_post(port, "/api/jobs/" + id + "/completion",
                                                             decision("d1", "user_value", 12.0));
                    if (reply.status != 202) failures[c] += id + " decision " + reply.body + "\n";
                    ++reruns;
                    status = wait_for_end(port, id);
                }
                if (status["status"] != kinds[kind].second) failures[c] += id + " " + status.dump() + "\n";
                if (status["status"] == "completed" && http_get(port, "/api/jobs/" + id + "/files/model.step").status != 200) {
                    failures[c] += id + " model.step\n";
                }
            }
        });
    }
    for (auto& client : clients) client.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    EXPECT_EQ(json::parse(http_get(port, "/api/pilot/jobs/pilot-00000001").body)["status"], "awaiting_review");
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(60s), 0);
    const std::string errors = service.error_output();
    EXPECT_EQ(errors.find("ThreadSanitizer"), std::string::npos) << errors.substr(0, 20000);
    EXPECT_EQ(line_count(dir.path() / "jobs" / "metrics.jsonl"), kClients * kJobsPerClient + reruns.load());
}

// Drawing uploads through the file reader provider, each a PNG of 8192 x 8191 pixels (about
// the most the intake takes), are read and bound outside the job lock: while they are bound,
// another job's status is answered at once. Fewer uploads than handlers, so that the status
// requests find a free handler. They are bound one at a time, so the service's memory holds
// one such raster's working set, not one per upload.
TEST(JobProgram, DrawingUploadsDoNotHoldStatusAnswers) {
    vesk::test::TempDir dir("vesk-jobs-e2e");
    vesk::test::PlateLayout layout;
    layout.sheet.width = 8192;
    layout.sheet.height = 8191;
    const vesk::test::Drawing drawing = vesk::test::plate_drawing(layout);
    vesk::test::write_bilevel_png(dir.path() / "large.png", drawing.render(), drawing.declared_dpi);
    fs::create_directory(dir.path() / "responses");
    vesk::test::write_file(dir.path() / "responses" / "large.json", drawing.reader_response_json("large"));
    const std::string body =
        json{{"schema_version", "vesk-local-job-v1"}, {"drawing_id", "large"}, {"graph_filename", "large.json"},
             {"declared_dpi", drawing.declared_dpi},
             {"source_image",
              {{"filename", "large.png"}, {"media_type", "image/png"},
               {"data_base64", vesk::test::base64_encode(vesk::test::read_file(dir.path() / "large.png"))}}}}
            .dump();

    vesk::test::ServiceProcess service({"--port", "0", "--jobs-dir", "jobs", "--workers", "2", "--reader-provider",
                                        "file", "--reader-source", "responses"},
                                       dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const std::string other = submit(port, example_job_body("plate_with_holes.json", "plate"));
    constexpr int kUploads = 2;  // four handlers
    std::vector<std::future<vesk::test::HttpReply>> uploads;
    for (int i = 0; i < kUploads; ++i) {
        uploads.push_back(std::async(std::launch::async, [&] {
            return vesk::test::parse_http_reply(vesk::test::http_exchange(
                port,
                "POST /api/jobs HTTP/1.1\r\n" + vesk::test::host_header(port) +
                    "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                    body,
                600s));
        }));
    }
    // The first upload's source is on disk: its binding has begun.
    const fs::path first_source = dir.path() / "jobs" / "job-00000002" / "large.png";
    for (const auto until = std::chrono::steady_clock::now() + 60s;
         !fs::exists(first_source) && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(first_source));
    int answered = 0;
    std::chrono::duration<double> slowest{0};
    while (uploads.front().wait_for(0s) != std::future_status::ready) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(http_get(port, "/api/jobs/" + other).status, 200);
        slowest = std::max<std::chrono::duration<double>>(slowest, std::chrono::steady_clock::now() - start);
        ++answered;
        std::this_thread::sleep_for(50ms);
    }
    for (auto& upload : uploads) {
        const vesk::test::HttpReply reply = upload.get();
        EXPECT_EQ(reply.status, 400) << reply.body;
    }
    EXPECT_GE(answered, 3);
    EXPECT_LT(slowest.count(), 2.0);
    // One binding peaks near 600 MiB, two at once near 1.2 GiB.
    if (!vesk::test::kSanitized) {
        EXPECT_LT(vesk::test::peak_rss_mib(std::to_string(service.pid())), 900.0);
    }
}

// One job under strace: every durable step syncs once. Files are synced only as their
// temporaries, before the rename that publishes them; a sync of a published name would be a
// second one (the metric line is appended in place, its one sync the exception). The job
// directory's own entry is synced into the jobs directory before its state is written.
TEST(JobProgram, EachDurableStepOfAJobSyncsOnce) {
    if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    vesk::test::TempDir dir("vesk-jobs-e2e");
    const fs::path trace = dir.path() / "trace";
    // LeakSanitizer cannot run under ptrace and would fail the exit of a sanitizer build's
    // service; the address checks stay on.
    vesk::test::ServiceProcess service(
        {"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir.path(),
        {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-y", "-qq", "-e",
         "trace=fsync,fdatasync,mkdir,mkdirat", "-o", trace.string()});
    const std::uint16_t port = service.wait_until_serving(60s);
    if (port == 0 && service.error_output().find("ptrace") != std::string::npos) {
        GTEST_SKIP() << "strace cannot trace here: " << service.error_output();
    }
    ASSERT_NE(port, 0) << service.error_output();
    const std::string id = submit(port, example_job_body("plate_with_holes.json", "plate"));
    ASSERT_EQ(wait_for_end(port, id)["status"], "completed");
    // The service is strace's child: stop it, and strace ends with it.
    const std::string children = vesk::test::read_file("/proc/" + std::to_string(service.pid()) + "/task/" +
                                                       std::to_string(service.pid()) + "/children");
    ASSERT_EQ(::kill(std::stoi(children), SIGTERM), 0);
    EXPECT_EQ(service.wait(60s), 0);

    std::vector<std::string> synced;  // the job's synced paths, in order
    std::istringstream lines(vesk::test::read_file(trace));
    constexpr std::size_t kNone = std::string::npos;
    std::size_t made = kNone, entry_synced = kNone, state_synced = kNone;  // line numbers
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line); ++number) {
        const auto has = [&](const std::string& text) { return line.find(text) != std::string::npos; };
        if (made == kNone && has("mkdir") && has(id + "\"")) made = number;
        if (made != kNone && entry_synced == kNone && has("sync(") && has("/jobs>")) entry_synced = number;
        if (state_synced == kNone && has(id + "/job_state.json.tmp>")) state_synced = number;
        const std::size_t open = line.find("sync(");
        const bool ours = line.find("/" + id) != std::string::npos || line.find("metrics.jsonl") != std::string::npos;
        if (open == std::string::npos || !ours) continue;
        const std::size_t from = line.find('<', open) + 1;
        synced.push_back(fs::path(line.substr(from, line.find('>', from) - from)).filename().string());
    }
    EXPECT_LT(made, entry_synced);
    EXPECT_LT(entry_synced, state_synced);
    // Source, graph, queued and running state: file and directory each; five outputs and
    // their directory entries; traffic and completed state; the metric line.
    EXPECT_EQ(synced.size(), 2 * 4 + 2 * 5 + 2 * 2 + 1u) << testing::PrintToString(synced);
    for (const std::string& name : synced) {
        const bool temporary =
            name.rfind(".tmp~", 0) == 0 || (name.size() > 4 && name.substr(name.size() - 4) == ".tmp");
        EXPECT_TRUE(temporary || name == id || name == "metrics.jsonl") << name;
    }
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
