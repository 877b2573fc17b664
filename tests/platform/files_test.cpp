#include "platform/files.hpp"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_process.hpp"

namespace fs = std::filesystem;
using namespace vesk::platform;
using vesk::test::TempDir;

namespace {

const std::string kOld(3000, 'o');
const std::string kNew1(5001, 'a');
const std::string kNew2(7003, 'b');
constexpr int kThrew = 3;

// Everything in dir except `keep`, as name -> content.
std::vector<std::pair<std::string, std::string>> others(const fs::path& dir, const std::string& keep) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename() != keep) found.emplace_back(entry.path().filename(), read_file(entry.path()));
    }
    return found;
}

std::string content_or_absent(const fs::path& path) {
    return fs::exists(fs::symlink_status(path)) ? read_file(path) : "<absent>";
}

// The child inherits the environment; this process read its own (empty) fault plan at start.
vesk::test::ProcessOutput run_child(const std::string& operation, const fs::path& dir, const std::string& fault) {
    ::setenv("VESK_FILES_CHILD", operation.c_str(), 1);
    ::setenv("VESK_FILES_DIR", dir.c_str(), 1);
    ::setenv("VESK_FAULT_AT", fault.c_str(), 1);
    auto child = vesk::test::run_process("/proc/self/exe", {"--gtest_filter=FilesChild.Operate"});
    for (const char* name : {"VESK_FILES_CHILD", "VESK_FILES_DIR", "VESK_FAULT_AT"}) ::unsetenv(name);
    return child;
}

}  // namespace

// The child side of the crash tests: runs one operation twice (so that #2 has a second
// hit), exits 86 where a point ends it, kThrew where a point throws.
TEST(FilesChild, Operate) {
    const char* operation = std::getenv("VESK_FILES_CHILD");
    if (operation == nullptr) GTEST_SKIP() << "run by the crash tests only";
    const fs::path dir = std::getenv("VESK_FILES_DIR");
    const std::string op = operation;
    try {
        if (op == "replace") {
            replace_file_durably(dir / "f", kNew1);
            replace_file_durably(dir / "f", kNew2);
        } else if (op == "temporary") {
            for (const std::string* text : {&kNew1, &kNew2}) {
                TemporaryFile file(dir / "f");
                file.write(*text);
                file.commit();
            }
        } else if (op == "streamed") {
            for (const std::string* text : {&kNew1, &kNew2}) {
                StreamedReplacement file(dir / "f");
                file.append(std::string_view(*text).substr(0, 3));
                file.append(std::string_view(*text).substr(3));
                file.commit();
            }
        } else if (op == "create") {
            create_file_exclusively(dir / "f", kNew1);
        } else if (op == "remove") {
            remove_file_durably(dir / "f");
        } else if (op == "append") {
            // Room for five more bytes only: the write is cut short, as on a full disk.
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(fs::file_size(dir / "f") + 5);
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(1);
            std::signal(SIGXFSZ, SIG_IGN);
            append_line(dir / "f", R"({"status":"rejected"})");
        } else if (op == "lock") {
            DirectoryLock lock;
            // Ends without releasing: the lock must go with the process.
            _exit(lock.try_acquire(dir / "lock") ? 0 : 1);
        }
    } catch (const FileError&) {
        _exit(kThrew);
    }
    _exit(0);
}

