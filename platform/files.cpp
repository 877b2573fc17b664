#include "platform/files.hpp"
#include "platform/unique_fd.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::platform {
namespace fs = std::filesystem;

FileError::FileError(std::string operation, fs::path path, int error_number)
    : std::runtime_error("Cannot " + operation + " '" + path.string() + "' (errno " +
                         std::to_string(error_number) + ")"),
      operation_(std::move(operation)),
      path_(std::move(path)),
      error_number_(error_number) {}

namespace {

// Longest part of a final name kept in a temporary name (NAME_MAX is 255).
constexpr std::size_t kTemporaryNameStem = 64;
// A TemporaryFile's name: ".tmp~<pid>-<n>-<stem>"; a replace's is "<name>.tmp".
constexpr std::string_view kTemporaryPrefix = ".tmp~";
constexpr std::string_view kReplaceSuffix = ".tmp";
constexpr std::size_t kReadChunk = 65536;

enum class FaultMode { exit, throw_error, torn };

struct FaultPlan {
    std::string name;
    long hit_at = 1;
    FaultMode mode = FaultMode::exit;
};

std::atomic<bool> g_armed{false};
std::once_flag g_plan_once;
FaultPlan g_plan;
std::atomic<long> g_hits{0};

// Unarmed, a point costs this one relaxed load.
bool fault_points_armed() noexcept {
#ifdef VESK_FAULT_POINTS
    return g_armed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

[[noreturn]] void refuse_fault_plan(const std::string& spec) {
    std::fprintf(stderr, "VESK_FAULT_AT is malformed: '%s' (want <name>[#k][:exit|throw|torn])\n", spec.c_str());
    std::fflush(stderr);
    _exit(2);
}

void load_fault_plan() {
#ifdef VESK_FAULT_POINTS
    const char* spec = std::getenv("VESK_FAULT_AT");
    if (spec == nullptr || *spec == '\0') return;
    std::string text(spec);
    FaultPlan plan;
    if (auto colon = text.rfind(':'); colon != std::string::npos) {
        std::string mode = text.substr(colon + 1);
        bool known = true;
        if (mode == "exit") plan.mode = FaultMode::exit;
        else if (mode == "throw") plan.mode = FaultMode::throw_error;
        else if (mode == "torn") plan.mode = FaultMode::torn;
        else known = false;
        if (known) text.resize(colon);
    }
    if (auto hash = text.rfind('#'); hash != std::string::npos) {
        const std::string count = text.substr(hash + 1);
        char* end = nullptr;
        errno = 0;
        plan.hit_at = std::strtol(count.c_str(), &end, 10);
        if (count.empty() || *end != '\0' || errno != 0 || plan.hit_at < 1) refuse_fault_plan(spec);
        text.resize(hash);
    }
    if (text.empty()) refuse_fault_plan(spec);
    plan.name = text;
    g_plan = plan;
    g_armed.store(true, std::memory_order_release);
#endif
}

// Reads the plan before main, so a later setenv in a test parent never arms it.
struct ArmInit {
    ArmInit() { std::call_once(g_plan_once, load_fault_plan); }
} g_arm_init;

// Returns true when this hit of `name` is the armed one.
bool fault_fires(std::string_view name) {
    std::call_once(g_plan_once, load_fault_plan);
    if (!g_armed.load(std::memory_order_relaxed) || name != g_plan.name) return false;
    return g_hits.fetch_add(1) + 1 == g_plan.hit_at;
}

bool torn_armed() {
#ifdef VESK_FAULT_POINTS
    return fault_points_armed() && g_plan.mode == FaultMode::torn;
#else
    return false;
#endif
}

std::string tmp_point(const fs::path& final_path) {
    return "replace:" + final_path.filename().string() + ":tmp";
}

std::string renamed_point(const fs::path& final_path) {
    return "replace:" + final_path.filename().string() + ":renamed";
}

fs::path directory_of(const fs::path& path) {
    fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}


void write_all(int fd, std::string_view content, const fs::path& path) {
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError("write", path, errno);
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void fsync_fd(int fd, const fs::path& path) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) throw FileError("sync", path, errno);
    }
}

// Writes a replace's tmp content, fsyncs and closes it. In "torn" mode the armed tmp point
// fires here: half the bytes reach the disk and the process ends as if killed.
void write_tmp_content(UniqueFd& fd, std::string_view content, const fs::path& tmp, const fs::path& final_path) {
    if (torn_armed() && fault_fires(tmp_point(final_path))) {
        write_all(fd.get(), content.substr(0, content.size() / 2), tmp);
        ::fsync(fd.get());
        _exit(kFaultExitCode);
    }
    write_all(fd.get(), content, tmp);
    fsync_fd(fd.get(), tmp);
    if (fd.close() != 0) throw FileError("close", tmp, errno);
}

