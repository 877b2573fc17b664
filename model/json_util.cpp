#include "model/json_util.hpp"

#include <cstdint>
#include <set>
#include <stdexcept>
#include <utility>

namespace vesk {
namespace {

// Builds the value from the library's SAX events and makes the checks the library does
// not: nesting depth and repeated keys. One pass, linear in the text. (The library's
// callback parser could make the same checks, but it rescans the parent container after
// every closed one and was quadratic in the length of an array of objects.) Syntax errors
// reach parse_error at the same place as in a plain parse and are thrown as they are, so
// the first fault in the text is the one reported.
template <typename Json>
class CheckedBuilder {
public:
    explicit CheckedBuilder(Json& root) : root_(root) {}

    bool null() { return add(nullptr); }
    bool boolean(bool value) { return add(value); }
    bool number_integer(typename Json::number_integer_t value) { return add(value); }
    bool number_unsigned(typename Json::number_unsigned_t value) { return add(value); }
    bool number_float(typename Json::number_float_t value, const std::string& /*text*/) { return add(value); }
    bool string(std::string& value) { return add(std::move(value)); }
    bool binary(typename Json::binary_t& value) { return add(Json::binary(std::move(value))); }

    bool start_object(std::size_t /*elements*/) {
        open();
        return add(Json::object());
    }
    bool start_array(std::size_t /*elements*/) {
        open();
        return add(Json::array());
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& key) {
        // Keys come only inside an object, so the innermost open level is one.
        if (!keys_[open_.size() - 1].insert(key).second) {
            throw std::invalid_argument("duplicate field '" + key + "'");
        }
        slot_ = &(*open_.back())[key];
        return true;
    }

    template <typename Exception>
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const Exception& error) {
        throw error;
    }

private:
    void open() {
        if (open_.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
            throw std::invalid_argument("JSON nesting exceeds " + std::to_string(kMaxJsonDepth) + " levels");
        }
    }

    // Places a value: the root, the next element of the open array, or the member whose
    // key came last. A container just placed becomes the open one.
    template <typename Value>
    bool add(Value&& value) {
        Json* placed = nullptr;
        if (open_.empty()) {
            root_ = Json(std::forward<Value>(value));
            placed = &root_;
        } else if (open_.back()->is_array()) {
            open_.back()->emplace_back(std::forward<Value>(value));
            placed = &open_.back()->back();
        } else {
            *slot_ = Json(std::forward<Value>(value));
            placed = slot_;
        }
        if (placed->is_structured()) {
            if (keys_.size() == open_.size()) keys_.emplace_back();
            keys_[open_.size()].clear();
            open_.push_back(placed);
        }
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    Json& root_;
    // The open containers, outermost first. A pointer stays valid while its container is
    // open: only the innermost container grows.
    std::vector<Json*> open_;
    std::vector<std::set<std::string>> keys_;  // keys per open level, reused
    Json* slot_ = nullptr;                      // the member whose key came last
};

template <typename Json>
Json parse_checked(std::string_view text) {
    Json root;
    CheckedBuilder<Json> builder(root);
    Json::sax_parse(text.begin(), text.end(), &builder, Json::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/false);
    return root;
}

}  // namespace

nlohmann::json parse_strict_json(std::string_view text) { return parse_checked<nlohmann::json>(text); }

nlohmann::ordered_json parse_strict_ordered_json(std::string_view text) {
    return parse_checked<nlohmann::ordered_json>(text);
}

void throw_path_error(const std::string& path, const std::string& message) {
    throw std::invalid_argument(path + ": " + message);
}

void check_object_fields(const nlohmann::json& json, const std::vector<std::string>& required_keys,
                         const std::vector<std::string>& allowed_keys, const std::string& path) {
    if (!json.is_object()) throw_path_error(path, "expected an object");
    if (const auto missing = first_missing_key(json, required_keys)) {
        throw_path_error(path, "missing required field '" + *missing + "'");
    }
    check_known_fields(json, allowed_keys, path, UnknownFieldWording::path);
}

std::string require_non_empty_string(const nlohmann::json& object, const std::string& key, const std::string& path,
                                     EmptyStringWording wording) {
    const auto found = object.is_object() ? object.find(key) : object.end();
    const bool is_string = object.is_object() && found != object.end() && found->is_string();
    if (is_string && !found->get_ref<const std::string&>().empty()) return found->get<std::string>();
    if (wording == EmptyStringWording::combined) throw_path_error(path, "field '" + key + "' must be a non-empty string");
    throw_path_error(path, "field '" + key + (is_string ? "' must not be empty" : "' must be a string"));
}

void check_known_fields(const nlohmann::json& object, const std::vector<std::string>& allowed_keys,
                        const std::string& path, UnknownFieldWording wording) {
    const bool contains = wording == UnknownFieldWording::contains;
    if (!object.is_object()) {
        if (contains) throw std::invalid_argument(path + " must be an object");
        throw_path_error(path, "expected an object");
    }
    if (const auto unknown = first_unknown_key(object, allowed_keys)) {
        if (contains) throw std::invalid_argument(path + " contains unknown field '" + *unknown + "'");
        throw_path_error(path, "unknown field '" + *unknown + "'");
    }
}

std::string dump_json_document(const nlohmann::ordered_json& json) {
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string dump_json_document(const nlohmann::json& json) {
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string dump_json_line(const nlohmann::ordered_json& json) {
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vesk
