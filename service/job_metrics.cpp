#include "service/job_metrics.hpp"

#include <stdexcept>

#include "model/json_util.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace {

// "vesk-local-job-metric-v1", keys in written order. `traffic` is the parsed traffic report
// of a completed job (signals counted), ignored for any other status.
OrderedJson job_metric_document(const JobRecord& record, const SortedJson& traffic) {
    long long green = 0;
    long long yellow = 0;
    long long red = 0;
    if (record.status == JobStatus::completed) {
        if (!traffic.is_object() || !traffic.contains("dimensions") || !traffic["dimensions"].is_array()) {
            throw std::runtime_error("Completed local job traffic is invalid for metrics");
        }
        for (const SortedJson& entry : traffic["dimensions"]) {
            if (!entry.is_object() || !entry.contains("signal") || !entry["signal"].is_string()) {
                throw std::runtime_error("Completed local job traffic has an invalid signal");
            }
            const std::string& signal = entry["signal"].get_ref<const std::string&>();
            if (signal == "green") ++green;
            else if (signal == "yellow") ++yellow;
            else if (signal == "red") ++red;
            else throw std::runtime_error("Completed local job traffic has an unknown signal");
        }
    }
    OrderedJson document;
    document["schema_version"] = "vesk-local-job-metric-v1";
    document["status"] = to_string(record.status);
    document["duration_ms"] = record.duration_ms;
    document["flag_distribution"]["green"] = green;
    document["flag_distribution"]["yellow"] = yellow;
    document["flag_distribution"]["red"] = red;
    document["rejection_reason"] =
        record.status == JobStatus::rejected ? OrderedJson(record.error_code) : OrderedJson();
    document["active_jobs_at_start"] = record.active_jobs_at_start;
    return document;
}

}  // namespace

void append_job_metric(const std::filesystem::path& jobs_directory, const JobRecord& record) {
    SortedJson traffic;
    if (record.status == JobStatus::completed) traffic = parse_strict_json(read_service_file(record.traffic_path));
    const std::string line = dump_json_line(job_metric_document(record, traffic));
    try {
        platform::append_line(jobs_directory / kMetricsFilename, line);
    } catch (const platform::FileError& error) {
        if (error.operation() == "open") throw std::runtime_error("Cannot append anonymous local job metrics");
        throw std::runtime_error("Failed while appending anonymous local job metrics");
    }
}

void repair_job_metrics(const std::filesystem::path& jobs_directory) {
    platform::cut_unfinished_line(jobs_directory / kMetricsFilename);
}

}  // namespace vesk
