// ASCII rules on text that the pilot and the service share: lower-casing for names compared
// without case, the safe identifier that every client-chosen name must be, and numbers as
// messages write them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

inline constexpr std::size_t kMaxSafeIdentifierBytes = 128;

// 'A' to 'Z' become 'a' to 'z'; every other byte stays as it is.
std::string to_lower_ascii(std::string_view text);

// 1 to 128 bytes of ASCII letters, digits, '-', '.' and '_'.
bool is_safe_identifier(std::string_view text);

// A number as people write it: the shortest text that reads back as the same double, or,
// with a precision in decimals, rounded to it with trailing zeros dropped.
std::string number_text(double value, std::optional<int> decimals = std::nullopt);

}  // namespace vesk
