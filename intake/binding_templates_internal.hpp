// The stepped-block template on its own, for the tests that hand it readings which do not
// close.
#pragma once

#include <vector>

#include "intake/raster_intake.hpp"
#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

DimensionGraph bind_stepped_template(const RasterExtraction& extraction, const std::vector<DimensionReading>& readings);

}  // namespace vesk
