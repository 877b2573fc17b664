#include "model/ascii_text.hpp"

namespace vesk {

std::string to_lower_ascii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool is_safe_identifier(std::string_view text) {
    if (text.empty() || text.size() > kMaxSafeIdentifierBytes) return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace vesk
