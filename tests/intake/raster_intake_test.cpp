#include "intake/raster_intake.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "intake/reader_response.hpp"
#include "model/occt_support.hpp"
#include "support/drawing_generator.hpp"

namespace vesk {
namespace {

using testing::Drawing;
using testing::PngKind;

const bool kOcctRouted = (route_occt_messages_to_stderr(), true);

class RasterIntakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("vesk_raster_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path path(const std::string& name) const { return dir_ / name; }

    // Renders the drawing to <name>.png and runs the intake on it.
    RasterIntakeResult intake(const Drawing& drawing, const std::string& name) {
        drawing.write_png(path(name + ".png"));
        return normalize_raster_input(path(name + ".png"), drawing.declared_dpi, path(name + "_normalized.png"));
    }

    std::filesystem::path dir_;
};

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <typename Fn>
std::string error_of(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

// A small image with varied colours and alphas.
RasterImage colour_pattern(bool grey, bool opaque) {
    RasterImage image;
    image.width = 37;
    image.height = 23;
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x) {
            const auto r = static_cast<std::uint8_t>((x * 7 + y * 3) & 0xff);
            const auto g = static_cast<std::uint8_t>((x * 13 + 50) & 0xff);
            const auto b = static_cast<std::uint8_t>((y * 11 + x) & 0xff);
            const auto a = static_cast<std::uint8_t>(opaque ? 255 : (x * 5 + y * 9) & 0xff);
            image.pixels.push_back(grey ? make_pixel(r, r, r, a) : make_pixel(r, g, b, a));
        }
    }
    return image;
}

// An image with few colours, for the palette and low-depth kinds.
RasterImage few_colours(int count, bool grey_levels, bool transparent) {
    RasterImage image;
    image.width = 19;
    image.height = 11;
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x) {
            const int k = (x + 2 * y) % count;
            if (grey_levels) {
                const auto v = static_cast<std::uint8_t>(k * (255 / (count - 1)));
                image.pixels.push_back(make_pixel(v, v, v));
            } else {
                image.pixels.push_back(make_pixel(static_cast<std::uint8_t>(k * 16), static_cast<std::uint8_t>(255 - k * 9),
                                                  static_cast<std::uint8_t>(k * 5 + 3),
                                                  static_cast<std::uint8_t>(transparent ? 255 - k * 20 : 255)));
            }
        }
    }
    return image;
}

TEST_F(RasterIntakeTest, EveryPngKindLoadsToTheSamePixels) {
    // The image library keeps colour exactly but drops the alpha of 16-bit RGBA and of
    // palettes with transparency; luma never looks at alpha.
    struct Case {
        PngKind kind;
        RasterImage image;
        bool alpha_kept = true;
    };
    const std::vector<Case> cases = {
        {PngKind::gray8, colour_pattern(true, true)},
        {PngKind::gray_alpha8, colour_pattern(true, false)},
        {PngKind::rgb8, colour_pattern(false, true)},
        {PngKind::rgba8, colour_pattern(false, false)},
        {PngKind::rgb16, colour_pattern(false, true)},
        {PngKind::rgba16, colour_pattern(false, false), false},
        {PngKind::palette8, few_colours(200, false, false)},
        {PngKind::palette8_transparent, few_colours(12, false, true), false},
        {PngKind::palette4, few_colours(16, false, false)},
        {PngKind::palette1, few_colours(2, false, false)},
        {PngKind::gray4, few_colours(16, true, false)},
        {PngKind::gray1, few_colours(2, true, false)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(testing::to_string(c.kind)));
        const auto file = path(std::string(testing::to_string(c.kind)) + ".png");
        testing::write_png(file, c.image, c.kind);
        const RasterImage loaded = load_raster(file);
        ASSERT_EQ(loaded.width, c.image.width);
        ASSERT_EQ(loaded.height, c.image.height);
        std::vector<std::uint32_t> expected = c.image.pixels;
        if (!c.alpha_kept) {
            for (std::uint32_t& p : expected) p |= 0xff000000u;
        }
        EXPECT_EQ(loaded.pixels, expected);
    }
}

