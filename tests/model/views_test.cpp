#include "model/views.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace fs = std::filesystem;

namespace {

const bool kRouted = (vesk::route_occt_messages_to_stderr(), true);

using vesk::test::add_rectangle;

// The 100 x 50 plate, 10 thick, with two through-holes, built by the solid builder.
TopoDS_Shape plate_with_two_holes() {
    vesk::DimensionGraph g;
    g.views = {{"vf", vesk::ViewType::front}, {"vt", vesk::ViewType::top}};
    add_rectangle(g, "f", "vf", 100, 50);
    add_rectangle(g, "t", "vt", 100, 10);
    g.entities.push_back({"c1", vesk::EntityType::circle, "vf", vesk::CircleGeometry{{25, 25}, 5}});
    g.entities.push_back({"c2", vesk::EntityType::circle, "vf", vesk::CircleGeometry{{75, 25}, 4}});
    return vesk::build_m2_solid(g).shape;
}

using vesk::test::read_file;

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

std::size_t vertex_count(const std::string& points) {
    std::size_t n = 0;
    for (char c : points) n += c == ' ' ? 1 : 0;
    return n;
}

std::map<vesk::ViewType, fs::path> view_paths(const fs::path& dir) {
    return {{vesk::ViewType::front, dir / "p_front.svg"},
            {vesk::ViewType::top, dir / "p_top.svg"},
            {vesk::ViewType::side, dir / "p_side.svg"}};
}

class Views : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(::testing::TempDir()) / (std::string("vesk_views_") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }
    fs::path dir_;
};

template <typename Error>
std::string message_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

// Run by SameBytesInAnotherProcess in a fresh process.
TEST(ViewsChild, WriteForParent) {
    const char* out = std::getenv("VESK_VIEWS_CHILD_OUT");
    if (out == nullptr) GTEST_SKIP() << "runs only as the child of SameBytesInAnotherProcess";
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(out));
}

TEST_F(Views, FrontViewOfThePlate) {
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(dir_));
    const std::vector<std::string> lines = lines_of(read_file(dir_ / "p_front.svg"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 110.000000000 60.000000000\" "
              "data-view=\"front\" data-geometry-width=\"100.000000000\" data-geometry-height=\"50.000000000\">");
    EXPECT_EQ(lines[1], "  <rect width=\"100%\" height=\"100%\" fill=\"white\"/>");
    EXPECT_EQ(lines.back(), "</svg>");
    // The outline starts at the corner (0, 0), bottom left in the view; the corner (0, 50)
    // is the top left, exactly one margin in from the view's corner.
    EXPECT_EQ(lines[2].rfind("  <polyline fill=\"none\" stroke=\"#111\" stroke-width=\"0.35\" "
                             "vector-effect=\"non-scaling-stroke\" points=\"5.000000000,55.000000000 ",
                             0),
              0u)
        << lines[2];
    std::size_t top_left = 0;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        const std::string points = " " + attribute(lines[i], "points");
        top_left += points.find(" 5.000000000,5.000000000 ") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(top_left, 2u) << "both outline edges at (0, 50) end in the view's top-left corner";
    EXPECT_EQ(lines[2].substr(lines[2].size() - 4), " \"/>");
}

TEST_F(Views, TopViewDashesTheHiddenHoles) {
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(dir_));
    const std::vector<std::string> lines = lines_of(read_file(dir_ / "p_top.svg"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(attribute(lines[0], "viewBox"), "0 0 110.000000000 20.000000000");
    EXPECT_EQ(attribute(lines[0], "data-view"), "top");
    std::size_t visible = 0;
    std::size_t hidden = 0;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        const std::string& l = lines[i];
        const std::string dash = attribute(l, "stroke-dasharray");
        if (attribute(l, "stroke") == "#777") {
            EXPECT_EQ(dash, "2 1") << l;
            EXPECT_LT(l.find("stroke-dasharray"), l.find("points")) << l;
            EXPECT_GE(vertex_count(attribute(l, "points")), 2u) << l;
            ++hidden;
        } else {
            EXPECT_EQ(attribute(l, "stroke"), "#111") << l;
            EXPECT_EQ(dash, "") << l;
            EXPECT_EQ(hidden, 0u) << "visible polylines come first";
            ++visible;
        }
    }
    EXPECT_GE(visible, 4u);
    // Each hole shows its two silhouette lines and the seam of its cylinder, hidden.
    EXPECT_GE(hidden, 4u);
}

