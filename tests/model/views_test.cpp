#include "model/views.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <locale>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <BRepPrimAPI_MakeBox.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>

#include "model/occt_support.hpp"
#include "model/solid_builder.hpp"
#include "support/expect_error.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;
using vesk::ProjectedPolyline;
using vesk::ViewType;
using vesk::test::read_file;
using vesk::test::TempDir;

using vesk::test::error_message;

namespace {

const bool kRouted = (vesk::route_occt_messages_to_stderr(), true);

// The 100 x 50 plate, 10 thick, with two through-holes, built by the solid builder.
TopoDS_Shape plate_with_two_holes() {
    vesk::DimensionGraph g;
    g.views = {{"vf", ViewType::front}, {"vt", ViewType::top}};
    vesk::test::add_rectangle(g, "f", "vf", 100, 50);
    vesk::test::add_rectangle(g, "t", "vt", 100, 10);
    g.entities.push_back(vesk::test::circle_entity("c1", "vf", 25, 25, 5));
    g.entities.push_back(vesk::test::circle_entity("c2", "vf", 75, 25, 4));
    return vesk::build_m2_solid(g).shape;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The text of attribute name="..." in one line of SVG, or "" when absent.
std::string attribute(const std::string& line, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return "";
    const std::size_t begin = at + key.size();
    return line.substr(begin, line.find('"', begin) - begin);
}

std::map<ViewType, fs::path> view_paths(const fs::path& dir) {
    return {{ViewType::front, dir / "p_front.svg"},
           {ViewType::top, dir / "p_top.svg"},
           {ViewType::side, dir / "p_side.svg"}};
}

TEST(Views, PlateWithTwoHoles) {
    const TempDir dir;
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(dir.path()));

    const std::vector<std::string> front = lines_of(read_file(dir.path() / "p_front.svg"));
    ASSERT_GE(front.size(), 4u);
    EXPECT_EQ(front[0],
              "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 110.000000000 60.000000000\" "
              "data-view=\"front\" data-geometry-width=\"100.000000000\" data-geometry-height=\"50.000000000\">");
    EXPECT_EQ(front[1], "  <rect width=\"100%\" height=\"100%\" fill=\"white\"/>");
    EXPECT_EQ(front.back(), "</svg>");
    // The outline starts at the corner (0, 0), bottom left in the view, one margin in.
    const std::string outline_start =
        "  <polyline fill=\"none\" stroke=\"#111\" stroke-width=\"0.35\" "
        "vector-effect=\"non-scaling-stroke\" points=\"5.000000000,55.000000000 ";
    EXPECT_TRUE(
        std::any_of(front.begin(), front.end(), [&](const std::string& l) { return l.rfind(outline_start, 0) == 0; }));

    const std::vector<std::string> top = lines_of(read_file(dir.path() / "p_top.svg"));
    ASSERT_GE(top.size(), 4u);
    EXPECT_EQ(attribute(top[0], "viewBox"), "0 0 110.000000000 20.000000000");
    EXPECT_EQ(attribute(top[0], "data-view"), "top");
    std::size_t visible = 0;
    std::size_t hidden = 0;
    for (std::size_t i = 2; i + 1 < top.size(); ++i) {
        const std::string& l = top[i];
        if (attribute(l, "stroke") == "#777") {
            EXPECT_EQ(attribute(l, "stroke-dasharray"), "2 1") << l;
            EXPECT_EQ(visible, 0u) << "hidden polylines come first, visible ones drawn over them";
            ++hidden;
        } else {
            EXPECT_EQ(attribute(l, "stroke"), "#111") << l;
            EXPECT_EQ(attribute(l, "stroke-dasharray"), "") << l;
            ++visible;
        }
    }
    EXPECT_GE(visible, 4u);
    EXPECT_GE(hidden, 4u);  // each hole's two silhouette lines and its seam

    for (const auto& [view, path] : view_paths(dir.path())) {
        EXPECT_EQ(std::system(("xmllint --noout '" + path.string() + "'").c_str()), 0) << path;
        const fs::path png = path.string() + ".png";
        EXPECT_EQ(std::system(("rsvg-convert -o '" + png.string() + "' '" + path.string() + "'").c_str()), 0) << path;
        EXPECT_GT(fs::exists(png) ? fs::file_size(png) : 0u, 100u) << png;
    }
}

// Run by SameBytesInAnotherProcessAndOnEightThreads in a fresh process.
TEST(ViewsChild, WriteForParent) {
    const char* out = std::getenv("VESK_VIEWS_CHILD_OUT");
    if (out == nullptr) GTEST_SKIP() << "child mode only";
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(out));
}

