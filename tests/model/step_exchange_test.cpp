#include "model/step_exchange.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/occt_support.hpp"
#include "model/solid_builder.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;

namespace {

const bool kRouted = (vesk::route_occt_messages_to_stderr(), true);

struct Hole {
    double x, y, r;
};

using vesk::test::add_rectangle;

// A w x h plate, t thick, with through-holes, built by the solid builder.
TopoDS_Shape plate(double w, double h, double t, const std::vector<Hole>& holes) {
    vesk::DimensionGraph g;
    g.views = {{"vf", vesk::ViewType::front}, {"vt", vesk::ViewType::top}};
    add_rectangle(g, "f", "vf", w, h);
    add_rectangle(g, "t", "vt", w, t);
    int n = 0;
    for (const Hole& hole : holes) {
        g.entities.push_back({"c" + std::to_string(++n), vesk::EntityType::circle, "vf",
                              vesk::CircleGeometry{{hole.x, hole.y}, hole.r}});
    }
    return vesk::build_m2_solid(g).shape;
}

// The i-th of a family of distinct plates.
TopoDS_Shape numbered_plate(int i) {
    std::vector<Hole> holes;
    for (int k = 0; k <= i % 4; ++k) holes.push_back({10.0 + 15.0 * k, 12.0 + 0.5 * i, 3.0 + 0.25 * k});
    return plate(80.0 + 2.0 * i, 40.0 + i, 6.0 + 0.5 * (i % 3), holes);
}

using vesk::test::read_file;
using vesk::test::write_file;

class StepExchange : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(::testing::TempDir()) / (std::string("vesk_step_") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }
    fs::path dir_;
};

std::string runtime_message(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no runtime_error>";
}

void expect_same_measurement(const vesk::ShapeMeasurement& a, const vesk::ShapeMeasurement& b) {
    EXPECT_EQ(a.min_x, b.min_x);
    EXPECT_EQ(a.min_y, b.min_y);
    EXPECT_EQ(a.min_z, b.min_z);
    EXPECT_EQ(a.max_x, b.max_x);
    EXPECT_EQ(a.max_y, b.max_y);
    EXPECT_EQ(a.max_z, b.max_z);
    ASSERT_EQ(a.cylinders.size(), b.cylinders.size());
    for (std::size_t i = 0; i < a.cylinders.size(); ++i) {
        EXPECT_EQ(a.cylinders[i].x, b.cylinders[i].x);
        EXPECT_EQ(a.cylinders[i].y, b.cylinders[i].y);
        EXPECT_EQ(a.cylinders[i].radius, b.cylinders[i].radius);
    }
}

const Hole kTwoHoles[] = {{25.0, 25.0, 5.0}, {75.0, 25.0, 4.0}};

// Run by SameBytesInAnotherProcess in a fresh process: one write is that process's first
// use of the translator.
TEST(StepExchangeChild, WriteForParent) {
    const char* out = std::getenv("VESK_STEP_CHILD_OUT");
    if (out == nullptr) GTEST_SKIP() << "runs only as the child of SameBytesInAnotherProcess";
    vesk::write_step_file(plate(100, 50, 10, {std::begin(kTwoHoles), std::end(kTwoHoles)}), out);
    (void)vesk::read_step_file(out);
}

TEST_F(StepExchange, SameBytesOnEveryWriteWithFixedHeader) {
    const TopoDS_Shape shape = plate(100, 50, 10, {std::begin(kTwoHoles), std::end(kTwoHoles)});
    vesk::write_step_file(shape, dir_ / "a.step");
    vesk::write_step_file(shape, dir_ / "b.step");
    const std::string a = read_file(dir_ / "a.step");
    EXPECT_EQ(a, read_file(dir_ / "b.step"));

    EXPECT_NE(a.find("FILE_NAME('Open CASCADE Shape Model','1970-01-01T00:00:00',("), std::string::npos);
    const std::size_t product = a.find("PRODUCT('Open CASCADE STEP translator 7.6 1',\n"
                                       "  'Open CASCADE STEP translator 7.6 1','',");
    EXPECT_NE(product, std::string::npos) << a.substr(0, 1500);
    EXPECT_NE(a.find("FILE_SCHEMA((\n'AP242_MANAGED_MODEL_BASED_3D_ENGINEERING_MIM_LF."), std::string::npos)
        << a.substr(0, 600);
}

