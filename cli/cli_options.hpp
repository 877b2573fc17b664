// Argument handling of vesk-cli.
#pragma once

#include <filesystem>
#include <ostream>

namespace vesk {

struct CliOptions {
    std::filesystem::path graph_path;
    std::filesystem::path output_directory;
    bool show_help = false;  // "--help" alone: print the usage line and exit 0
};

CliOptions parse_cli_arguments(int argc, const char* const* argv);
void print_cli_usage(std::ostream& stream);

}  // namespace vesk
