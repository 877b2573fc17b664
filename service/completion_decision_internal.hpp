// The completion decision body read from its raw text, which the tests check on its own.
#pragma once

#include <string_view>

#include "service/completion_decision.hpp"

namespace vesk {

// The strict JSON parse of the body, then the body checks of completion_decision_from_json.
CompletionDecision parse_completion_decision(std::string_view body);

}  // namespace vesk