// Views made in another process, and on eight threads at once (hidden-line removal runs
// without a lock), equal those made alone.
TEST(Views, SameBytesInAnotherProcessAndOnEightThreads) {
    const TempDir dir;
    const fs::path child_dir = dir.path() / "child";
    fs::create_directories(child_dir);
    ::setenv("VESK_VIEWS_CHILD_OUT", child_dir.c_str(), 1);
    const auto child = vesk::test::run_process("/proc/self/exe", {"--gtest_filter=ViewsChild.WriteForParent"});
    ::unsetenv("VESK_VIEWS_CHILD_OUT");
    ASSERT_EQ(child.exit_code, 0) << child.out;

    // A global locale with a decimal comma must not reach the numbers.
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(dir.path()));
    std::locale::global(previous);

    constexpr int kThreads = 8;
    std::vector<std::string> errors(kThreads);
    std::vector<fs::path> dirs = {child_dir};
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
        dirs.push_back(dir.path() / ("t" + std::to_string(k)));
        fs::create_directories(dirs.back());
        threads.emplace_back([&errors, k, sub = dirs.back()] {
            try {
                for (int n = 0; n < 3; ++n) vesk::write_view_svgs(plate_with_two_holes(), view_paths(sub));
            } catch (const std::exception& e) {
                errors[k] = e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(errors, std::vector<std::string>(kThreads));
    const auto alone = view_paths(dir.path());
    for (const fs::path& other : dirs) {
        for (const auto& [view, path] : view_paths(other)) {
            const std::string bytes = read_file(path);
            EXPECT_FALSE(bytes.empty()) << path;
            EXPECT_TRUE(bytes == read_file(alone.at(view))) << path;
        }
    }
}

TEST(Views, CirclesAndLinesAreSampled) {
    const TopoDS_Shape cylinder = BRepPrimAPI_MakeCylinder(gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(0, 0, 1)), 10.0, 4.0).Shape();
    const auto front = vesk::project_hlr_view(cylinder, vesk::make_view_projection(ViewType::front));
    ASSERT_FALSE(front.empty());
    for (const auto& polyline : front) {  // closed circles
        ASSERT_EQ(polyline.points.size(), 65u);
        EXPECT_NEAR(polyline.points.front().u, polyline.points.back().u, 1e-9);
        EXPECT_NEAR(polyline.points.front().v, polyline.points.back().v, 1e-9);
    }
    // Silhouette lines give 2 points; the end circles, seen edge-on, come back as other
    // curves and give 33.
    const auto top = vesk::project_hlr_view(cylinder, vesk::make_view_projection(ViewType::top));
    std::size_t straight = 0;
    for (const auto& polyline : top) {
        EXPECT_TRUE(polyline.points.size() == 2u || polyline.points.size() == 33u) << polyline.points.size();
        straight += polyline.points.size() == 2u;
    }
    EXPECT_GE(straight, 2u);
}

TEST(Views, Failures) {
    const TempDir dir;
    const auto paths = view_paths(dir.path());
    EXPECT_EQ(error_message<std::invalid_argument>([&] { vesk::write_view_svgs(TopoDS_Shape(), paths); }),
              "Cannot project a null shape");
    auto without_top = paths;
    without_top.erase(ViewType::top);
    EXPECT_EQ(error_message<std::invalid_argument>(
                  [&] { vesk::write_view_svgs(BRepPrimAPI_MakeBox(10, 10, 10).Shape(), without_top); }),
              "Missing SVG output path for 'top' view");
    EXPECT_TRUE(fs::exists(paths.at(ViewType::front))) << "earlier views stay";

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<std::vector<ProjectedPolyline>, ViewType> bad_bounds[] = {
        {{{{{3.0, 0.0}, {3.0, 8.0}}, false}, {{{3.0, 2.0}, {3.0, 5.0}}, true}}, ViewType::top},  // no width
        {{{{{0.0, 1.0}, {8.0, 1.0}}, false}}, ViewType::side},                                 // no height
        {{{{{0.0, 0.0}, {8.0, 8.0}, {nan, 1.0}}, false}}, ViewType::front},
        {{}, ViewType::front},
    };
    for (const auto& [polylines, view] : bad_bounds) {
        EXPECT_EQ(error_message<std::runtime_error>([&] { vesk::write_view_svg(dir.path() / "b.svg", view, polylines); }),
                  "OCCT HLR projection has invalid bounds for " + std::string(vesk::to_string(view)));
    }
    const fs::path unwritable = dir.path() / "no_such_dir" / "v.svg";
    const std::vector<ProjectedPolyline> square = {{{{0.0, 0.0}, {4.0, 4.0}}, false}};
    EXPECT_EQ(error_message<std::runtime_error>([&] { vesk::write_view_svg(unwritable, ViewType::front, square); }),
              "Cannot write SVG file: " + unwritable.string());
    // A device that takes the open but refuses the bytes.
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(error_message<std::runtime_error>([&] { vesk::write_view_svg("/dev/full", ViewType::front, square); }),
                  "Failed while writing SVG file: /dev/full");
    }
}

