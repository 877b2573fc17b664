#include "support/run_process.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "platform/files.hpp"
#include "platform/process.hpp"

namespace vesk::test {

ProcessOutput run_process(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd) {
    TempDir capture("vesk-capture");
    platform::ProcessOptions options;
    options.executable = program;
    options.arguments.push_back(program.string());
    options.arguments.insert(options.arguments.end(), args.begin(), args.end());
    options.working_directory = cwd;
    options.stdout_file = capture.path() / "out";
    options.stderr_file = capture.path() / "err";
    ProcessOutput result;
    {
        platform::ChildProcess child(options);
        result.exit_code = child.wait();
    }
    result.out = read_file(options.stdout_file);
    result.err = read_file(options.stderr_file);
    return result;
}

TempDir::TempDir(const std::string& prefix) {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

// A missing file reads as empty text: callers compare outputs that may be absent.
std::string read_file(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return {};
    return platform::read_file(path);
}

void write_file(const std::filesystem::path& path, const std::string& text) { platform::write_file(path, text); }

}  // namespace vesk::test
