// The reading origin's text form read back, for the tests that write readings themselves.
#pragma once

#include <string_view>

#include "intake/reader_response.hpp"

namespace vesk {

// Exact, case-sensitive text to origin; anything else is a std::invalid_argument
// "Unknown VLM reading origin '<text>'".
ReadingOrigin parse_reading_origin(std::string_view text);

}  // namespace vesk
