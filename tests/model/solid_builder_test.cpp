#include "model/solid_builder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

#include "model/occt_support.hpp"
#include "support/expect_error.hpp"
#include "support/graph_builders.hpp"
#include "support/run_process.hpp"

namespace vesk {
using vesk::test::error_message;

namespace {

constexpr auto* line = &test::line_entity;
constexpr auto* circle = &test::circle_entity;
using Entities = std::vector<DimensionEntity>;

// 100 x 50 outline in view "f", thickness from a 100 x t top view "t".
DimensionGraph plate(double thickness, const Entities& holes) {
    DimensionGraph g;
    g.views = {{"f", ViewType::front}, {"t", ViewType::top}};
    test::add_rectangle(g, "l", "f", 100.0, 50.0);
    g.entities.insert(g.entities.end(), holes.begin(), holes.end());
    test::add_rectangle(g, "t", "t", 100.0, thickness);
    return g;
}

// Outer circle of radius r at (0, 0) in view "f"; side view "s" thickness x height (2r by default).
DimensionGraph flange(double r, double thickness, const Entities& inner, double height = 0.0) {
    DimensionGraph g;
    g.part_class = PartClass::revolve;
    g.views = {{"f", ViewType::front}, {"s", ViewType::side}};
    g.entities = inner;
    g.entities.push_back(circle("outer", "f", 0.0, 0.0, r));
    test::add_rectangle(g, "s", "s", thickness, height > 0.0 ? height : 2.0 * r, 0.0, -r);
    return g;
}

// The graph with the entities of one view replaced; without the view itself when drop_view.
DimensionGraph replace_view(DimensionGraph g, const std::string& view, const Entities& entities,
                            bool drop_view = false) {
    std::erase_if(g.entities, [&](const DimensionEntity& e) { return e.view_id == view; });
    g.entities.insert(g.entities.end(), entities.begin(), entities.end());
    if (drop_view) std::erase_if(g.views, [&](const DimensionView& v) { return v.id == view; });
    return g;
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
        for (double v : {c.x, c.y, c.radius}) bits(v);
    }
    return out.str();
}

std::string determinism_fingerprints() {
    Entities holes;
    for (int i = 0; i < 8; ++i) {
        holes.push_back(circle("h" + std::to_string(i), "f", 8.0 + 11.3 * i, 12.5 + 3.1 * (i % 4), 2.7));
    }
    Entities inner{circle("bore", "f", 0.0, 0.0, 12.5)};
    for (int i = 0; i < 6; ++i) {
        const double a = i * 6.283185307179586 / 6.0;
        inner.push_back(circle("b" + std::to_string(i), "f", 35.0 * std::cos(a), 35.0 * std::sin(a), 4.5));
    }
    std::string all;
    for (const DimensionGraph& g : {plate(7.25, holes), flange(50.0, 12.0, inner)}) {
        all += fingerprint(measure_shape(build_m2_solid(g).shape)) + "\n";
    }
    return all;
}

TEST(SolidBuilder, BuildsAndMeasuresBoundsAndOrderedCylinders) {
    struct Case {
        const char* name;
        DimensionGraph graph;
        const char* construction;
        std::vector<std::string> hole_ids;
        std::array<double, 6> bounds;  // min x, y, z, max x, y, z
        double bounds_tolerance;
        std::vector<MeasuredCylinder> cylinders;  // y, then x, then radius; within 1e-9
    };
    const Case cases[] = {
        {"plate with holes",
         plate(10.0, {circle("c1", "f", 75, 25, 5), circle("c2", "f", 25, 25, 4), circle("c3", "f", 50, 10, 3)}),
         "extrude", {"c1", "c2", "c3"}, {0, 0, 0, 100, 50, 10}, 1e-9, {{50, 10, 3}, {25, 25, 4}, {75, 25, 5}}},
        // The left hole lies 5e-9 higher: equal within 1e-8, so x decides.
        {"y within tolerance orders by x",
         plate(5.0, {circle("right", "f", 70, 20, 3), circle("left", "f", 30, 20.000000005, 3),
                     circle("low", "f", 90, 10, 2)}),
         "extrude", {"right", "left", "low"}, {0, 0, 0, 100, 50, 5}, 1e-9,
         {{90, 10, 2}, {30, 20.000000005, 3}, {70, 20, 3}}},
        {"flange lists its bore first",
         flange(50.0, 12.0, {circle("h1", "f", 35, 0, 4), circle("bore", "f", 0, 0, 10), circle("h2", "f", -35, 0, 4)}),
         "revolve", {"bore", "h1", "h2"}, {-50, -50, 0, 50, 50, 12}, 1e-7,
         {{-35, 0, 4}, {0, 0, 10}, {0, 0, 50}, {35, 0, 4}}},
        {"solid flange", flange(20.0, 3.0, {}), "revolve", {}, {-20, -20, 0, 20, 20, 3}, 1e-7, {{0, 0, 20}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const BuiltModel model = build_m2_solid(c.graph);
        EXPECT_EQ(model.construction, c.construction);
        std::vector<std::string> ids;
        for (const ModelHole& hole : model.holes) ids.push_back(hole.entity_id);
        EXPECT_EQ(ids, c.hole_ids);
        const ShapeMeasurement m = measure_shape(model.shape);
        const double measured[] = {m.min_x, m.min_y, m.min_z, m.max_x, m.max_y, m.max_z};
        for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(measured[i], c.bounds[i], c.bounds_tolerance) << i;
        ASSERT_EQ(m.cylinders.size(), c.cylinders.size());
        for (std::size_t i = 0; i < c.cylinders.size(); ++i) {
            EXPECT_NEAR(m.cylinders[i].x, c.cylinders[i].x, 1e-9) << i;
            EXPECT_NEAR(m.cylinders[i].y, c.cylinders[i].y, 1e-9) << i;
            EXPECT_NEAR(m.cylinders[i].radius, c.cylinders[i].radius, 1e-9) << i;
        }
        const ShapeMeasurement bounds = compute_shape_bounds(model.shape);
        EXPECT_TRUE(bounds.cylinders.empty());
        EXPECT_EQ(bounds.max_z, m.max_z);
    }
}

TEST(SolidBuilder, OutlineChainsInAnyOrderAndOrientation) {
    const Entities entities{line("a", "f", 10, 10, 10, 0), line("b", "f", 0, 0, 10, 0), circle("c", "f", 5, 5, 1),
                            line("d", "f", 0, 10, 0, 0), line("e", "f", 0, 10, 10, 10)};
    std::vector<const DimensionEntity*> refs;
    for (const auto& e : entities) refs.push_back(&e);
    EXPECT_EQ(chain_prismatic_outline(refs), (std::vector<Point2>{{10, 10}, {10, 0}, {0, 0}, {0, 10}}));
}

TEST(SolidBuilder, RefusalsCarryTheirMessages) {
    const DimensionGraph p = plate(10.0, {});
    const DimensionGraph f = flange(50.0, 12.0, {});
    const DimensionEntity a = line("a", "f", 0, 0, 10, 0), b = line("b", "f", 10, 0, 10, 10);
    const DimensionEntity c = line("c", "f", 10, 10, 0, 10), d = line("d", "f", 0, 10, 0, 0);
    const std::pair<DimensionGraph, const char*> cases[] = {
        {replace_view(p, "f", {a, line("b", "f", 10, 0, 0, 0)}),
         "M2 prismatic front view needs at least three outline lines"},
        {replace_view(p, "f", {a, b, line("c", "f", 0, 10, 0, 0)}),
         "M2 prismatic outline is not a connected closed chain"},
        {replace_view(p, "f", {a, b, c}), "M2 prismatic outline is not closed"},
        {replace_view(p, "f", {a, b, c, d, line("x", "f", 10, 0, 20, 0)}), "M2 prismatic outline branches at a vertex"},
        {replace_view(p, "t", {}, true), "M2 builder requires a 'top' view"},
        {replace_view(p, "t", {}), "M2 top view is empty"},
        {replace_view(p, "t", {line("flat", "t", 0, 3, 100, 3)}), "M2 prismatic top view has zero thickness"},
        {flange(50.0, 12.0, {line("edge", "f", 0, 0, 1, 1)}),
         "M2 revolve front view contains unsupported non-circle entity 'edge'"},
        {replace_view(f, "f", {}), "M2 revolve front view requires at least one circle"},
        {replace_view(f, "s", {}, true), "M2 builder requires a 'side' view"},
        {replace_view(f, "s", {line("v", "s", 4, -50, 4, 50)}), "M2 revolve side view has zero thickness"},
        {flange(50.0, 12.0, {}, 99.9), "Front and side views disagree on revolve outer diameter"},
        {flange(50.0, 12.0, {circle("b1", "f", 0, 0, 10), circle("b2", "f", 0, 0, 20)}),
         "M2 revolve supports one concentric through-bore"},
        {flange(50.0, 12.0, {circle("rim", "f", 45, 0, 5)}), "Flange hole 'rim' is not inside the outer profile"},
        {flange(50.0, 12.0, {circle("out", "f", 0, -48, 5)}), "Flange hole 'out' is not inside the outer profile"},
        {flange(50.0, 12.0, {circle("bore", "f", 0, 0, 50)}),
         "M2 revolve requires a bore smaller than the outer circle"},
        {flange(50.0, 12.0, {circle("bore", "f", 0, 0, 50 - 5e-10)}),
         "M2 revolve requires a bore smaller than the outer circle"},
        // Cuts that would leave a notch, a slot or a hole opening into the bore.
        {plate(10.0, {circle("notch", "f", 50, 0, 5)}), "Hole 'notch' is not inside the prismatic outline"},
        {plate(10.0, {circle("ok", "f", 20, 20, 5), circle("graze", "f", 50, 45, 5)}),
         "Hole 'graze' is not inside the prismatic outline"},
        {plate(10.0, {circle("s1", "f", 40, 25, 5), circle("s2", "f", 48, 25, 5)}), "Holes 's1' and 's2' overlap"},
        {plate(10.0, {circle("t1", "f", 40, 25, 5), circle("far", "f", 80, 25, 1), circle("t2", "f", 50, 25, 5)}),
         "Holes 't1' and 't2' overlap"},
        {flange(50.0, 12.0, {circle("bolt", "f", 0, 25, 6), circle("bore", "f", 0, 0, 20)}),
         "Flange hole 'bolt' reaches the bore"},
        {flange(50.0, 12.0, {circle("h1", "f", 30, 0, 5), circle("h2", "f", 30, 8, 5)}),
         "Flange holes 'h1' and 'h2' overlap"},
    };
    for (const auto& [graph, expected] : cases) {
        EXPECT_EQ(error_message<std::invalid_argument>([&] { build_m2_solid(graph); }), expected);
    }
}

// A plate of 256 holes is built (all holes cut at once); past the limit the builder
// refuses before any OCCT work.
TEST(SolidBuilder, HoleCountLimit) {
    for (const std::size_t count : {std::size_t{256}, kMaxModelHoles + 1}) {
        Entities holes;
        for (std::size_t i = 0; i < count; ++i) {
            holes.push_back(circle("h" + std::to_string(i), "f", 2.0 + 4.0 * (i % 24), 2.0 + 2.0 * (i / 24), 0.5));
        }
        if (count <= kMaxModelHoles) {
            EXPECT_EQ(measure_shape(build_m2_solid(plate(3.0, holes)).shape).cylinders.size(), count);
        } else {
            EXPECT_EQ(error_message<std::invalid_argument>([&] { build_m2_solid(plate(3.0, holes)); }),
                      "DimensionGraph has too many holes: 257 (limit 256)");
        }
    }
}

TEST(SolidBuilder, OcctFailuresBecomeRuntimeErrors) {
    // Passes the thickness rule; OCCT itself fails on a plate this thin, with or without a cut.
    for (const Entities& holes : {Entities{}, Entities{circle("c", "f", 50, 25, 5)}}) {
        const std::string message = error_message<std::runtime_error>([&] { build_m2_solid(plate(1e-8, holes)); });
        EXPECT_EQ(message.rfind("Standard_", 0), 0u) << message;
    }
    auto occt_throws = [] { call_occt([]() -> int { throw Standard_ConstructionError("degenerate"); }); };
    EXPECT_EQ(error_message<std::runtime_error>(occt_throws),
              "Standard_ConstructionError: degenerate");
    EXPECT_EQ(call_occt([] { return 7; }), 7);
}

TEST(SolidBuilder, ShapeChecksRefuseNullAndVolumelessShapes) {
    EXPECT_EQ(error_message<std::runtime_error>([] { check_occt_shape(TopoDS_Shape(), "extruded"); }),
              "OCCT produced a null extruded shape");
    // A planar face is a valid B-rep without volume.
    const TopoDS_Shape face = BRepBuilderAPI_MakeFace(gp_Pln(), 0.0, 10.0, 0.0, 10.0).Shape();
    EXPECT_EQ(error_message<std::runtime_error>([&] { check_occt_shape(face, "revolved"); }),
              "OCCT produced a revolved solid that fails the positive volume check");
    EXPECT_EQ(error_message<std::invalid_argument>([] { measure_shape(TopoDS_Shape()); }), "Cannot measure a null shape");
    EXPECT_EQ(error_message<std::runtime_error>([] { compute_shape_bounds(TopoDS_Shape()); }),
             "OCCT could not determine finite model bounds");
}

TEST(SolidBuilder, OcctMessagesGoToStandardError) {
    route_occt_messages_to_stderr();
    route_occt_messages_to_stderr();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Message::DefaultMessenger()->Send("occt routed warning", Message_Warning);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "occt routed warning\n");
}

TEST(SolidBuilder, MeasurementsAreBitIdenticalAcrossBuildsThreadsAndProcesses) {
    const std::string first = determinism_fingerprints();
    EXPECT_EQ(determinism_fingerprints(), first);

    std::vector<std::string> threaded(3);
    std::vector<std::thread> threads;
    for (auto& slot : threaded) threads.emplace_back([&slot] { slot = determinism_fingerprints(); });
    for (auto& t : threads) t.join();
    for (const auto& s : threaded) EXPECT_EQ(s, first);

    const test::TempDir dir;
    const std::filesystem::path out = dir.path() / "fingerprints.txt";
    ::setenv("VESK_SOLID_FINGERPRINT_OUT", out.c_str(), 1);
    const auto child = test::run_process("/proc/self/exe", {"--gtest_filter=SolidBuilderChild.WriteFingerprints"});
    ::unsetenv("VESK_SOLID_FINGERPRINT_OUT");
    ASSERT_EQ(child.exit_code, 0) << child.out;
    EXPECT_EQ(test::read_file(out), first);
}

// Runs only as the child of the test above.
TEST(SolidBuilderChild, WriteFingerprints) {
    const char* target = std::getenv("VESK_SOLID_FINGERPRINT_OUT");
    if (target == nullptr) GTEST_SKIP() << "child mode only";
    test::write_file(target, determinism_fingerprints());
}

}  // namespace
}  // namespace vesk
