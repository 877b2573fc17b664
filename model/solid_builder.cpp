#include "model/solid_builder.hpp"
#include "model/solid_builder_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <variant>

#include <BRepAdaptor_Surface.hxx>
#include <BRepAlgoAPI_Cut.hxx>
#include <BRepBndLib.hxx>
#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <BRepCheck_Analyzer.hxx>
#include <BRepGProp.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>
#include <BRepPrimAPI_MakePrism.hxx>
#include <BRepPrimAPI_MakeRevol.hxx>
#include <Bnd_Box.hxx>
#include <GProp_GProps.hxx>
#include <GeomAbs_SurfaceType.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopExp.hxx>
#include <TopTools_IndexedMapOfShape.hxx>
#include <TopTools_ListOfShape.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Face.hxx>
#include <TopoDS_Wire.hxx>
#include <gp_Ax1.hxx>
#include <gp_Ax2.hxx>
#include <gp_Cylinder.hxx>
#include <gp_Dir.hxx>
#include <gp_Pnt.hxx>
#include <gp_Vec.hxx>

#include "model/occt_support.hpp"

namespace vesk {
namespace {

constexpr double kPointTolerance = 1e-9;
constexpr double kMinThickness = 1e-9;
constexpr double kAxisParallelZ = 0.99999999;
constexpr double kCylinderTolerance = 1e-8;
constexpr double kFullTurn = 6.283185307179586;

bool same_point(const Point2& a, const Point2& b) {
    return std::abs(a.x - b.x) <= kPointTolerance && std::abs(a.y - b.y) <= kPointTolerance;
}

// Through-hole tool: from z = -t up to z = 2t, so both faces of the part are pierced.
TopoDS_Shape cut_hole(const TopoDS_Shape& solid, const ModelHole& hole, double thickness) {
    const gp_Ax2 axis(gp_Pnt(hole.center_x, hole.center_y, -thickness), gp_Dir(0.0, 0.0, 1.0));
    const TopoDS_Shape tool = BRepPrimAPI_MakeCylinder(axis, hole.radius, 3.0 * thickness).Shape();
    BRepAlgoAPI_Cut cut(solid, tool);
    if (!cut.IsDone() || cut.Shape().IsNull()) {
        throw std::runtime_error("OCCT failed to cut hole '" + hole.entity_id + "'");
    }
    return cut.Shape();
}

// A cut solid, and whether the B-rep analyser has already passed it.
struct CutSolid {
    TopoDS_Shape shape;
    bool found_valid = false;
};

// Cuts every hole with one Boolean (the solid the one argument, every cylinder a tool),
// which grows with the number of holes instead of its square; when that cut is not done
// or its result fails the validity check, the holes are cut one by one, so a
// failure still names the hole that fails.
CutSolid cut_all_holes(const TopoDS_Shape& solid, const std::vector<ModelHole>& holes, double thickness,
                       HoleCutRoute route) {
    if (holes.empty()) return {solid};
    if (route == HoleCutRoute::together) {
        TopTools_ListOfShape arguments;
        arguments.Append(solid);
        TopTools_ListOfShape tools;
        for (const ModelHole& hole : holes) {
            const gp_Ax2 axis(gp_Pnt(hole.center_x, hole.center_y, -thickness), gp_Dir(0.0, 0.0, 1.0));
            tools.Append(BRepPrimAPI_MakeCylinder(axis, hole.radius, 3.0 * thickness).Shape());
        }
        BRepAlgoAPI_Cut cut;
        cut.SetArguments(arguments);
        cut.SetTools(tools);
        cut.Build();
        if (cut.IsDone() && !cut.HasErrors() && !cut.Shape().IsNull() && BRepCheck_Analyzer(cut.Shape()).IsValid()) {
            return {cut.Shape(), true};
        }
    }
    TopoDS_Shape result = solid;
    for (const ModelHole& hole : holes) result = cut_hole(result, hole, thickness);
    return {result};
}

// The null and volume checks alone, for a shape the analyser has already passed.
void check_occt_volume(const TopoDS_Shape& shape, std::string_view what) {
    call_occt([&] {
        if (shape.IsNull()) throw std::runtime_error("OCCT produced a null " + std::string(what) + " shape");
        GProp_GProps properties;
        BRepGProp::VolumeProperties(shape, properties);
        const double volume = properties.Mass();
        if (!(std::isfinite(volume) && volume > 0.0)) {
            throw std::runtime_error("OCCT produced a " + std::string(what) +
                                     " solid that fails the positive volume check");
        }
    });
}

// check_occt_shape, without analysing again a solid the analyser has passed (the same
// analysis of the same shape gives the same verdict).
void check_cut_solid(const CutSolid& cut, std::string_view what) {
    if (cut.found_valid) check_occt_volume(cut.shape, what);
    else check_occt_shape(cut.shape, what);
}

ModelHole hole_of(const DimensionEntity& entity) {
    const auto& circle = std::get<CircleGeometry>(entity.geometry);
    return ModelHole{entity.id, circle.center.x, circle.center.y, circle.radius};
}

// Distance from p to the segment a-b.
double segment_distance(const Point2& p, const Point2& a, const Point2& b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length_squared = dx * dx + dy * dy;
    double t = length_squared > 0.0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / length_squared : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// Even-odd rule: a ray from p towards +x crosses the outline an odd number of times.
bool inside_outline(const Point2& p, const std::vector<Point2>& outline) {
    bool inside = false;
    for (std::size_t i = 0, j = outline.size() - 1; i < outline.size(); j = i++) {
        const Point2& a = outline[i];
        const Point2& b = outline[j];
        if ((a.y > p.y) != (b.y > p.y) && p.x < a.x + (p.y - a.y) * (b.x - a.x) / (b.y - a.y)) {
            inside = !inside;
        }
    }
    return inside;
}

// A cut that crosses or touches the outline makes a notch, which would be reported as a
// round hole. A circle wholly outside is left as it was: its cut removes nothing and the
// round-trip check refuses it. Returns the holes whose centre lies inside, in graph order.
std::vector<ModelHole> check_holes_inside_outline(const std::vector<ModelHole>& holes,
                                                  const std::vector<Point2>& outline) {
    std::vector<ModelHole> inside;
    for (const ModelHole& hole : holes) {
        const Point2 center{hole.center_x, hole.center_y};
        double clearance = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < outline.size(); ++i) {
            clearance = std::min(clearance, segment_distance(center, outline[i], outline[(i + 1) % outline.size()]));
        }
        if (!(clearance - hole.radius > kPointTolerance)) {
            throw std::invalid_argument("Hole '" + hole.entity_id + "' is not inside the prismatic outline");
        }
        if (inside_outline(center, outline)) inside.push_back(hole);
    }
    return inside;
}

// Two holes must keep material between them: closer than the sum of their radii (or
// touching, within the point tolerance) they would be cut as one slot.
void check_holes_apart(const std::vector<ModelHole>& holes, const std::string& noun) {
    for (std::size_t i = 0; i < holes.size(); ++i) {
        for (std::size_t j = i + 1; j < holes.size(); ++j) {
            const double gap = std::hypot(holes[i].center_x - holes[j].center_x, holes[i].center_y - holes[j].center_y) -
                               holes[i].radius - holes[j].radius;
            if (!(gap > kPointTolerance)) {
                throw std::invalid_argument(noun + " '" + holes[i].entity_id + "' and '" + holes[j].entity_id +
                                            "' overlap");
            }
        }
    }
}

void check_hole_count(std::size_t count) {
    if (count > kMaxModelHoles) {
        throw std::invalid_argument("DimensionGraph has too many holes: " + std::to_string(count) + " (limit " +
                                    std::to_string(kMaxModelHoles) + ")");
    }
}

// The comparison of measured cylinders: y, then x within the merge tolerance, then radius
// exactly. It is not a strict weak ordering, so it only drives a stable insertion sort.
bool cylinder_before(const MeasuredCylinder& a, const MeasuredCylinder& b) {
    if (std::abs(a.y - b.y) > kCylinderTolerance) return a.y < b.y;
    if (std::abs(a.x - b.x) > kCylinderTolerance) return a.x < b.x;
    return a.radius < b.radius;
}

void sort_cylinders(std::vector<MeasuredCylinder>& cylinders) {
    for (std::size_t i = 1; i < cylinders.size(); ++i) {
        const MeasuredCylinder moving = cylinders[i];
        std::size_t j = i;
        while (j > 0 && cylinder_before(moving, cylinders[j - 1])) {
            cylinders[j] = cylinders[j - 1];
            --j;
        }
        cylinders[j] = moving;
    }
}

bool same_cylinder(const MeasuredCylinder& a, const MeasuredCylinder& b) {
    return std::abs(a.x - b.x) <= kCylinderTolerance && std::abs(a.y - b.y) <= kCylinderTolerance &&
           std::abs(a.radius - b.radius) <= kCylinderTolerance;
}

ShapeMeasurement bounds_of(const TopoDS_Shape& shape) {
    Bnd_Box box;
    BRepBndLib::AddOptimal(shape, box, Standard_False, Standard_False);
    if (box.IsVoid() || box.IsOpen()) {
        throw std::runtime_error("OCCT could not determine finite model bounds");
    }
    ShapeMeasurement m;
    box.Get(m.min_x, m.min_y, m.min_z, m.max_x, m.max_y, m.max_z);
    for (double v : {m.min_x, m.min_y, m.min_z, m.max_x, m.max_y, m.max_z}) {
        if (!std::isfinite(v)) throw std::runtime_error("OCCT returned non-finite model bounds");
    }
    return m;
}

BuiltModel prismatic(const DimensionGraph& graph, HoleCutRoute route) {
    const DimensionView& front = find_view(graph, ViewType::front);
    const DimensionView& top = find_view(graph, ViewType::top);
    const auto front_entities = view_entities(graph, front);
    const auto top_entities = view_entities(graph, top);

    BuiltModel model;
    for (const DimensionEntity* entity : front_entities) {
        if (entity->type == EntityType::circle) model.holes.push_back(hole_of(*entity));
    }
    check_hole_count(model.holes.size());
    const std::vector<Point2> outline = chain_prismatic_outline(front_entities);

    const ViewBounds top_bounds = view_bounds(top_entities, "top");
    const double thickness = top_bounds.max_y - top_bounds.min_y;
    if (thickness <= kMinThickness) {
        throw std::invalid_argument("M2 prismatic top view has zero thickness");
    }

    // Only holes whose centre is inside are cut: the cut of a circle wholly outside removes
    // nothing (the round-trip check then refuses the part), and OCCT hung on one at -1e308.
    const std::vector<ModelHole> inside = check_holes_inside_outline(model.holes, outline);
    check_holes_apart(inside, "Holes");

    BRepBuilderAPI_MakePolygon polygon;
    for (const Point2& p : outline) polygon.Add(gp_Pnt(p.x, p.y, 0.0));
    polygon.Close();
    if (!polygon.IsDone()) throw std::runtime_error("OCCT could not build the prismatic outline wire");
    const TopoDS_Wire wire = polygon.Wire();
    BRepBuilderAPI_MakeFace face(wire, Standard_False);
    if (!face.IsDone()) throw std::runtime_error("OCCT could not build the prismatic outline face");

    TopoDS_Shape solid =
        BRepPrimAPI_MakePrism(face.Face(), gp_Vec(0.0, 0.0, thickness), Standard_True, Standard_True).Shape();

    const CutSolid cut = cut_all_holes(solid, inside, thickness, route);

    check_cut_solid(cut, "extruded");
    model.shape = cut.shape;
    model.construction = "extrude";
    return model;
}

BuiltModel revolved(const DimensionGraph& graph, HoleCutRoute route) {
    const DimensionView& front = find_view(graph, ViewType::front);
    const DimensionView& side = find_view(graph, ViewType::side);
    const auto front_entities = view_entities(graph, front);
    const auto side_entities = view_entities(graph, side);

    for (const DimensionEntity* entity : front_entities) {
        if (entity->type != EntityType::circle) {
            throw std::invalid_argument("M2 revolve front view contains unsupported non-circle entity '" +
                                        entity->id + "'");
        }
    }
    if (front_entities.empty()) throw std::invalid_argument("M2 revolve front view requires at least one circle");
    check_hole_count(front_entities.size() - 1);

    std::size_t outer_index = 0;
    for (std::size_t i = 1; i < front_entities.size(); ++i) {
        if (std::get<CircleGeometry>(front_entities[i]->geometry).radius >
            std::get<CircleGeometry>(front_entities[outer_index]->geometry).radius) {
            outer_index = i;
        }
    }
    const auto& outer = std::get<CircleGeometry>(front_entities[outer_index]->geometry);
    const double radius = outer.radius;
    const double cx = outer.center.x;
    const double cy = outer.center.y;

    const ViewBounds side_bounds = view_bounds(side_entities, "side");
    const double thickness = side_bounds.max_x - side_bounds.min_x;
    if (thickness <= kMinThickness) throw std::invalid_argument("M2 revolve side view has zero thickness");
    const double height = side_bounds.max_y - side_bounds.min_y;
    if (std::abs(height - 2.0 * radius) > kPointTolerance) {
        throw std::invalid_argument("Front and side views disagree on revolve outer diameter");
    }

    const DimensionEntity* bore = nullptr;
    std::vector<ModelHole> flange_holes;
    for (std::size_t i = 0; i < front_entities.size(); ++i) {
        if (i == outer_index) continue;
        const DimensionEntity& entity = *front_entities[i];
        const auto& circle = std::get<CircleGeometry>(entity.geometry);
        if (same_point(circle.center, outer.center)) {
            if (bore != nullptr) throw std::invalid_argument("M2 revolve supports one concentric through-bore");
            bore = &entity;
            continue;
        }
        const double offset = std::hypot(circle.center.x - cx, circle.center.y - cy);
        if (!(offset + circle.radius < radius - kPointTolerance)) {
            throw std::invalid_argument("Flange hole '" + entity.id + "' is not inside the outer profile");
        }
        flange_holes.push_back(hole_of(entity));
    }

    const double bore_radius = bore != nullptr ? std::get<CircleGeometry>(bore->geometry).radius : 0.0;
    // A bore as large as the outer circle leaves a zero-volume ring that OCCT still
    // accepts as valid, so it is refused here.
    if (!(radius - bore_radius > kPointTolerance)) {
        throw std::invalid_argument("M2 revolve requires a bore smaller than the outer circle");
    }
    // A flange hole that meets the bore would open into it.
    for (const ModelHole& hole : flange_holes) {
        if (bore != nullptr &&
            !(std::hypot(hole.center_x - cx, hole.center_y - cy) - hole.radius - bore_radius > kPointTolerance)) {
            throw std::invalid_argument("Flange hole '" + hole.entity_id + "' reaches the bore");
        }
    }
    check_holes_apart(flange_holes, "Flange holes");

    BRepBuilderAPI_MakePolygon polygon;
    polygon.Add(gp_Pnt(cx + bore_radius, cy, 0.0));
    polygon.Add(gp_Pnt(cx + radius, cy, 0.0));
    polygon.Add(gp_Pnt(cx + radius, cy, thickness));
    polygon.Add(gp_Pnt(cx + bore_radius, cy, thickness));
    polygon.Close();
    if (!polygon.IsDone()) throw std::runtime_error("OCCT could not build the revolve profile wire");
    const TopoDS_Wire wire = polygon.Wire();
    BRepBuilderAPI_MakeFace face(wire, Standard_False);
    if (!face.IsDone()) throw std::runtime_error("OCCT could not build the revolve profile face");

    BRepPrimAPI_MakeRevol revol(face.Face(), gp_Ax1(gp_Pnt(cx, cy, 0.0), gp_Dir(0.0, 0.0, 1.0)), kFullTurn);
    if (!revol.IsDone()) throw std::runtime_error("OCCT failed to revolve the flange profile");
    TopoDS_Shape solid = revol.Shape();

    const CutSolid cut = cut_all_holes(solid, flange_holes, thickness, route);

    BuiltModel model;
    if (bore != nullptr) model.holes.push_back(hole_of(*bore));
    model.holes.insert(model.holes.end(), flange_holes.begin(), flange_holes.end());
    check_cut_solid(cut, "revolved");
    model.shape = cut.shape;
    model.construction = "revolve";
    return model;
}

}  // namespace

BuiltModel build_m2_solid(const DimensionGraph& graph, HoleCutRoute route) {
    return graph.part_class == PartClass::revolve ? build_revolved_solid(graph, route)
                                                  : build_prismatic_solid(graph, route);
}

BuiltModel build_prismatic_solid(const DimensionGraph& graph, HoleCutRoute route) {
    return call_occt([&] { return prismatic(graph, route); });
}

BuiltModel build_revolved_solid(const DimensionGraph& graph, HoleCutRoute route) {
    return call_occt([&] { return revolved(graph, route); });
}

TopoDS_Shape cut_through_holes(const TopoDS_Shape& solid, const std::vector<ModelHole>& holes, double thickness,
                               HoleCutRoute route) {
    return call_occt([&] { return cut_all_holes(solid, holes, thickness, route).shape; });
}

const DimensionView& find_view(const DimensionGraph& graph, ViewType type) {
    for (const DimensionView& view : graph.views) {
        if (view.type == type) return view;
    }
    throw std::invalid_argument("M2 builder requires a '" + std::string(to_string(type)) + "' view");
}

std::vector<const DimensionEntity*> view_entities(const DimensionGraph& graph, const DimensionView& view) {
    std::vector<const DimensionEntity*> entities;
    for (const DimensionEntity& entity : graph.entities) {
        if (entity.view_id == view.id) entities.push_back(&entity);
    }
    return entities;
}

ViewBounds view_bounds(const std::vector<const DimensionEntity*>& entities, std::string_view view_name) {
    if (entities.empty()) throw std::invalid_argument("M2 " + std::string(view_name) + " view is empty");
    bool first = true;
    ViewBounds b;
    auto add = [&](double x, double y) {
        if (first) {
            b = ViewBounds{x, y, x, y};
            first = false;
            return;
        }
        b.min_x = std::min(b.min_x, x);
        b.min_y = std::min(b.min_y, y);
        b.max_x = std::max(b.max_x, x);
        b.max_y = std::max(b.max_y, y);
    };
    for (const DimensionEntity* entity : entities) {
        if (const auto* line = std::get_if<LineGeometry>(&entity->geometry)) {
            add(line->start.x, line->start.y);
            add(line->end.x, line->end.y);
            continue;
        }
        Point2 center;
        double radius = 0.0;
        if (const auto* arc = std::get_if<ArcGeometry>(&entity->geometry)) {
            center = arc->center;
            radius = arc->radius;
        } else {
            const auto& circle = std::get<CircleGeometry>(entity->geometry);
            center = circle.center;
            radius = circle.radius;
        }
        add(center.x - radius, center.y - radius);
        add(center.x + radius, center.y + radius);
    }
    return b;
}

std::vector<Point2> chain_prismatic_outline(const std::vector<const DimensionEntity*>& front_entities) {
    std::vector<const LineGeometry*> lines;
    for (const DimensionEntity* entity : front_entities) {
        if (entity->type == EntityType::line) lines.push_back(&std::get<LineGeometry>(entity->geometry));
    }
    if (lines.size() < 3) throw std::invalid_argument("M2 prismatic front view needs at least three outline lines");

    std::vector<bool> used(lines.size(), false);
    used[0] = true;
    std::vector<Point2> vertices{lines[0]->start, lines[0]->end};
    Point2 current = lines[0]->end;
    for (std::size_t step = 1; step < lines.size(); ++step) {
        std::size_t found = lines.size();
        bool found_by_end = false;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (used[i]) continue;
            const bool by_start = same_point(lines[i]->start, current);
            const bool by_end = same_point(lines[i]->end, current);
            if (!by_start && !by_end) continue;
            if (found != lines.size()) throw std::invalid_argument("M2 prismatic outline branches at a vertex");
            found = i;
            found_by_end = by_end;
        }
        if (found == lines.size()) throw std::invalid_argument("M2 prismatic outline is not a connected closed chain");
        used[found] = true;
        current = found_by_end ? lines[found]->start : lines[found]->end;
        vertices.push_back(current);
    }
    if (!same_point(vertices.back(), vertices.front())) {
        throw std::invalid_argument("M2 prismatic outline is not closed");
    }
    vertices.pop_back();
    return vertices;
}

