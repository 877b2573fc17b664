#include "model/views.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include <BRepAdaptor_Curve.hxx>
#include <GeomAbs_CurveType.hxx>
#include <HLRAlgo_Projector.hxx>
#include <HLRBRep_Algo.hxx>
#include <HLRBRep_HLRToShape.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Edge.hxx>
#include <gp_Dir.hxx>
#include <gp_Pnt.hxx>

#include "model/occt_support.hpp"

#include "model/document_files.hpp"

namespace vesk {
namespace {

constexpr ViewType kViewOrder[] = {ViewType::front, ViewType::top, ViewType::side};

int sample_count(GeomAbs_CurveType type) {
    switch (type) {
        case GeomAbs_Line:
            return 2;
        case GeomAbs_Circle:
        case GeomAbs_Ellipse:
            return 65;
        default:
            return 33;
    }
}

void append_attribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    out += value;
    out += '"';
}

// One polyline line; the v axis is flipped so that drawing-up is SVG-up.
void append_polyline(std::string& text, const ProjectedPolyline& polyline, double min_u, double max_v, double m) {
    text += "  <polyline";
    append_attribute(text, "fill", "none");
    append_attribute(text, "stroke", polyline.hidden ? "#777" : "#111");
    append_attribute(text, "stroke-width", "0.35");
    append_attribute(text, "vector-effect", "non-scaling-stroke");
    if (polyline.hidden) append_attribute(text, "stroke-dasharray", "2 1");
    text += " points=\"";
    for (const ViewPoint& p : polyline.points) {
        append_svg_number(text, p.u - min_u + m);
        text += ',';
        append_svg_number(text, max_v - p.v + m);
        text += ' ';
    }
    text += "\"/>\n";
}

}  // namespace

void append_svg_number(std::string& out, double value) {
    // Large enough for any finite double in fixed notation with 9 decimals.
    std::array<char, 400> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, 9);
    if (result.ec != std::errc()) throw std::runtime_error("Cannot format an SVG number");
    out.append(buffer.data(), result.ptr);
}

void append_svg_number_attribute(std::string& out, std::string_view name, double value) {
    out += ' ';
    out += name;
    out += "=\"";
    append_svg_number(out, value);
    out += '"';
}

ViewProjection make_view_projection(ViewType view) {
    const gp_Pnt origin(0.0, 0.0, 0.0);
    switch (view) {
        case ViewType::front:
            return {view, gp_Ax2(origin, gp_Dir(0.0, 0.0, 1.0), gp_Dir(1.0, 0.0, 0.0))};
        case ViewType::top:
            return {view, gp_Ax2(origin, gp_Dir(0.0, -1.0, 0.0), gp_Dir(1.0, 0.0, 0.0))};
        case ViewType::side:
            return {view, gp_Ax2(origin, gp_Dir(-1.0, 0.0, 0.0), gp_Dir(0.0, 0.0, 1.0))};
        case ViewType::section:
            break;
    }
    throw std::invalid_argument("No orthographic projection for '" + std::string(to_string(view)) + "' view");
}

void sample_projection_edges(const TopoDS_Shape& compound, bool hidden, std::vector<ProjectedPolyline>& polylines) {
    call_occt([&] {
        for (TopExp_Explorer explorer(compound, TopAbs_EDGE); explorer.More(); explorer.Next()) {
            const BRepAdaptor_Curve curve(TopoDS::Edge(explorer.Current()));
            const double first = curve.FirstParameter();
            const double last = curve.LastParameter();
            if (!std::isfinite(first) || !std::isfinite(last) || first > last) {
                throw std::runtime_error("OCCT HLR produced an unbounded projection edge");
            }
            const int n = sample_count(curve.GetType());
            ProjectedPolyline polyline;
            polyline.hidden = hidden;
            polyline.points.reserve(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                const double t = first + static_cast<double>(i) / static_cast<double>(n - 1) * (last - first);
                const gp_Pnt p = curve.Value(t);
                polyline.points.push_back({p.X(), p.Y()});
            }
            polylines.push_back(std::move(polyline));
        }
    });
}

