#include "model/solid_builder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <Message.hxx>
#include <Message_Messenger.hxx>
#include <Standard_ConstructionError.hxx>
#include <TopoDS_Shape.hxx>
#include <gp_Pln.hxx>
#include <unistd.h>

#include "model/occt_support.hpp"
#include "support/graph_builders.hpp"

namespace vesk {
namespace {

DimensionEntity line(std::string id, std::string view, double x1, double y1, double x2, double y2) {
    return test::line_entity(std::move(id), std::move(view), x1, y1, x2, y2);
}

DimensionEntity circle(std::string id, std::string view, double cx, double cy, double r) {
    return test::circle_entity(std::move(id), std::move(view), cx, cy, r);
}

using test::add_rectangle;

// 100 x 50 outline, thickness from a 100 x t top view.
DimensionGraph plate(double thickness, const std::vector<DimensionEntity>& holes) {
    DimensionGraph g;
    g.part_class = PartClass::prismatic;
    g.views = {{"f", ViewType::front}, {"t", ViewType::top}};
    add_rectangle(g, "l", "f", 100.0, 50.0);
    g.entities.insert(g.entities.end(), holes.begin(), holes.end());
    add_rectangle(g, "t", "t", 100.0, thickness);
    return g;
}

// Outer circle of radius r at (0, 0); side view thickness x 2r.
DimensionGraph flange(double r, double thickness, const std::vector<DimensionEntity>& inner) {
    DimensionGraph g;
    g.part_class = PartClass::revolve;
    g.views = {{"f", ViewType::front}, {"s", ViewType::side}};
    g.entities = inner;
    g.entities.push_back(circle("outer", "f", 0.0, 0.0, r));
    add_rectangle(g, "s", "s", thickness, 2.0 * r, 0.0, -r);
    return g;
}

template <typename Fn>
std::string error_of(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

// Exact bit patterns of every measured value, for bit-for-bit comparisons.
std::string fingerprint(const ShapeMeasurement& m) {
    std::ostringstream out;
    auto bits = [&](double v) {
        std::uint64_t u = 0;
        std::memcpy(&u, &v, sizeof u);
        out << std::hex << u << ' ';
    };
    for (double v : {m.min_x, m.min_y, m.min_z, m.max_x, m.max_y, m.max_z}) bits(v);
    for (const MeasuredCylinder& c : m.cylinders) {
        bits(c.x);
        bits(c.y);
        bits(c.radius);
    }
    return out.str();
}

std::vector<DimensionGraph> determinism_graphs() {
    std::vector<DimensionEntity> holes;
    for (int i = 0; i < 8; ++i) holes.push_back(circle("h" + std::to_string(i), "f", 8.0 + 11.3 * i, 12.5 + 3.1 * (i % 4), 2.7));
    std::vector<DimensionEntity> inner{circle("bore", "f", 0.0, 0.0, 12.5)};
    for (int i = 0; i < 6; ++i) {
        const double a = i * 6.283185307179586 / 6.0;
        inner.push_back(circle("b" + std::to_string(i), "f", 35.0 * std::cos(a), 35.0 * std::sin(a), 4.5));
    }
    return {plate(7.25, holes), flange(50.0, 12.0, inner)};
}

std::string determinism_fingerprints() {
    std::string all;
    for (const DimensionGraph& g : determinism_graphs()) all += fingerprint(measure_shape(build_m2_solid(g).shape)) + "\n";
    return all;
}

TEST(SolidBuilder, PlateWithTwoHolesHasItsBoundsAndSortedCylinders) {
    const BuiltModel model =
        build_m2_solid(plate(10.0, {circle("c1", "f", 75.0, 25.0, 5.0), circle("c2", "f", 25.0, 25.0, 4.0),
                                    circle("c3", "f", 50.0, 10.0, 3.0)}));
    EXPECT_EQ(model.construction, "extrude");
    ASSERT_EQ(model.holes.size(), 3u);
    EXPECT_EQ(model.holes[0].entity_id, "c1");
    EXPECT_EQ(model.holes[2].entity_id, "c3");
    EXPECT_EQ(model.holes[1].radius, 4.0);

    const ShapeMeasurement m = measure_shape(model.shape);
    const double tol = 1e-9;
    EXPECT_NEAR(m.min_x, 0.0, tol);
    EXPECT_NEAR(m.min_y, 0.0, tol);
    EXPECT_NEAR(m.min_z, 0.0, tol);
    EXPECT_NEAR(m.max_x, 100.0, tol);
    EXPECT_NEAR(m.max_y, 50.0, tol);
    EXPECT_NEAR(m.max_z, 10.0, tol);
    const std::vector<MeasuredCylinder> expected{{50.0, 10.0, 3.0}, {25.0, 25.0, 4.0}, {75.0, 25.0, 5.0}};
    ASSERT_EQ(m.cylinders.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(m.cylinders[i].x, expected[i].x, tol) << i;
        EXPECT_NEAR(m.cylinders[i].y, expected[i].y, tol) << i;
        EXPECT_NEAR(m.cylinders[i].radius, expected[i].radius, tol) << i;
    }
    const ShapeMeasurement bounds = compute_shape_bounds(model.shape);
    EXPECT_TRUE(bounds.cylinders.empty());
    EXPECT_EQ(bounds.max_z, m.max_z);
}

TEST(SolidBuilder, CylindersWithinToleranceInYAreOrderedByX) {
    // The left hole lies 5e-9 higher: equal within 1e-8, so x decides.
    const ShapeMeasurement m = measure_shape(
        build_m2_solid(plate(5.0, {circle("right", "f", 70.0, 20.0, 3.0), circle("left", "f", 30.0, 20.000000005, 3.0),
                                   circle("low", "f", 90.0, 10.0, 2.0)}))
            .shape);
    ASSERT_EQ(m.cylinders.size(), 3u);
    EXPECT_EQ(m.cylinders[0].x, 90.0);
    EXPECT_EQ(m.cylinders[1].x, 30.0);
    EXPECT_EQ(m.cylinders[2].x, 70.0);
}

TEST(SolidBuilder, FlangeListsBoreFirstAndMeasuresOuterAndBore) {
    const BuiltModel model = build_m2_solid(flange(
        50.0, 12.0, {circle("h1", "f", 35.0, 0.0, 4.0), circle("bore", "f", 0.0, 0.0, 10.0), circle("h2", "f", -35.0, 0.0, 4.0)}));
    EXPECT_EQ(model.construction, "revolve");
    ASSERT_EQ(model.holes.size(), 3u);
    EXPECT_EQ(model.holes[0].entity_id, "bore");
    EXPECT_EQ(model.holes[1].entity_id, "h1");
    EXPECT_EQ(model.holes[2].entity_id, "h2");

    const ShapeMeasurement m = measure_shape(model.shape);
    const double tol = 1e-7;
    EXPECT_NEAR(m.min_x, -50.0, tol);
    EXPECT_NEAR(m.max_x, 50.0, tol);
    EXPECT_NEAR(m.min_y, -50.0, tol);
    EXPECT_NEAR(m.max_y, 50.0, tol);
    EXPECT_NEAR(m.min_z, 0.0, tol);
    EXPECT_NEAR(m.max_z, 12.0, tol);
    const std::vector<MeasuredCylinder> expected{{-35.0, 0.0, 4.0}, {0.0, 0.0, 10.0}, {0.0, 0.0, 50.0}, {35.0, 0.0, 4.0}};
    ASSERT_EQ(m.cylinders.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(m.cylinders[i].x, expected[i].x, 1e-9) << i;
        EXPECT_NEAR(m.cylinders[i].y, expected[i].y, 1e-9) << i;
        EXPECT_NEAR(m.cylinders[i].radius, expected[i].radius, 1e-9) << i;
    }
}

TEST(SolidBuilder, SolidFlangeWithoutBoreHasNoModelHoles) {
    const BuiltModel model = build_m2_solid(flange(20.0, 3.0, {}));
    EXPECT_TRUE(model.holes.empty());
    const ShapeMeasurement m = measure_shape(model.shape);
    ASSERT_EQ(m.cylinders.size(), 1u);
    EXPECT_NEAR(m.cylinders[0].radius, 20.0, 1e-9);
}

TEST(SolidBuilder, OutlineChainsInAnyOrderAndOrientation) {
    const std::vector<DimensionEntity> entities{line("a", "f", 10, 10, 10, 0), line("b", "f", 0, 0, 10, 0),
                                                circle("c", "f", 5, 5, 1), line("d", "f", 0, 10, 0, 0),
                                                line("e", "f", 0, 10, 10, 10)};
    std::vector<const DimensionEntity*> refs;
    for (const auto& e : entities) refs.push_back(&e);
    const std::vector<Point2> outline = chain_prismatic_outline(refs);
    const std::vector<std::pair<double, double>> expected{{10, 10}, {10, 0}, {0, 0}, {0, 10}};
    ASSERT_EQ(outline.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(outline[i].x, expected[i].first) << i;
        EXPECT_EQ(outline[i].y, expected[i].second) << i;
    }
}

TEST(SolidBuilder, RefusalsCarryTheirMessages) {
    struct Case {
        const char* name;
        DimensionGraph graph;
        std::string message;
    };
    std::vector<Case> cases;
    auto with_front = [](std::vector<DimensionEntity> front) {
        DimensionGraph g = plate(10.0, {});
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "f"; });
        g.entities.insert(g.entities.begin(), front.begin(), front.end());
        return g;
    };
    cases.push_back({"two lines", with_front({line("a", "f", 0, 0, 10, 0), line("b", "f", 10, 0, 0, 0)}),
                     "M2 prismatic front view needs at least three outline lines"});
    cases.push_back({"gap", with_front({line("a", "f", 0, 0, 10, 0), line("b", "f", 10, 0, 10, 10), line("c", "f", 0, 10, 0, 0)}),
                     "M2 prismatic outline is not a connected closed chain"});
    cases.push_back({"open", with_front({line("a", "f", 0, 0, 10, 0), line("b", "f", 10, 0, 10, 10), line("c", "f", 10, 10, 0, 10)}),
                     "M2 prismatic outline is not closed"});
    cases.push_back({"branch", with_front({line("a", "f", 0, 0, 10, 0), line("b", "f", 10, 0, 10, 10), line("c", "f", 10, 10, 0, 10),
                                           line("d", "f", 0, 10, 0, 0), line("x", "f", 10, 0, 20, 0)}),
                     "M2 prismatic outline branches at a vertex"});
    {
        DimensionGraph g = plate(10.0, {});
        g.views.pop_back();
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "t"; });
        cases.push_back({"no top view", g, "M2 builder requires a 'top' view"});
    }
    {
        DimensionGraph g = plate(10.0, {});
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "t"; });
        cases.push_back({"empty top view", g, "M2 top view is empty"});
    }
    {
        DimensionGraph g = plate(10.0, {});
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "t"; });
        g.entities.push_back(line("flat", "t", 0, 3, 100, 3));
        cases.push_back({"flat top view", g, "M2 prismatic top view has zero thickness"});
    }
    {
        DimensionGraph g = flange(50.0, 12.0, {line("edge", "f", 0, 0, 1, 1)});
        cases.push_back({"line in revolve front", g, "M2 revolve front view contains unsupported non-circle entity 'edge'"});
    }
    {
        DimensionGraph g = flange(50.0, 12.0, {});
        g.entities.erase(g.entities.begin());
        cases.push_back({"no circle", g, "M2 revolve front view requires at least one circle"});
    }
    {
        DimensionGraph g = flange(50.0, 12.0, {});
        g.views.pop_back();
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "s"; });
        cases.push_back({"no side view", g, "M2 builder requires a 'side' view"});
    }
    {
        DimensionGraph g = flange(50.0, 12.0, {});
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "s"; });
        g.entities.push_back(line("v", "s", 4, -50, 4, 50));
        cases.push_back({"thin side view", g, "M2 revolve side view has zero thickness"});
    }
    {
        DimensionGraph g = flange(50.0, 12.0, {});
        std::erase_if(g.entities, [](const DimensionEntity& e) { return e.view_id == "s"; });
        add_rectangle(g, "s", "s", 12.0, 99.9, 0.0, -50.0);
        cases.push_back({"side height", g, "Front and side views disagree on revolve outer diameter"});
    }
    cases.push_back({"two bores", flange(50.0, 12.0, {circle("b1", "f", 0, 0, 10), circle("b2", "f", 0, 0, 20)}),
                     "M2 revolve supports one concentric through-bore"});
    cases.push_back({"hole touches rim", flange(50.0, 12.0, {circle("rim", "f", 45, 0, 5)}),
                     "Flange hole 'rim' is not inside the outer profile"});
    cases.push_back({"hole crosses rim", flange(50.0, 12.0, {circle("out", "f", 0, -48, 5)}),
                     "Flange hole 'out' is not inside the outer profile"});
    cases.push_back({"bore equals outer", flange(50.0, 12.0, {circle("bore", "f", 0, 0, 50)}),
                     "M2 revolve requires a bore smaller than the outer circle"});
    cases.push_back({"bore within 1e-9 of outer", flange(50.0, 12.0, {circle("bore", "f", 0, 0, 50 - 5e-10)}),
                     "M2 revolve requires a bore smaller than the outer circle"});

    for (const Case& c : cases) {
        EXPECT_THROW(build_m2_solid(c.graph), std::invalid_argument) << c.name;
        EXPECT_EQ(error_of([&] { build_m2_solid(c.graph); }), c.message) << c.name;
    }
}

