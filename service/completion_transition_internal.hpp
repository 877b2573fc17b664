// The steps of a completion transition, which the tests drive one by one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "service/completion_transition.hpp"

namespace vesk {

// The marker's text: six keys in written order, indent 2, final "\n".
std::string completion_transition_text(const std::string& job_id, const std::string& base_text,
                                       const std::optional<std::string>& graph_text, const CompletionRecord& record,
                                       const JobRecord& next_state);

// Checks a marker text against replay and the job directory's durable files, reading only.
CompletionTransitionPlan plan_completion_transition(const std::filesystem::path& job_directory,
                                                    const std::string& job_id, const std::string& marker_text);
// Writes what the plan lists, then removes the marker (which must be on disk).
void execute_completion_transition(const CompletionTransitionPlan& plan);

}  // namespace vesk