TEST_F(RasterIntakeTest, UnloadableInputsAreRefusedWithTheirPath) {
    const auto gray16 = path("gray16.png");
    testing::write_png(gray16, colour_pattern(true, true), PngKind::gray16);
    const auto text = path("drawing.png");
    std::ofstream(text) << "not an image at all, but long enough to hold a header";
    const auto truncated = path("truncated.png");
    std::ofstream(truncated, std::ios::binary) << "\x89PNG\r\n\x1a\n";
    const auto missing = path("missing.png");
    for (const auto& file : {gray16, text, truncated, missing}) {
        EXPECT_EQ(error_of([&] { load_raster(file); }), "Cannot load raster input: " + file.string());
        EXPECT_THROW(normalize_raster_input(file, 300.0, path("out.png")), std::invalid_argument);
    }
    EXPECT_FALSE(std::filesystem::exists(path("out.png")));
}

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(RasterIntakeTest, OversizedHeaderIsRefusedBeforeDecoding) {
    struct Case {
        std::uint32_t width;
        std::uint32_t height;
    };
    for (const Case c : {Case{20000, 20000}, Case{8193, 8192}, Case{0, 10}, Case{10, 0}, Case{0x80000000u, 1}}) {
        const auto file = path("huge_" + std::to_string(c.width) + "x" + std::to_string(c.height) + ".png");
        testing::write_png_header_only(file, c.width, c.height);
        const long rss_before = peak_rss_kb();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(error_of([&] { load_raster(file); }), "Raster input dimensions are invalid: " + file.string());
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, std::chrono::milliseconds(20));
        EXPECT_LT(peak_rss_kb() - rss_before, 20 * 1024) << "the declared image was allocated";
    }
}

