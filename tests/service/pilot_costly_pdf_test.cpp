// Costly PDFs uploaded to the real vesk-service: each page is refused within its limits
// (the processor time of the service and its page helpers together, the service's own
// peak memory) while a normal drawing queued behind it is analysed; a stop ends the page
// work at once and keeps the jobs; after a kill -9 no helper is left and the pilot
// recovers; a service without its helper does not start.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/costly_pdfs.hpp"
#include "support/http_client.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"
#include "support/sanitizers.hpp"
#include "support/service_process.hpp"

namespace {
namespace fs = std::filesystem;
namespace test = vesk::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kHelperName = "vesk-pdf-page";
const std::string kCpuRefusal = "PDF page 0 took more than 5 s of CPU";

std::string create(std::uint16_t port, const std::string& pdf) {
    const nlohmann::json body = {
        {"schema_version", "vesk-z23-edur-job-v1"},
        {"drawing_id", "sheet-1"},
        {"source",
         {{"filename", "sheet.pdf"}, {"media_type", "application/pdf"}, {"data_base64", test::base64_encode(pdf)}}}};
    const test::HttpReply reply = test::http_post(port, "/api/pilot/jobs", body.dump());
    if (reply.status != 202) throw std::runtime_error("create answered " + reply.body);
    return nlohmann::json::parse(reply.body)["job_id"];
}

// The status document once the analysis has ended, or the last one seen at the time-out.
nlohmann::json wait_analysed(std::uint16_t port, const std::string& id, std::chrono::seconds timeout) {
    nlohmann::json status;
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        status = nlohmann::json::parse(test::http_get(port, "/api/pilot/jobs/" + id).body);
        if (status["status"] != "pending_analysis" && status["status"] != "analyzing") break;
        std::this_thread::sleep_for(20ms);
    }
    return status;
}

std::string outcome(const nlohmann::json& status) {
    if (status["status"] != "rejected") return status["status"];
    return status["error"]["code"].get<std::string>() + ": " + status["error"]["message"].get<std::string>();
}

// The service's running page helpers, once there is one (none at the time-out).
std::vector<pid_t> wait_for_helpers(pid_t service) {
    for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
        std::vector<pid_t> helpers = test::child_processes(service, kHelperName);
        if (!helpers.empty()) return helpers;
    }
    return {};
}

// A process that has ended, reaped or not, is no longer running.
bool running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), {});
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

TEST(PilotCostlyPdf, EveryCostlyPageIsRefusedWithinItsLimits) {
    test::TempDir dir("vesk-pilot-costly");
    test::ServiceProcess service({"--jobs-dir", "jobs", "--port", "0", "--workers", "1"}, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const std::string normal = test::write_pdf(test::plate_pdf());
    // One normal analysis first: the peak below then holds what any analysis needs.
    ASSERT_EQ(outcome(wait_analysed(port, create(port, normal), 60s)), "awaiting_review");
    const double peak_before = test::peak_resident_mib(service.pid());

    const auto too_large = [](const std::string& size) {
        return "PDF page 0 of " + size +
               " pt is too large for review: its 300 dpi preview would exceed 67108864 pixels";
    };
    std::vector<std::pair<test::CostlyPdf, std::string>> rows;
    for (test::CostlyPdf& pdf : test::costly_pdfs()) {
        const std::string message = pdf.name == "3930 x 3930 pt page"     ? too_large("3930 x 3930")
                                    : pdf.name == "700,000,000 x 1 image" ? "PDF page 0 needs more than 1024 MiB"
                                                                          : kCpuRefusal;
        // Without an address-space limit a sanitizer build would really allocate the image.
        if (test::kSanitized && pdf.name == "700,000,000 x 1 image") continue;
        rows.emplace_back(std::move(pdf), message);
    }
    rows.push_back({{"A1 plate drawing", test::plate_pdf_on_sheet(1684, 2384)}, too_large("1684 x 2384")});

    for (const auto& [pdf, message] : rows) {
        SCOPED_TRACE(pdf.name);
        const std::string bytes = test::write_pdf(pdf.spec);
        const double cpu_before = test::cpu_seconds_with_children(service.pid());
        const std::string costly = create(port, bytes);
        const std::string queued = create(port, normal);
        const std::string refused = outcome(wait_analysed(port, costly, 120s));
        const double cpu = test::cpu_seconds_with_children(service.pid()) - cpu_before;
        std::cerr << pdf.name << " (" << bytes.size() / 1024 << " KiB): " << cpu << " s CPU: " << refused << "\n";
        EXPECT_EQ(refused, "source_not_supported: " + message);
        if (!test::kSanitized) {
            EXPECT_LT(cpu, 6.0);
        }
        EXPECT_EQ(outcome(wait_analysed(port, queued, 60s)), "awaiting_review");
    }
    const double growth = test::peak_resident_mib(service.pid()) - peak_before;
    std::cerr << "service peak memory growth: " << growth << " MiB\n";
    if (!test::kSanitized) {
        EXPECT_LT(growth, 300.0);
    }
    EXPECT_TRUE(test::child_processes(service.pid(), kHelperName).empty());
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(20s), 0) << service.error_output();
}

