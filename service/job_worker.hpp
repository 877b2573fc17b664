// What a job worker does with one job: run the pipeline, write the traffic report, embed
// the completion provenance, and end the job completed or rejected with an error code.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/dimension_graph.hpp"
#include "model/pipeline.hpp"
#include "service/completion_record.hpp"

namespace vesk {

class JobStore;

// One job worker: runs the store's queued jobs, oldest first, until the workers are told to
// stop and the queue is empty. The job lock is held only to mark, persist and count a job;
// the pipeline, the traffic report and the provenance run outside it.
void run_job_worker(JobStore& store) noexcept;

// The error code of a rejected run, from the first text of a fixed list found in the
// failure's message; "engine_failure" when none is.
std::string classify_job_error(std::string_view message);

// Constraint ids of the green entries of a traffic report, in report order. Entries that
// are not objects with a "signal", or green ones without a string id, are the JSON
// library's errors.
std::vector<std::string> drawing_proven_ids(const OrderedJson& traffic);

// Adds the provenance document to the report as its last member "completion_provenance"
// (an existing member keeps its place) and as a comment right before the first
// "END-ISO-10303-21;" of the STEP file. std::runtime_error
// "STEP terminator is missing for provenance" without one.
void write_completion_provenance(const OutputPaths& outputs, const std::vector<CompletionRecord>& records,
                                 const std::vector<std::string>& drawing_proven);

}  // namespace vesk
