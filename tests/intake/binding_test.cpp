// Binding of readings to generated drawings: the raster floor, reader errors, the checks
// every reading passes before it may take an annotation slot, rotated inputs, and the four
// shape templates: what each builds, and the checks that refuse readings which do not
// close or do not match the raster.
#include "intake/binding.hpp"
#include "intake/binding_internal.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "intake/binding_templates.hpp"
#include "intake/binding_templates_internal.hpp"
#include "model/occt_support.hpp"
#include "support/drawing_generator.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

// Standard output stays free of OCCT's chatter.
const bool kOcctRouted = (route_occt_messages_to_stderr(), true);

using test::BracketLayout;
using test::Drawing;
using test::FlangeLayout;
using test::PlateLayout;

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
    DimensionGraph bind_graph(const Drawing& drawing) {
        const BindingResult result = bind(drawing);
        if (!result.bound_graph) {
            ADD_FAILURE() << "not bound: " << result.binding_errors.front();
            return {};
        }
        return *result.bound_graph;
    }

    test::TempDir dir_{"vesk-binding"};
    int count_ = 0;
};

// The shape templates on generated drawings.
class TemplateTest : public BindingTest {};

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
    Drawing drawing = test::plate_drawing();
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

TEST_F(BindingTest, OptionsReplaceMarkerAndSlotsAndStopOnReaderErrors) {
    Drawing drawing = test::plate_drawing();
    drawing.reader_errors = {"reader saw a smudge"};
    const BindingResult plain = bind(drawing);
    ASSERT_TRUE(plain.bound_graph.has_value()) << plain.binding_errors.front();
    EXPECT_TRUE(plain.binding_errors.empty());
    EXPECT_EQ(plain.response.errors, std::vector<std::string>{"reader saw a smudge"});
    const std::vector<SourceBox> slots = plain.raster.extraction.annotation_slots;
    expect_refused(bind_with_options(drawing, drawing.reader_response("d"), 1, slots), "reader saw a smudge");

    PlateLayout layout;
    layout.sheet.marker = false;
    const Drawing unmarked = test::plate_drawing(layout);
    const std::string no_marker = "the deterministic millimeter marker was not verified";
    expect_refused(bind(unmarked), no_marker);
    const BindingResult vouched = bind_with_options(unmarked, unmarked.reader_response("d"), 1, slots);
    ASSERT_TRUE(vouched.bound_graph.has_value());
    EXPECT_EQ(vouched.raster.extraction.millimeter_marker_verified, 1);
    EXPECT_EQ(*vouched.bound_graph, *plain.bound_graph);
    expect_refused(bind_with_options(unmarked, unmarked.reader_response("d"), 0, slots), no_marker);
    expect_refused(bind_with_options(unmarked, unmarked.reader_response("d"), 1, {}),
                   "reader count does not match extracted source annotation slots");
}

TEST_F(BindingTest, ReadingFaultsAreRefusedWithTheirMessage) {
    const Drawing plate = test::plate_drawing();
    const ReaderResponse straight = plate.reader_response("d");
    // On a straight sheet each reading's box is its slot's box. A box for reading 0 on the
    // line to the slot below: 3 px nearer its own slot than the other.
    const SourceBox slot_box = straight.readings[0].source_bbox;
    const SourceBox below = straight.readings[2].source_bbox;
    const double dx = centre_x(below) - centre_x(slot_box);
    const double dy = centre_y(below) - centre_y(slot_box);
    const double s = (std::hypot(dx, dy) - 3.0) * 0.5 / std::hypot(dx, dy);
    const SourceBox near_gap = centred_box(slot_box, centre_x(slot_box) + dx * s, centre_y(slot_box) + dy * s);
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
        {"3 px nearer its slot than the next", [&](Drawing& d) { d.readings[0].box_override = near_gap; },
         "source_bbox annotation-slot assignment is ambiguous"},
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
    Drawing drawing = test::flange_drawing(layout);
    ASSERT_EQ(drawing.readings.size(), 5u);
    drawing.readings[4].text.clear();  // read by the reader, but printed nowhere
    drawing.readings[4].box_override = drawing.reader_response("d").readings[3].source_bbox;
    const BindingResult result = bind(drawing);
    ASSERT_EQ(result.raster.extraction.annotation_slots.size(), 4u);
    expect_refused(result, "reader count does not match extracted source annotation slots");
}