TEST_F(RasterIntakeTest, ResolutionFloorAndInvalidResolutions) {
    const auto missing = path("absent.png");
    const RasterIntakeResult refused = normalize_raster_input(missing, 143.9, path("out.png"));
    EXPECT_EQ(refused.accepted, 0);
    ASSERT_TRUE(refused.rejection.has_value());
    EXPECT_EQ(*refused.rejection, kRejectionDpiBelowFloor);
    EXPECT_EQ(refused.message, "declared DPI is below the 144 DPI input floor");
    EXPECT_EQ(refused.extraction.message, "entity extraction skipped for rejected raster");
    EXPECT_TRUE(refused.normalized_png.empty());
    EXPECT_EQ(refused.width, 0);
    EXPECT_EQ(refused.declared_dpi, 143.9);
    EXPECT_FALSE(std::filesystem::exists(path("out.png")));

    Drawing sheet = testing::plate_drawing();
    sheet.declared_dpi = 144.0;
    const RasterIntakeResult accepted = intake(sheet, "floor");
    EXPECT_EQ(accepted.accepted, 1);
    EXPECT_FALSE(accepted.rejection.has_value());
    EXPECT_EQ(accepted.message, "raster accepted and normalized");
    EXPECT_EQ(accepted.normalized_png, path("floor_normalized.png"));

    for (const double dpi : {0.0, -0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(error_of([&] { normalize_raster_input(path("floor.png"), dpi, path("x.png")); }),
                  "Raster input requires a finite positive declared DPI")
            << dpi;
    }
}


std::string describe(const RasterExtraction& e) {
    std::string text = "kind " + std::to_string(e.profile_kind) + " '" + e.message + "' marker " +
                       std::to_string(e.millimeter_marker_verified) + " box " + std::to_string(e.profile_box.x) + "," +
                       std::to_string(e.profile_box.y) + " " + std::to_string(e.profile_box.width) + "x" +
                       std::to_string(e.profile_box.height) + "\n h:";
    for (double y : e.horizontal_axes_y) text += " " + std::to_string(y);
    text += "\n v:";
    for (double x : e.vertical_axes_x) text += " " + std::to_string(x);
    text += "\n circles:";
    for (const SourceBox& c : e.circles) {
        text += " [" + std::to_string(c.x) + "," + std::to_string(c.y) + " " + std::to_string(c.width) + "x" +
                std::to_string(c.height) + "]";
    }
    text += "\n slots: " + std::to_string(e.annotation_slots.size());
    return text;
}

struct TemplateCase {
    std::string name;
    Drawing drawing;
    std::uint32_t kind;
    std::size_t axis_lines;
    std::size_t circles;
};

std::vector<TemplateCase> template_cases() {
    testing::PlateLayout front_top;
    front_top.side_readings = false;
    testing::PlateLayout no_holes;
    no_holes.holes.clear();
    return {
        {"plate", testing::plate_drawing(), kProfileRectangle, 2, 4},
        {"plate_front_top", testing::plate_drawing(front_top), kProfileRectangle, 2, 4},
        {"plate_no_holes", testing::plate_drawing(no_holes), kProfileRectangle, 2, 0},
        {"bracket", testing::bracket_drawing(), kProfileBracket, 3, 0},
        {"stepped", testing::stepped_drawing(), kProfileStepped, 4, 0},
        {"flange", testing::flange_drawing(), kProfileCircular, 0, 6},
    };
}

TEST_F(RasterIntakeTest, GeneratedTemplatesExtractTheirProfiles) {
    for (const TemplateCase& c : template_cases()) {
        SCOPED_TRACE(c.name);
        const RasterIntakeResult result = intake(c.drawing, c.name);
        const RasterExtraction& e = result.extraction;
        SCOPED_TRACE(describe(e));
        EXPECT_EQ(result.applied_rotation_deg, 0.0);
        EXPECT_EQ(e.profile_kind, c.kind);
        EXPECT_EQ(e.entities_supported, 1);
        EXPECT_EQ(e.millimeter_marker_verified, 1);
        EXPECT_EQ(e.horizontal_axes_y.size(), c.axis_lines);
        EXPECT_EQ(e.vertical_axes_x.size(), c.axis_lines);
        EXPECT_EQ(e.circles.size(), c.circles);
        EXPECT_EQ(e.annotation_slots.size(), c.drawing.readings.size());
    }
}


double candidate_angle(int i) { return static_cast<double>(i) * 0.1 - 5.0; }

TEST_F(RasterIntakeTest, BinaryDrawingRotatedTwoDegreesIsStraightened) {
    Drawing drawing = testing::plate_drawing();
    drawing.paper = 235;  // so that white marks what the rotation brought in
    drawing.rotation_deg = 2.0;
    drawing.write_png(path("skewed.png"));
    EXPECT_EQ(estimate_skew(load_raster(path("skewed.png"))), candidate_angle(70));

    const RasterIntakeResult result =
        normalize_raster_input(path("skewed.png"), drawing.declared_dpi, path("out/normalized.png"));
    EXPECT_EQ(result.applied_rotation_deg, candidate_angle(70));
    EXPECT_EQ(result.measured_skew_deg, -candidate_angle(70));
    EXPECT_EQ(result.width, 640);
    EXPECT_EQ(result.height, 420);
    const RasterImage normalized = load_raster(path("out/normalized.png"));
    EXPECT_EQ(normalized.at(0, 0), kOpaqueWhite);
    EXPECT_EQ(normalized.at(639, 419), kOpaqueWhite);
    EXPECT_EQ(normalized.at(320, 210), make_pixel(235, 235, 235));
    EXPECT_EQ(estimate_skew(normalized), candidate_angle(49)) << "straightened drawings tie just below zero";

    const RasterExtraction& e = result.extraction;
    SCOPED_TRACE(describe(e));
    EXPECT_EQ(e.profile_kind, kProfileRectangle);
    EXPECT_EQ(e.millimeter_marker_verified, 1);
    EXPECT_EQ(e.circles.size(), 4u);
    EXPECT_EQ(e.annotation_slots.size(), 16u);
    ASSERT_EQ(e.horizontal_axes_y.size(), 2u);
    EXPECT_NEAR(e.horizontal_axes_y[0], 100.0, 1.0);
    EXPECT_NEAR(e.horizontal_axes_y[1], 280.0, 1.0);
}

TEST_F(RasterIntakeTest, SkewedTemplatesAreStraightenedAndExtracted) {
    struct Rotation {
        double degrees;
        int candidate;
        bool anti_aliased;
    };
    // Anti-aliased edges and other outlines may land one candidate off; small skews like
    // these still leave every axis run long enough.
    for (const Rotation rotation : {Rotation{2.0, 70, false}, Rotation{-3.3, 17, true}}) {
        for (TemplateCase c : template_cases()) {
            SCOPED_TRACE(c.name + " rotated " + std::to_string(rotation.degrees));
            c.drawing.rotation_deg = rotation.degrees;
            c.drawing.anti_aliased = rotation.anti_aliased;
            if (rotation.anti_aliased) {
                c.drawing.paper = 238;
                c.drawing.ink = 25;
                c.drawing.speckle_density = 0.0005;
            }
            if (c.kind == kProfileCircular) c.drawing.sheet_frame();
            const RasterIntakeResult result = intake(c.drawing, c.name);
            const RasterExtraction& e = result.extraction;
            SCOPED_TRACE(describe(e));
            EXPECT_NEAR(result.applied_rotation_deg, candidate_angle(rotation.candidate), 0.15);
            EXPECT_EQ(result.measured_skew_deg, -result.applied_rotation_deg);
            EXPECT_EQ(e.profile_kind, c.kind);
            EXPECT_EQ(e.millimeter_marker_verified, 1);
            EXPECT_EQ(e.horizontal_axes_y.size(), c.axis_lines);
            EXPECT_EQ(e.vertical_axes_x.size(), c.axis_lines);
            EXPECT_EQ(e.circles.size(), c.circles);
            EXPECT_EQ(e.annotation_slots.size(), c.drawing.readings.size());
        }
    }
}

struct SkewCase {
    double degrees;
    bool anti_aliased;
};

// Each rotation estimated on the sheet; a table of what was found when any one lands more
// than one candidate off, or when a straight sheet leaves the cut-off.
std::string skew_misses(const Drawing& sheet, const std::vector<SkewCase>& cases) {
    std::string table;
    bool missed = false;
    for (const SkewCase& c : cases) {
        Drawing drawing = sheet;
        drawing.rotation_deg = c.degrees;
        drawing.anti_aliased = c.anti_aliased;
        const double estimate = estimate_skew(drawing.render());
        const bool close = c.degrees == 0.0 ? std::fabs(estimate) < kSkewCutoffDeg
                                            : std::fabs(estimate - c.degrees) <= 0.1 + 1e-9;
        missed = missed || !close;
        table += " " + std::to_string(c.degrees) + (c.anti_aliased ? " aa" : "") + " -> " + std::to_string(estimate) +
                 (close ? "" : " (off)") + ";";
    }
    return missed ? table : "";
}

const std::vector<double> kSkewTable = {-4.0, -3.3, -2.0, -1.5, -1.03, -0.5, 0.3, 1.03, 1.5, 2.0, 3.3, 4.0};

TEST_F(RasterIntakeTest, SkewOfTheSmallSheetIsFoundWithinOneCandidate) {
    Drawing sheet = testing::plate_drawing();
    sheet.paper = 238;
    sheet.ink = 25;
    sheet.speckle_density = 0.0005;
    std::vector<SkewCase> cases = {{0.0, false}, {0.0, true}};
    for (const double degrees : kSkewTable) {
        cases.push_back({degrees, false});
        cases.push_back({degrees, true});
    }
    EXPECT_EQ(skew_misses(sheet, cases), "");
}

TEST_F(RasterIntakeTest, SkewOfAnA4SheetIsFoundWithinOneCandidate) {
    // Binary and anti-aliased in turn: an A4 raster takes a while to draw.
    std::vector<SkewCase> cases = {{0.0, false}, {0.0, true}};
    for (std::size_t i = 0; i < kSkewTable.size(); ++i) cases.push_back({kSkewTable[i], i % 2 == 1});
    EXPECT_EQ(skew_misses(testing::a4_bracket_drawing(), cases), "");
}

TEST_F(RasterIntakeTest, SkewOfInkBeyondThePointBudgetIsFoundWithinOneCandidate) {
    Drawing ruled(1200, 900);
    for (double y = 50.0; y < 860.0; y += 30.0) ruled.line({50.0, y}, {1150.0, y}, 7.0);
    std::size_t ink = 0;
    for (const std::uint32_t pixel : ruled.render().pixels) ink += pixel_luma(pixel) < 190.0 ? 1 : 0;
    ASSERT_GT(ink, 120000u) << "every other ink pixel is to be left out";
    EXPECT_EQ(skew_misses(ruled, {{0.0, false}, {-4.0, true}, {-1.03, false}, {0.3, true}, {2.0, false}}), "");
}

// Circles and short text give no direction, and chance alignments of holes and digits
// could top the profile at any angle: a flange stays as it is wherever they lie.
TEST_F(RasterIntakeTest, DrawingsWithoutStraightEdgesAreLeftAsTheyAre) {
    for (int i = 0; i < 8; ++i) {
        testing::FlangeLayout layout;
        layout.centre = {240.0 + 27.0 * (i % 4), 180.0 + 11.0 * (i % 4)};
        layout.px_per_mm = 1.2 + 0.2 * (i / 2 % 4);
        layout.bore_mm = 20.0 + 5.0 * (i / 2 % 4);
        Drawing drawing = testing::flange_drawing(layout);
        drawing.anti_aliased = i % 2 == 1;
        EXPECT_EQ(estimate_skew(drawing.render()), 0.0) << i;
    }
    Drawing flange = testing::flange_drawing();
    flange.paper = 240;
    const RasterIntakeResult result = intake(flange, "flange");
    EXPECT_EQ(result.applied_rotation_deg, 0.0);
    EXPECT_EQ(load_raster(path("flange_normalized.png")).pixels, flange.render().pixels);
    EXPECT_EQ(result.extraction.profile_kind, kProfileCircular);
}

TEST_F(RasterIntakeTest, SkewedA4SheetIsStraightenedAndExtracted) {
    Drawing skewed = testing::a4_bracket_drawing();
    skewed.rotation_deg = -1.03;
    const RasterIntakeResult result = intake(skewed, "skewed");
    const RasterExtraction& e = result.extraction;
    SCOPED_TRACE(describe(e));
    EXPECT_EQ(result.applied_rotation_deg, candidate_angle(40));
    EXPECT_EQ(result.measured_skew_deg, -candidate_angle(40));
    EXPECT_EQ(e.profile_kind, kProfileBracket);
    EXPECT_EQ(e.horizontal_axes_y.size(), 3u);
    EXPECT_EQ(e.vertical_axes_x.size(), 3u);
    EXPECT_EQ(e.annotation_slots.size(), skewed.readings.size());
}

TEST_F(RasterIntakeTest, StraightDrawingIsWrittenBackUnchangedAndRepeatably) {
    // Neighbouring candidates tie on a straight drawing and the lowest wins: -0.0999...,
    // inside the cut-off, so nothing is resampled.
    Drawing plain = testing::plate_drawing();
    plain.paper = 240;
    EXPECT_EQ(estimate_skew(plain.render()), candidate_angle(49));
    const RasterIntakeResult result = intake(plain, "plain");
    EXPECT_EQ(result.applied_rotation_deg, 0.0);
    EXPECT_EQ(result.measured_skew_deg, -candidate_angle(49));
    EXPECT_EQ(load_raster(path("plain_normalized.png")).pixels, plain.render().pixels);

    Drawing noisy = testing::stepped_drawing();
    noisy.paper = 230;
    noisy.speckle_density = 0.002;
    const RasterImage input = noisy.render();
    const RasterIntakeResult first = intake(noisy, "first");
    const RasterIntakeResult second = normalize_raster_input(path("first.png"), 300.0, path("second.png"));
    EXPECT_LT(std::fabs(estimate_skew(input)), kSkewCutoffDeg);
    EXPECT_EQ(first.applied_rotation_deg, 0.0);
    EXPECT_EQ(first.measured_skew_deg, -estimate_skew(input));
    EXPECT_EQ(load_raster(path("first_normalized.png")).pixels, input.pixels);
    const std::string bytes = read_bytes(path("first_normalized.png"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, read_bytes(path("second.png")));
    EXPECT_EQ(describe(first.extraction), describe(second.extraction));
}

TEST_F(RasterIntakeTest, BlankSheetIsAcceptedWithoutGeometry) {
    Drawing blank(640, 420);
    blank.paper = 250;
    blank.speckle_density = 0.0002;
    const RasterIntakeResult result = intake(blank, "blank");
    EXPECT_EQ(result.accepted, 1);
    EXPECT_EQ(result.applied_rotation_deg, 0.0);
    EXPECT_EQ(result.measured_skew_deg, 0.0);
    EXPECT_TRUE(std::signbit(result.measured_skew_deg));
    EXPECT_EQ(result.extraction.profile_kind, kProfileNone);
    EXPECT_EQ(result.extraction.entities_supported, 0);
    EXPECT_EQ(result.extraction.message, "no supported dark-ink geometry component found");
    EXPECT_TRUE(result.extraction.annotation_slots.empty());
    EXPECT_EQ(load_raster(path("blank_normalized.png")).pixels, blank.render().pixels);
}


TEST_F(RasterIntakeTest, ReadingBoxesLandOnTheirSlotsAfterStraightening) {
    for (const double degrees : {0.0, 2.0, -3.3}) {
        Drawing drawing = testing::plate_drawing();
        drawing.rotation_deg = degrees;
        drawing.anti_aliased = degrees < 0.0;
        SCOPED_TRACE(degrees);
        const RasterIntakeResult result = intake(drawing, "slots");
        const ReaderResponse response = drawing.reader_response("plate");
        const std::vector<SourceBox>& slots = result.extraction.annotation_slots;
        ASSERT_EQ(slots.size(), response.readings.size());
        const double a = result.applied_rotation_deg * 3.14159265358979323846 / 180.0;
        const double cx = (result.width - 1) * 0.5;
        const double cy = (result.height - 1) * 0.5;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const SourceBox& box = response.readings[i].source_bbox;
            const double x = box.x + box.width * 0.5;
            const double y = box.y + box.height * 0.5;
            const double mx = (x - cx) * std::cos(a) + (y - cy) * std::sin(a) + cx;
            const double my = -(x - cx) * std::sin(a) + (y - cy) * std::cos(a) + cy;
            EXPECT_NEAR(mx, slots[i].x + slots[i].width * 0.5, 2.0) << i;
            EXPECT_NEAR(my, slots[i].y + slots[i].height * 0.5, 2.0) << i;
        }
    }
}

TEST_F(RasterIntakeTest, GeneratedResponseTextMatchesTheResponse) {
    Drawing drawing = testing::flange_drawing();
    drawing.rotation_deg = -3.3;
    drawing.readings[2].value.reset();
    drawing.readings[2].origin = "unreadable";
    drawing.readings[3].confidence = 0.79;
    drawing.reader_errors = {"glare on the title block"};
    const ReaderResponse direct = drawing.reader_response("flange-1");
    const ReaderResponse parsed = parse_agent_reader_v2_response(drawing.reader_response_json("flange-1"), "generated");
    EXPECT_EQ(parsed.drawing_id, "flange-1");
    EXPECT_EQ(parsed.errors, direct.errors);
    ASSERT_EQ(parsed.readings.size(), direct.readings.size());
    for (std::size_t i = 0; i < parsed.readings.size(); ++i) {
        EXPECT_EQ(parsed.readings[i].constraint_id, direct.readings[i].constraint_id);
        EXPECT_EQ(parsed.readings[i].value, direct.readings[i].value);
        EXPECT_EQ(parsed.readings[i].confidence, direct.readings[i].confidence);
        EXPECT_EQ(parsed.readings[i].origin, direct.readings[i].origin);
        EXPECT_EQ(parsed.readings[i].source_bbox.x, direct.readings[i].source_bbox.x);
        EXPECT_EQ(parsed.readings[i].source_bbox.height, direct.readings[i].source_bbox.height);
    }
    EXPECT_EQ(direct.readings[0].confidence, 0.95);
    EXPECT_EQ(direct.readings[0].origin, ReadingOrigin::source_text);
}

TEST_F(RasterIntakeTest, MillimeterMarkerOnlyOnTheExactSheet) {
    struct Case {
        std::int32_t width;
        std::int32_t height;
        std::int32_t shift_x;
        std::int32_t shift_y;
        bool verified;
    };
    for (const Case c : {Case{640, 420, 0, 0, true}, Case{640, 420, 5, -5, true}, Case{640, 420, -6, 0, false},
                         Case{641, 420, 0, 0, false}, Case{640, 421, 0, 0, false}, Case{639, 420, 0, 0, false}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " shifted " + std::to_string(c.shift_x) +
                     "," + std::to_string(c.shift_y));
        Drawing drawing(c.width, c.height);
        drawing.millimeter_marker();
        drawing.rotation_deg = 0.0;
        RasterImage image = drawing.render();
        RasterImage shifted = image;
        for (std::int32_t y = 0; y < image.height; ++y) {
            for (std::int32_t x = 0; x < image.width; ++x) {
                const std::int32_t sx = x - c.shift_x;
                const std::int32_t sy = y - c.shift_y;
                const bool inside = sx >= 0 && sy >= 0 && sx < image.width && sy < image.height;
                shifted.pixels[shifted.index(x, y)] = inside ? image.at(sx, sy) : kOpaqueWhite;
            }
        }
        EXPECT_EQ(verify_millimeter_marker(shifted), c.verified);
    }
    Drawing wide = testing::plate_drawing();
    wide.width = 641;
    const RasterIntakeResult result = intake(wide, "wide");
    EXPECT_EQ(result.extraction.millimeter_marker_verified, 0);
    EXPECT_EQ(result.extraction.profile_kind, kProfileRectangle);
}

TEST_F(RasterIntakeTest, TextRowsSplitIntoBandsByTheirGap) {
    struct Case {
        std::int32_t blank_rows;
        std::size_t slots;
    };
    // Ten text rows with gap y - last = blank_rows + 1.
    for (const Case c : {Case{1, 1}, Case{2, 2}, Case{0, 1}}) {
        SCOPED_TRACE(c.blank_rows);
        Drawing drawing(640, 420);
        const SourceBox first = drawing.text({480, 100}, "25", 1);
        const SourceBox second = drawing.text({480, first.y + first.height + c.blank_rows}, "40", 1);
        const std::vector<SourceBox> slots = find_annotation_slots(drawing.render());
        ASSERT_EQ(slots.size(), c.slots);
        EXPECT_EQ(slots.front().y, first.y);
        EXPECT_EQ(slots.back().y + slots.back().height, second.y + second.height);
    }
    // Column groups split past a 6-pixel gap; slots come in reading order.
    Drawing drawing(640, 420);
    drawing.text({530, 100}, "7", 1);
    drawing.text({480, 102}, "1", 1);
    drawing.text({484 + 7, 102}, "8", 1);  // "1" ends at x 484: x - last = 7
    drawing.text({480, 150}, "9", 2);
    drawing.text({489 + 6, 150}, "9", 2);  // x - last = 6: one group
    drawing.text({600, 200}, "5", 2);          // outside the column (x >= 602 is cut)
    drawing.block(500, 250, 501, 250);         // specks and flat marks are not text
    drawing.block(520, 250, 540, 252);
    const std::vector<SourceBox> slots = find_annotation_slots(drawing.render());
    ASSERT_EQ(slots.size(), 5u);
    EXPECT_EQ(slots[0].x, 480.0);
    EXPECT_EQ(slots[1].x, 491.0);
    EXPECT_EQ(slots[2].x, 530.0);
    EXPECT_EQ(slots[3].x, 480.0);
    EXPECT_EQ(slots[3].width, 25.0);
    EXPECT_EQ(slots[4].x, 600.0);
    EXPECT_EQ(slots[4].width, 2.0);
}

// A component made of the pixels of a w x h box that pass the test.
template <typename Inside>
RasterComponent make_component(std::int32_t w, std::int32_t h, Inside inside) {
    RasterComponent component;
    component.min_x = component.min_y = 1000;
    component.max_x = component.max_y = -1;
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            if (!inside(x, y)) continue;
            component.pixels.emplace_back(x, y);
            component.min_x = std::min(component.min_x, x);
            component.min_y = std::min(component.min_y, y);
            component.max_x = std::max(component.max_x, x);
            component.max_y = std::max(component.max_y, y);
        }
    }
    return component;
}