TEST(SolidBuilder, OcctFailuresBecomeRuntimeErrors) {
    // Passes the thickness rule; OCCT itself fails on a plate this thin.
    for (const auto& holes : {std::vector<DimensionEntity>{}, std::vector<DimensionEntity>{circle("c", "f", 50, 25, 5)}}) {
        try {
            build_m2_solid(plate(1e-8, holes));
            ADD_FAILURE() << "a 1e-8 plate was built";
        } catch (const std::invalid_argument& e) {
            ADD_FAILURE() << "refused as a drawing error: " << e.what();
        } catch (const std::runtime_error& e) {
            EXPECT_FALSE(std::string(e.what()).empty());
        }
    }
    EXPECT_EQ(error_of([] { call_occt([]() -> int { throw Standard_ConstructionError("degenerate"); }); }),
              "Standard_ConstructionError: degenerate");
    EXPECT_EQ(call_occt([] { return 7; }), 7);
}

TEST(SolidBuilder, ShapeChecksRefuseNullAndVolumelessShapes) {
    EXPECT_EQ(error_of([] { check_occt_shape(TopoDS_Shape(), "extruded"); }), "OCCT produced a null extruded shape");
    // A planar face is a valid B-rep without volume.
    const TopoDS_Shape face = BRepBuilderAPI_MakeFace(gp_Pln(), 0.0, 10.0, 0.0, 10.0).Shape();
    EXPECT_THROW(check_occt_shape(face, "revolved"), std::runtime_error);
    EXPECT_EQ(error_of([&] { check_occt_shape(face, "revolved"); }),
              "OCCT produced a revolved solid that fails the positive volume check");
    EXPECT_THROW(measure_shape(TopoDS_Shape()), std::invalid_argument);
    EXPECT_EQ(error_of([] { measure_shape(TopoDS_Shape()); }), "Cannot measure a null shape");
    EXPECT_EQ(error_of([] { compute_shape_bounds(TopoDS_Shape()); }), "OCCT could not determine finite model bounds");
}

