// The four shape templates on generated drawings: what each builds, and the checks that
// refuse readings which do not close or do not match the raster.
#include "intake/binding_templates.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "intake/binding.hpp"
#include "model/occt_support.hpp"
#include "support/drawing_generator.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

// Standard output stays free of OCCT's chatter.
const bool kOcctRouted = (route_occt_messages_to_stderr(), true);

using testing::BracketLayout;
using testing::Drawing;
using testing::FlangeLayout;
using testing::PlateLayout;
using testing::SteppedLayout;

class TemplateTest : public ::testing::Test {
protected:
    BindingResult bind(const Drawing& drawing) {
        const std::string stem = std::to_string(++count_);
        const std::filesystem::path input = dir_.path() / ("input_" + stem + ".png");
        drawing.write_png(input);
        return bind_readings_to_raster(input, drawing.declared_dpi, dir_.path() / ("normalized_" + stem + ".png"),
                                       drawing.reader_response("drawing-" + stem));
    }
    DimensionGraph bind_graph(const Drawing& drawing) {
        const BindingResult result = bind(drawing);
        if (!result.bound_graph) {
            ADD_FAILURE() << "not bound: " << result.binding_errors.front();
            return {};
        }
        return *result.bound_graph;
    }
    std::string bind_error(const Drawing& drawing) {
        const BindingResult result = bind(drawing);
        if (result.bound_graph) return "";
        EXPECT_EQ(result.binding_errors.size(), 1u);
        return result.binding_errors.front();
    }

    vesk::test::TempDir dir_{"vesk-templates"};
    int count_ = 0;
};

std::vector<std::string> view_ids(const DimensionGraph& graph) {
    std::vector<std::string> ids;
    for (const auto& view : graph.views) ids.push_back(view.id);
    return ids;
}

std::vector<std::string> entity_ids(const DimensionGraph& graph) {
    std::vector<std::string> ids;
    for (const auto& entity : graph.entities) ids.push_back(entity.id);
    return ids;
}

// "bound_<k>" -> (type, entity) for every constraint, in order.
std::vector<std::pair<std::string, std::string>> bindings(const DimensionGraph& graph) {
    std::vector<std::pair<std::string, std::string>> out;
    for (std::size_t i = 0; i < graph.constraints.size(); ++i) {
        const DimensionConstraint& c = graph.constraints[i];
        EXPECT_EQ(c.id, "bound_" + std::to_string(i + 1));
        EXPECT_EQ(c.entity_ids.size(), 1u);
        out.emplace_back(std::string(to_string(c.type)), c.entity_ids.front());
    }
    return out;
}

const CircleGeometry& circle_of(const DimensionGraph& graph, const std::string& id) {
    for (const auto& entity : graph.entities) {
        if (entity.id == id) return std::get<CircleGeometry>(entity.geometry);
    }
    throw std::logic_error("no entity " + id);
}

using Binding = std::pair<std::string, std::string>;
Binding dist(const char* entity) { return {"distance", entity}; }
Binding diam(const char* entity) { return {"diameter", entity}; }

TEST_F(TemplateTest, PlateWithSixteenReadingsHasThreeViews) {
    const DimensionGraph graph = bind_graph(testing::plate_drawing());
    EXPECT_EQ(graph.part_class, PartClass::prismatic);
    EXPECT_EQ(view_ids(graph), (std::vector<std::string>{"front", "top", "side"}));
    EXPECT_EQ(entity_ids(graph),
              (std::vector<std::string>{"front_bottom", "front_right", "front_top", "front_left", "top_bottom",
                                        "top_right", "top_top", "top_left", "side_bottom", "side_right", "side_top",
                                        "side_left", "front_hole_1", "front_hole_2", "front_hole_3",
                                        "front_hole_4"}));
    EXPECT_EQ(bindings(graph),
              (std::vector<Binding>{dist("front_bottom"), dist("front_left"), dist("top_left"), dist("front_right"),
                                    dist("front_top"), dist("top_bottom"), dist("top_right"), dist("top_top"),
                                    dist("side_bottom"), dist("side_right"), dist("side_top"), dist("side_left"),
                                    diam("front_hole_1"), diam("front_hole_2"), diam("front_hole_3"),
                                    diam("front_hole_4")}));
    // Holes lowest row first, left to right, placed in whole millimetres.
    const std::vector<CircleGeometry> expected = {
        {{20, 15}, 4}, {{80, 15}, 5}, {{20, 45}, 6}, {{80, 45}, 7}};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(circle_of(graph, "front_hole_" + std::to_string(k + 1)), expected[k]) << k;
    }
    EXPECT_EQ(std::get<LineGeometry>(graph.entities[9].geometry), (LineGeometry{{20, 0}, {20, 60}}));
}