TEST_F(Views, FilesAreValidXmlAndRender) {
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(dir_));
    for (const auto& [view, path] : view_paths(dir_)) {
        const std::string lint = "xmllint --noout '" + path.string() + "'";
        EXPECT_EQ(std::system(lint.c_str()), 0) << path;
        const fs::path png = path.string() + ".png";
        const std::string render = "rsvg-convert -o '" + png.string() + "' '" + path.string() + "'";
        EXPECT_EQ(std::system(render.c_str()), 0) << path;
        EXPECT_GT(fs::exists(png) ? fs::file_size(png) : 0u, 100u) << png;
    }
}

TEST_F(Views, SameBytesInAnotherProcess) {
    const fs::path child_dir = dir_ / "child";
    fs::create_directories(child_dir);
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string command = "VESK_VIEWS_CHILD_OUT='" + child_dir.string() + "' '" + self.string() +
                                "' --gtest_filter=ViewsChild.WriteForParent >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);

    // A global locale with a decimal comma must not reach the numbers.
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
    vesk::write_view_svgs(plate_with_two_holes(), view_paths(dir_));
    std::locale::global(previous);

    const auto here = view_paths(dir_);
    for (const auto& [view, path] : view_paths(child_dir)) {
        const std::string child = read_file(path);
        EXPECT_FALSE(child.empty()) << path;
        EXPECT_TRUE(child == read_file(here.at(view))) << path;
    }
}

