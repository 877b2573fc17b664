#include "service/completion_transition.hpp"
#include "service/completion_transition_internal.hpp"

#include <stdexcept>
#include <system_error>

#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "service/completion_log.hpp"
#include "service/field_checks.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

constexpr const char* kMarkerKeys[] = {"schema_version", "job_id", "base_graph", "graph", "record", "state"};

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

std::string transition_state_refusal(JobStateFault fault, const std::string&, const std::string&) {
    switch (fault) {
    case JobStateFault::not_object:
        return "Completion transition state is not an object";
    case JobStateFault::missing_member:
        return "Completion transition state is incomplete";
    case JobStateFault::unknown_member:
        return "Completion transition state has an unknown field";
    case JobStateFault::identity:
        return "Completion transition state has an invalid identity";
    case JobStateFault::unsafe_metadata:
        return "Completion transition state has unsafe metadata";
    case JobStateFault::reader_flag:
        return "Completion transition state has an invalid reader flag";
    case JobStateFault::duration_not_number:
    case JobStateFault::duration_invalid:
        return "Completion transition state has an invalid duration";
    case JobStateFault::records_not_array:
        return "Completion transition state has invalid records";
    case JobStateFault::duplicate_decision_ids:
        return "Completion transition state has duplicate decision ids";
    case JobStateFault::rejected_without_error:
        return "Completion transition rejected state has no error";
    case JobStateFault::error_without_rejection:
        return "Completion transition non-rejected state has an error";
    }
    throw std::logic_error("Unknown job state fault");
}

const JobStateWording kTransitionStateWording{"completion transition state", "completion transition error",
                                              &transition_state_refusal};

SortedJson read_json_file(const fs::path& path) {
    return parse_strict_json(read_service_file(path));
}

// Whether the log already journals the record (step by step as the roll-forward decides).
bool is_journaled(const CompletionDecisionLog& log, const TransitionJobState& durable, const TransitionJobState& next) {
    const auto& durable_records = durable.completion_records;
    const bool only_record = durable.holds_record && durable_records.size() == 1;
    if (!log.exists) {
        if (durable_records.empty() || only_record) return false;
        fail("Completion decision log omits durable history");
    }
    if (completion_records_equal(log.records, next.completion_records)) return true;
    if (!durable.holds_record && completion_records_equal(log.records, durable_records)) return false;
    if (log.records.empty() && (durable_records.empty() || only_record)) return false;
    fail("Completion decision log diverges from durable completion history");
}

