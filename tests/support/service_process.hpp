// Runs the real vesk-service program for end-to-end tests: standard output through a pipe
// (its start-up lines are read as they are flushed), standard error into a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/run_process.hpp"

namespace vesk::test {

std::filesystem::path service_program();
// The PDF page helper built beside it.
std::filesystem::path pdf_page_program();

// From /proc: processor seconds of a process and of the children it has reaped (utime,
// stime, cutime and cstime), its peak resident memory (VmHWM) in MiB, and its running
// children whose command name is `name`.
double cpu_seconds_with_children(pid_t pid);
double peak_resident_mib(pid_t pid);
std::vector<pid_t> child_processes(pid_t pid, const std::string& name);

class ServiceProcess {
public:
    // Starts program with args in cwd (empty: the current directory); a non-empty `wrapper`
    // (a tracer, say) runs first with the program and its args appended.
    ServiceProcess(const std::vector<std::string>& args, const std::filesystem::path& cwd = {},
                   const std::vector<std::string>& wrapper = {});
    // Kills the process if it still runs.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // One line of standard output without its "\n"; none at end of output or time-out.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads both start-up lines; returns the bound port (0 when they did not come).
    std::uint16_t wait_until_serving(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    const std::vector<std::string>& lines() const { return lines_; }

    void send_signal(int signal_number) const;
    pid_t pid() const { return pid_; }
    // The exit code (128 + signal for a killed process); none if still running at the time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Everything written to standard output and standard error (after the process ended).
    std::string remaining_output();
    std::string error_output() const;

private:
    TempDir capture_{"vesk-service-run"};
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
    std::optional<int> exit_code_;
};

}  // namespace vesk::test