// Every point in every mode: the file holds the whole old or the whole new text, a tmp left
// by a crash is whole (or exactly half when torn) and recovery removes it.
TEST(Files, FaultPointsLeaveWholeFiles) {
    struct Case {
        std::string operation, fault;
        int exit_code;
        const std::string* expected;  // nullptr: no file
        std::string leftover;         // content of a stray tmp before recovery, "" for none
    };
    const std::string half1 = kNew1.substr(0, kNew1.size() / 2), half2 = kNew2.substr(0, kNew2.size() / 2);
    std::vector<Case> cases;
    for (const std::string op : {"replace", "temporary", "streamed"}) {
        cases.push_back({op, "", 0, &kNew2, ""});
        cases.push_back({op, "replace:f:tmp", kFaultExitCode, &kOld, kNew1});
        cases.push_back({op, "replace:f:tmp:exit", kFaultExitCode, &kOld, kNew1});
        cases.push_back({op, "replace:f:tmp:throw", kThrew, &kOld, ""});
        cases.push_back({op, "replace:f:tmp:torn", kFaultExitCode, &kOld, half1});
        cases.push_back({op, "replace:f:renamed:exit", kFaultExitCode, &kNew1, ""});
        cases.push_back({op, "replace:f:renamed:throw", kThrew, &kNew1, ""});
        cases.push_back({op, "replace:f:renamed:torn", kFaultExitCode, &kNew1, ""});
        cases.push_back({op, "replace:f:tmp#2:exit", kFaultExitCode, &kNew1, kNew2});
        cases.push_back({op, "replace:f:tmp#2:throw", kThrew, &kNew1, ""});
        cases.push_back({op, "replace:f:tmp#2:torn", kFaultExitCode, &kNew1, half2});
        cases.push_back({op, "replace:f:renamed#2", kFaultExitCode, &kNew2, ""});
        cases.push_back({op, "replace:g:tmp:exit", 0, &kNew2, ""});
    }
    cases.push_back({"create", "", 0, &kNew1, ""});
    cases.push_back({"create", "create:f:done:exit", kFaultExitCode, &kNew1, ""});
    cases.push_back({"create", "create:f:done:throw", kThrew, &kNew1, ""});
    cases.push_back({"remove", "", 0, nullptr, ""});
    cases.push_back({"remove", "remove:f:done:exit", kFaultExitCode, nullptr, ""});
    cases.push_back({"remove", "remove:f:done:throw", kThrew, nullptr, ""});
    cases.push_back({"replace", "replace:f:tmp#0", 2, &kOld, ""});  // malformed: refused, nothing done
    cases.push_back({"replace", "#3:exit", 2, &kOld, ""});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation + " " + c.fault);
        TempDir dir("vesk-fault");
        if (c.operation != "create") write_file(dir.path() / "f", kOld);
        const auto child = run_child(c.operation, dir.path(), c.fault);
        EXPECT_EQ(child.exit_code, c.exit_code) << child.err;
        const auto stray = others(dir.path(), "f");
        if (c.leftover.empty()) {
            EXPECT_TRUE(stray.empty()) << stray.front().first;
        } else {
            ASSERT_EQ(stray.size(), 1u);
            EXPECT_TRUE(stray[0].second == c.leftover) << stray[0].first << " holds " << stray[0].second.size();
        }
        discard_temporaries(dir.path());
        EXPECT_TRUE(others(dir.path(), "f").empty());
        EXPECT_TRUE(content_or_absent(dir.path() / "f") == (c.expected ? *c.expected : "<absent>"));
    }
}

// An append cut short (by a file-size limit here, a full disk in the field) leaves the lines
// that were whole and reports the error; a line that a crash cut short is cut off at start.
TEST(Files, AppendLeavesWholeLines) {
    TempDir dir("vesk-append");
    const fs::path log = dir.path() / "f";
    write_file(log, "{\"n\":1}\n");
    const auto child = run_child("append", dir.path(), "");
    EXPECT_EQ(child.exit_code, kThrew) << child.err;
    EXPECT_EQ(read_file(log), "{\"n\":1}\n");
    append_line(log, "{\"n\":2}");
    EXPECT_EQ(read_file(log), "{\"n\":1}\n{\"n\":2}\n");

    const std::string big(70000, 'b');  // more than one backwards read
    for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
             {"torn", ""}, {"a\nb\nto", "a\nb\n"}, {"a\n" + big, "a\n"}, {big + "\n", big + "\n"}}) {
        write_file(log, before);
        cut_unfinished_line(log);
        EXPECT_TRUE(read_file(log) == after) << before.substr(0, 10);
    }
    cut_unfinished_line(dir.path() / "missing");
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

