// Runs a real program for end-to-end tests and captures what it printed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vesk::test {

struct ProcessOutput {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs program with args (argv[0] is the program path), working directory cwd (empty:
// the current one), standard input from /dev/null, in a process group of its own that is
// killed when the program ends; waits for it to end. Start failures throw
// platform::ProcessError.
ProcessOutput run_process(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd = {});

// A fresh empty directory under the system's temporary directory, removed by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vesk-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& text);

}  // namespace vesk::test