TEST_F(BindingTest, BindsInSlotOrderWhateverTheResponseOrderOrRotation) {
    const Drawing plate = test::plate_drawing();
    const BindingResult first = bind(plate);
    ASSERT_TRUE(first.bound_graph.has_value());
    EXPECT_TRUE(first.response.errors.empty());
    EXPECT_EQ(first.response.dimension_graph, first.bound_graph);
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

    Drawing drawing = plate;
    drawing.rotation_deg = -3.3;
    const ReaderResponse turned = drawing.reader_response("drawing-1");
    const BindingResult rotated = bind(drawing, turned);
    ASSERT_TRUE(rotated.bound_graph.has_value()) << rotated.binding_errors.front();
    EXPECT_NEAR(rotated.raster.applied_rotation_deg, -3.3, 1e-9);
    EXPECT_EQ(rotated.bound_graph->entities, first.bound_graph->entities);
    // Each constraint keeps its reading's box as given, in the input's frame, though the
    // box that was checked lies elsewhere on the straightened image.
    double largest_shift = 0.0;
    for (std::size_t i = 0; i < turned.readings.size(); ++i) {
        const SourceBox& input_box = turned.readings[i].source_bbox;
        EXPECT_EQ(rotated.bound_graph->constraints[i].source_bbox, input_box);
        const SourceBox mapped = map_box_to_normalized(input_box, rotated.raster);
        largest_shift = std::max(largest_shift, std::fabs(centre_y(mapped) - centre_y(input_box)));
    }
    EXPECT_GT(largest_shift, 10.0);
    // The same boxes taken as if they were already straight miss their slots.
    RasterIntakeResult unrotated = rotated.raster;
    unrotated.applied_rotation_deg = 0.0;
    EXPECT_THROW(validate_reading_slots(turned, unrotated), std::invalid_argument);
}

TEST_F(BindingTest, UnsupportedSheetAndIntakeErrors) {
    Drawing blank(640, 420);
    blank.millimeter_marker();
    const BindingResult result = bind(blank);
    EXPECT_EQ(result.raster.accepted, 1);
    expect_refused(result, "raster entity extraction is unsupported");

    // The intake's own errors are not binding errors: they leave the binding.
    const ReaderResponse response = blank.reader_response("d");
    EXPECT_THROW(bind_readings_to_raster(write_input(blank), std::nan(""), normalized(), response),
                 std::invalid_argument);
    EXPECT_THROW(bind_readings_to_raster(dir_.path() / "missing.png", 300.0, normalized(), response),
                 std::invalid_argument);
}

