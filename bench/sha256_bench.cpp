// Digest throughput: one large file streamed in 64 KiB chunks, and a tree of many small
// files (walk, sort, per-file digest and the manifest digest).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "intake/sha256.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLargeFileBytes = std::size_t{256} << 20;
constexpr int kTreeDirectories = 100;
constexpr int kFilesPerDirectory = 100;

fs::path g_root;

void fill(std::string& bytes, std::uint32_t seed) {
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void create_fixtures() {
    std::string pattern = (fs::temp_directory_path() / "vesk-sha256-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    g_root = pattern;

    std::string chunk(std::size_t{1} << 20, '\0');
    std::ofstream large(g_root / "large.bin", std::ios::binary);
    for (std::size_t written = 0; written < kLargeFileBytes; written += chunk.size()) {
        fill(chunk, static_cast<std::uint32_t>(written >> 20));
        large.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    if (!large) throw std::runtime_error("cannot write the large file");
    large.close();

    std::string small;
    for (int d = 0; d < kTreeDirectories; ++d) {
        const fs::path dir = g_root / "tree" / ("dir-" + std::to_string(d));
        fs::create_directories(dir);
        for (int f = 0; f < kFilesPerDirectory; ++f) {
            small.assign(256 + static_cast<std::size_t>((d * 31 + f * 17) % 1792), '\0');
            fill(small, static_cast<std::uint32_t>(d * kFilesPerDirectory + f));
            write_bytes(dir / ("file-" + std::to_string(f) + ".bin"), small);
        }
    }
}

void BM_Sha256LargeFile(benchmark::State& state) {
    const fs::path path = g_root / "large.bin";
    for (auto _ : state) benchmark::DoNotOptimize(vesk::sha256_file(path));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kLargeFileBytes));
}
BENCHMARK(BM_Sha256LargeFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sha256TreeOfSmallFiles(benchmark::State& state) {
    const fs::path tree = g_root / "tree";
    for (auto _ : state) benchmark::DoNotOptimize(vesk::sha256_directory_tree(tree));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kTreeDirectories * kFilesPerDirectory);
}
BENCHMARK(BM_Sha256TreeOfSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    int status = 0;
    try {
        create_fixtures();
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception& error) {
        std::cerr << "sha256_bench: " << error.what() << "\n";
        status = 1;
    }
    benchmark::Shutdown();
    if (!g_root.empty()) {
        std::error_code ignored;
        fs::remove_all(g_root, ignored);
    }
    return status;
}
