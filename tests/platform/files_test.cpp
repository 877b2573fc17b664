#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.hpp"

namespace fs = std::filesystem;
using namespace vesk::platform;

TEST(Files, ReplaceCreateAppendAndLock) {
    fs::path dir = fs::temp_directory_path() / ("vesk-files-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    replace_file_durably(dir / "a.json", "old");
    replace_file_durably(dir / "a.json", "new");
    EXPECT_EQ(read_file(dir / "a.json"), "new");
    EXPECT_FALSE(fs::exists(dir / "a.json.tmp"));
    create_file_exclusively(dir / "once", "x");
    try {
        create_file_exclusively(dir / "once", "y");
        FAIL();
    } catch (const FileError& e) {
        EXPECT_EQ(e.error_number(), EEXIST);
    }
    append_line(dir / "log", "1");
    append_line(dir / "log", "2");
    EXPECT_EQ(read_file(dir / "log"), "1\n2\n");
    EXPECT_THROW(read_file(dir), FileError);
    EXPECT_THROW(read_file(dir / "log", 3), FileError);
    DirectoryLock lock;
    EXPECT_TRUE(lock.try_acquire(dir / ".lock"));
    fs::remove_all(dir);
}