TEST(SolidBuilder, OcctMessagesGoToStandardError) {
    route_occt_messages_to_stderr();
    route_occt_messages_to_stderr();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Message::DefaultMessenger()->Send("occt routed warning", Message_Warning);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "occt routed warning\n");
}

TEST(SolidBuilder, MeasurementsAreBitIdenticalAcrossBuildsThreadsAndProcesses) {
    const std::string first = determinism_fingerprints();
    EXPECT_EQ(determinism_fingerprints(), first);

    std::vector<std::string> threaded(3);
    std::vector<std::thread> threads;
    for (auto& slot : threaded) threads.emplace_back([&slot] { slot = determinism_fingerprints(); });
    for (auto& t : threads) t.join();
    for (const auto& s : threaded) EXPECT_EQ(s, first);

    const std::filesystem::path out =
        std::filesystem::temp_directory_path() / ("vesk_solid_fp_" + std::to_string(::getpid()) + ".txt");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string command = "VESK_SOLID_FINGERPRINT_OUT='" + out.string() + "' '" + self +
                                "' --gtest_filter=SolidBuilderChild.WriteFingerprints >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(out, std::ios::binary);
    const std::string child((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(out);
    EXPECT_EQ(child, first);
}

// Runs only as the child of the test above.
TEST(SolidBuilderChild, WriteFingerprints) {
    const char* target = std::getenv("VESK_SOLID_FINGERPRINT_OUT");
    if (target == nullptr) GTEST_SKIP() << "child mode only";
    std::ofstream(target, std::ios::binary) << determinism_fingerprints();
}

}  // namespace
}  // namespace vesk
