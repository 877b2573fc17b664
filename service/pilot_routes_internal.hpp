// The pilot submission body, which the tests check on its own.
#pragma once

#include <string_view>

#include "service/pilot_routes.hpp"

namespace vesk {

// The "vesk-z23-edur-job-v1" body as a submission; every refusal is a std::invalid_argument.
PilotSubmission parse_pilot_submission(std::string_view body);

}  // namespace vesk