// Where a reading's box may lie: on at least two dark pixels, at most 0.35 of the image
// diagonal from the outline, within max(12 px, slot diagonal) of its slot, and 4 px
// clear of the next slot.
TEST(BindingHelpers, DarkTextAndReachLimits) {
    test::TempDir dir("vesk-binding");
    // 200 x 100: diagonal 223.607, outline reach 78.262 px. Dark ink wherever boxes go,
    // but for one pixel alone at (10, 10) and a pair at (30, 10).
    Drawing drawing(200, 100);
    drawing.block(90, 40, 199, 70);
    drawing.block(10, 10, 10, 10);
    drawing.block(30, 10, 31, 10);
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
    const std::string too_far = "source_bbox is too far from the extracted entity region";
    const std::string not_proximal = "source_bbox is not proximal to its extracted annotation slot";
    const std::string ambiguous = "source_bbox annotation-slot assignment is ambiguous";
    const std::vector<std::tuple<const char*, SourceBox, SourceBox, std::vector<SourceBox>, std::string>> cases = {
        // name, outline, box, slots, message (empty: the reading takes slot 0)
        {"one dark pixel", whole, {8, 8, 5, 5}, {{8, 8, 5, 5}}, "source_bbox does not overlap dark source text"},
        {"two dark pixels, a lone slot 8 px off", whole, {28, 8, 5, 5}, {{20, 8, 5, 5}}, ""},
        {"78 px from the outline", strip, box_at(98.0), {box_at(98.0)}, ""},
        {"79 px from the outline", strip, box_at(99.0), {box_at(99.0)}, too_far},
        {"small slot, 12 px", whole, box_at(163.0), {small_slot}, ""},
        {"small slot, 12.5 px", whole, box_at(163.5), {small_slot}, not_proximal},
        {"big slot, 50 px", whole, box_at(175.0), {big_slot}, ""},
        {"big slot, 51 px", whole, box_at(176.0), {big_slot}, not_proximal},
        {"gap of exactly 4 px", whole, box_at(153.5), {rival_slot, small_slot}, ""},
        {"gap of 3.8 px", whole, box_at(153.6), {rival_slot, small_slot}, ambiguous},
        {"gap of 3 px", whole, box_at(154.0), {rival_slot, small_slot}, ambiguous},
        {"equidistant slots", whole, box_at(155.5), {small_slot, rival_slot}, ambiguous},
    };
    for (const auto& [name, outline, box, slots, message] : cases) {
        SCOPED_TRACE(name);
        raster.extraction.profile_box = outline;
        raster.extraction.annotation_slots = slots;
        // One reading per slot: the rival slot gets a second reading centred on it.
        ReaderResponse response;
        response.readings.push_back(DimensionReading{"a", 5.0, 0.9, ReadingOrigin::source_text, box});
        if (slots.size() == 2) {
            response.readings.push_back(DimensionReading{"b", 5.0, 0.9, ReadingOrigin::source_text, box_at(160.0)});
        }
        std::vector<DimensionReading> ordered;
        EXPECT_EQ(
            test::error_message<std::invalid_argument>([&] { ordered = validate_reading_slots(response, raster); }),
            message.empty() ? test::kNoError : message);
        if (message.empty()) EXPECT_EQ(ordered.at(slots[0] == rival_slot ? 1 : 0).constraint_id, "a");
    }
    raster.normalized_png = dir.path() / "gone.png";
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { validate_reading_slots(ReaderResponse{}, raster); }),
              "cannot reload normalized raster for source_bbox validation");
}

// Dark means luma below 140 from components in [0, 1]: grey 139 is dark, grey 140 is not.
TEST(BindingHelpers, DarkTextNeedsTwoPixelsBelowLuma140InsideTheImage) {
    const RasterImage image{
        4, 1, {make_pixel(139, 139, 139), make_pixel(140, 140, 140), make_pixel(255, 0, 0), make_pixel(255, 255, 255)}};
    EXPECT_FALSE(overlaps_dark_text(image, {0, 0, 2, 1}));
    EXPECT_TRUE(overlaps_dark_text(image, {0, 0, 3, 1}));
    EXPECT_FALSE(overlaps_dark_text(image, {1, 0, 3, 1}));
    EXPECT_TRUE(overlaps_dark_text(image, {-5, -5, 100, 100}));
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
}

