// The binding's carrying of a reading box into the normalised image, which the tests check
// against rotated drawings.
#pragma once

#include "intake/raster_intake.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// The reading's box carried into the normalised image (rotated with the raster).
SourceBox map_box_to_normalized(const SourceBox& box, const RasterIntakeResult& raster);

}  // namespace vesk
