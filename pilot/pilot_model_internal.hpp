// The view stamp of pilot_model.cpp, which the tests check on its own.
#pragma once

#include <filesystem>

namespace vesk {

// Marks one view as the pipeline wrote it: data-release-state="PILOT/HOLD" on the root
// element and the caption as a text line in the margin, clear of the drawing. Any other
// file, or one already marked: "Z23-Edur SVG view cannot be stamped safely".
void stamp_view_release_mark(const std::filesystem::path& svg_path);

}  // namespace vesk
