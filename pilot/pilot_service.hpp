// The pilot job store: its own job map, queue, counter and single worker thread, the
// durable state of every pilot job and its strict recovery at start.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "intake/reader_provider.hpp"
#include "pilot/pilot_record.hpp"

namespace vesk {

// The pilot root inside the service's jobs directory.
inline constexpr std::string_view kPilotRootName = "m23-pilot";

struct PilotSubmission {
    std::string drawing_id;
    std::string source_filename;
    std::string media_type;
    std::string bytes;
    std::optional<double> declared_dpi;
};

// The two steps that the worker runs on its private copy of a job, without the service
// lock. Each fills the fields it owns or throws; a throw rejects the job.
struct PilotSteps {
    std::function<void(PilotRecord&)> analyze;
    std::function<void(PilotRecord&)> model;
};

class PilotService {
public:
    // Creates root, recovers every job strictly, then starts the worker. Any failure
    // leaves nothing running.
    PilotService(std::filesystem::path root, std::shared_ptr<DrawingReaderProvider> reader_provider,
                 PilotSteps steps);
    // Stops the worker after it has emptied its queue.
    ~PilotService();
    PilotService(const PilotService&) = delete;
    PilotService& operator=(const PilotService&) = delete;

    // Checks and stores a submission and queues it; the status document of the new job.
    // Refusals are std::invalid_argument; storage failures pass through.
    OrderedJson create_job(PilotSubmission submission);
    // One operator review of a job awaiting review (held under the service mutex throughout,
    // binding included); the status document after an accepted review. Every refusal,
    // a binding that fails included, is a std::invalid_argument; file errors pass through.
    OrderedJson submit_review(const std::string& job_id, const SortedJson& body);
    std::optional<OrderedJson> job_status(const std::string& job_id);
    std::optional<std::filesystem::path> find_artifact(const std::string& job_id, std::string_view name);

    const std::filesystem::path& root() const { return root_; }
    const std::shared_ptr<DrawingReaderProvider>& reader_provider() const { return reader_provider_; }

private:
    void recover_jobs();
    std::shared_ptr<PilotRecord> recover_job(const std::filesystem::path& directory, const std::string& name);
    void worker_loop();
    void run_one(const std::shared_ptr<PilotRecord>& record, PilotRecord snapshot);
    void persist_job(const PilotRecord& record);
    // Rejects a job (mutex held) and persists that; never throws.
    void reject_job(PilotRecord& record, const std::string& message) noexcept;

    std::filesystem::path root_;
    std::shared_ptr<DrawingReaderProvider> reader_provider_;
    PilotSteps steps_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<std::string, std::shared_ptr<PilotRecord>> jobs_;
    std::deque<std::shared_ptr<PilotRecord>> queue_;
    std::uint64_t counter_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread worker_;
};

void destroy_pilot_service(PilotService* service);
using PilotServicePtr = std::unique_ptr<PilotService, void (*)(PilotService*)>;
PilotServicePtr make_pilot_service(std::filesystem::path root,
                                   std::shared_ptr<DrawingReaderProvider> reader_provider, PilotSteps steps);

// "%PDF-" leads the bytes; refusal std::invalid_argument "Z23-Edur PDF signature is invalid".
void require_pdf_signature(std::string_view bytes);

// Route entries.
OrderedJson handle_pilot_create(PilotService& service, PilotSubmission submission);
OrderedJson handle_pilot_review(PilotService& service, const std::string& job_id, const SortedJson& body);
std::optional<OrderedJson> handle_pilot_status(PilotService& service, const std::string& job_id);
std::optional<std::filesystem::path> handle_pilot_artifact(PilotService& service, const std::string& job_id,
                                                           std::string_view name);

}  // namespace vesk