TEST(Views, HandWrittenPolylinesGiveExactText) {
    // Hidden before visible, each class in the given order; v flipped, the minimum margin of
    // 1 on both axes (the part is under 20 wide), a blank after every vertex.
    const TempDir dir;
    const std::vector<ProjectedPolyline> polylines = {{{{0.0, 0.0}, {10.0, 0.0}}, false},
                                                      {{{2.5, 1.0}, {2.5, 4.0}}, true},
                                                      {{{0.0, 4.0}, {10.0, 4.0}}, false},
                                                      {{{7.5, 1.0}, {7.5, 4.0}}, true}};
    vesk::write_view_svg(dir.path() / "v.svg", ViewType::top, polylines);
    const std::string visible =
        "  <polyline fill=\"none\" stroke=\"#111\" stroke-width=\"0.35\" "
        "vector-effect=\"non-scaling-stroke\" points=\"";
    const std::string hidden =
        "  <polyline fill=\"none\" stroke=\"#777\" stroke-width=\"0.35\" "
        "vector-effect=\"non-scaling-stroke\" stroke-dasharray=\"2 1\" points=\"";
    const std::vector<std::string> expected = {
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 12.000000000 6.000000000\" data-view=\"top\" "
        "data-geometry-width=\"10.000000000\" data-geometry-height=\"4.000000000\">",
        "  <rect width=\"100%\" height=\"100%\" fill=\"white\"/>",
        hidden + "3.500000000,4.000000000 3.500000000,1.000000000 \"/>",
        hidden + "8.500000000,4.000000000 8.500000000,1.000000000 \"/>",
        visible + "1.000000000,5.000000000 11.000000000,5.000000000 \"/>",
        visible + "1.000000000,1.000000000 11.000000000,1.000000000 \"/>",
        "</svg>"};
    std::string text;
    for (const std::string& line : expected) text += line + "\n";
    EXPECT_EQ(read_file(dir.path() / "v.svg"), text);
}

}  // namespace
