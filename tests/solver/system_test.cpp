// The solver system's interface: adders, lifecycle flags, reference values, subsystems,
// refusals and the results a client reads.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <vector>

#include "solver/system.hpp"
#include "solver/test_sketches.hpp"

namespace {

using GCS::Circle;
using GCS::Constraint;
using GCS::Line;
using GCS::Point;
using GCS::System;
using vesk::test::kPi;
using vesk::test::Sketch;

// Geometry at which every adder below makes satisfied constraints.
struct Geometry {
    Sketch sk;
    Point o = sk.point(0, 0), p = sk.point(3, 4), q = sk.point(3, 4);
    Circle circle{o, sk.param(5.0)};
    Line x_axis{o, sk.point(1, 0)}, up{p, sk.point(3, 6)};
    Line slope{o, sk.point(2, 1)}, parallel{p, sk.point(7, 6)}, normal{p, sk.point(2, 6)};
};

// Every adder makes constraints of its class that hold where they should (the diameter at
// twice the radius), with the tag and driving flag given, and returns the last one's index.
TEST(System, AddersMakeSatisfiedConstraintsWithTagAndDrivingFlag)
{
    const struct {
        const char* name;
        std::function<int(System&, Geometry&)> add;
        int type_id;
        int count;
    } cases[] = {
        {"diameter", [](System& s, Geometry& g) { return s.add_diameter(g.circle, g.sk.param(10.0), 7, false); }, 1, 1},
        {"radius", [](System& s, Geometry& g) { return s.add_radius(g.circle, g.sk.param(5.0), 7, false); }, 1, 1},
        {"coordinate_x", [](System& s, Geometry& g) { return s.add_coordinate_x(g.p, g.sk.param(3.0), 7, false); }, 1, 1},
        {"coordinate_y", [](System& s, Geometry& g) { return s.add_coordinate_y(g.p, g.sk.param(4.0), 7, false); }, 1, 1},
        {"line_angle", [](System& s, Geometry& g) { return s.add_line_angle(g.x_axis, g.up, g.sk.param(kPi / 2), 7, false); }, 10, 1},
        {"point_angle", [](System& s, Geometry& g) { return s.add_point_angle(g.o, g.p, g.sk.param(std::atan2(4, 3)), 7, false); }, 4, 1},
        {"coincident", [](System& s, Geometry& g) { return s.add_coincident(g.p, g.q, 7, false); }, 1, 2},
        {"point_distance", [](System& s, Geometry& g) { return s.add_point_distance(g.o, g.p, g.sk.param(5.0), 7, false); }, 3, 1},
        {"parallel", [](System& s, Geometry& g) { return s.add_parallel(g.slope, g.parallel, 7, false); }, 8, 1},
        {"perpendicular", [](System& s, Geometry& g) { return s.add_perpendicular(g.slope, g.normal, 7, false); }, 9, 1},
    };
    for (const auto& c : cases) {
        System sys;
        Geometry g;
        sys.add_coordinate_x(g.o, g.sk.param(0.0));  // moves the index on
        EXPECT_EQ(c.add(sys, g), c.count) << c.name;
        ASSERT_EQ(sys.constraints().size(), static_cast<std::size_t>(1 + c.count)) << c.name;
        for (std::size_t i = 1; i < sys.constraints().size(); ++i) {
            const Constraint* k = sys.constraints()[i];
            EXPECT_EQ(k->type_id(), c.type_id) << c.name;
            EXPECT_EQ(k->tag(), 7) << c.name;
            EXPECT_FALSE(k->driving()) << c.name;
            EXPECT_NEAR(k->error(), 0.0, 1e-12) << c.name;
        }
    }
}

// p1 anchored, p2 on the x axis, a length of 10 (tag 1) and a second one (tag 2).
struct Bar {
    Sketch sk;
    System sys;
    Point p1, p2;
    double* second = nullptr;

