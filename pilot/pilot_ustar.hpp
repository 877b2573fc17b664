// The POSIX ustar format as the evidence bundle writes it: fixed mode, owner ids and
// time, so that the same files always give the same archive bytes. Pure: no file access.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vesk {

inline constexpr std::size_t kUstarBlockSize = 512;
// Eleven octal digits.
inline constexpr std::uint64_t kUstarMaxSize = 077777777777ULL;

using UstarHeader = std::array<char, kUstarBlockSize>;

// (prefix, name): the path itself with an empty prefix when it has at most 100 bytes;
// otherwise the rightmost "/" whose prefix fits 155 and whose name fits 100 bytes.
// None fits: std::runtime_error "Z23-Edur evidence archive path is too long".
std::pair<std::string, std::string> split_ustar_path(std::string_view path);

// The 512-byte header of one regular file member: mode 0644, owner 0/0, time 0.
// Errors: "Z23-Edur evidence archive path field is too long",
// "Z23-Edur evidence archive numeric field overflowed",
// "Z23-Edur evidence archive checksum failed" (std::runtime_error).
UstarHeader make_ustar_header(std::string_view prefix, std::string_view name, std::uint64_t size);

// Zero bytes that follow `size` bytes of data up to the next block.
std::size_t ustar_padding(std::uint64_t size);

// Two zero blocks end the archive.
inline constexpr std::size_t kUstarEndLength = 2 * kUstarBlockSize;

}  // namespace vesk