RasterComponent elliptic_ring(std::int32_t w, std::int32_t h, double thickness) {
    return make_component(w, h, [=](std::int32_t x, std::int32_t y) {
        const double rx = w * 0.5, ry = h * 0.5;
        const double dx = (x + 0.5 - rx), dy = (y + 0.5 - ry);
        const double outer = dx * dx / (rx * rx) + dy * dy / (ry * ry);
        const double inner = dx * dx / ((rx - thickness) * (rx - thickness)) + dy * dy / ((ry - thickness) * (ry - thickness));
        return outer < 1.0 && inner >= 1.0;
    });
}

TEST_F(RasterIntakeTest, CircleComponentsAreRingsOfNearlyEqualSides) {
    struct Case {
        std::string name;
        RasterComponent component;
        bool circle;
    };
    const std::vector<Case> cases = {
        {"ring 30", elliptic_ring(30, 30, 2.0), true},
        {"ring 15", elliptic_ring(15, 15, 1.5), true},
        {"ring 14", elliptic_ring(14, 14, 1.5), false},
        {"ring 20 x 24", elliptic_ring(20, 24, 2.0), false},
        {"ring 20 x 23", elliptic_ring(20, 23, 2.0), true},
        {"disc 30", elliptic_ring(30, 30, 15.0), false},
        {"square outline", make_component(30, 30, [](int x, int y) { return x < 2 || y < 2 || x > 27 || y > 27; }), false},
    };
    for (const Case& c : cases) EXPECT_EQ(is_circle_component(c.component), c.circle) << c.name;
}

