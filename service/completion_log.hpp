// The job's completion decision log "completion_decisions.jsonl": one compact entry per
// applied decision, in the order taken. It only grows, and only by a durable rewrite of
// the whole file, so every earlier line keeps its first bytes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "service/completion_record.hpp"

namespace vesk {

inline constexpr std::string_view kCompletionLogSchema = "v19-completion-decision-v1";

struct CompletionDecisionLog {
    bool exists = false;
    std::vector<CompletionRecord> records;  // in file order
};

// Reads and checks the log strictly; an absent file is an empty history. Every refusal
// is a std::runtime_error ("Completion decision log has ...", or the record check's own
// message).
CompletionDecisionLog read_completion_decision_log(const std::filesystem::path& log_path, const std::string& job_id);

// Checks the present log line by line, then durably replaces it with its bytes plus one
// line for `record`. A record whose decision id is already journalled is refused, since
// the log would then be unreadable. Every failure leaves the old log as it was.
void append_completion_decision(const std::filesystem::path& log_path, const std::string& job_id,
                                const CompletionRecord& record);

// Whole-file read ("Cannot read completion artifact: <path>" / "Failed while reading
// completion artifact") and durable whole-file write ("Cannot write completion artifact:
// <path>" / "Failed while writing completion artifact" / "Cannot atomically replace
// completion artifact '<path>' (errno N)").
std::string read_completion_artifact(const std::filesystem::path& path);
void write_completion_artifact(const std::filesystem::path& path, std::string_view bytes);

}  // namespace vesk
