// vesk-cli's outputs under failure and contention: a full file system, concurrent runs into
// one directory, links at output names, non-UTF-8 names, and inputs that are no regular file.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::test::read_file;
using vesk::test::run_process;
using vesk::test::TempDir;

namespace {

const fs::path kCli = fs::path(VESK_BINARY_DIR) / "cli" / "vesk-cli";
const fs::path kExamples = fs::path(VESK_SOURCE_DIR) / "examples";
const char* const kSuffixes[] = {".step", "_front.svg", "_top.svg", "_side.svg", "_report.json"};

// Name -> content of every entry in dir.
std::map<std::string, std::string> listing(const fs::path& dir) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        found[entry.path().filename().string()] = entry.is_regular_file() ? read_file(entry.path()) : "<not a file>";
    }
    return found;
}

// The five outputs of one run of `example` copied as `<stem>.json`, by output name.
std::map<std::string, std::string> reference_outputs(const std::string& example, const std::string& stem) {
    const TempDir dir("vesk-ref");
    fs::copy_file(kExamples / example, dir.path() / (stem + ".json"));
    const auto run = run_process(kCli, {(dir.path() / (stem + ".json")).string(), "--output-dir",
                                        (dir.path() / "out").string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return listing(dir.path() / "out");
}

}  // namespace

// A full file system: the run fails and leaves no output under a final name, and no
// temporary either. 4 KiB holds nothing; 40 KiB holds the STEP file but not every view.
TEST(CliOutputs, FullFileSystemLeavesNoFinalName) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    for (const char* size : {"size=4k", "size=40k"}) {
        SCOPED_TRACE(size);
        const TempDir dir("vesk-full");
        const fs::path mount_point = dir.path() / "mnt";
        fs::create_directory(mount_point);
        if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, size) != 0) {
            GTEST_SKIP() << "mount of a tmpfs is not permitted here";
        }
        const std::unique_ptr<const char, void (*)(const char*)> unmount(mount_point.c_str(),
                                                                          [](const char* p) { ::umount2(p, MNT_DETACH); });
        const auto run = run_process(kCli, {(kExamples / "plate_with_holes.json").string(), "--output-dir",
                                            mount_point.string()});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("vesk-cli: ", 0), 0u) << run.err;
        EXPECT_EQ(listing(mount_point), (std::map<std::string, std::string>{})) << run.err;
    }
}

// Eight runs at once, four of each of two graphs that share a stem, into one directory: all
// succeed and every file left is the whole output of one run.
TEST(CliOutputs, ConcurrentRunsLeaveOnlyWholeFiles) {
    const auto plate = reference_outputs("plate_with_holes.json", "part");
    const auto bracket = reference_outputs("l_bracket.json", "part");
    const TempDir dir("vesk-race");
    for (const char* graph : {"a", "b"}) fs::create_directory(dir.path() / graph);
    fs::copy_file(kExamples / "plate_with_holes.json", dir.path() / "a" / "part.json");
    fs::copy_file(kExamples / "l_bracket.json", dir.path() / "b" / "part.json");
    std::vector<std::unique_ptr<vesk::platform::ChildProcess>> children;
    for (int k = 0; k < 8; ++k) {
        vesk::platform::ProcessOptions options;
        options.executable = kCli;
        options.arguments = {kCli.string(), (dir.path() / (k % 2 ? "b" : "a") / "part.json").string(), "--output-dir",
                             (dir.path() / "out").string()};
        options.stderr_file = dir.path() / ("err" + std::to_string(k));
        children.push_back(std::make_unique<vesk::platform::ChildProcess>(options));
    }
    for (std::size_t k = 0; k < children.size(); ++k) {
        EXPECT_EQ(children[k]->wait(), 0) << read_file(dir.path() / ("err" + std::to_string(k)));
    }
    const auto left = listing(dir.path() / "out");
    EXPECT_EQ(left.size(), 5u);
    for (const auto& [name, content] : left) {
        EXPECT_TRUE(content == plate.at(name) || content == bracket.at(name)) << name << " is torn or mixed";
    }
}