CompletionTransitionPlan plan_from_marker(const fs::path& job_directory, const std::string& job_id,
                                          const std::string& marker_text, const CompletionApplication* known_replay) {
    SortedJson marker;
    try {
        marker = parse_strict_json(marker_text);
    } catch (const std::exception&) {
        fail("Completion transition is invalid");
    }
    if (!marker.is_object()) fail("Completion transition is invalid");
    const std::string context = "completion transition";
    if (require_text_field(marker, "schema_version", context) != kCompletionTransitionSchema ||
        require_text_field(marker, "job_id", context) != job_id || !marker.contains("state") ||
        !marker.at("state").is_object() || !marker.contains("base_graph") || !marker.at("base_graph").is_string() ||
        !marker.contains("graph") || !marker.contains("record")) {
        fail("Completion transition is invalid");
    }
    if (first_unknown_key(marker, kMarkerKeys)) fail("Completion transition has an unknown field");
    const CompletionRecord record = parse_completion_record(marker.at("record"));
    const SortedJson& state_json = marker.at("state");
    const TransitionJobState next = parse_transition_state(state_json, job_id, record, true);
    const std::string& base_text = marker.at("base_graph").get_ref<const std::string&>();
    if (base_text.empty()) fail("Completion transition base graph is empty");
    const SortedJson& graph = marker.at("graph");
    if (!graph.is_null() && !graph.is_string()) fail("Completion transition graph is invalid");

    CompletionTransitionPlan plan;
    plan.job_directory = job_directory;
    plan.job_id = job_id;
    plan.marker_text = marker_text;
    plan.replay = known_replay ? *known_replay : check_deterministic_replay(base_text, record);
    const std::string replay_text = canonical_graph_text(plan.replay.graph);

    if (!plan.replay.rerun) {
        if (!graph.is_null() || next.status != JobStatus::rejected) {
            fail("Completion transition non-rerun record has incoherent graph or state");
        }
    } else {
        if (!graph.is_string() || next.status != JobStatus::queued || next.duration_ms != 0.0 || !next.error.is_null()) {
            fail("Completion transition approved record has incoherent graph or state");
        }
        if (graph.get_ref<const std::string&>() != replay_text) {
            fail("Completion transition graph is not the deterministic replay result");
        }
        check_completion_graph(replay_text, record, "completion transition graph");
    }

    const TransitionJobState durable =
        parse_transition_state(read_json_file(job_directory / kJobStateFilename), job_id, record, false);
    if (durable.drawing_id != next.drawing_id || durable.graph_filename != next.graph_filename ||
        durable.source_filename != next.source_filename ||
        durable.reader_provider_input != next.reader_provider_input) {
        fail("Completion transition changes immutable job metadata");
    }
    if (durable.holds_record) {
        if (!completion_records_equal(durable.completion_records, next.completion_records)) {
            fail("Completion transition changes durable completion history");
        }
    } else {
        std::vector<CompletionRecord> appended = durable.completion_records;
        appended.push_back(record);
        if (!completion_records_equal(appended, next.completion_records)) {
            fail("Completion transition does not append exactly one completion record");
        }
    }
    if (!plan.replay.rerun &&
        (durable.status != JobStatus::rejected || durable.duration_ms != next.duration_ms || durable.error != next.error)) {
        fail("Completion transition changes rejected state metadata");
    }

    plan.graph_path = job_directory / durable.graph_filename;
    const std::string durable_text =
        canonical_graph_text(parse_dimension_graph(read_service_file(plan.graph_path), "durable completion graph"));
    const CompletionDecisionLog log =
        read_completion_decision_log(job_directory / kCompletionLogFilename, job_id);
    const bool journaled = is_journaled(log, durable, next);
    if (!journaled) plan.journal = record;

    if (durable.holds_record) {
        // The state was written last but one: only the journal and the marker remain.
        if (durable_text != replay_text) fail("Completion transition does not match the durable graph");
        return plan;
    }
    if (durable.status != JobStatus::rejected) fail("Completion transition cannot replace a durable non-rejected state");
    if (!plan.replay.rerun && durable_text != base_text) {
        fail("Completion transition non-rerun durable graph differs from its base");
    }
    if (durable_text != base_text && durable_text != replay_text) {
        fail("Completion transition durable graph is neither its base nor replay result");
    }
    if (durable_text == base_text) plan.graph_text = replay_text;
    // The state as read back from the marker: its keys come out in ascending byte order.
    plan.state_text = dump_json_document(state_json);
    return plan;
}

}  // namespace

fs::path completion_transition_path(const fs::path& job_directory) {
    return job_directory / kCompletionMarkerFilename;
}

TransitionJobState parse_transition_state(const SortedJson& state, const std::string& job_id,
                                          const CompletionRecord& record, bool is_marker) {
    // An incomplete state is refused before any member is read.
    if (state.is_object() && first_missing_key(state, kJobStateKeys)) fail("Completion transition state is incomplete");
    JobRecord read = parse_job_state(state, job_id, kTransitionStateWording);
    TransitionJobState parsed;
    parsed.drawing_id = std::move(read.drawing_id);
    parsed.graph_filename = std::move(read.graph_filename);
    parsed.source_filename = std::move(read.source_filename);
    parsed.reader_provider_input = read.reader_provider_input;
    parsed.status = read.status;
    parsed.duration_ms = read.duration_ms;
    parsed.error = state.at("error");
    parsed.completion_records = std::move(read.completion_records);
    for (const CompletionRecord& held : parsed.completion_records) {
        if (held.decision_id != record.decision_id) continue;
        if (!completion_record_equal(held, record)) {
            fail("Completion transition state record differs from its journal record");
        }
        parsed.holds_record = true;
    }
    if (is_marker && !parsed.holds_record) fail("Completion transition state omits its decision record");
    return parsed;
}

