// The solver system's interface: adders, unknowns, lifecycle flags, subsystems, and the
// diagnosis rules that a client sees through it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/system.hpp"

namespace {

using GCS::Circle;
using GCS::Constraint;
using GCS::Line;
using GCS::Point;
using GCS::System;

constexpr double kPi = 3.14159265358979323846;

// Values that stay put while a system points at them.
struct Store {
    std::vector<double> v = std::vector<double>(64, 0.0);
    std::size_t next = 0;
    double* at(double value)
    {
        double* p = &v.at(next++);
        *p = value;
        return p;
    }
    Point point(double x, double y)
    {
        double* px = at(x);
        double* py = at(y);
        return Point{px, py};
    }
};

TEST(System, FreshSystem)
{
    System sys;
    EXPECT_EQ(sys.dofs, 0);
    EXPECT_FALSE(sys.has_diagnosis);
    EXPECT_FALSE(sys.has_unknowns);
    EXPECT_FALSE(sys.is_init);
    EXPECT_TRUE(sys.empty_jacobian);
    EXPECT_EQ(sys.debug_level, 1);
    EXPECT_EQ(sys.qr_algorithm, 1);
    EXPECT_TRUE(sys.auto_qr);
    EXPECT_EQ(sys.auto_qr_threshold, 1000);
    EXPECT_EQ(sys.qr_pivot_threshold, 1e-13);
    EXPECT_EQ(sys.max_iter_redundant, 100);
    EXPECT_EQ(sys.convergence_redundant, 1e-10);
}

struct AdderCase {
    const char* name;
    // Adds to sys at a configuration that satisfies the constraint; returns the index.
    std::function<int(System&, Store&)> add;
    int type_id;
    std::size_t param_count;
    int constraints_added;
};

TEST(System, AddersMakeSatisfiedConstraintsWithTagAndDrivingFlag)
{
    const std::vector<AdderCase> cases = {
        {"diameter", [](System& s, Store& st) { Circle c(st.point(0, 0), st.at(5.0)); return s.add_diameter(c, st.at(10.0), 7, false); }, 1, 2, 1},
        {"radius", [](System& s, Store& st) { Circle c(st.point(0, 0), st.at(5.0)); return s.add_radius(c, st.at(5.0), 7, false); }, 1, 2, 1},
        {"coordinate_x", [](System& s, Store& st) { Point p = st.point(3, 4); return s.add_coordinate_x(p, st.at(3.0), 7, false); }, 1, 2, 1},
        {"coordinate_y", [](System& s, Store& st) { Point p = st.point(3, 4); return s.add_coordinate_y(p, st.at(4.0), 7, false); }, 1, 2, 1},
        {"line_angle",
         [](System& s, Store& st) {
             Line a(st.point(0, 0), st.point(1, 0));
             Line b(st.point(5, 5), st.point(5, 7));
             return s.add_line_angle(a, b, st.at(kPi / 2), 7, false);
         },
         10, 9, 1},
        {"point_angle", [](System& s, Store& st) { Point p = st.point(1, 1); Point q = st.point(2, 2); return s.add_point_angle(p, q, st.at(kPi / 4), 7, false); }, 4, 5, 1},
        {"coincident", [](System& s, Store& st) { Point p = st.point(1, 2); Point q = st.point(1, 2); return s.add_coincident(p, q, 7, false); }, 1, 2, 2},
        {"point_distance", [](System& s, Store& st) { Point p = st.point(0, 0); Point q = st.point(3, 4); return s.add_point_distance(p, q, st.at(5.0), 7, false); }, 3, 5, 1},
        {"parallel",
         [](System& s, Store& st) {
             Line a(st.point(0, 0), st.point(2, 1));
             Line b(st.point(5, 5), st.point(9, 7));
             return s.add_parallel(a, b, 7, false);
         },
         8, 8, 1},
        {"perpendicular",
         [](System& s, Store& st) {
             Line a(st.point(0, 0), st.point(2, 1));
             Line b(st.point(5, 5), st.point(4, 7));
             return s.add_perpendicular(a, b, 7, false);
         },
         9, 8, 1},
    };
    for (const AdderCase& c : cases) {
        System sys;
        Store st;
        // A constraint already present moves the index on.
        Point p = st.point(0, 0);
        sys.add_coordinate_x(p, st.at(0.0));
        const int index = c.add(sys, st);
        ASSERT_EQ(sys.constraints().size(), static_cast<std::size_t>(1 + c.constraints_added)) << c.name;
        EXPECT_EQ(index, c.constraints_added) << c.name;
        for (std::size_t i = 1; i < sys.constraints().size(); ++i) {
            const Constraint* k = sys.constraints()[i];
            EXPECT_EQ(k->type_id(), c.type_id) << c.name;
            EXPECT_EQ(k->params().size(), c.param_count) << c.name;
            EXPECT_EQ(k->tag(), 7) << c.name;
            EXPECT_FALSE(k->driving()) << c.name;
            EXPECT_NEAR(k->error(), 0.0, 1e-12) << c.name;
        }
    }
}

TEST(System, DiameterHalvesAndRadiusMatches)
{
    System sys;
    Store st;
    Circle c(st.point(0, 0), st.at(5.0));
    sys.add_diameter(c, st.at(12.0));
    sys.add_radius(c, st.at(6.0));
    EXPECT_DOUBLE_EQ(sys.constraints()[0]->error(), -1.0);  // 5 - 12 / 2
    EXPECT_DOUBLE_EQ(sys.constraints()[1]->error(), -1.0);  // 5 - 6
}

// The sketch used below: p1 anchored, p2 on the x axis, a length of 10 (tag 1).
struct Bar {
    Store st;
    System sys;
    Point p1, p2;
    double* second = nullptr;

