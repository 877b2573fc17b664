// vesk-cli: runs the model pipeline once on one DimensionGraph file.
#include <ctime>
#include <exception>
#include <iostream>

#include "cli/cli_options.hpp"
#include "model/occt_support.hpp"
#include "model/pipeline.hpp"

int main(int argc, char** argv) {
    // The C library reads the time zone on first use; OCCT's STEP date and the PDF engine's
    // colour code both use it. Read once here, before any thread exists, so they never race.
    ::tzset();
    // Standard output carries only the program's own lines.
    vesk::route_occt_messages_to_stderr();
    try {
        const vesk::CliOptions options = vesk::parse_cli_arguments(argc, argv);
        if (options.show_help) {
            vesk::print_cli_usage(std::cout);
            return 0;
        }
        const vesk::PipelineResult result = vesk::run_pipeline(options.graph_path, options.output_directory);
        const vesk::OutputPaths& out = result.outputs;
        std::cout << "STEP: " << out.step.string() << "\n"
                  << "Front SVG: " << out.front_svg.string() << "\n"
                  << "Top SVG: " << out.top_svg.string() << "\n"
                  << "Side SVG: " << out.side_svg.string() << "\n"
                  << "Report: " << out.report.string() << "\n";
        std::cout.flush();
        return std::cout ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "vesk-cli: " << error.what() << "\n";
        vesk::print_cli_usage(std::cerr);
        return 1;
    }
}
