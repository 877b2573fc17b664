// Service start-up with finished jobs in the jobs directory: recovery reads and checks every
// job state and looks for each completed job's eight files. The directory is built once from
// one real completed job, copied under distinct ids, every fourth one turned rejected.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/occt_bench_main.hpp"
#include "model/json_util.hpp"
#include "model/occt_support.hpp"
#include "service/job_record.hpp"
#include "service/job_recovery.hpp"
#include "service/local_service.hpp"
#include "support/http_client.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace fs = std::filesystem;

namespace {

fs::path make_directory(const std::string& name) {
    std::string pattern = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

vesk::LocalServiceOptions options_for(const fs::path& jobs) {
    vesk::LocalServiceOptions options;
    options.jobs_directory = jobs;
    options.pdf_page_helper = vesk::test::pdf_page_program();
    options.worker_count = 1;
    return options;
}

// A jobs directory holding `count` finished jobs (none when 0).
fs::path finished_jobs(int count) {
    const fs::path jobs = make_directory("vesk-start-bench");
    if (count == 0) return jobs;
    {
        vesk::LocalService service(options_for(jobs));
        const auto port = static_cast<std::uint16_t>(std::stoi(service.base_url().substr(service.base_url().rfind(':') + 1)));
        const auto reply = vesk::test::http_post(port, "/api/jobs", vesk::test::example_job_body("plate_with_holes.json", "plate"));
        if (reply.status != 202 || vesk::test::wait_for_job_end(port, "job-00000001")["status"] != "completed") std::abort();
    }
    const fs::path model = jobs / "job-00000001";
    const nlohmann::json state = vesk::parse_strict_json(vesk::read_service_file(model / "job_state.json"));
    for (int number = 2; number <= count; ++number) {
        vesk::JobRecord record = vesk::job_record_from_state(state, "job-00000001");
        record.job_id = vesk::make_job_id(static_cast<std::uint64_t>(number));
        if (number % 4 == 0) {
            record.status = vesk::JobStatus::rejected;
            record.error_code = "engine_failure";
            record.error_message = "Solid builder failed";
        }
        vesk::assign_job_paths(record, jobs);
        fs::copy(model, record.job_directory, fs::copy_options::recursive);
        vesk::persist_job_state(record);
    }
    return jobs;
}

// From the constructor's call to a serving service with every job recovered; the stop that
// follows is not timed.
void BM_ServiceStart(benchmark::State& state) {
    const fs::path jobs = finished_jobs(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto service = std::make_unique<vesk::LocalService>(options_for(jobs));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        service.reset();
    }
    fs::remove_all(jobs);
}
BENCHMARK(BM_ServiceStart)->Arg(0)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_RecoverJobs(benchmark::State& state) {
    const fs::path jobs = finished_jobs(static_cast<int>(state.range(0)));
    vesk::RecoveryHooks hooks;
    hooks.roll_forward = [](const fs::path&, const std::string&) { std::abort(); };
    hooks.append_metric = [](const vesk::JobRecord&) { std::abort(); };
    for (auto _ : state) benchmark::DoNotOptimize(vesk::recover_jobs(jobs, hooks));
    fs::remove_all(jobs);
}
BENCHMARK(BM_RecoverJobs)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

VESK_OCCT_BENCHMARK_MAIN()
