// STEP AP242 files: writing a solid with a deterministic header, and reading one back.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include <TopoDS_Shape.hxx>

#include "platform/files.hpp"

namespace vesk {

// OCCT's STEP translator keeps process-wide state (its schema parameter, controller
// registry and product counter) and corrupts it when two threads use it at once. Every
// write (schema setting, transfer, write) and every read holds this one lock; nothing
// else needs it.
std::mutex& step_translator_mutex();

// Writes the shape as STEP AP242 with a deterministic header into a temporary beside path,
// then renames it into place: the name never shows a partial or undetermined file.
void write_step_file(const TopoDS_Shape& shape, const std::filesystem::path& path);
// The same into an uncommitted temporary (messages name its final path).
void write_step_file(const TopoDS_Shape& shape, platform::TemporaryFile& file);

// Replaces the file with deterministic_step_text of its content (one durable replace).
void make_step_header_deterministic(const std::filesystem::path& path);

// The FILE_NAME time stamp becomes "1970-01-01T00:00:00" and the translator's product
// counter becomes 1 in both places of its PRODUCT record; nothing else changes.
// Throws std::runtime_error when the text is not as the translator writes it.
std::string deterministic_step_text(std::string_view text);

// Reads a STEP file and returns its content as one shape.
TopoDS_Shape read_step_file(const std::filesystem::path& path);
// Reads a written, not yet committed temporary (messages name its final path).
TopoDS_Shape read_step_file(const platform::TemporaryFile& file);

}  // namespace vesk