TEST_F(TemplateTest, PlateWithTwelveReadingsHasFrontAndTop) {
    PlateLayout layout;
    layout.side_readings = false;
    const DimensionGraph graph = bind_graph(testing::plate_drawing(layout));
    EXPECT_EQ(view_ids(graph), (std::vector<std::string>{"front", "top"}));
    EXPECT_EQ(bindings(graph),
              (std::vector<Binding>{dist("front_bottom"), dist("front_right"), dist("front_top"), dist("front_left"),
                                    diam("front_hole_1"), diam("front_hole_2"), diam("front_hole_3"),
                                    diam("front_hole_4"), dist("top_bottom"), dist("top_right"), dist("top_top"),
                                    dist("top_left")}));
    EXPECT_EQ(graph.constraints[4].value, 8.0);
    EXPECT_EQ(graph.constraints[7].value, 14.0);
    // Holes come before the top view's edges.
    EXPECT_EQ(graph.entities[4].id, "front_hole_1");
    EXPECT_EQ(graph.entities[8].id, "top_bottom");
}

TEST_F(TemplateTest, PlateWithoutHolesNeedsEightReadings) {
    PlateLayout layout;
    layout.holes.clear();
    Drawing drawing = testing::plate_drawing(layout);
    ASSERT_EQ(drawing.readings.size(), 8u);
    const DimensionGraph graph = bind_graph(drawing);
    EXPECT_EQ(graph.entities.size(), 8u);
    EXPECT_EQ(graph.constraints.size(), 8u);

    drawing.add_reading({470.0, 138.0}, 20.0);
    EXPECT_EQ(bind_error(drawing), "rectangle reading count does not match extracted entities");
}

TEST_F(TemplateTest, RectangleChecksRefuseDisagreeingReadings) {
    struct Case {
        bool side_readings;
        std::function<void(Drawing&)> change;
        std::string message;
    };
    const auto set = [](std::size_t i, double v) { return [=](Drawing& d) { d.readings[i].value = v; }; };
    const std::vector<Case> cases = {
        {true, set(3, 61), "front right edge disagrees with overall height"},
        {true, set(4, 99), "front top edge disagrees with overall width"},
        {true, set(6, 21), "top right edge disagrees with thickness"},
        {true, set(11, 59), "side left edge disagrees with overall height"},
        {true, set(12, 12), "hole diameter disagrees with raster scale"},
        {true,
         [](Drawing& d) {
             for (std::size_t i : {0u, 4u, 5u, 7u}) d.readings[i].value = 110.0;
         },
         "physical dimensions disagree with the extracted profile aspect"},
        {false, set(2, 101), "front top edge disagrees with front bottom edge"},
        {false, set(3, 59), "front left edge disagrees with front right edge"},
        {false, set(8, 101), "top bottom edge disagrees with front width"},
        {false, set(11, 19), "top left edge disagrees with top right edge"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        PlateLayout layout;
        layout.side_readings = c.side_readings;
        Drawing drawing = testing::plate_drawing(layout);
        c.change(drawing);
        EXPECT_EQ(bind_error(drawing), c.message);
    }
}

TEST_F(TemplateTest, HolesOfOneRowKeepTheirDiametersOnASkewedPlate) {
    PlateLayout layout;
    // Each row's diameters lie within the raster-scale tolerance of each other, so a swap
    // inside a row would pass every check.
    layout.holes = {{20.0, 15.0, 10.0}, {80.0, 15.0, 11.0}, {20.0, 45.0, 12.0}, {80.0, 45.0, 13.0}};
    Drawing drawing = testing::plate_drawing(layout);
    drawing.rotation_deg = 1.5;
    const BindingResult result = bind(drawing);
    ASSERT_TRUE(result.bound_graph.has_value()) << result.binding_errors.front();
    // After straightening, the right hole of each row sits a fraction of a pixel lower
    // than the left one.
    const auto& circles = result.raster.extraction.circles;
    ASSERT_EQ(circles.size(), 4u);
    const auto centre_y = [](const SourceBox& b) { return b.y + b.height * 0.5; };
    const auto centre_x = [](const SourceBox& b) { return b.x + b.width * 0.5; };
    int rows_with_right_lower = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            const double dy = centre_y(circles[i]) - centre_y(circles[j]);
            if (centre_x(circles[i]) > centre_x(circles[j]) + 100 && dy > 0 && dy <= 2.0) ++rows_with_right_lower;
        }
    }
    ASSERT_GE(rows_with_right_lower, 1);
    const std::vector<CircleGeometry> expected = {
        {{20, 15}, 5}, {{80, 15}, 5.5}, {{20, 45}, 6}, {{80, 45}, 6.5}};
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
    const std::vector<SourceBox> again = sorted_circles(extraction);
    EXPECT_EQ(again, sorted);
}

