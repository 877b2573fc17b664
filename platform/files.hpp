// Whole-file reads and writes, crash-safe replacement, create-once records, appends and a
// directory lock. Every file the system writes goes through here, so that each durable
// step can be crashed on purpose in test builds (see fault_point).
#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk::platform {

// A failed file operation: what was attempted, on which path, and errno.
class FileError : public std::runtime_error {
public:
    FileError(std::string operation, std::filesystem::path path, int error_number);
    const std::string& operation() const noexcept { return operation_; }
    const std::filesystem::path& path() const noexcept { return path_; }
    int error_number() const noexcept { return error_number_; }

private:
    std::string operation_;
    std::filesystem::path path_;
    int error_number_;
};

inline constexpr std::size_t kUnlimitedFileSize = std::numeric_limits<std::size_t>::max();

// Reads a regular file whole. Opens without blocking and without waiting on a FIFO or a
// device; anything but a regular file fails with operation "read". A file larger than
// max_bytes fails with operation "size" and errno EFBIG.
std::string read_file(const std::filesystem::path& path, std::size_t max_bytes = kUnlimitedFileSize);

// Plain write (create or truncate); no durability promise.
void write_file(const std::filesystem::path& path, std::string_view content);

// Crash-safe replacement: "<path>.tmp" is written, fsynced and closed, renamed over path,
// and the directory is fsynced. Readers see the whole old or the whole new content. On any
// failure the tmp file is removed and the old file is left as it was.
// Fault points: "replace:<basename>:tmp" and "replace:<basename>:renamed".
void replace_file_durably(const std::filesystem::path& path, std::string_view content);

// Write-once record: fails with errno EEXIST when path already exists. The file and its
// directory are fsynced. Fault point: "create:<basename>:done".
void create_file_exclusively(const std::filesystem::path& path, std::string_view content);

// Appends line plus "\n" in one write (O_APPEND) and fsyncs.
void append_line(const std::filesystem::path& path, std::string_view line);

// Unlinks path and fsyncs its directory; a missing file is not an error.
// Fault point: "remove:<basename>:done".
void remove_file_durably(const std::filesystem::path& path);

// fsync of an existing file or directory.
void sync_file(const std::filesystem::path& path);
void sync_directory(const std::filesystem::path& directory);

// An exclusive, non-blocking flock on a lock file (created if missing, close-on-exec).
// Released when the object goes or the process ends.
class DirectoryLock {
public:
    // Returns false when another holder has the lock; throws FileError on other failures.
    bool try_acquire(const std::filesystem::path& lock_file);
    void release() noexcept;
    bool held() const noexcept { return fd_ >= 0; }

    DirectoryLock() = default;
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    DirectoryLock(DirectoryLock&& other) noexcept;
    DirectoryLock& operator=(DirectoryLock&& other) noexcept;
    ~DirectoryLock() { release(); }

private:
    int fd_ = -1;
};

// Named crash points for tests. VESK_FAULT_AT=<name>[#k][:exit|throw|torn] arms one point
// per process: on its k-th hit (default 1) "exit" ends the process with _exit(86) as a
// kill -9 would, "throw" raises a FileError as an I/O failure would, and "torn" (only
// meaningful at a replace's tmp point) writes half of the tmp file, then exits 86.
// Unarmed, a point costs one relaxed atomic load. Compiled out unless VESK_FAULT_POINTS.
inline constexpr int kFaultExitCode = 86;
bool fault_points_armed() noexcept;
void fault_point(std::string_view name);

}  // namespace vesk::platform
