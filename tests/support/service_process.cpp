#include "support/service_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace vesk::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string proc_text(pid_t pid, const char* file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The fields of /proc/<pid>/stat after the command name, from the state on (field 3).
std::vector<std::string> stat_fields(pid_t pid, std::string* command = nullptr) {
    const std::string stat = proc_text(pid, "stat");
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) throw std::runtime_error("bad stat");
    if (command != nullptr) *command = stat.substr(open + 1, close - open - 1);
    std::vector<std::string> fields;
    std::istringstream rest(stat.substr(close + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

}  // namespace

double cpu_seconds_with_children(pid_t pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    double ticks = 0.0;
    for (std::size_t field = 14; field <= 17; ++field) ticks += std::stod(fields.at(field - 3));
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double peak_resident_mib(pid_t pid) {
    std::istringstream status(proc_text(pid, "status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

std::vector<pid_t> child_processes(pid_t pid, const std::string& name) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string id = entry.path().filename().string();
        if (id.find_first_not_of("0123456789") != std::string::npos) continue;
        try {
            std::string command;
            const std::vector<std::string> fields = stat_fields(std::stoi(id), &command);
            if (command == name && fields.at(0) != "Z" && std::stoi(fields.at(1)) == pid) {
                children.push_back(std::stoi(id));
            }
        } catch (const std::exception&) {
            // ended meanwhile
        }
    }
    return children;
}

std::filesystem::path service_program() {
    return std::filesystem::path(VESK_BINARY_DIR) / "server" / "vesk-service";
}

std::filesystem::path pdf_page_program() {
    return std::filesystem::path(VESK_BINARY_DIR) / "server" / "vesk-pdf-page";
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                               const std::vector<std::string>& wrapper) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string err_path = (capture_.path() / "err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> argv_text = wrapper;
    argv_text.push_back(service_program().string());
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The child starts with default signal dispositions and an empty mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int rc = posix_spawn(&pid_, argv_text[0].c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipe_fds[1]);
    out_fd_ = pipe_fds[0];
    if (rc != 0) {
        ::close(out_fd_);
        throw std::runtime_error("cannot start " + argv_text[0]);
    }
}

ServiceProcess::~ServiceProcess() {
    if (!exit_code_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(out_fd_);
}

std::optional<std::string> ServiceProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            lines_.push_back(line);
            return line;
        }
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(out_fd_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::uint16_t ServiceProcess::wait_until_serving(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const std::optional<std::string> url = read_line(std::chrono::milliseconds(remaining_ms(deadline)));
    const std::optional<std::string> jobs = read_line(std::chrono::milliseconds(remaining_ms(deadline)));
    const std::string prefix = "Vesk local service: http://127.0.0.1:";
    if (!url || !jobs || url->rfind(prefix, 0) != 0) return 0;
    return static_cast<std::uint16_t>(std::stoul(url->substr(prefix.size())));
}

void ServiceProcess::send_signal(int signal_number) const {
    ::kill(pid_, signal_number);
}

std::optional<int> ServiceProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!exit_code_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        // ECHILD (the status went elsewhere) never comes back: fail instead of polling on.
        if (done < 0 && errno != EINTR) {
            throw std::runtime_error("cannot wait for the service: errno " + std::to_string(errno));
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return exit_code_;
}

std::string ServiceProcess::remaining_output() {
    while (read_line(std::chrono::milliseconds(200))) {
    }
    std::string rest = pending_;
    pending_.clear();
    return rest;
}

std::string ServiceProcess::error_output() const {
    return read_file(capture_.path() / "err");
}

}  // namespace vesk::test
