#include "model/step_exchange.hpp"
#include "model/step_exchange_internal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/occt_support.hpp"
#include "model/solid_builder.hpp"
#include "support/expect_error.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::test::read_file;
using vesk::test::TempDir;
using vesk::test::write_file;

using vesk::test::error_message;

namespace {

const bool kRouted = (vesk::route_occt_messages_to_stderr(), true);

struct Hole {
    double x, y, r;
};

// A w x h plate, t thick, with through-holes, built by the solid builder.
TopoDS_Shape plate(double w, double h, double t, const std::vector<Hole>& holes) {
    vesk::DimensionGraph g;
    g.views = {{"vf", vesk::ViewType::front}, {"vt", vesk::ViewType::top}};
    vesk::test::add_rectangle(g, "f", "vf", w, h);
    vesk::test::add_rectangle(g, "t", "vt", w, t);
    for (const Hole& hole : holes) {
        const std::string id = "c" + std::to_string(g.entities.size());
        g.entities.push_back(vesk::test::circle_entity(id, "vf", hole.x, hole.y, hole.r));
    }
    return vesk::build_m2_solid(g).shape;
}

TopoDS_Shape plate_with_two_holes() { return plate(100, 50, 10, {{25.0, 25.0, 5.0}, {75.0, 25.0, 4.0}}); }

// The i-th of a family of distinct plates.
TopoDS_Shape numbered_plate(int i) {
    std::vector<Hole> holes;
    for (int k = 0; k <= i % 4; ++k) holes.push_back({10.0 + 15.0 * k, 12.0 + 0.5 * i, 3.0 + 0.25 * k});
    return plate(80.0 + 2.0 * i, 40.0 + i, 6.0 + 0.5 * (i % 3), holes);
}

std::vector<double> values_of(const vesk::ShapeMeasurement& m) {
    std::vector<double> values = {m.min_x, m.min_y, m.min_z, m.max_x, m.max_y, m.max_z};
    for (const auto& c : m.cylinders) values.insert(values.end(), {c.x, c.y, c.radius});
    return values;
}

// Run by SameBytesOnEveryWriteAndInAnotherProcess in a fresh process: this write is the
// process's first use of the translator.
TEST(StepExchangeChild, WriteForParent) {
    const char* out = std::getenv("VESK_STEP_CHILD_OUT");
    if (out == nullptr) GTEST_SKIP() << "runs only as the child of SameBytesOnEveryWriteAndInAnotherProcess";
    vesk::write_step_file(plate_with_two_holes(), out);
    (void)vesk::read_step_file(out);
}

TEST(StepExchange, SameBytesOnEveryWriteAndInAnotherProcess) {
    const TempDir dir;
    ::setenv("VESK_STEP_CHILD_OUT", (dir.path() / "child.step").c_str(), 1);
    const auto child = vesk::test::run_process("/proc/self/exe", {"--gtest_filter=StepExchangeChild.WriteForParent"});
    ::unsetenv("VESK_STEP_CHILD_OUT");
    ASSERT_EQ(child.exit_code, 0) << child.out;
    // The translator's progress report must not reach standard output.
    EXPECT_EQ(child.out.find("Statistics on Transfer"), std::string::npos) << child.out;
    EXPECT_EQ(child.out.find("Step File Name"), std::string::npos) << child.out;

    const TopoDS_Shape shape = plate_with_two_holes();
    vesk::write_step_file(shape, dir.path() / "a.step");
    vesk::write_step_file(shape, dir.path() / "b.step");  // advances the translator's product counter
    const std::string a = read_file(dir.path() / "a.step");
    EXPECT_EQ(a, read_file(dir.path() / "b.step"));
    const std::string first = read_file(dir.path() / "child.step");
    EXPECT_EQ(a, first);
    EXPECT_NE(first.find("FILE_SCHEMA((\n'AP242_MANAGED_MODEL_BASED_3D_ENGINEERING_MIM_LF."), std::string::npos)
        << "the first write of a process must already carry the AP242 schema\n" << first.substr(0, 600);
    EXPECT_NE(a.find("FILE_NAME('Open CASCADE Shape Model','1970-01-01T00:00:00',("), std::string::npos);
    EXPECT_NE(a.find("PRODUCT('Open CASCADE STEP translator 7.6 1',\n  'Open CASCADE STEP translator 7.6 1','',"),
              std::string::npos)
        << a.substr(0, 1500);
}

constexpr const char* kSyntheticStep =
    "ISO-10303-21;\n"
    "HEADER;\n"
    "FILE_DESCRIPTION(('Open CASCADE Model'),'2;1');\n"
    "FILE_NAME('Open CASCADE Shape Model','2031-05-06T07:08:09',('Author'),(\n"
    "    'Open CASCADE'),'Open CASCADE STEP processor 7.6','Open CASCADE 7.6'\n"
    "  ,'Unknown');\n"
    "ENDSEC;\n"
    "DATA;\n"
    "#7 = PRODUCT('Open CASCADE STEP translator 7.6 12',\n"
    "  'Open CASCADE STEP translator 7.6 12','',(#8));\n"
    "#9 = NOTE('Open CASCADE STEP translator 7.6 12');\n"
    "ENDSEC;\n"
    "END-ISO-10303-21;\n";

std::string replace_once(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(StepHeaderRewrite, FixesStampAndCounterOnlyInTheProductRecord) {
    std::string expected = replace_once(kSyntheticStep, "2031-05-06T07:08:09", "1970-01-01T00:00:00");
    expected = replace_once(replace_once(expected, "7.6 12',\n", "7.6 1',\n"), "7.6 12','',", "7.6 1','',");
    ASSERT_NE(expected.find("NOTE('Open CASCADE STEP translator 7.6 12')"), std::string::npos);
    EXPECT_EQ(vesk::deterministic_step_text(kSyntheticStep), expected);
    EXPECT_EQ(vesk::deterministic_step_text(expected), expected);
}

TEST(StepHeaderRewrite, RefusesTextsNotWrittenByTheTranslator) {
    const std::string base = kSyntheticStep;
    const std::pair<std::string, const char*> cases[] = {
        {replace_once(base, "7.6 12',\n", "7.6 12a',\n"), "STEP data has an invalid OCCT PRODUCT counter"},
        {replace_once(base, "7.6 12',\n", "7.6 ',\n"), "STEP data has an invalid OCCT PRODUCT counter"},
        {replace_once(base, "'Open CASCADE Shape Model'", "'Other Model'"),
         "STEP header is missing the OCCT FILE_NAME record"},
        {replace_once(base, "2031-05-06T07:08:09", ""), "STEP header has an invalid FILE_NAME timestamp"},
        {base.substr(0, base.find("',('Author')")), "STEP header has an invalid FILE_NAME timestamp"},
        {replace_once(base, "#7 = PRODUCT(", "#7 = ITEM("), "STEP data is missing the OCCT PRODUCT record"},
        {base.substr(0, base.find("7.6 12',") + 6), "STEP data has an invalid OCCT PRODUCT record"},
        {"", "STEP header is missing the OCCT FILE_NAME record"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(error_message([&] { (void)vesk::deterministic_step_text(text); }), expected) << text;
    }
}

TEST(StepExchange, HeaderRewriteOfFiles) {
    // A refused rewrite leaves the file as it was.
    const TempDir dir;
    const fs::path foreign = dir.path() / "foreign.step";
    const std::string foreign_text = replace_once(kSyntheticStep, "7.6 12',\n", "7.6 12a',\n");
    write_file(foreign, foreign_text);
    EXPECT_EQ(error_message([&] { vesk::make_step_header_deterministic(foreign); }),
              "STEP data has an invalid OCCT PRODUCT counter");
    EXPECT_EQ(read_file(foreign), foreign_text);

    const fs::path missing = dir.path() / "missing.step";
    EXPECT_EQ(error_message([&] { vesk::make_step_header_deterministic(missing); }),
              "Cannot reopen STEP file for deterministic header: " + missing.string());
}

TEST(StepExchange, ReadAndWriteFailures) {
    const TempDir dir;
    const fs::path empty = dir.path() / "empty.step", text = dir.path() / "notes.step";
    const fs::path binary = dir.path() / "image.step", missing = dir.path() / "missing.step";
    write_file(empty, "");
    write_file(text, "This is not a STEP file.\nJust two lines of text.\n");
    write_file(binary, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    for (const fs::path& path : {empty, text, binary, missing}) {
        EXPECT_EQ(error_message([&] { (void)vesk::read_step_file(path); }),
                  "OCCT failed to read STEP file: " + path.string());
    }

    EXPECT_EQ(error_message<std::invalid_argument>([&] { vesk::write_step_file(TopoDS_Shape(), dir.path() / "n.step"); }),
              "Cannot write a null shape to STEP");
    const fs::path unwritable = dir.path() / "no_such_dir" / "x.step";
    EXPECT_EQ(error_message([&] { vesk::write_step_file(numbered_plate(0), unwritable); }),
              "OCCT failed to write STEP file: " + unwritable.string());
}

// Eight threads each build, write and read back twenty different shapes at once; every
// file must equal the one written alone and read back to the same measurement.
TEST(StepExchange, ConcurrentWritesAndReadsMatchSingleThreaded) {
    constexpr int kShapes = 20;
    constexpr int kThreads = 8;
    const TempDir dir;
    auto write_and_read = [&](const std::string& name, int i, std::string& bytes, std::vector<double>& measure) {
        const fs::path path = dir.path() / (name + "_" + std::to_string(i) + ".step");
        vesk::write_step_file(numbered_plate(i), path);
        measure = values_of(vesk::measure_shape(vesk::read_step_file(path)));
        bytes = read_file(path);
    };
    std::vector<std::string> reference(kShapes);
    std::vector<std::vector<double>> reference_measure(kShapes);
    for (int i = 0; i < kShapes; ++i) write_and_read("alone", i, reference[i], reference_measure[i]);

    struct Outcome {
        std::string bytes, error;
        std::vector<double> measure;
    };
    std::vector<std::vector<Outcome>> outcomes(kThreads, std::vector<Outcome>(kShapes));
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
        threads.emplace_back([&, k] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int n = 0; n < kShapes; ++n) {
                const int i = (n + 3 * k) % kShapes;  // threads start on different shapes
                Outcome& outcome = outcomes[k][i];
                try {
                    write_and_read("t" + std::to_string(k), i, outcome.bytes, outcome.measure);
                } catch (const std::exception& e) {
                    outcome.error = e.what();
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int k = 0; k < kThreads; ++k) {
        for (int i = 0; i < kShapes; ++i) {
            SCOPED_TRACE("thread " + std::to_string(k) + " shape " + std::to_string(i));
            ASSERT_EQ(outcomes[k][i].error, "");
            EXPECT_TRUE(outcomes[k][i].bytes == reference[i]);
            EXPECT_EQ(outcomes[k][i].measure, reference_measure[i]);
        }
    }
}

}  // namespace
