// The PDF page helper against the in-process page access: the same results and the same
// refusals (exception type and message) for the same calls; a helper that dies; a stop.
#include "intake/pdf_page_process.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <typeinfo>

#include <gtest/gtest.h>

#include "support/costly_pdfs.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"
#include "support/service_process.hpp"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PdfPageHelper helper(const fs::path& program = test::pdf_page_program()) {
    return PdfPageHelper{program, std::make_shared<PdfPageStop>()};
}

// The exception's type and message, or "returned".
std::string outcome(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
    return "returned";
}

bool same_summary(const PdfPageSummary& a, const PdfPageSummary& b) {
    return a.page_index == b.page_index && a.width_pt == b.width_pt && a.height_pt == b.height_pt &&
           a.object_count == b.object_count && a.text_objects == b.text_objects && a.path_objects == b.path_objects &&
           a.image_objects == b.image_objects && a.other_objects == b.other_objects &&
           a.has_vector_content == b.has_vector_content && a.invisible_text_objects == b.invisible_text_objects &&
           a.undecodable_text_objects == b.undecodable_text_objects;
}

TEST(PdfPageProcess, SameResultsAndRefusalsAsInProcess) {
    test::TempDir dir("vesk-pdf-process");
    test::PdfSpec spec = test::plate_pdf();
    test::PdfPageSpec& page = spec.pages[0];
    page.extra_content = "10 10 m 10 200 270 200 270 10 c S\n";
    page.form = test::PdfForm{{0.5, 0, 0, 0.5, 100, 20}, {test::PdfLabel{"R5", 10, 10}}, {test::PdfRect{0, 0, 20, 20}}};
    page.labels.push_back(test::PdfLabel{"hidden", 20, 100, 8, 3});
    const fs::path pdf = dir.path() / "page.pdf";
    test::write_pdf_file(pdf, spec);

    const PdfInspection local = inspect_pdf_pages(pdf, 1);
    const PdfInspection remote = PdfPageProcess(helper()).inspect_pdf_pages(pdf, 1);
    EXPECT_EQ(remote.page_count, local.page_count);
    EXPECT_EQ(remote.any_page_has_vector_content, local.any_page_has_vector_content);
    ASSERT_EQ(remote.pages.size(), 1u);
    EXPECT_TRUE(same_summary(remote.pages[0], local.pages[0]));

    const PdfPageVectors vectors = extract_pdf_page_vectors(pdf, 0, 300.0);
    const PdfPageVectors copied = PdfPageProcess(helper()).extract_pdf_page_vectors(pdf, 0, 300.0);
    EXPECT_TRUE(same_summary(copied.page, vectors.page));
    EXPECT_EQ(copied.width_px, vectors.width_px);
    EXPECT_EQ(copied.height_px, vectors.height_px);
    EXPECT_EQ(copied.dpi, 300.0);
    ASSERT_EQ(copied.texts.size(), vectors.texts.size());
    for (std::size_t i = 0; i < vectors.texts.size(); ++i) {
        EXPECT_EQ(copied.texts[i].text, vectors.texts[i].text);
        EXPECT_EQ(copied.texts[i].bbox.x, vectors.texts[i].bbox.x);
        EXPECT_EQ(copied.texts[i].bbox.height, vectors.texts[i].bbox.height);
    }
    ASSERT_EQ(copied.segments.size(), vectors.segments.size());
    EXPECT_GT(vectors.segments.size(), 64u);  // the curve, flattened
    for (std::size_t i = 0; i < vectors.segments.size(); ++i) {
        const PdfPathSegment& a = copied.segments[i];
        const PdfPathSegment& b = vectors.segments[i];
        EXPECT_TRUE(a.x1 == b.x1 && a.y2 == b.y2 && a.path_index == b.path_index && a.filled == b.filled) << i;
    }

    const PdfRasterResult raster = render_pdf_page(pdf, 0, 150.0, dir.path() / "local.png");
    const PdfRasterResult drawn = PdfPageProcess(helper()).render_pdf_page(pdf, 0, 150.0, dir.path() / "remote.png");
    EXPECT_EQ(drawn.output, dir.path() / "remote.png");
    EXPECT_EQ(drawn.width_px, raster.width_px);
    EXPECT_EQ(drawn.height_px, raster.height_px);
    EXPECT_EQ(test::read_file(drawn.output), test::read_file(raster.output));

    const fs::path missing = dir.path() / "missing.pdf";
    const fs::path empty = dir.path() / "empty.pdf";
    test::write_file(empty, "");
    const fs::path locked = dir.path() / "locked.pdf";
    test::write_pdf_file(locked, test::PdfSpec{{page}, test::PdfEncryption::user_password});
    struct Refusal {
        std::function<void()> local;
        std::function<void(PdfPageProcess&)> remote;
    };
    const Refusal refusals[] = {
        {[&] { inspect_pdf_pages(missing, 1); }, [&](PdfPageProcess& p) { p.inspect_pdf_pages(missing, 1); }},
        {[&] { inspect_pdf_pages(empty, 1); }, [&](PdfPageProcess& p) { p.inspect_pdf_pages(empty, 1); }},
        {[&] { inspect_pdf_pages(locked, 1); }, [&](PdfPageProcess& p) { p.inspect_pdf_pages(locked, 1); }},
        {[&] { extract_pdf_page_vectors(pdf, -1, 72.0); },
         [&](PdfPageProcess& p) { p.extract_pdf_page_vectors(pdf, -1, 72.0); }},
        {[&] { extract_pdf_page_vectors(pdf, 0, 35.9); },
         [&](PdfPageProcess& p) { p.extract_pdf_page_vectors(pdf, 0, 35.9); }},
        {[&] { render_pdf_page(pdf, 1, 72.0, dir.path() / "a.png"); },
         [&](PdfPageProcess& p) { p.render_pdf_page(pdf, 1, 72.0, dir.path() / "a.png"); }},
    };
    for (const Refusal& refusal : refusals) {
        const std::string expected = outcome(refusal.local);
        EXPECT_NE(expected, "returned");
        PdfPageProcess pages(helper());
        EXPECT_EQ(outcome([&] { refusal.remote(pages); }), expected);
    }
}

