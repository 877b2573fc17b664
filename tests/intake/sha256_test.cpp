#include "intake/sha256.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using vesk::is_sha256_hex;
using vesk::Sha256Hasher;
using vesk::sha256_directory_tree;
using vesk::sha256_file;
using vesk::sha256_hex;

namespace {

constexpr const char* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vesk-sha256-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

template <typename Fn>
std::string thrown_message(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<nothing thrown>";
}

std::string run_sha256sum(const fs::path& path) {
    const std::string command = "sha256sum '" + path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char buffer[128] = {};
    const std::size_t got = std::fread(buffer, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(buffer, got);
}

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

// FIPS 180-4 example messages.
const std::vector<Vector> kVectors = {
    {"empty", "", kEmptyDigest},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"long_896_bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
     "nopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"million_a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256Digest, FipsVectorsInOneUpdateAndInUnevenChunks) {
    for (const Vector& vector : kVectors) {
        SCOPED_TRACE(vector.name);
        EXPECT_EQ(sha256_hex(vector.message), vector.digest);
        Sha256Hasher hasher;
        std::size_t offset = 0;
        for (std::size_t step = 1; offset < vector.message.size(); step = step * 3 + 1) {
            const std::size_t take = std::min(step, vector.message.size() - offset);
            hasher.update(vector.message.data() + offset, take);
            offset += take;
        }
        EXPECT_EQ(hasher.finish_hex(), vector.digest);
    }
}

TEST(Sha256Digest, HasherRefusesOversizedChunkAndReuse) {
    Sha256Hasher hasher;
    const char byte = 'x';
    // The size check comes first, so no memory beyond the one byte is touched.
    EXPECT_EQ(thrown_message([&] { hasher.update(&byte, std::size_t{0x100000000}); }),
              "SHA-256 input chunk is too large");
    hasher.update(&byte, 1);
    EXPECT_EQ(hasher.finish_hex(), "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881");
    EXPECT_THROW(hasher.update(&byte, 1), std::logic_error);
    EXPECT_THROW(hasher.finish_hex(), std::logic_error);
}

TEST(Sha256File, MebibyteFileMatchesSha256sumAndEmptyFileMatchesEmptyMessage) {
    TempDir dir;
    std::string bytes(1 << 20, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    // One odd tail so the last 64 KiB chunk is partial.
    bytes += "tail";
    write_file(dir.path() / "big.bin", bytes);
    write_file(dir.path() / "empty.bin", "");
    const std::string expected = run_sha256sum(dir.path() / "big.bin");
    ASSERT_EQ(expected.size(), 64u);
    EXPECT_EQ(sha256_file(dir.path() / "big.bin"), expected);
    EXPECT_EQ(sha256_file(dir.path() / "big.bin"), sha256_hex(bytes));
    EXPECT_EQ(sha256_file(dir.path() / "empty.bin"), kEmptyDigest);
}

TEST(Sha256File, UnopenableAndUnreadableInputs) {
    TempDir dir;
    const fs::path missing = dir.path() / "missing.bin";
    EXPECT_EQ(thrown_message([&] { sha256_file(missing); }), "Cannot open SHA-256 input: " + missing.string());
    // A directory opens but cannot be read; it must not pass for an empty file.
    EXPECT_EQ(thrown_message([&] { sha256_file(dir.path()); }), "Cannot read SHA-256 input: " + dir.path().string());
}

std::string manifest_line(const std::string& relative, const std::string& content) {
    return std::to_string(relative.size()) + ":" + relative + ":" + std::to_string(content.size()) + ":" +
           sha256_hex(content) + "\n";
}

TEST(Sha256Tree, EmptyTreesGiveTheEmptyMessageDigest) {
    TempDir dir;
    EXPECT_EQ(sha256_directory_tree(dir.path()), kEmptyDigest);
    fs::create_directories(dir.path() / "a" / "b" / "c");
    fs::create_directories(dir.path() / "d");
    EXPECT_EQ(sha256_directory_tree(dir.path()), kEmptyDigest);
}

TEST(Sha256Tree, ManifestLinesSortedByUnsignedBytes) {
    TempDir dir;
    write_file(dir.path() / "crops" / "a.png", "12345");
    write_file(dir.path() / "a" / "b", "inner");
    write_file(dir.path() / "a-c", "dash");
    write_file(dir.path() / "\xc3\xa9", "non-ascii sorts last");
    write_file(dir.path() / "Z", "upper case before lower");
    fs::create_directories(dir.path() / "empty" / "deeper");
    // "a-c" before "a/b": 0x2D before 0x2F; 0xC3 after every ASCII byte.
    const std::string manifest = manifest_line("Z", "upper case before lower") + manifest_line("a-c", "dash") +
                                 manifest_line("a/b", "inner") + manifest_line("crops/a.png", "12345") +
                                 manifest_line("\xc3\xa9", "non-ascii sorts last");
    EXPECT_EQ(manifest_line("crops/a.png", "12345").substr(0, 17), "11:crops/a.png:5:");
    EXPECT_EQ(sha256_directory_tree(dir.path()), sha256_hex(manifest));
    // The same tree reached through a non-canonical spelling of its root.
    EXPECT_EQ(sha256_directory_tree(dir.path() / "crops" / ".."), sha256_hex(manifest));
}

TEST(Sha256Tree, SymbolicLinkAnywhereIsRefused) {
    struct Case {
        const char* name;
        fs::path link;  // relative to the tree
        fs::path target;
        bool directory;
    };
    const std::vector<Case> cases = {
        {"file_link_at_top", "link", "real.txt", false},
        {"directory_link_deep", "sub/deeper/dirlink", "..", true},
        {"dangling_link", "sub/dangling", "nowhere", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.path() / "real.txt", "real");
        write_file(dir.path() / "sub" / "deeper" / "file.txt", "file");
        const fs::path link = dir.path() / c.link;
        if (c.directory) {
            fs::create_directory_symlink(c.target, link);
        } else {
            fs::create_symlink(c.target, link);
        }
        EXPECT_EQ(thrown_message([&] { sha256_directory_tree(dir.path()); }),
                  "Cannot hash directory tree containing a symbolic link: " + link.string());
    }
}

TEST(Sha256Tree, RootMustBeADirectory) {
    TempDir dir;
    write_file(dir.path() / "file", "x");
    for (const fs::path& root : {dir.path() / "file", dir.path() / "missing"}) {
        EXPECT_EQ(thrown_message([&] { sha256_directory_tree(root); }),
                  "Cannot hash directory tree because it is not a directory: " + root.string());
    }
}

TEST(Sha256Hex, LengthAndAlphabet) {
    const std::string lower(64, 'a');
    struct Case {
        std::string text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {std::string(63, 'a'), false},
        {lower, true},
        {std::string(65, 'a'), false},
        {std::string(64, 'F'), true},
        {std::string(32, '0') + std::string(32, '9'), true},
        {std::string(63, 'a') + "g", false},
        {std::string(63, 'a') + " ", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(is_sha256_hex(c.text), c.expected) << c.text;
    EXPECT_TRUE(is_sha256_hex(sha256_hex("abc")));
}

}  // namespace
