#include "model/document_files.hpp"

#include <cerrno>
#include <stdexcept>

#include <sys/stat.h>

namespace vesk {
namespace fs = std::filesystem;

namespace {

bool is_special_file(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

}  // namespace

std::string read_input_document(const fs::path& path, const std::string& open_message,
                                const std::string& read_message) {
    try {
        return platform::read_file(path, kMaxInputDocumentBytes);
    } catch (const platform::FileError& error) {
        if (error.operation() == "size") {
            throw std::runtime_error("Input document exceeds the 64 MiB limit: " + path.string());
        }
        throw std::runtime_error((error.operation() == "open" ? open_message : read_message) + path.string());
    }
}

void throw_output_error(const platform::FileError& error, const std::string& what, const fs::path& path) {
    const std::string& op = error.operation();
    const bool bytes_failed = op == "write" || op == "sync" || op == "close";
    throw std::runtime_error((bytes_failed ? "Failed while writing " : "Cannot write ") + what + " file: " +
                             path.string());
}

void write_output_file(const fs::path& path, std::string_view text, const std::string& what) {
    try {
        if (is_special_file(path)) {
            platform::write_file(path, text);
            return;
        }
        platform::TemporaryFile file(path);
        file.write(text);
        file.commit();
    } catch (const platform::FileError& error) {
        throw_output_error(error, what, path);
    }
}

void commit_output_file(platform::TemporaryFile& file, const std::string& what) {
    try {
        file.commit();
    } catch (const platform::FileError& error) {
        throw_output_error(error, what, file.final_path());
    }
}

}  // namespace vesk