std::vector<ProjectedPolyline> project_hlr_view(const TopoDS_Shape& shape, const ViewProjection& projection) {
    return call_occt([&] {
        Handle(HLRBRep_Algo) algo = new HLRBRep_Algo();
        algo->Add(shape, 0);
        algo->Projector(HLRAlgo_Projector(projection.axes));
        algo->Update();
        algo->Hide();

        HLRBRep_HLRToShape result(algo);
        const TopoDS_Shape compounds[] = {
            result.VCompound(), result.Rg1LineVCompound(), result.RgNLineVCompound(), result.OutLineVCompound(),
            result.HCompound(), result.Rg1LineHCompound(), result.RgNLineHCompound(), result.OutLineHCompound(),
        };
        std::vector<ProjectedPolyline> polylines;
        for (std::size_t i = 0; i < std::size(compounds); ++i) {
            if (compounds[i].IsNull()) continue;
            sample_projection_edges(compounds[i], i >= 4, polylines);
        }
        if (polylines.empty()) throw std::runtime_error("OCCT HLR produced no projection edges");
        return polylines;
    });
}

std::string view_svg_text(ViewType view, const std::vector<ProjectedPolyline>& polylines) {
    const std::string view_name(to_string(view));
    double min_u = std::numeric_limits<double>::infinity();
    double min_v = std::numeric_limits<double>::infinity();
    double max_u = -std::numeric_limits<double>::infinity();
    double max_v = -std::numeric_limits<double>::infinity();
    bool finite = true;
    for (const ProjectedPolyline& polyline : polylines) {
        for (const ViewPoint& p : polyline.points) {
            if (!std::isfinite(p.u) || !std::isfinite(p.v)) finite = false;
            min_u = std::min(min_u, p.u);
            min_v = std::min(min_v, p.v);
            max_u = std::max(max_u, p.u);
            max_v = std::max(max_v, p.v);
        }
    }
    // A NaN vertex would slip through min/max, so it is refused on its own.
    if (!finite || !std::isfinite(min_u) || !std::isfinite(min_v) || !std::isfinite(max_u) ||
        !std::isfinite(max_v) || min_u >= max_u || min_v >= max_v) {
        throw std::runtime_error("OCCT HLR projection has invalid bounds for " + view_name);
    }
    const double w = max_u - min_u;
    const double h = max_v - min_v;
    const double m = std::max(0.05 * std::max(w, h), 1.0);

    std::string text;
    text += "<svg";
    append_attribute(text, "xmlns", "http://www.w3.org/2000/svg");
    std::string view_box = "0 0 ";
    append_svg_number(view_box, w + 2.0 * m);
    view_box += ' ';
    append_svg_number(view_box, h + 2.0 * m);
    append_attribute(text, "viewBox", view_box);
    append_attribute(text, "data-view", view_name);
    append_svg_number_attribute(text, "data-geometry-width", w);
    append_svg_number_attribute(text, "data-geometry-height", h);
    text += ">\n";
    text += "  <rect";
    append_attribute(text, "width", "100%");
    append_attribute(text, "height", "100%");
    append_attribute(text, "fill", "white");
    text += "/>\n";
    // Hidden polylines first, each class in its own order: a visible edge is drawn over a
    // hidden one that lies behind it, so a prism's outline does not come out dashed.
    for (const bool hidden_class : {true, false}) {
        for (const ProjectedPolyline& polyline : polylines) {
            if (polyline.hidden != hidden_class) continue;
            append_polyline(text, polyline, min_u, max_v, m);
        }
    }
    text += "</svg>\n";
    return text;
}

void write_view_svg(const std::filesystem::path& path, ViewType view,
                    const std::vector<ProjectedPolyline>& polylines) {
    write_output_file(path, view_svg_text(view, polylines), "SVG");
}

void write_view_svgs(const TopoDS_Shape& shape, const std::map<ViewType, std::filesystem::path>& paths) {
    if (shape.IsNull()) throw std::invalid_argument("Cannot project a null shape");
    for (ViewType view : kViewOrder) {
        const auto found = paths.find(view);
        if (found == paths.end()) {
            throw std::invalid_argument("Missing SVG output path for '" + std::string(to_string(view)) + "' view");
        }
        write_view_svg(found->second, view, project_hlr_view(shape, make_view_projection(view)));
    }
}

}  // namespace vesk
