// Anonymous job metrics: one compact line per job end in "<jobs>/metrics.jsonl", carrying
// no id, name or message, only the outcome, time, signal counts, code and load.
#pragma once

#include <filesystem>
#include <string>

#include "service/job_record.hpp"

namespace vesk {

inline constexpr std::string_view kMetricsFilename = "metrics.jsonl";

// Builds the line (reading the traffic file of a completed job; its read and parse errors
// pass through) and appends it whole in one write, fsynced. Nothing is appended when the
// traffic is unusable. Append failures: "Cannot append anonymous local job metrics" /
// "Failed while appending anonymous local job metrics".
void append_job_metric(const std::filesystem::path& jobs_directory, const JobRecord& record);

// At start, before any append: a last line that a crash cut short is cut off, so that the
// next line does not continue it.
void repair_job_metrics(const std::filesystem::path& jobs_directory);

}  // namespace vesk
