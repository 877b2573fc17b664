// Binding of readings to generated drawings: the raster floor, reader errors, the checks
// every reading passes before it may take an annotation slot, and rotated inputs.
#include "intake/binding.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/sketch_analysis.hpp"
#include "model/solid_builder.hpp"
#include "model/occt_support.hpp"
#include "support/drawing_generator.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

// Standard output stays free of OCCT's chatter.
const bool kOcctRouted = (route_occt_messages_to_stderr(), true);

using testing::Drawing;
using testing::FlangeLayout;
using testing::PlateLayout;

const std::filesystem::path kCli = std::filesystem::path(VESK_BINARY_DIR) / "cli" / "vesk-cli";
const std::string kFloorMessage = "declared DPI is below the 144 DPI input floor";

class BindingTest : public ::testing::Test {
protected:
    std::filesystem::path write_input(const Drawing& drawing) {
        const std::filesystem::path path = dir_.path() / ("input_" + std::to_string(++count_) + ".png");
        drawing.write_png(path);
        return path;
    }
    std::filesystem::path normalized() const { return dir_.path() / ("normalized_" + std::to_string(count_) + ".png"); }

    BindingResult bind(const Drawing& drawing) { return bind(drawing, drawing.reader_response("drawing-1")); }
    BindingResult bind(const Drawing& drawing, const ReaderResponse& response) {
        const auto input = write_input(drawing);
        return bind_readings_to_raster(input, drawing.declared_dpi, normalized(), response);
    }
    BindingResult bind_with_options(const Drawing& drawing, const ReaderResponse& response, std::uint8_t marker,
                                    std::vector<SourceBox> slots) {
        const auto input = write_input(drawing);
        return bind_readings_to_raster_with_options(input, drawing.declared_dpi, normalized(), response, marker,
                                                    std::move(slots));
    }

    vesk::test::TempDir dir_{"vesk-binding"};
    int count_ = 0;
};

SourceBox centred_box(const SourceBox& like, double cx, double cy) {
    return SourceBox{cx - like.width * 0.5, cy - like.height * 0.5, like.width, like.height};
}
double centre_x(const SourceBox& box) { return box.x + box.width * 0.5; }
double centre_y(const SourceBox& box) { return box.y + box.height * 0.5; }

void expect_refused(const BindingResult& result, const std::string& message) {
    EXPECT_FALSE(result.bound_graph.has_value());
    EXPECT_FALSE(result.response.dimension_graph.has_value());
    EXPECT_EQ(result.binding_errors, std::vector<std::string>{message});
    EXPECT_EQ(result.response.errors, std::vector<std::string>{message});
}

TEST_F(BindingTest, RasterBelowTheFloorGivesOnlyTheFloorMessage) {
    Drawing drawing = testing::plate_drawing();
    drawing.declared_dpi = 143.0;
    // Readings that could never bind: none of them is looked at.
    drawing.readings.resize(3);
    drawing.readings[0].confidence = 0.1;
    BindingResult plain = bind(drawing);
    EXPECT_EQ(plain.raster.accepted, 0);
    EXPECT_EQ(plain.raster.rejection, std::optional<std::uint32_t>{kRejectionDpiBelowFloor});
    EXPECT_EQ(plain.binding_errors, std::vector<std::string>{kFloorMessage});
    EXPECT_TRUE(plain.response.errors.empty());
    EXPECT_FALSE(plain.bound_graph.has_value());
    EXPECT_FALSE(std::filesystem::exists(normalized()));

    drawing.reader_errors = {"reader lost the title block"};
    BindingResult with_options = bind_with_options(drawing, drawing.reader_response("d"), 1, {});
    EXPECT_EQ(with_options.binding_errors, (std::vector<std::string>{"reader lost the title block", kFloorMessage}));
    EXPECT_EQ(with_options.response.errors, std::vector<std::string>{"reader lost the title block"});
}