// The tmp point in the other modes, counted once per replace (torn counts it on writing).
void tmp_written(const fs::path& final_path) {
    if (fault_points_armed() && !torn_armed()) fault_point(tmp_point(final_path));
}

// The last kTemporaryNameStem bytes of a final name (its extension included, which some
// libraries read the format from), reduced to ASCII letters, digits, '.', '-' and '_'.
std::string ascii_stem(const fs::path& final_path) {
    std::string stem = final_path.filename().string();
    if (stem.size() > kTemporaryNameStem) stem.erase(0, stem.size() - kTemporaryNameStem);
    for (char& c : stem) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    return stem;
}

}  // namespace

void fault_point(std::string_view name) {
#ifdef VESK_FAULT_POINTS
    if (!fault_points_armed() || !fault_fires(name)) return;
    if (g_plan.mode == FaultMode::throw_error) throw FileError("write", fs::path(std::string(name)), EIO);
    _exit(kFaultExitCode);
#else
    (void)name;
#endif
}

ReadableFile::ReadableFile(const fs::path& path, Links links) : path_(path) {
    // O_NONBLOCK: opening a FIFO without a writer or a device must not wait.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (links == Links::refuse ? O_NOFOLLOW : 0);
    fd_ = ::open(path.c_str(), flags);
    if (fd_ < 0) throw FileError("open", path, errno);
    struct stat st {};
    int error = 0;
    if (::fstat(fd_, &st) != 0) error = errno;
    else if (!S_ISREG(st.st_mode)) error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (error != 0) {
        ::close(fd_);
        throw FileError("open", path, error);
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
}

ReadableFile::~ReadableFile() {
    if (fd_ >= 0) ::close(fd_);
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), size_(other.size_) {
    other.fd_ = -1;
}

std::size_t ReadableFile::read_some(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw FileError("read", path_, errno);
    }
}

std::size_t ReadableFile::read_at(std::uint64_t offset, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw FileError("read", path_, errno);
    }
}

std::string read_file(const fs::path& path, std::size_t max_bytes, Links links) {
    std::optional<ReadableFile> file;
    try {
        file.emplace(path, links);
    } catch (const FileError& error) {
        // A path that opened but is no regular file is a failed read, as documented.
        if (error.error_number() == EISDIR || error.error_number() == EINVAL) {
            throw FileError("read", path, error.error_number());
        }
        throw;
    }
    if (file->size_when_opened() > max_bytes) throw FileError("size", path, EFBIG);
    std::string content;
    content.reserve(static_cast<std::size_t>(file->size_when_opened()));
    char buffer[kReadChunk];
    // The file may grow while it is read; the cap holds for what is read.
    while (const std::size_t n = file->read_some(buffer, sizeof buffer)) {
        if (n > max_bytes - content.size()) throw FileError("size", path, EFBIG);
        content.append(buffer, n);
    }
    return content;
}

void write_file(const fs::path& path, std::string_view content, Links links) {
    // Refusing: no link is followed and a FIFO without a reader fails (ENXIO) instead of waiting.
    const int refuse = links == Links::refuse ? O_NOFOLLOW | O_NONBLOCK : 0;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | refuse, 0644));
    if (fd.get() < 0) throw FileError("open", path, errno);
    write_all(fd.get(), content, path);
    if (fd.close() != 0) throw FileError("close", path, errno);
}

void sync_file(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw FileError("open", path, errno);
    fsync_fd(fd.get(), path);
}

void sync_directory(const fs::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) throw FileError("open", directory, errno);
    fsync_fd(fd.get(), directory);
}

