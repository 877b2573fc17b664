// The provenance document that a worker embeds, which the tests check on its own.
#pragma once

#include "service/job_worker.hpp"

namespace vesk {

// "v19-completion-provenance-v1", keys in written order. std::invalid_argument for empty
// or repeated ids, bad approved records, or ids that overlap approved targets.
OrderedJson completion_provenance_document(const std::vector<CompletionRecord>& records,
                                           const std::vector<std::string>& drawing_proven);

}  // namespace vesk
