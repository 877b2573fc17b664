#include "intake/image_io.hpp"

#include <array>
#include <mutex>

#include <Image_AlienPixMap.hxx>
#include <Standard_Failure.hxx>
#include <TCollection_AsciiString.hxx>

#include "platform/files.hpp"

namespace vesk {
namespace {

std::uint32_t big_endian_u32(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

// The one mutex that serialises image-library file access in this process.
std::mutex& image_io_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

bool load_image_file(Image_AlienPixMap& pixmap, const std::filesystem::path& path) {
    // Only a regular file reaches the image library: a FIFO or device would block it or feed
    // it without end.
    try {
        platform::ReadableFile probe(path);
    } catch (const platform::FileError&) {
        pixmap.Clear();
        return false;
    }
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
    // Saved under a temporary name (it keeps the extension the library reads the format
    // from) and renamed into place whole.
    try {
        platform::TemporaryFile file(path);
        const TCollection_AsciiString name(file.library_path().c_str());
        {
            std::lock_guard<std::mutex> lock(image_io_mutex());
            if (!pixmap.Save(name)) return false;
        }
        file.commit();
        return true;
    } catch (const Standard_Failure&) {
        return false;
    } catch (const platform::FileError&) {
        return false;
    }
}

std::optional<PngHeader> read_png_header(const std::filesystem::path& path) {
    // Signature, IHDR length and type, width, height, bit depth, colour type.
    std::array<unsigned char, 26> head{};
    try {
        platform::ReadableFile file(path);
        std::size_t got = 0;
        while (got < head.size()) {
            const std::size_t n = file.read_some(head.data() + got, head.size() - got);
            if (n == 0) return std::nullopt;
            got += n;
        }
    } catch (const platform::FileError&) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kPngSignature.size(); ++i) {
        if (head[i] != static_cast<unsigned char>(kPngSignature[i])) return std::nullopt;
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
