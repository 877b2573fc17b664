// Recovery of jobs at start: rebuilds the job map, the queue and the job counter from the
// job directories that earlier runs left in the jobs directory. Interrupted completion
// transitions are rolled forward first; waiting and running jobs are queued again; jobs
// whose files are gone become rejected jobs. A state file that cannot be trusted stops the
// start with a message naming the job, before any state file or metric line is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/pipeline.hpp"
#include "service/job_record.hpp"

namespace vesk {

inline constexpr std::string_view kRecoveryInputMissingCode = "recovery_input_missing";
inline constexpr std::string_view kRecoveryInputMissingMessage =
    "A recoverable local job is missing its graph or source PNG";
inline constexpr std::string_view kRecoveryArtifactMissingCode = "recovery_artifact_missing";
inline constexpr std::string_view kRecoveryArtifactMissingMessage =
    "A persisted completed job is missing one or more local artifacts";

// The pipeline's output names inside the job directory, from the stem of graph_path.
OutputPaths job_output_names(const JobRecord& record);

// What recovery calls out to. Both run single-threaded, before the service's threads.
struct RecoveryHooks {
    // Rolls the marker of a job directory forward and removes it.
    std::function<void(const std::filesystem::path& job_directory, const std::string& job_id)> roll_forward;
    // Appends one metric line for a job that recovery rejected.
    std::function<void(const JobRecord& record)> append_metric;
};

struct RecoveredJobs {
    std::vector<std::shared_ptr<JobRecord>> jobs;   // every recovered job, in name order
    std::vector<std::shared_ptr<JobRecord>> queue;  // the queued ones, in name order
    std::uint64_t next_job_number = 0;              // the highest number in use
};

// Visits the job directories in ascending name order. Every failure is an exception that
// ends the start. Leftovers of interrupted replaces in every job directory, with or without
// "job_state.json", are removed together with the other writes, after every directory has
// been checked. A directory without "job_state.json" is otherwise skipped untouched;
// its number is kept in use when it still holds a completion marker or decision log, so that
// a new job never inherits them.
RecoveredJobs recover_jobs(const std::filesystem::path& jobs_directory, const RecoveryHooks& hooks);

}  // namespace vesk
