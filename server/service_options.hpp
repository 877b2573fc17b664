// Command line of vesk-service.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

#include "intake/reader_provider.hpp"

namespace vesk {

struct ServiceOptions {
    std::filesystem::path jobs_directory = "vesk-jobs";
    std::filesystem::path web_directory = "web";
    std::uint16_t port = 8765;
    std::uint64_t worker_count = 4;
    ReaderProviderSettings reader;
    bool show_help = false;  // "--help" in an option position: usage on standard output, exit 0
};

// Options come in pairs; a repeated option overrides. Throws std::invalid_argument.
// "--help" in an option position stops parsing at once with show_help set.
ServiceOptions parse_options(int argc, const char* const* argv);
// Unsigned base-10 (strtoul semantics), the whole text, 0 through 65535.
std::uint16_t parse_port(const std::string& text);
// Unsigned base-10 (strtoul semantics), the whole text, 1 through 32.
std::uint64_t parse_worker_count(const std::string& text);
void print_usage(std::ostream& stream);

}  // namespace vesk
