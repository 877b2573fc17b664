#include "intake/raster_intake.hpp"
#include "intake/raster_intake_internal.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "intake/reader_response.hpp"
#include "model/occt_support.hpp"
#include "support/expect_error.hpp"
#include "support/drawing_generator.hpp"
#include "support/run_process.hpp"

namespace vesk {
using vesk::test::error_message;

namespace {

using test::Drawing;
using test::PngKind;

const bool kOcctRouted = (route_occt_messages_to_stderr(), true);

class RasterIntakeTest : public ::testing::Test {
protected:
    std::filesystem::path path(const std::string& name) const { return dir_.path() / name; }

    // Renders the drawing to <name>.png and runs the intake on it.
    RasterIntakeResult intake(const Drawing& drawing, const std::string& name) {
        drawing.write_png(path(name + ".png"));
        return normalize_raster_input(path(name + ".png"), drawing.declared_dpi, path(name + "_normalized.png"));
    }

    test::TempDir dir_{"vesk-raster"};
};

double candidate_angle(int i) { return static_cast<double>(i) * 0.1 - 5.0; }

std::string describe(const RasterExtraction& e) {
    const auto box = [](const SourceBox& b) {
        return "[" + std::to_string(b.x) + "," + std::to_string(b.y) + " " + std::to_string(b.width) + "x" +
               std::to_string(b.height) + "]";
    };
    std::string text = "kind " + std::to_string(e.profile_kind) + " '" + e.message + "' marker " +
                       std::to_string(e.millimeter_marker_verified) + " box " + box(e.profile_box) + "\n h:";
    for (double y : e.horizontal_axes_y) text += " " + std::to_string(y);
    text += "\n v:";
    for (double x : e.vertical_axes_x) text += " " + std::to_string(x);
    text += "\n circles:";
    for (const SourceBox& c : e.circles) text += " " + box(c);
    return text + "\n slots: " + std::to_string(e.annotation_slots.size());
}

// A 37 x 23 image. With levels, every pixel is one of that many colours (palette and
// low-depth kinds; grey steps of 255 / (levels - 1)); without, the channels vary freely.
RasterImage pattern(bool grey, bool opaque, int levels = 0) {
    RasterImage image{37, 23, {}};
    const auto byte = [](int v) { return static_cast<std::uint8_t>(v & 0xff); };
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x) {
            const int k = levels > 0 ? (x + 2 * y) % levels : 0;
            const std::uint8_t r = byte(levels > 0 ? k * (255 / (levels - 1)) : x * 7 + y * 3);
            const std::uint8_t g = grey ? r : byte(levels > 0 ? 255 - k * 9 : x * 13 + 50);
            const std::uint8_t b = grey ? r : byte(levels > 0 ? k * 5 + 3 : y * 11 + x);
            const std::uint8_t a = opaque ? 255 : byte(levels > 0 ? 255 - k * 20 : x * 5 + y * 9);
            image.pixels.push_back(make_pixel(r, g, b, a));
        }
    }
    return image;
}

TEST_F(RasterIntakeTest, EveryPngKindLoadsToTheSamePixels) {
    // The image library keeps colour exactly but drops the alpha of 16-bit RGBA and of
    // palettes with transparency; luma never looks at alpha.
    const std::vector<std::tuple<PngKind, RasterImage, bool>> cases = {  // kind, image, alpha kept
        {PngKind::gray8, pattern(true, true), true},
        {PngKind::gray_alpha8, pattern(true, false), true},
        {PngKind::rgb8, pattern(false, true), true},
        {PngKind::rgba8, pattern(false, false), true},
        {PngKind::rgb16, pattern(false, true), true},
        {PngKind::rgba16, pattern(false, false), false},
        {PngKind::palette8, pattern(false, true, 200), true},
        {PngKind::palette8_transparent, pattern(false, false, 12), false},
        {PngKind::palette4, pattern(false, true, 16), true},
        {PngKind::palette1, pattern(false, true, 2), true},
        {PngKind::gray4, pattern(true, true, 16), true},
        {PngKind::gray1, pattern(true, true, 2), true},
    };
    for (const auto& [kind, image, alpha_kept] : cases) {
        SCOPED_TRACE(std::string(test::to_string(kind)));
        const auto file = path(std::string(test::to_string(kind)) + ".png");
        test::write_png(file, image, kind);
        const RasterImage loaded = load_raster(file);
        ASSERT_EQ(loaded.width, image.width);
        ASSERT_EQ(loaded.height, image.height);
        std::vector<std::uint32_t> expected = image.pixels;
        if (!alpha_kept) {
            for (std::uint32_t& p : expected) p |= 0xff000000u;
        }
        EXPECT_EQ(loaded.pixels, expected);
    }
}