TEST(PdfPageProcess, HelperDeathsAndStop) {
    test::TempDir dir("vesk-pdf-process-end");
    const fs::path pdf = dir.path() / "page.pdf";
    test::write_pdf_file(pdf, test::plate_pdf());
    const auto script = [&](const std::string& name, const std::string& body) {
        const fs::path path = dir.path() / name;
        test::write_file(path, "#!/bin/sh\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    };
    for (const auto& [program, message] :
         {std::pair{script("exits", "exit 7"), "the page helper ended with exit code 7"},
          std::pair{script("crashes", "kill -SEGV $$"), "the page helper ended with signal 11"},
          std::pair{script("silent", "exit 0"), "the page helper's result is incomplete"}}) {
        PdfPageProcess pages(helper(program));
        EXPECT_EQ(outcome([&] { pages.render_pdf_page(pdf, 0, 72.0, dir.path() / "a.png"); }),
                  std::string(typeid(std::runtime_error).name()) + ": PDF page 0 could not be processed: " + message);
    }

    // A stop ends the page being drawn at once and refuses what comes after.
    const fs::path costly = dir.path() / "fills.pdf";
    test::write_pdf_file(costly, test::costly_pdfs().front().spec);
    const PdfPageHelper shared = helper();
    std::thread stopper([&] {
        while (test::child_processes(::getpid(), "vesk-pdf-page").empty()) std::this_thread::sleep_for(5ms);
        shared.stop->request();
    });
    const auto start = std::chrono::steady_clock::now();
    PdfPageProcess pages(shared);
    const std::string interrupted = outcome([&] { pages.render_pdf_page(costly, 0, 300.0, dir.path() / "b.png"); });
    stopper.join();
    EXPECT_EQ(interrupted, std::string(typeid(PdfPageInterrupted).name()) + ": " + PdfPageInterrupted().what());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(outcome([&] { pages.inspect_pdf_pages(pdf, 1); }), interrupted);
}

}  // namespace
}  // namespace vesk