TEST_F(RasterIntakeTest, OutlineTopologyOutsideTheGrammar) {
    struct Case {
        std::string name;
        int horizontal;
        int vertical;
        bool circle;
        std::uint32_t kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"five by five", 5, 5, false, kProfileNone, "orthogonal outline topology is outside the deterministic grammar"},
        {"one by one", 1, 1, false, kProfileNone, "orthogonal outline topology is outside the deterministic grammar"},
        {"three by two", 3, 2, false, kProfileNone, "orthogonal outline has unequal horizontal and vertical axis counts"},
        {"three by two with a ring", 3, 2, true, kProfileCircular, "circular front profile and circle entities extracted"},
        {"four by four", 4, 4, true, kProfileStepped, "orthogonal front outline and circle entities extracted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drawing drawing(640, 420);
        for (int i = 0; i < c.horizontal; ++i) drawing.line({80, 80.0 + 50 * i}, {420, 80.0 + 50 * i}, 3);
        const double bottom = 80.0 + 50 * std::max(1, c.horizontal - 1);
        for (int i = 0; i < c.vertical; ++i) drawing.line({80.0 + 60 * i, 80}, {80.0 + 60 * i, bottom}, 3);
        if (c.circle) drawing.ring({440, 320}, 30, 2);
        const RasterExtraction e = extract_raster_entities(drawing.render());
        EXPECT_EQ(e.profile_kind, c.kind);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(e.horizontal_axes_y.size(), static_cast<std::size_t>(c.horizontal));
        EXPECT_EQ(e.entities_supported, c.kind == kProfileNone ? 0 : 1);
        if (c.kind == kProfileCircular) {
            EXPECT_EQ(e.profile_box.width, e.circles.front().width);
        }
    }
}

