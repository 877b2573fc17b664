#include "service/job_worker.hpp"
#include "service/job_worker_internal.hpp"

#include <array>
#include <chrono>
#include <set>
#include <stdexcept>
#include <utility>

#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "service/completion_log.hpp"
#include "service/job_metrics.hpp"
#include "service/job_record.hpp"
#include "service/job_traffic.hpp"
#include "service/job_store.hpp"

namespace vesk {
namespace {

constexpr std::string_view kStepTerminator = "END-ISO-10303-21;";

double elapsed_ms(std::chrono::steady_clock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<double>(ns.count()) / 1e6;
}

}  // namespace

std::string classify_job_error(std::string_view message) {
    const auto has = [&](std::string_view text) { return message.find(text) != std::string_view::npos; };
    if (has("anonymous local job metrics")) return "local_metrics_write_failed";
    if (has("job state persistence failed")) return "job_state_persist_failed";
    if (has("DimensionGraph")) return "invalid_dimension_graph";
    if (has("Conflicting constraints")) return "conflicting_constraints";
    if (has("Underconstrained sketch")) return "underconstrained_sketch";
    for (std::string_view text : {"supports", "requires", "needs", "not closed", "disagree"}) {
        if (has(text)) return "unsupported_geometry";
    }
    return "engine_failure";
}

std::vector<std::string> drawing_proven_ids(const OrderedJson& traffic) {
    std::vector<std::string> ids;
    for (const OrderedJson& entry : traffic.at("dimensions")) {
        if (entry.at("signal") == "green") ids.push_back(entry.at("constraint_id").get<std::string>());
    }
    return ids;
}

OrderedJson completion_provenance_document(const std::vector<CompletionRecord>& records,
                                           const std::vector<std::string>& drawing_proven) {
    std::set<std::string> proven;
    for (const std::string& id : drawing_proven) {
        if (id.empty()) throw std::invalid_argument("Drawing-proven constraint id must not be empty");
        if (!proven.insert(id).second) throw std::invalid_argument("Drawing-proven constraint ids must be unique");
    }
    std::set<std::string> targets;
    OrderedJson approved = OrderedJson::array();
    for (const CompletionRecord& record : records) {
        if (record.status != kStatusApproved) continue;
        if (!record.approved_constraint_id || record.approved_constraint_id->empty()) {
            throw std::invalid_argument("Approved completion record must identify its target constraint");
        }
        if (record.provenance != kProvenanceUserInput && record.provenance != kProvenanceDeterministic &&
            record.provenance != kProvenanceConflict) {
            throw std::invalid_argument("Approved completion record has unknown provenance");
        }
        if (!targets.insert(*record.approved_constraint_id).second) {
            throw std::invalid_argument("Approved completion target constraint ids must be unique");
        }
        approved.push_back(completion_record_to_json(record));
    }
    for (const std::string& id : drawing_proven) {
        if (targets.count(id) != 0) {
            throw std::invalid_argument("Drawing-proven constraint ids cannot overlap approved completion targets");
        }
    }
    OrderedJson document;
    document["schema_version"] = "v19-completion-provenance-v1";
    document["drawing_proven_green"] = drawing_proven.size();
    document["drawing_proven_constraints"] = drawing_proven;
    document["approved_completion"] = approved.size();
    document["records"] = std::move(approved);
    return document;
}

void write_completion_provenance(const OutputPaths& outputs, const std::vector<CompletionRecord>& records,
                                 const std::vector<std::string>& drawing_proven) {
    const OrderedJson provenance = completion_provenance_document(records, drawing_proven);
    OrderedJson report = parse_strict_ordered_json(read_completion_artifact(outputs.report));
    report["completion_provenance"] = provenance;
    write_completion_artifact(outputs.report, dump_json_document(report));

    std::string step = read_completion_artifact(outputs.step);
    const std::size_t at = step.find(kStepTerminator);
    if (at == std::string::npos) throw std::runtime_error("STEP terminator is missing for provenance");
    step.insert(at, "/* VESK_V19_PROVENANCE " + dump_json_line(provenance) + " */\n");
    write_completion_artifact(outputs.step, step);
}

namespace {

// The rejection path of a run: record, persist and count the failure; never throws.
void reject_job(const JobLock&, const std::filesystem::path& jobs_directory, JobRecord& job, const std::string& message,
                double duration_ms) noexcept {
    try {
        job.duration_ms = duration_ms;
        job.error_code = classify_job_error(message);
        job.error_message = message;
        job.status = JobStatus::rejected;
        // A job that failed after "completed" was persisted has no usable outputs.
        job.artifacts.reset();
        bool persisted = false;
        try {
            persist_job_state(job);
            persisted = true;
        } catch (const std::exception& error) {
            job.error_message += std::string("; job state persistence also failed: ") + error.what();
        }
        try {
            append_job_metric(jobs_directory, job);
        } catch (const std::exception& error) {
            job.error_message += std::string("; anonymous metrics also failed: ") + error.what();
            // The record on disk and in memory stay the same: a later completion decision
            // copies the in-memory record, and recovery compares it with the file.
            if (persisted) {
                try {
                    persist_job_state(job);
                } catch (const std::exception& again) {
                    job.error_message += std::string("; job state persistence also failed: ") + again.what();
                }
            }
        }
    } catch (...) {
    }
}

// Runs one taken job to completed or rejected; never throws.
void run_job(JobStore& store, const std::shared_ptr<JobRecord>& job) noexcept {
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    try {
        {
            const JobLock held = store.lock();
            persist_job_state(*job);
        }
        // Fields of the running job that nothing else writes while it runs.
        const std::filesystem::path graph_path = job->graph_path;
        const std::filesystem::path job_directory = job->job_directory;
        const PipelineResult result = run_pipeline(graph_path, job_directory);
        const DimensionGraph graph = load_dimension_graph(graph_path);
        const std::filesystem::path traffic_path = job_directory / (graph_path.stem().string() + "_traffic.json");
        OrderedJson traffic = build_traffic_report(graph, job->drawing_id, !job->reader_provider_input);
        for (const CompletionRecord& record : job->completion_records) apply_completion_to_traffic(traffic, record);
        const std::vector<std::string> proven = drawing_proven_ids(traffic);
        write_service_file(traffic_path, dump_json_document(traffic));
        if (!job->completion_records.empty()) write_completion_provenance(result.outputs, job->completion_records, proven);
        // Each writer above made its file durable (synced, renamed, directory synced), so
        // "completed" vouches only for files already on disk.

        const double duration = elapsed_ms(start);
        const JobLock held = store.lock();
        try {
            job->duration_ms = duration;
            job->artifacts = result.outputs;
            job->traffic_path = traffic_path;
            job->status = JobStatus::completed;
            persist_job_state(*job);
            append_job_metric(store.directory(), *job);
        } catch (const std::exception& error) {
            // Under the same hold: nobody sees "completed" for a job that is not.
            reject_job(held, store.directory(), *job, error.what(), duration);
        }
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "Local job failed with an unknown error";
    }
    if (!failure.empty()) {
        try {
            const JobLock held = store.lock();
            reject_job(held, store.directory(), *job, failure, elapsed_ms(start));
        } catch (...) {
        }
    }
    try {
        store.end_run();
    } catch (...) {
    }
}

}  // namespace

void run_job_worker(JobStore& store) noexcept {
    for (;;) {
        std::shared_ptr<JobRecord> job;
        try {
            job = store.take_next_job();
        } catch (...) {
            return;  // the job mutex itself failed; nothing sound is left to do
        }
        if (!job) return;
        run_job(store, job);
    }
}

}  // namespace vesk
