// Drawing reader providers: the one interface through which the service and the pilot
// obtain readings for a PNG drawing, and the factory that builds one from the service's
// settings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "intake/reader_response.hpp"

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

}  // namespace vesk