// Hidden-line removal runs without a lock: views made on eight threads at once equal
// those made alone.
TEST_F(Views, ConcurrentViewsMatchSingleThreaded) {
    const TopoDS_Shape shape = plate_with_two_holes();
    vesk::write_view_svgs(shape, view_paths(dir_));
    constexpr int kThreads = 8;
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
        const fs::path sub = dir_ / ("t" + std::to_string(k));
        fs::create_directories(sub);
        threads.emplace_back([&, k, sub] {
            try {
                for (int n = 0; n < 3; ++n) vesk::write_view_svgs(plate_with_two_holes(), view_paths(sub));
            } catch (const std::exception& e) {
                errors[static_cast<std::size_t>(k)] = e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const auto alone = view_paths(dir_);
    for (int k = 0; k < kThreads; ++k) {
        EXPECT_EQ(errors[static_cast<std::size_t>(k)], "");
        for (const auto& [view, path] : view_paths(dir_ / ("t" + std::to_string(k)))) {
            EXPECT_TRUE(read_file(path) == read_file(alone.at(view))) << path;
        }
    }
}

TEST_F(Views, CirclesAndLinesAreSampled) {
    const TopoDS_Shape cylinder =
        BRepPrimAPI_MakeCylinder(gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(0, 0, 1)), 10.0, 4.0).Shape();
    const auto front = vesk::project_hlr_view(cylinder, vesk::make_view_projection(vesk::ViewType::front));
    bool saw_circle = false;
    for (const auto& polyline : front) {
        ASSERT_EQ(polyline.points.size(), 65u);
        EXPECT_NEAR(polyline.points.front().u, polyline.points.back().u, 1e-9);
        EXPECT_NEAR(polyline.points.front().v, polyline.points.back().v, 1e-9);
        saw_circle = true;
    }
    EXPECT_TRUE(saw_circle);
    const auto top = vesk::project_hlr_view(cylinder, vesk::make_view_projection(vesk::ViewType::top));
    ASSERT_FALSE(top.empty());
    // Silhouette lines give 2 points; the end circles, seen edge-on, come back as other
    // curves and give 33.
    std::size_t straight = 0;
    for (const auto& polyline : top) {
        EXPECT_TRUE(polyline.points.size() == 2u || polyline.points.size() == 33u) << polyline.points.size();
        straight += polyline.points.size() == 2u ? 1 : 0;
    }
    EXPECT_GE(straight, 2u);
}

TEST_F(Views, Failures) {
    const auto paths = view_paths(dir_);
    EXPECT_EQ(message_of<std::invalid_argument>([&] { vesk::write_view_svgs(TopoDS_Shape(), paths); }),
              "Cannot project a null shape");

    auto without_top = paths;
    without_top.erase(vesk::ViewType::top);
    EXPECT_EQ(message_of<std::invalid_argument>(
                  [&] { vesk::write_view_svgs(BRepPrimAPI_MakeBox(10, 10, 10).Shape(), without_top); }),
              "Missing SVG output path for 'top' view");
    EXPECT_TRUE(fs::exists(paths.at(vesk::ViewType::front))) << "earlier views stay";

    using vesk::ProjectedPolyline;
    const std::vector<ProjectedPolyline> flat = {{{{3.0, 0.0}, {3.0, 8.0}}, false}, {{{3.0, 2.0}, {3.0, 5.0}}, true}};
    const std::vector<ProjectedPolyline> thin = {{{{0.0, 1.0}, {8.0, 1.0}}, false}};
    const std::vector<ProjectedPolyline> nan = {
        {{{0.0, 0.0}, {8.0, 8.0}, {std::numeric_limits<double>::quiet_NaN(), 1.0}}, false}};
    const struct {
        const std::vector<ProjectedPolyline>* polylines;
        vesk::ViewType view;
        const char* message;
    } bad_bounds[] = {
        {&flat, vesk::ViewType::top, "OCCT HLR projection has invalid bounds for top"},
        {&thin, vesk::ViewType::side, "OCCT HLR projection has invalid bounds for side"},
        {&nan, vesk::ViewType::front, "OCCT HLR projection has invalid bounds for front"},
    };
    for (const auto& c : bad_bounds) {
        EXPECT_EQ(message_of<std::runtime_error>([&] { vesk::write_view_svg(dir_ / "bad.svg", c.view, *c.polylines); }),
                  c.message);
    }
    const std::vector<ProjectedPolyline> none;
    EXPECT_EQ(message_of<std::runtime_error>([&] { vesk::write_view_svg(dir_ / "bad.svg", vesk::ViewType::front, none); }),
              "OCCT HLR projection has invalid bounds for front");

    const fs::path unwritable = dir_ / "no_such_dir" / "v.svg";
    const std::vector<ProjectedPolyline> square = {{{{0.0, 0.0}, {4.0, 4.0}}, false}};
    EXPECT_EQ(message_of<std::runtime_error>([&] { vesk::write_view_svg(unwritable, vesk::ViewType::front, square); }),
              "Cannot write SVG file: " + unwritable.string());
    // A device that takes the open but refuses the bytes.
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(message_of<std::runtime_error>(
                      [&] { vesk::write_view_svg("/dev/full", vesk::ViewType::front, square); }),
                  "Failed while writing SVG file: /dev/full");
    }
}

TEST_F(Views, HandWrittenPolylinesGiveExactText) {
    // Hidden after visible, v flipped, the minimum margin of 1 on both axes (the part is
    // under 20 wide), a blank after every vertex.
    const std::vector<vesk::ProjectedPolyline> polylines = {
        {{{0.0, 0.0}, {10.0, 0.0}}, false},
        {{{2.5, 1.0}, {2.5, 4.0}}, true},
    };
    vesk::write_view_svg(dir_ / "v.svg", vesk::ViewType::top, polylines);
    EXPECT_EQ(read_file(dir_ / "v.svg"),
              "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 12.000000000 6.000000000\" data-view=\"top\" "
              "data-geometry-width=\"10.000000000\" data-geometry-height=\"4.000000000\">\n"
              "  <rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
              "  <polyline fill=\"none\" stroke=\"#111\" stroke-width=\"0.35\" vector-effect=\"non-scaling-stroke\" "
              "points=\"1.000000000,5.000000000 11.000000000,5.000000000 \"/>\n"
              "  <polyline fill=\"none\" stroke=\"#777\" stroke-width=\"0.35\" vector-effect=\"non-scaling-stroke\" "
              "stroke-dasharray=\"2 1\" points=\"3.500000000,4.000000000 3.500000000,1.000000000 \"/>\n"
              "</svg>\n");
}

}  // namespace
