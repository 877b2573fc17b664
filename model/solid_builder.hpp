// The solid builder: a prismatic part (front-view outline extruded by the top view's
// thickness, with through-holes) or a revolved flange (outer circle, optional bore,
// flange holes, thickness from the side view), built from the graph's own coordinates;
// and the measurement of a shape (bounds and Z-parallel cylinders).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <TopoDS_Shape.hxx>

#include "model/dimension_graph.hpp"

namespace vesk {

struct ModelHole {
    std::string entity_id;
    double center_x = 0.0;
    double center_y = 0.0;
    double radius = 0.0;
};

struct BuiltModel {
    TopoDS_Shape shape;
    std::string construction;  // "extrude" or "revolve"
    std::vector<ModelHole> holes;
};

struct MeasuredCylinder {
    double x = 0.0;
    double y = 0.0;
    double radius = 0.0;
};

struct ShapeMeasurement {
    double min_x = 0.0;
    double min_y = 0.0;
    double min_z = 0.0;
    double max_x = 0.0;
    double max_y = 0.0;
    double max_z = 0.0;
    std::vector<MeasuredCylinder> cylinders;
};

struct ViewBounds {
    double min_x = 0.0;
    double min_y = 0.0;
    double max_x = 0.0;
    double max_y = 0.0;
};

// How through-holes are cut: all in one Boolean (falling back to one by one when that cut
// is not done or not valid), or one by one from the start, each from the solid that holds
// the earlier ones. Both give the same solid; the second is the reference the tests and
// the benchmark compare against.
enum class HoleCutRoute { together, one_by_one };

// Most holes a part may have. The cut, the views and the STEP read-back of a plate grow
// faster than its hole count (on this machine a whole run of 256 holes takes about 3 s of
// processor time, 512 holes 6 s, 1024 holes 23 s); beyond the limit the builder refuses at
// once, before any OCCT work, with "DimensionGraph has too many holes: <n> (limit <cap>)".
inline constexpr std::size_t kMaxModelHoles = 256;

// Every entry point below translates OCCT exceptions into std::runtime_error.

// Dispatches on the part class. Besides the outline, view and bore rules, both builders
// refuse holes that are not clean through-holes (invalid-argument errors, before any OCCT
// work): a prismatic hole not strictly inside the outline ("Hole '<id>' is not inside the
// prismatic outline"; a circle wholly outside is cut and left to the round-trip check),
// two holes that meet ("Holes '<a>' and '<b>' overlap", "Flange holes ..." on a flange),
// and a flange hole that meets the bore ("Flange hole '<id>' reaches the bore").
BuiltModel build_m2_solid(const DimensionGraph& graph, HoleCutRoute route = HoleCutRoute::together);
BuiltModel build_prismatic_solid(const DimensionGraph& graph, HoleCutRoute route = HoleCutRoute::together);
BuiltModel build_revolved_solid(const DimensionGraph& graph, HoleCutRoute route = HoleCutRoute::together);

// The first view of the type; none -> std::invalid_argument.
const DimensionView& find_view(const DimensionGraph& graph, ViewType type);
// The view's entities in graph order; the pointers refer into graph.
std::vector<const DimensionEntity*> view_entities(const DimensionGraph& graph, const DimensionView& view);
// Lines add both endpoints, circles and arcs their full circle.
ViewBounds view_bounds(const std::vector<const DimensionEntity*>& entities, std::string_view view_name);
// The front view's lines chained into one closed outline; as many vertices as lines.
std::vector<Point2> chain_prismatic_outline(const std::vector<const DimensionEntity*>& front_entities);

// Refuses a null shape, one the B-rep analyser finds invalid, and one without positive
// volume (std::runtime_error naming what was built).
void check_occt_shape(const TopoDS_Shape& shape, std::string_view what);

// Bounds only (cylinders left empty).
ShapeMeasurement compute_shape_bounds(const TopoDS_Shape& shape);
// Bounds plus the distinct Z-parallel cylinders, ordered by y, then x, then radius.
ShapeMeasurement measure_shape(const TopoDS_Shape& shape);

}  // namespace vesk