TEST_F(StepExchange, SameBytesInAnotherProcess) {
    const fs::path child_file = dir_ / "child.step";
    const fs::path child_stdout = dir_ / "child.stdout";
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string command = "VESK_STEP_CHILD_OUT='" + child_file.string() + "' '" + self.string() +
                                "' --gtest_filter=StepExchangeChild.WriteForParent >'" +
                                child_stdout.string() + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const TopoDS_Shape shape = plate(100, 50, 10, {std::begin(kTwoHoles), std::end(kTwoHoles)});
    vesk::write_step_file(shape, dir_ / "warm.step");  // advances this process's product counter
    vesk::write_step_file(shape, dir_ / "here.step");
    const std::string child = read_file(child_file);
    EXPECT_NE(child.find("'AP242_MANAGED_MODEL_BASED_3D_ENGINEERING_MIM_LF."), std::string::npos)
        << "the first write of a process must already carry the AP242 schema";
    EXPECT_EQ(child, read_file(dir_ / "here.step"));

    // The translator's progress report must not reach standard output.
    const std::string out = read_file(child_stdout);
    EXPECT_EQ(out.find("Statistics on Transfer"), std::string::npos) << out;
    EXPECT_EQ(out.find("Step File Name"), std::string::npos) << out;
}

TEST_F(StepExchange, ReadBackKeepsTheMeasurement) {
    const TopoDS_Shape shape = plate(100, 50, 10, {std::begin(kTwoHoles), std::end(kTwoHoles)});
    vesk::write_step_file(shape, dir_ / "p.step");
    const vesk::ShapeMeasurement m = vesk::measure_shape(vesk::read_step_file(dir_ / "p.step"));
    EXPECT_NEAR(m.max_x - m.min_x, 100.0, 1e-6);
    EXPECT_NEAR(m.max_y - m.min_y, 50.0, 1e-6);
    EXPECT_NEAR(m.max_z - m.min_z, 10.0, 1e-6);
    ASSERT_EQ(m.cylinders.size(), 2u);
    EXPECT_NEAR(m.cylinders[0].x, 25.0, 1e-6);
    EXPECT_NEAR(m.cylinders[0].radius, 5.0, 1e-6);
    EXPECT_NEAR(m.cylinders[1].x, 75.0, 1e-6);
    EXPECT_NEAR(m.cylinders[1].radius, 4.0, 1e-6);
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
    const std::string expected = replace_once(
        replace_once(replace_once(kSyntheticStep, "2031-05-06T07:08:09", "1970-01-01T00:00:00"), "7.6 12',\n",
                     "7.6 1',\n"),
        "7.6 12','',", "7.6 1','',");
    ASSERT_NE(expected.find("NOTE('Open CASCADE STEP translator 7.6 12')"), std::string::npos);
    EXPECT_EQ(vesk::deterministic_step_text(kSyntheticStep), expected);
    EXPECT_EQ(vesk::deterministic_step_text(expected), expected);
}

TEST(StepHeaderRewrite, RefusesTextsNotWrittenByTheTranslator) {
    const std::string base = kSyntheticStep;
    const struct {
        const char* label;
        std::string text;
        const char* message;
    } cases[] = {
        {"counter with a letter", replace_once(base, "7.6 12',\n", "7.6 12a',\n"),
         "STEP data has an invalid OCCT PRODUCT counter"},
        {"counter missing", replace_once(base, "7.6 12',\n", "7.6 ',\n"),
         "STEP data has an invalid OCCT PRODUCT counter"},
        {"foreign FILE_NAME", replace_once(base, "'Open CASCADE Shape Model'", "'Other Model'"),
         "STEP header is missing the OCCT FILE_NAME record"},
        {"empty time stamp", replace_once(base, "2031-05-06T07:08:09", ""),
         "STEP header has an invalid FILE_NAME timestamp"},
        {"time stamp never closed",
         base.substr(0, base.find("',('Author')")),
         "STEP header has an invalid FILE_NAME timestamp"},
        {"no PRODUCT record", replace_once(base, "#7 = PRODUCT(", "#7 = ITEM("),
         "STEP data is missing the OCCT PRODUCT record"},
        {"PRODUCT name never closed", base.substr(0, base.find("7.6 12',") + 6),
         "STEP data has an invalid OCCT PRODUCT record"},
        {"empty text", "", "STEP header is missing the OCCT FILE_NAME record"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runtime_message([&] { (void)vesk::deterministic_step_text(c.text); }), c.message) << c.label;
    }
}

