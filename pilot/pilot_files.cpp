#include "pilot/pilot_files.hpp"

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;
using platform::FileError;

namespace {

// The largest record one write call of the original platform could take; kept so that a
// record never depends on a short write being resumed.
constexpr std::uint64_t kMaxWriteOnceRecordBytes = 4'294'967'295ULL;

void create_parent_directories(const fs::path& path) {
    const fs::path parent = path.parent_path();
    if (!parent.empty()) create_pilot_directories(parent);
}

}  // namespace

void create_pilot_directories(const fs::path& directory) {
    try {
        platform::create_directories_durably(directory);
    } catch (const FileError& error) {
        throw fs::filesystem_error("create_directories", directory,
                                   std::error_code(error.error_number(), std::system_category()));
    }
}

void write_file_atomically(const fs::path& path, std::string_view bytes) {
    create_parent_directories(path);
    try {
        platform::replace_file_durably(path, bytes);
    } catch (const FileError& error) {
        if (error.operation() == "rename") {
            throw std::runtime_error("Cannot atomically persist Z23-Edur state, errno " +
                                     std::to_string(error.error_number()));
        }
        if (error.operation() == "open") throw std::runtime_error("Cannot write Z23-Edur file: " + path.string());
        throw std::runtime_error("Failed while writing Z23-Edur file: " + path.string() + " (" + error.what() + ")");
    }
}

void write_pilot_file(const fs::path& path, std::string_view bytes) {
    create_parent_directories(path);
    try {
        platform::replace_file_durably(path, bytes);
    } catch (const FileError& error) {
        if (error.operation() == "open") throw std::runtime_error("Cannot write Z23-Edur file: " + path.string());
        throw std::runtime_error("Failed while writing Z23-Edur file: " + path.string() + " (" + error.what() + ")");
    }
}

void write_once_record(const fs::path& path, std::string_view bytes) {
    create_parent_directories(path);
    if (bytes.size() > kMaxWriteOnceRecordBytes) {
        throw std::invalid_argument("Z23-Edur write-once record is too large");
    }
    try {
        platform::create_file_exclusively(path, bytes);
    } catch (const FileError& error) {
        if (error.operation() == "create") {
            if (error.error_number() == EEXIST) throw std::invalid_argument("Z23-Edur decision identity already exists");
            throw std::runtime_error("Cannot create Z23-Edur write-once record, errno " +
                                     std::to_string(error.error_number()));
        }
        // This call made the file: a record that is not wholly on disk must not stand.
        std::error_code ignored;
        fs::remove(path, ignored);
        throw std::runtime_error("Cannot persist Z23-Edur write-once record, errno " +
                                 std::to_string(error.error_number()));
    }
}

std::string read_pilot_file(const fs::path& path) {
    try {
        return platform::read_file(path);
    } catch (const FileError& error) {
        if (error.operation() == "open") throw std::runtime_error("Cannot open Z23-Edur file: " + path.string());
        throw std::runtime_error("Cannot read Z23-Edur file: " + path.string());
    }
}

void sync_pilot_tree(const fs::path& root) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const fs::file_status own = entry.symlink_status();
        if (fs::is_regular_file(own)) {
            platform::sync_file(entry.path());
        } else if (fs::is_directory(own)) {
            platform::sync_directory(entry.path());
        }
    }
    platform::sync_directory(root);
}

}  // namespace vesk