void create_directories_durably(const fs::path& directory) {
    // The missing directories, deepest first; made top down, each synced into its parent.
    std::vector<fs::path> missing;
    for (fs::path step = directory; !step.empty(); step = step.parent_path()) {
        struct stat st {};
        if (::stat(step.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) throw FileError("create", step, ENOTDIR);
            break;
        }
        if (errno != ENOENT) throw FileError("create", step, errno);
        missing.push_back(step);
        if (step == step.parent_path() || step.parent_path().empty()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) != 0) {
            const int error = errno;
            // Made meanwhile by another caller, which syncs its own entry.
            struct stat st {};
            if (error == EEXIST && ::stat(it->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            throw FileError("create", *it, error == EEXIST ? ENOTDIR : error);
        }
        sync_directory(directory_of(*it));
    }
}

void replace_file_durably(const fs::path& path, std::string_view content) {
    fs::path tmp = path;
    tmp += ".tmp";
    try {
        // O_NOFOLLOW: a link planted at the tmp name is never written through.
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (fd.get() < 0) throw FileError("open", tmp, errno);
        write_tmp_content(fd, content, tmp, path);
        tmp_written(path);
        if (::rename(tmp.c_str(), path.c_str()) != 0) throw FileError("rename", path, errno);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    if (fault_points_armed()) fault_point(renamed_point(path));
    sync_directory(directory_of(path));
}

StreamedReplacement::StreamedReplacement(fs::path path) : path_(std::move(path)), tmp_(path_) {
    tmp_ += ".tmp";
    fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) throw FileError("open", tmp_, errno);
}

StreamedReplacement::~StreamedReplacement() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(tmp_.c_str());
}

void StreamedReplacement::append(std::string_view bytes) {
    if (fd_ < 0) throw FileError("write", tmp_, EBADF);
    write_all(fd_, bytes, tmp_);
}

void StreamedReplacement::commit() {
    if (fd_ < 0) throw FileError("rename", path_, committed_ ? EALREADY : EBADF);
    if (torn_armed() && fault_fires(tmp_point(path_))) {
        // Half of what was appended reaches the disk, then the process ends as if killed.
        struct stat st {};
        if (::fstat(fd_, &st) == 0) (void)::ftruncate(fd_, st.st_size / 2);
        ::fsync(fd_);
        _exit(kFaultExitCode);
    }
    fsync_fd(fd_, tmp_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw FileError("close", tmp_, errno);
    tmp_written(path_);
    if (::rename(tmp_.c_str(), path_.c_str()) != 0) throw FileError("rename", path_, errno);
    committed_ = true;
    if (fault_points_armed()) fault_point(renamed_point(path_));
    sync_directory(directory_of(path_));
}

bool is_temporary_name(std::string_view name) {
    if (name.size() > kReplaceSuffix.size() && name.ends_with(kReplaceSuffix)) return true;
    if (!name.starts_with(kTemporaryPrefix)) return false;
    std::size_t at = kTemporaryPrefix.size();
    for (int number = 0; number < 2; ++number) {  // "<pid>-", then "<n>-"
        const std::size_t first = at;
        while (at < name.size() && name[at] >= '0' && name[at] <= '9') ++at;
        if (at == first || at == name.size() || name[at] != '-') return false;
        ++at;
    }
    return at < name.size();
}

void discard_temporaries(const fs::path& directory) {
    bool removed = false;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (!is_temporary_name(it->path().filename().string())) continue;
        if (::unlink(it->path().c_str()) == 0) {
            removed = true;
        } else if (errno != ENOENT && errno != EISDIR) {  // a directory is never one of ours
            throw FileError("remove", it->path(), errno);
        }
    }
    if (ec && ec != std::errc::no_such_file_or_directory) throw FileError("list", directory, ec.value());
    if (removed) sync_directory(directory);
}

