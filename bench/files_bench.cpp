// What durability costs: replacing a 4 KB file crash-safely (tmp write, fsync, rename,
// directory fsync) next to a plain create-or-truncate write of the same bytes. Run with
// --benchmark_repetitions=N for medians; the files live on the disk of the system's
// temporary directory.
#include <filesystem>
#include <string>

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "platform/files.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileBytes = 4096;

struct Scratch {
    Scratch() : dir(fs::temp_directory_path() / ("vesk-files-bench-" + std::to_string(::getpid()))) {
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
    fs::path dir;
};

void BM_ReplaceFileDurably4K(benchmark::State& state) {
    Scratch scratch;
    const std::string bytes(kFileBytes, 'x');
    for (auto _ : state) vesk::platform::replace_file_durably(scratch.dir / "state.json", bytes);
}

void BM_WriteFilePlain4K(benchmark::State& state) {
    Scratch scratch;
    const std::string bytes(kFileBytes, 'x');
    for (auto _ : state) vesk::platform::write_file(scratch.dir / "state.json", bytes);
}

}  // namespace

BENCHMARK(BM_ReplaceFileDurably4K)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_WriteFilePlain4K)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