// Each template's drawing binds to a graph file that the command-line program builds.
TEST_F(BindingTest, EveryTemplateBindsToAGraphTheProgramBuilds) {
    const std::vector<std::pair<std::string, Drawing>> drawings = {
        {"plate", test::plate_drawing()},
        {"bracket", test::bracket_drawing()},
        {"stepped", test::stepped_drawing()},
        {"flange", test::flange_drawing()},
    };
    for (const auto& [name, drawing] : drawings) {
        SCOPED_TRACE(name);
        const BindingResult first = bind(drawing, drawing.reader_response(name));
        const BindingResult second = bind(drawing, drawing.reader_response(name));
        ASSERT_TRUE(first.bound_graph.has_value()) << first.binding_errors.front();
        ASSERT_TRUE(second.bound_graph.has_value());
        const std::string text = dimension_graph_to_json(*first.bound_graph);
        EXPECT_EQ(dimension_graph_to_json(*second.bound_graph), text);

        const std::filesystem::path graph_path = dir_.path() / (name + ".json");
        const std::filesystem::path out = dir_.path() / (name + "_out");
        test::write_file(graph_path, text);
        const auto run = test::run_process(kCli, {graph_path.string(), "--output-dir", out.string()});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_GT(std::filesystem::file_size(out / (name + ".step")), 1000u);
        for (const char* view : {"_front.svg", "_top.svg", "_side.svg"}) {
            EXPECT_TRUE(std::filesystem::exists(out / (name + view))) << view;
        }
    }
}

// The ids of graph.views or graph.entities, in order.
template <typename Items>
std::string ids_of(const Items& items) {
    std::string ids;
    for (const auto& item : items) ids += (ids.empty() ? "" : " ") + item.id;
    return ids;
}

// The entity of every constraint in order, "dia:" before those of diameter constraints;
// each constraint is "bound_<k>" on exactly one entity.
std::string bindings(const DimensionGraph& graph) {
    std::string out;
    for (std::size_t i = 0; i < graph.constraints.size(); ++i) {
        const DimensionConstraint& c = graph.constraints[i];
        EXPECT_EQ(c.id, "bound_" + std::to_string(i + 1));
        EXPECT_EQ(c.entity_ids.size(), 1u);
        out += (out.empty() ? "" : " ") + std::string(c.type == ConstraintType::diameter ? "dia:" : "") +
               c.entity_ids.front();
    }
    return out;
}

const DimensionEntity& entity_of(const DimensionGraph& graph, const std::string& id) {
    for (const auto& entity : graph.entities) {
        if (entity.id == id) return entity;
    }
    throw std::logic_error("no entity " + id);
}
const CircleGeometry& circle_of(const DimensionGraph& graph, const std::string& id) {
    return std::get<CircleGeometry>(entity_of(graph, id).geometry);
}
const LineGeometry& line_of(const DimensionGraph& graph, const std::string& id) {
    return std::get<LineGeometry>(entity_of(graph, id).geometry);
}

TEST_F(TemplateTest, PlateWithSixteenReadingsHasThreeViews) {
    const DimensionGraph graph = bind_graph(test::plate_drawing());
    EXPECT_EQ(graph.part_class, PartClass::prismatic);
    EXPECT_EQ(ids_of(graph.views), "front top side");
    EXPECT_EQ(ids_of(graph.entities),
              "front_bottom front_right front_top front_left top_bottom top_right top_top top_left side_bottom "
              "side_right side_top side_left front_hole_1 front_hole_2 front_hole_3 front_hole_4");
    EXPECT_EQ(bindings(graph),
              "front_bottom front_left top_left front_right front_top top_bottom top_right top_top side_bottom "
              "side_right side_top side_left dia:front_hole_1 dia:front_hole_2 dia:front_hole_3 dia:front_hole_4");
    // Holes lowest row first, left to right, placed in whole millimetres.
    const std::vector<CircleGeometry> expected = {{{20, 15}, 4}, {{80, 15}, 5}, {{20, 45}, 6}, {{80, 45}, 7}};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(circle_of(graph, "front_hole_" + std::to_string(k + 1)), expected[k]) << k;
    }
    EXPECT_EQ(line_of(graph, "side_right"), (LineGeometry{{20, 0}, {20, 60}}));
}