    explicit Bar(double second_length)
    {
        sys.debug_level = 0;
        p1 = st.point(0, 0);
        p2 = st.point(10, 0);
        sys.add_coordinate_x(p1, st.at(0.0));
        sys.add_coordinate_y(p1, st.at(0.0));
        sys.add_coordinate_y(p2, st.at(0.0));
        sys.add_point_distance(p1, p2, st.at(10.0), 1);
        second = st.at(second_length);
        sys.add_point_distance(p1, p2, second, 2);
        sys.declare_unknowns({p1.x, p1.y, p2.x, p2.y});
    }
};

TEST(System, FlagsFollowAddersAndUnknowns)
{
    Bar bar(10.0);
    System& sys = bar.sys;
    sys.init_solution();
    ASSERT_TRUE(sys.has_diagnosis);
    ASSERT_TRUE(sys.is_init);

    // A constraint outside the diagnosis keeps it, but the subsystems are stale.
    sys.add_coordinate_x(bar.p2, bar.st.at(10.0), -1);
    EXPECT_TRUE(sys.has_diagnosis);
    EXPECT_FALSE(sys.is_init);

    sys.init_solution();
    EXPECT_TRUE(sys.is_init);
    sys.add_coordinate_x(bar.p2, bar.st.at(10.0), 0);
    EXPECT_FALSE(sys.has_diagnosis);
    EXPECT_FALSE(sys.is_init);

    // New unknowns invalidate the diagnosis too.
    sys.init_solution();
    ASSERT_TRUE(sys.has_diagnosis);
    sys.declare_unknowns({bar.p2.x, bar.p2.y});
    EXPECT_FALSE(sys.has_diagnosis);
    EXPECT_FALSE(sys.is_init);
}

TEST(System, NothingHappensBeforeUnknownsAreDeclared)
{
    System sys;
    Store st;
    Point p = st.point(1, 2);
    sys.add_coordinate_x(p, st.at(1.0), 1);
    sys.init_solution();
    EXPECT_FALSE(sys.has_diagnosis);
    EXPECT_FALSE(sys.is_init);
    EXPECT_EQ(sys.diagnose(2), 0);
    EXPECT_FALSE(sys.has_diagnosis);
}

TEST(System, EmptyUnknownsGiveAnEmptyDiagnosis)
{
    System sys;
    Store st;
    Point p = st.point(1, 2);
    sys.add_coordinate_x(p, st.at(5.0), 1);
    sys.declare_unknowns({});
    sys.init_solution();
    EXPECT_TRUE(sys.has_diagnosis);
    EXPECT_TRUE(sys.is_init);
    EXPECT_TRUE(sys.empty_jacobian);
    EXPECT_EQ(sys.dofs, 0);
    EXPECT_TRUE(sys.conflicting_tags.empty());
    EXPECT_TRUE(sys.redundant_tags.empty());
}

TEST(System, ReferenceIsRestoredOnlyForTheSameUnknowns)
{
    Bar bar(10.0);
    System& sys = bar.sys;
    sys.set_reference();
    *bar.p2.x = 3.0;
    sys.reset_to_reference();
    EXPECT_EQ(*bar.p2.x, 10.0);

    sys.set_reference();
    *bar.p2.x = 3.0;
    sys.declare_unknowns({bar.p2.x});
    sys.reset_to_reference();
    EXPECT_EQ(*bar.p2.x, 3.0);
}

TEST(System, SubsystemsLeaveRedundantConstraintsOut)
{
    Bar bar(10.0);
    System& sys = bar.sys;
    Point q = bar.st.point(4, 4);
    sys.add_coordinate_x(q, bar.st.at(4.0), 3, false);  // not driving: auxiliary
    sys.declare_unknowns({bar.p1.x, bar.p1.y, bar.p2.x, bar.p2.y, q.x});
    sys.init_solution();
    ASSERT_TRUE(sys.is_init);
    EXPECT_EQ(sys.redundant_tags, std::vector<int>{2});
    // The bar and the lone coordinate are two components.
    ASSERT_EQ(sys.component_constraints().size(), 2u);
    ASSERT_EQ(sys.subsystems().size(), 2u);
    ASSERT_EQ(sys.subsystems_aux().size(), 2u);
    ASSERT_NE(sys.subsystems()[0], nullptr);
    EXPECT_EQ(sys.subsystems()[1], nullptr);
    EXPECT_EQ(sys.subsystems_aux()[0], nullptr);
    ASSERT_NE(sys.subsystems_aux()[1], nullptr);
    for (const Constraint* c : sys.component_constraints()[0])
        EXPECT_NE(c->tag(), 2);
    // Three anchors and the first length; the second length is redundant.
    EXPECT_EQ(sys.subsystems()[0]->csize(), 4);
}

TEST(System, NonFiniteJacobianIsRefused)
{
    struct Case {
        const char* name;
        std::function<void(System&, Store&)> build;
    };
    const std::vector<Case> cases = {
        {"distance between coincident points",
         [](System& s, Store& st) {
             Point p = st.point(1, 1);
             Point q = st.point(1, 1);
             s.add_point_distance(p, q, st.at(1.0), 1);
             s.declare_unknowns({p.x, p.y, q.x, q.y});
         }},
        {"parallel to a line of length 1e-300",
         [](System& s, Store& st) {
             Line a(st.point(0, 0), st.point(1e-300, 0));
             Line b(st.point(0, 1), st.point(1, 1));
             s.add_parallel(a, b, 1);
             s.declare_unknowns({a.p1.x, a.p1.y, a.p2.x, a.p2.y, b.p1.x, b.p1.y, b.p2.x, b.p2.y});
         }},
    };
    for (const Case& c : cases) {
        for (int qr : {0, 1}) {
            System sys;
            sys.debug_level = 0;
            sys.auto_qr = false;
            sys.qr_algorithm = qr;
            Store st;
            c.build(sys, st);
            try {
                sys.init_solution();
                ADD_FAILURE() << c.name << ": no error";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "GCS diagnosis Jacobian is not finite") << c.name;
            }
            EXPECT_FALSE(sys.has_diagnosis) << c.name;
            EXPECT_FALSE(sys.is_init) << c.name;
        }
    }
}

