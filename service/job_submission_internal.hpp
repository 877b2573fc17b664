// The "vesk-local-job-v1" body of POST /api/jobs: its strict check and the pieces of the
// job it describes, which the tests check on their own. The acceptance itself (ids, files,
// queue) is the service's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/dimension_graph.hpp"
#include "service/job_submission.hpp"

namespace vesk {

struct JobSubmission {
    std::string drawing_id;
    std::string graph_filename;
    std::optional<SortedJson> graph;      // a graph job; none for a reader-provider job
    double declared_dpi = 0.0;            // reader-provider jobs only
    std::string source_filename;
    std::string source_bytes;  // the decoded PNG
};

// Every refusal is a std::invalid_argument with its fixed message, checked in a fixed
// order; `provider_configured` is false when the reader provider is disabled.
JobSubmission parse_job_submission(std::string_view body, bool provider_configured);

}  // namespace vesk