    explicit Bar(double second_length)
    {
        sys.debug_level = 0;
        p1 = sk.point(0, 0);
        p2 = sk.point(10, 0);
        sys.add_coordinate_x(p1, sk.param(0.0));
        sys.add_coordinate_y(p1, sk.param(0.0));
        sys.add_coordinate_y(p2, sk.param(0.0));
        sys.add_point_distance(p1, p2, sk.param(10.0), 1);
        second = sk.param(second_length);
        sys.add_point_distance(p1, p2, second, 2);
        sys.declare_unknowns(sk.unknowns);
    }
};

TEST(System, Lifecycle)
{
    // A fresh system; nothing happens before unknowns are declared.
    Bar bar(10.0);
    System fresh;
    EXPECT_EQ(fresh.debug_level, 1);
    Point p = bar.sk.point(1, 2);
    fresh.add_coordinate_x(p, bar.sk.param(1.0), 1);
    fresh.init_solution();
    EXPECT_EQ(fresh.diagnose(2), 0);
    EXPECT_FALSE(fresh.has_diagnosis || fresh.is_init);
    EXPECT_TRUE(fresh.empty_jacobian);
    EXPECT_EQ(fresh.dofs, 0);
    // No unknowns at all: an empty diagnosis.
    fresh.declare_unknowns({});
    fresh.init_solution();
    EXPECT_TRUE(fresh.has_diagnosis && fresh.is_init && fresh.empty_jacobian);
    EXPECT_EQ(fresh.dofs, 0);
    EXPECT_TRUE(fresh.conflicting_tags.empty() && fresh.redundant_tags.empty());

    System& sys = bar.sys;
    sys.init_solution();
    ASSERT_TRUE(sys.has_diagnosis && sys.is_init);
    // A constraint outside the diagnosis keeps it, but the subsystems are stale.
    sys.add_coordinate_x(bar.p2, bar.sk.param(10.0), -1);
    EXPECT_TRUE(sys.has_diagnosis);
    EXPECT_FALSE(sys.is_init);
    sys.init_solution();
    sys.add_coordinate_x(bar.p2, bar.sk.param(10.0), 0);
    EXPECT_FALSE(sys.has_diagnosis || sys.is_init);
    // New unknowns invalidate the diagnosis too.
    sys.init_solution();
    ASSERT_TRUE(sys.has_diagnosis);
    sys.declare_unknowns({bar.p2.x, bar.p2.y});
    EXPECT_FALSE(sys.has_diagnosis || sys.is_init);

    // clear() empties the system, which is usable again.
    sys.init_solution();
    ASSERT_FALSE(sys.redundant_tags.empty());
    sys.clear();
    EXPECT_TRUE(sys.constraints().empty() && sys.unknowns().empty() && sys.subsystems().empty());
    EXPECT_TRUE(sys.redundant_tags.empty());
    EXPECT_FALSE(sys.has_unknowns || sys.has_diagnosis || sys.is_init);
    EXPECT_TRUE(sys.empty_jacobian);
    sys.add_coordinate_x(p, bar.sk.param(1.0), 1);
    sys.declare_unknowns({p.x, p.y});
    sys.init_solution();
    EXPECT_EQ(sys.dofs, 1);
}

TEST(System, ReferenceIsRestoredOnlyForTheSameUnknowns)
{
    Bar bar(10.0);
    bar.sys.set_reference();
    *bar.p2.x = 3.0;
    bar.sys.reset_to_reference();
    EXPECT_EQ(*bar.p2.x, 10.0);

    bar.sys.set_reference();
    *bar.p2.x = 3.0;
    bar.sys.declare_unknowns({bar.p2.x});
    bar.sys.reset_to_reference();
    EXPECT_EQ(*bar.p2.x, 3.0);
}

TEST(System, SubsystemsLeaveRedundantConstraintsOut)
{
    Bar bar(10.0);
    System& sys = bar.sys;
    Point q = bar.sk.point(4, 4);
    sys.add_coordinate_x(q, bar.sk.param(4.0), 3, false);  // not driving: auxiliary
    sys.declare_unknowns({bar.p1.x, bar.p1.y, bar.p2.x, bar.p2.y, q.x});
    sys.init_solution();
    ASSERT_TRUE(sys.is_init);
    EXPECT_EQ(sys.redundant_tags, std::vector<int>{2});
    // The bar and the lone coordinate are two components.
    ASSERT_EQ(sys.subsystems().size(), 2u);
    ASSERT_EQ(sys.subsystems_aux().size(), 2u);
    ASSERT_NE(sys.subsystems()[0], nullptr);
    EXPECT_EQ(sys.subsystems()[1], nullptr);
    EXPECT_EQ(sys.subsystems_aux()[0], nullptr);
    EXPECT_NE(sys.subsystems_aux()[1], nullptr);
    // Three anchors and the first length; the second length is redundant.
    EXPECT_EQ(sys.subsystems()[0]->csize(), 4);
    for (const Constraint* c : sys.component_constraints()[0])
        EXPECT_NE(c->tag(), 2);
}

// Results of one diagnosis never survive into the next, a refused one included. A Jacobian
// entry that is not finite is refused on both paths.
TEST(System, NoStaleResultsAndNonFiniteRefusal)
{
    auto expect_refused = [](System& sys) {
        try {
            sys.diagnose(2);
            ADD_FAILURE() << "no error, path " << sys.qr_algorithm;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "GCS diagnosis Jacobian is not finite");
        }
        EXPECT_FALSE(sys.has_diagnosis);
    };
    for (int qr : {0, 1}) {
        Bar bar(12.0);
        System& sys = bar.sys;
        sys.auto_qr = false;
        sys.qr_algorithm = qr;
        sys.init_solution();
        EXPECT_EQ(sys.conflicting_tags, (std::vector<int>{1, 2}));
        EXPECT_EQ(sys.dofs, -1);
        *bar.second = 10.0;
        sys.diagnose(2);
        EXPECT_TRUE(sys.conflicting_tags.empty());
        EXPECT_EQ(sys.redundant_tags, std::vector<int>{2});
        EXPECT_EQ(sys.dofs, 0);
        *bar.p2.x = 0.0;  // p2 on p1: the length has no direction
        expect_refused(sys);
        EXPECT_TRUE(sys.redundant_tags.empty() && sys.redundant().empty() && sys.dependent_groups().empty());

        Sketch sk;
        System parallel;
        parallel.debug_level = 0;
        parallel.auto_qr = false;
        parallel.qr_algorithm = qr;
        Line a(sk.point(0, 0), sk.point(1e-300, 0)), b(sk.point(0, 1), sk.point(1, 1));
        parallel.add_parallel(a, b, 1);
        parallel.declare_unknowns(sk.unknowns);
        expect_refused(parallel);
    }
}