TEST_F(RasterIntakeTest, UnloadableInputsAreRefusedWithTheirPath) {
    const auto gray16 = path("gray16.png");
    test::write_png(gray16, pattern(true, true), PngKind::gray16);
    const auto text = path("drawing.png");
    std::ofstream(text) << "not an image at all, but long enough to hold a header";
    const auto truncated = path("truncated.png");
    std::ofstream(truncated, std::ios::binary) << "\x89PNG\r\n\x1a\n";
    for (const auto& file : {gray16, text, truncated, path("missing.png")}) {
        EXPECT_EQ(error_message([&] { load_raster(file); }), "Cannot load raster input: " + file.string());
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
    for (const auto& [width, height] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {20000, 20000}, {8193, 8192}, {0, 10}, {10, 0}, {0x80000000u, 1}}) {
        const auto file = path("huge_" + std::to_string(width) + "x" + std::to_string(height) + ".png");
        test::write_png_header_only(file, width, height);
        const long rss_before = peak_rss_kb();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(error_message([&] { load_raster(file); }), "Raster input dimensions are invalid: " + file.string());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
        EXPECT_LT(peak_rss_kb() - rss_before, 20 * 1024) << "the declared image was allocated";
    }
}

TEST_F(RasterIntakeTest, ResolutionFloorAndInvalidResolutions) {
    const RasterIntakeResult refused = normalize_raster_input(path("absent.png"), 143.9, path("out.png"));
    EXPECT_EQ(refused.accepted, 0);
    EXPECT_EQ(refused.rejection, std::optional<std::uint32_t>{kRejectionDpiBelowFloor});
    EXPECT_EQ(refused.message, "declared DPI is below the 144 DPI input floor");
    EXPECT_EQ(refused.extraction.message, "entity extraction skipped for rejected raster");
    EXPECT_TRUE(refused.normalized_png.empty());
    EXPECT_EQ(refused.width, 0);
    EXPECT_EQ(refused.declared_dpi, 143.9);
    EXPECT_FALSE(std::filesystem::exists(path("out.png")));

    Drawing sheet = test::plate_drawing();
    sheet.declared_dpi = 144.0;
    const RasterIntakeResult accepted = intake(sheet, "floor");
    EXPECT_EQ(accepted.accepted, 1);
    EXPECT_FALSE(accepted.rejection.has_value());
    EXPECT_EQ(accepted.message, "raster accepted and normalized");
    EXPECT_EQ(accepted.normalized_png, path("floor_normalized.png"));

    const double inf = std::numeric_limits<double>::infinity();
    for (const double dpi : {0.0, -0.0, -1.0, std::nan(""), inf, -inf}) {
        EXPECT_EQ(error_message([&] { normalize_raster_input(path("floor.png"), dpi, path("x.png")); }),
                  "Raster input requires a finite positive declared DPI")
            << dpi;
    }
}

struct TemplateCase {
    std::string name;
    Drawing drawing;
    std::uint32_t kind;
    std::size_t axis_lines;
    std::size_t circles;
};

std::vector<TemplateCase> template_cases() {
    test::PlateLayout front_top;
    front_top.side_readings = false;
    test::PlateLayout no_holes;
    no_holes.holes.clear();
    return {
        {"plate", test::plate_drawing(), kProfileRectangle, 2, 4},
        {"plate_front_top", test::plate_drawing(front_top), kProfileRectangle, 2, 4},
        {"plate_no_holes", test::plate_drawing(no_holes), kProfileRectangle, 2, 0},
        {"bracket", test::bracket_drawing(), kProfileBracket, 3, 0},
        {"stepped", test::stepped_drawing(), kProfileStepped, 4, 0},
        {"flange", test::flange_drawing(), kProfileCircular, 0, 6},
    };
}

