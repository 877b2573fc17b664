// Durable job records: one job-state persist (tmp write, fsync, rename, directory fsync),
// and one decision appended to a log of 1, 100 and 1000 lines. An append validates and
// rewrites the whole log, so its cost grows with the log.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/files.hpp"
#include "service/completion_log_internal.hpp"
#include "service/job_record.hpp"

namespace fs = std::filesystem;

namespace {

const std::string kJob = "job-00000001";

fs::path make_directory(const char* name) {
    std::string pattern = (fs::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

vesk::CompletionRecord user_value(int number) {
    vesk::CompletionRecord record;
    record.decision_id = "decision-" + std::to_string(number);
    record.action = "user_value";
    record.target = "h1.diameter";
    record.entity_id = "h1";
    record.approved_constraint_id = "completion_" + record.decision_id;
    record.value = 12.5 + number;
    record.provenance = "user_input";
    record.status = "approved_completion";
    return record;
}

void BM_PersistJobState(benchmark::State& state) {
    const fs::path jobs = make_directory("vesk-records-bench");
    vesk::JobRecord job;
    job.job_id = kJob;
    job.drawing_id = "plate";
    job.graph_filename = "plate.json";
    job.source_filename = "plate.png";
    vesk::assign_job_paths(job, jobs);
    fs::create_directories(job.job_directory);
    for (int i = 0; i < 3; ++i) job.completion_records.push_back(user_value(i));
    for (auto _ : state) {
        job.duration_ms += 1.0;
        vesk::persist_job_state(job);
    }
    fs::remove_all(jobs);
}
BENCHMARK(BM_PersistJobState)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_AppendDecision(benchmark::State& state) {
    const fs::path directory = make_directory("vesk-log-bench");
    const fs::path log = directory / "completion_decisions.jsonl";
    const int lines = static_cast<int>(state.range(0));
    std::string base;
    for (int i = 0; i < lines; ++i) base += vesk::completion_log_line(kJob, user_value(i)) + "\n";
    const vesk::CompletionRecord next = user_value(lines);
    for (auto _ : state) {
        state.PauseTiming();
        vesk::platform::write_file(log, base);
        state.ResumeTiming();
        vesk::append_completion_decision(log, kJob, next);
    }
    state.counters["log_bytes"] = static_cast<double>(base.size());
    fs::remove_all(directory);
}
BENCHMARK(BM_AppendDecision)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