void check_occt_shape(const TopoDS_Shape& shape, std::string_view what) {
    call_occt([&] {
        if (shape.IsNull()) throw std::runtime_error("OCCT produced a null " + std::string(what) + " shape");
        BRepCheck_Analyzer analyzer(shape, Standard_True);
        if (!analyzer.IsValid()) {
            throw std::runtime_error("OCCT produced an invalid " + std::string(what) + " B-rep");
        }
        check_occt_volume(shape, what);
    });
}

ShapeMeasurement compute_shape_bounds(const TopoDS_Shape& shape) {
    return call_occt([&] { return bounds_of(shape); });
}

ShapeMeasurement measure_shape(const TopoDS_Shape& shape) {
    return call_occt([&] {
        if (shape.IsNull()) throw std::invalid_argument("Cannot measure a null shape");
        ShapeMeasurement m = bounds_of(shape);
        TopTools_IndexedMapOfShape faces;
        TopExp::MapShapes(shape, TopAbs_FACE, faces);
        for (int i = 1; i <= faces.Extent(); ++i) {
            const BRepAdaptor_Surface surface(TopoDS::Face(faces(i)));
            if (surface.GetType() != GeomAbs_Cylinder) continue;
            const gp_Cylinder cylinder = surface.Cylinder();
            if (std::abs(cylinder.Axis().Direction().Z()) < kAxisParallelZ) continue;
            const gp_Pnt& location = cylinder.Location();
            const MeasuredCylinder found{location.X(), location.Y(), cylinder.Radius()};
            bool listed = false;
            for (const MeasuredCylinder& known : m.cylinders) {
                if (same_cylinder(known, found)) {
                    listed = true;
                    break;
                }
            }
            if (!listed) m.cylinders.push_back(found);
        }
        sort_cylinders(m.cylinders);
        return m;
    });
}

}  // namespace vesk
