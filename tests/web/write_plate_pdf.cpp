// Writes the checked plate drawing as a single-page PDF, so that the browser test uploads
// exactly the page the pilot tests analyse.
#include <exception>
#include <iostream>

#include "support/pdf_writer.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: write_plate_pdf <output.pdf>\n";
        return 2;
    }
    try {
        vesk::test::write_pdf_file(argv[1], vesk::test::plate_pdf());
    } catch (const std::exception& error) {
        std::cerr << "write_plate_pdf: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
