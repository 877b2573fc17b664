#include "intake/binding_templates.hpp"
#include "intake/binding_templates_internal.hpp"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "intake/binding_blocks.hpp"

namespace vesk {
namespace {

constexpr double kProportionTolerance = 0.04;
// Circles are drawn thin, so their measured size is looser than an outline's.
constexpr double kCircleScaleTolerance = 0.15;
// Largest offset, in pixels, of a bore's centre from the outer circle's.
constexpr double kConcentricBorePx = 3.0;

void add_view(DimensionGraph& graph, const std::string& id, ViewType type) {
    push_view(graph.views, DimensionView{id, type});
}

// Lines along a closed path; ids[i] runs from corner i to corner i + 1 (wrapping).
void add_outline(DimensionGraph& graph, const std::string& view_id, const std::vector<Point2>& corners,
                 const std::vector<std::string>& ids) {
    for (std::size_t i = 0; i < corners.size(); ++i) {
        push_entity(graph.entities,
                    make_line_entity(ids[i], view_id, corners[i], corners[(i + 1) % corners.size()]));
    }
}

double box_centre_x(const SourceBox& box) { return box.x + box.width * 0.5; }
double box_centre_y(const SourceBox& box) { return box.y + box.height * 0.5; }

void add_plate_hole(DimensionGraph& graph, const std::vector<DimensionReading>& readings, std::size_t reading,
                    std::size_t hole, const SourceBox& circle, const SourceBox& profile, double width,
                    double height) {
    const double diameter = reading_value(readings, reading);
    check_relative(circle.width / profile.width * width, diameter, kCircleScaleTolerance,
                   "hole diameter disagrees with raster scale");
    const std::string id = "front_hole_" + std::to_string(hole + 1);
    push_entity(graph.entities, make_circle_entity(id, "front", map_box_centre_to_profile(circle, profile, width, height),
                                                   diameter * 0.5));
    add_bound_constraint(graph, readings, reading, ConstraintType::diameter, {id});
}

}  // namespace

std::vector<std::string> add_rectangle_edges(DimensionGraph& graph, const std::string& view_id, double width,
                                             double height, double y0) {
    std::vector<std::string> ids = {view_id + "_bottom", view_id + "_right", view_id + "_top", view_id + "_left"};
    add_outline(graph, view_id, {{0.0, y0}, {width, y0}, {width, y0 + height}, {0.0, y0 + height}}, ids);
    return ids;
}

namespace {

DimensionGraph bind_rectangle_template(const RasterExtraction& extraction,
                                       const std::vector<DimensionReading>& readings) {
    const std::vector<SourceBox> circles = sorted_circles(extraction);
    const std::size_t c = circles.size();
    const std::size_t n = reading_count(readings);
    const bool full = c == 4 && n == 16;
    require(full || n == c + 8, "rectangle reading count does not match extracted entities");
    const auto r = [&](std::size_t i) { return reading_value(readings, i); };
    const SourceBox& profile = extraction.profile_box;

    DimensionGraph graph;
    graph.part_class = PartClass::prismatic;
    const double width = r(0);
    const double height = r(1);
    check_profile_aspect(profile, width, height);
    add_view(graph, "front", ViewType::front);
    add_view(graph, "top", ViewType::top);
    if (full) add_view(graph, "side", ViewType::side);
    const std::vector<std::string> front = add_rectangle_edges(graph, "front", width, height, 0.0);
    const auto distance = [&](std::size_t i, const std::string& id) {
        add_bound_constraint(graph, readings, i, ConstraintType::distance, {id});
    };

    if (full) {
        const double thickness = r(2);
        check_equal(r(3), height, "front right edge disagrees with overall height");
        check_equal(r(4), width, "front top edge disagrees with overall width");
        check_equal(r(5), width, "top bottom edge disagrees with overall width");
        check_equal(r(6), thickness, "top right edge disagrees with thickness");
        check_equal(r(7), width, "top top edge disagrees with overall width");
        check_equal(r(8), thickness, "side bottom edge disagrees with thickness");
        check_equal(r(9), height, "side right edge disagrees with overall height");
        check_equal(r(10), thickness, "side top edge disagrees with thickness");
        check_equal(r(11), height, "side left edge disagrees with overall height");
        const std::vector<std::string> top = add_rectangle_edges(graph, "top", width, thickness, 0.0);
        const std::vector<std::string> side = add_rectangle_edges(graph, "side", thickness, height, 0.0);
        distance(0, front[0]);
        distance(1, front[3]);
        distance(2, top[3]);
        distance(3, front[1]);
        distance(4, front[2]);
        distance(5, top[0]);
        distance(6, top[1]);
        distance(7, top[2]);
        for (std::size_t k = 0; k < 4; ++k) distance(8 + k, side[k]);
        for (std::size_t k = 0; k < 4; ++k) add_plate_hole(graph, readings, 12 + k, k, circles[k], profile, width, height);
        return graph;
    }

    check_equal(r(2), width, "front top edge disagrees with front bottom edge");
    check_equal(r(3), height, "front left edge disagrees with front right edge");
    for (std::size_t k = 0; k < 4; ++k) distance(k, front[k]);
    for (std::size_t k = 0; k < c; ++k) add_plate_hole(graph, readings, 4 + k, k, circles[k], profile, width, height);
    const double thickness = r(c + 5);
    check_equal(r(c + 4), width, "top bottom edge disagrees with front width");
    check_equal(r(c + 6), width, "top top edge disagrees with front width");
    check_equal(r(c + 7), thickness, "top left edge disagrees with top right edge");
    const std::vector<std::string> top = add_rectangle_edges(graph, "top", width, thickness, 0.0);
    for (std::size_t k = 0; k < 4; ++k) distance(c + 4 + k, top[k]);
    return graph;
}

DimensionGraph bind_bracket_template(const RasterExtraction& extraction,
                                     const std::vector<DimensionReading>& readings) {
    require(reading_count(readings) == 10, "bracket requires ten complete readings");
    require(extraction.circles.empty(), "bracket outline contains unexpected circles");
    const auto r = [&](std::size_t i) { return reading_value(readings, i); };
    check_equal(r(4) + r(2), r(0), "bracket horizontal dimensions do not close");
    check_equal(r(3) + r(1), r(5), "bracket vertical dimensions do not close");
    check_profile_aspect(extraction.profile_box, r(0), r(5));
    const std::vector<double>& xs = extraction.vertical_axes_x;
    const std::vector<double>& ys = extraction.horizontal_axes_y;
    require(xs.size() == 3 && ys.size() == 3, "bracket raster topology is incomplete");
    check_relative((xs[1] - xs[0]) / (xs[2] - xs[0]), r(4) / r(0), kProportionTolerance,
                   "bracket upright position disagrees with dimensions");
    check_relative((ys[2] - ys[1]) / (ys[2] - ys[0]), r(1) / r(5), kProportionTolerance,
                   "bracket foot position disagrees with dimensions");

    DimensionGraph graph;
    graph.part_class = PartClass::prismatic;
    add_view(graph, "front", ViewType::front);
    add_view(graph, "top", ViewType::top);
    const std::vector<std::string> front = {"front_bottom", "front_right_lower", "front_step",
                                            "front_inner",  "front_top",         "front_left"};
    add_outline(graph, "front",
                {{0.0, 0.0}, {r(0), 0.0}, {r(0), r(1)}, {r(4), r(1)}, {r(4), r(5)}, {0.0, r(5)}}, front);
    const double thickness = r(7);
    check_equal(r(6), r(0), "bracket top width disagrees with front width");
    check_equal(r(8), r(0), "bracket top return disagrees with front width");
    check_equal(r(9), thickness, "bracket top thickness edges disagree");
    const std::vector<std::string> top = add_rectangle_edges(graph, "top", r(0), thickness, 0.0);
    for (std::size_t i = 0; i < front.size(); ++i) {
        add_bound_constraint(graph, readings, i, ConstraintType::distance, {front[i]});
    }
    for (std::size_t i = 0; i < top.size(); ++i) {
        add_bound_constraint(graph, readings, 6 + i, ConstraintType::distance, {top[i]});
    }
    return graph;
}

}  // namespace

DimensionGraph bind_stepped_template(const RasterExtraction& extraction,
                                     const std::vector<DimensionReading>& readings) {
    require(reading_count(readings) == 12, "stepped outline requires twelve complete readings");
    require(extraction.circles.empty(), "stepped outline contains unexpected circles");
    const auto r = [&](std::size_t i) { return reading_value(readings, i); };
    check_equal(r(4) + r(2) + r(6), r(0), "stepped horizontal dimensions do not close");
    require(std::fabs(r(3) + r(1) + r(5) - r(7)) <= 1e-6, "stepped vertical dimensions do not close");
    const SourceBox& profile = extraction.profile_box;
    check_relative(profile.width / profile.height, r(0) / r(7), kProportionTolerance,
                   "physical dimensions disagree with the extracted profile aspect");
    const std::vector<double>& xs = extraction.vertical_axes_x;
    const std::vector<double>& ys = extraction.horizontal_axes_y;
    require(xs.size() == 4 && ys.size() == 4, "stepped raster topology is incomplete");
    const double span_x = xs[3] - xs[0];
    const double span_y = ys[3] - ys[0];
    check_relative((xs[1] - xs[0]) / span_x, r(6) / r(0), kProportionTolerance,
                   "stepped top width disagrees with raster topology");
    check_relative((xs[2] - xs[0]) / span_x, (r(6) + r(4)) / r(0), kProportionTolerance,
                   "stepped middle position disagrees with dimensions");
    check_relative((ys[3] - ys[2]) / span_y, r(1) / r(7), kProportionTolerance,
                   "stepped low height disagrees with raster topology");
    check_relative((ys[3] - ys[1]) / span_y, (r(3) + r(1)) / r(7), kProportionTolerance,
                   "stepped middle height disagrees with dimensions");

    DimensionGraph graph;
    graph.part_class = PartClass::prismatic;
    add_view(graph, "front", ViewType::front);
    add_view(graph, "top", ViewType::top);
    const std::vector<std::string> front = {"front_bottom",    "front_right_low",  "front_step_low", "front_right_mid",
                                            "front_step_high", "front_right_high", "front_top",      "front_left"};
    add_outline(graph, "front",
                {{0.0, 0.0},
                 {r(0), 0.0},
                 {r(0), r(1)},
                 {r(6) + r(4), r(1)},
                 {r(6) + r(4), r(1) + r(3)},
                 {r(6), r(1) + r(3)},
                 {r(6), r(7)},
                 {0.0, r(7)}},
                front);
    const double thickness = r(9);
    check_equal(r(8), r(0), "stepped top projection width disagrees with front width");
    check_equal(r(10), r(0), "stepped top projection edges disagree");
    check_equal(r(11), thickness, "stepped thickness edges disagree");
    const std::vector<std::string> top = add_rectangle_edges(graph, "top", r(0), thickness, 0.0);
    for (std::size_t i = 0; i < front.size(); ++i) {
        add_bound_constraint(graph, readings, i, ConstraintType::distance, {front[i]});
    }
    for (std::size_t i = 0; i < top.size(); ++i) {
        add_bound_constraint(graph, readings, 8 + i, ConstraintType::distance, {top[i]});
    }
    return graph;
}

namespace {

DimensionGraph bind_circular_template(const RasterExtraction& extraction,
                                      const std::vector<DimensionReading>& readings) {
    const std::vector<SourceBox>& circles = extraction.circles;
    const std::size_t n = circles.size();
    require(n == 1 || n == 2 || n == 6, "circular entity topology is outside the deterministic grammar");
    require(reading_count(readings) == n + 4, "circular profile reading count does not match extracted entities");
    const auto r = [&](std::size_t i) { return reading_value(readings, i); };

    DimensionGraph graph;
    graph.part_class = PartClass::revolve;
    add_view(graph, "front", ViewType::front);
    add_view(graph, "side", ViewType::side);
    const double diameter = r(0);
    const SourceBox& outer = circles[0];
    std::vector<std::string> circle_ids;
    for (std::size_t i = 0; i < n; ++i) {
        const SourceBox& circle = circles[i];
        const double d = r(i);
        check_relative(circle.width / outer.width * diameter, d, kCircleScaleTolerance,
                       "circle diameter disagrees with raster scale");
        std::string id;
        Point2 centre{0.0, 0.0};
        if (i == 0) {
            id = "outer_circle";
        } else if (i == 1) {
            const double offset = std::hypot(box_centre_x(circle) - box_centre_x(outer),
                                             box_centre_y(circle) - box_centre_y(outer));
            require(offset <= kConcentricBorePx, "second circular entity is not a concentric bore");
            id = "center_bore";
        } else {
            id = "bolt_hole_" + std::to_string(i - 1);
            // The view frame is y-up like every other template: image rows grow downward.
            centre.x = round_half_away((box_centre_x(circle) - box_centre_x(outer)) / outer.width * diameter);
            centre.y = round_half_away((box_centre_y(outer) - box_centre_y(circle)) / outer.height * diameter);
        }
        push_entity(graph.entities, make_circle_entity(id, "front", centre, d * 0.5));
        circle_ids.push_back(std::move(id));
    }
    const double length = r(n);
    check_equal(r(n + 1), diameter, "side right edge disagrees with outer diameter");
    check_equal(r(n + 2), length, "side axial edges disagree");
    check_equal(r(n + 3), diameter, "side diameter edges disagree");
    const std::vector<std::string> side = add_rectangle_edges(graph, "side", length, diameter, -diameter * 0.5);
    for (std::size_t i = 0; i < n; ++i) {
        add_bound_constraint(graph, readings, i, ConstraintType::diameter, {circle_ids[i]});
    }
    for (std::size_t k = 0; k < side.size(); ++k) {
        add_bound_constraint(graph, readings, n + k, ConstraintType::distance, {side[k]});
    }
    return graph;
}

}  // namespace

DimensionGraph bind_profile_template(const RasterExtraction& extraction,
                                     const std::vector<DimensionReading>& readings) {
    switch (extraction.profile_kind) {
    case kProfileRectangle:
        return bind_rectangle_template(extraction, readings);
    case kProfileBracket:
        return bind_bracket_template(extraction, readings);
    case kProfileStepped:
        return bind_stepped_template(extraction, readings);
    case kProfileCircular:
        return bind_circular_template(extraction, readings);
    default:
        throw std::invalid_argument("raster profile is outside the deterministic binding grammar");
    }
}

}  // namespace vesk
