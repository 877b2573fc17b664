// What the reader providers read and how they check it: whole files, strict JSON documents
// and reader responses, the string and known-field checks of their manifests, and relative
// paths kept under a root.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "intake/reader_response.hpp"
#include "model/ascii_text.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// The whole file (read_input_document): "Reader provider cannot open response: <path>" or
// "Reader provider cannot read response: <path>".
std::string read_text_file(const std::filesystem::path& path);
// The file as strict JSON; any failure is std::runtime_error "<label> is invalid JSON: <why>".
SortedJson read_json_file(const std::filesystem::path& path, const std::string& label);
// One reader output read and parsed; a drawing id other than the expected one is
// "Reader provider response identity does not match request '<id>'".
ReaderResponse load_reader_response(const std::filesystem::path& path, const std::string& expected_drawing_id);
// "<label>: field '<key>' must be a string" or "... must not be empty" (std::invalid_argument).
std::string require_string_field(const SortedJson& object, const std::string& label, const std::string& key);
// The text with 'A' to 'Z' lower-cased, every other byte kept; the service compares names
// without case through it.
inline std::string to_lower(std::string_view text) { return to_lower_ascii(text); }
// "<label> must be an object", then "<label> contains unknown field '<key>'".
void reject_unknown_fields(const SortedJson& value, const std::vector<std::string>& allowed_keys,
                           const std::string& label);
// The lexically normal path; refuses a NUL byte, an empty or absolute path and any "..".
std::filesystem::path safe_relative_path(const std::string& text, const std::string& label);
// The weakly canonical root/text, refused unless it stays inside root (path elements
// compared exactly: names that differ only in case are different files).
std::filesystem::path resolve_under_root(const std::filesystem::path& root, const std::string& text,
                                         const std::string& label);

}  // namespace vesk
