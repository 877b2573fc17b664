// Jobs of the real vesk-service as the end-to-end tests submit them and wait for them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace vesk::test {

// A "vesk-local-job-v1" body for one of the examples/ graphs, stored as "part.json" with a
// signature-only "part.png".
std::string example_job_body(const std::string& example, const std::string& drawing_id);

// The status document once the job has ended (completed or rejected), or the last one seen
// when the time-out passes.
nlohmann::json wait_for_job_end(std::uint16_t port, const std::string& job_id,
                                std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace vesk::test
