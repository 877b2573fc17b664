// One completion decision (POST /api/jobs/{id}/completion without the socket): parse,
// plan, apply, validate, replay, and the durable transition (marker, graph, log, state,
// marker removal). Graphs of 10, 100 and 300 entities (the most a sketch may have), and
// the 500th decision on one job, whose log and state are rewritten whole.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "service/completion_log_internal.hpp"
#include "service/completion_routes.hpp"
#include "service/job_record_internal.hpp"

namespace fs = std::filesystem;

namespace {

fs::path make_directory() {
    std::string pattern = (fs::temp_directory_path() / "vesk-completion-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

// A dimensioned 200 x 100 plate with holes, all diameters given but the last one's.
vesk::DimensionGraph plate_with_holes(int entities) {
    vesk::DimensionGraph graph;
    graph.views.push_back({"front", vesk::ViewType::front});
    const double corners[4][4] = {{0, 0, 200, 0}, {200, 0, 200, 100}, {200, 100, 0, 100}, {0, 100, 0, 0}};
    for (int i = 0; i < 4; ++i) {
        const std::string id = "edge_" + std::to_string(i + 1);
        graph.entities.push_back({id, vesk::EntityType::line, "front",
                                  vesk::LineGeometry{{corners[i][0], corners[i][1]}, {corners[i][2], corners[i][3]}}});
        graph.constraints.push_back({"len_" + std::to_string(i + 1),
                                     vesk::ConstraintType::distance,
                                     {id},
                                     i % 2 == 0 ? 200.0 : 100.0,
                                     0.9,
                                     {0, 0, 10, 10},
                                     std::nullopt});
    }
    const int holes = entities - 4;
    for (int h = 0; h < holes; ++h) {
        const std::string id = "hole_" + std::to_string(h + 1);
        const double x = 5.0 + 190.0 * (h % 40) / 40.0;
        const double y = 5.0 + 90.0 * (h / 40) / 25.0;
        graph.entities.push_back({id, vesk::EntityType::circle, "front", vesk::CircleGeometry{{x, y}, 1.0}});
        if (h + 1 < holes) {
            graph.constraints.push_back({"dia_" + std::to_string(h + 1),
                                         vesk::ConstraintType::diameter,
                                         {id},
                                         2.0,
                                         0.9,
                                         {0, 0, 10, 10},
                                         std::nullopt});
        }
    }
    return graph;
}

struct Job {
    fs::path jobs;
    std::shared_ptr<vesk::JobRecord> record;
    std::string state_text;
    std::string graph_text;
    std::string log_text;
};

Job make_job(int entities, int earlier_decisions) {
    Job job;
    job.jobs = make_directory();
    job.record = std::make_shared<vesk::JobRecord>();
    auto& r = *job.record;
    r.job_id = "job-00000001";
    r.drawing_id = "plate";
    r.graph_filename = "plate.json";
    r.source_filename = "plate.png";
    vesk::assign_job_paths(r, job.jobs);
    fs::create_directories(r.job_directory);
    r.status = vesk::JobStatus::rejected;
    r.error_code = "underconstrained_sketch";
    r.error_message = "Sketch is underconstrained";
    const vesk::DimensionGraph graph = plate_with_holes(entities);
    job.graph_text = vesk::dimension_graph_to_json(graph);
    const std::string target = "hole_" + std::to_string(entities - 4) + ".diameter";
    for (int i = 1; i <= earlier_decisions; ++i) {
        vesk::CompletionRecord record;
        record.decision_id = "earlier-" + std::to_string(i);
        record.action = "leave_missing";
        record.target = target;
        record.provenance = "user_decision";
        record.status = "left_missing";
        r.completion_records.push_back(record);
        job.log_text += vesk::completion_log_line(r.job_id, record) + "\n";
    }
    job.state_text = vesk::job_state_text(r);
    return job;
}

void restore(const Job& job, const vesk::JobRecord& saved) {
    *job.record = saved;
    vesk::platform::write_file(job.record->job_directory / "job_state.json", job.state_text);
    vesk::platform::write_file(job.record->graph_path, job.graph_text);
    const fs::path log = job.record->job_directory / "completion_decisions.jsonl";
    if (job.log_text.empty()) {
        fs::remove(log);
    } else {
        vesk::platform::write_file(log, job.log_text);
    }
}

void run_decisions(benchmark::State& state, int entities, int earlier_decisions) {
    const Job job = make_job(entities, earlier_decisions);
    const vesk::JobRecord saved = *job.record;
    vesk::JobStore store(job.jobs);
    vesk::HttpRequest request;
    request.method = "POST";
    request.headers["content-type"] = "application/json";
    request.body = R"({"schema_version":"v19-completion-decision-v1","decision_id":"next","action":"leave_missing",)"
                   R"("proposal_id":"missing-1","selected_entity_id":"","value":null})";
    for (auto _ : state) {
        state.PauseTiming();
        restore(job, saved);
        state.ResumeTiming();
        const auto response = vesk::handle_post_completion(store, job.record, request);
        if (response.status != 200) {
            state.SkipWithError(response.body.c_str());
            break;
        }
    }
    fs::remove_all(job.jobs);
}

void BM_DecisionByGraphSize(benchmark::State& state) { run_decisions(state, static_cast<int>(state.range(0)), 0); }
BENCHMARK(BM_DecisionByGraphSize)->Arg(10)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_FiveHundredthDecision(benchmark::State& state) { run_decisions(state, 10, 499); }
BENCHMARK(BM_FiveHundredthDecision)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
