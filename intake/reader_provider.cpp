#include "intake/reader_provider.hpp"

#include <map>
#include <stdexcept>
#include <utility>

#include "intake/embedded_reader_provider.hpp"
#include "intake/provider_inputs.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxDrawingIdLength = 128;
constexpr const char* kMockSchema = "vesk-reader-mock-manifest-v1";

class MockReaderProvider final : public DrawingReaderProvider {
public:
    MockReaderProvider(const fs::path& source, const fs::path& source_root) {
        const std::string label = "Reader mock manifest";
        const SortedJson manifest = read_json_file(source, label);
        const std::string schema = require_string_field(manifest, label, "schema_version");
        if (schema != kMockSchema || !manifest.contains("cases") || !manifest.at("cases").is_array() ||
            manifest.at("cases").empty()) {
            throw std::invalid_argument("Reader mock manifest must contain a non-empty cases array");
        }
        const SortedJson& cases = manifest.at("cases");
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const std::string case_label = "Reader mock cases[" + std::to_string(i) + "]";
            std::string drawing_id = require_string_field(cases[i], case_label, "drawing_id");
            if (!is_safe_drawing_id(drawing_id)) {
                throw std::invalid_argument(case_label + ": drawing_id is unsafe");
            }
            const std::string response = require_string_field(cases[i], case_label, "response");
            const fs::path fixture = source_root / safe_relative_path(response, case_label + ".response");
            ReaderResponse loaded = load_reader_response(fixture, drawing_id);
            if (!responses_.emplace(drawing_id, std::move(loaded)).second) {
                throw std::invalid_argument("Reader mock manifest contains duplicate drawing_id '" + drawing_id +
                                            "'");
            }
        }
    }

    std::string_view name() const override { return "mock"; }

    // Exact lookup: an id the rule would refuse is simply not a fixture.
    ReaderResponse read(const ReaderRequest& request) const override {
        const auto found = responses_.find(request.drawing_id);
        if (found == responses_.end()) {
            throw std::runtime_error("Reader mock has no fixture for '" + request.drawing_id + "'");
        }
        return found->second;
    }

private:
    std::map<std::string, ReaderResponse> responses_;
};

class FileReaderProvider final : public DrawingReaderProvider {
public:
    explicit FileReaderProvider(fs::path directory) : directory_(std::move(directory)) {
        if (!fs::is_directory(fs::status(directory_))) {
            throw std::invalid_argument("Reader file provider source must be an existing directory");
        }
    }

    std::string_view name() const override { return "file"; }

    // The id becomes a file name, so it is checked before anything touches the disk.
    ReaderResponse read(const ReaderRequest& request) const override {
        if (!is_safe_drawing_id(request.drawing_id)) {
            throw std::invalid_argument("Reader request drawing_id is unsafe");
        }
        return load_reader_response(directory_ / (request.drawing_id + ".json"), request.drawing_id);
    }

private:
    fs::path directory_;
};

}  // namespace

ReaderProviderKind parse_reader_provider_kind(std::string_view text) {
    if (text == "disabled") return ReaderProviderKind::disabled;
    if (text == "mock") return ReaderProviderKind::mock;
    if (text == "file") return ReaderProviderKind::file;
    if (text == "embedded") return ReaderProviderKind::embedded;
    throw std::invalid_argument("Unknown reader provider kind '" + std::string(text) + "'");
}

std::shared_ptr<DrawingReaderProvider> make_reader_provider(const ReaderProviderSettings& settings) {
    switch (settings.kind) {
    case ReaderProviderKind::disabled:
        return nullptr;
    case ReaderProviderKind::mock:
        if (settings.source.empty() || settings.source_root.empty()) {
            throw std::invalid_argument("Mock reader provider requires manifest source and source_root");
        }
        return std::make_shared<MockReaderProvider>(settings.source, settings.source_root);
    case ReaderProviderKind::file:
        if (settings.source.empty()) {
            throw std::invalid_argument("File reader provider requires a response directory");
        }
        return std::make_shared<FileReaderProvider>(settings.source);
    case ReaderProviderKind::embedded:
        if (settings.source.empty() || settings.source_root.empty()) {
            throw std::invalid_argument("Embedded reader provider requires manifest source and source_root");
        }
        return std::make_shared<EmbeddedReaderProvider>(settings.source, settings.source_root);
    }
    throw std::logic_error("Unknown reader provider kind");
}

bool is_safe_drawing_id(std::string_view id) {
    if (id.empty() || id.size() > kMaxDrawingIdLength) return false;
    for (const char c : id) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace vesk