TEST(System, NoStaleResults)
{
    Bar bar(12.0);
    System& sys = bar.sys;
    sys.init_solution();
    EXPECT_EQ(sys.conflicting_tags, (std::vector<int>{1, 2}));
    EXPECT_EQ(sys.dofs, -1);

    *bar.second = 10.0;
    sys.diagnose(2);
    EXPECT_TRUE(sys.conflicting_tags.empty());
    EXPECT_EQ(sys.redundant_tags, std::vector<int>{2});
    EXPECT_EQ(sys.dofs, 0);

    // A diagnosis that fails leaves nothing of the one before.
    *bar.p2.x = 0.0;  // p2 on p1: the length has no direction
    EXPECT_THROW(sys.diagnose(2), std::runtime_error);
    EXPECT_FALSE(sys.has_diagnosis);
    EXPECT_TRUE(sys.redundant_tags.empty());
    EXPECT_TRUE(sys.redundant().empty());
    EXPECT_TRUE(sys.dependent_groups().empty());
}

TEST(System, DependentParameterGroups)
{
    // p1 anchored: of p2's two coordinates one depends on the length.
    Store st;
    System sys;
    sys.debug_level = 0;
    Point p1 = st.point(0, 0);
    Point p2 = st.point(3, 4);
    sys.add_coordinate_x(p1, st.at(0.0));
    sys.add_coordinate_y(p1, st.at(0.0));
    sys.add_point_distance(p1, p2, st.at(5.0), 1);
    sys.declare_unknowns({p1.x, p1.y, p2.x, p2.y});
    sys.init_solution();
    EXPECT_EQ(sys.dofs, 1);
    ASSERT_EQ(sys.dependent_groups().size(), 1u);
    const std::vector<double*>& group = sys.dependent_groups()[0];
    ASSERT_EQ(group.size(), 2u);
    EXPECT_TRUE((group[0] == p2.x && group[1] == p2.y) || (group[0] == p2.y && group[1] == p2.x));
    EXPECT_EQ(sys.dependent_params(), group);

    // A free coordinate depends on nothing.
    System free;
    Point q = st.point(1, 2);
    free.add_coordinate_x(q, st.at(1.0));
    free.declare_unknowns({q.x, q.y});
    free.init_solution();
    ASSERT_EQ(free.dependent_groups().size(), 1u);
    EXPECT_EQ(free.dependent_groups()[0], std::vector<double*>{q.y});
}

