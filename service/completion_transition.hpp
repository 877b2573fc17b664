// Crash-safe completion transitions. Applying a decision touches the graph file, the
// decision log and "job_state.json"; one marker file "completion_transition.json" holds
// everything needed to finish the change (base graph, resulting graph, record, next state).
//
// A transition is split into a plan and its execution. The plan reads and checks only:
// the marker against a deterministic replay of its record, and against the job's durable
// state, graph file and log; it lists the writes that remain. Execution performs them in
// the order graph, log, state, marker removal. Beginning a transition plans against the
// current files before anything is written, so a refused decision leaves no marker behind;
// recovery at start plans from the marker on disk and executes the rest. Every write goes
// through the durable layer, whose fault points name each step ("replace:<file>:tmp",
// "replace:<file>:renamed", "remove:completion_transition.json:done").
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/dimension_graph.hpp"
#include "service/completion_decision.hpp"
#include "service/completion_record.hpp"
#include "service/job_lock.hpp"
#include "service/job_record.hpp"

namespace vesk {

inline constexpr std::string_view kCompletionTransitionSchema = "v19-completion-transition-v1";

// A failure while a transition's files were being written, from the marker on; the marker
// may be left for recovery.
class CompletionStorageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A validated job-state object, as the marker holds it or as "job_state.json" reads.
struct TransitionJobState {
    std::string drawing_id;
    std::string graph_filename;
    std::string source_filename;
    bool reader_provider_input = false;
    JobStatus status = JobStatus::queued;
    double duration_ms = 0.0;
    SortedJson error;  // null or {"code", "message"}
    bool holds_record = false;
    std::vector<CompletionRecord> completion_records;
};

// parse_job_state in the transition's words, once every member is known to be present;
// then the state's copy of `record`, if any, must equal it, and a marker's state must hold
// it. std::runtime_error "Completion transition state ..." (and the messages of
// require_text_field, parse_job_status and parse_completion_record).
TransitionJobState parse_transition_state(const SortedJson& state, const std::string& job_id,
                                          const CompletionRecord& record, bool is_marker);

std::filesystem::path completion_transition_path(const std::filesystem::path& job_directory);

// The writes that remain once every check has passed.
struct CompletionTransitionPlan {
    std::filesystem::path job_directory;
    std::string job_id;
    std::string marker_text;
    CompletionApplication replay;               // the record applied again to the base graph
    std::optional<std::string> graph_text;      // canonical replay text, when the graph file is rewritten
    std::filesystem::path graph_path;
    std::optional<CompletionRecord> journal;    // the record, when the log lacks it
    std::optional<std::string> state_text;      // the marker's state, when job_state.json lacks it
};

// Checks the application against its replay and plans it against the current files, then
// writes the marker and executes the plan. Nothing is written when a check fails (its
// error propagates as it is); a failed write is a CompletionStorageError.
// `next_state` carries the job directory and id. Returns the executed plan.
CompletionTransitionPlan begin_completion_transition(const JobLock& lock, const JobRecord& next_state,
                                                     const DimensionGraph& base_graph,
                                                     const CompletionApplication& application);
// Rolls a marker found in the job directory forward and removes it.
void recover_completion_transition(const std::filesystem::path& job_directory, const std::string& job_id);
// "Cannot finalize completion transition '<path>': <reason>" / "... because the transition
// marker was already absent".
void finalize_completion_transition(const std::filesystem::path& marker_path);

}  // namespace vesk
