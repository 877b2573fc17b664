#include "service/completion_log.hpp"
#include "service/completion_log_internal.hpp"

#include <cmath>
#include <set>
#include <stdexcept>
#include <system_error>

#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "service/field_checks.hpp"
#include "service/job_record.hpp"

namespace vesk {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// A broken log is a storage fault, never the client's: checks that report with
// std::invalid_argument keep their words but change type.
template <typename Check>
auto as_storage_fault(Check check) -> decltype(check()) {
    try {
        return check();
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(e.what());
    }
}

bool has_text(const SortedJson& object, const char* key, std::string_view expected) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() && found->get_ref<const std::string&>() == expected;
}

// Splits the log into its lines, refusing a torn tail and blank lines.
std::vector<std::string_view> split_log_lines(std::string_view content) {
    std::vector<std::string_view> lines;
    if (content.empty()) return lines;
    if (content.back() != '\n') fail("Completion decision log has a truncated final record");
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        if (end == start) fail("Completion decision log has an empty record");
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The reading path's entry check.
CompletionRecord read_entry(std::string_view line, const std::string& job_id) {
    SortedJson entry;
    try {
        entry = parse_strict_json(line);
    } catch (const std::exception&) {
        fail("Completion decision log has an invalid entry");
    }
    if (!entry.is_object()) fail("Completion decision log has an invalid entry");
    const std::string context = "completion decision log";
    const std::string schema = as_storage_fault([&] { return require_text_field(entry, "schema_version", context); });
    const std::string owner = as_storage_fault([&] { return require_text_field(entry, "job_id", context); });
    if (schema != kCompletionLogSchema || owner != job_id || !entry.contains("record")) {
        fail("Completion decision log has an invalid entry");
    }
    if (entry.size() != 3) fail("Completion decision log has an unknown field");
    return as_storage_fault([&] { return parse_completion_record(entry.at("record")); });
}

// The appending path's entry check, rule by rule in its own words.
CompletionRecord check_entry_for_append(std::string_view line, const std::string& job_id) {
    SortedJson entry;
    try {
        entry = parse_strict_json(line);
    } catch (const std::exception&) {
        fail("Completion decision log has an invalid entry");
    }
    if (!entry.is_object() || !has_text(entry, "schema_version", kCompletionLogSchema) ||
        !has_text(entry, "job_id", job_id) || !entry.contains("record") || !entry.at("record").is_object()) {
        fail("Completion decision log has an invalid entry");
    }
    if (entry.size() != 3) fail("Completion decision log has an unknown field");
    const SortedJson& json = entry.at("record");
    if (first_missing_key(json, kCompletionRecordKeys)) fail("Completion decision log record is incomplete");
    if (json.size() != kCompletionRecordKeys.size()) fail("Completion decision log record has an unknown field");

    for (const char* key : {"decision_id", "action", "target", "entity_id", "provenance", "status"}) {
        if (!json.at(key).is_string()) fail("Completion decision log record has invalid fields");
    }
    const auto& value = json.at("value");
    const auto& approved = json.at("approved_constraint_id");
    if (!(value.is_null() || value.is_number()) || !(approved.is_null() || approved.is_string())) {
        fail("Completion decision log record has invalid fields");
    }
    CompletionRecord record;
    record.decision_id = json.at("decision_id").get<std::string>();
    record.action = json.at("action").get<std::string>();
    record.target = json.at("target").get<std::string>();
    record.entity_id = json.at("entity_id").get<std::string>();
    record.provenance = json.at("provenance").get<std::string>();
    record.status = json.at("status").get<std::string>();
    if (!is_safe_identifier(record.decision_id) || record.target.empty() ||
        (!record.entity_id.empty() && !is_safe_identifier(record.entity_id))) {
        fail("Completion decision log record has unsafe identifiers");
    }
    if (approved.is_string()) {
        record.approved_constraint_id = approved.get<std::string>();
        if (!is_safe_identifier(*record.approved_constraint_id)) {
            fail("Completion decision log record has an unsafe target");
        }
    }
    if (value.is_number()) {
        record.value = value.get<double>();
        if (!std::isfinite(*record.value) || *record.value <= 0.0) {
            fail("Completion decision log record has an invalid value");
        }
    }
    switch (check_completion_coherence(record)) {
    case CompletionCoherence::coherent: break;
    case CompletionCoherence::user_value: fail("Completion decision log user record is incoherent");
    case CompletionCoherence::accepted: fail("Completion decision log accepted record is incoherent");
    case CompletionCoherence::deterministic: fail("Completion decision log deterministic record is incoherent");
    case CompletionCoherence::conflict: fail("Completion decision log conflict record is incoherent");
    case CompletionCoherence::provenance: fail("Completion decision log has an invalid provenance");
    case CompletionCoherence::rejected: fail("Completion decision log rejected record is incoherent");
    case CompletionCoherence::leave_missing: fail("Completion decision log leave-missing record is incoherent");
    case CompletionCoherence::action: fail("Completion decision log record has an invalid action");
    }
    return record;
}

// Absent is false; a failure to ask is refused.
bool log_exists(const fs::path& log_path) {
    std::error_code error;
    const fs::file_status status = fs::status(log_path, error);
    if (error && error != std::errc::no_such_file_or_directory) {
        fail("Cannot inspect completion decision log: " + error.message());
    }
    return fs::exists(status);
}

}  // namespace