TEST_F(TemplateTest, BracketBindsItsOutline) {
    const DimensionGraph graph = bind_graph(testing::bracket_drawing());
    EXPECT_EQ(view_ids(graph), (std::vector<std::string>{"front", "top"}));
    EXPECT_EQ(bindings(graph),
              (std::vector<Binding>{dist("front_bottom"), dist("front_right_lower"), dist("front_step"),
                                    dist("front_inner"), dist("front_top"), dist("front_left"), dist("top_bottom"),
                                    dist("top_right"), dist("top_top"), dist("top_left")}));
    EXPECT_EQ(std::get<LineGeometry>(graph.entities[2].geometry), (LineGeometry{{120, 20}, {40, 20}}));
    EXPECT_EQ(std::get<LineGeometry>(graph.entities[3].geometry), (LineGeometry{{40, 20}, {40, 80}}));
}

TEST_F(TemplateTest, BracketChecksRefuseDisagreeingReadings) {
    struct Case {
        BracketLayout layout;
        std::vector<std::pair<std::size_t, double>> values;
        std::string message;
    };
    BracketLayout upright_30;  // upright drawn at 30 % of the width, read as 25 %
    upright_30.upright_width_mm = 36.0;
    upright_30.foot_length_mm = 84.0;
    BracketLayout foot_30;  // foot drawn at 30 % of the height, read as 25 %
    foot_30.foot_height_mm = 24.0;
    foot_30.upright_height_mm = 56.0;
    const std::vector<Case> cases = {
        {{}, {{2, 80.01}}, "bracket horizontal dimensions do not close"},
        {{}, {{3, 60.01}}, "bracket vertical dimensions do not close"},
        {{}, {{0, 130}, {2, 90}, {6, 130}, {8, 130}}, "physical dimensions disagree with the extracted profile aspect"},
        {upright_30, {{4, 30}, {2, 90}}, "bracket upright position disagrees with dimensions"},
        {foot_30, {{1, 20}, {3, 60}}, "bracket foot position disagrees with dimensions"},
        {{}, {{6, 121}}, "bracket top width disagrees with front width"},
        {{}, {{8, 119}}, "bracket top return disagrees with front width"},
        {{}, {{9, 21}}, "bracket top thickness edges disagree"},
        {{}, {{9, 21}, {10, 5}}, "bracket requires ten complete readings"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Drawing drawing = testing::bracket_drawing(c.layout);
        for (const auto& [index, value] : c.values) {
            if (index == drawing.readings.size()) drawing.add_reading({470.0, 158.0}, value);
            drawing.readings[index].value = value;
        }
        EXPECT_EQ(bind_error(drawing), c.message);
    }
    // Within tolerance the upright check passes: drawn at 25.5 %, read as 25 %.
    BracketLayout upright_26;
    upright_26.upright_width_mm = 30.6;
    upright_26.foot_length_mm = 89.4;
    Drawing near = testing::bracket_drawing(upright_26);
    // Printed as whole numbers: a decimal point splits a printed value into two slots.
    near.readings[4].text = "31";
    near.readings[2].text = "89";
    near.readings[4].value = 30.0;
    near.readings[2].value = 90.0;
    EXPECT_EQ(bind_error(near), "");

    Drawing with_hole = testing::bracket_drawing();
    with_hole.ring({140.0, 250.0}, 24.0, 2.0);
    EXPECT_EQ(bind_error(with_hole), "bracket outline contains unexpected circles");
}

TEST_F(TemplateTest, SteppedOutlineBindsAndChecksTopology) {
    const DimensionGraph graph = bind_graph(testing::stepped_drawing());
    EXPECT_EQ(bindings(graph),
              (std::vector<Binding>{dist("front_bottom"), dist("front_right_low"), dist("front_step_low"),
                                    dist("front_right_mid"), dist("front_step_high"), dist("front_right_high"),
                                    dist("front_top"), dist("front_left"), dist("top_bottom"), dist("top_right"),
                                    dist("top_top"), dist("top_left")}));
    EXPECT_EQ(std::get<LineGeometry>(graph.entities[4].geometry), (LineGeometry{{80, 40}, {40, 40}}));

    struct Case {
        std::vector<std::pair<std::size_t, double>> values;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{{2, 40.01}}, "stepped horizontal dimensions do not close"},
        {{{5, 40.01}}, "stepped vertical dimensions do not close"},
        {{{6, 50}, {4, 30}}, "stepped top width disagrees with raster topology"},
        {{{4, 50}, {2, 30}}, "stepped middle position disagrees with dimensions"},
        {{{1, 25}, {3, 15}}, "stepped low height disagrees with raster topology"},
        {{{3, 25}, {5, 35}}, "stepped middle height disagrees with dimensions"},
        {{{8, 121}}, "stepped top projection width disagrees with front width"},
        {{{10, 121}}, "stepped top projection edges disagree"},
        {{{11, 21}}, "stepped thickness edges disagree"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Drawing drawing = testing::stepped_drawing();
        for (const auto& [index, value] : c.values) drawing.readings[index].value = value;
        EXPECT_EQ(bind_error(drawing), c.message);
    }
}

TEST_F(TemplateTest, FlangeBindsBoreAndBoltsYUp) {
    const DimensionGraph graph = bind_graph(testing::flange_drawing());
    EXPECT_EQ(graph.part_class, PartClass::revolve);
    EXPECT_EQ(view_ids(graph), (std::vector<std::string>{"front", "side"}));
    EXPECT_EQ(bindings(graph),
              (std::vector<Binding>{diam("outer_circle"), diam("center_bore"), diam("bolt_hole_1"),
                                    diam("bolt_hole_2"), diam("bolt_hole_3"), diam("bolt_hole_4"),
                                    dist("side_bottom"), dist("side_right"), dist("side_top"), dist("side_left")}));
    EXPECT_EQ(circle_of(graph, "outer_circle"), (CircleGeometry{{0, 0}, 50}));
    EXPECT_EQ(circle_of(graph, "center_bore"), (CircleGeometry{{0, 0}, 15}));
    // Side view centred on the axis.
    EXPECT_EQ(std::get<LineGeometry>(graph.entities[6].geometry), (LineGeometry{{0, -50}, {20, -50}}));
}

TEST_F(TemplateTest, AsymmetricBoltPatternKeepsItsOrientation) {
    FlangeLayout layout;
    layout.bolts = {{-25.0, 30.0, 12.0}, {25.0, 30.0, 12.0}, {-30.0, -15.0, 12.0}, {30.0, -15.0, 12.0}};
    const DimensionGraph graph = bind_graph(testing::flange_drawing(layout));
    std::set<std::pair<double, double>> centres;
    for (int k = 1; k <= 4; ++k) {
        const CircleGeometry& bolt = circle_of(graph, "bolt_hole_" + std::to_string(k));
        centres.emplace(bolt.center.x, bolt.center.y);
        EXPECT_EQ(bolt.radius, 6.0);
    }
    EXPECT_EQ(centres, (std::set<std::pair<double, double>>{{-25, 30}, {25, 30}, {-30, -15}, {30, -15}}));
}

TEST_F(TemplateTest, BoreMustBeConcentricWithinThreePixels) {
    for (const auto& [offset, message] : std::vector<std::pair<Point2, std::string>>{
             {{3.0, 0.0}, ""},
             {{4.0, 0.0}, "second circular entity is not a concentric bore"},
             {{0.0, -3.0}, ""},
             {{0.0, 4.0}, "second circular entity is not a concentric bore"}}) {
        SCOPED_TRACE(offset.x + offset.y);
        FlangeLayout layout;
        layout.bore_offset_px = offset;
        const Drawing drawing = testing::flange_drawing(layout);
        const BindingResult result = bind(drawing);
        ASSERT_GE(result.raster.extraction.circles.size(), 2u);
        const SourceBox& outer = result.raster.extraction.circles[0];
        const SourceBox& bore = result.raster.extraction.circles[1];
        EXPECT_DOUBLE_EQ(std::hypot(bore.x - outer.x + (bore.width - outer.width) * 0.5,
                                    bore.y - outer.y + (bore.height - outer.height) * 0.5),
                         std::hypot(offset.x, offset.y));
        EXPECT_EQ(result.binding_errors.empty() ? "" : result.binding_errors.front(), message);
    }
}

TEST_F(TemplateTest, FlangeChecksRefuseDisagreeingReadings) {
    struct Case {
        std::size_t bolts;
        std::vector<std::pair<std::size_t, double>> values;
        std::string message;
    };
    const std::vector<Case> cases = {
        {1, {}, "circular entity topology is outside the deterministic grammar"},
        {3, {}, "circular entity topology is outside the deterministic grammar"},
        {4, {{1, 36}}, "circle diameter disagrees with raster scale"},
        {4, {{7, 101}}, "side right edge disagrees with outer diameter"},
        {4, {{8, 21}}, "side axial edges disagree"},
        {4, {{9, 99}}, "side diameter edges disagree"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        FlangeLayout layout;
        layout.bolts.resize(c.bolts);
        Drawing drawing = testing::flange_drawing(layout);
        for (const auto& [index, value] : c.values) drawing.readings[index].value = value;
        EXPECT_EQ(bind_error(drawing), c.message);
    }
    // Outer circle alone: five readings.
    FlangeLayout plain;
    plain.bore_mm = 0.0;
    plain.bolts.clear();
    const DimensionGraph graph = bind_graph(testing::flange_drawing(plain));
    EXPECT_EQ(entity_ids(graph),
              (std::vector<std::string>{"outer_circle", "side_bottom", "side_right", "side_top", "side_left"}));
}

// Branches the raster extraction never reaches with a well-formed kind.
TEST(TemplateDispatch, RefusesWhatTheGrammarDoesNotCover) {
    const auto readings = [](std::size_t n) {
        std::vector<DimensionReading> out(n);
        for (auto& r : out) r.value = 10.0;
        return out;
    };
    const auto message_of = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "";
    };
    RasterExtraction extraction;
    extraction.profile_kind = kProfileNone;
    EXPECT_EQ(message_of([&] { bind_profile_template(extraction, readings(8)); }),
              "raster profile is outside the deterministic binding grammar");
    extraction.profile_kind = kProfileStepped;
    EXPECT_EQ(message_of([&] { bind_profile_template(extraction, readings(11)); }),
              "stepped outline requires twelve complete readings");
    extraction.profile_kind = kProfileCircular;
    extraction.circles = {SourceBox{0, 0, 30, 30}, SourceBox{10, 10, 10, 10}};
    EXPECT_EQ(message_of([&] { bind_profile_template(extraction, readings(5)); }),
              "circular profile reading count does not match extracted entities");

    // Readings that close, on axis lines of the wrong count.
    std::vector<DimensionReading> stepped = readings(12);
    const std::vector<double> values = {120, 20, 40, 20, 40, 40, 40, 80, 120, 20, 120, 20};
    for (std::size_t i = 0; i < values.size(); ++i) stepped[i].value = values[i];
    RasterExtraction outline;
    outline.profile_box = SourceBox{0, 0, 360, 240};
    outline.vertical_axes_x = {0, 120, 240, 360};
    outline.horizontal_axes_y = {0, 120, 240};
    EXPECT_EQ(message_of([&] { bind_stepped_template(outline, stepped); }), "stepped raster topology is incomplete");
    outline.horizontal_axes_y = {0, 120, 180, 240};
    EXPECT_EQ(message_of([&] { bind_stepped_template(outline, stepped); }), "");
}

}  // namespace
}  // namespace vesk
