// The STEP header rewrite on text alone, for the tests that feed it text the translator
// never writes.
#pragma once

#include <string>
#include <string_view>

namespace vesk {

// The FILE_NAME time stamp becomes "1970-01-01T00:00:00" and the translator's product
// counter becomes 1 in both places of its PRODUCT record; nothing else changes.
// Throws std::runtime_error when the text is not as the translator writes it.
std::string deterministic_step_text(std::string_view text);

}  // namespace vesk