TEST_F(TemplateTest, PlateWithTwelveOrEightReadingsHasFrontAndTop) {
    PlateLayout layout;
    layout.side_readings = false;
    const DimensionGraph graph = bind_graph(test::plate_drawing(layout));
    EXPECT_EQ(ids_of(graph.views), "front top");
    // Holes come before the top view's edges, bound to readings 4 to 7.
    EXPECT_EQ(ids_of(graph.entities),
              "front_bottom front_right front_top front_left front_hole_1 front_hole_2 front_hole_3 front_hole_4 "
              "top_bottom top_right top_top top_left");
    EXPECT_EQ(bindings(graph),
              "front_bottom front_right front_top front_left dia:front_hole_1 dia:front_hole_2 dia:front_hole_3 "
              "dia:front_hole_4 top_bottom top_right top_top top_left");
    EXPECT_EQ(graph.constraints[4].value, 8.0);
    EXPECT_EQ(graph.constraints[7].value, 14.0);

    layout.holes.clear();
    EXPECT_EQ(bindings(bind_graph(test::plate_drawing(layout))),
              "front_bottom front_right front_top front_left top_bottom top_right top_top top_left");
}

TEST_F(TemplateTest, HolesOfOneRowKeepTheirDiametersOnASkewedPlate) {
    PlateLayout layout;
    // Each row's diameters lie within the raster-scale tolerance of each other, so a swap
    // inside a row would pass every check.
    layout.holes = {{20.0, 15.0, 10.0}, {80.0, 15.0, 11.0}, {20.0, 45.0, 12.0}, {80.0, 45.0, 13.0}};
    Drawing drawing = test::plate_drawing(layout);
    drawing.rotation_deg = 1.5;
    const BindingResult result = bind(drawing);
    ASSERT_TRUE(result.bound_graph.has_value()) << result.binding_errors.front();
    // After straightening, the right hole of a row sits a fraction of a pixel lower than
    // the left one.
    const auto& circles = result.raster.extraction.circles;
    ASSERT_EQ(circles.size(), 4u);
    bool right_lower = false;
    for (const SourceBox& a : circles) {
        for (const SourceBox& b : circles) {
            const double dy = (a.y + a.height * 0.5) - (b.y + b.height * 0.5);
            right_lower = right_lower || (a.x > b.x + 100 && dy > 0 && dy <= 2.0);
        }
    }
    ASSERT_TRUE(right_lower);
    const std::vector<CircleGeometry> expected = {{{20, 15}, 5}, {{80, 15}, 5.5}, {{20, 45}, 6}, {{80, 45}, 6.5}};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(circle_of(*result.bound_graph, "front_hole_" + std::to_string(k + 1)), expected[k]) << k;
    }
}

TEST(SortedCircles, RowsAreChainsOfCentresWithinTwoPixels) {
    RasterExtraction extraction;
    // In each of two rows the right hole lies lower on the page than the left one (by 0.5
    // and 1.9 px); a hole 2.5 px above the lower row is a row of its own.
    extraction.circles = {
        {300, 225.0, 20, 20},  // right, lower row, centre y 235.0
        {100, 224.5, 20, 20},  // left, lower row, centre y 234.5
        {200, 222.0, 20, 20},  // centre y 232.0: 2.5 above 234.5
        {310, 131.9, 20, 20},  // upper row, right, centre y 141.9
        {110, 130.0, 20, 20},  // upper row, left, centre y 140.0
    };
    const std::vector<SourceBox> sorted = sorted_circles(extraction);
    const std::vector<double> xs = {100, 300, 200, 110, 310};
    ASSERT_EQ(sorted.size(), xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) EXPECT_EQ(sorted[i].x, xs[i]) << i;
    // The result does not depend on the input order.
    std::reverse(extraction.circles.begin(), extraction.circles.end());
    EXPECT_EQ(sorted_circles(extraction), sorted);
}

