// kill -9 at seeded random moments, again and again, on one jobs directory while jobs are
// posted: every accepted job still completes exactly once with the clean run's STEP bytes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/job_record.hpp"
#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using vesk::test::ServiceProcess;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kJobs = 10;
constexpr int kKills = 20;
constexpr unsigned kSeed = 21;

const std::string kBody = vesk::test::example_job_body("plate_with_holes.json", "plate");

std::unique_ptr<ServiceProcess> start(const fs::path& dir) {
    return std::make_unique<ServiceProcess>(
        std::vector<std::string>{"--port", "0", "--jobs-dir", "jobs", "--workers", "1"}, dir);
}

// Posts one job; its id when the answer was 202, empty when there was none (refused
// connection, or the service died before answering).
std::string post_job(std::uint16_t port) {
    try {
        const vesk::test::HttpReply reply = vesk::test::http_post(port, "/api/jobs", kBody);
        if (reply.status == 202) return json::parse(reply.body)["job_id"].get<std::string>();
        EXPECT_EQ(reply.status, 0) << reply.body;
    } catch (const std::runtime_error&) {
    }
    return "";
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(JobKillLoop, EveryAcceptedJobCompletesOnceThroughKillsAndRestarts) {
    const auto test_start = Clock::now();
    // A clean run: the reference STEP and one job's wall time, which scales the kill moments.
    std::string clean_step;
    double job_seconds = 0;
    {
        vesk::test::TempDir clean("vesk-kill-clean");
        auto service = start(clean.path());
        const std::uint16_t port = service->wait_until_serving(30s);
        ASSERT_NE(port, 0) << service->error_output();
        const auto posted = Clock::now();
        const std::string id = post_job(port);
        ASSERT_EQ(vesk::test::wait_for_job_end(port, id)["status"], "completed");
        job_seconds = seconds_since(posted);
        clean_step = vesk::test::read_file(clean.path() / "jobs" / id / "part.step");
        service->send_signal(SIGTERM);
        ASSERT_EQ(service->wait(30s), 0);
    }
    const int max_delay_ms = std::clamp(static_cast<int>(job_seconds * 2000) + 300, 400, 2000);

    vesk::test::TempDir dir("vesk-kill-loop");
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<int> moment(0, max_delay_ms);
    std::vector<std::string> answered;  // ids the service answered 202 to
    for (int kill = 0; kill < kKills; ++kill) {
        const auto delay = std::chrono::milliseconds(moment(random));
        const auto post_at = std::chrono::milliseconds(moment(random));
        auto service = start(dir.path());
        const auto spawned = Clock::now();
        // The poster waits for the service and posts at its own moment; the kill may come
        // before the service serves (in recovery), during a submission or during a run.
        std::atomic<bool> alive{true};
        std::thread poster([&] {
            const std::uint16_t port = service->wait_until_serving(30s);
            if (port == 0 || answered.size() >= kJobs) return;
            std::this_thread::sleep_until(spawned + post_at);
            if (!alive.load()) return;
            if (const std::string id = post_job(port); !id.empty()) answered.push_back(id);
        });
        std::this_thread::sleep_until(spawned + delay);
        alive.store(false);
        service->send_signal(SIGKILL);
        EXPECT_EQ(service->wait(30s), 128 + SIGKILL);
        poster.join();
    }

    auto service = start(dir.path());
    const std::uint16_t port = service->wait_until_serving(30s);
    ASSERT_NE(port, 0) << service->error_output();
    while (answered.size() < kJobs) {
        const std::string id = post_job(port);
        ASSERT_FALSE(id.empty());
        answered.push_back(id);
    }
    // Every job directory holds an accepted job (a submission cut before its state was
    // written gave its number back); their numbers run from 1 without a gap.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path() / "jobs")) {
        if (entry.path().filename().string().rfind("job-", 0) == 0) names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), kJobs);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], vesk::make_job_id(i + 1));
    const std::set<std::string> unique(answered.begin(), answered.end());
    EXPECT_EQ(unique.size(), answered.size());
    for (const std::string& id : answered) EXPECT_TRUE(std::binary_search(names.begin(), names.end(), id)) << id;

    for (const std::string& name : names) {
        EXPECT_EQ(vesk::test::wait_for_job_end(port, name, 120s)["status"], "completed") << name;
        const fs::path job_dir = dir.path() / "jobs" / name;
        EXPECT_EQ(vesk::test::read_file(job_dir / "part.step"), clean_step) << name;
        for (const auto& entry : fs::directory_iterator(job_dir)) {
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
        }
    }
    service->send_signal(SIGTERM);
    EXPECT_EQ(service->wait(30s), 0) << service->error_output();

    // One line per completion: a kill between the completed state and its line loses one.
    const std::string metrics = vesk::test::read_file(dir.path() / "jobs" / "metrics.jsonl");
    const long lines = std::count(metrics.begin(), metrics.end(), '\n');
    EXPECT_LE(lines, static_cast<long>(names.size()));
    EXPECT_GE(lines, static_cast<long>(names.size()) - kKills);
    EXPECT_EQ(metrics.find("\"rejected\""), std::string::npos);
    std::printf("kill loop: %zu jobs, %d kills, %ld metric lines, clean job %.2f s, whole test %.1f s\n",
                names.size(), kKills, lines, job_seconds, seconds_since(test_start));
}

}  // namespace
