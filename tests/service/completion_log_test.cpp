#include "service/completion_log_internal.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "support/expect_error.hpp"
#include "support/fault_child.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

const std::string kJob = "job-00000003";

// A line as a person or an older build might have written it: "12.50" is not what the
// JSON writer would print, so the line must be copied, never re-encoded.
const std::string kHandLine =
    R"({"schema_version":"v19-completion-decision-v1","job_id":"job-00000003","record":{"decision_id":"d1",)"
    R"("action":"user_value","target":"h1.diameter","entity_id":"h1","approved_constraint_id":"completion_d1",)"
    R"("value":12.50,"provenance":"user_input","status":"approved_completion"}})";

CompletionRecord leave_missing(const std::string& id) {
    CompletionRecord record;
    record.decision_id = id;
    record.action = "leave_missing";
    record.target = "l3.length";
    record.provenance = "user_decision";
    record.status = "left_missing";
    return record;
}


// Replaces the first occurrence of `from` in the hand-written line.
std::string edited(const std::string& from, const std::string& to) {
    std::string line = kHandLine;
    line.replace(line.find(from), from.size(), to);
    return line;
}

void child_actions(const std::string& action, const std::string& argument) {
    if (action == "append") append_completion_decision(argument, kJob, leave_missing("d9"));
}
VESK_FAULT_CHILD_ACTIONS(child_actions);

TEST(DecisionLog, AppendKeepsEveryEarlierLineByteForByte) {
    const TempDir dir;
    const fs::path log = dir.path() / "completion_decisions.jsonl";
    EXPECT_FALSE(read_completion_decision_log(log, kJob).exists);

    append_completion_decision(log, kJob, leave_missing("d2"));
    const std::string first =
        R"({"schema_version":"v19-completion-decision-v1","job_id":"job-00000003","record":{"decision_id":"d2",)"
        R"("action":"leave_missing","target":"l3.length","entity_id":"","approved_constraint_id":null,)"
        R"("value":null,"provenance":"user_decision","status":"left_missing"}})"
        "\n";
    EXPECT_EQ(test::read_file(log), first);

    test::write_file(log, kHandLine + "\n");
    append_completion_decision(log, kJob, leave_missing("d2"));
    append_completion_decision(log, kJob, leave_missing("d3"));
    const std::string text = test::read_file(log);
    EXPECT_EQ(text.substr(0, kHandLine.size() + 1), kHandLine + "\n");
    EXPECT_EQ(text.substr(kHandLine.size() + 1, first.size()), first);
    EXPECT_FALSE(fs::exists(dir.path() / "completion_decisions.jsonl.tmp"));

    const auto back = read_completion_decision_log(log, kJob);
    ASSERT_TRUE(back.exists);
    ASSERT_EQ(back.records.size(), 3u);
    EXPECT_EQ(back.records[0].value, 12.5);
    EXPECT_EQ(back.records[2].decision_id, "d3");

    // A second entry for a journalled decision would make the log unreadable.
    EXPECT_EQ(
        test::error_message<std::runtime_error>([&] { append_completion_decision(log, kJob, leave_missing("d1")); }),
        "Completion decision log has a duplicate decision id");
    auto incoherent = leave_missing("d8");
    incoherent.value = 1.0;
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { append_completion_decision(log, kJob, incoherent); }),
              "Completion decision log leave-missing record is incoherent");
    EXPECT_EQ(test::read_file(log), text);
}

