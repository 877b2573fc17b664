#include "intake/provider_inputs.hpp"

#include <stdexcept>

#include "model/document_files.hpp"
#include "model/json_util.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

// Path elements without the empty element a trailing separator leaves.
std::vector<std::string> path_elements(const fs::path& path) {
    std::vector<std::string> elements;
    for (const fs::path& element : path) {
        if (!element.empty()) elements.push_back(element.string());
    }
    return elements;
}

}  // namespace

std::string read_text_file(const fs::path& path) {
    return read_input_document(path,
                               "Reader provider cannot open response: ", "Reader provider cannot read response: ");
}

SortedJson read_json_file(const fs::path& path, const std::string& label) {
    try {
        return parse_strict_json(read_text_file(path));
    } catch (const std::exception& error) {
        throw std::runtime_error(label + " is invalid JSON: " + error.what());
    }
}

ReaderResponse load_reader_response(const fs::path& path, const std::string& expected_drawing_id) {
    ReaderResponse response = parse_agent_reader_v2_response(read_text_file(path), path.string());
    if (response.drawing_id != expected_drawing_id) {
        throw std::runtime_error("Reader provider response identity does not match request '" + expected_drawing_id +
                                 "'");
    }
    return response;
}

std::string require_string_field(const SortedJson& object, const std::string& label, const std::string& key) {
    return require_non_empty_string(object, key, label);
}

void reject_unknown_fields(const SortedJson& value, const std::vector<std::string>& allowed_keys,
                           const std::string& label) {
    check_known_fields(value, allowed_keys, label, UnknownFieldWording::contains);
}

fs::path safe_relative_path(const std::string& text, const std::string& label) {
    // The operating system would stop at a NUL byte and open some other path than the
    // one checked here.
    if (text.find('\0') != std::string::npos) {
        throw std::invalid_argument(label + " must not contain a NUL byte");
    }
    const fs::path path(text);
    if (path.empty() || path.is_absolute()) {
        throw std::invalid_argument(label + " must be a non-empty relative path");
    }
    const fs::path normal = path.lexically_normal();
    for (const fs::path& element : normal) {
        if (element == "..") throw std::invalid_argument(label + " must not escape its source root");
    }
    return normal;
}

fs::path resolve_under_root(const fs::path& root, const std::string& text, const std::string& label) {
    const fs::path relative = safe_relative_path(text, label);
    const fs::path resolved = fs::weakly_canonical(root / relative);
    // The root is compared in its resolved form too, so a root reached through a link or
    // given relative still contains what lies below it.
    const std::vector<std::string> root_elements = path_elements(fs::weakly_canonical(root).lexically_normal());
    const std::vector<std::string> resolved_elements = path_elements(resolved.lexically_normal());
    bool inside = root_elements.size() <= resolved_elements.size();
    for (std::size_t i = 0; inside && i < root_elements.size(); ++i) {
        inside = root_elements[i] == resolved_elements[i];
    }
    if (!inside) throw std::invalid_argument(label + " escapes its source root");
    return resolved;
}

}  // namespace vesk
