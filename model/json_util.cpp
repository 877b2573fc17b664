#include "model/json_util.hpp"

#include <set>
#include <stdexcept>

namespace vesk {
namespace {

// Tracks nesting and the keys seen in each open object while the library parses.
// Containers are pushed on start and popped on end; arrays carry no key set.
class StrictGuard {
public:
    template <typename Json>
    bool operator()(int /*depth*/, nlohmann::detail::parse_event_t event, Json& parsed) {
        using Event = nlohmann::detail::parse_event_t;
        switch (event) {
        case Event::object_start:
        case Event::array_start:
            if (open_.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
                throw std::invalid_argument("JSON nesting exceeds " + std::to_string(kMaxJsonDepth) +
                                            " levels");
            }
            open_.push_back(Frame{event == Event::object_start, {}});
            break;
        case Event::object_end:
        case Event::array_end:
            if (!open_.empty()) open_.pop_back();
            break;
        case Event::key: {
            const std::string& key = parsed.template get_ref<const std::string&>();
            if (!open_.empty() && open_.back().is_object && !open_.back().keys.insert(key).second) {
                throw std::invalid_argument("duplicate field '" + key + "'");
            }
            break;
        }
        case Event::value:
            break;
        }
        return true;
    }

private:
    struct Frame {
        bool is_object;
        std::set<std::string> keys;
    };
    std::vector<Frame> open_;
};

template <typename Json>
Json parse_guarded(std::string_view text) {
    StrictGuard guard;
    typename Json::parser_callback_t callback = [&guard](int depth, nlohmann::detail::parse_event_t event,
                                                         Json& parsed) { return guard(depth, event, parsed); };
    return Json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
}

}  // namespace

nlohmann::json parse_strict_json(std::string_view text) { return parse_guarded<nlohmann::json>(text); }

nlohmann::ordered_json parse_strict_ordered_json(std::string_view text) {
    return parse_guarded<nlohmann::ordered_json>(text);
}

void throw_path_error(const std::string& path, const std::string& message) {
    throw std::invalid_argument(path + ": " + message);
}

void check_object_fields(const nlohmann::json& json, const std::vector<std::string>& required_keys,
                         const std::vector<std::string>& allowed_keys, const std::string& path) {
    if (!json.is_object()) throw_path_error(path, "expected an object");
    for (const auto& key : required_keys) {
        if (!json.contains(key)) throw_path_error(path, "missing required field '" + key + "'");
    }
    for (const auto& item : json.items()) {
        bool allowed = false;
        for (const auto& key : allowed_keys) {
            if (key == item.key()) {
                allowed = true;
                break;
            }
        }
        if (!allowed) throw_path_error(path, "unknown field '" + item.key() + "'");
    }
}

std::string dump_json_document(const nlohmann::ordered_json& json) {
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::strict) + "\n";
}

std::string dump_json_document(const nlohmann::json& json) {
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::strict) + "\n";
}

}  // namespace vesk
