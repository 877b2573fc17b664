// The operator review of a pilot job's candidates: the strict review body, the reviewed
// readings it yields and the write-once attempt record.
#pragma once

#include <string>

#include "intake/reader_response.hpp"
#include "pilot/pilot_record.hpp"

namespace vesk {

// The checks of a review body against the job's candidates, in order; the reviewed
// response (operator-confirmed readings in decision order). Refusals are
// std::invalid_argument.
ReaderResponse parse_pilot_review(const PilotRecord& record, const SortedJson& body);

}  // namespace vesk
