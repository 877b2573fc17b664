// Drawing reader providers: the one interface through which the service and the pilot
// obtain readings for a PNG drawing, the factory that builds one from the service's
// settings, and the small file and path helpers the providers share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

struct ReaderRequest {
    std::string drawing_id;  // 1 to 128 bytes of a-z, 0-9, "_", "-"
    std::filesystem::path input_png;
    std::filesystem::path working_directory;  // the job's directory
};

// Every read either returns a response whose drawing_id equals the request's, or throws.
// Implementations keep no mutable state, so read may run on several threads at once.
class DrawingReaderProvider {
public:
    virtual ~DrawingReaderProvider() = default;
    virtual std::string_view name() const = 0;
    virtual ReaderResponse read(const ReaderRequest& request) const = 0;
};

enum class ReaderProviderKind : std::uint32_t { disabled = 0, mock = 1, file = 2, embedded = 3 };

struct ReaderProviderSettings {
    ReaderProviderKind kind = ReaderProviderKind::disabled;
    // mock: manifest file; file: response directory; embedded: provider manifest.
    std::filesystem::path source;
    // mock: directory of the fixtures; embedded: the reader installation.
    std::filesystem::path source_root;
};

// Exact "disabled", "mock", "file", "embedded"; else std::invalid_argument
// "Unknown reader provider kind '<text>'".
ReaderProviderKind parse_reader_provider_kind(std::string_view text);

// Empty pointer for disabled. Construction failures propagate unchanged.
std::shared_ptr<DrawingReaderProvider> make_reader_provider(const ReaderProviderSettings& settings);

// 1 to 128 bytes, each a lower-case ASCII letter, ASCII digit, "_" or "-".
bool is_safe_drawing_id(std::string_view id);

// Shared helpers.
std::string read_text_file(const std::filesystem::path& path);
SortedJson read_json_file(const std::filesystem::path& path, const std::string& label);
ReaderResponse load_reader_response(const std::filesystem::path& path, const std::string& expected_drawing_id);
std::string require_string_field(const SortedJson& object, const std::string& label, const std::string& key);
void reject_unknown_fields(const SortedJson& value, const std::vector<std::string>& allowed_keys,
                           const std::string& label);
std::filesystem::path safe_relative_path(const std::string& text, const std::string& label);
// The weakly canonical root/text, refused unless it stays inside root (path elements
// compared exactly: names that differ only in case are different files).
std::filesystem::path resolve_under_root(const std::filesystem::path& root, const std::string& text,
                                         const std::string& label);
std::string to_lower(std::string_view text);

}  // namespace vesk
