// Single-page PDFs of a few KiB that cost the PDF engine far more than a page may: each
// one would hold a renderer at 300 dpi for minutes or make it take gigabytes. Shared by
// the end-to-end tests and the measurement of their figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/pdf_writer.hpp"

namespace vesk::test {

struct CostlyPdf {
    std::string name;
    PdfSpec spec;
};

inline std::vector<CostlyPdf> costly_pdfs() {
    const auto repeat = [](const std::string& operators, int times) {
        std::string out;
        for (int i = 0; i < times; ++i) out += operators;
        return out;
    };
    const auto a4 = [](std::string content, std::vector<PdfResource> resources = {}) {
        PdfSpec spec;
        PdfPageSpec& page = spec.pages.front();
        page.width = 595.0;
        page.height = 842.0;
        page.deflate = true;
        page.extra_content = std::move(content);
        page.resources = std::move(resources);
        return spec;
    };
    const auto grey_image = [](const std::string& size, std::uint64_t bytes, std::string data) {
        return PdfResource{"XObject", "Im1",
                           "/Type /XObject /Subtype /Image " + size + " /ColorSpace /DeviceGray /BitsPerComponent 8",
                           std::move(data), bytes > 0, bytes};
    };
    const std::string on_page = "q 595 0 0 842 0 0 cm\n";
    const std::string postscript = "{ " + repeat("2 copy add exch pop ", 400) + "pop pop 0.5 0.5 0.5 }";
    PdfSpec wide_page = plate_pdf();
    wide_page.pages[0].width = wide_page.pages[0].height = 3930.0;
    return {
        {"2,000 full-page fills", a4(repeat("0 0 595 842 re f\n", 2000))},
        {"tiling pattern of 0.01 pt steps",
         a4("/Pattern cs /P1 scn 0 0 595 842 re f\n",
            {{"Pattern", "P1",
              "/Type /Pattern /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 1 1] /XStep 0.01 /YStep 0.01 "
              "/Resources << >>",
              "0 0 1 1 re f"}})},
        {"Type 4 function shading",
         a4("/Sh1 sh\n",
            {{"", "Fn", "/FunctionType 4 /Domain [0 1 0 1] /Range [0 1 0 1 0 1]", postscript},
             {"Shading", "Sh1",
              "/ShadingType 1 /ColorSpace /DeviceRGB /Domain [0 1 0 1] /Matrix [595 0 0 842 0 0] /Function {Fn}",
              ""}})},
        {"2x2 image scaled to the page 4,000 times",
         a4(on_page + repeat("/Im1 Do\n", 4000) + "Q\n",
            {grey_image("/Width 2 /Height 2", 0, std::string("\x00\xff\x80\x40", 4))})},
        {"10000 x 10000 image drawn 200 times",
         a4(on_page + repeat("/Im1 Do\n", 200) + "Q\n", {grey_image("/Width 10000 /Height 10000", 100'000'000, "")})},
        {"2,000 shading operators",
         a4(repeat("/Sh1 sh\n", 2000),
            {{"Shading", "Sh1",
              "/ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 595 842] /Function << /FunctionType 2 /Domain "
              "[0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >> /Extend [true true]",
              ""}})},
        {"3930 x 3930 pt page", wide_page},
        {"700,000,000 x 1 image",
         a4(on_page + "/Im1 Do Q\n", {grey_image("/Width 700000000 /Height 1", 700'000'000, "")})},
    };
}

}  // namespace vesk::test