TEST(System, ChoiceOfRedundantCandidates)
{
    // Each case: one dependency group; the expected pick is the one found redundant.
    struct Case {
        const char* name;
        std::function<void(System&, Store&)> build;
        std::vector<std::size_t> redundant_constraints;
        std::vector<int> redundant_tags;
        std::vector<int> partially_redundant_tags;
    };
    const std::vector<Case> cases = {
        // The larger tag loses its dimension first.
        {"larger tag",
         [](System& s, Store& st) {
             Point p = st.point(2, 3);
             s.add_coordinate_x(p, st.at(2.0), 4);
             s.add_coordinate_x(p, st.at(2.0), 9);
             s.declare_unknowns({p.x});
         },
         {1}, {9}, {}},
        // Before the tag, the tag with fewer constraints: coordinate x (tag 1, alone) over
        // the coincidence (tag 2, two constraints).
        {"smaller multiplicity",
         [](System& s, Store& st) {
             Point p = st.point(2, 3);
             Point q = st.point(2, 3);
             s.add_coordinate_x(p, st.at(2.0), 0);
             s.add_coordinate_y(p, st.at(3.0), 0);
             s.add_coincident(p, q, 2);
             s.add_coordinate_x(q, st.at(2.0), 1);
             s.declare_unknowns({p.x, p.y, q.x, q.y});
         },
         {4}, {1}, {}},
        // Equal in everything: the constraint added first.
        {"order of adding",
         [](System& s, Store& st) {
             Point p = st.point(2, 3);
             Point q = st.point(2, 3);
             Point r = st.point(5, 7);
             s.add_coordinate_x(p, st.at(2.0), 0);
             s.add_coordinate_y(p, st.at(3.0), 0);
             s.add_coincident(p, q, 1);
             s.add_point_distance(r, q, st.at(5.0), 0);
             s.declare_unknowns({p.x, p.y, q.x, q.y});
         },
         {2}, {}, {1}},
        // A constraint of flag 1 is never picked; the other one is.
        {"flag 1",
         [](System& s, Store& st) {
             Point p = st.point(2, 3);
             s.add_coordinate_x(p, st.at(2.0), 4);
             const int i = s.add_coordinate_x(p, st.at(2.0), 9);
             s.constraints()[i]->set_flag(1);
             s.declare_unknowns({p.x});
         },
         {0}, {4}, {}},
    };
    for (const Case& c : cases) {
        Store st;
        System sys;
        sys.debug_level = 0;
        c.build(sys, st);
        sys.init_solution();
        std::vector<std::size_t> redundant;
        for (std::size_t i = 0; i < sys.constraints().size(); ++i)
            if (sys.redundant().count(sys.constraints()[i]))
                redundant.push_back(i);
        EXPECT_EQ(redundant, c.redundant_constraints) << c.name;
        EXPECT_EQ(sys.redundant_tags, c.redundant_tags) << c.name;
        EXPECT_EQ(sys.partially_redundant_tags, c.partially_redundant_tags) << c.name;
        EXPECT_TRUE(sys.conflicting_tags.empty()) << c.name;
        EXPECT_EQ(sys.dofs, 0) << c.name;
    }
}

