// The decision log's line form, which the tests and benchmarks build on their own.
#pragma once

#include "service/completion_log.hpp"

namespace vesk {

// The compact entry line of a record, without the final "\n".
std::string completion_log_line(const std::string& job_id, const CompletionRecord& record);

}  // namespace vesk
