#include "platform/process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/unique_fd.hpp"

extern char** environ;

namespace vesk::platform {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ProcessError::ProcessError(std::string operation, int error_number)
    : std::runtime_error("Cannot " + operation + " child process (errno " + std::to_string(error_number) + ")"),
      operation_(std::move(operation)),
      error_number_(error_number) {}

namespace {

// How often the fallback polls waitid while no pidfd is available.
constexpr std::chrono::milliseconds kPollStep{5};


// Opens close-on-exec at 3 or above, so the dup2 onto 0..2 in the child is always a real
// copy (a parent with a closed standard stream would otherwise get that number back).
// A named file is opened without following a link and without waiting on a FIFO, and
// must be a regular file: the directory it lies in may hold what an earlier child left.
UniqueFd open_stream(const fs::path& path, int flags) {
    const bool named = !path.empty();
    const int fd = ::open(named ? path.c_str() : "/dev/null",
                          flags | O_CLOEXEC | (named ? O_NOFOLLOW | O_NONBLOCK : 0), 0644);
    if (fd < 0) throw ProcessError("open", errno);
    if (named) {
        struct stat info {};
        const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        if (!regular || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
            ::close(fd);
            throw ProcessError("open", regular ? errno : EINVAL);
        }
    }
    if (fd >= 3) return UniqueFd(fd);
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    if (moved < 0) throw ProcessError("open", error);
    return UniqueFd(moved);
}

// A pipe for the child's standard output: the read end goes to `read_end`, the write end
// is returned. Both close-on-exec at 3 or above, as open_stream's descriptors.
UniqueFd open_pipe(UniqueFd& read_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw ProcessError("open", errno);
    for (int& fd : fds) {
        if (fd >= 3) continue;
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int error = errno;
        ::close(fd);
        fd = moved;
        if (moved < 0) {
            for (const int other : fds) {
                if (other >= 0) ::close(other);
            }
            throw ProcessError("open", error);
        }
    }
    read_end.reset(fds[0]);
    return UniqueFd(fds[1]);
}

// posix_spawn's two attribute objects, destroyed on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void check_setup(int rc) {
    if (rc != 0) throw ProcessError("spawn", rc);
}

int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 128;
}

}  // namespace

