#include "pilot/pilot_service.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "intake/image_io.hpp"
#include "intake/pdf_page_process.hpp"
#include "intake/raster_intake.hpp"
#include "intake/sha256.hpp"
#include "model/ascii_text.hpp"
#include "model/json_util.hpp"
#include "pilot/pilot_bundle.hpp"
#include "pilot/pilot_documents.hpp"
#include "pilot/pilot_files.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

// A source name must also be a ustar name of its own (the evidence bundle stores it at
// the top of the archive) and must not be a file that a later step writes.
constexpr std::size_t kMaxSourceFilenameLength = 100;
constexpr std::string_view kReservedSourceName = "reviewed_normalized.png";

bool is_own_file_name(const std::string& name) {
    return fs::path(name).filename().string() == name;
}

// Refusals of a submission, in order; they run before the lock is taken.
void check_submission(const PilotSubmission& submission) {
    if (!is_safe_identifier(submission.drawing_id)) {
        throw std::invalid_argument("Z23-Edur drawing_id is unsafe");
    }
    if (!is_safe_identifier(submission.source_filename) || !is_own_file_name(submission.source_filename) ||
        submission.source_filename.size() > kMaxSourceFilenameLength ||
        to_lower_ascii(submission.source_filename) == kReservedSourceName || submission.bytes.empty()) {
        throw std::invalid_argument("Z23-Edur source identity is unsafe");
    }
    const std::string extension = to_lower_ascii(fs::path(submission.source_filename).extension().string());
    const bool png = extension == ".png" && submission.media_type == "image/png";
    const bool pdf = extension == ".pdf" && submission.media_type == "application/pdf";
    if (!png && !pdf) throw std::invalid_argument("Z23-Edur accepts only matching PNG or PDF input");
    if (png && !submission.bytes.starts_with(kPngSignature)) {
        throw std::invalid_argument("Z23-Edur PNG signature is invalid");
    }
    if (pdf) require_pdf_signature(submission.bytes);
    if (png) {
        const std::optional<double>& dpi = submission.declared_dpi;
        if (!dpi || !std::isfinite(*dpi) || *dpi < kMinDeclaredDpi || *dpi > kMaxDeclaredDpi) {
            throw std::invalid_argument("Z23-Edur raster input requires one declared DPI in [72, 1200]");
        }
    }
}

void verify_persisted_artifact(const SortedJson& hashes, const std::string& key, const fs::path& path,
                               const std::string& context) {
    const std::string recorded = require_pilot_string_field(hashes, context, key);
    if (recorded.size() != 64 || !is_sha256_hex(recorded) || !fs::is_regular_file(fs::symlink_status(path)) ||
        sha256_file(path) != recorded) {
        throw std::runtime_error(context + ": persisted artifact '" + key + "' changed");
    }
}

// What writes a crash cut short left in a job directory and below it: a temporary that
// still exists never became its file. The reader's evidence is pinned by the digest of its
// tree as it stands, so it is left alone.
void discard_job_temporaries(const fs::path& directory, bool job_top) {
    platform::discard_temporaries(directory);
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        if (!fs::is_directory(entry.symlink_status())) continue;
        if (job_top && entry.path().filename() == "reader_evidence") continue;
        discard_job_temporaries(entry.path(), false);
    }
}

bool status_between(PilotStatus status, PilotStatus first, PilotStatus last) {
    return static_cast<std::uint32_t>(status) >= static_cast<std::uint32_t>(first) &&
           static_cast<std::uint32_t>(status) <= static_cast<std::uint32_t>(last);
}

}  // namespace

PilotService::PilotService(fs::path root, std::shared_ptr<DrawingReaderProvider> reader_provider, PilotSteps steps)
    : root_(std::move(root)), reader_provider_(std::move(reader_provider)), steps_(std::move(steps)) {
    create_pilot_directories(root_);
    recover_jobs();
    worker_ = std::thread([this] { worker_loop(); });
}

PilotService::~PilotService() {
    {
        // Set under the mutex so that a worker between its check and its wait sees it.
        std::lock_guard lock(mutex_);
        stopping_.store(true);
    }
    wake_.notify_all();
    worker_.join();
}

void PilotService::persist_job(const PilotRecord& record) {
    write_file_atomically(record.job_directory / kPilotStateFile, dump_json_document(pilot_state_to_json(record)));
}

