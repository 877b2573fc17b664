#include "intake/sha256.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <openssl/evp.h>

#include "platform/files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileChunk = 65536;
constexpr std::size_t kMaxChunk = 0xFFFFFFFFu;

[[noreturn]] void engine_failure(const char* step) {
    throw std::runtime_error(std::string("SHA-256 failure during ") + step);
}

struct FileDigest {
    std::string hex;
    std::uintmax_t size = 0;
};

// Only regular files are hashed: a FIFO or device is refused on opening with the open
// message (never waited on or read without end); a directory, which always opened and then
// failed to read, keeps the read message.
FileDigest digest_file(const fs::path& path, platform::Links links) {
    std::optional<platform::ReadableFile> file;
    try {
        file.emplace(path, links);
    } catch (const platform::FileError& error) {
        throw std::runtime_error((error.error_number() == EISDIR ? "Cannot read SHA-256 input: "
                                                                 : "Cannot open SHA-256 input: ") +
                                 path.string());
    }
    Sha256Hasher hasher;
    // Left uninitialised: a tree digest opens thousands of small files.
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kFileChunk]);
    FileDigest result;
    for (;;) {
        std::size_t got = 0;
        try {
            got = file->read_some(buffer.get(), kFileChunk);
        } catch (const platform::FileError&) {
            throw std::runtime_error("Cannot read SHA-256 input: " + path.string());
        }
        if (got == 0) break;
        hasher.update(buffer.get(), got);
        result.size += static_cast<std::uintmax_t>(got);
    }
    result.hex = hasher.finish_hex();
    return result;
}

}  // namespace

Sha256Hasher::Sha256Hasher() {
    algorithm_ = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (algorithm_ == nullptr) engine_failure("algorithm initialization");
    if (EVP_MD_get_size(algorithm_) != static_cast<int>(digest_.size())) {
        EVP_MD_free(algorithm_);
        engine_failure("digest length query");
    }
    hash_ = EVP_MD_CTX_new();
    if (hash_ == nullptr || EVP_DigestInit_ex(hash_, algorithm_, nullptr) != 1) {
        EVP_MD_CTX_free(hash_);
        EVP_MD_free(algorithm_);
        engine_failure("hash creation");
    }
}

Sha256Hasher::~Sha256Hasher() {
    EVP_MD_CTX_free(hash_);
    EVP_MD_free(algorithm_);
}

void Sha256Hasher::update(const void* bytes, std::size_t length) {
    if (length > kMaxChunk) throw std::invalid_argument("SHA-256 input chunk is too large");
    if (hash_ == nullptr) throw std::logic_error("SHA-256 hasher is already finished");
    if (length == 0) return;
    if (EVP_DigestUpdate(hash_, bytes, length) != 1) engine_failure("input hashing");
}

std::string Sha256Hasher::finish_hex() {
    if (hash_ == nullptr) throw std::logic_error("SHA-256 hasher is already finished");
    unsigned int written = 0;
    const int ok = EVP_DigestFinal_ex(hash_, digest_.data(), &written);
    EVP_MD_CTX_free(hash_);
    hash_ = nullptr;
    if (ok != 1 || written != digest_.size()) engine_failure("hash completion");
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest_.size() * 2);
    for (const unsigned char byte : digest_) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0F]);
    }
    return hex;
}

std::string sha256_hex(std::string_view bytes) {
    Sha256Hasher hasher;
    hasher.update(bytes);
    return hasher.finish_hex();
}

std::string sha256_file(const fs::path& path, platform::Links links) { return digest_file(path, links).hex; }

std::string sha256_directory_tree(const fs::path& root) {
    if (!fs::is_directory(fs::status(root))) {
        throw std::runtime_error("Cannot hash directory tree because it is not a directory: " + root.string());
    }
    // The walk starts at the resolved root. Every directory below it is reached without
    // a link (a link anywhere refuses the whole tree), so each entry's path is already its
    // canonical form and the relative text needs no further resolution.
    const fs::path canonical_root = fs::weakly_canonical(root);
    std::vector<std::pair<std::string, fs::path>> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(canonical_root)) {
        const fs::file_status own = entry.symlink_status();
        const fs::path relative = entry.path().lexically_relative(canonical_root);
        if (fs::is_symlink(own)) {
            throw std::runtime_error("Cannot hash directory tree containing a symbolic link: " +
                                     (root / relative).string());
        }
        if (!fs::is_regular_file(own)) continue;
        files.emplace_back(relative.generic_string(), entry.path());
    }
    // std::string orders bytes as unsigned characters, a prefix first.
    std::stable_sort(files.begin(), files.end(),
                     [](const auto& left, const auto& right) { return left.first < right.first; });
    std::string manifest;
    for (const auto& [relative, path] : files) {
        // Size and digest come from the same pass over the bytes, so they always agree.
        // A file swapped for a link after the walk is still refused.
        const FileDigest digest = digest_file(path, platform::Links::refuse);
        manifest += std::to_string(relative.size());
        manifest += ':';
        manifest += relative;
        manifest += ':';
        manifest += std::to_string(digest.size);
        manifest += ':';
        manifest += digest.hex;
        manifest += '\n';
    }
    return sha256_hex(manifest);
}

bool is_sha256_hex(std::string_view text) {
    if (text.size() != 64) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

}  // namespace vesk
