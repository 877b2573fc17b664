// The job directory naming rule, which the tests check on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "service/job_recovery.hpp"

namespace vesk {

// The number of a job directory name: "job-" and exactly eight digits, above 0. Any other
// name (including "job-00000000", "job-1", "job-000000001") has none.
std::optional<std::uint64_t> job_directory_number(std::string_view name);

}  // namespace vesk
