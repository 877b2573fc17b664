#include "cli/cli_options.hpp"

#include <stdexcept>
#include <string>

namespace vesk {

CliOptions parse_cli_arguments(int argc, const char* const* argv) {
    CliOptions options;
    const int count = argc - 1;
    if (count == 1 && std::string(argv[1]) == "--help") {
        options.show_help = true;
        return options;
    }
    if (count != 1 && count != 3) throw std::invalid_argument("expected a graph path and optional --output-dir");
    options.graph_path = std::filesystem::path(argv[1]);
    options.output_directory = std::filesystem::current_path();
    if (count == 3) {
        const std::string option = argv[2];
        if (option != "--output-dir") throw std::invalid_argument("unknown option '" + option + "'");
        options.output_directory = std::filesystem::path(argv[3]);
    }
    return options;
}

void print_cli_usage(std::ostream& stream) {
    stream << "Usage: vesk-cli <graph.json> [--output-dir <directory>]\n";
}

}  // namespace vesk
