// The raster intake's pixel arithmetic, its rotation and the millimetre marker it looks
// for: what the tests and the drawing generator share with raster_intake.cpp.
#pragma once

#include <cstdint>

#include "intake/raster_intake.hpp"

namespace vesk {

inline constexpr std::uint32_t kOpaqueWhite = 0xffffffffu;

// Brightness on 0..255: 0.2126 red + 0.7152 green + 0.0722 blue.
double pixel_luma(std::uint32_t pixel);

// The image rotated by angle_deg about its centre (output pixel (x, y) samples the input
// where a line descending by angle_deg would carry it); same size, white fill outside.
RasterImage rotate_raster(const RasterImage& image, double angle_deg);

// The printed millimetre marker: 12 rows of 64 cells, bit c of a row is column c. It is
// looked for with its top-left cell at (kMarkerLeft, kMarkerTop) on a 640 x 420 sheet.
inline constexpr std::int32_t kMarkerSheetWidth = 640;
inline constexpr std::int32_t kMarkerSheetHeight = 420;
inline constexpr std::int32_t kMarkerLeft = 478;
inline constexpr std::int32_t kMarkerTop = 380;
inline constexpr std::uint64_t kMillimeterMarkerRows[12] = {
    0x0000000000000000ull, 0x0000000600000000ull, 0x0000000984021208ull, 0x0000001084023208ull,
    0x4f13c08084025208ull, 0x8922400604025208ull, 0x8822001004029208ull, 0x8822001004031008ull,
    0x8822001084031108ull, 0x8822008f040210f0ull, 0x0000000000000000ull, 0x0000000000000000ull,
};

}  // namespace vesk
