// STEP AP242 files: writing a solid with a deterministic header, and reading one back.
#pragma once

#include <filesystem>

#include <TopoDS_Shape.hxx>

#include "platform/files.hpp"

namespace vesk {

// Writes the shape as STEP AP242 with a deterministic header into a temporary beside path,
// then renames it into place: the name never shows a partial or undetermined file.
void write_step_file(const TopoDS_Shape& shape, const std::filesystem::path& path);
// The same into an uncommitted temporary (messages name its final path).
void write_step_file(const TopoDS_Shape& shape, platform::TemporaryFile& file);

// Replaces the file with its text made deterministic (one durable replace): the FILE_NAME
// time stamp becomes "1970-01-01T00:00:00" and the translator's product counter 1.
void make_step_header_deterministic(const std::filesystem::path& path);

// Reads a STEP file and returns its content as one shape.
TopoDS_Shape read_step_file(const std::filesystem::path& path);
// Reads a written, not yet committed temporary (messages name its final path).
TopoDS_Shape read_step_file(const platform::TemporaryFile& file);

}  // namespace vesk