TEST_F(TemplateTest, BracketAndSteppedOutlinesBindTheirEdges) {
    const DimensionGraph bracket = bind_graph(test::bracket_drawing());
    EXPECT_EQ(ids_of(bracket.views), "front top");
    EXPECT_EQ(bindings(bracket),
              "front_bottom front_right_lower front_step front_inner front_top front_left top_bottom top_right "
              "top_top top_left");
    EXPECT_EQ(line_of(bracket, "front_step"), (LineGeometry{{120, 20}, {40, 20}}));
    EXPECT_EQ(line_of(bracket, "front_inner"), (LineGeometry{{40, 20}, {40, 80}}));

    const DimensionGraph stepped = bind_graph(test::stepped_drawing());
    EXPECT_EQ(ids_of(stepped.views), "front top");
    EXPECT_EQ(bindings(stepped),
              "front_bottom front_right_low front_step_low front_right_mid front_step_high front_right_high "
              "front_top front_left top_bottom top_right top_top top_left");
    EXPECT_EQ(line_of(stepped, "front_step_high"), (LineGeometry{{80, 40}, {40, 40}}));
}

TEST_F(TemplateTest, FlangeBindsBoreAndBoltsYUp) {
    const DimensionGraph graph = bind_graph(test::flange_drawing());
    EXPECT_EQ(graph.part_class, PartClass::revolve);
    EXPECT_EQ(ids_of(graph.views), "front side");
    EXPECT_EQ(bindings(graph),
              "dia:outer_circle dia:center_bore dia:bolt_hole_1 dia:bolt_hole_2 dia:bolt_hole_3 dia:bolt_hole_4 "
              "side_bottom side_right side_top side_left");
    EXPECT_EQ(circle_of(graph, "outer_circle"), (CircleGeometry{{0, 0}, 50}));
    EXPECT_EQ(circle_of(graph, "center_bore"), (CircleGeometry{{0, 0}, 15}));
    // Side view centred on the axis.
    EXPECT_EQ(line_of(graph, "side_bottom"), (LineGeometry{{0, -50}, {20, -50}}));

    // An asymmetric pattern keeps its orientation: holes above the centre have y > 0.
    FlangeLayout layout;
    layout.bolts = {{-25.0, 30.0, 12.0}, {25.0, 30.0, 12.0}, {-30.0, -15.0, 12.0}, {30.0, -15.0, 12.0}};
    const DimensionGraph asymmetric = bind_graph(test::flange_drawing(layout));
    std::set<std::pair<double, double>> centres;
    for (int k = 1; k <= 4; ++k) {
        const CircleGeometry& bolt = circle_of(asymmetric, "bolt_hole_" + std::to_string(k));
        centres.emplace(bolt.center.x, bolt.center.y);
        EXPECT_EQ(bolt.radius, 6.0);
    }
    EXPECT_EQ(centres, (std::set<std::pair<double, double>>{{-25, 30}, {25, 30}, {-30, -15}, {30, -15}}));

    // The outer circle alone: five readings.
    FlangeLayout plain;
    plain.bore_mm = 0.0;
    plain.bolts.clear();
    EXPECT_EQ(ids_of(bind_graph(test::flange_drawing(plain)).entities),
              "outer_circle side_bottom side_right side_top side_left");
}

TEST_F(TemplateTest, BoreMustBeConcentricWithinThreePixels) {
    for (const auto& [offset, message] : std::vector<std::pair<Point2, std::string>>{
             {{3.0, 0.0}, ""},
             {{4.0, 0.0}, "second circular entity is not a concentric bore"},
             {{0.0, 4.0}, "second circular entity is not a concentric bore"}}) {
        SCOPED_TRACE(offset.x + offset.y);
        FlangeLayout layout;
        layout.bore_offset_px = offset;
        const BindingResult result = bind(test::flange_drawing(layout));
        ASSERT_GE(result.raster.extraction.circles.size(), 2u);
        const SourceBox& outer = result.raster.extraction.circles[0];
        const SourceBox& bore = result.raster.extraction.circles[1];
        ASSERT_DOUBLE_EQ(std::hypot(bore.x - outer.x + (bore.width - outer.width) * 0.5,
                                    bore.y - outer.y + (bore.height - outer.height) * 0.5),
                         std::hypot(offset.x, offset.y));
        EXPECT_EQ(result.binding_errors.empty() ? "" : result.binding_errors.front(), message);
    }
}

