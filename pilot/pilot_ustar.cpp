#include "pilot/pilot_ustar.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vesk {

namespace {

constexpr std::size_t kUstarNameLength = 100;
constexpr std::size_t kUstarPrefixLength = 155;

// Field offsets of the ustar header.
constexpr std::size_t kModeOffset = 100;
constexpr std::size_t kUidOffset = 108;
constexpr std::size_t kGidOffset = 116;
constexpr std::size_t kSizeOffset = 124;
constexpr std::size_t kMtimeOffset = 136;
constexpr std::size_t kChecksumOffset = 148;
constexpr std::size_t kChecksumLength = 8;
constexpr std::size_t kTypeOffset = 156;
constexpr std::size_t kMagicOffset = 257;
constexpr std::size_t kVersionOffset = 263;
constexpr std::size_t kPrefixOffset = 345;

void put(UstarHeader& header, std::size_t offset, std::string_view bytes) {
    std::memcpy(header.data() + offset, bytes.data(), bytes.size());
}

}  // namespace

std::pair<std::string, std::string> split_ustar_path(std::string_view path) {
    if (path.size() <= kUstarNameLength) return {std::string(), std::string(path)};
    for (std::size_t slash = path.rfind('/'); slash != std::string_view::npos;
         slash = slash == 0 ? std::string_view::npos : path.rfind('/', slash - 1)) {
        const std::string_view prefix = path.substr(0, slash);
        const std::string_view name = path.substr(slash + 1);
        if (prefix.size() <= kUstarPrefixLength && name.size() <= kUstarNameLength) {
            return {std::string(prefix), std::string(name)};
        }
    }
    throw std::runtime_error("Z23-Edur evidence archive path is too long");
}

UstarHeader make_ustar_header(std::string_view prefix, std::string_view name, std::uint64_t size) {
    if (name.size() > kUstarNameLength || prefix.size() > kUstarPrefixLength) {
        throw std::runtime_error("Z23-Edur evidence archive path field is too long");
    }
    if (size > kUstarMaxSize) throw std::runtime_error("Z23-Edur evidence archive numeric field overflowed");
    UstarHeader header{};
    put(header, 0, name);
    put(header, kModeOffset, std::string_view("0000644\0", 8));
    put(header, kUidOffset, std::string_view("0000000\0", 8));
    put(header, kGidOffset, std::string_view("0000000\0", 8));
    char size_text[16];
    std::snprintf(size_text, sizeof size_text, "%011llo", static_cast<unsigned long long>(size));
    put(header, kSizeOffset, std::string_view(size_text, 12));  // eleven digits and the NUL
    put(header, kMtimeOffset, std::string_view("00000000000\0", 12));
    header[kTypeOffset] = '0';
    put(header, kMagicOffset, std::string_view("ustar\0", 6));
    put(header, kVersionOffset, "00");
    put(header, kPrefixOffset, prefix);

    // The checksum counts its own field as eight spaces.
    std::memset(header.data() + kChecksumOffset, ' ', kChecksumLength);
    unsigned long sum = 0;
    for (const char c : header) sum += static_cast<unsigned char>(c);
    char checksum[16];
    const int length = std::snprintf(checksum, sizeof checksum, "%06lo", sum);
    if (length != 6) throw std::runtime_error("Z23-Edur evidence archive checksum failed");
    put(header, kChecksumOffset, std::string_view(checksum, 6));
    header[kChecksumOffset + 6] = '\0';
    header[kChecksumOffset + 7] = ' ';
    return header;
}

std::size_t ustar_padding(std::uint64_t size) {
    const std::uint64_t rest = size % kUstarBlockSize;
    return rest == 0 ? 0 : static_cast<std::size_t>(kUstarBlockSize - rest);
}

}  // namespace vesk