TEST(System, DependentParameterGroups)
{
    // p1 anchored: of p2's two coordinates one depends on the other through the length.
    Sketch sk;
    System sys;
    sys.debug_level = 0;
    Point p1 = sk.point(0, 0);
    Point p2 = sk.point(3, 4);
    sys.add_coordinate_x(p1, sk.param(0.0));
    sys.add_coordinate_y(p1, sk.param(0.0));
    sys.add_point_distance(p1, p2, sk.param(5.0), 1);
    sys.declare_unknowns(sk.unknowns);
    sys.init_solution();
    EXPECT_EQ(sys.dofs, 1);
    ASSERT_EQ(sys.dependent_groups().size(), 1u);
    const std::vector<double*>& group = sys.dependent_groups()[0];
    EXPECT_TRUE(group == (std::vector<double*>{p2.x, p2.y}) || group == (std::vector<double*>{p2.y, p2.x}));
    EXPECT_EQ(sys.dependent_params(), group);

    // A free coordinate depends on nothing.
    System free;
    Point q = sk.point(1, 2);
    free.add_coordinate_x(q, sk.param(1.0));
    free.declare_unknowns({q.x, q.y});
    free.init_solution();
    ASSERT_EQ(free.dependent_groups().size(), 1u);
    EXPECT_EQ(free.dependent_groups()[0], std::vector<double*>{q.y});
}

}  // namespace