TEST_F(RasterIntakeTest, BilinearSamplingAndBlending) {
    RasterImage image;
    image.width = 2;
    image.height = 2;
    image.pixels = {make_pixel(0, 0, 0), make_pixel(255, 255, 255), make_pixel(100, 0, 0, 0), make_pixel(0, 0, 100)};
    EXPECT_EQ(sample_bilinear(image, 0.0, 0.0), make_pixel(0, 0, 0));
    EXPECT_EQ(sample_bilinear(image, 1.0, 1.0), make_pixel(0, 0, 100));
    EXPECT_EQ(sample_bilinear(image, 0.5, 0.0), make_pixel(128, 128, 128));  // 127.5 rounds away from zero
    EXPECT_EQ(sample_bilinear(image, 0.0, 0.5), make_pixel(50, 0, 0, 128));
    for (const auto& [x, y] : std::vector<std::pair<double, double>>{
             {-0.001, 0.0}, {0.0, -1e-9}, {1.0001, 0.0}, {0.0, 1.5}, {std::nan(""), 0.0}, {0.0, std::nan("")}}) {
        EXPECT_EQ(sample_bilinear(image, x, y), kOpaqueWhite) << x << "," << y;
    }
    EXPECT_EQ(blend_colour(make_pixel(10, 20, 30, 40), make_pixel(20, 40, 60, 80), 0.25), make_pixel(13, 25, 38, 50));
    EXPECT_EQ(rotate_raster(image, 0.0).pixels, image.pixels);
}

