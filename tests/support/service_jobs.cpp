#include "support/service_jobs.hpp"

#include <filesystem>
#include <thread>

#include "support/http_client.hpp"
#include "support/run_process.hpp"

namespace vesk::test {

nlohmann::json example_graph(const std::string& example) {
    return nlohmann::json::parse(read_file(std::filesystem::path(VESK_SOURCE_DIR) / "examples" / example));
}

std::string graph_job_body(const nlohmann::json& graph, const std::string& drawing_id, std::string_view source_png) {
    const nlohmann::json body = {{"schema_version", "vesk-local-job-v1"},
                                 {"drawing_id", drawing_id},
                                 {"graph_filename", "part.json"},
                                 {"graph", graph},
                                 {"source_image",
                                  {{"filename", "part.png"},
                                   {"media_type", "image/png"},
                                   {"data_base64", base64_encode(source_png)}}}};
    return body.dump();
}

std::string example_job_body(const std::string& example, const std::string& drawing_id) {
    return graph_job_body(example_graph(example), drawing_id);
}

nlohmann::json wait_for_job_end(std::uint16_t port, const std::string& job_id, std::chrono::milliseconds timeout,
                                std::chrono::milliseconds poll) {
    nlohmann::json status;
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;) {
        status = nlohmann::json::parse(http_get(port, "/api/jobs/" + job_id).body);
        if (status["status"] == "completed" || status["status"] == "rejected") break;
        std::this_thread::sleep_for(poll);
    }
    return status;
}

}  // namespace vesk::test
