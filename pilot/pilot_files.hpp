// File primitives of the pilot. Every pilot file goes through the durable layer: a state
// file pins other files by hash, so what it pins must be on disk before it is.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vesk {

// Writes "<path>.tmp", fsyncs it and renames it over path (directory fsynced too). The
// parent directories are created. A failed rename: std::runtime_error
// "Cannot atomically persist Z23-Edur state, errno N" (the tmp file is removed).
void write_file_atomically(const std::filesystem::path& path, std::string_view bytes);

// The same durable replacement for the job's data files; failures read
// "Cannot write Z23-Edur file: <path>" (cannot open) or
// "Failed while writing Z23-Edur file: <path>" (any later step).
void write_pilot_file(const std::filesystem::path& path, std::string_view bytes);

// Write-once record, created exclusively and fsynced with its directory. An existing
// file: std::invalid_argument "Z23-Edur decision identity already exists".
void write_once_record(const std::filesystem::path& path, std::string_view bytes);

// Whole file: "Cannot open Z23-Edur file: <path>" or "Cannot read Z23-Edur file: <path>".
std::string read_pilot_file(const std::filesystem::path& path);

// fsync of every regular file below root and of every directory on the way, root included
// (for files that other layers wrote plainly before a state file pins them).
void sync_pilot_tree(const std::filesystem::path& root);

// platform::create_directories_durably; its failures become "create_directories" with the
// file system's own error.
void create_pilot_directories(const std::filesystem::path& directory);

}  // namespace vesk