std::string completion_log_line(const std::string& job_id, const CompletionRecord& record) {
    OrderedJson entry = OrderedJson::object();
    entry["schema_version"] = kCompletionLogSchema;
    entry["job_id"] = job_id;
    entry["record"] = completion_record_to_json(record);
    return dump_json_line(entry);
}

CompletionDecisionLog read_completion_decision_log(const fs::path& log_path, const std::string& job_id) {
    CompletionDecisionLog log;
    if (!log_exists(log_path)) return log;
    const std::string content = read_service_file(log_path);
    std::set<std::string> seen;
    for (std::string_view line : split_log_lines(content)) {
        CompletionRecord record = read_entry(line, job_id);
        if (!seen.insert(record.decision_id).second) fail("Completion decision log has a duplicate decision id");
        log.records.push_back(std::move(record));
    }
    log.exists = true;
    return log;
}

void append_completion_decision(const fs::path& log_path, const std::string& job_id, const CompletionRecord& record) {
    std::string content;
    if (log_exists(log_path)) content = read_completion_artifact(log_path);
    std::set<std::string> seen;
    for (std::string_view line : split_log_lines(content)) {
        if (!seen.insert(check_entry_for_append(line, job_id).decision_id).second) {
            fail("Completion decision log has a duplicate decision id");
        }
    }
    // The new line must read back: a record the reader would refuse, or a second entry
    // for one decision, would make the log unreadable at the next start.
    const std::string line = completion_log_line(job_id, record);
    check_entry_for_append(line, job_id);
    if (seen.count(record.decision_id) != 0) fail("Completion decision log has a duplicate decision id");
    content.append(line);
    content.push_back('\n');
    write_completion_artifact(log_path, content);
}

std::string read_completion_artifact(const fs::path& path) {
    try {
        return platform::read_file(path);
    } catch (const platform::FileError& e) {
        if (e.operation() == "open") fail("Cannot read completion artifact: " + path.string());
        fail("Failed while reading completion artifact");
    }
}

void write_completion_artifact(const fs::path& path, std::string_view bytes) {
    fs::path tmp = path;
    tmp += ".tmp";
    try {
        platform::replace_file_durably(path, bytes);
    } catch (const platform::FileError& e) {
        if (e.path() == tmp) {
            if (e.operation() == "open") fail("Cannot write completion artifact: " + tmp.string());
            fail("Failed while writing completion artifact");
        }
        fail("Cannot atomically replace completion artifact '" + path.string() + "' (errno " +
             std::to_string(e.error_number()) + ")");
    }
}

}  // namespace vesk
