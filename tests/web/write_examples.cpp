// Writes the drawings shipped in examples/: a PNG for each example graph, the "file"
// reader provider's response for the plate drawing (examples/reader/), and the plate page
// for the pilot as a PDF. The same program always writes the same bytes, so the shipped
// files can be made again and compared.
//
// Usage: write_examples <directory>
#include <exception>
#include <filesystem>
#include <iostream>

#include "support/drawing_generator.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using namespace vesk::test;

namespace {

void write_drawing(const Drawing& drawing, const fs::path& path) {
    write_bilevel_png(path, drawing.render(), drawing.declared_dpi);
}

// The values of examples/plate_with_holes.json, laid out for the plate binding.
Drawing plate_with_holes() {
    PlateLayout layout;
    layout.width_mm = 100.0;
    layout.height_mm = 50.0;
    layout.thickness_mm = 10.0;
    layout.holes = {{25.0, 25.0, 10.0}, {75.0, 25.0, 10.0}};
    return plate_drawing(layout);
}

// Its graph lacks the hole diameter and the left edge: neither is printed.
Drawing underconstrained() {
    PlateLayout layout;
    layout.width_mm = 80.0;
    layout.height_mm = 40.0;
    layout.thickness_mm = 8.0;
    layout.holes = {{40.0, 20.0, 12.0}};
    Drawing drawing = plate_drawing(layout);
    // Readings: width, height, top edge, left edge, hole, then the top view's four.
    drawing.readings.erase(drawing.readings.begin() + 3, drawing.readings.begin() + 5);
    return drawing;
}

Drawing l_bracket() {
    BracketLayout layout;
    layout.overall_width_mm = 80.0;
    layout.foot_height_mm = 10.0;
    layout.foot_length_mm = 60.0;
    layout.upright_height_mm = 50.0;
    layout.upright_width_mm = 20.0;
    layout.overall_height_mm = 60.0;
    layout.thickness_mm = 30.0;
    return bracket_drawing(layout);
}

// Six bolt holes on a 70 mm circle, with the side view beside the front view.
Drawing flange() {
    constexpr double kRise = 30.31088913245535;  // 35 sin 60 degrees, as in the graph
    FlangeLayout layout;
    layout.diameter_mm = 100.0;
    layout.bore_mm = 30.0;
    layout.bolts = {{35.0, 0.0, 9.0},  {17.5, kRise, 9.0},   {-17.5, kRise, 9.0},
                    {-35.0, 0.0, 9.0}, {-17.5, -kRise, 9.0}, {17.5, -kRise, 9.0}};
    layout.length_mm = 12.0;
    layout.px_per_mm = 2.5;
    layout.centre = {250.0, 200.0};
    Drawing drawing = flange_drawing(layout);
    drawing.rectangle({405.0, 75.0}, {435.0, 325.0}, 2.0);
    return drawing;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: write_examples <directory>\n";
        return 2;
    }
    try {
        const fs::path out = argv[1];
        fs::create_directories(out / "reader");
        const Drawing plate = plate_with_holes();
        write_drawing(plate, out / "plate_with_holes.png");
        write_file(out / "reader" / "plate_with_holes.json", plate.reader_response_json("plate_with_holes"));
        write_drawing(underconstrained(), out / "underconstrained.png");
        write_drawing(l_bracket(), out / "l_bracket.png");
        write_drawing(flange(), out / "flange.png");
        write_pdf_file(out / "plate_pilot.pdf", plate_pdf());
    } catch (const std::exception& error) {
        std::cerr << "write_examples: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