std::string completion_transition_text(const std::string& job_id, const std::string& base_text,
                                       const std::optional<std::string>& graph_text, const CompletionRecord& record,
                                       const JobRecord& next_state) {
    OrderedJson marker = OrderedJson::object();
    marker["schema_version"] = kCompletionTransitionSchema;
    marker["job_id"] = job_id;
    marker["base_graph"] = base_text;
    marker["graph"] = graph_text ? OrderedJson(*graph_text) : nullptr;
    marker["record"] = completion_record_to_json(record);
    marker["state"] = job_state_document(next_state);
    return dump_json_document(marker);
}

CompletionTransitionPlan plan_completion_transition(const fs::path& job_directory, const std::string& job_id,
                                                    const std::string& marker_text) {
    return plan_from_marker(job_directory, job_id, marker_text, nullptr);
}

void execute_completion_transition(const CompletionTransitionPlan& plan) {
    if (plan.graph_text) replace_file_atomically(plan.graph_path, *plan.graph_text);
    if (plan.journal) {
        append_completion_decision(plan.job_directory / kCompletionLogFilename, plan.job_id, *plan.journal);
    }
    if (plan.state_text) replace_file_atomically(plan.job_directory / kJobStateFilename, *plan.state_text);
    finalize_completion_transition(completion_transition_path(plan.job_directory));
}

CompletionTransitionPlan begin_completion_transition(const JobLock&, const JobRecord& next_state,
                                                     const DimensionGraph& base_graph,
                                                     const CompletionApplication& application) {
    const std::string base_text = canonical_graph_text(base_graph);
    const CompletionApplication replay = check_deterministic_replay(base_text, application.record);
    const std::string replay_text = canonical_graph_text(replay.graph);
    if (replay.rerun != application.rerun || replay_text != canonical_graph_text(application.graph)) {
        fail("Completion application cannot be persisted as a deterministic replay");
    }
    const std::optional<std::string> graph_text = replay.rerun ? std::optional<std::string>(replay_text) : std::nullopt;
    const std::string marker_text =
        completion_transition_text(next_state.job_id, base_text, graph_text, application.record, next_state);
    CompletionTransitionPlan plan = plan_from_marker(next_state.job_directory, next_state.job_id, marker_text, &replay);
    try {
        replace_file_atomically(completion_transition_path(next_state.job_directory), marker_text);
        execute_completion_transition(plan);
    } catch (const std::exception& e) {
        throw CompletionStorageError(e.what());
    }
    return plan;
}

void recover_completion_transition(const fs::path& job_directory, const std::string& job_id) {
    const std::string marker_text = read_service_file(completion_transition_path(job_directory));
    execute_completion_transition(plan_completion_transition(job_directory, job_id, marker_text));
}

void finalize_completion_transition(const fs::path& marker_path) {
    std::error_code error;
    const bool present = fs::exists(fs::symlink_status(marker_path, error));
    if (error && error != std::errc::no_such_file_or_directory) {
        fail("Cannot finalize completion transition '" + marker_path.string() + "': " + error.message());
    }
    if (!present) {
        fail("Cannot finalize completion transition '" + marker_path.string() +
             "' because the transition marker was already absent");
    }
    try {
        platform::remove_file_durably(marker_path);
    } catch (const platform::FileError& e) {
        fail("Cannot finalize completion transition '" + marker_path.string() + "': " +
             std::system_category().message(e.error_number()));
    }
}

}  // namespace vesk