ChildProcess::ChildProcess(const ProcessOptions& options) {
    const UniqueFd in = open_stream({}, O_RDONLY);
    UniqueFd pipe_read;
    const UniqueFd out = options.stdout_pipe ? open_pipe(pipe_read)
                                             : open_stream(options.stdout_file, O_WRONLY | O_CREAT | O_TRUNC);
    const UniqueFd err = open_stream(options.stderr_file, O_WRONLY | O_CREAT | O_TRUNC);

    SpawnSetup setup;
    check_setup(posix_spawn_file_actions_adddup2(&setup.actions, in.get(), 0));
    check_setup(posix_spawn_file_actions_adddup2(&setup.actions, out.get(), 1));
    check_setup(posix_spawn_file_actions_adddup2(&setup.actions, err.get(), 2));
    // Whatever else the caller has open (a listening socket, another read's logs) stays out.
    check_setup(posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3));
    if (!options.working_directory.empty()) {
        check_setup(posix_spawn_file_actions_addchdir_np(&setup.actions, options.working_directory.c_str()));
    }

    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
    check_setup(posix_spawnattr_setflags(&setup.attributes,
                                         POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    check_setup(posix_spawnattr_setpgroup(&setup.attributes, 0));
    check_setup(posix_spawnattr_setsigmask(&setup.attributes, &empty));
    check_setup(posix_spawnattr_setsigdefault(&setup.attributes, &defaults));

    std::vector<char*> argv;
    std::vector<std::string> arguments = options.arguments;
    if (arguments.empty()) arguments.push_back(options.executable.string());
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    // posix_spawn (not posix_spawnp): the executable is never looked up on PATH. glibc
    // reports a failed chdir or exec in the child as this return value.
    const int rc = ::posix_spawn(&pid, options.executable.c_str(), &setup.actions, &setup.attributes, argv.data(),
                                 environ);
    if (rc != 0) throw ProcessError("spawn", rc);
    pid_ = pid;
    reaped_ = false;
    stdout_pipe_ = pipe_read.release();
    if (options.use_pidfd) {
        // Called through syscall: the C library's wrapper is not declared for C++ here.
        // Not yet reaped, so the pid is still ours even if the child has already ended.
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
}

ChildProcess::~ChildProcess() {
    kill_and_reap();
    if (pidfd_ >= 0) ::close(pidfd_);
    if (stdout_pipe_ >= 0) ::close(stdout_pipe_);
}

ChildProcess::Wait ChildProcess::wait_ended(Clock::time_point deadline, int wake_fd) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool unlimited = deadline == Clock::time_point::max();
        const auto left = unlimited ? std::chrono::milliseconds(-1)
                                    : std::max(std::chrono::milliseconds(0),
                                               std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        if (pidfd_ >= 0) {
            // poll skips an entry whose descriptor is -1.
            pollfd entries[2] = {{pidfd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            const int timeout = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
            const int rc = ::poll(entries, 2, unlimited ? -1 : timeout);
            if (rc > 0) return entries[0].revents != 0 ? Wait::ended : Wait::woken;
            if (rc < 0 && errno != EINTR) throw ProcessError("wait", errno);
        } else {
            // WNOWAIT leaves the child a zombie, so its group id cannot be reused before
            // the stragglers are killed.
            siginfo_t info{};
            const int rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
            if (rc < 0 && errno != EINTR) {
                const int error = errno;
                reaped_ = true;  // nothing of ours is left to reap
                throw ProcessError(error == ECHILD ? "status" : "wait", error);
            }
            if (rc == 0 && info.si_pid != 0) return Wait::ended;
            if (left.count() == 0) return Wait::timed_out;
            const auto step = unlimited ? kPollStep : std::min(left, std::chrono::milliseconds(kPollStep));
            pollfd wake{wake_fd, POLLIN, 0};  // with -1 a plain sleep
            if (::poll(&wake, 1, static_cast<int>(step.count())) > 0) return Wait::woken;
            continue;
        }
        if (!unlimited && Clock::now() >= deadline) return Wait::timed_out;
    }
}

int ChildProcess::reap() {
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t rc = ::wait4(pid_, &status, 0, &usage);
        if (rc == pid_) break;
        if (rc < 0 && errno == EINTR) continue;
        // ECHILD: someone else took the status (SIGCHLD ignored, or a waitpid(-1)).
        // Never loop on it.
        const int error = rc < 0 ? errno : ECHILD;
        reaped_ = true;
        throw ProcessError("status", error);
    }
    reaped_ = true;
    cpu_seconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return exit_code_of(status);
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds limit, int wake_fd) {
    if (reaped_) throw ProcessError("wait", ECHILD);
    if (wait_ended(Clock::now() + limit, wake_fd) == Wait::ended) {
        // What the child left running in its group ends with it.
        ::kill(-pid_, SIGKILL);
        return reap();
    }
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);  // also when it left its group
    if (wait_ended(Clock::now() + kReapLimit) == Wait::ended) {
        reap();
    } else {
        reaped_ = true;  // unkillable for now (stuck in the kernel): give it up
    }
    return std::nullopt;
}

int ChildProcess::wait() {
    if (reaped_) throw ProcessError("wait", ECHILD);
    wait_ended(Clock::time_point::max());
    ::kill(-pid_, SIGKILL);
    return reap();
}

void ChildProcess::kill_and_reap() noexcept {
    if (reaped_) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    try {
        if (wait_ended(Clock::now() + kReapLimit) == Wait::ended) reap();
    } catch (...) {
    }
    reaped_ = true;
}

}  // namespace vesk::platform