void PilotService::reject_job(PilotRecord& record, const std::string& message) noexcept {
    try {
        record.status = PilotStatus::rejected;
        record.error_code = classify_pilot_error(message);
        record.error_message = message;
        try {
            persist_job(record);
        } catch (const std::exception& error) {
            // The job stays rejected in memory with the storage error; one retry.
            record.error_code = classify_pilot_error(error.what());
            record.error_message = error.what();
            persist_job(record);
        }
    } catch (...) {
        // Both writes failed: the state on disk is the last good one, which recovery re-queues.
    }
}

void PilotService::worker_loop() {
    for (;;) {
        std::shared_ptr<PilotRecord> record;
        std::optional<PilotRecord> snapshot;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_.load() || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and every queued job is done
            record = std::move(queue_.front());
            queue_.pop_front();
            if (record->status == PilotStatus::pending_analysis) {
                record->status = PilotStatus::analyzing;
            } else if (record->status == PilotStatus::queued_model) {
                record->status = PilotStatus::modeling;
            } else {
                continue;  // stale entry
            }
            try {
                persist_job(*record);
                snapshot = *record;
            } catch (const std::exception& error) {
                reject_job(*record, error.what());
                continue;
            } catch (...) {
                reject_job(*record, "Z23-Edur pilot worker failed");
                continue;
            }
        }
        run_one(record, std::move(*snapshot));
    }
}

void PilotService::run_one(const std::shared_ptr<PilotRecord>& record, PilotRecord snapshot) {
    const bool analysis = snapshot.status == PilotStatus::analyzing;
    std::string failure;
    try {
        const auto& step = analysis ? steps_.analyze : steps_.model;
        if (!step) throw std::logic_error("Z23-Edur pilot step is not available");
        step(snapshot);
        // The next state pins these files by hash: they reach the disk before it does.
        sync_pilot_tree(snapshot.job_directory);
        std::lock_guard lock(mutex_);
        try {
            record->binding_dpi = snapshot.binding_dpi;
            record->route = snapshot.route;
            record->route_reason_codes = snapshot.route_reason_codes;
            record->vector_units_verified = snapshot.vector_units_verified;
            record->candidates = snapshot.candidates;
            record->artifacts = snapshot.artifacts;
            record->reader_evidence_tree_sha256 = snapshot.reader_evidence_tree_sha256;
            record->evidence_bundle_path = snapshot.evidence_bundle_path;
            record->status = analysis ? PilotStatus::awaiting_review : PilotStatus::completed;
            persist_job(*record);
            return;
        } catch (const std::exception& error) {
            reject_job(*record, error.what());
            return;
        }
    } catch (const PdfPageInterrupted&) {
        // Cut short by the service's stop: the job stays as persisted ("analyzing"), and
        // recovery queues it again at the next start.
        return;
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "Z23-Edur pilot worker failed";
    }
    std::lock_guard lock(mutex_);
    reject_job(*record, failure);
}

OrderedJson PilotService::create_job(PilotSubmission submission) {
    check_submission(submission);
    OrderedJson status;
    {
        std::lock_guard lock(mutex_);
        // Job directories hold exactly eight digits: a larger number could never be recovered.
        if (counter_ >= kMaxPilotJobNumber) throw std::runtime_error("Z23-Edur pilot job numbers are exhausted");
        ++counter_;  // spent even when a later step fails
        auto record = std::make_shared<PilotRecord>();
        record->job_id = pilot_job_id(counter_);
        record->drawing_id = std::move(submission.drawing_id);
        record->source_filename = std::move(submission.source_filename);
        record->media_type = std::move(submission.media_type);
        record->declared_dpi = submission.declared_dpi;
        set_pilot_paths(*record, root_);
        if (fs::exists(fs::symlink_status(record->job_directory))) {
            throw std::runtime_error("Z23-Edur pilot job directory already exists: " + record->job_directory.string());
        }
        try {
            create_pilot_directories(record->job_directory);
            write_pilot_file(record->source_path, submission.bytes);
            persist_job(*record);
        } catch (...) {
            // A directory without a state file is not a job; leave none behind.
            std::error_code ignored;
            fs::remove_all(record->job_directory, ignored);
            throw;
        }
        jobs_.emplace(record->job_id, record);
        queue_.push_back(record);
        status = pilot_status_to_json(*record);
    }
    wake_.notify_one();
    return status;
}

