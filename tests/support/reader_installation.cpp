#include "support/reader_installation.hpp"

#include <cstdlib>
#include <sstream>

#include <unistd.h>

#include "intake/sha256.hpp"

namespace vesk::test {
namespace fs = std::filesystem;

fs::path find_python3() {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path == nullptr ? "" : path);
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (directory.empty()) continue;
        const fs::path candidate = fs::path(directory) / "python3";
        std::error_code error;
        if (fs::is_regular_file(candidate, error) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

ReaderInstallation::ReaderInstallation() : dir_("vesk-reader-install"), root_(dir_.path() / "install") {
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "reader");
    fs::create_directories(root_ / "config");
    // The recommended wrapper: the system interpreter, ignoring PYTHON* variables and the
    // user's site directory, writing no bytecode into the installation.
    write_file(root_ / "bin" / "python", "#!/bin/sh\nVESK_FAKE_BRIDGE_RUN_LOG='" + run_log().string() +
                                             "'\nexport VESK_FAKE_BRIDGE_RUN_LOG\nexec '" + find_python3().string() +
                                             "' -E -s -B \"$@\"\n");
    fs::permissions(root_ / "bin" / "python", fs::perms::owner_all);
    write_file(root_ / "reader" / "__init__.py", "");
    fs::copy_file(fs::path(VESK_SOURCE_DIR) / "tests" / "support" / "fake_reader_bridge.py",
                  root_ / "reader" / "bridge.py");
    write_file(runtime_config(), "{\"model\": \"fake\"}\n");
    manifest = {{"schema_version", "z23-edur-embedded-provider-v1"},
                {"python_executable", "bin/python"},
                {"bridge_script", "reader/bridge.py"},
                {"bridge_module", "reader.bridge"},
                {"bridge_sha256", sha256_file(root_ / "reader" / "bridge.py")},
                {"runtime_config", "config/runtime.json"},
                {"runtime_config_sha256", sha256_file(runtime_config())},
                {"timeout_seconds", 120}};  // generous: a loaded machine starts Python slowly
    write_manifest();
}

void ReaderInstallation::write_manifest() const { write_file(manifest_path(), manifest.dump(2) + "\n"); }

fs::path ReaderInstallation::job(const std::string& name) const {
    const fs::path directory = dir_.path() / "jobs" / name;
    fs::create_directories(directory);
    write_file(directory / "input.png", "not really a png: " + name);
    return directory;
}

std::vector<nlohmann::json> ReaderInstallation::runs() const {
    std::vector<nlohmann::json> lines;
    std::stringstream text(read_file(run_log()));
    std::string line;
    while (std::getline(text, line)) {
        if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

}  // namespace vesk::test
