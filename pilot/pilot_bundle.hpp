// The evidence bundle that seals a pilot job: a manifest of every job file with its size
// and SHA-256, and a deterministic ustar archive of those files and the manifest.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pilot/pilot_record.hpp"

namespace vesk {

inline constexpr std::string_view kEvidenceManifestFile = "evidence_bundle_manifest.json";

struct EvidenceFileEntry {
    std::string path;  // relative to the job directory, "/" separated
    std::uint64_t bytes = 0;
    std::string sha256;
};

struct EvidenceMember {
    std::string name;  // name in the archive
    std::filesystem::path path;
    // When set, the copied bytes must hash to it, so the archive holds what the manifest says.
    std::optional<std::string> sha256;
};

bool compare_manifest_entries_by_path(const EvidenceFileEntry& a, const EvidenceFileEntry& b);

// Manifest, then archive; sets record.evidence_bundle_path.
void write_evidence_bundle(PilotRecord& record);

// Members are written in the order given; the caller sorts them.
void write_evidence_tar(const std::filesystem::path& archive_path, const std::vector<EvidenceMember>& members);

// Nothing when no tree hash is recorded; else the tree must hash to it exactly, or
// std::runtime_error "Z23-Edur reader evidence tree identity changed".
void verify_reader_evidence_tree(const PilotRecord& record);

}  // namespace vesk
