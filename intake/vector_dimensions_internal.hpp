// The unit rule of vector_dimensions.cpp, which the tests check on its own.
#pragma once

#include <string_view>

namespace vesk {

// True when the text alone proves millimetres: a unit note, a bracketed dual-unit value
// whose inch figure converts to its millimetre figure, an ISO fit diameter or a metric thread.
bool has_millimeter_unit_evidence(std::string_view text);

}  // namespace vesk