TEST_F(TemplateTest, ChecksRefuseReadingsThatDisagree) {
    PlateLayout front_top;
    front_top.side_readings = false;
    BracketLayout upright_30;  // upright drawn at 30 % of the width, read as 25 %
    upright_30.upright_width_mm = 36.0;
    upright_30.foot_length_mm = 84.0;
    BracketLayout foot_30;  // foot drawn at 30 % of the height, read as 25 %
    foot_30.foot_height_mm = 24.0;
    foot_30.upright_height_mm = 56.0;
    const auto flange_with_bolts = [](std::size_t bolts) {
        FlangeLayout layout;
        layout.bolts.resize(bolts);
        return test::flange_drawing(layout);
    };
    Drawing bracket_with_hole = test::bracket_drawing();
    bracket_with_hole.ring({140.0, 250.0}, 24.0, 2.0);
    PlateLayout no_holes;
    no_holes.holes.clear();
    const Drawing plate = test::plate_drawing();
    const Drawing plate_12 = test::plate_drawing(front_top);
    const Drawing bracket = test::bracket_drawing();
    const Drawing stepped = test::stepped_drawing();
    const Drawing flange = test::flange_drawing();
    struct Case {
        Drawing drawing;
        std::vector<std::pair<std::size_t, double>> values;  // reading index, value read
        std::string message;
    };
    const std::vector<Case> cases = {
        {plate, {{3, 61}}, "front right edge disagrees with overall height"},
        {plate, {{4, 99}}, "front top edge disagrees with overall width"},
        {plate, {{6, 21}}, "top right edge disagrees with thickness"},
        {plate, {{11, 59}}, "side left edge disagrees with overall height"},
        {plate, {{12, 12}}, "hole diameter disagrees with raster scale"},
        {plate,
         {{0, 110}, {4, 110}, {5, 110}, {7, 110}},
         "physical dimensions disagree with the extracted profile aspect"},
        {plate_12, {{2, 101}}, "front top edge disagrees with front bottom edge"},
        {plate_12, {{3, 59}}, "front left edge disagrees with front right edge"},
        {plate_12, {{8, 101}}, "top bottom edge disagrees with front width"},
        {plate_12, {{11, 19}}, "top left edge disagrees with top right edge"},
        {test::plate_drawing(no_holes), {{8, 20}}, "rectangle reading count does not match extracted entities"},
        {bracket, {{2, 80.01}}, "bracket horizontal dimensions do not close"},
        {bracket, {{3, 60.01}}, "bracket vertical dimensions do not close"},
        {bracket,
         {{0, 130}, {2, 90}, {6, 130}, {8, 130}},
         "physical dimensions disagree with the extracted profile aspect"},
        {test::bracket_drawing(upright_30), {{4, 30}, {2, 90}}, "bracket upright position disagrees with dimensions"},
        {test::bracket_drawing(foot_30), {{1, 20}, {3, 60}}, "bracket foot position disagrees with dimensions"},
        {bracket, {{6, 121}}, "bracket top width disagrees with front width"},
        {bracket, {{8, 119}}, "bracket top return disagrees with front width"},
        {bracket, {{9, 21}}, "bracket top thickness edges disagree"},
        {bracket, {{9, 21}, {10, 5}}, "bracket requires ten complete readings"},
        {bracket_with_hole, {}, "bracket outline contains unexpected circles"},
        {stepped, {{2, 40.01}}, "stepped horizontal dimensions do not close"},
        {stepped, {{5, 40.01}}, "stepped vertical dimensions do not close"},
        {stepped, {{6, 50}, {4, 30}}, "stepped top width disagrees with raster topology"},
        {stepped, {{4, 50}, {2, 30}}, "stepped middle position disagrees with dimensions"},
        {stepped, {{1, 25}, {3, 15}}, "stepped low height disagrees with raster topology"},
        {stepped, {{3, 25}, {5, 35}}, "stepped middle height disagrees with dimensions"},
        {stepped, {{8, 121}}, "stepped top projection width disagrees with front width"},
        {stepped, {{10, 121}}, "stepped top projection edges disagree"},
        {stepped, {{11, 21}}, "stepped thickness edges disagree"},
        {flange_with_bolts(1), {}, "circular entity topology is outside the deterministic grammar"},
        {flange_with_bolts(3), {}, "circular entity topology is outside the deterministic grammar"},
        {flange, {{1, 36}}, "circle diameter disagrees with raster scale"},
        {flange, {{7, 101}}, "side right edge disagrees with outer diameter"},
        {flange, {{8, 21}}, "side axial edges disagree"},
        {flange, {{9, 99}}, "side diameter edges disagree"},
    };
    // Only the template runs: the drawing's straight raster is extracted in memory, and its
    // readings, generated in slot order, go to the template in that order.
    const auto template_error = [](const Drawing& drawing, const std::vector<std::pair<std::size_t, double>>& values) {
        std::vector<DimensionReading> readings = drawing.reader_response("d").readings;
        for (const auto& [index, value] : values) {
            if (index == readings.size()) readings.push_back(readings.back());
            readings[index].value = value;
        }
        return test::error_message<std::invalid_argument>(
            [&] { bind_profile_template(extract_raster_entities(drawing.render()), readings); });
    };
    for (const Case& c : cases) EXPECT_EQ(template_error(c.drawing, c.values), c.message);
    // Within tolerance the upright check passes: drawn at 25.5 %, read as 25 %.
    BracketLayout upright_26;
    upright_26.upright_width_mm = 30.6;
    upright_26.foot_length_mm = 89.4;
    EXPECT_EQ(template_error(test::bracket_drawing(upright_26), {{4, 30}, {2, 90}}), test::kNoError);
}

