// The state file's exact text, which the tests and benchmarks compare.
#pragma once

#include <string>

#include "service/job_record.hpp"

namespace vesk {

// Indent 2, UTF-8 unescaped, final "\n".
std::string job_state_text(const JobRecord& record);

}  // namespace vesk
