#include "service/job_submission.hpp"
#include "service/job_submission_internal.hpp"

#include <cmath>
#include <stdexcept>
#include <system_error>

#include "intake/binding.hpp"
#include "intake/image_io.hpp"
#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "service/field_checks.hpp"
#include "service/http_request.hpp"
#include "service/job_record.hpp"
#include "service/job_store.hpp"

namespace vesk {
namespace {

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

[[noreturn]] void refuse(const std::string& message) {
    throw std::invalid_argument(message);
}

}  // namespace

std::string decode_base64(std::string_view text) {
    const char* invalid = "source_image.data_base64 is not valid base64";
    if (text.empty() || text.size() % 4 != 0) refuse(invalid);
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    const std::size_t data_end = text.size() - padding;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 - padding);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int value = 0;
            if (i + k < data_end) {
                value = base64_value(text[i + k]);
                if (value < 0) refuse(invalid);
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<char>((group >> 16) & 0xff));
        if (i + 2 < data_end) bytes.push_back(static_cast<char>((group >> 8) & 0xff));
        if (i + 3 < data_end) bytes.push_back(static_cast<char>(group & 0xff));
    }
    return bytes;
}

void require_png_signature(std::string_view bytes) {
    if (!bytes.starts_with(kPngSignature)) refuse("source_image must contain PNG bytes");
}

JobSubmission parse_job_submission(std::string_view body, bool provider_configured) {
    const SortedJson job = parse_json_body(body, "Job body is not valid JSON: ");
    if (!job.is_object()) refuse("Job body must be an object");
    if (const auto unknown = first_unknown_key(
            job, {"schema_version", "drawing_id", "graph_filename", "graph", "declared_dpi", "source_image"})) {
        refuse("Job body contains unknown field '" + *unknown + "'");
    }
    if (require_text_field(job, "schema_version", "job") != "vesk-local-job-v1") {
        refuse("job.schema_version must be 'vesk-local-job-v1'");
    }
    JobSubmission submission;
    submission.drawing_id = require_text_field(job, "drawing_id", "job");
    if (!is_safe_identifier(submission.drawing_id)) refuse("job.drawing_id contains unsafe characters or is too long");
    submission.graph_filename = require_text_field(job, "graph_filename", "job");
    if (const std::string why = graph_filename_refusal(submission.graph_filename, "job.graph_filename"); !why.empty()) {
        refuse(why);
    }
    if (job.contains("graph")) {
        if (!job["graph"].is_object()) refuse("job.graph must be a DimensionGraph object when supplied");
        submission.graph = job["graph"];
    } else {
        if (!provider_configured) refuse("job.graph is required when the reader provider is disabled");
        if (!job.contains("declared_dpi") || !job["declared_dpi"].is_number()) {
            refuse("job.declared_dpi must be supplied for reader-provider jobs");
        }
        submission.declared_dpi = job["declared_dpi"].get<double>();
        if (!std::isfinite(submission.declared_dpi) || submission.declared_dpi < kMinDeclaredDpi ||
            submission.declared_dpi > kMaxDeclaredDpi) {
            refuse("job.declared_dpi must be finite and between 72 and 1200");
        }
    }
    if (!job.contains("source_image") || !job["source_image"].is_object()) refuse("job.source_image must be an object");
    const SortedJson& image = job["source_image"];
    if (const auto unknown = first_unknown_key(image, {"filename", "media_type", "data_base64"})) {
        refuse("job.source_image contains unknown field '" + *unknown + "'");
    }
    submission.source_filename = require_text_field(image, "filename", "source_image");
    if (const std::string why = source_filename_refusal(submission.source_filename, "source_image.filename");
        !why.empty()) {
        refuse(why);
    }
    if (require_text_field(image, "media_type", "source_image") != "image/png") {
        refuse("source_image.media_type must be 'image/png'");
    }
    submission.source_bytes = decode_base64(require_text_field(image, "data_base64", "source_image"));
    require_png_signature(submission.source_bytes);
    return submission;
}

OrderedJson submit_job(JobStore& store, const DrawingReaderProvider* reader_provider, std::string_view body) {
    JobSubmission submission = parse_job_submission(body, reader_provider != nullptr);
    auto job = std::make_shared<JobRecord>();
    job->job_id = store.take_job_id();
    job->drawing_id = submission.drawing_id;
    job->graph_filename = submission.graph_filename;
    job->source_filename = submission.source_filename;
    job->reader_provider_input = !submission.graph.has_value();
    assign_job_paths(*job, store.directory());

    // Outside the job lock: nobody else sees the job until the store accepts it, and its
    // number is its own, so its directory is too.
    try {
        platform::create_directories_durably(job->job_directory);
    } catch (const platform::FileError& error) {
        throw std::runtime_error("Cannot create local job directory: " +
                                 std::system_category().message(error.error_number()));
    }
    write_service_file(job->source_png_path, submission.source_bytes);
    if (submission.graph) {
        write_service_file(job->graph_path, dump_json_document(*submission.graph));
    } else {
        // An empty working directory: the reader runs nothing inside the job's directory.
        const ReaderResponse response = reader_provider->read({job->drawing_id, job->source_png_path, {}});
        const BindingResult binding = bind_readings_to_raster(
            job->source_png_path, submission.declared_dpi, job->job_directory / kReaderNormalizedFilename, response);
        if (!binding.bound_graph) {
            throw std::invalid_argument("Reader provider output was rejected: " + binding_failure_reason(binding));
        }
        write_service_file(job->graph_path, dimension_graph_to_json(*binding.bound_graph));
    }
    store.accept(job);

    OrderedJson answer;
    answer["schema_version"] = "vesk-local-submit-v1";
    answer["job_id"] = job->job_id;
    answer["status"] = "queued";
    answer["status_url"] = "/api/jobs/" + job->job_id;
    answer["result_url"] = "/api/jobs/" + job->job_id + "/result";
    return answer;
}

}  // namespace vesk
