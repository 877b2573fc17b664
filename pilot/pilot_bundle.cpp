#include "pilot/pilot_bundle.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "intake/sha256.hpp"
#include "model/json_util.hpp"
#include "pilot/pilot_files.hpp"
#include "pilot/pilot_ustar.hpp"
#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kEvidenceBundleFile = "evidence_bundle.tar";
constexpr std::size_t kCopyChunk = 65'536;

bool excluded_from_bundle(const std::string& relative, const fs::path& path) {
    return relative == "pilot_state.json" || relative == "evidence_bundle.tar" ||
           relative == "evidence_bundle_manifest.json" || platform::is_temporary_name(path.filename().string());
}

// Opens an input without following a link: a file swapped for a link after the walk
// is still refused.
platform::ReadableFile open_input(const fs::path& path) {
    try {
        return platform::ReadableFile(path, platform::Links::refuse);
    } catch (const platform::FileError&) {
        throw std::runtime_error("Cannot read Z23-Edur evidence archive input");
    }
}

// Size and digest of one file from a single pass over its bytes.
EvidenceFileEntry digest_entry(const std::string& relative, const fs::path& path) {
    platform::ReadableFile in = open_input(path);
    Sha256Hasher hasher;
    std::string buffer(kCopyChunk, '\0');
    std::uint64_t total = 0;
    while (const std::size_t got = in.read_some(buffer.data(), buffer.size())) {
        hasher.update(buffer.data(), got);
        total += got;
    }
    return EvidenceFileEntry{relative, total, hasher.finish_hex()};
}

void write_or_throw(platform::StreamedReplacement& out, const char* bytes, std::size_t length) {
    try {
        out.append(std::string_view(bytes, length));
    } catch (const platform::FileError&) {
        throw std::runtime_error("Cannot finalize Z23-Edur evidence archive");
    }
}

// Appends one member: header, exactly `size` bytes of the file, padding.
void append_member(platform::StreamedReplacement& out, const EvidenceMember& member) {
    const auto [prefix, name] = split_ustar_path(member.name);
    platform::ReadableFile in = open_input(member.path);
    const std::uint64_t size = in.size_when_opened();
    const UstarHeader header = make_ustar_header(prefix, name, size);
    write_or_throw(out, header.data(), header.size());

    Sha256Hasher hasher;
    std::string buffer(kCopyChunk, '\0');
    std::uint64_t left = size;
    while (left > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyChunk));
        const std::size_t got = in.read_some(buffer.data(), want);
        if (got == 0) throw std::runtime_error("Z23-Edur evidence archive input was truncated");
        hasher.update(buffer.data(), got);
        write_or_throw(out, buffer.data(), got);
        left -= got;
    }
    if (member.sha256 && hasher.finish_hex() != *member.sha256) {
        throw std::runtime_error("Z23-Edur evidence archive input changed: " + member.name);
    }
    static const std::string zeros(kUstarBlockSize, '\0');
    write_or_throw(out, zeros.data(), ustar_padding(size));
}

OrderedJson read_reader_identity(const fs::path& evidence_manifest) {
    const SortedJson manifest = parse_strict_json(read_pilot_file(evidence_manifest));
    OrderedJson identity = OrderedJson::object();
    for (const char* key : {"provider_manifest_sha256", "runtime_config_sha256", "base_model_manifest_sha256", "device"}) {
        // A sorted value copied into the ordered document keeps ascending keys at every level.
        identity[key] = parse_strict_ordered_json(manifest.at(key).dump());
    }
    return identity;
}

// Every regular file below the job directory except the state, the bundle's own files and
// "*.tmp", sorted by path. A symbolic link anywhere is refused.
std::vector<EvidenceFileEntry> collect_evidence_files(const fs::path& job_directory) {
    std::vector<EvidenceFileEntry> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(job_directory)) {
        const fs::file_status own = entry.symlink_status();
        const std::string relative = entry.path().lexically_relative(job_directory).generic_string();
        // A link would seal bytes from outside the job under a job file's name.
        if (fs::is_symlink(own)) {
            throw std::runtime_error("Z23-Edur evidence bundle refuses the symbolic link '" + relative + "'");
        }
        if (!fs::is_regular_file(own) || excluded_from_bundle(relative, entry.path())) continue;
        entries.push_back(digest_entry(relative, entry.path()));
    }
    std::stable_sort(entries.begin(), entries.end(), compare_manifest_entries_by_path);
    return entries;
}

}  // namespace

