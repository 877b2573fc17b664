#include "service/job_recovery.hpp"
#include "service/job_recovery_internal.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "model/json_util.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kJobDirectoryPrefix = "job-";
constexpr std::size_t kJobDirectoryDigits = 8;

bool exists_here(const fs::path& path) {
    // The entry itself, not what a link points at: a dangling link still occupies the name.
    return fs::exists(fs::symlink_status(path));
}

bool is_regular_here(const fs::path& path) { return fs::is_regular_file(fs::symlink_status(path)); }

struct Candidate {
    std::string name;
    std::uint64_t number = 0;
    fs::path directory;
};

// The job directories, sorted by name: the file system's own order is a hash order, and ids,
// queue order and metric lines must not depend on it.
std::vector<Candidate> list_job_directories(const fs::path& jobs_directory) {
    std::vector<Candidate> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(jobs_directory)) {
        const std::string name = entry.path().filename().string();
        const auto number = job_directory_number(name);
        if (!number || !fs::is_directory(entry.symlink_status())) continue;
        found.push_back({name, *number, entry.path()});
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) { return a.name < b.name; });
    return found;
}

SortedJson read_job_state(const fs::path& path, const std::string& name) {
    try {
        return parse_strict_json(read_service_file(path));
    } catch (const std::exception& e) {
        throw std::runtime_error("Cannot recover persisted local job '" + name + "': " + e.what());
    }
}

void mark_rejected(JobRecord& record, std::string_view code, std::string_view message) {
    record.status = JobStatus::rejected;
    record.error_code = code;
    record.error_message = message;
}

enum class RecoveryWrite { none, requeue, reject };

}  // namespace

std::optional<std::uint64_t> job_directory_number(std::string_view name) {
    if (name.size() != kJobDirectoryPrefix.size() + kJobDirectoryDigits) return std::nullopt;
    if (name.substr(0, kJobDirectoryPrefix.size()) != kJobDirectoryPrefix) return std::nullopt;
    std::uint64_t number = 0;
    for (const char c : name.substr(kJobDirectoryPrefix.size())) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number == 0) return std::nullopt;
    return number;
}

OutputPaths job_output_names(const JobRecord& record) {
    const std::string stem = record.graph_path.stem().string();
    const fs::path& directory = record.job_directory;
    return OutputPaths{directory / (stem + ".step"), directory / (stem + "_front.svg"), directory / (stem + "_top.svg"),
                       directory / (stem + "_side.svg"), directory / (stem + "_report.json")};
}

RecoveredJobs recover_jobs(const fs::path& jobs_directory, const RecoveryHooks& hooks) {
    RecoveredJobs recovered;
    // First every directory is read and checked; only then is anything written, so a state
    // file that stops the start leaves every other job's files and the metrics as they were.
    std::vector<std::pair<std::shared_ptr<JobRecord>, RecoveryWrite>> planned;
    std::vector<fs::path> stateless;
    for (const Candidate& candidate : list_job_directories(jobs_directory)) {
        const std::string& name = candidate.name;
        const fs::path state_path = candidate.directory / kJobStateFilename;
        const fs::path marker_path = candidate.directory / kCompletionMarkerFilename;
        if (!is_regular_here(state_path)) {
            // Never accepted: its files stay as they are, but for the temporaries of writes
            // that a crash cut short. A leftover marker or log would be taken for a new job's
            // history, so their number is not given out again.
            if (exists_here(marker_path) || exists_here(candidate.directory / kCompletionLogFilename)) {
                recovered.next_job_number = std::max(recovered.next_job_number, candidate.number);
            }
            stateless.push_back(candidate.directory);
            continue;
        }
        if (exists_here(marker_path)) {
            try {
                hooks.roll_forward(candidate.directory, name);
            } catch (const std::exception& e) {
                throw std::runtime_error("Cannot recover completion transition for local job '" + name +
                                         "': " + e.what());
            }
        }
        const SortedJson state = read_job_state(state_path, name);
        auto record = std::make_shared<JobRecord>(job_record_from_state(state, name));
        assign_job_paths(*record, jobs_directory);

        RecoveryWrite write = RecoveryWrite::none;
        switch (record->status) {
            case JobStatus::queued:
            case JobStatus::running:
                if (is_regular_here(record->graph_path) && is_regular_here(record->source_png_path)) {
                    record->status = JobStatus::queued;
                    record->duration_ms = 0.0;
                    write = RecoveryWrite::requeue;
                } else {
                    mark_rejected(*record, kRecoveryInputMissingCode, kRecoveryInputMissingMessage);
                    write = RecoveryWrite::reject;
                }
                break;
            case JobStatus::completed: {
                const OutputPaths outputs = job_output_names(*record);
                const bool whole = is_regular_here(record->source_png_path) && is_regular_here(record->graph_path) &&
                                   is_regular_here(record->traffic_path) && is_regular_here(outputs.step) &&
                                   is_regular_here(outputs.front_svg) && is_regular_here(outputs.top_svg) &&
                                   is_regular_here(outputs.side_svg) && is_regular_here(outputs.report);
                if (whole) {
                    record->artifacts = outputs;
                } else {
                    mark_rejected(*record, kRecoveryArtifactMissingCode, kRecoveryArtifactMissingMessage);
                    write = RecoveryWrite::reject;
                }
                break;
            }
            case JobStatus::rejected:
                break;
        }
        recovered.next_job_number = std::max(recovered.next_job_number, candidate.number);
        planned.emplace_back(std::move(record), write);
    }

    // A temporary that still exists never became its file (the rename is the commit point).
    for (const fs::path& directory : stateless) platform::discard_temporaries(directory);
    for (auto& [record, write] : planned) {
        platform::discard_temporaries(record->job_directory);
        if (write != RecoveryWrite::none) persist_job_state(*record);
        if (write == RecoveryWrite::reject) hooks.append_metric(*record);
        if (record->status == JobStatus::queued) recovered.queue.push_back(record);
        recovered.jobs.push_back(std::move(record));
    }
    return recovered;
}

}  // namespace vesk