TemporaryFile::TemporaryFile(fs::path final_path) : final_path_(std::move(final_path)) {
    if (final_path_.filename().empty() || final_path_.filename() == "." || final_path_.filename() == "..") {
        throw FileError("create", final_path_, EINVAL);
    }
    const fs::path directory = directory_of(final_path_);
    directory_fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd_ < 0) throw FileError("open", directory, errno);
    static std::atomic<unsigned long> counter{0};
    const std::string stem = ascii_stem(final_path_);
    for (;;) {
        name_ = std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
                stem;
        const int fd = ::openat(directory_fd_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        // A name left by an earlier process with the same pid: take the next one.
        if (errno == EEXIST) continue;
        const int error = errno;
        ::close(directory_fd_);
        throw FileError("create", directory / name_, error);
    }
    path_ = directory / name_;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : final_path_(std::move(other.final_path_)),
      path_(std::move(other.path_)),
      name_(std::move(other.name_)),
      directory_fd_(other.directory_fd_),
      synced_(other.synced_),
      committed_(other.committed_) {
    other.directory_fd_ = -1;
}

TemporaryFile::~TemporaryFile() {
    if (directory_fd_ < 0) return;  // moved from
    if (!committed_) ::unlinkat(directory_fd_, name_.c_str(), 0);
    ::close(directory_fd_);
}

std::string TemporaryFile::library_path() const {
    const std::string text = path_.string();
    if (is_valid_utf8(text)) return text;
    // The directory part is not UTF-8: reach it through the descriptor held open here.
    return "/proc/self/fd/" + std::to_string(directory_fd_) + "/" + name_;
}

void TemporaryFile::write(std::string_view content) {
    UniqueFd fd(::openat(directory_fd_, name_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) throw FileError("open", path_, errno);
    write_tmp_content(fd, content, path_, final_path_);
    synced_ = true;
}

void TemporaryFile::commit() {
    if (committed_) throw FileError("rename", final_path_, EALREADY);
    if (!synced_) {
        // Written by a library through library_path(): its bytes are synced here.
        UniqueFd fd(::openat(directory_fd_, name_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (fd.get() < 0) throw FileError("open", path_, errno);
        fsync_fd(fd.get(), path_);
    }
    tmp_written(final_path_);
    const std::string final_name = final_path_.filename().string();
    if (::renameat(directory_fd_, name_.c_str(), directory_fd_, final_name.c_str()) != 0) {
        throw FileError("rename", final_path_, errno);
    }
    committed_ = true;
    if (fault_points_armed()) fault_point(renamed_point(final_path_));
    fsync_fd(directory_fd_, directory_of(final_path_));
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            value = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            value = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            value = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

void create_file_exclusively(const fs::path& path, std::string_view content) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw FileError("create", path, errno);
    try {
        write_all(fd.get(), content, path);
        fsync_fd(fd.get(), path);
        if (fd.close() != 0) throw FileError("close", path, errno);
    } catch (...) {
        // The name is ours (O_EXCL): a record that failed to reach the disk is not left half.
        ::unlink(path.c_str());
        throw;
    }
    sync_directory(directory_of(path));
    if (fault_points_armed()) fault_point("create:" + path.filename().string() + ":done");
}

void append_line(const fs::path& path, std::string_view line) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw FileError("open", path, errno);
    struct stat before {};
    if (::fstat(fd.get(), &before) != 0) throw FileError("stat", path, errno);
    std::string record(line);
    record.push_back('\n');
    try {
        write_all(fd.get(), record, path);
        fsync_fd(fd.get(), path);
    } catch (const FileError&) {
        // A torn line would have the next append glued onto it: back to whole lines. Should
        // this fail too, the next start cuts the torn line (cut_unfinished_line).
        if (::ftruncate(fd.get(), before.st_size) == 0) ::fsync(fd.get());
        throw;
    }
    if (fd.close() != 0) throw FileError("close", path, errno);
}

void cut_unfinished_line(const fs::path& path) {
    // Read-only until a cut is due: a whole file that may not be written is no obstacle.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        if (errno == ENOENT) return;
        throw FileError("open", path, errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw FileError("stat", path, errno);
    if (!S_ISREG(st.st_mode)) throw FileError("open", path, EINVAL);
    // Backwards a chunk at a time to the last "\n"; the common case reads one chunk.
    char buffer[kReadChunk];
    off_t keep = 0;
    for (off_t end = st.st_size; end > 0 && keep == 0;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(end, static_cast<off_t>(sizeof buffer)));
        const off_t from = end - static_cast<off_t>(want);
        std::size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(fd.get(), buffer + got, want - got, from + static_cast<off_t>(got));
            if (n > 0) got += static_cast<std::size_t>(n);
            else if (n == 0) throw FileError("read", path, EIO);  // shrank under us: not ours alone
            else if (errno != EINTR) throw FileError("read", path, errno);
        }
        for (std::size_t i = want; i > 0; --i) {
            if (buffer[i - 1] == '\n') {
                keep = from + static_cast<off_t>(i);
                break;
            }
        }
        end = from;
    }
    if (keep == st.st_size) return;
    UniqueFd writable(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (writable.get() < 0) throw FileError("open", path, errno);
    if (::ftruncate(writable.get(), keep) != 0) throw FileError("truncate", path, errno);
    fsync_fd(writable.get(), path);
}

void remove_file_durably(const fs::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw FileError("remove", path, errno);
    // Synced even when the file was already gone: an earlier unlink may not be durable yet.
    try {
        sync_directory(directory_of(path));
    } catch (const FileError& error) {
        if (error.error_number() != ENOENT) throw;
    }
    if (fault_points_armed()) fault_point("remove:" + path.filename().string() + ":done");
}

bool DirectoryLock::try_acquire(const fs::path& lock_file) {
    release();
    int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw FileError("open", lock_file, errno);
    int result;
    while ((result = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return false;
        throw FileError("lock", lock_file, error);
    }
    fd_ = fd;
    return true;
}

void DirectoryLock::release() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

}  // namespace vesk::platform
