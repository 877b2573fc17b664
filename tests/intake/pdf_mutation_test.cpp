// Seeded mutation of generated PDFs (truncations, byte flips, swapped objects, cut and
// repeated spans): every case must end in a result or in one of the page access's own
// exceptions, never in a crash, a hang or another exception type. VESK_PDF_MUTATIONS sets
// the case count (default 2000) and VESK_PDF_MUTATION_SEED the seed. The case being run is
// the file "case.pdf" in the directory printed at the start; a crash leaves it there.
#include <cstdlib>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "intake/pdf_page_access.hpp"
#include "intake/vector_dimensions.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

std::vector<std::string> base_files() {
    using namespace test;
    std::vector<std::string> files = {write_pdf(plate_pdf())};
    PdfSpec mixed;
    PdfPageSpec& page = mixed.pages[0];
    page.labels = {PdfLabel{"12.5", 20, 150, 8, 0, true}, PdfLabel{"\xC3\x98" "10H7", 80, 150},
                   PdfLabel{"hidden", 20, 100, 8, 3}, PdfLabel{"\xC2\x81", 20, 60}};
    page.rects = {PdfRect{100, 100, 50, 30, true, true}};
    page.extra_content = "10 10 m 10 200 270 200 270 10 c S\n";
    page.inline_image = true;
    page.form = PdfForm{{0.5, 0, 0, 0.5, 100, 20}, {PdfLabel{"R5", 10, 10}}, {PdfRect{0, 0, 20, 20}}, 3, false};
    files.push_back(write_pdf(mixed));
    PdfPageSpec rotated = page;
    rotated.rotate = 90;
    rotated.crop_box = std::array<double, 4>{10, 10, 250, 200};
    PdfPageSpec second;
    second.labels = {PdfLabel{"7", 50, 50}};
    files.push_back(write_pdf(PdfSpec{{rotated, second}, PdfEncryption::none}));
    files.push_back(write_pdf(PdfSpec{{page}, PdfEncryption::empty_user_password}));
    return files;
}

std::size_t env_count(const char* name, std::size_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? static_cast<std::size_t>(std::strtoull(value, nullptr, 10)) : fallback;
}

std::string mutate(std::string pdf, std::mt19937_64& random) {
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % std::max<std::size_t>(n, 1)); };
    switch (random() % 5) {
        case 0:  // truncation
            pdf.resize(pick(pdf.size()));
            break;
        case 1:  // byte flips
            for (std::size_t k = 1 + pick(8); k > 0; --k) pdf[pick(pdf.size())] = static_cast<char>(random());
            break;
        case 2: {  // two object bodies swapped (offsets in the table go stale)
            std::vector<std::size_t> starts;
            for (std::size_t at = pdf.find(" 0 obj"); at != std::string::npos; at = pdf.find(" 0 obj", at + 1)) {
                starts.push_back(at);
            }
            if (starts.size() < 2) break;
            std::size_t a = starts[pick(starts.size())];
            std::size_t b = starts[pick(starts.size())];
            if (a > b) std::swap(a, b);
            const std::size_t a_end = pdf.find("endobj", a);
            const std::size_t b_end = pdf.find("endobj", b);
            if (a == b || a_end == std::string::npos || b_end == std::string::npos || a_end > b) break;
            pdf = pdf.substr(0, a) + pdf.substr(b, b_end - b) + pdf.substr(a_end, b - a_end) + pdf.substr(a, a_end - a) +
                  pdf.substr(b_end);
            break;
        }
        case 3: {  // a span cut out
            const std::size_t at = pick(pdf.size());
            pdf.erase(at, pick(200));
            break;
        }
        default: {  // a span repeated, digits changed in it
            const std::size_t at = pick(pdf.size());
            std::string span = pdf.substr(at, pick(120));
            for (char& c : span) {
                if (c >= '0' && c <= '9' && random() % 3 == 0) c = static_cast<char>('0' + random() % 10);
            }
            pdf.insert(at, span);
            break;
        }
    }
    return pdf;
}

template <typename F>
void run_case(F&& call, std::size_t& refused) {
    try {
        call();
    } catch (const std::invalid_argument&) {
        ++refused;
    } catch (const std::out_of_range&) {
        ++refused;
    } catch (const std::runtime_error&) {
        ++refused;
    }
}

TEST(PdfMutation, EveryMutatedFileEndsInAResultOrARefusal) {
    const std::size_t cases = env_count("VESK_PDF_MUTATIONS", 2000);
    std::mt19937_64 random(env_count("VESK_PDF_MUTATION_SEED", 20261209));
    const std::vector<std::string> bases = base_files();
    test::TempDir dir("vesk-pdf-mutation");
    const std::filesystem::path file = dir.path() / "case.pdf";
    std::cerr << "mutation cases in " << dir.path() << "\n";
    std::size_t refused = 0;
    std::size_t read = 0;
    for (std::size_t i = 0; i < cases; ++i) {
        test::write_file(file, mutate(bases[i % bases.size()], random));
        run_case([&] { inspect_pdf_pages(file); }, refused);
        run_case(
            [&] {
                read_pdf_vector_dimensions(file, 0, 72.0, "m");
                ++read;
            },
            refused);
        if (i % 4 == 0) run_case([&] { render_pdf_page(file, 0, 36.0, dir.path() / "case.png"); }, refused);
    }
    // The mutations must leave a good share readable, or they test only the loader.
    EXPECT_GT(read, cases / 4);
    EXPECT_GT(refused, cases / 20);
    std::cerr << cases << " cases: " << read << " read, " << refused << " refusals\n";
}

}  // namespace
}  // namespace vesk