TEST_F(RasterIntakeTest, TemplatesExtractTheirProfilesStraightAndSkewed) {
    struct Rotation {
        double degrees;
        int candidate;
        bool anti_aliased;
    };
    // Anti-aliased edges and other outlines may land one candidate off; small skews like
    // these still leave every axis run long enough.
    for (const Rotation rotation : {Rotation{0.0, 0, false}, Rotation{2.0, 70, false}, Rotation{-3.3, 17, true}}) {
        for (TemplateCase c : template_cases()) {
            SCOPED_TRACE(c.name + " rotated " + std::to_string(rotation.degrees));
            c.drawing.rotation_deg = rotation.degrees;
            c.drawing.anti_aliased = rotation.anti_aliased;
            if (rotation.anti_aliased) {
                c.drawing.paper = 238;
                c.drawing.ink = 25;
                c.drawing.speckle_density = 0.0005;
            }
            if (rotation.degrees != 0.0 && c.kind == kProfileCircular) c.drawing.sheet_frame();
            const RasterIntakeResult result = intake(c.drawing, c.name);
            const RasterExtraction& e = result.extraction;
            SCOPED_TRACE(describe(e));
            if (rotation.degrees == 0.0) {
                EXPECT_EQ(result.applied_rotation_deg, 0.0);
            } else {
                EXPECT_NEAR(result.applied_rotation_deg, candidate_angle(rotation.candidate), 0.15);
                EXPECT_EQ(result.measured_skew_deg, -result.applied_rotation_deg);
            }
            EXPECT_EQ(e.profile_kind, c.kind);
            EXPECT_EQ(e.entities_supported, 1);
            EXPECT_EQ(e.millimeter_marker_verified, 1);
            EXPECT_EQ(e.horizontal_axes_y.size(), c.axis_lines);
            EXPECT_EQ(e.vertical_axes_x.size(), c.axis_lines);
            EXPECT_EQ(e.circles.size(), c.circles);
            EXPECT_EQ(e.annotation_slots.size(), c.drawing.readings.size());
        }
    }
}

TEST_F(RasterIntakeTest, BinaryDrawingRotatedTwoDegreesIsStraightened) {
    Drawing drawing = test::plate_drawing();
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
    ASSERT_EQ(result.extraction.horizontal_axes_y.size(), 2u);
    EXPECT_NEAR(result.extraction.horizontal_axes_y[0], 100.0, 1.0);
    EXPECT_NEAR(result.extraction.horizontal_axes_y[1], 280.0, 1.0);
}

// Each rotation estimated on the sheet; a table of what was found when any one lands more
// than one candidate off, or when a straight sheet leaves the cut-off.
std::string skew_misses(const Drawing& sheet, const std::vector<std::pair<double, bool>>& rotations) {
    std::string table;
    bool missed = false;
    for (const auto& [degrees, anti_aliased] : rotations) {
        Drawing drawing = sheet;
        drawing.rotation_deg = degrees;
        drawing.anti_aliased = anti_aliased;
        const double estimate = estimate_skew(drawing.render());
        const bool close = degrees == 0.0 ? std::fabs(estimate) < kSkewCutoffDeg
                                          : std::fabs(estimate - degrees) <= 0.1 + 1e-9;
        missed = missed || !close;
        table += " " + std::to_string(degrees) + (anti_aliased ? " aa" : "") + " -> " + std::to_string(estimate) +
                 (close ? "" : " (off)") + ";";
    }
    return missed ? table : "";
}

const std::vector<double> kSkewTable = {-4.0, -3.3, -2.0, -1.5, -1.03, -0.5, 0.3, 1.03, 1.5, 2.0, 3.3, 4.0};

TEST_F(RasterIntakeTest, SkewOfTheSmallSheetIsFoundWithinOneCandidate) {
    Drawing sheet = test::plate_drawing();
    sheet.paper = 238;
    sheet.ink = 25;
    sheet.speckle_density = 0.0005;
    std::vector<std::pair<double, bool>> rotations = {{0.0, false}, {0.0, true}};
    for (const double degrees : kSkewTable) {
        rotations.emplace_back(degrees, false);
        rotations.emplace_back(degrees, true);
    }
    EXPECT_EQ(skew_misses(sheet, rotations), "");
}

