// PDF page access and vector dimension text: inspection, and extraction with reading, of
// pages holding 1k, 5k and 20k one-glyph text objects (as drafting programs write digit
// runs), renders of a Letter drawing at 300 and 600 dpi, and the refusal of hostile pages.
// Each benchmark reports the process's peak resident memory during its own runs (the peak
// is reset before each).
#include <malloc.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "intake/pdf_page_access.hpp"
#include "intake/vector_dimensions.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"

namespace {

void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

double status_mib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024.0;  // kB
    }
    return 0.0;
}

double peak_rss_mib() { return status_mib("VmHWM:"); }

// fragments one-glyph text objects: numbers "12.5" (four glyphs each) on a grid.
std::filesystem::path fragment_pdf(const vesk::test::TempDir& dir, int fragments) {
    vesk::test::PdfPageSpec page;
    page.width = 1728;  // 24 x 24 in
    page.height = 1728;
    for (int i = 0; i < fragments / 4; ++i) {
        page.labels.push_back(
            vesk::test::PdfLabel{"12.5", 10.0 + (i % 60) * 28.0, 1700.0 - (i / 60) * 20.0, 8, 0, true});
    }
    const std::filesystem::path path = dir.path() / ("fragments_" + std::to_string(fragments) + ".pdf");
    vesk::test::write_pdf_file(path, vesk::test::PdfSpec{{page}});
    return path;
}

void BM_InspectFragments(benchmark::State& state) {
    const vesk::test::TempDir dir("vesk-pdf-bench");
    const std::filesystem::path pdf = fragment_pdf(dir, static_cast<int>(state.range(0)));
    reset_peak_rss();
    for (auto _ : state) benchmark::DoNotOptimize(vesk::inspect_pdf_pages(pdf));
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

void BM_ExtractAndReadFragments(benchmark::State& state) {
    const vesk::test::TempDir dir("vesk-pdf-bench");
    const std::filesystem::path pdf = fragment_pdf(dir, static_cast<int>(state.range(0)));
    reset_peak_rss();
    std::size_t readings = 0;
    for (auto _ : state) {
        const vesk::VectorDimensionResult result = vesk::read_pdf_vector_dimensions(pdf, 0, 300.0, "bench");
        readings = result.response.readings.size();
    }
    state.counters["readings"] = static_cast<double>(readings);
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

void BM_RenderLetter(benchmark::State& state) {
    const vesk::test::TempDir dir("vesk-pdf-bench");
    vesk::test::PdfSpec spec = vesk::test::plate_pdf();
    spec.pages[0].width = 612;
    spec.pages[0].height = 792;
    vesk::test::write_pdf_file(dir.path() / "letter.pdf", spec);
    reset_peak_rss();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vesk::render_pdf_page(dir.path() / "letter.pdf", 0, static_cast<double>(state.range(0)),
                                                       dir.path() / "letter.png"));
    }
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

// How long a hostile page holds the PDF lock before it is refused: one path of 2.6 million
// separate lines (refused while it is built), and a content stream that inflates to 1 GiB
// (refused after 64 MiB).
void BM_RefuseHostilePage(benchmark::State& state) {
    const vesk::test::TempDir dir("vesk-pdf-bench");
    vesk::test::PdfPageSpec page;
    page.deflate = true;
    if (state.range(0) == 0) {
        state.SetLabel("path of 5.2M segments");
        for (int i = 0; i < 2'600'000; ++i) page.extra_content += "0 0 m 1 1 l\n";
        page.extra_content += "S\n";
    } else {
        state.SetLabel("content of 1 GiB");
        page.blank_padding = std::uint64_t{1} << 30;
    }
    const std::filesystem::path pdf = dir.path() / "hostile.pdf";
    vesk::test::write_pdf_file(pdf, vesk::test::PdfSpec{{page}});
    page = {};
    malloc_trim(0);  // the writer's buffers are not counted as growth
    reset_peak_rss();
    const double before = status_mib("VmRSS:");
    for (auto _ : state) {
        try {
            vesk::inspect_pdf_pages(pdf);
            state.SkipWithError("accepted");
        } catch (const std::invalid_argument&) {}
    }
    state.counters["peak_growth_MiB"] = peak_rss_mib() - before;
}

BENCHMARK(BM_InspectFragments)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractAndReadFragments)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderLetter)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseHostilePage)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