TEST_F(BindingTest, ReaderErrorsStopOnlyTheBindingWithOptions) {
    Drawing drawing = testing::plate_drawing();
    drawing.reader_errors = {"reader saw a smudge"};
    const BindingResult plain = bind(drawing);
    ASSERT_TRUE(plain.bound_graph.has_value()) << plain.binding_errors.front();
    EXPECT_TRUE(plain.binding_errors.empty());
    EXPECT_EQ(plain.response.errors, std::vector<std::string>{"reader saw a smudge"});

    const BindingResult stopped =
        bind_with_options(drawing, drawing.reader_response("d"), 1, plain.raster.extraction.annotation_slots);
    EXPECT_FALSE(stopped.bound_graph.has_value());
    EXPECT_EQ(stopped.binding_errors, std::vector<std::string>{"reader saw a smudge"});
    EXPECT_EQ(stopped.response.errors, std::vector<std::string>{"reader saw a smudge"});

    // Without reader errors the same overrides bind the same graph.
    drawing.reader_errors.clear();
    const BindingResult overridden =
        bind_with_options(drawing, drawing.reader_response("drawing-1"), 1, plain.raster.extraction.annotation_slots);
    ASSERT_TRUE(overridden.bound_graph.has_value());
    EXPECT_EQ(*overridden.bound_graph, *plain.bound_graph);
}

TEST_F(BindingTest, OverridesReplaceMarkerAndSlots) {
    PlateLayout layout;
    layout.sheet.marker = false;
    const Drawing drawing = testing::plate_drawing(layout);
    const BindingResult plain = bind(drawing);
    expect_refused(plain, "the deterministic millimeter marker was not verified");

    const std::vector<SourceBox> slots = plain.raster.extraction.annotation_slots;
    const BindingResult vouched = bind_with_options(drawing, drawing.reader_response("d"), 1, slots);
    EXPECT_TRUE(vouched.bound_graph.has_value());
    EXPECT_EQ(vouched.raster.extraction.millimeter_marker_verified, 1);

    expect_refused(bind_with_options(drawing, drawing.reader_response("d"), 0, slots),
                   "the deterministic millimeter marker was not verified");
    expect_refused(bind_with_options(drawing, drawing.reader_response("d"), 1, {}),
                   "reader count does not match extracted source annotation slots");
}