TEST(System, FlaggedConstraintCountsAsAnchorAmongConflicts)
{
    Store st;
    System sys;
    sys.debug_level = 0;
    Point p = st.point(2, 3);
    sys.add_coordinate_x(p, st.at(2.0), 4);
    const int i = sys.add_coordinate_x(p, st.at(5.0), 9);
    sys.constraints()[i]->set_flag(1);
    sys.declare_unknowns({p.x});
    sys.init_solution();
    EXPECT_EQ(sys.conflicting_tags, std::vector<int>{4});
    EXPECT_EQ(sys.dofs, -1);
}

TEST(System, UnknownQrAlgorithmSkipsTheDecomposition)
{
    Bar bar(12.0);
    System& sys = bar.sys;
    sys.auto_qr = false;
    sys.qr_algorithm = 5;
    sys.init_solution();
    EXPECT_TRUE(sys.has_diagnosis);
    EXPECT_FALSE(sys.empty_jacobian);
    EXPECT_EQ(sys.dofs, 4);
    EXPECT_TRUE(sys.conflicting_tags.empty());
}

TEST(System, ClearEmptiesTheSystem)
{
    Bar bar(12.0);
    System& sys = bar.sys;
    sys.init_solution();
    sys.clear();
    EXPECT_TRUE(sys.constraints().empty());
    EXPECT_TRUE(sys.unknowns().empty());
    EXPECT_TRUE(sys.conflicting_tags.empty());
    EXPECT_TRUE(sys.subsystems().empty());
    EXPECT_FALSE(sys.has_unknowns);
    EXPECT_FALSE(sys.has_diagnosis);
    EXPECT_FALSE(sys.is_init);
    EXPECT_TRUE(sys.empty_jacobian);

    // The system is usable again.
    Point p = bar.st.point(1, 1);
    sys.add_coordinate_x(p, bar.st.at(1.0), 1);
    sys.declare_unknowns({p.x, p.y});
    sys.init_solution();
    EXPECT_EQ(sys.dofs, 1);
}

}  // namespace
