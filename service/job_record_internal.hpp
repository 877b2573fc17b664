// The state file's exact text and the file name rules, which the tests and benchmarks check.
#pragma once

#include <string>
#include <string_view>

#include "service/job_record.hpp"

namespace vesk {

// The graph file name: a safe ".json" basename that is none of the job's own files
// ("job_state.json", "completion_transition.json", compared without case).
bool is_safe_graph_filename(std::string_view name);
// The source file name: a safe ".png" basename that is not "reader_normalized.png"
// (compared without case), which the binding writes.
bool is_safe_source_filename(std::string_view name);
// Indent 2, UTF-8 unescaped, final "\n".
std::string job_state_text(const JobRecord& record);

}  // namespace vesk
