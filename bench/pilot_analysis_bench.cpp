// Pilot source analysis of a one-page vector PDF (inspection, the 300-dpi preview, the
// vector reading, candidates.json; each page step in a PDF page helper) on the plate page
// and on A4 and A3 sheets holding the same drawing, with the peak resident memory of one
// analysis in a fresh child and the largest of its helpers; and how long an operator review
// holds the pilot mutex (the whole review, binding included, runs under it), with the
// longest status call that waited for it meanwhile.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "pilot/pilot_analysis.hpp"
#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_files.hpp"
#include "pilot/pilot_record.hpp"
#include "pilot/pilot_service.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using namespace vesk;

namespace {

struct Sheet {
    const char* name;
    double width;  // points
    double height;
};
constexpr Sheet kSheets[] = {{"plate", 288.0, 216.0}, {"A4", 595.0, 842.0}, {"A3", 842.0, 1191.0}};

std::string sheet_pdf(const Sheet& sheet) {
    return test::write_pdf(test::plate_pdf_on_sheet(sheet.width, sheet.height));
}

PilotRecord pdf_record(const fs::path& root, std::uint64_t number, const std::string& pdf) {
    PilotRecord record;
    record.job_id = pilot_job_id(number);
    record.drawing_id = "plate-1";
    record.source_filename = "sheet.pdf";
    record.media_type = "application/pdf";
    set_pilot_paths(record, root);
    write_pilot_file(record.source_path, pdf);
    return record;
}

long rss_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    }
    return 0;
}

// Runs one analysis in a forked child: {resident KiB before it, its peak KiB (ru_maxrss),
// the largest peak KiB of its PDF page helpers}.
std::array<long, 3> child_analysis_memory(const fs::path& root, const std::string& pdf) {
    std::array<long, 3> result{};
    int fds[2];
    if (pipe(fds) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        result[0] = rss_kib("VmRSS:");
        try {
            PilotRecord record = pdf_record(root, 999, pdf);
            analyze_job(record, nullptr, test::pdf_page_helper());
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            result[1] = usage.ru_maxrss;
            getrusage(RUSAGE_CHILDREN, &usage);
            result[2] = usage.ru_maxrss;
        } catch (...) {
        }
        (void)!write(fds[1], result.data(), sizeof result);
        _exit(0);
    }
    close(fds[1]);
    (void)!read(fds[0], result.data(), sizeof result);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return result;
}

void BM_AnalyzeSheet(benchmark::State& state) {
    const Sheet& sheet = kSheets[state.range(0)];
    state.SetLabel(sheet.name);
    test::TempDir dir("vesk-pilot-analysis-bench");
    const std::string pdf = sheet_pdf(sheet);
    std::uint64_t number = 0;
    std::size_t candidates = 0;
    for (auto _ : state) {
        PilotRecord record = pdf_record(dir.path(), ++number, pdf);
        analyze_job(record, nullptr, test::pdf_page_helper());
        candidates = record.candidates->readings.size();
    }
    const auto [before, peak, helper_peak] = child_analysis_memory(dir.path(), pdf);
    state.counters["candidates"] = static_cast<double>(candidates);
    state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024.0;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["helper_peak_rss_MiB"] = static_cast<double>(helper_peak) / 1024.0;
}
BENCHMARK(BM_AnalyzeSheet)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReviewHoldsPilotMutex(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const Sheet& sheet = kSheets[state.range(0)];
    state.SetLabel(sheet.name);
    test::TempDir dir("vesk-pilot-review-bench");
    // Modelling is left out: only the review's own hold is measured.
    const PdfPageHelper pages = test::pdf_page_helper();
    PilotService service(dir.path(), nullptr,
                         {[&](PilotRecord& r) { analyze_job(r, nullptr, pages); }, [](PilotRecord&) {}});
    const std::string pdf = sheet_pdf(sheet);
    std::uint64_t number = 0;
    int accepted = 0;
    double longest_status_wait = 0.0;
    for (auto _ : state) {
        const std::string job_id = pilot_job_id(++number);
        service.create_job(PilotSubmission{"plate-1", "sheet.pdf", "application/pdf", pdf, std::nullopt});
        OrderedJson status;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            status = *service.job_status(job_id);
        } while (status["status"] != "awaiting_review" && status["status"] != "rejected");
        const SortedJson body = test::confirm_all_review(status, "review-" + std::to_string(number));

        // A status reader polls throughout; its longest call is the wait the review imposed.
        std::atomic<bool> reviewing{true};
        std::atomic<bool> polling{false};
        double longest = 0.0;
        std::thread reader([&] {
            polling = true;
            while (reviewing) {
                const auto start = Clock::now();
                benchmark::DoNotOptimize(service.job_status(job_id));
                longest = std::max(longest, std::chrono::duration<double>(Clock::now() - start).count());
            }
        });
        while (!polling) std::this_thread::yield();
        const auto start = Clock::now();
        try {
            service.submit_review(job_id, body);
            ++accepted;
        } catch (const std::invalid_argument& error) {
            state.SetLabel(std::string(sheet.name) + ", refused: " + error.what());
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        reviewing = false;
        reader.join();
        longest_status_wait = std::max(longest_status_wait, longest);
    }
    state.counters["accepted"] = accepted;
    state.counters["longest_status_wait_ms"] = longest_status_wait * 1000.0;
}
BENCHMARK(BM_ReviewHoldsPilotMutex)->DenseRange(0, 2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
