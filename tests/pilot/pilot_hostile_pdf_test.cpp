// Hostile PDFs given to the pilot's source analysis: each one is refused with its message
// after little processor time (its page helpers' included) and with little growth of the
// process's memory. Every case runs alone in a forked child, so that the peak it reports is
// its own.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "pilot/pilot_analysis.hpp"
#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_files.hpp"
#include "pilot/pilot_record.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"
#include "support/sanitizers.hpp"

namespace {
namespace fs = std::filesystem;
using namespace vesk;

double status_mib(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
    }
    return 0.0;
}

struct Outcome {
    std::string error;
    double cpu_seconds = 0.0;
    double growth_mib = 0.0;  // peak resident memory above the resident memory at the start
};

Outcome analyse_in_child(const fs::path& root, const std::string& pdf) {
    PilotRecord record;
    record.job_id = pilot_job_id(1);
    record.drawing_id = "hostile";
    record.source_filename = "sheet.pdf";
    record.media_type = "application/pdf";
    set_pilot_paths(record, root);
    write_pilot_file(record.source_path, pdf);
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        std::array<double, 2> figures{};
        std::string error = "(accepted)";
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from here
        const double rss = status_mib("VmRSS:");
        const double cpu = test::process_and_children_cpu_seconds();
        try {
            analyze_job(record, nullptr, test::pdf_page_helper());
        } catch (const std::exception& e) {
            error = e.what();
        }
        figures = {test::process_and_children_cpu_seconds() - cpu, status_mib("VmHWM:") - rss};
        (void)!write(fds[1], figures.data(), sizeof figures);
        (void)!write(fds[1], error.data(), error.size());
        _exit(0);
    }
    close(fds[1]);
    std::array<double, 2> figures{};
    Outcome outcome;
    if (read(fds[0], figures.data(), sizeof figures) == sizeof figures) {
        char buffer[512];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) outcome.error.append(buffer, n);
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    outcome.cpu_seconds = figures[0];
    outcome.growth_mib = figures[1];
    return outcome;
}

TEST(PilotHostilePdf, RefusedQuicklyAndWithinMemory) {
    // One stroked path of 2.6 million separate lines: 5.2 million segments.
    test::PdfPageSpec lines;
    lines.deflate = true;
    for (int i = 0; i < 2'600'000; ++i) lines.extra_content += "0 0 m 1 1 l\n";
    lines.extra_content += "S\n";
    // A page whose content inflates to 1 GiB.
    test::PdfSpec bomb = test::plate_pdf();
    bomb.pages[0].deflate = true;
    bomb.pages[0].blank_padding = std::uint64_t{1} << 30;
    // 100,000 pages drawing the plate, all through one content stream.
    test::PdfSpec many = test::plate_pdf();
    many.pages.resize(100'000, many.pages[0]);
    many.share_content = true;

    struct Row {
        const char* name;
        std::string pdf;
        std::string error;
    };
    const Row rows[] = {
        {"5.2 million segments", test::write_pdf(test::PdfSpec{{lines}}),
         "PDF page 0 holds a path of more than 250000 sub-paths"},
        {"1 GiB of content", test::write_pdf(bomb), "PDF page 0 holds more than 67108864 bytes of content"},
        {"100,000 pages", test::write_pdf(many), "Z23-Edur pilot currently requires a single-page PDF"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir("vesk-pilot-hostile");
        const Outcome outcome = analyse_in_child(dir.path(), row.pdf);
        std::cerr << row.name << " (" << row.pdf.size() / 1024 << " KiB): " << outcome.cpu_seconds << " s CPU, "
                  << outcome.growth_mib << " MiB growth: " << outcome.error << "\n";
        EXPECT_EQ(outcome.error, row.error);
        if (test::kSanitized) continue;
        EXPECT_LT(outcome.cpu_seconds, 4.0);
        EXPECT_LT(outcome.growth_mib, 300.0);
    }
}

}  // namespace
