// The four part shapes the deterministic binding knows: rectangular plate, L-shaped
// bracket, stepped block and round flange. Each reads the readings in annotation-slot
// order, checks that they close and agree with the raster's proportions, and builds the
// graph from the reading values (millimetres); pixels only confirm proportions. Every
// failed check throws std::invalid_argument with its message.
#pragma once

#include <string>
#include <vector>

#include "intake/raster_intake.hpp"
#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// Four line entities counter-clockwise from (0, y0): "<view>_bottom", "<view>_right",
// "<view>_top", "<view>_left"; returns their ids in that order.
std::vector<std::string> add_rectangle_edges(DimensionGraph& graph, const std::string& view_id, double width,
                                             double height, double y0);

// Dispatch by profile_kind; another kind is "raster profile is outside the deterministic
// binding grammar".
DimensionGraph bind_profile_template(const RasterExtraction& extraction,
                                     const std::vector<DimensionReading>& readings);

}  // namespace vesk
