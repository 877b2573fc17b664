#include "intake/image_io.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <Image_AlienPixMap.hxx>
#include <Quantity_ColorRGBA.hxx>
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

// Image_AlienPixMap::Load under the mutex. False when the library refuses the file or
// throws; the pixmap is then left empty.
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

// Image_AlienPixMap::Save under the mutex (format by the file name's extension). False
// when the library fails or throws.
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

std::uint8_t unit_to_byte(float component) {
    const double clamped = std::clamp(static_cast<double>(component), 0.0, 1.0);
    return static_cast<std::uint8_t>(std::lround(clamped * 255.0));
}

// Copies one row of an 8-bit format: Step bytes a pixel, red, green and blue at R, G and
// B, alpha at A (-1: opaque). The offsets are fixed at compile time, as a row copy is the
// whole cost of converting a large image.
template <std::size_t Step, std::size_t R, std::size_t G, std::size_t B, int A>
void copy_row(const Standard_Byte* row, std::uint32_t* out, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) {
        const Standard_Byte* p = row + Step * x;
        if constexpr (A < 0) {
            out[x] = make_pixel(p[R], p[G], p[B]);
        } else {
            out[x] = make_pixel(p[R], p[G], p[B], p[A]);
        }
    }
}

using RowCopy = void (*)(const Standard_Byte*, std::uint32_t*, std::size_t);

// The direct copy of the common 8-bit formats; null for any other.
RowCopy row_copy(Image_Format format) {
    switch (format) {
    case Image_Format_Gray:
        return copy_row<1, 0, 0, 0, -1>;
    case Image_Format_RGB:
        return copy_row<3, 0, 1, 2, -1>;
    case Image_Format_BGR:
        return copy_row<3, 2, 1, 0, -1>;
    case Image_Format_RGB32:
        return copy_row<4, 0, 1, 2, -1>;
    case Image_Format_BGR32:
        return copy_row<4, 2, 1, 0, -1>;
    case Image_Format_RGBA:
        return copy_row<4, 0, 1, 2, 3>;
    case Image_Format_BGRA:
        return copy_row<4, 2, 1, 0, 3>;
    default:
        return nullptr;
    }
}

// Copies a decoded pixmap into BGRA pixels, reading the bytes of the common 8-bit
// formats directly and anything else through the library's colour accessor.
RasterImage convert_pixmap(const Image_AlienPixMap& pixmap) {
    RasterImage image;
    image.width = static_cast<std::int32_t>(pixmap.SizeX());
    image.height = static_cast<std::int32_t>(pixmap.SizeY());
    image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height));
    const std::size_t width = static_cast<std::size_t>(image.width);
    const RowCopy copy = row_copy(pixmap.Format());
    for (std::int32_t y = 0; y < image.height; ++y) {
        const Standard_Byte* row = pixmap.Row(static_cast<Standard_Size>(y));
        std::uint32_t* out = image.pixels.data() + static_cast<std::size_t>(y) * width;
        if (copy != nullptr) {
            copy(row, out, width);
            continue;
        }
        for (std::int32_t x = 0; x < image.width; ++x) {
            const Quantity_ColorRGBA colour = pixmap.PixelColor(x, y, Standard_False);
            const Quantity_Color& rgb = colour.GetRGB();
            out[x] =
                make_pixel(unit_to_byte(static_cast<float>(rgb.Red())), unit_to_byte(static_cast<float>(rgb.Green())),
                           unit_to_byte(static_cast<float>(rgb.Blue())), unit_to_byte(colour.Alpha()));
        }
    }
    return image;
}

}  // namespace

std::optional<RasterImage> load_png(const std::filesystem::path& path) {
    Image_AlienPixMap pixmap;
    if (!load_image_file(pixmap, path)) return std::nullopt;
    constexpr std::size_t kMaxSide = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (pixmap.SizeX() == 0 || pixmap.SizeY() == 0 || pixmap.SizeX() > kMaxSide || pixmap.SizeY() > kMaxSide) {
        return std::nullopt;
    }
    try {
        return convert_pixmap(pixmap);
    } catch (const Standard_Failure&) {
        return std::nullopt;
    }
}

void save_png(const std::filesystem::path& path, std::int32_t width, std::int32_t height, const std::string& what,
              const std::function<void(const PngRow& row)>& fill) {
    Image_AlienPixMap pixmap;
    bool allocated = false;
    try {
        allocated =
            pixmap.InitTrash(Image_Format_BGRA, static_cast<Standard_Size>(width), static_cast<Standard_Size>(height));
    } catch (const Standard_Failure&) {
        allocated = false;
    }
    if (!allocated) throw std::runtime_error("OCCT could not allocate the " + what);
    fill([&pixmap](std::int32_t y) { return pixmap.ChangeRow(static_cast<Standard_Size>(y)); });
    if (path.has_parent_path()) {
        std::error_code error;
        std::filesystem::create_directories(path.parent_path(), error);
        if (error) throw std::runtime_error("Cannot create " + what + " directory: " + error.message());
    }
    if (!save_image_file(pixmap, path)) throw std::runtime_error("OCCT could not save " + what + ": " + path.string());
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