// A link at an output name is replaced by the file; its target, present or dangling, is
// never written.
TEST(CliOutputs, LinksAtOutputNamesAreReplaced) {
    const auto expected = reference_outputs("plate_with_holes.json", "plate_with_holes");
    const TempDir dir("vesk-links");
    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    vesk::test::write_file(dir.path() / "target", "keep");
    fs::create_symlink(dir.path() / "target", out / "plate_with_holes.step");
    fs::create_symlink(dir.path() / "ghost", out / "plate_with_holes_front.svg");
    const auto run = run_process(kCli, {(kExamples / "plate_with_holes.json").string(), "--output-dir", out.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_file(dir.path() / "target"), "keep");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "ghost")));
    EXPECT_FALSE(fs::is_symlink(out / "plate_with_holes.step"));
    EXPECT_EQ(listing(out), expected);
}

// An output directory that is not UTF-8: the STEP translator decodes names as UTF-8, yet
// every output lands in the directory with the bytes of an ordinary run, and nothing is
// written anywhere else. A graph name that is not UTF-8 cannot be named in the report: it is
// refused before anything is written.
TEST(CliOutputs, NonUtf8NamesStayInTheOutputDirectory) {
    const auto plain = reference_outputs("plate_with_holes.json", "p");
    const std::string stem = "p\xc3\xa9";  // UTF-8, not ASCII
    const TempDir dir("vesk-latin1");
    const fs::path out = dir.path() / "out\xff";
    fs::copy_file(kExamples / "plate_with_holes.json", dir.path() / (stem + ".json"));
    fs::copy_file(kExamples / "plate_with_holes.json", dir.path() / "p\xe9.json");
    const TempDir cwd("vesk-latin1-cwd");
    const auto refused = run_process(kCli, {(dir.path() / "p\xe9.json").string(), "--output-dir", out.string()});
    EXPECT_EQ(refused.err.substr(0, refused.err.find('\n')), "vesk-cli: Input graph filename must be valid UTF-8");
    EXPECT_FALSE(fs::exists(out));
    const auto run = run_process(kCli, {(dir.path() / (stem + ".json")).string(), "--output-dir", out.string()},
                                 cwd.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(listing(cwd.path()).size(), 0u);
    EXPECT_EQ(listing(dir.path()).size(), 3u);  // the two graphs and the output directory
    const auto left = listing(out);
    EXPECT_EQ(left.size(), 5u);
    for (const char* suffix : kSuffixes) {
        const std::string name = stem + suffix;
        ASSERT_TRUE(left.count(name)) << name;
        if (std::string(suffix) != "_report.json") EXPECT_TRUE(left.at(name) == plain.at("p" + std::string(suffix)));
    }
}

// Graphs that are no regular file are refused at once with the reader's message, and one
// past the 64 MiB input cap with the cap's own; nothing is written.
TEST(CliInputs, NonRegularAndOversizedGraphsRefusedAtOnce) {
    const TempDir dir("vesk-inputs");
    const fs::path fifo = dir.path() / "fifo.json", big = dir.path() / "big.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    vesk::test::write_file(big, "");
    fs::resize_file(big, (std::uintmax_t{64} << 20) + 1);  // sparse: costs no disk
    const std::pair<fs::path, std::string> cases[] = {
        {"/dev/zero", "Cannot read DimensionGraph file: /dev/zero"},
        {fifo, "Cannot read DimensionGraph file: " + fifo.string()},
        {dir.path(), "Cannot read DimensionGraph file: " + dir.path().string()},
        {big, "Input document exceeds the 64 MiB limit: " + big.string()},
    };
    for (const auto& [path, message] : cases) {
        const auto start = std::chrono::steady_clock::now();
        const auto run = run_process(kCli, {path.string(), "--output-dir", (dir.path() / "out").string()});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << path;
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err.substr(0, run.err.find('\n')), "vesk-cli: " + message);
        EXPECT_FALSE(fs::exists(dir.path() / "out"));
    }
}