bool compare_manifest_entries_by_path(const EvidenceFileEntry& a, const EvidenceFileEntry& b) {
    return a.path < b.path;  // std::string compares bytes as unsigned characters
}

void verify_reader_evidence_tree(const PilotRecord& record) {
    if (!record.reader_evidence_tree_sha256) return;
    const fs::path tree = record.job_directory / "reader_evidence";
    const std::string& recorded = *record.reader_evidence_tree_sha256;
    if (!fs::is_directory(fs::symlink_status(tree)) || !is_sha256_hex(recorded) ||
        sha256_directory_tree(tree) != recorded) {
        throw std::runtime_error("Z23-Edur reader evidence tree identity changed");
    }
}

void write_evidence_bundle(PilotRecord& record) {
    if (!record.review_decision_id) {
        throw std::runtime_error("Z23-Edur evidence bundle requires one durable operator review");
    }
    verify_reader_evidence_tree(record);
    record.evidence_bundle_path = record.job_directory / kEvidenceBundleFile;
    const std::vector<EvidenceFileEntry> files = collect_evidence_files(record.job_directory);
    const fs::path reader_manifest = record.job_directory / "reader_evidence" / "evidence_manifest.json";
    const bool has_reader_identity = fs::is_regular_file(fs::symlink_status(reader_manifest));

    OrderedJson manifest = OrderedJson::object();
    manifest["schema_version"] = "z23-edur-evidence-bundle-v1";
    manifest["job_id"] = record.job_id;
    manifest["drawing_id"] = record.drawing_id;
    manifest["source_filename"] = record.source_filename;
    manifest["source_sha256"] = sha256_file(record.source_path);
    manifest["route"] = json_or_null(!record.route.empty(), record.route);
    manifest["route_reason_codes"] = record.route_reason_codes;
    manifest["pilot_hold"] = true;
    manifest["direct_model_green"] = false;
    manifest["contains_source_derived_drawing_data"] = true;
    manifest["independent_ground_truth"] = false;
    manifest["operator_review_decision_id"] = *record.review_decision_id;
    manifest["operator_review_sha256"] = sha256_file(review_record_path(record));
    manifest["reader_evidence_tree_sha256"] = json_or_null(record.reader_evidence_tree_sha256);
    manifest["reader_identity"] = has_reader_identity ? read_reader_identity(reader_manifest) : OrderedJson(nullptr);
    manifest["rejection"] = nullptr;
    OrderedJson listed = OrderedJson::array();
    for (const EvidenceFileEntry& file : files) {
        OrderedJson entry = OrderedJson::object();
        entry["path"] = file.path;
        entry["bytes"] = file.bytes;
        entry["sha256"] = file.sha256;
        listed.push_back(std::move(entry));
    }
    manifest["files"] = std::move(listed);
    const std::string manifest_text = dump_json_document(manifest);
    const fs::path manifest_path = record.job_directory / kEvidenceManifestFile;
    write_file_atomically(manifest_path, manifest_text);

    std::vector<EvidenceMember> members;
    members.reserve(files.size() + 1);
    for (const EvidenceFileEntry& file : files) {
        members.push_back(EvidenceMember{file.path, record.job_directory / fs::path(file.path), file.sha256});
    }
    members.push_back(EvidenceMember{std::string(kEvidenceManifestFile), manifest_path, sha256_hex(manifest_text)});
    std::stable_sort(members.begin(), members.end(),
                     [](const EvidenceMember& a, const EvidenceMember& b) { return a.name < b.name; });
    write_evidence_tar(record.evidence_bundle_path, members);
}

void write_evidence_tar(const fs::path& archive_path, const std::vector<EvidenceMember>& members) {
    std::optional<platform::StreamedReplacement> out;
    try {
        out.emplace(archive_path);
    } catch (const platform::FileError&) {
        throw std::runtime_error("Cannot create Z23-Edur evidence archive");
    }
    for (const EvidenceMember& member : members) append_member(*out, member);
    static const std::string end(kUstarEndLength, '\0');
    write_or_throw(*out, end.data(), end.size());
    try {
        out->commit();
    } catch (const platform::FileError& error) {
        if (error.operation() == "rename") {
            throw std::runtime_error("Cannot publish Z23-Edur evidence archive, errno " +
                                     std::to_string(error.error_number()));
        }
        if (error.path().filename() == archive_path.filename().string() + ".tmp") {
            throw std::runtime_error("Cannot finalize Z23-Edur evidence archive");
        }
        throw;
    }
}

}  // namespace vesk
