// Input documents read and output files written through the platform file layer, with the
// messages the readers and writers of this system report.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/files.hpp"

namespace vesk {

// Largest graph, reader response or manifest accepted: far beyond any real drawing, and a
// bound on what one request can make the process hold.
inline constexpr std::size_t kMaxInputDocumentBytes = std::size_t{64} << 20;

// Reads an input document whole. Throws std::runtime_error: open_message + path when it cannot
// be opened, read_message + path when it is not a regular file (a FIFO or device is refused at
// once) or a read fails, and "Input document exceeds the 64 MiB limit: <path>" past the cap.
std::string read_input_document(const std::filesystem::path& path, const std::string& open_message,
                                const std::string& read_message);

// The message of a failed output write: "Failed while writing <what> file: <path>" when the
// bytes did not reach the file, "Cannot write <what> file: <path>" for any other step.
[[noreturn]] void throw_output_error(const platform::FileError& error, const std::string& what,
                                     const std::filesystem::path& path);

// Writes an output file whole or not at all: a temporary beside it renamed into place (a link
// at path is replaced, its target untouched). A device or FIFO at path is written in place:
// replacing a device node would destroy it.
void write_output_file(const std::filesystem::path& path, std::string_view text, const std::string& what);

// Renames a finished temporary into place, with the same messages.
void commit_output_file(platform::TemporaryFile& file, const std::string& what);

}  // namespace vesk
