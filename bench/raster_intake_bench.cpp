// Raster intake of generated drawings: the 640 x 420 plate sheet and an A4 sheet at
// 300 dpi, each straight and skewed. Time per intake, and the peak resident memory of one
// intake run alone in a fresh process (this program started again with --intake-once),
// next to that process's resident size when it skips the image (below the floor).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "intake/raster_intake.hpp"
#include "intake/raster_intake_internal.hpp"
#include "model/occt_support.hpp"
#include "support/drawing_generator.hpp"

namespace {

using vesk::test::Drawing;

std::filesystem::path bench_directory() {
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() / ("vesk_raster_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

Drawing small_sheet(double rotation_deg) {
    Drawing drawing = vesk::test::plate_drawing();
    drawing.rotation_deg = rotation_deg;
    return drawing;
}

Drawing a4_sheet(double rotation_deg) {
    Drawing drawing = vesk::test::a4_bracket_drawing();
    drawing.rotation_deg = rotation_deg;
    return drawing;
}

const std::filesystem::path& input_for(const std::string& name, Drawing (*make)(double), double rotation_deg) {
    static std::map<std::string, std::filesystem::path> inputs;
    auto found = inputs.find(name);
    if (found == inputs.end()) {
        const auto path = bench_directory() / (name + ".png");
        make(rotation_deg).write_png(path);
        found = inputs.emplace(name, path).first;
    }
    return found->second;
}

// Peak resident size of a fresh process that runs one intake and exits.
long child_peak_rss_kb(const std::filesystem::path& input, const std::filesystem::path& output, const char* dpi) {
    const std::string input_text = input.string();
    const std::string output_text = output.string();
    const pid_t child = ::fork();
    if (child == 0) {
        char* const args[] = {const_cast<char*>("raster_intake_bench"), const_cast<char*>("--intake-once"),
                              const_cast<char*>(input_text.c_str()), const_cast<char*>(output_text.c_str()),
                              const_cast<char*>(dpi), nullptr};
        ::execv("/proc/self/exe", args);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return usage.ru_maxrss;
}

void run_intake(benchmark::State& state, const std::string& name, Drawing (*make)(double), double rotation_deg) {
    vesk::route_occt_messages_to_stderr();
    const std::filesystem::path& input = input_for(name, make, rotation_deg);
    const auto output = bench_directory() / (name + "_normalized.png");
    vesk::RasterIntakeResult result;
    for (auto _ : state) {
        result = vesk::normalize_raster_input(input, 300.0, output);
        benchmark::DoNotOptimize(result);
    }
    state.counters["applied_rotation_deg"] = result.applied_rotation_deg;
    state.counters["profile_kind"] = result.extraction.profile_kind;
    state.counters["slots"] = static_cast<double>(result.extraction.annotation_slots.size());
    state.counters["peak_rss_MB"] = static_cast<double>(child_peak_rss_kb(input, output, "300")) / 1024.0;
    state.counters["idle_rss_MB"] = static_cast<double>(child_peak_rss_kb(input, output, "100")) / 1024.0;
}

// The straightening alone on the A4 sheet.
void BM_A4RotateOnly(benchmark::State& state) {
    const vesk::RasterImage image = a4_sheet(-3.3).render();
    for (auto _ : state) {
        vesk::RasterImage rotated = vesk::rotate_raster(image, -3.3);
        benchmark::DoNotOptimize(rotated.pixels.data());
    }
}

void BM_Sheet640Straight(benchmark::State& state) { run_intake(state, "sheet640_straight", small_sheet, 0.0); }
void BM_Sheet640Skewed(benchmark::State& state) { run_intake(state, "sheet640_skewed", small_sheet, 2.0); }
void BM_A4At300DpiStraight(benchmark::State& state) { run_intake(state, "a4_straight", a4_sheet, 0.0); }
void BM_A4At300DpiSkewed(benchmark::State& state) { run_intake(state, "a4_skewed", a4_sheet, -3.3); }

BENCHMARK(BM_Sheet640Straight)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sheet640Skewed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_A4At300DpiStraight)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_A4At300DpiSkewed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_A4RotateOnly)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--intake-once") {
        vesk::route_occt_messages_to_stderr();
        try {
            vesk::normalize_raster_input(argv[2], std::stod(argv[4]), argv[3]);
        } catch (const std::exception&) {
            return 1;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(bench_directory());
    return 0;
}
