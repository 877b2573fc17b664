// Jobs of the real vesk-service as the end-to-end tests submit them and wait for them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vesk::test {

// One of the examples/ graphs.
nlohmann::json example_graph(const std::string& example);

// The 8-byte PNG signature: all a graph job's source image must hold.
inline constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};

// A "vesk-local-job-v1" body for a graph, stored as "part.json" with the source image
// "part.png" (by default the signature alone).
std::string graph_job_body(const nlohmann::json& graph, const std::string& drawing_id,
                           std::string_view source_png = kPngSignature);
std::string example_job_body(const std::string& example, const std::string& drawing_id);

// The status document once the job has ended (completed or rejected), or the last one seen
// when the time-out passes; polls every `poll`.
nlohmann::json wait_for_job_end(std::uint16_t port, const std::string& job_id,
                                std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                std::chrono::milliseconds poll = std::chrono::milliseconds(20));

}  // namespace vesk::test