TEST_F(RasterIntakeTest, SkewOfAnA4SheetIsFoundAndStraightened) {
    // Binary and anti-aliased in turn: an A4 raster takes a while to draw.
    std::vector<std::pair<double, bool>> rotations = {{0.0, false}, {0.0, true}};
    for (std::size_t i = 0; i < kSkewTable.size(); ++i) rotations.emplace_back(kSkewTable[i], i % 2 == 1);
    EXPECT_EQ(skew_misses(test::a4_bracket_drawing(), rotations), "");

    Drawing skewed = test::a4_bracket_drawing();
    skewed.rotation_deg = -1.03;
    const RasterIntakeResult result = intake(skewed, "skewed");
    const RasterExtraction& e = result.extraction;
    SCOPED_TRACE(describe(e));
    EXPECT_EQ(result.applied_rotation_deg, candidate_angle(40));
    EXPECT_EQ(e.profile_kind, kProfileBracket);
    EXPECT_EQ(e.horizontal_axes_y.size(), 3u);
    EXPECT_EQ(e.vertical_axes_x.size(), 3u);
    EXPECT_EQ(e.annotation_slots.size(), skewed.readings.size());
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
TEST(RasterSkew, DrawingsWithoutStraightEdgesAreLeftAsTheyAre) {
    for (int i = 0; i < 8; ++i) {
        test::FlangeLayout layout;
        layout.centre = {240.0 + 27.0 * (i % 4), 180.0 + 11.0 * (i % 4)};
        layout.px_per_mm = 1.2 + 0.2 * (i / 2 % 4);
        layout.bore_mm = 20.0 + 5.0 * (i / 2 % 4);
        Drawing drawing = test::flange_drawing(layout);
        drawing.anti_aliased = i % 2 == 1;
        EXPECT_EQ(estimate_skew(drawing.render()), 0.0) << i;
    }
}

// Thinning every k-th ink pixel in scan order made an oblique lattice of a filled area:
// straight rectangles 2011 and 2012 pixels wide read as -4.4 and 4.4 degrees. The thinning
// now favours no direction.
TEST(RasterSkew, FilledRectanglesOnALargeSheetAreLeftStraight) {
    for (const std::int32_t width : {2011, 2012, 2200}) {
        RasterImage sheet;
        sheet.width = 4000;
        sheet.height = 3000;
        sheet.pixels.assign(std::size_t{4000} * 3000, 0xffffffffu);
        for (std::int32_t y = 700; y < 2300; ++y) {
            for (std::int32_t x = 2000 - width / 2; x < 2000 - width / 2 + width; ++x) {
                sheet.pixels[sheet.index(x, y)] = 0xff000000u;
            }
        }
        EXPECT_LT(std::fabs(estimate_skew(sheet)), 0.1) << width;
    }
}

TEST_F(RasterIntakeTest, StraightDrawingIsWrittenBackUnchangedAndRepeatably) {
    // Neighbouring candidates tie on a straight drawing and the lowest wins: -0.0999...,
    // inside the cut-off, so nothing is resampled.
    Drawing plain = test::plate_drawing();
    plain.paper = 240;
    EXPECT_EQ(estimate_skew(plain.render()), candidate_angle(49));
    const RasterIntakeResult first = intake(plain, "plain");
    EXPECT_EQ(first.applied_rotation_deg, 0.0);
    EXPECT_EQ(first.measured_skew_deg, -candidate_angle(49));
    EXPECT_EQ(load_raster(path("plain_normalized.png")).pixels, plain.render().pixels);
    const RasterIntakeResult second = normalize_raster_input(path("plain.png"), 300.0, path("second.png"));
    const std::string bytes = test::read_file(path("plain_normalized.png"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, test::read_file(path("second.png")));
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

TEST(DrawingGenerator, ResponseTextMatchesTheResponse) {
    Drawing drawing = test::flange_drawing();
    drawing.rotation_deg = -3.3;
    drawing.readings[2].value.reset();
    drawing.readings[2].origin = "unreadable";
    drawing.reader_errors = {"glare on the title block"};
    const ReaderResponse direct = drawing.reader_response("flange-1");
    const ReaderResponse parsed = parse_agent_reader_v2_response(drawing.reader_response_json("flange-1"), "generated");
    EXPECT_EQ(parsed.drawing_id, "flange-1");
    EXPECT_EQ(parsed.errors, direct.errors);
    const auto fields = [](const DimensionReading& r) {
        return std::tie(r.constraint_id, r.value, r.confidence, r.origin, r.source_bbox);
    };
    ASSERT_EQ(parsed.readings.size(), direct.readings.size());
    for (std::size_t i = 0; i < parsed.readings.size(); ++i) {
        EXPECT_TRUE(fields(parsed.readings[i]) == fields(direct.readings[i])) << i;
    }
}

TEST(RasterMarker, OnlyOnTheExactSheet) {
    struct Case {
        std::int32_t width, height, shift_x, shift_y;
        bool verified;
    };
    for (const Case c : {Case{640, 420, 0, 0, true}, Case{640, 420, 5, -5, true}, Case{640, 420, -6, 0, false},
                         Case{641, 420, 0, 0, false}, Case{640, 421, 0, 0, false}, Case{639, 420, 0, 0, false}}) {
        Drawing drawing(c.width, c.height);
        drawing.millimeter_marker(c.shift_x, c.shift_y);
        EXPECT_EQ(verify_millimeter_marker(drawing.render()), c.verified)
            << c.width << "x" << c.height << " shifted " << c.shift_x << "," << c.shift_y;
    }
    // The printed note inks every cell of the mask, so some blur or loss still leaves a margin.
    Drawing sheet(640, 420);
    sheet.millimeter_marker();
    const RasterImage image = sheet.render();
    int inked = 0;
    for (int r = 0; r < 12; ++r) {
        for (int c = 0; c < 64; ++c) {
            const bool cell = ((kMillimeterMarkerRows[r] >> c) & 1u) != 0;
            if (cell && pixel_luma(image.at(kMarkerLeft + c, kMarkerTop + r)) < 180.0) ++inked;
        }
    }
    EXPECT_EQ(inked, 99);
}

TEST(RasterSlots, TextRowsSplitIntoBandsByTheirGap) {
    // Ten text rows with gap y - last = blank_rows + 1.
    for (const auto& [blank_rows, count] : std::vector<std::pair<std::int32_t, std::size_t>>{{1, 1}, {2, 2}, {0, 1}}) {
        SCOPED_TRACE(blank_rows);
        Drawing drawing(640, 420);
        const SourceBox first = drawing.text({480, 100}, "25", 1);
        const SourceBox second = drawing.text({480, first.y + first.height + blank_rows}, "40", 1);
        const std::vector<SourceBox> slots = find_annotation_slots(drawing.render());
        ASSERT_EQ(slots.size(), count);
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
    drawing.text({600, 200}, "5", 2);      // outside the column (x >= 602 is cut)
    drawing.block(500, 250, 501, 250);     // specks and flat marks are not text
    drawing.block(520, 250, 540, 252);
    const std::vector<SourceBox> slots = find_annotation_slots(drawing.render());
    ASSERT_EQ(slots.size(), 5u);
    const std::vector<std::pair<double, double>> x_and_width = {{480, 5}, {491, 5}, {530, 5}, {480, 25}, {600, 2}};
    for (std::size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(std::make_pair(slots[i].x, slots[i].width), x_and_width[i]) << i;
    }
}

// The pixels of a w x h box that lie on an elliptic ring of the given thickness.
RasterComponent elliptic_ring(std::int32_t w, std::int32_t h, double thickness) {
    RasterComponent component{{}, 1000, 1000, -1, -1};
    const double rx = w * 0.5, ry = h * 0.5;
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const double dx = x + 0.5 - rx, dy = y + 0.5 - ry;
            const double outer = dx * dx / (rx * rx) + dy * dy / (ry * ry);
            const double ix = rx - thickness, iy = ry - thickness;
            if (outer >= 1.0 || dx * dx / (ix * ix) + dy * dy / (iy * iy) < 1.0) continue;
            component.pixels.emplace_back(x, y);
            component.min_x = std::min(component.min_x, x);
            component.min_y = std::min(component.min_y, y);
            component.max_x = std::max(component.max_x, x);
            component.max_y = std::max(component.max_y, y);
        }
    }
    return component;
}

TEST(RasterCircles, RingsOfNearlyEqualSides) {
    RasterComponent square{{}, 0, 0, 29, 29};  // an outline two pixels wide
    for (std::int32_t y = 0; y < 30; ++y) {
        for (std::int32_t x = 0; x < 30; ++x) {
            if (x < 2 || y < 2 || x > 27 || y > 27) square.pixels.emplace_back(x, y);
        }
    }
    const std::vector<std::tuple<const char*, RasterComponent, bool>> cases = {
        {"ring 30", elliptic_ring(30, 30, 2.0), true},
        {"ring 15", elliptic_ring(15, 15, 1.5), true},
        {"ring 14", elliptic_ring(14, 14, 1.5), false},
        {"ring 20 x 24", elliptic_ring(20, 24, 2.0), false},
        {"ring 20 x 23", elliptic_ring(20, 23, 2.0), true},
        {"disc 30", elliptic_ring(30, 30, 15.0), false},
        {"square outline", square, false},
    };
    for (const auto& [name, component, circle] : cases) EXPECT_EQ(is_circle_component(component), circle) << name;
}

TEST(RasterTopology, OutlineTopologyOutsideTheGrammar) {
    struct Case {
        int horizontal;
        int vertical;
        char mark;  // 'r' a ring, 'd' a filled disc
        std::uint32_t kind;
        std::string message;
    };
    const std::string outside = "orthogonal outline topology is outside the deterministic grammar";
    const std::string unequal = "orthogonal outline has unequal horizontal and vertical axis counts";
    const std::vector<Case> cases = {
        {5, 5, ' ', kProfileNone, outside},
        {1, 1, ' ', kProfileNone, outside},
        {3, 2, ' ', kProfileNone, unequal},
        {3, 2, 'd', kProfileNone, unequal},
        {3, 2, 'r', kProfileCircular, "circular front profile and circle entities extracted"},
        {4, 4, 'r', kProfileStepped, "orthogonal front outline and circle entities extracted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.horizontal) + " by " + std::to_string(c.vertical) + " " + c.mark);
        Drawing drawing(640, 420);
        for (int i = 0; i < c.horizontal; ++i) drawing.line({80, 80.0 + 50 * i}, {420, 80.0 + 50 * i}, 3);
        const double bottom = 80.0 + 50 * std::max(1, c.horizontal - 1);
        for (int i = 0; i < c.vertical; ++i) drawing.line({80.0 + 60 * i, 80}, {80.0 + 60 * i, bottom}, 3);
        if (c.mark == 'r') drawing.ring({440, 320}, 30, 2);
        if (c.mark == 'd') drawing.disc({440, 320}, 30);
        const RasterExtraction e = extract_raster_entities(drawing.render());
        EXPECT_EQ(e.profile_kind, c.kind);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(e.horizontal_axes_y.size(), static_cast<std::size_t>(c.horizontal));
        EXPECT_EQ(e.entities_supported, c.kind == kProfileNone ? 0 : 1);
        if (c.kind == kProfileCircular) {
            EXPECT_EQ(e.profile_box, e.circles.front());
        }
    }
}

TEST(RasterSampling, BilinearSamplingAndBlending) {
    const RasterImage image{
        2, 2, {make_pixel(0, 0, 0), make_pixel(255, 255, 255), make_pixel(100, 0, 0, 0), make_pixel(0, 0, 100)}};
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
    test::plate_drawing().write_png(path("in.png"));
    std::ofstream(path("file")) << "x";
    const std::string directory_error =
        error_message([&] { normalize_raster_input(path("in.png"), 300.0, path("file") / "sub" / "out.png"); });
    EXPECT_EQ(directory_error.rfind("Cannot create deskew output directory: ", 0), 0u) << directory_error;
    std::filesystem::create_directories(path("taken.png"));
    EXPECT_EQ(error_message([&] { normalize_raster_input(path("in.png"), 300.0, path("taken.png")); }),
              "OCCT could not save deskew output: " + path("taken.png").string());
}

TEST_F(RasterIntakeTest, EightConcurrentIntakesAgree) {
    std::vector<Drawing> drawings;
    for (const TemplateCase& c : template_cases()) drawings.push_back(c.drawing);
    drawings[1].rotation_deg = 2.0;
    drawings[3].rotation_deg = -3.3;
    drawings[3].anti_aliased = true;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < drawings.size(); ++i) {
        const std::string name = "drawing" + std::to_string(i);
        const RasterIntakeResult result = intake(drawings[i], name);
        expected.push_back(describe(result.extraction) + test::read_file(path(name + "_normalized.png")));
    }
    constexpr int kThreads = 8;
    std::vector<std::string> problems(kThreads);  // per thread; empty when every round agreed
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string& problem = problems[static_cast<std::size_t>(t)];
            try {
                for (int round = 0; round < 3; ++round) {
                    const std::size_t i = static_cast<std::size_t>(t + round) % drawings.size();
                    const auto out = path("t" + std::to_string(t) + "_" + std::to_string(round) + ".png");
                    const RasterIntakeResult result =
                        normalize_raster_input(path("drawing" + std::to_string(i) + ".png"), 300.0, out);
                    if (describe(result.extraction) + test::read_file(out) != expected[i]) {
                        problem += "drawing " + std::to_string(i) + " differs; ";
                    }
                }
            } catch (const std::exception& error) {
                problem += error.what();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[static_cast<std::size_t>(t)], "") << "thread " << t;
}

}  // namespace
}  // namespace vesk
