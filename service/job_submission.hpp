// Job submission: POST /api/jobs from its body to a queued job, and the source image checks,
// which the pilot routes' submission body uses too.
#pragma once

#include <string>
#include <string_view>

#include "intake/reader_provider.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

class JobStore;

// Validates a "vesk-local-job-v1" body, stores the job's files (the source PNG, and the graph
// from the body or, with no graph, from the reader provider and the binding), then has the
// store persist it queued, register it and queue it; returns "vesk-local-submit-v1".
// `reader_provider` is null when disabled. std::invalid_argument for the client's mistakes,
// std::runtime_error for storage failures; the provider's and the binding's own errors pass
// through. A failure after the job number was taken leaves that number used up and the job
// directory with what was already written in it, and no state file.
OrderedJson submit_job(JobStore& store, const DrawingReaderProvider* reader_provider, std::string_view body);

// Standard base64 with "=" padding, no white space; refusal
// "source_image.data_base64 is not valid base64".
std::string decode_base64(std::string_view text);

// The 8-byte PNG signature; refusal "source_image must contain PNG bytes".
void require_png_signature(std::string_view bytes);

}  // namespace vesk