TEST_F(RasterIntakeTest, OutputFailuresAreReported) {
    Drawing drawing = testing::plate_drawing();
    drawing.write_png(path("in.png"));
    std::ofstream(path("file")) << "x";
    const std::string directory_error =
        error_of([&] { normalize_raster_input(path("in.png"), 300.0, path("file") / "sub" / "out.png"); });
    EXPECT_EQ(directory_error.rfind("Cannot create deskew output directory: ", 0), 0u) << directory_error;
    std::filesystem::create_directories(path("taken.png"));
    EXPECT_EQ(error_of([&] { normalize_raster_input(path("in.png"), 300.0, path("taken.png")); }),
              "OCCT could not save deskew output: " + path("taken.png").string());
}

TEST_F(RasterIntakeTest, ConcurrentIntakesAgree) {
    std::vector<Drawing> drawings;
    for (TemplateCase c : template_cases()) drawings.push_back(c.drawing);
    drawings[1].rotation_deg = 2.0;
    drawings[3].rotation_deg = -3.3;
    drawings[3].anti_aliased = true;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < drawings.size(); ++i) {
        const std::string name = "drawing" + std::to_string(i);
        const RasterIntakeResult result = intake(drawings[i], name);
        expected.push_back(describe(result.extraction) + read_bytes(path(name + "_normalized.png")));
    }
    constexpr int kThreads = 8;
    constexpr int kRounds = 3;
    std::vector<std::vector<std::string>> seen(kThreads);
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (int round = 0; round < kRounds; ++round) {
                    const std::size_t i = static_cast<std::size_t>(t + round) % drawings.size();
                    const auto out = path("t" + std::to_string(t) + "_" + std::to_string(round) + ".png");
                    const RasterIntakeResult result =
                        normalize_raster_input(path("drawing" + std::to_string(i) + ".png"), 300.0, out);
                    seen[static_cast<std::size_t>(t)].push_back(std::to_string(i) + ":" + describe(result.extraction) +
                                                                read_bytes(out));
                }
            } catch (const std::exception& error) {
                failures[static_cast<std::size_t>(t)] = error.what();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[static_cast<std::size_t>(t)], "");
        ASSERT_EQ(seen[static_cast<std::size_t>(t)].size(), static_cast<std::size_t>(kRounds));
        for (int round = 0; round < kRounds; ++round) {
            const std::size_t i = static_cast<std::size_t>(t + round) % drawings.size();
            EXPECT_EQ(seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(round)], std::to_string(i) + ":" + expected[i]);
        }
    }
}

}  // namespace
}  // namespace vesk
