// Whole-file reads and writes, crash-safe replacement, create-once records, appends and a
// directory lock. Every file the system writes goes through here, so that each durable
// step can be crashed on purpose in test builds (see fault_point).
#pragma once

#include <cstddef>
#include <cstdint>
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

// Whether an open follows a symbolic link at the path. Paths that another process may have
// planted (a reader's evidence, archive inputs) are opened with refuse: a link fails with
// ELOOP, and a write never waits on a FIFO.
enum class Links { follow, refuse };

// Reads a regular file whole. Opens without blocking and without waiting on a FIFO or a
// device; anything but a regular file fails with operation "read". A file larger than
// max_bytes fails with operation "size" and errno EFBIG.
std::string read_file(const std::filesystem::path& path, std::size_t max_bytes = kUnlimitedFileSize,
                      Links links = Links::follow);

// A regular file open for reading, for callers that stream (hashing) or read a prefix.
// open() refuses, with operation "open", anything that cannot be opened or is not a regular
// file (a FIFO or a device is never waited on); reads fail with operation "read".
class ReadableFile {
public:
    explicit ReadableFile(const std::filesystem::path& path, Links links = Links::follow);
    ~ReadableFile();
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;
    ReadableFile(ReadableFile&& other) noexcept;

    // Up to `size` bytes; 0 only at the end of the file.
    std::size_t read_some(void* buffer, std::size_t size);
    // Up to `size` bytes from `offset` (the file position is unchanged); 0 at the end.
    std::size_t read_at(std::uint64_t offset, void* buffer, std::size_t size);
    std::uint64_t size_when_opened() const noexcept { return size_; }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Plain write (create or truncate); no durability promise.
void write_file(const std::filesystem::path& path, std::string_view content, Links links = Links::follow);

// Crash-safe replacement: "<path>.tmp" is written, fsynced and closed, renamed over path,
// and the directory is fsynced. Readers see the whole old or the whole new content. On any
// failure the tmp file is removed and the old file is left as it was. The tmp name is
// fixed, so writers of one path must not run at once (the service holds a DirectoryLock);
// concurrent writers use TemporaryFile. A link at path is replaced, never followed.
// Fault points: "replace:<basename>:tmp" and "replace:<basename>:renamed".
void replace_file_durably(const std::filesystem::path& path, std::string_view content);

// replace_file_durably for content produced in pieces (an archive streamed from other
// files): "<path>.tmp" (a link there is refused) takes every append(); commit() fsyncs and
// closes it, renames it over path and fsyncs the directory. Removed by the destructor unless
// committed. Fault points as replace_file_durably ("torn" acts as "exit" here).
class StreamedReplacement {
public:
    explicit StreamedReplacement(std::filesystem::path path);
    ~StreamedReplacement();
    StreamedReplacement(const StreamedReplacement&) = delete;
    StreamedReplacement& operator=(const StreamedReplacement&) = delete;

    void append(std::string_view bytes);
    void commit();

private:
    std::filesystem::path path_;
    std::filesystem::path tmp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Whether a file name is one this layer writes only on the way to another name: a
// replace's "<name>.tmp" or a TemporaryFile's ".tmp~<pid>-<n>-<name>". The second form holds
// a '~', which no client-chosen identifier may, so no job file is ever taken for one.
bool is_temporary_name(std::string_view name);

// Recovery after a crash, while no writer in directory runs: removes every file directly
// in it whose name is_temporary_name (not recursive; the directory is fsynced when one was
// removed). The rename is the commit point, so a temporary that still exists never became
// its file. A missing directory is not an error.
void discard_temporaries(const std::filesystem::path& directory);

// A uniquely named file beside final_path, written completely and then renamed over it:
// concurrent writers of one final name never see or leave a torn file. The temporary name
// is plain ASCII, and library_path() names it in a form that a library which decodes path
// text as UTF-8 cannot misread. Removed by the destructor unless committed. The same
// fault points as replace_file_durably, named after final_path.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path final_path);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    TemporaryFile(TemporaryFile&& other) noexcept;

    const std::filesystem::path& path() const noexcept { return path_; }
    const std::filesystem::path& final_path() const noexcept { return final_path_; }
    std::string library_path() const;

    // Replaces the temporary content and fsyncs it (also after a library wrote the file).
    void write(std::string_view content);
    // Renames over final_path and fsyncs the directory; the content must be complete (content
    // a library wrote through library_path() is fsynced first).
    void commit();

private:
    std::filesystem::path final_path_;
    std::filesystem::path path_;
    std::string name_;
    int directory_fd_ = -1;
    bool synced_ = false;
    bool committed_ = false;
};

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Write-once record: fails with errno EEXIST when path already exists. The file and its
// directory are fsynced; a file this call created is removed again when writing it fails.
// Fault point: "create:<basename>:done".
void create_file_exclusively(const std::filesystem::path& path, std::string_view content);

// Appends line plus "\n" in one write (O_APPEND) and fsyncs. Only whole lines are left:
// when the write is short or fails, or the fsync fails, the file is cut back to its size
// before the write and the FileError is thrown. Assumes one writer of path at a time.
void append_line(const std::filesystem::path& path, std::string_view line);

// Recovery after a crash, while no writer of path runs: a file whose last line has no
// "\n" (an append the crash cut short) is cut back to its last "\n". A missing file is
// left missing; a whole one is only read, so it may be read-only.
void cut_unfinished_line(const std::filesystem::path& path);

// Unlinks path and fsyncs its directory; a missing file (or directory) is not an error.
// Fault point: "remove:<basename>:done".
void remove_file_durably(const std::filesystem::path& path);

// fsync of an existing file or directory.
void sync_file(const std::filesystem::path& path);
void sync_directory(const std::filesystem::path& directory);

// Makes directory and any missing parents (an existing directory is no error). Each directory
// this call makes is fsynced into its parent, so that a file made durable inside it is still
// reachable after a power loss. Fails with FileError "create" (a name taken by something
// else than a directory: ENOTDIR) or "sync".
void create_directories_durably(const std::filesystem::path& directory);

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
// meaningful at a replace's tmp point; elsewhere it acts as "exit") writes half of the tmp
// file, then exits 86. A malformed VESK_FAULT_AT ends the process with a message, so that a
// test never passes because its point silently stayed unarmed.
// Unarmed, a point costs one relaxed atomic load. Compiled out unless VESK_FAULT_POINTS.
inline constexpr int kFaultExitCode = 86;
void fault_point(std::string_view name);

}  // namespace vesk::platform
