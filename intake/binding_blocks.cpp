#include "intake/binding_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace vesk {
namespace {

double box_centre_x(const SourceBox& box) { return box.x + box.width * 0.5; }
double box_centre_y(const SourceBox& box) { return box.y + box.height * 0.5; }

}  // namespace

double round_half_away(double value) { return std::round(value); }

void add_bound_constraint(DimensionGraph& graph, const std::vector<DimensionReading>& readings, std::size_t index,
                          ConstraintType type, std::vector<std::string> entity_ids) {
    DimensionConstraint constraint;
    constraint.id = "bound_" + std::to_string(index + 1);
    constraint.type = type;
    constraint.entity_ids = std::move(entity_ids);
    constraint.value = reading_value(readings, index);
    constraint.confidence = readings[index].confidence;
    constraint.source_bbox = readings[index].source_bbox;
    graph.constraints.push_back(std::move(constraint));
}

DimensionEntity make_line_entity(std::string id, std::string view_id, Point2 start, Point2 end) {
    DimensionEntity entity;
    entity.id = std::move(id);
    entity.type = EntityType::line;
    entity.view_id = std::move(view_id);
    entity.geometry = LineGeometry{start, end};
    return entity;
}

DimensionEntity make_circle_entity(std::string id, std::string view_id, Point2 center, double radius) {
    DimensionEntity entity;
    entity.id = std::move(id);
    entity.type = EntityType::circle;
    entity.view_id = std::move(view_id);
    entity.geometry = CircleGeometry{center, radius};
    return entity;
}

Point2 map_box_centre_to_profile(const SourceBox& box, const SourceBox& profile_box, double width_mm,
                                 double height_mm) {
    const double x = (box_centre_x(box) - profile_box.x) / profile_box.width * width_mm;
    const double y = (profile_box.y + profile_box.height - box_centre_y(box)) / profile_box.height * height_mm;
    return Point2{round_half_away(x), round_half_away(y)};
}

std::vector<SourceBox> sorted_circles(const RasterExtraction& extraction) {
    const std::vector<SourceBox>& circles = extraction.circles;
    std::vector<std::size_t> order(circles.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Lowest on the page first; equal centres keep the extraction's order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return box_centre_y(circles[a]) > box_centre_y(circles[b]);
    });
    // Rows are the chains of centres no more than the tolerance apart: they depend only on
    // the set of centres, not on how the sort arranged equal or near-equal ones.
    std::vector<std::size_t> row_of(circles.size(), 0);
    for (std::size_t i = 1; i < order.size(); ++i) {
        const double gap = box_centre_y(circles[order[i - 1]]) - box_centre_y(circles[order[i]]);
        row_of[order[i]] = row_of[order[i - 1]] + (gap > kHoleRowTolerancePx ? 1 : 0);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (row_of[a] != row_of[b]) return row_of[a] < row_of[b];
        const double ax = box_centre_x(circles[a]);
        const double bx = box_centre_x(circles[b]);
        if (ax != bx) return ax < bx;
        const double ay = box_centre_y(circles[a]);
        const double by = box_centre_y(circles[b]);
        if (ay != by) return ay > by;
        return a < b;
    });
    std::vector<SourceBox> sorted;
    sorted.reserve(order.size());
    for (const std::size_t index : order) sorted.push_back(circles[index]);
    return sorted;
}

void check_equal(double a, double b, const std::string& message) {
    if (!(std::fabs(a - b) <= 1e-6)) throw std::invalid_argument(message);
}

void check_relative(double actual, double expected, double tolerance, const std::string& message) {
    if (!std::isfinite(actual) || !std::isfinite(expected) || !(expected > 0.0) ||
        !(std::fabs(actual - expected) <= expected * tolerance)) {
        throw std::invalid_argument(message);
    }
}

void check_profile_aspect(const SourceBox& profile_box, double width_mm, double height_mm) {
    check_relative(profile_box.width / profile_box.height, width_mm / height_mm, 0.04,
                   "physical dimensions disagree with the extracted profile aspect");
}

void require(bool condition, const std::string& message) {
    if (!condition) throw std::invalid_argument(message);
}

std::size_t reading_count(const std::vector<DimensionReading>& readings) { return readings.size(); }

double reading_value(const std::vector<DimensionReading>& readings, std::size_t index) {
    if (index >= readings.size()) throw std::logic_error("reading index out of range");
    if (!readings[index].value) throw std::logic_error("bound reading has no value");
    return *readings[index].value;
}

}  // namespace vesk
