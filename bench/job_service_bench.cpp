// Graph jobs through the real vesk-service program over 127.0.0.1: submit-to-completed
// latency of the example plate on an idle service, and jobs per minute for 40 plate jobs
// submitted at once to 1, 2 and 4 workers. Counters: the service's own processor time
// per job (from its rusage once it has exited) and the load average when the run ended,
// since other work on the machine inflates wall times.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/service_jobs.hpp"
#include "support/service_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kThroughputJobs = 40;
constexpr auto kPoll = 2ms;

double load_average() {
    double load = 0.0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// Processor seconds of every child reaped so far.
double children_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A running service with `workers` workers in a fresh jobs directory.
class Service {
public:
    explicit Service(int workers)
        : process_({"--port", "0", "--jobs-dir", "jobs", "--workers", std::to_string(workers)}, dir_.path()),
          port_(process_.wait_until_serving()) {
        if (port_ == 0) throw std::runtime_error("vesk-service did not start: " + process_.error_output());
    }
    std::uint16_t port() const { return port_; }

    std::string submit(const std::string& body) const {
        const vesk::test::HttpReply reply = vesk::test::http_post(port_, "/api/jobs", body);
        if (reply.status != 202) throw std::runtime_error("submission refused: " + reply.body);
        return nlohmann::json::parse(reply.body).at("job_id").get<std::string>();
    }
    void wait_completed(const std::string& id) const {
        const nlohmann::json status = vesk::test::wait_for_job_end(port_, id, 300s, kPoll);
        if (status.value("status", "") != "completed") throw std::runtime_error(id + " did not complete: " + status.dump());
    }
    // Stops the service; returns its processor seconds.
    double stop() {
        const double before = children_cpu_seconds();
        process_.send_signal(SIGTERM);
        if (process_.wait(60s) != 0) throw std::runtime_error("vesk-service did not stop cleanly");
        return children_cpu_seconds() - before;
    }

private:
    vesk::test::TempDir dir_{"vesk-job-bench"};
    vesk::test::ServiceProcess process_;
    std::uint16_t port_;
};

const std::string& plate_body() {
    static const std::string body =
        vesk::test::graph_job_body(vesk::test::example_graph("plate_with_holes.json"), "plate");
    return body;
}

void BM_PlateLatency(benchmark::State& state) {
    try {
        Service service(1);
        service.wait_completed(service.submit(plate_body()));  // warm: first STEP translator use
        for (auto _ : state) {
            const auto start = Clock::now();
            service.wait_completed(service.submit(plate_body()));
            state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        }
        const double cpu = service.stop();
        state.counters["service_cpu_ms_per_job"] = cpu * 1e3 / static_cast<double>(state.iterations() + 1);
        state.counters["load1"] = load_average();
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}
double smallest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double largest(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

BENCHMARK(BM_PlateLatency)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(3)
    ->ComputeStatistics("min", smallest)
    ->ComputeStatistics("max", largest);

// 40 plate jobs submitted at once, from the first submission to the last completion.
void BM_PlateThroughput(benchmark::State& state) {
    const int workers = static_cast<int>(state.range(0));
    double cpu = 0.0;
    try {
        for (auto _ : state) {
            Service service(workers);
            const auto start = Clock::now();
            std::vector<std::string> ids;
            for (int i = 0; i < kThroughputJobs; ++i) ids.push_back(service.submit(plate_body()));
            for (const std::string& id : ids) service.wait_completed(id);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            state.SetIterationTime(seconds);
            state.counters["jobs_per_minute"] = kThroughputJobs * 60.0 / seconds;
            cpu += service.stop();
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    state.counters["service_cpu_ms_per_job"] =
        cpu * 1e3 / (static_cast<double>(state.iterations()) * kThroughputJobs);
    state.counters["load1"] = load_average();
}
BENCHMARK(BM_PlateThroughput)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ComputeStatistics("min", smallest)
    ->ComputeStatistics("max", largest);

}  // namespace

BENCHMARK_MAIN();
