// Strict JSON: the single entry point through which every strict parser reads text, the
// key-set checks of objects and the path-error helpers every strict parser reports through.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vesk {

// Deepest nesting accepted by parse_strict_json.
inline constexpr int kMaxJsonDepth = 64;

// Parses text as exactly one JSON value: exceptions on, no comments, nothing after the
// value, at most kMaxJsonDepth levels of nesting, and no object that repeats a key
// ("duplicate field '<key>'"). Throws std::invalid_argument for the two extra guards and
// the JSON library's own exceptions for syntax errors.
nlohmann::json parse_strict_json(std::string_view text);
// The same guards, parsed into the insertion-ordered type, so that a document the system
// wrote itself is amended without reordering it.
nlohmann::ordered_json parse_strict_ordered_json(std::string_view text);

// Throws std::invalid_argument(path + ": " + message).
[[noreturn]] void throw_path_error(const std::string& path, const std::string& message);

// The key sets of objects; each caller words its own refusal. Keys compare as exact bytes.
// The first key of object, in its ascending byte order, that is not in allowed; nothing
// when there is none or object is not an object.
template <typename Keys>
std::optional<std::string> first_unknown_key(const nlohmann::json& object, const Keys& allowed) {
    if (!object.is_object()) return std::nullopt;
    for (const auto& item : object.items()) {
        if (std::find(std::begin(allowed), std::end(allowed), item.key()) == std::end(allowed)) return item.key();
    }
    return std::nullopt;
}
inline std::optional<std::string> first_unknown_key(const nlohmann::json& object,
                                                    std::initializer_list<std::string_view> allowed) {
    return first_unknown_key<std::initializer_list<std::string_view>>(object, allowed);
}
// The first key of required, in list order, that object lacks; nothing when it has them all.
template <typename Keys>
std::optional<std::string> first_missing_key(const nlohmann::json& object, const Keys& required) {
    for (const auto& key : required) {
        if (!object.contains(key)) return std::string(key);
    }
    return std::nullopt;
}

// Object check: an object, every required key (in list order) present, every key (in the
// object's ascending byte order) allowed. Only the first failure is reported.
void check_object_fields(const nlohmann::json& json, const std::vector<std::string>& required_keys,
                         const std::vector<std::string>& allowed_keys, const std::string& path);

// How the field checks word a refusal: the documents of the system were specified apart.
enum class EmptyStringWording {
    split,     // "<path>: field '<key>' must be a string" / "<path>: field '<key>' must not be empty"
    combined,  // "<path>: field '<key>' must be a non-empty string" for both
};
enum class UnknownFieldWording {
    path,      // "<path>: expected an object" / "<path>: unknown field '<key>'"
    contains,  // "<path> must be an object" / "<path> contains unknown field '<key>'"
};

// The non-empty string at key of an object; a missing field, a non-object or a value of
// another type is "not a string". Throws std::invalid_argument.
std::string require_non_empty_string(const nlohmann::json& object, const std::string& key, const std::string& path,
                                     EmptyStringWording wording = EmptyStringWording::split);

// Refuses a value that is not an object, then the first key (in the object's ascending byte
// order) not in allowed_keys. Throws std::invalid_argument.
void check_known_fields(const nlohmann::json& object, const std::vector<std::string>& allowed_keys,
                        const std::string& path, UnknownFieldWording wording);

// Indent-2 text with one final "\n", UTF-8 unescaped. Bytes that are not UTF-8 (a message
// that quotes a path, say) are replaced by U+FFFD: writing a document never fails on them.
std::string dump_json_document(const nlohmann::ordered_json& json);
std::string dump_json_document(const nlohmann::json& json);
// The compact one-line form (no final "\n"), with the same replacement.
std::string dump_json_line(const nlohmann::ordered_json& json);

}  // namespace vesk
