// SHA-256 digests as lower-case hexadecimal text: of byte ranges, files and whole
// directory trees.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/files.hpp"

struct evp_md_st;
struct evp_md_ctx_st;

namespace vesk {

// One running digest. Not copyable; finish_hex() ends it and the hasher cannot be used
// again. Engine failures are std::runtime_error "SHA-256 failure during <step>".
class Sha256Hasher {
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // One chunk is at most 0xFFFFFFFF bytes ("SHA-256 input chunk is too large").
    void update(const void* bytes, std::size_t length);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    std::string finish_hex();

private:
    evp_md_st* algorithm_ = nullptr;
    evp_md_ctx_st* hash_ = nullptr;  // released once finished
    std::array<unsigned char, 32> digest_{};
};

// Digest of a byte range in one call.
std::string sha256_hex(std::string_view bytes);

// Streams the file in 64 KiB chunks. "Cannot open SHA-256 input: <path>" or
// "Cannot read SHA-256 input: <path>" (std::runtime_error). With Links::refuse a link at
// path is refused (a file another process may have planted).
std::string sha256_file(const std::filesystem::path& path, platform::Links links = platform::Links::follow);

// Digest of a manifest of every regular file below root, one line per file
// "<length of relative path>:<relative path>:<size>:<file digest>\n", sorted by relative
// path bytes. Directories add nothing; a symbolic link anywhere is refused.
std::string sha256_directory_tree(const std::filesystem::path& root);

// 64 ASCII hexadecimal digits, either case.
bool is_sha256_hex(std::string_view text);

}  // namespace vesk
