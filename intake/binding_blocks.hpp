// The building blocks the shape templates share with the binding: constraints from
// readings, entities, box-to-profile mapping, hole ordering and the checks. A header of
// their own, so that the binding and the templates each include it and not each other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "intake/raster_intake.hpp"
#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// Constraint "bound_<i + 1>" from reading i: its value, confidence and (input) box.
void add_bound_constraint(DimensionGraph& graph, const std::vector<DimensionReading>& readings, std::size_t index,
                          ConstraintType type, std::vector<std::string> entity_ids);
DimensionEntity make_line_entity(std::string id, std::string view_id, Point2 start, Point2 end);
DimensionEntity make_circle_entity(std::string id, std::string view_id, Point2 center, double radius);

// A box centre in pixels as whole millimetres in the profile's frame: origin at the
// profile's lower-left corner, y upward.
Point2 map_box_centre_to_profile(const SourceBox& box, const SourceBox& profile_box, double width_mm,
                                 double height_mm);

// Centres whose y lie within this many pixels of each other form one row of holes.
inline constexpr double kHoleRowTolerancePx = 2.0;

// The extraction's circles lowest row on the page first, each row left to right. A row
// is a chain of centres whose y differ by at most kHoleRowTolerancePx, so two holes of
// one row on a straightened drawing cannot trade places over a fraction of a pixel.
std::vector<SourceBox> sorted_circles(const RasterExtraction& extraction);

// Each throws std::invalid_argument(message) when its check fails.
void check_equal(double a, double b, const std::string& message);
void check_relative(double actual, double expected, double tolerance, const std::string& message);
void check_profile_aspect(const SourceBox& profile_box, double width_mm, double height_mm);
void require(bool condition, const std::string& message);

std::size_t reading_count(const std::vector<DimensionReading>& readings);
double reading_value(const std::vector<DimensionReading>& readings, std::size_t index);

// Rounds half away from zero.
double round_half_away(double value);

}  // namespace vesk
