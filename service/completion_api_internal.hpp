// The completion API's step that the tests check on its own.
#pragma once

#include "service/completion_api.hpp"

namespace vesk {

// The job as it stands after the decision: the record appended and, when the graph
// changed, queued again with no duration, error or artifacts.
JobRecord completion_next_state(const JobRecord& job, const CompletionApplication& application);

}  // namespace vesk
