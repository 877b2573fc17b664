// Child processes bounded in time: started with a clean descriptor table, signal state
// and process group of their own, waited for with a limit, and killed with every process
// they started when the limit passes or the owner goes away.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vesk::platform {

// A failed process operation and its errno. Operations: "open" (a standard stream's
// file), "spawn", "wait" and "status" (the exit status was lost, e.g. reaped elsewhere).
class ProcessError : public std::runtime_error {
public:
    ProcessError(std::string operation, int error_number);
    const std::string& operation() const noexcept { return operation_; }
    int error_number() const noexcept { return error_number_; }

private:
    std::string operation_;
    int error_number_;
};

struct ProcessOptions {
    std::filesystem::path executable;    // started as is, never searched on PATH
    std::vector<std::string> arguments;  // the whole argument vector, argv[0] included
    std::filesystem::path working_directory;  // empty: the caller's
    // Standard output and error go to these files, created or truncated (never through a
    // link, and only if regular files); empty: /dev/null. Standard input is always /dev/null.
    std::filesystem::path stdout_file;
    std::filesystem::path stderr_file;
    // Standard output goes to a pipe instead (stdout_file unused), read through stdout_pipe().
    bool stdout_pipe = false;
    // Tests turn this off to run the waitpid(WNOHANG) polling used where pidfd_open is missing.
    bool use_pidfd = true;
};

// How long a killed process group gets to be reaped.
inline constexpr std::chrono::milliseconds kReapLimit{5000};

// One started child, the leader of its own process group. The child gets only
// descriptors 0 to 2, an empty signal mask and default dispositions for SIGINT, SIGTERM
// and SIGPIPE. The destructor kills the group and reaps the child if that has not
// happened yet, so no path (exceptions included) leaves a reader running.
class ChildProcess {
public:
    // Throws ProcessError "open" or "spawn".
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }
    // The read end of the child's standard output when options.stdout_pipe; else -1.
    int stdout_pipe() const noexcept { return stdout_pipe_; }

    // Waits until the child ends, `limit` passes or `wake_fd` (unless -1) is readable.
    // Ended: whatever is left of its process group is killed, the child is reaped, and the
    // exit code is returned (WEXITSTATUS, or 128 + signal number for a killed child).
    // Otherwise: the whole group is killed with SIGKILL, the child reaped within
    // kReapLimit, and nullopt returned. Throws ProcessError "wait" or "status".
    std::optional<int> wait_for(std::chrono::milliseconds limit, int wake_fd = -1);
    // Waits without a limit.
    int wait();

    // SIGKILL to the group and a bounded reap; safe to call twice.
    void kill_and_reap() noexcept;

    // Processor seconds (user and system) of the reaped child; 0 before it is reaped.
    double cpu_seconds() const noexcept { return cpu_seconds_; }

private:
    enum class Wait { ended, timed_out, woken };
    // Ended: the child stays a zombie, so its group id stays taken.
    Wait wait_ended(std::chrono::steady_clock::time_point deadline, int wake_fd = -1);
    int reap();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stdout_pipe_ = -1;
    bool reaped_ = true;
    double cpu_seconds_ = 0.0;
};

}  // namespace vesk::platform
