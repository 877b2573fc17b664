// Image file access. FreeImage, underneath OCCT's Image_AlienPixMap, is not safe to call
// from two threads at once (its format detection races), so every image load and save
// in the process goes through these wrappers, which hold one process-wide mutex. Pixel
// work on a loaded image needs no lock and should happen outside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

class Image_AlienPixMap;

namespace vesk {

// Image_AlienPixMap::Load under the mutex. False when the library refuses the file or
// throws; the pixmap is then left empty.
bool load_image_file(Image_AlienPixMap& pixmap, const std::filesystem::path& path);

// Image_AlienPixMap::Save under the mutex (format by the file name's extension). False
// when the library fails or throws.
bool save_image_file(Image_AlienPixMap& pixmap, const std::filesystem::path& path);

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
