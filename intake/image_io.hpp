// Image file access and the pixels it hands out. FreeImage, underneath OCCT's
// Image_AlienPixMap, is not safe to call from two threads at once (its format detection
// races), so every image load and save in the process goes through this file, under one
// process-wide mutex; the library's pixmap type stays inside it. Pixel work on a loaded
// image needs no lock and happens outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// Pixels as 32-bit values: blue in the lowest byte, then green, red, alpha.
struct RasterImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> pixels;  // row-major, index y * width + x

    std::size_t index(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    }
    std::uint32_t at(std::int32_t x, std::int32_t y) const { return pixels[index(x, y)]; }
};

inline constexpr std::uint32_t make_pixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue,
                                          std::uint8_t alpha = 255) {
    return std::uint32_t{blue} | (std::uint32_t{green} << 8) | (std::uint32_t{red} << 16) |
           (std::uint32_t{alpha} << 24);
}
inline constexpr std::uint8_t pixel_blue(std::uint32_t p) { return static_cast<std::uint8_t>(p & 0xffu); }
inline constexpr std::uint8_t pixel_green(std::uint32_t p) { return static_cast<std::uint8_t>((p >> 8) & 0xffu); }
inline constexpr std::uint8_t pixel_red(std::uint32_t p) { return static_cast<std::uint8_t>((p >> 16) & 0xffu); }
inline constexpr std::uint8_t pixel_alpha(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 24); }

// Decodes an image file into pixels (8-bit formats byte for byte, any other through the
// library's colour accessor). Empty when the path is not a regular file, the library refuses
// the file or throws, or a side is zero or above INT32_MAX.
std::optional<RasterImage> load_png(const std::filesystem::path& path);

// Row y of an image being filled: 4 bytes a pixel, in the order blue, green, red, alpha.
using PngRow = std::function<std::uint8_t*(std::int32_t y)>;

// Allocates a width x height image, lets fill write its rows, creates the missing parent
// directories of path and saves the image there as a PNG (RGB when fully opaque, else RGBA),
// whole or not at all. `what` names the image in the failures, all std::runtime_error:
// "OCCT could not allocate the <what>", "Cannot create <what> directory: <reason>",
// "OCCT could not save <what>: <path>". fill's own exceptions pass through.
void save_png(const std::filesystem::path& path, std::int32_t width, std::int32_t height, const std::string& what,
              const std::function<void(const PngRow& row)>& fill);

// The eight bytes every PNG file starts with.
inline constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);

// The fixed start of a PNG file: signature and IHDR chunk.
struct PngHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t bit_depth = 0;
    std::uint8_t colour_type = 0;
};

// Reads the first 24 bytes of the file without decoding anything. Empty when the file
// cannot be opened, is shorter than that, lacks the PNG signature, or does not begin
// with an IHDR chunk of length 13.
std::optional<PngHeader> read_png_header(const std::filesystem::path& path);

}  // namespace vesk
