// Graph jobs through the real vesk-service program over 127.0.0.1: submit-to-completed
// latency of the example plate on an idle service, and jobs per minute for 40 plate jobs
// submitted at once to 1, 2 and 4 workers. Counters: the service's own processor time
// per job (from its rusage once it has exited) and the load average when the run ended,
// since other work on the machine inflates wall times. Also the latency of status requests
// while a drawing of 8192 x 8191 pixels is read and bound through the file reader provider.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/drawing_generator.hpp"
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

std::vector<std::string> service_arguments(int workers, const std::vector<std::string>& more) {
    std::vector<std::string> args = {"--port", "0", "--jobs-dir", "jobs", "--workers", std::to_string(workers)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A running service with `workers` workers (and `more` arguments) in a fresh jobs directory.
class Service {
public:
    explicit Service(int workers, const std::vector<std::string>& more = {})
        : process_(service_arguments(workers, more), dir_.path()), port_(process_.wait_until_serving()) {
        if (port_ == 0) throw std::runtime_error("vesk-service did not start: " + process_.error_output());
    }
    std::uint16_t port() const { return port_; }
    std::filesystem::path jobs() const { return dir_.path() / "jobs"; }

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

// A reader-provider job body for a drawing of 8192 x 8191 pixels, and the file provider's
// response directory for it.
struct LargeUpload {
    vesk::test::TempDir dir{"vesk-job-bench-upload"};
    std::string body;
    LargeUpload() {
        vesk::test::PlateLayout layout;
        layout.sheet.width = 8192;
        layout.sheet.height = 8191;
        const vesk::test::Drawing drawing = vesk::test::plate_drawing(layout);
        vesk::test::write_bilevel_png(dir.path() / "large.png", drawing.render(), drawing.declared_dpi);
        std::filesystem::create_directory(dir.path() / "responses");
        vesk::test::write_file(dir.path() / "responses" / "large.json", drawing.reader_response_json("large"));
        body = nlohmann::json{{"schema_version", "vesk-local-job-v1"}, {"drawing_id", "large"},
                              {"graph_filename", "large.json"}, {"declared_dpi", drawing.declared_dpi},
                              {"source_image",
                               {{"filename", "large.png"}, {"media_type", "image/png"},
                                {"data_base64", vesk::test::base64_encode(vesk::test::read_file(dir.path() / "large.png"))}}}}
                   .dump();
    }
};

std::string post_request(std::uint16_t port, const std::string& body) {
    return "POST /api/jobs HTTP/1.1\r\n" + vesk::test::host_header(port) +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Status requests for another job, one every 20 ms, from the moment the upload's source is on
// disk (its binding begins) until it is answered: the slowest and the median latency.
void BM_StatusDuringUpload(benchmark::State& state) {
    try {
        const LargeUpload upload;
        for (auto _ : state) {
            Service service(2, {"--reader-provider", "file", "--reader-source", (upload.dir.path() / "responses").string()});
            const std::string other = service.submit(plate_body());
            service.wait_completed(other);
            const auto start = Clock::now();
            auto answer = std::async(std::launch::async, [&] {
                return vesk::test::http_exchange(service.port(), post_request(service.port(), upload.body), 600s);
            });
            while (!std::filesystem::exists(service.jobs() / "job-00000002" / "large.png") &&
                   answer.wait_for(1ms) != std::future_status::ready) {
            }
            const std::string status =
                "GET /api/jobs/" + other + " HTTP/1.1\r\n" + vesk::test::host_header(service.port()) + "\r\n";
            std::vector<double> latencies;
            while (answer.wait_for(0s) != std::future_status::ready) {
                const auto asked = Clock::now();
                if (vesk::test::parse_http_reply(vesk::test::http_exchange(service.port(), status, 600s)).status != 200) {
                    throw std::runtime_error("status request failed");
                }
                latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
                std::this_thread::sleep_for(20ms);
            }
            if (vesk::test::parse_http_reply(answer.get()).status != 400) throw std::runtime_error("upload not refused");
            state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
            std::sort(latencies.begin(), latencies.end());
            state.counters["status_max_ms"] = latencies.empty() ? 0.0 : latencies.back();
            state.counters["status_median_ms"] = latencies.empty() ? 0.0 : latencies[latencies.size() / 2];
            state.counters["statuses"] = static_cast<double>(latencies.size());
            service.stop();
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
    state.counters["load1"] = load_average();
}
BENCHMARK(BM_StatusDuringUpload)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
