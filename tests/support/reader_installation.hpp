// A reader installation for the embedded provider's tests, built in a temporary
// directory: a wrapper interpreter, the fake bridge as package module "reader.bridge", a
// runtime configuration and a provider manifest with correct digests. Every manifest
// field can be changed before write_manifest().
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/run_process.hpp"

namespace vesk::test {

// The python3 interpreter on PATH, or an empty path when there is none.
std::filesystem::path find_python3();

class ReaderInstallation {
public:
    // Needs find_python3() to be non-empty.
    ReaderInstallation();

    const std::filesystem::path& root() const { return root_; }  // the provider's source_root
    std::filesystem::path manifest_path() const { return dir_.path() / "provider.json"; }
    std::filesystem::path run_log() const { return dir_.path() / "runs.jsonl"; }
    std::filesystem::path runtime_config() const { return root_ / "config" / "runtime.json"; }

    // Provider manifest fields, in the order written.
    nlohmann::ordered_json manifest;
    void write_manifest() const;

    // A fresh job directory holding "input.png".
    std::filesystem::path job(const std::string& name) const;
    // One parsed line of the run log per bridge start.
    std::vector<nlohmann::json> runs() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
};

}  // namespace vesk::test
