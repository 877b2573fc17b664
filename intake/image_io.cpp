#include "intake/image_io.hpp"

#include <array>
#include <fstream>

#include <Image_AlienPixMap.hxx>
#include <Standard_Failure.hxx>
#include <TCollection_AsciiString.hxx>

namespace vesk {
namespace {

std::uint32_t big_endian_u32(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

}  // namespace

std::mutex& image_io_mutex() {
    static std::mutex mutex;
    return mutex;
}

bool load_image_file(Image_AlienPixMap& pixmap, const std::filesystem::path& path) {
    const TCollection_AsciiString name(path.string().c_str());
    std::lock_guard<std::mutex> lock(image_io_mutex());
    try {
        if (pixmap.Load(name)) return true;
    } catch (const Standard_Failure&) {
    }
    pixmap.Clear();
    return false;
}

bool save_image_file(Image_AlienPixMap& pixmap, const std::filesystem::path& path) {
    const TCollection_AsciiString name(path.string().c_str());
    std::lock_guard<std::mutex> lock(image_io_mutex());
    try {
        return pixmap.Save(name);
    } catch (const Standard_Failure&) {
        return false;
    }
}

std::optional<PngHeader> read_png_header(const std::filesystem::path& path) {
    static constexpr std::array<unsigned char, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    // Signature, IHDR length and type, width, height, bit depth, colour type.
    std::array<unsigned char, 26> head{};
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    if (in.gcount() != static_cast<std::streamsize>(head.size())) return std::nullopt;
    for (std::size_t i = 0; i < kSignature.size(); ++i) {
        if (head[i] != kSignature[i]) return std::nullopt;
    }
    if (big_endian_u32(head.data() + 8) != 13) return std::nullopt;
    if (head[12] != 'I' || head[13] != 'H' || head[14] != 'D' || head[15] != 'R') return std::nullopt;
    PngHeader header;
    header.width = big_endian_u32(head.data() + 16);
    header.height = big_endian_u32(head.data() + 20);
    header.bit_depth = head[24];
    header.colour_type = head[25];
    return header;
}

}  // namespace vesk
