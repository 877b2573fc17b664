// Orthographic front, top and side views of a solid by hidden-line removal, written as
// small self-contained SVG files (visible edges solid and dark, hidden edges grey and
// dashed) whose bytes depend only on the shape.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <TopoDS_Shape.hxx>
#include <gp_Ax2.hxx>

#include "model/dimension_graph.hpp"

namespace vesk {

// A view's axis system: origin (0, 0, 0), viewing direction N and X direction X.
// Projected u runs along X, v along N x X.
struct ViewProjection {
    ViewType view = ViewType::front;
    gp_Ax2 axes;
};

// front: N (0, 0, 1), X (1, 0, 0) -> (x, y); top: N (0, -1, 0), X (1, 0, 0) -> (x, z);
// side: N (-1, 0, 0), X (0, 0, 1) -> (z, y). Section views have no projection
// (std::invalid_argument).
ViewProjection make_view_projection(ViewType view);

struct ViewPoint {
    double u = 0.0;
    double v = 0.0;
};

struct ProjectedPolyline {
    std::vector<ViewPoint> points;
    bool hidden = false;
};

// Projects the shape with hidden-line removal; visible polylines first, then hidden ones.
std::vector<ProjectedPolyline> project_hlr_view(const TopoDS_Shape& shape, const ViewProjection& projection);

// Appends one polyline per edge of a projected (2-D) compound, in explorer order: a line
// gives 2 points, a circle or ellipse 65, any other curve 33.
void sample_projection_edges(const TopoDS_Shape& compound, bool hidden, std::vector<ProjectedPolyline>& polylines);

// Appends a number as the views write it: fixed notation, 9 decimals, independent of the
// C locale.
void append_svg_number(std::string& out, double value);
// Appends ` name="<number>"` with the number written as above.
void append_svg_number_attribute(std::string& out, std::string_view name, double value);

// One view's SVG text (numbers fixed with 9 decimals, locale-independent): the hidden
// polylines, then the visible ones drawn over them, each in the order given.
std::string view_svg_text(ViewType view, const std::vector<ProjectedPolyline>& polylines);

// Writes view_svg_text whole or not at all (see write_output_file).
void write_view_svg(const std::filesystem::path& path, ViewType view,
                    const std::vector<ProjectedPolyline>& polylines);

// Projects and writes the front, top and side views, in that order.
void write_view_svgs(const TopoDS_Shape& shape, const std::map<ViewType, std::filesystem::path>& paths);

}  // namespace vesk
