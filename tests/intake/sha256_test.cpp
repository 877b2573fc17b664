#include "intake/sha256.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::Sha256Hasher;
using vesk::sha256_directory_tree;
using vesk::sha256_file;
using vesk::sha256_hex;
using vesk::test::TempDir;

using vesk::test::error_message;

namespace {

constexpr const char* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Writes a file below root, creating its directories.
void put(const fs::path& root, const fs::path& relative, const std::string& bytes) {
    fs::create_directories((root / relative).parent_path());
    vesk::test::write_file(root / relative, bytes);
}

TEST(Sha256Digest, FipsVectorsInOneUpdateAndInUnevenChunks) {
    const std::vector<std::pair<std::string, const char*>> vectors = {
        {"", kEmptyDigest},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [message, digest] : vectors) {
        SCOPED_TRACE(message.size());
        EXPECT_EQ(sha256_hex(message), digest);
        Sha256Hasher hasher;
        std::size_t offset = 0;
        for (std::size_t step = 1; offset < message.size(); step = step * 3 + 1) {
            const std::size_t take = std::min(step, message.size() - offset);
            hasher.update(message.data() + offset, take);
            offset += take;
        }
        EXPECT_EQ(hasher.finish_hex(), digest);
    }
}

TEST(Sha256Digest, HasherRefusesOversizedChunkAndReuse) {
    Sha256Hasher hasher;
    const char byte = 'x';
    // The size check comes first, so no memory beyond the one byte is touched.
    EXPECT_EQ(error_message([&] { hasher.update(&byte, std::size_t{0x100000000}); }),
              "SHA-256 input chunk is too large");
    hasher.update(&byte, 1);
    EXPECT_EQ(hasher.finish_hex(), sha256_hex("x"));
    EXPECT_THROW(hasher.update(&byte, 1), std::logic_error);
    EXPECT_THROW(hasher.finish_hex(), std::logic_error);
}

TEST(Sha256File, MatchesSha256sumAndRefusesWhatCannotBeRead) {
    TempDir dir;
    // A mebibyte and a tail, so the last 64 KiB chunk is partial.
    std::string bytes(1 << 20, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    bytes += "tail";
    put(dir.path(), "big.bin", bytes);
    put(dir.path(), "empty.bin", "");
    const auto reference = vesk::test::run_process("/usr/bin/sha256sum", {(dir.path() / "big.bin").string()});
    ASSERT_EQ(reference.exit_code, 0);
    EXPECT_EQ(sha256_file(dir.path() / "big.bin"), reference.out.substr(0, 64));
    EXPECT_EQ(sha256_file(dir.path() / "empty.bin"), kEmptyDigest);

    const fs::path missing = dir.path() / "missing.bin";
    EXPECT_EQ(error_message([&] { sha256_file(missing); }), "Cannot open SHA-256 input: " + missing.string());
    // A directory opens but cannot be read; it must not pass for an empty file.
    EXPECT_EQ(error_message([&] { sha256_file(dir.path()); }), "Cannot read SHA-256 input: " + dir.path().string());
    // Neither waited on nor read without end.
    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& special : {fifo, fs::path("/dev/zero")}) {
        EXPECT_EQ(error_message([&] { sha256_file(special); }), "Cannot open SHA-256 input: " + special.string());
    }
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
    put(dir.path(), "crops/a.png", "12345");
    put(dir.path(), "a/b", "inner");
    put(dir.path(), "a-c", "dash");
    put(dir.path(), "\xc3\xa9", "non-ascii sorts last");
    put(dir.path(), "Z", "upper case before lower");
    fs::create_directories(dir.path() / "empty" / "deeper");
    // "a-c" before "a/b": 0x2D before 0x2F; 0xC3 after every ASCII byte.
    const std::string manifest = manifest_line("Z", "upper case before lower") + manifest_line("a-c", "dash") +
                                 manifest_line("a/b", "inner") + manifest_line("crops/a.png", "12345") +
                                 manifest_line("\xc3\xa9", "non-ascii sorts last");
    EXPECT_EQ(sha256_directory_tree(dir.path()), sha256_hex(manifest));
    // The same tree reached through a non-canonical spelling of its root.
    EXPECT_EQ(sha256_directory_tree(dir.path() / "crops" / ".."), sha256_hex(manifest));
}

TEST(Sha256Tree, SymbolicLinkAnywhereIsRefused) {
    struct Case {
        fs::path link;  // relative to the tree
        fs::path target;
        bool directory;
    };
    for (const Case& c : {Case{"link", "real.txt", false}, Case{"sub/deeper/dirlink", "..", true},
                          Case{"sub/dangling", "nowhere", false}}) {
        SCOPED_TRACE(c.link);
        TempDir dir;
        put(dir.path(), "real.txt", "real");
        put(dir.path(), "sub/deeper/file.txt", "file");
        const fs::path link = dir.path() / c.link;
        if (c.directory) {
            fs::create_directory_symlink(c.target, link);
        } else {
            fs::create_symlink(c.target, link);
        }
        EXPECT_EQ(error_message([&] { sha256_directory_tree(dir.path()); }),
                  "Cannot hash directory tree containing a symbolic link: " + link.string());
    }
}

TEST(Sha256Tree, RootMustBeADirectory) {
    TempDir dir;
    put(dir.path(), "file", "x");
    for (const fs::path& root : {dir.path() / "file", dir.path() / "missing"}) {
        EXPECT_EQ(error_message([&] { sha256_directory_tree(root); }),
                  "Cannot hash directory tree because it is not a directory: " + root.string());
    }
}

TEST(Sha256Hex, LengthAndAlphabet) {
    for (const std::string& text : {std::string(64, 'a'), std::string(64, 'F'), std::string(32, '0') + std::string(32, '9')}) {
        EXPECT_TRUE(vesk::is_sha256_hex(text)) << text;
    }
    for (const std::string& text : {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
                                    std::string(63, 'a') + " ", std::string()}) {
        EXPECT_FALSE(vesk::is_sha256_hex(text)) << text;
    }
}

}  // namespace