std::optional<OrderedJson> PilotService::job_status(const std::string& job_id) {
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(job_id);
    if (it == jobs_.end()) return std::nullopt;
    return pilot_status_to_json(*it->second);
}

std::optional<fs::path> PilotService::find_artifact(const std::string& job_id, std::string_view name) {
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(job_id);
    if (it == jobs_.end()) return std::nullopt;
    const PilotRecord& record = *it->second;
    const bool preview_exists = fs::is_regular_file(fs::symlink_status(record.preview_path));
    return pilot_artifact_path(record, name, preview_exists);
}

void PilotService::recover_jobs() {
    // Listing order differs between file systems; recovery and the queue follow the names.
    std::vector<std::pair<std::string, std::uint64_t>> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_)) {
        if (!fs::is_directory(entry.symlink_status())) continue;
        std::string name = entry.path().filename().string();
        if (const auto number = parse_pilot_job_directory_name(name)) names.emplace_back(std::move(name), *number);
    }
    std::sort(names.begin(), names.end());
    // No writer runs yet (the worker starts after recovery), so every temporary is a leftover.
    platform::discard_temporaries(root_);
    for (const auto& [name, number] : names) discard_job_temporaries(root_ / name, true);
    for (const auto& [name, number] : names) {
        const fs::path directory = root_ / name;
        // A crash between the source write and the first persist leaves a directory
        // without a state file: not a job, but its number stays spent.
        if (!fs::exists(fs::symlink_status(directory / kPilotStateFile))) {
            counter_ = std::max(counter_, number);
            continue;
        }
        std::shared_ptr<PilotRecord> record = recover_job(directory, name);
        const bool queued =
            record->status == PilotStatus::pending_analysis || record->status == PilotStatus::queued_model;
        jobs_.emplace(name, record);
        if (queued) queue_.push_back(record);
        counter_ = std::max(counter_, number);
    }
}

