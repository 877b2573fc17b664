// Pilot start-up with 1,000 completed jobs (recovery re-hashes every pinned file of every
// job and parses its candidates), and the evidence bundle of one job with a 20 MB source.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_service.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using namespace vesk;

namespace {

constexpr std::size_t kLargeSourceBytes = std::size_t{20} << 20;

// Laying out the jobs dominates the test suite's quick run (VESK_BENCH_QUICK), which takes fewer.
int completed_jobs() { return std::getenv("VESK_BENCH_QUICK") != nullptr ? 20 : 1000; }

void BM_StartWithCompletedJobs(benchmark::State& state) {
    const int jobs = completed_jobs();
    test::TempDir dir("vesk-pilot-bench");
    for (int n = 1; n <= jobs; ++n) test::make_job_on_disk(dir.path(), n, PilotStatus::completed);
    for (auto _ : state) {
        PilotService service(dir.path(), nullptr, {});
        benchmark::DoNotOptimize(service.job_status(pilot_job_id(static_cast<std::uint64_t>(jobs))));
    }
    state.counters["jobs"] = jobs;
}
BENCHMARK(BM_StartWithCompletedJobs)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BundleLargeSource(benchmark::State& state) {
    test::TempDir dir("vesk-pilot-bench");
    PilotRecord record = test::make_job_on_disk(dir.path(), 1, PilotStatus::queued_model);
    std::string bytes(kLargeSourceBytes, '\0');
    std::uint32_t seed = 7;
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    test::write_file(record.source_path, test::kPngBytes + bytes);
    const PilotArtifacts artifacts = pilot_artifact_paths(record.job_directory);
    for (const auto& path :
         {artifacts.step, artifacts.front_svg, artifacts.top_svg, artifacts.side_svg, artifacts.report_json}) {
        write_pilot_file(path, "output\n");
    }
    write_pilot_file(record.traffic_path, "{}\n");
    record.artifacts = artifacts;
    for (auto _ : state) write_evidence_bundle(record);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLargeSourceBytes));
}
BENCHMARK(BM_BundleLargeSource)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
