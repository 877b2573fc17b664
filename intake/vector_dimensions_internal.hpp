// The unit rule of vector_dimensions.cpp, which the tests check on its own.
#pragma once

#include <string_view>

namespace vesk {

// Rule U: the text alone proves millimetres.
bool has_millimeter_unit_evidence(std::string_view text);

}  // namespace vesk
