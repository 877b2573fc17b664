#include "platform/process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_process.hpp"

namespace vesk::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const fs::path kShell = "/bin/sh";

struct Outcome {
    std::optional<int> code;
    std::string out;
    std::string err;
    Clock::duration took;
};

Outcome run(const std::vector<std::string>& arguments, std::chrono::milliseconds limit, bool use_pidfd,
        const fs::path& cwd = {}) {
    test::TempDir dir("vesk-process");
    ProcessOptions options;
    options.executable = arguments.front();
    options.arguments = arguments;
    options.working_directory = cwd;
    options.stdout_file = dir.path() / "out";
    options.stderr_file = dir.path() / "err";
    options.use_pidfd = use_pidfd;
    const Clock::time_point start = Clock::now();
    Outcome result;
    {
        ChildProcess child(options);
        result.code = child.wait_for(limit);
    }
    result.took = Clock::now() - start;
    result.out = test::read_file(options.stdout_file);
    result.err = test::read_file(options.stderr_file);
    return result;
}

std::vector<std::string> sh(const std::string& script, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {kShell.string(), "-c", script, "sh"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}

// Gone, or a zombie waiting for its new parent: either way it runs no more.
bool stopped_running(pid_t pid) {
    const Clock::time_point until = Clock::now() + 3s;
    while (Clock::now() < until) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        const std::string stat = test::read_file("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z') return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

pid_t read_pid(const fs::path& path) {
    for (int i = 0; i < 3000 && test::read_file(path).find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return static_cast<pid_t>(std::stol(test::read_file(path)));
}

class ProcessTest : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Wait, ProcessTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "pidfd" : "waitid_polling"; });

TEST_P(ProcessTest, ExitCodesArgumentsAndStreams) {
    struct Case {
        std::vector<std::string> arguments;
        int code;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {sh("exit 0"), 0, "", ""},
        {sh("echo out; echo err >&2; exit 3"), 3, "out\n", "err\n"},
        {sh("kill -TERM $$"), 128 + SIGTERM, "", ""},
        {sh("kill -KILL $$"), 128 + SIGKILL, "", ""},
        // Every argument arrives verbatim: no quoting layer in between.
        {sh(R"(printf '%s|' "$@")", {"a b", "", "\"q\"", "back\\slash\\", "*"}), 0, "a b||\"q\"|back\\slash\\|*|",
         ""},
        {sh("wc -c"), 0, "0\n", ""},  // standard input is at its end at once
    };
    for (const Case& c : cases) {
        const Outcome result = run(c.arguments, 10s, GetParam());
        EXPECT_EQ(result.code, c.code) << c.arguments[2];
        EXPECT_EQ(result.out, c.out) << c.arguments[2];
        EXPECT_EQ(result.err, c.err) << c.arguments[2];
    }
    test::TempDir cwd("vesk-process-cwd");
    EXPECT_EQ(run(sh("pwd -P"), 10s, GetParam(), cwd.path()).out, fs::canonical(cwd.path()).string() + "\n");
}

TEST_P(ProcessTest, TimeOutKillsTheWholeGroup) {
    test::TempDir dir("vesk-process-timeout");
    const fs::path grandchild = dir.path() / "grandchild.pid";
    ProcessOptions options;
    options.executable = kShell;
    options.arguments = sh("sleep 30 & echo $! > \"$1\"; sleep 30", {grandchild.string()});
    options.use_pidfd = GetParam();
    ChildProcess child(options);
    // The limit starts once the grandchild surely exists, however loaded the machine is.
    const pid_t grandchild_pid = read_pid(grandchild);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(child.wait_for(200ms), std::nullopt);
    const Clock::duration took = Clock::now() - start;
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(::waitpid(child.pid(), nullptr, WNOHANG), -1);  // already reaped
    EXPECT_TRUE(stopped_running(grandchild_pid));
}

// Standard output through a pipe, a wake descriptor that cuts the wait short, and the
// processor time of the reaped child.
TEST_P(ProcessTest, PipedOutputWakeAndProcessorTime) {
    ProcessOptions options;
    options.executable = kShell;
    options.arguments = sh("echo piped");
    options.stdout_pipe = true;
    options.use_pidfd = GetParam();
    {
        ChildProcess child(options);
        std::string out;
        char buffer[64];
        for (ssize_t n; (n = ::read(child.stdout_pipe(), buffer, sizeof buffer)) > 0;) out.append(buffer, n);
        EXPECT_EQ(out, "piped\n");
        EXPECT_EQ(child.wait_for(10s), 0);
    }
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    options.arguments = sh("sleep 30");
    ChildProcess sleeper(options);
    ASSERT_EQ(::write(wake[1], "x", 1), 1);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(sleeper.wait_for(30s, wake[0]), std::nullopt);
    EXPECT_LT(Clock::now() - start, 10s);
    ::close(wake[0]);
    ::close(wake[1]);
    // One second of processor time, whatever the machine's load.
    options.arguments = sh("ulimit -S -t 1; while :; do :; done");
    ChildProcess spinner(options);
    EXPECT_EQ(spinner.wait_for(60s), 128 + SIGXCPU);
    EXPECT_GE(spinner.cpu_seconds(), 0.9);
}

TEST_P(ProcessTest, EndedChildTakesItsGroupAlong) {
    test::TempDir dir("vesk-process-left");
    const fs::path grandchild = dir.path() / "grandchild.pid";
    const Outcome result = run(sh("sleep 30 & echo $! > \"$1\"; exit 4", {grandchild.string()}), 10s, GetParam());
    EXPECT_EQ(result.code, 4);
    EXPECT_LT(result.took, 3s);
    EXPECT_TRUE(stopped_running(read_pid(grandchild)));
}

TEST_P(ProcessTest, DestructorKillsAndReaps) {
    test::TempDir dir("vesk-process-guard");
    const fs::path grandchild = dir.path() / "grandchild.pid";
    ProcessOptions options;
    options.executable = kShell;
    options.arguments = sh("sleep 30 & echo $! > \"$1\"; sleep 30", {grandchild.string()});
    options.use_pidfd = GetParam();
    pid_t child_pid = -1;
    const Clock::time_point start = Clock::now();
    try {
        ChildProcess child(options);
        child_pid = child.pid();
        read_pid(grandchild);
        throw std::runtime_error("leaving early");
    } catch (const std::runtime_error&) {
    }
    EXPECT_LT(Clock::now() - start, 5s);
    // Reaped by the guard: the pid is no longer a child of this process.
    EXPECT_EQ(::waitpid(child_pid, nullptr, WNOHANG), -1);
    EXPECT_TRUE(stopped_running(read_pid(grandchild)));
}

// A lost exit status (SIGCHLD ignored makes the kernel reap at once) is reported, never
// waited for in a loop.
TEST_P(ProcessTest, LostStatusIsAnErrorNotASpin) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    ::sigaction(SIGCHLD, &ignore, &old);
    std::string operation;
    int error = 0;
    const Clock::time_point start = Clock::now();
    try {
        run(sh("exit 0"), 10s, GetParam());
    } catch (const ProcessError& e) {
        operation = e.operation();
        error = e.error_number();
    }
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(operation, "status");
    EXPECT_EQ(error, ECHILD);
    EXPECT_LT(Clock::now() - start, 3s);
}

TEST(Process, StartFailures) {
    test::TempDir dir("vesk-process-fail");
    struct Case {
        ProcessOptions options;
        std::string operation;
        int error;
    };
    std::vector<Case> cases(4);
    cases[0].options.executable = dir.path() / "missing";
    cases[0] = {cases[0].options, "spawn", ENOENT};
    // Never looked up on PATH.
    cases[1].options.executable = "sh";
    cases[1] = {cases[1].options, "spawn", ENOENT};
    cases[2].options.executable = kShell;
    cases[2].options.working_directory = dir.path() / "missing";
    cases[2] = {cases[2].options, "spawn", ENOENT};
    cases[3].options.executable = kShell;
    cases[3].options.stderr_file = dir.path() / "missing" / "err";
    cases[3] = {cases[3].options, "open", ENOENT};
    for (const Case& c : cases) {
        try {
            ChildProcess child(c.options);
            ADD_FAILURE() << "started " << c.options.executable;
        } catch (const ProcessError& e) {
            EXPECT_EQ(e.operation(), c.operation) << c.options.executable;
            EXPECT_EQ(e.error_number(), c.error) << c.options.executable;
            EXPECT_EQ(std::string(e.what()),
                      "Cannot " + c.operation + " child process (errno " + std::to_string(c.error) + ")");
        }
    }
}

// The child sees only 0 to 2, an empty mask, default dispositions and its own group,
// whatever state the parent is in.
TEST(Process, ChildStartsClean) {
    const int leaked = ::socket(AF_INET, SOCK_STREAM, 0);  // inheritable on purpose
    ASSERT_GE(leaked, 3);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_pipe {}, old_term {};
    ::sigaction(SIGPIPE, &ignore, &old_pipe);
    ::sigaction(SIGTERM, &ignore, &old_term);
    ::setenv("VESK_PROCESS_CHILD_REPORT", "1", 1);
    const Outcome result = run({"/proc/self/exe", "--gtest_filter=ProcessChild.Report"}, 30s, true);
    ::unsetenv("VESK_PROCESS_CHILD_REPORT");
    ::sigaction(SIGPIPE, &old_pipe, nullptr);
    ::sigaction(SIGTERM, &old_term, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::close(leaked);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("report fds=0,1,2 stdin=eof mask=empty int=default term=default pipe=default "
                              "own_group=yes\n"),
              std::string::npos)
        << result.out;
}

TEST(ProcessChild, Report) {
    if (std::getenv("VESK_PROCESS_CHILD_REPORT") == nullptr) GTEST_SKIP() << "child mode only";
    std::string fds;
    DIR* listing = ::opendir("/proc/self/fd");
    ASSERT_NE(listing, nullptr);
    std::vector<int> open;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != ::dirfd(listing)) open.push_back(fd);
    }
    ::closedir(listing);
    std::sort(open.begin(), open.end());
    for (const int fd : open) fds += (fds.empty() ? "" : ",") + std::to_string(fd);
    char byte = 0;
    const bool eof = ::read(0, &byte, 1) == 0;
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    bool empty = true;
    for (int signal = 1; signal < NSIG; ++signal) empty = empty && sigismember(&mask, signal) == 0;
    auto disposition = [](int signal) {
        struct sigaction current {};
        ::sigaction(signal, nullptr, &current);
        return current.sa_handler == SIG_DFL ? "default" : "changed";
    };
    std::cout << "report fds=" << fds << " stdin=" << (eof ? "eof" : "data") << " mask=" << (empty ? "empty" : "set")
              << " int=" << disposition(SIGINT) << " term=" << disposition(SIGTERM)
              << " pipe=" << disposition(SIGPIPE) << " own_group=" << (::getpgrp() == ::getpid() ? "yes" : "no")
              << "\n";
}

TEST(Process, ConcurrentChildren) {
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 5; ++i) {
                const int code = (t * 5 + i) % 100;
                const Outcome result = run(sh("exit " + std::to_string(code)), 10s, t % 2 == 0);
                if (result.code != code) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace vesk::platform
