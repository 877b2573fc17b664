// The embedded provider: runs the outside reader bridge for a drawing and checks the
// evidence it leaves behind. Reached only through make_reader_provider.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "intake/reader_provider.hpp"

namespace vesk {

class EmbeddedReaderProvider final : public DrawingReaderProvider {
public:
    // Reads and checks the provider manifest `source` against the installation under
    // `source_root`; throws on any fault.
    EmbeddedReaderProvider(const std::filesystem::path& source, const std::filesystem::path& source_root);

    std::string_view name() const override { return "embedded-local-pilot"; }
    ReaderResponse read(const ReaderRequest& request) const override;

private:
    std::filesystem::path source_;       // provider manifest, weakly canonical
    std::filesystem::path source_root_;  // installation directory, weakly canonical
    std::filesystem::path python_executable_;
    std::filesystem::path bridge_script_;
    std::string bridge_module_;
    std::string bridge_sha256_;  // pinned digests, checked again at every read
    std::filesystem::path runtime_config_;
    std::string runtime_config_sha256_;
    std::uint32_t timeout_seconds_ = 10;
};

// If path exists it must be a regular file (not a link) holding exactly bytes, else
// std::runtime_error "<label> identity changed"; a missing file is written.
void write_once_or_verify(const std::filesystem::path& path, std::string_view bytes, const std::string& label);

// Create or truncate, never through a symbolic link. "Reader provider cannot write file:
// <path>" or "Reader provider failed while writing file: <path>" (std::runtime_error).
void write_file(const std::filesystem::path& path, std::string_view bytes);

// The last 2048 bytes of a regular file (empty for anything else), cut at a character
// boundary, with every byte that is not valid UTF-8 replaced by U+FFFD, so the text can
// travel in a JSON document.
std::string read_log_tail(const std::filesystem::path& path);

// Checks evidence_manifest.json in evidence_directory against this read's request and
// every file it names; throws std::runtime_error on any fault.
void verify_evidence_manifest(const std::filesystem::path& evidence_directory,
                              const std::filesystem::path& response_path, const std::filesystem::path& input_png,
                              const std::string& drawing_id, const std::string& provider_manifest_sha256,
                              const std::string& runtime_config_sha256);

// One named file of the evidence: its path under path_key must be new in seen_paths,
// relative, inside evidence_directory and reached through no link, and it must be a
// regular file whose SHA-256 is the lower-case hex under digest_key.
void verify_evidence_file(const std::filesystem::path& evidence_directory, const SortedJson& entry,
                          const std::string& label, const std::string& digest_key, const std::string& path_key,
                          std::set<std::string>& seen_paths);

}  // namespace vesk