TEST(DecisionLog, BadLogsAreRefusedWithTheirMessages) {
    const std::string good = kHandLine + "\n";
    const struct {
        std::string content;
        std::string read;    // reading's message
        std::string append;  // appending's message
    } cases[] = {
        {kHandLine, "Completion decision log has a truncated final record",
         "Completion decision log has a truncated final record"},
        {good + "\n" + good, "Completion decision log has an empty record", "Completion decision log has an empty record"},
        {good + good, "Completion decision log has a duplicate decision id",
         "Completion decision log has a duplicate decision id"},
        {edited("{\"schema", "{\"note\":1,\"schema") + "\n", "Completion decision log has an unknown field",
         "Completion decision log has an unknown field"},
        {edited("job-00000003", "job-00000004") + "\n", "Completion decision log has an invalid entry",
         "Completion decision log has an invalid entry"},
        {edited("{\"schema", "{\"job_id\":\"job-00000003\",\"schema") + "\n",
         "Completion decision log has an invalid entry", "Completion decision log has an invalid entry"},
        {"[1]\n", "Completion decision log has an invalid entry", "Completion decision log has an invalid entry"},
        {edited("\"job_id\":\"job-00000003\",", "") + "\n", "completion decision log: field 'job_id' must be a string",
         "Completion decision log has an invalid entry"},
        {edited("\"value\":12.50,", "") + "\n", "Persisted completion record is incomplete",
         "Completion decision log record is incomplete"},
        {edited("\"value\"", "\"note\":1,\"value\"") + "\n", "Persisted completion record has an unknown field",
         "Completion decision log record has an unknown field"},
        {edited("12.50", "\"12.50\"") + "\n", "Persisted completion value is invalid",
         "Completion decision log record has invalid fields"},
        {edited("\"d1\"", "\"d 1\"") + "\n", "Persisted completion record has an unsafe identifier",
         "Completion decision log record has unsafe identifiers"},
        {edited("\"completion_d1\"", "\"c 1\"") + "\n", "Persisted approved completion id is unsafe",
         "Completion decision log record has an unsafe target"},
        {edited("12.50", "0") + "\n", "Persisted completion value is not positive and finite",
         "Completion decision log record has an invalid value"},
        {edited("\"completion_d1\"", "\"c1\"") + "\n", "Persisted user completion record is incoherent",
         "Completion decision log user record is incoherent"},
        {edited("\"user_value\"", "\"accept_suggestion\"") + "\n", "Persisted accepted completion provenance is invalid",
         "Completion decision log has an invalid provenance"},
        {edited("\"user_value\"", "\"guess\"") + "\n", "Persisted completion action is invalid",
         "Completion decision log record has an invalid action"},
    };
    const TempDir dir;
    const fs::path log = dir.path() / "completion_decisions.jsonl";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        test::write_file(log, c.content);
        EXPECT_EQ(test::error_message<std::runtime_error>([&] { read_completion_decision_log(log, kJob); }), c.read);
        EXPECT_EQ(test::error_message<std::runtime_error>(
                      [&] { append_completion_decision(log, kJob, leave_missing("d7")); }),
                  c.append);
        EXPECT_EQ(test::read_file(log), c.content);
    }
    fs::remove(log);
    fs::create_directory(log);
    EXPECT_EQ(test::error_message<std::runtime_error>([&] { read_completion_decision_log(log, kJob); }),
              "Cannot read local service artifact: " + log.string());
    EXPECT_EQ(
        test::error_message<std::runtime_error>([&] { append_completion_decision(log, kJob, leave_missing("d7")); }),
        "Failed while reading completion artifact");
}

TEST(DecisionLog, AppendCrashedAtEachFaultPointLeavesWholeOldOrNewLog) {
    const TempDir dir;
    const fs::path log = dir.path() / "completion_decisions.jsonl";
    const fs::path tmp = dir.path() / "completion_decisions.jsonl.tmp";
    const std::string old_text = kHandLine + "\n" + completion_log_line(kJob, leave_missing("d2")) + "\n";
    const std::string new_text = old_text + completion_log_line(kJob, leave_missing("d9")) + "\n";
    const struct {
        std::string fault;
        int exit_code;
        bool appended;
    } cases[] = {
        {"replace:completion_decisions.jsonl:tmp", 86, false},
        {"replace:completion_decisions.jsonl:tmp:torn", 86, false},
        {"replace:completion_decisions.jsonl:renamed", 86, true},
        {"replace:completion_decisions.jsonl:tmp:throw", test::kChildThrew, false},
        {"", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        test::write_file(log, old_text);
        fs::remove(tmp);
        const auto child = test::run_fault_child("append", log.string(), c.fault);
        EXPECT_EQ(child.exit_code, c.exit_code) << child.err;
        EXPECT_EQ(test::read_file(log), c.appended ? new_text : old_text);
        EXPECT_EQ(read_completion_decision_log(log, kJob).records.size(), c.appended ? 3u : 2u);
        if (c.exit_code == test::kChildThrew) {
            EXPECT_EQ(child.err, "Cannot atomically replace completion artifact '" + log.string() + "' (errno 5)\n");
            EXPECT_FALSE(fs::exists(tmp));
        }
    }
}

}  // namespace
}  // namespace vesk
