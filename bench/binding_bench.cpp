// Binding of the four generated template drawings (640 x 420 sheets): raster intake,
// reading checks, template and graph round trip. Reports the process's peak resident
// memory after the runs.
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "intake/binding.hpp"
#include "model/occt_support.hpp"
#include "support/drawing_generator.hpp"
#include "support/run_process.hpp"

namespace {

double peak_rss_mib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

void bind_drawing(benchmark::State& state, const vesk::test::Drawing& drawing, const std::string& name) {
    vesk::route_occt_messages_to_stderr();
    const vesk::test::TempDir dir("vesk-binding-bench");
    const std::filesystem::path input = dir.path() / (name + ".png");
    const std::filesystem::path normalized = dir.path() / (name + "_normalized.png");
    drawing.write_png(input);
    const vesk::ReaderResponse response = drawing.reader_response(name);
    for (auto _ : state) {
        vesk::BindingResult result = vesk::bind_readings_to_raster(input, drawing.declared_dpi, normalized, response);
        if (!result.bound_graph) {
            state.SkipWithError(("binding failed: " + result.binding_errors.front()).c_str());
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

// The raster intake alone on the plate: what the binding adds is the difference.
void BM_IntakeOnlyPlate(benchmark::State& state) {
    vesk::route_occt_messages_to_stderr();
    const vesk::test::TempDir dir("vesk-binding-bench");
    const vesk::test::Drawing drawing = vesk::test::plate_drawing();
    drawing.write_png(dir.path() / "plate.png");
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vesk::normalize_raster_input(dir.path() / "plate.png", drawing.declared_dpi, dir.path() / "normalized.png"));
    }
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

void BM_BindPlate(benchmark::State& state) { bind_drawing(state, vesk::test::plate_drawing(), "plate"); }
void BM_BindBracket(benchmark::State& state) { bind_drawing(state, vesk::test::bracket_drawing(), "bracket"); }
void BM_BindStepped(benchmark::State& state) { bind_drawing(state, vesk::test::stepped_drawing(), "stepped"); }
void BM_BindFlange(benchmark::State& state) { bind_drawing(state, vesk::test::flange_drawing(), "flange"); }

BENCHMARK(BM_IntakeOnlyPlate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BindPlate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BindBracket)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BindStepped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BindFlange)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