// Branches the raster extraction never reaches with a well-formed kind.
TEST(TemplateDispatch, RefusesWhatTheGrammarDoesNotCover) {
    const auto readings = [](const std::vector<double>& values) {
        std::vector<DimensionReading> out(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) out[i].value = values[i];
        return out;
    };
    RasterExtraction extraction;
    extraction.profile_kind = kProfileNone;
    EXPECT_EQ(test::error_message<std::invalid_argument>(
                  [&] { bind_profile_template(extraction, readings(std::vector<double>(8, 10.0))); }),
              "raster profile is outside the deterministic binding grammar");
    extraction.profile_kind = kProfileStepped;
    EXPECT_EQ(test::error_message<std::invalid_argument>(
                  [&] { bind_profile_template(extraction, readings(std::vector<double>(11, 10.0))); }),
              "stepped outline requires twelve complete readings");
    extraction.profile_kind = kProfileCircular;
    extraction.circles = {SourceBox{0, 0, 30, 30}, SourceBox{10, 10, 10, 10}};
    EXPECT_EQ(test::error_message<std::invalid_argument>(
                  [&] { bind_profile_template(extraction, readings(std::vector<double>(5, 10.0))); }),
              "circular profile reading count does not match extracted entities");

    // Readings that close, on axis lines of the wrong count.
    const std::vector<DimensionReading> stepped = readings({120, 20, 40, 20, 40, 40, 40, 80, 120, 20, 120, 20});
    RasterExtraction outline;
    outline.profile_box = SourceBox{0, 0, 360, 240};
    outline.vertical_axes_x = {0, 120, 240, 360};
    outline.horizontal_axes_y = {0, 120, 240};
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { bind_stepped_template(outline, stepped); }),
              "stepped raster topology is incomplete");
    outline.horizontal_axes_y = {0, 120, 180, 240};
    EXPECT_EQ(test::error_message<std::invalid_argument>([&] { bind_stepped_template(outline, stepped); }),
              test::kNoError);
}

}  // namespace
}  // namespace vesk