TEST_F(BindingTest, ReadingFaultsAreRefusedWithTheirMessage) {
    const Drawing plate = testing::plate_drawing();
    const ReaderResponse straight = plate.reader_response("d");
    const SourceBox slot_box = straight.readings[0].source_bbox;
    struct Case {
        const char* name;
        std::function<void(Drawing&)> change;
        std::string message;  // empty: binds
    };
    const std::vector<Case> cases = {
        {"confidence 0.79", [](Drawing& d) { d.readings[3].confidence = 0.79; },
         "construction reading confidence is below the green floor"},
        {"confidence 0.8", [](Drawing& d) { d.readings[3].confidence = 0.8; }, ""},
        {"operator confirmed", [](Drawing& d) { d.readings[3].origin = "operator_confirmed"; }, ""},
        {"inferred", [](Drawing& d) { d.readings[3].origin = "inferred"; },
         "unreviewed inferred or unreadable construction readings cannot be bound"},
        {"unreadable",
         [](Drawing& d) {
             d.readings[3].origin = "unreadable";
             d.readings[3].value.reset();
         },
         "all construction readings must have numeric values"},
        {"zero value", [](Drawing& d) { d.readings[5].value = 0.0; }, "construction readings must be positive"},
        {"flat box", [&](Drawing& d) { d.readings[0].box_override = SourceBox{slot_box.x, slot_box.y, 10.0, 0.0}; },
         "source_bbox must have positive width and height"},
        {"box past the edge", [](Drawing& d) { d.readings[0].box_override = SourceBox{630.0, 60.0, 12.0, 14.0}; },
         "source_bbox falls outside the normalized raster"},
        {"box on blank paper", [](Drawing& d) { d.readings[0].box_override = SourceBox{20.0, 20.0, 20.0, 14.0}; },
         "source_bbox does not overlap dark source text"},
        {"box on the top view", [](Drawing& d) { d.readings[0].box_override = SourceBox{150.0, 348.0, 20.0, 14.0}; },
         "source_bbox is not proximal to its extracted annotation slot"},
        {"two readings on one slot", [&](Drawing& d) { d.readings[1].box_override = slot_box; },
         "multiple readings map to one extracted annotation slot"},
        {"edge reading contradicts", [](Drawing& d) { d.readings[3].value = 61.0; },
         "front right edge disagrees with overall height"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drawing drawing = plate;
        c.change(drawing);
        const BindingResult result = bind(drawing);
        if (c.message.empty()) {
            EXPECT_TRUE(result.bound_graph.has_value());
            EXPECT_TRUE(result.binding_errors.empty());
        } else {
            expect_refused(result, c.message);
        }
    }
}

TEST_F(BindingTest, FiveReadingsForFourSlotsAreRefused) {
    FlangeLayout layout;
    layout.bore_mm = 0.0;
    layout.bolts.clear();
    Drawing drawing = testing::flange_drawing(layout);
    ASSERT_EQ(drawing.readings.size(), 5u);
    drawing.readings[4].text.clear();  // read by the reader, but printed nowhere
    drawing.readings[4].box_override = drawing.reader_response("d").readings[3].source_bbox;
    const BindingResult result = bind(drawing);
    ASSERT_EQ(result.raster.extraction.annotation_slots.size(), 4u);
    expect_refused(result, "reader count does not match extracted source annotation slots");
}

TEST_F(BindingTest, NearestSlotMustWinByFourPixels) {
    const Drawing plate = testing::plate_drawing();
    const BindingResult baseline = bind(plate);
    ASSERT_TRUE(baseline.bound_graph.has_value());
    const std::vector<SourceBox>& slots = baseline.raster.extraction.annotation_slots;
    // Reading 0 sits in slot 0; slot 2 is the one below it.
    const SourceBox& own = slots[0];
    const SourceBox& next = slots[2];
    const double dx = centre_x(next) - centre_x(own);
    const double dy = centre_y(next) - centre_y(own);
    const double length = std::hypot(dx, dy);
    for (const double gap : {3.0, 3.9, 4.5}) {
        SCOPED_TRACE(gap);
        // On the line between the two centres: d1 = s, d2 = length - s.
        const double s = (length - gap) * 0.5;
        Drawing drawing = plate;
        drawing.readings[0].box_override =
            centred_box(own, centre_x(own) + dx / length * s, centre_y(own) + dy / length * s);
        const BindingResult result = bind(drawing);
        if (gap < 4.0) {
            expect_refused(result, "source_bbox annotation-slot assignment is ambiguous");
        } else {
            EXPECT_TRUE(result.bound_graph.has_value());
        }
    }
}

TEST_F(BindingTest, BindsInSlotOrderWhateverTheResponseOrder) {
    const Drawing plate = testing::plate_drawing();
    const BindingResult first = bind(plate);
    ASSERT_TRUE(first.bound_graph.has_value());
    EXPECT_TRUE(first.binding_errors.empty());
    EXPECT_TRUE(first.response.errors.empty());
    ASSERT_TRUE(first.response.dimension_graph.has_value());
    EXPECT_EQ(*first.response.dimension_graph, *first.bound_graph);
    ASSERT_EQ(first.bound_graph->constraints.size(), 16u);
    const ReaderResponse response = plate.reader_response("drawing-1");
    for (std::size_t i = 0; i < 16; ++i) {
        const DimensionConstraint& constraint = first.bound_graph->constraints[i];
        EXPECT_EQ(constraint.id, "bound_" + std::to_string(i + 1));
        EXPECT_EQ(constraint.value, *response.readings[i].value);
        EXPECT_EQ(constraint.confidence, 0.95);
        EXPECT_EQ(constraint.source_bbox, response.readings[i].source_bbox);
    }

    ReaderResponse reversed = response;
    std::reverse(reversed.readings.begin(), reversed.readings.end());
    const BindingResult second = bind(plate, reversed);
    ASSERT_TRUE(second.bound_graph.has_value());
    EXPECT_EQ(dimension_graph_to_json(*second.bound_graph), dimension_graph_to_json(*first.bound_graph));
    // The response keeps the reader's own order.
    EXPECT_EQ(second.response.readings.front().constraint_id, reversed.readings.front().constraint_id);
}

TEST_F(BindingTest, RotatedPlateBindsWithBoxesInTheInputFrame) {
    const BindingResult straight = bind(testing::plate_drawing());
    ASSERT_TRUE(straight.bound_graph.has_value());

    Drawing drawing = testing::plate_drawing();
    drawing.rotation_deg = -3.3;
    const ReaderResponse response = drawing.reader_response("drawing-1");
    const BindingResult rotated = bind(drawing, response);
    ASSERT_TRUE(rotated.bound_graph.has_value()) << rotated.binding_errors.front();
    EXPECT_NEAR(rotated.raster.applied_rotation_deg, -3.3, 1e-9);
    EXPECT_EQ(rotated.bound_graph->entities, straight.bound_graph->entities);
    // Each constraint keeps its reading's box as given, in the input's frame, though the
    // box that was checked lies elsewhere on the straightened image.
    double largest_shift = 0.0;
    for (std::size_t i = 0; i < response.readings.size(); ++i) {
        const SourceBox& input_box = response.readings[i].source_bbox;
        EXPECT_EQ(rotated.bound_graph->constraints[i].source_bbox, input_box);
        const SourceBox mapped = map_box_to_normalized(input_box, rotated.raster);
        largest_shift = std::max(largest_shift, std::fabs(centre_y(mapped) - centre_y(input_box)));
    }
    EXPECT_GT(largest_shift, 10.0);

    // The same boxes taken as if they were already straight miss their slots.
    RasterIntakeResult unrotated = rotated.raster;
    unrotated.applied_rotation_deg = 0.0;
    EXPECT_THROW(validate_reading_slots(response, unrotated), std::invalid_argument);
}

TEST_F(BindingTest, SheetWithoutGeometryIsUnsupported) {
    Drawing blank(640, 420);
    blank.millimeter_marker();
    const BindingResult result = bind(blank);
    EXPECT_EQ(result.raster.accepted, 1);
    expect_refused(result, "raster entity extraction is unsupported");
}

TEST_F(BindingTest, IntakeErrorsLeaveTheBinding) {
    const Drawing plate = testing::plate_drawing();
    const ReaderResponse response = plate.reader_response("d");
    const auto input = write_input(plate);
    EXPECT_THROW(bind_readings_to_raster(input, std::nan(""), normalized(), response), std::invalid_argument);
    EXPECT_THROW(bind_readings_to_raster(dir_.path() / "missing.png", 300.0, normalized(), response),
                 std::invalid_argument);
}

TEST(BindingHelpers, DarkTextNeedsTwoPixels) {
    vesk::test::TempDir dir("vesk-binding");
    Drawing drawing(60, 40);
    drawing.block(10, 10, 10, 10);  // one dark pixel
    drawing.block(30, 10, 31, 10);  // two
    drawing.write_png(dir.path() / "dots.png");
    RasterIntakeResult raster;
    raster.normalized_png = dir.path() / "dots.png";
    raster.width = 60;
    raster.height = 40;
    raster.extraction.profile_box = SourceBox{0, 0, 60, 40};
    ReaderResponse response;
    response.readings.push_back(DimensionReading{"a", 5.0, 0.9, ReadingOrigin::source_text, SourceBox{}});
    const auto message_for = [&](SourceBox box, SourceBox slot) -> std::string {
        response.readings[0].source_bbox = box;
        raster.extraction.annotation_slots = {slot};
        try {
            validate_reading_slots(response, raster);
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "";
    };
    EXPECT_EQ(message_for({8, 8, 5, 5}, {8, 8, 5, 5}), "source_bbox does not overlap dark source text");
    // A single slot has no rival, so no ambiguity check applies.
    EXPECT_EQ(message_for({28, 8, 5, 5}, {20, 8, 5, 5}), "");
    raster.normalized_png = dir.path() / "gone.png";
    EXPECT_EQ(message_for({28, 8, 5, 5}, {20, 8, 5, 5}), "cannot reload normalized raster for source_bbox validation");
}

// The reach limits of a reading's box: at most 0.35 of the image diagonal from the
// outline, within max(12 px, slot diagonal) of its slot, and 4 px clear of the next slot.
TEST(BindingHelpers, OutlineAndSlotReachLimits) {
    vesk::test::TempDir dir("vesk-binding");
    // 200 x 100: diagonal 223.607, outline reach 78.262 px. Dark ink wherever boxes go.
    Drawing drawing(200, 100);
    drawing.block(90, 40, 199, 70);
    drawing.write_png(dir.path() / "band.png");
    RasterIntakeResult raster;
    raster.normalized_png = dir.path() / "band.png";
    raster.width = 200;
    raster.height = 100;
    const SourceBox whole{0, 0, 200, 100};
    const SourceBox strip{0, 0, 20, 100};
    // A 4 x 4 box centred on (cx, 50).
    const auto box_at = [](double cx) { return SourceBox{cx - 2.0, 48.0, 4.0, 4.0}; };
    const SourceBox small_slot{150, 49, 2, 2};  // centre (151, 50), diagonal 2.83
    const SourceBox big_slot{110, 30, 30, 40};  // centre (125, 50), diagonal 50
    const SourceBox rival_slot{159, 49, 2, 2};  // centre (160, 50)
    struct Case {
        const char* name;
        SourceBox profile;
        SourceBox box;
        std::vector<SourceBox> slots;
        std::string message;  // empty: the reading takes slot 0
    };
    const std::string too_far = "source_bbox is too far from the extracted entity region";
    const std::string not_proximal = "source_bbox is not proximal to its extracted annotation slot";
    const std::string ambiguous = "source_bbox annotation-slot assignment is ambiguous";
    const std::vector<Case> cases = {
        {"78 px from the outline", strip, box_at(98.0), {box_at(98.0)}, ""},
        {"79 px from the outline", strip, box_at(99.0), {box_at(99.0)}, too_far},
        {"small slot, 12 px", whole, box_at(163.0), {small_slot}, ""},
        {"small slot, 12.5 px", whole, box_at(163.5), {small_slot}, not_proximal},
        {"big slot, 50 px", whole, box_at(175.0), {big_slot}, ""},
        {"big slot, 51 px", whole, box_at(176.0), {big_slot}, not_proximal},
        {"gap of exactly 4 px", whole, box_at(153.5), {rival_slot, small_slot}, ""},
        {"gap of 3.8 px", whole, box_at(153.6), {rival_slot, small_slot}, ambiguous},
        {"equidistant slots", whole, box_at(155.5), {small_slot, rival_slot}, ambiguous},
    };
    ReaderResponse response;
    response.readings.push_back(DimensionReading{"a", 5.0, 0.9, ReadingOrigin::source_text, SourceBox{}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        raster.extraction.profile_box = c.profile;
        raster.extraction.annotation_slots = c.slots;
        response.readings[0].source_bbox = c.box;
        // One reading per slot: the rival slot gets a second reading centred on it.
        ReaderResponse sent = response;
        if (c.slots.size() == 2) {
            sent.readings.push_back(DimensionReading{"b", 5.0, 0.9, ReadingOrigin::source_text, box_at(160.0)});
        }
        try {
            const std::vector<DimensionReading> ordered = validate_reading_slots(sent, raster);
            EXPECT_EQ(c.message, "");
            const std::size_t own = c.slots[0] == rival_slot ? 1 : 0;
            EXPECT_EQ(ordered.at(own).constraint_id, "a");
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), c.message);
        }
    }
}

TEST(BindingHelpers, BoxesFollowTheRasterRotationAndRoundHalfAwayFromZero) {
    RasterIntakeResult raster;
    raster.width = 101;
    raster.height = 101;  // rotation centre (50, 50)
    const SourceBox box{60, 50, 10, 4};
    EXPECT_EQ(map_box_to_normalized(box, raster), box);
    raster.applied_rotation_deg = 90.0;
    const SourceBox turned = map_box_to_normalized(box, raster);
    // (x, y) -> (y, 100 - x): the corners land on x 50..54, y 30..40.
    EXPECT_NEAR(turned.x, 50.0, 1e-9);
    EXPECT_NEAR(turned.y, 30.0, 1e-9);
    EXPECT_NEAR(turned.width, 4.0, 1e-9);
    EXPECT_NEAR(turned.height, 10.0, 1e-9);

    // Profile 100 x 100 px for 100 x 100 mm: centres map one to one, y flipped.
    const SourceBox profile{0, 0, 100, 100};
    const auto centre = [&](double cx, double cy) {
        return map_box_centre_to_profile(SourceBox{cx - 1.0, cy - 1.0, 2.0, 2.0}, profile, 100.0, 100.0);
    };
    EXPECT_EQ(centre(12.5, 87.5), (Point2{13.0, 13.0}));
    EXPECT_EQ(centre(-2.5, 102.5), (Point2{-3.0, -3.0}));
    EXPECT_EQ(centre(12.4, 87.6), (Point2{12.0, 12.0}));
    EXPECT_EQ(round_half_away(-0.5), -1.0);
    EXPECT_EQ(round_half_away(2.5), 3.0);
}

// Each template's drawing binds to a graph that the model pipeline accepts as it is.
TEST_F(BindingTest, EveryTemplateBindsToAGraphThePipelineBuilds) {
    const std::vector<std::pair<std::string, Drawing>> drawings = {
        {"plate", testing::plate_drawing()},
        {"bracket", testing::bracket_drawing()},
        {"stepped", testing::stepped_drawing()},
        {"flange", testing::flange_drawing()},
    };
    for (const auto& [name, drawing] : drawings) {
        SCOPED_TRACE(name);
        const BindingResult first = bind(drawing, drawing.reader_response(name));
        const BindingResult second = bind(drawing, drawing.reader_response(name));
        ASSERT_TRUE(first.bound_graph.has_value()) << first.binding_errors.front();
        ASSERT_TRUE(second.bound_graph.has_value());
        const std::string text = dimension_graph_to_json(*first.bound_graph);
        EXPECT_EQ(dimension_graph_to_json(*second.bound_graph), text);

        const SketchAnalysis analysis = analyze_dimension_graph(*first.bound_graph);
        EXPECT_EQ(analysis.degrees_of_freedom, 0);
        EXPECT_TRUE(analysis.missing_dimensions.empty());
        EXPECT_TRUE(analysis.conflicting_constraints.empty());
        const BuiltModel model = build_m2_solid(*first.bound_graph);
        EXPECT_FALSE(model.shape.IsNull());
        EXPECT_EQ(model.construction, name == "flange" ? "revolve" : "extrude");

        // The graph file as the job service stores it, through the command-line program.
        const std::filesystem::path graph_path = dir_.path() / (name + ".json");
        const std::filesystem::path out = dir_.path() / (name + "_out");
        vesk::test::write_file(graph_path, text);
        const auto run = vesk::test::run_process(kCli, {graph_path.string(), "--output-dir", out.string()});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.out, "STEP: " + (out / (name + ".step")).string() + "\nFront SVG: " +
                               (out / (name + "_front.svg")).string() + "\nTop SVG: " +
                               (out / (name + "_top.svg")).string() + "\nSide SVG: " +
                               (out / (name + "_side.svg")).string() + "\nReport: " +
                               (out / (name + "_report.json")).string() + "\n");
        EXPECT_GT(std::filesystem::file_size(out / (name + ".step")), 1000u);
    }
}

}  // namespace
}  // namespace vesk
