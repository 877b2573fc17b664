// The operator review of a pilot job's candidates: the strict review body, the reviewed
// readings it yields and the write-once attempt record.
#pragma once

#include <string>

#include "intake/reader_response.hpp"
#include "pilot/pilot_record.hpp"

namespace vesk {

inline constexpr std::string_view kPilotReviewSchema = "z23-edur-review-v1";
// "review/<id>.json" must fit a ustar name ("review" as prefix, "<id>.json" within 100
// bytes), or the job could never be sealed after its review.
inline constexpr std::size_t kMaxReviewDecisionIdLength = 95;

// The checks of a review body against the job's candidates, in order; the reviewed
// response (operator-confirmed readings in decision order). Refusals are
// std::invalid_argument.
ReaderResponse parse_pilot_review(const PilotRecord& record, const SortedJson& body);

// The attempt record written once for every review that reaches binding.
OrderedJson review_attempt_to_json(const PilotRecord& record, const SortedJson& body,
                                   const std::vector<std::string>& binding_errors, bool accepted);

}  // namespace vesk