TEST(PilotCostlyPdf, StopEndsThePageWorkAndKeepsTheJobs) {
    test::TempDir dir("vesk-pilot-costly-stop");
    const std::string fills = test::write_pdf(test::costly_pdfs().front().spec);
    std::vector<pid_t> helpers;
    {
        test::ServiceProcess service({"--jobs-dir", "jobs", "--port", "0", "--workers", "1"}, dir.path());
        const std::uint16_t port = service.wait_until_serving();
        ASSERT_NE(port, 0) << service.error_output();
        create(port, fills);
        create(port, fills);  // queued behind the first
        helpers = wait_for_helpers(service.pid());
        ASSERT_FALSE(helpers.empty());
        const Clock::time_point stop = Clock::now();
        service.send_signal(SIGTERM);
        EXPECT_EQ(service.wait(20s), 0) << service.error_output();
        std::cerr << "stop took " << std::chrono::duration<double>(Clock::now() - stop).count() << " s\n";
    }
    for (const pid_t helper : helpers) EXPECT_FALSE(running(helper)) << helper;
    // Neither job was judged: both run again at the next start.
    for (const char* job : {"pilot-00000001", "pilot-00000002"}) {
        const auto state =
            nlohmann::json::parse(test::read_file(dir.path() / "jobs" / "m23-pilot" / job / "pilot_state.json"));
        EXPECT_EQ(state["status"], "analyzing") << job;
    }
}

TEST(PilotCostlyPdf, KilledServiceLeavesNoHelperAndRecovers) {
    test::TempDir dir("vesk-pilot-costly-kill");
    const std::vector<std::string> args = {"--jobs-dir", "jobs", "--port", "0", "--workers", "1"};
    std::vector<pid_t> helpers;
    {
        test::ServiceProcess service(args, dir.path());
        const std::uint16_t port = service.wait_until_serving();
        ASSERT_NE(port, 0) << service.error_output();
        create(port, test::write_pdf(test::costly_pdfs().front().spec));
        helpers = wait_for_helpers(service.pid());
        ASSERT_FALSE(helpers.empty());
        service.send_signal(SIGKILL);
        EXPECT_EQ(service.wait(10s), 128 + SIGKILL);
    }
    // The helpers die with the service.
    for (const pid_t helper : helpers) {
        const auto deadline = Clock::now() + 10s;
        while (running(helper) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(running(helper)) << helper;
    }
    test::ServiceProcess service(args, dir.path());
    const std::uint16_t port = service.wait_until_serving();
    ASSERT_NE(port, 0) << service.error_output();
    const Clock::time_point posted = Clock::now();
    const std::string normal = create(port, test::write_pdf(test::plate_pdf()));
    EXPECT_EQ(outcome(wait_analysed(port, normal, 30s)), "awaiting_review");
    std::cerr << "normal job analysed " << std::chrono::duration<double>(Clock::now() - posted).count()
              << " s after the restart\n";
    EXPECT_EQ(outcome(wait_analysed(port, "pilot-00000001", 1s)), "source_not_supported: " + kCpuRefusal);
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait(20s), 0) << service.error_output();
}

TEST(PilotCostlyPdf, ServiceWithoutItsHelperDoesNotStart) {
    test::TempDir dir("vesk-pilot-no-helper");
    const fs::path program = dir.path() / "vesk-service";
    fs::copy_file(test::service_program(), program);
    const fs::path helper = dir.path() / kHelperName;
    const std::string refusal = "vesk-service: PDF page helper is missing or not executable: " + helper.string() + "\n";
    for (const bool present : {false, true}) {
        if (present) test::write_file(helper, "#!/bin/sh\n");  // there, but not executable
        const test::ProcessOutput run = test::run_process(program, {"--jobs-dir", "jobs", "--port", "0"}, dir.path());
        EXPECT_EQ(run.exit_code, 1) << present;
        EXPECT_EQ(run.err.rfind(refusal, 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