std::shared_ptr<PilotRecord> PilotService::recover_job(const fs::path& directory, const std::string& name) {
    const SortedJson state = parse_strict_json(read_pilot_file(directory / kPilotStateFile));
    if (!has_exact_keys(state, pilot_state_keys()) ||
        require_pilot_string_field(state, name, "schema_version") != kPilotStateSchema ||
        require_pilot_string_field(state, name, "job_id") != name) {
        throw std::runtime_error("Persisted Z23-Edur job identity is invalid");
    }
    auto record = std::make_shared<PilotRecord>();
    record->job_id = name;
    record->drawing_id = require_pilot_string_field(state, name, "drawing_id");
    record->source_filename = require_pilot_string_field(state, name, "source_filename");
    record->media_type = require_pilot_string_field(state, name, "media_type");
    const SortedJson& hashes = state.at("artifact_sha256");
    if (!is_safe_identifier(record->drawing_id) || !is_safe_identifier(record->source_filename) ||
        !is_own_file_name(record->source_filename) ||
        (record->media_type != "image/png" && record->media_type != "application/pdf") || !hashes.is_object()) {
        throw std::runtime_error("Persisted Z23-Edur job fields are invalid");
    }
    set_pilot_paths(*record, root_);

    const SortedJson& source_sha256 = state.at("source_sha256");
    if (!source_sha256.is_string() || !fs::is_regular_file(fs::symlink_status(record->source_path)) ||
        sha256_file(record->source_path) != source_sha256.get<std::string>()) {
        throw std::runtime_error("Persisted Z23-Edur source identity changed");
    }
    if (!state.at("declared_dpi").is_null()) record->declared_dpi = state.at("declared_dpi").get<double>();
    if (!state.at("binding_dpi").is_null()) record->binding_dpi = state.at("binding_dpi").get<double>();
    if (!state.at("route").is_null()) record->route = state.at("route").get<std::string>();

    const SortedJson& reasons = state.at("route_reason_codes");
    if (!reasons.is_array()) throw std::runtime_error("Persisted Z23-Edur route reasons are invalid");
    for (const SortedJson& reason : reasons) {
        if (!reason.is_string() || !is_safe_identifier(reason.get_ref<const std::string&>())) {
            throw std::runtime_error("Persisted Z23-Edur route reason is invalid");
        }
        record->route_reason_codes.push_back(reason.get<std::string>());
    }
    record->vector_units_verified = state.at("vector_units_verified").get<bool>();

    if (!state.at("reader_evidence_tree_sha256").is_null()) {
        record->reader_evidence_tree_sha256 = require_pilot_string_field(state, name, "reader_evidence_tree_sha256");
        verify_reader_evidence_tree(*record);
    }
    record->status = parse_pilot_status(state.at("status").get<std::string>());

    const SortedJson& review = state.at("review_decision_id");
    if (!review.is_null()) {
        if (!review.is_string() || !is_safe_identifier(review.get_ref<const std::string&>())) {
            throw std::runtime_error("Persisted Z23-Edur review identity is invalid");
        }
        record->review_decision_id = review.get<std::string>();
        verify_persisted_artifact(hashes, "review", review_record_path(*record), name);
    }
    const SortedJson& candidate_file = state.at("candidate_file");
    if (!candidate_file.is_null()) {
        if (candidate_file != kPilotCandidatesFile) {
            throw std::runtime_error("Persisted Z23-Edur candidate path is invalid");
        }
        const fs::path path = record->job_directory / kPilotCandidatesFile;
        verify_persisted_artifact(hashes, "candidates", path, name);
        record->candidates = parse_agent_reader_v2_response(read_pilot_file(path), path.string());
    }

    const bool needs_candidates = status_between(record->status, PilotStatus::awaiting_review, PilotStatus::completed);
    const bool needs_review = status_between(record->status, PilotStatus::queued_model, PilotStatus::completed);
    if ((needs_candidates && (!record->candidates || record->route_reason_codes.empty())) ||
        (needs_review && !record->review_decision_id)) {
        throw std::runtime_error("Persisted Z23-Edur lifecycle evidence is incomplete");
    }
    if (record->review_decision_id) {
        verify_persisted_artifact(hashes, "reviewed_graph", record->reviewed_graph_path, name);
    }

    switch (record->status) {
    case PilotStatus::pending_analysis:
    case PilotStatus::analyzing:
        record->status = PilotStatus::pending_analysis;
        break;
    case PilotStatus::queued_model:
    case PilotStatus::modeling:
        record->status = PilotStatus::queued_model;
        break;
    case PilotStatus::completed: {
        record->artifacts = pilot_artifact_paths(record->job_directory);
        const PilotArtifacts& a = *record->artifacts;
        verify_persisted_artifact(hashes, "step", a.step, name);
        verify_persisted_artifact(hashes, "front_svg", a.front_svg, name);
        verify_persisted_artifact(hashes, "top_svg", a.top_svg, name);
        verify_persisted_artifact(hashes, "side_svg", a.side_svg, name);
        verify_persisted_artifact(hashes, "report_json", a.report_json, name);
        verify_persisted_artifact(hashes, "traffic_json", record->traffic_path, name);
        verify_persisted_artifact(hashes, "evidence_bundle", record->evidence_bundle_path, name);
        break;
    }
    case PilotStatus::awaiting_review:
    case PilotStatus::rejected:
        break;
    }
    return record;
}

void destroy_pilot_service(PilotService* service) {
    delete service;
}

PilotServicePtr make_pilot_service(fs::path root, std::shared_ptr<DrawingReaderProvider> reader_provider,
                                   PilotSteps steps) {
    return PilotServicePtr(new PilotService(std::move(root), std::move(reader_provider), std::move(steps)),
                           &destroy_pilot_service);
}

void require_pdf_signature(std::string_view bytes) {
    if (!bytes.starts_with("%PDF-")) throw std::invalid_argument("Z23-Edur PDF signature is invalid");
}

OrderedJson handle_pilot_create(PilotService& service, PilotSubmission submission) {
    return service.create_job(std::move(submission));
}

std::optional<OrderedJson> handle_pilot_status(PilotService& service, const std::string& job_id) {
    return service.job_status(job_id);
}

std::optional<fs::path> handle_pilot_artifact(PilotService& service, const std::string& job_id,
                                              std::string_view name) {
    return service.find_artifact(job_id, name);
}

}  // namespace vesk
