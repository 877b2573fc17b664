#include "platform/files.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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
        plan.hit_at = std::strtol(text.c_str() + hash + 1, nullptr, 10);
        if (plan.hit_at < 1) plan.hit_at = 1;
        text.resize(hash);
    }
    plan.name = text;
    g_plan = plan;
    g_armed.store(true, std::memory_order_release);
#endif
}

struct ArmInit {
    ArmInit() { std::call_once(g_plan_once, load_fault_plan); }
} g_arm_init;

// Returns true when this hit of `name` is the armed one.
bool fault_fires(std::string_view name) {
    std::call_once(g_plan_once, load_fault_plan);
    if (!g_armed.load(std::memory_order_relaxed) || name != g_plan.name) return false;
    return g_hits.fetch_add(1) + 1 == g_plan.hit_at;
}

[[noreturn]] void fault_exit() {
    _exit(kFaultExitCode);
}

std::string basename_of(const fs::path& path) {
    return path.filename().string();
}

fs::path directory_of(const fs::path& path) {
    fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Checked close: a failed close can be a failed write-back.
    int close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};

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

}  // namespace

bool fault_points_armed() noexcept {
#ifdef VESK_FAULT_POINTS
    return g_armed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void fault_point(std::string_view name) {
#ifdef VESK_FAULT_POINTS
    if (!fault_points_armed() || !fault_fires(name)) return;
    if (g_plan.mode == FaultMode::throw_error) throw FileError("fault point", fs::path(std::string(name)), EIO);
    fault_exit();
#else
    (void)name;
#endif
}

std::string read_file(const fs::path& path, std::size_t max_bytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) throw FileError("open", path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw FileError("read", path, errno);
    if (!S_ISREG(st.st_mode)) throw FileError("read", path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes) throw FileError("size", path, EFBIG);
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError("read", path, errno);
        }
        if (n == 0) break;
        if (content.size() + static_cast<std::size_t>(n) > max_bytes) throw FileError("size", path, EFBIG);
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

void write_file(const fs::path& path, std::string_view content) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw FileError("open", path, errno);
    write_all(fd.get(), content, path);
    if (fd.close() != 0) throw FileError("close", path, errno);
}

void sync_file(const fs::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw FileError("open", path, errno);
    fsync_fd(fd.get(), path);
}

void sync_directory(const fs::path& directory) {
    Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) throw FileError("open", directory, errno);
    fsync_fd(fd.get(), directory);
}

void replace_file_durably(const fs::path& path, std::string_view content) {
    fs::path tmp = path;
    tmp += ".tmp";
    const bool armed = fault_points_armed();
    const std::string base = armed ? basename_of(path) : std::string();
    try {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) throw FileError("open", tmp, errno);
#ifdef VESK_FAULT_POINTS
        if (armed && g_plan.mode == FaultMode::torn && fault_fires("replace:" + base + ":tmp")) {
            write_all(fd.get(), content.substr(0, content.size() / 2), tmp);
            ::fsync(fd.get());
            fault_exit();
        }
#endif
        write_all(fd.get(), content, tmp);
        fsync_fd(fd.get(), tmp);
        if (fd.close() != 0) throw FileError("close", tmp, errno);
        if (armed) fault_point("replace:" + base + ":tmp");
        if (::rename(tmp.c_str(), path.c_str()) != 0) throw FileError("rename", path, errno);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    if (armed) fault_point("replace:" + base + ":renamed");
    sync_directory(directory_of(path));
}

void create_file_exclusively(const fs::path& path, std::string_view content) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw FileError("create", path, errno);
    write_all(fd.get(), content, path);
    fsync_fd(fd.get(), path);
    if (fd.close() != 0) throw FileError("close", path, errno);
    sync_directory(directory_of(path));
    if (fault_points_armed()) fault_point("create:" + basename_of(path) + ":done");
}

void append_line(const fs::path& path, std::string_view line) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw FileError("open", path, errno);
    std::string record(line);
    record.push_back('\n');
    write_all(fd.get(), record, path);
    fsync_fd(fd.get(), path);
    if (fd.close() != 0) throw FileError("close", path, errno);
}

void remove_file_durably(const fs::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw FileError("remove", path, errno);
    sync_directory(directory_of(path));
    if (fault_points_armed()) fault_point("remove:" + basename_of(path) + ":done");
}

bool DirectoryLock::try_acquire(const fs::path& lock_file) {
    release();
    int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw FileError("open", lock_file, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