// The lock refuses a second holder in another process and goes with its holder's process.
TEST(Files, LockAcrossProcesses) {
    TempDir dir("vesk-lock");
    {
        DirectoryLock lock;
        ASSERT_TRUE(lock.try_acquire(dir.path() / "lock"));
        EXPECT_TRUE(lock.held());
        EXPECT_EQ(run_child("lock", dir.path(), "").exit_code, 1);
        DirectoryLock second;
        EXPECT_FALSE(second.try_acquire(dir.path() / "lock"));  // another open file, same process
    }
    EXPECT_EQ(run_child("lock", dir.path(), "").exit_code, 0);  // exits still holding it
    DirectoryLock after;
    EXPECT_TRUE(after.try_acquire(dir.path() / "lock"));
    DirectoryLock moved = std::move(after);
    EXPECT_TRUE(moved.held());
    EXPECT_FALSE(after.held());
}

TEST(Files, ReadsOnlyRegularFilesWithinTheCap) {
    TempDir dir("vesk-read");
    const fs::path file = dir.path() / "a";
    write_file(file, "12345");
    fs::create_symlink(file, dir.path() / "link");
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    struct Case {
        fs::path path;
        std::size_t cap;
        std::string operation;  // "" when read
        int error;
    };
    const std::vector<Case> cases = {
        {file, 5, "", 0},
        {dir.path() / "link", kUnlimitedFileSize, "", 0},
        {file, 4, "size", EFBIG},
        {dir.path(), kUnlimitedFileSize, "read", EISDIR},
        {dir.path() / "fifo", kUnlimitedFileSize, "read", EINVAL},  // never waits for a writer
        {"/dev/zero", 64, "read", EINVAL},                          // never reads on
        {dir.path() / "missing", kUnlimitedFileSize, "open", ENOENT},
    };
    const auto start = std::chrono::steady_clock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        try {
            EXPECT_EQ(read_file(c.path, c.cap), "12345");
            EXPECT_EQ(c.operation, "");
        } catch (const FileError& error) {
            EXPECT_EQ(error.operation(), c.operation);
            EXPECT_EQ(error.error_number(), c.error);
            EXPECT_EQ(error.path(), c.path);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_THROW(ReadableFile(dir.path() / "link", Links::refuse), FileError);
    ReadableFile readable(file);
    char buffer[3];
    EXPECT_EQ(readable.size_when_opened(), 5u);
    EXPECT_EQ(readable.read_some(buffer, sizeof buffer), 3u);
    EXPECT_EQ(readable.read_at(3, buffer, sizeof buffer), 2u);
    EXPECT_EQ(std::string(buffer, 2), "45");
    // Refusing links: planted links and FIFOs fail at once, the link's target is untouched.
    for (const auto& [what, call] : std::vector<std::pair<std::string, std::function<void()>>>{
             {"read link", [&] { read_file(dir.path() / "link", kUnlimitedFileSize, Links::refuse); }},
             {"write link", [&] { write_file(dir.path() / "link", "x", Links::refuse); }},
             {"write fifo", [&] { write_file(dir.path() / "fifo", "x", Links::refuse); }}}) {
        EXPECT_THROW(call(), FileError) << what;
    }
    EXPECT_EQ(read_file(file), "12345");
}

// Replacement never writes through a link: neither a link at the final name nor one planted
// at the tmp name; an exclusive create refuses an existing name; appends accumulate; a
// directory is made with its parents, or found, but never below a file.
TEST(Files, ReplaceCreateAppendAndLinks) {
    TempDir dir("vesk-files");
    const fs::path target = dir.path() / "target";
    write_file(target, "target");
    fs::create_symlink(target, dir.path() / "a");
    fs::create_symlink(target, dir.path() / "a.tmp");
    EXPECT_THROW(replace_file_durably(dir.path() / "a", "new"), FileError);  // and drops the planted link
    EXPECT_EQ(read_file(target), "target");
    replace_file_durably(dir.path() / "a", "new");
    EXPECT_FALSE(fs::is_symlink(dir.path() / "a"));
    EXPECT_EQ(read_file(dir.path() / "a"), "new");
    EXPECT_EQ(read_file(target), "target");

    create_file_exclusively(dir.path() / "once", "x");
    try {
        create_file_exclusively(dir.path() / "once", "y");
        ADD_FAILURE() << "created twice";
    } catch (const FileError& e) {
        EXPECT_EQ(e.error_number(), EEXIST);
        EXPECT_EQ(e.what(), "Cannot create '" + (dir.path() / "once").string() + "' (errno 17)");
    }
    EXPECT_EQ(read_file(dir.path() / "once"), "x");
    append_line(dir.path() / "log", "1");
    append_line(dir.path() / "log", "2");
    EXPECT_EQ(read_file(dir.path() / "log"), "1\n2\n");
    remove_file_durably(dir.path() / "log");
    remove_file_durably(dir.path() / "log");
    remove_file_durably(dir.path() / "no-such-dir" / "log");
    EXPECT_FALSE(fs::exists(dir.path() / "log"));

    create_directories_durably(dir.path() / "d" / "e");
    create_directories_durably(dir.path() / "d" / "e");  // existing: fine
    EXPECT_TRUE(fs::is_directory(dir.path() / "d" / "e"));
    try {
        create_directories_durably(dir.path() / "once" / "e");
        ADD_FAILURE() << "made a directory below a file";
    } catch (const FileError& e) {
        EXPECT_EQ(e.what(), "Cannot create '" + (dir.path() / "once" / "e").string() + "' (errno 20)");
    }
}

// A temporary name is ASCII and lives in the final directory; a library that decodes path
// text as UTF-8 reaches it through library_path() even when the directory name is not UTF-8.
TEST(Files, TemporaryFileInANonUtf8Directory) {
    TempDir dir("vesk-utf8");
    const fs::path odd = dir.path() / "out\xff\xfe";
    fs::create_directory(odd);
    {
        TemporaryFile file(odd / "p\xe9.step");
        EXPECT_EQ(file.path().parent_path(), odd);
        const std::string name = file.path().filename().string();
        EXPECT_TRUE(is_valid_utf8(name)) << name;
        EXPECT_TRUE(is_temporary_name(name) && is_temporary_name("a.tmp")) << name;
        const std::string library = file.library_path();
        EXPECT_TRUE(is_valid_utf8(library));
        std::FILE* stream = std::fopen(library.c_str(), "wb");
        ASSERT_NE(stream, nullptr);
        std::fputs("written by a library", stream);
        std::fclose(stream);
        EXPECT_EQ(read_file(file.path()), "written by a library");
        file.commit();
    }
    EXPECT_EQ(read_file(odd / "p\xe9.step"), "written by a library");
    EXPECT_EQ(others(odd, "p\xe9.step").size(), 0u);
    EXPECT_EQ(others(dir.path(), "out\xff\xfe").size(), 0u);
    {
        TemporaryFile abandoned(odd / "q");
        abandoned.write("half");
    }
    EXPECT_EQ(others(odd, "p\xe9.step").size(), 0u);
    EXPECT_THROW(TemporaryFile(dir.path() / "missing" / "f"), FileError);

    struct Case {
        std::string text;
        bool valid;
    };
    for (const auto& [text, valid] : std::vector<Case>{{"plain", true},
                                                      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true},
                                                      {"\xff", false},
                                                      {"\xc3", false},
                                                      {"\xc0\xaf", false},          // overlong
                                                      {"\xed\xa0\x80", false},      // surrogate
                                                      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
                                                      {"\xe2\x82", false}}) {
        EXPECT_EQ(is_valid_utf8(text), valid) << text;
    }
    // A client's names (letters, digits, '-', '.', '_', its own extension) are never temporaries.
    for (const char* name : {".tmp", ".tmp-12-0-a.step", ".tmp~12-a.step", ".tmp~-0-a", ".tmp~1-2-", "a.json"}) {
        EXPECT_FALSE(is_temporary_name(name)) << name;
    }
}