TEST_F(StepExchange, HeaderRewriteOfFiles) {
    const fs::path good = dir_ / "good.step";
    write_file(good, kSyntheticStep);
    vesk::make_step_header_deterministic(good);
    EXPECT_EQ(read_file(good), vesk::deterministic_step_text(kSyntheticStep));

    // A refused rewrite leaves the file as it was.
    const fs::path foreign = dir_ / "foreign.step";
    const std::string foreign_text = replace_once(kSyntheticStep, "7.6 12',\n", "7.6 12a',\n");
    write_file(foreign, foreign_text);
    EXPECT_EQ(runtime_message([&] { vesk::make_step_header_deterministic(foreign); }),
              "STEP data has an invalid OCCT PRODUCT counter");
    EXPECT_EQ(read_file(foreign), foreign_text);

    const fs::path missing = dir_ / "missing.step";
    EXPECT_EQ(runtime_message([&] { vesk::make_step_header_deterministic(missing); }),
              "Cannot reopen STEP file for deterministic header: " + missing.string());
}

TEST_F(StepExchange, ReadFailures) {
    const fs::path empty = dir_ / "empty.step";
    const fs::path text = dir_ / "notes.step";
    const fs::path binary = dir_ / "image.step";
    const fs::path missing = dir_ / "missing.step";
    write_file(empty, "");
    write_file(text, "This is not a STEP file.\nJust two lines of text.\n");
    write_file(binary, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    for (const fs::path& path : {empty, text, binary, missing}) {
        EXPECT_EQ(runtime_message([&] { (void)vesk::read_step_file(path); }),
                  "OCCT failed to read STEP file: " + path.string())
            << path;
    }
}

TEST_F(StepExchange, WriteFailures) {
    try {
        vesk::write_step_file(TopoDS_Shape(), dir_ / "null.step");
        ADD_FAILURE() << "a null shape was written";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Cannot write a null shape to STEP");
    }
    const fs::path unwritable = dir_ / "no_such_dir" / "x.step";
    EXPECT_EQ(runtime_message([&] { vesk::write_step_file(numbered_plate(0), unwritable); }),
              "OCCT failed to write STEP file: " + unwritable.string());
}

// Eight threads each build, write and read back twenty different shapes at once; every
// file must equal the one written alone and read back to the same measurement.
TEST_F(StepExchange, ConcurrentWritesAndReadsMatchSingleThreaded) {
    constexpr int kShapes = 20;
    constexpr int kThreads = 8;
    std::vector<std::string> reference(kShapes);
    std::vector<vesk::ShapeMeasurement> reference_measure(kShapes);
    for (int i = 0; i < kShapes; ++i) {
        const fs::path path = dir_ / ("alone_" + std::to_string(i) + ".step");
        vesk::write_step_file(numbered_plate(i), path);
        reference[static_cast<std::size_t>(i)] = read_file(path);
        reference_measure[static_cast<std::size_t>(i)] = vesk::measure_shape(vesk::read_step_file(path));
    }

    struct Outcome {
        std::string bytes;
        vesk::ShapeMeasurement measure;
        std::string error;
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
                Outcome& outcome = outcomes[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
                try {
                    const fs::path path = dir_ / ("t" + std::to_string(k) + "_" + std::to_string(i) + ".step");
                    vesk::write_step_file(numbered_plate(i), path);
                    outcome.measure = vesk::measure_shape(vesk::read_step_file(path));
                    outcome.bytes = read_file(path);
                } catch (const std::exception& e) {
                    outcome.error = e.what();
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();

    for (int k = 0; k < kThreads; ++k) {
        for (int i = 0; i < kShapes; ++i) {
            const Outcome& outcome = outcomes[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
            SCOPED_TRACE("thread " + std::to_string(k) + " shape " + std::to_string(i));
            ASSERT_EQ(outcome.error, "");
            EXPECT_TRUE(outcome.bytes == reference[static_cast<std::size_t>(i)]);
            expect_same_measurement(outcome.measure, reference_measure[static_cast<std::size_t>(i)]);
        }
    }
}

}  // namespace
