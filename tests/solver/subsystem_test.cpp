#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "solver/constraints.hpp"
#include "solver/solvers.hpp"
#include "solver/subsystem.hpp"
#include "solver/test_sketches.hpp"

namespace GCS {
namespace {

using testing::Sketch;

SolverSettings quiet()
{
    SolverSettings s;
    s.debug_level = 0;
    return s;
}

TEST(Components, FindComponentsNumbersInNodeOrder)
{
    // 0-3, 1, 2-4-5
    const std::vector<std::vector<int>> adjacency{{3}, {}, {4}, {0}, {2, 5}, {4}};
    std::vector<int> component;
    EXPECT_EQ(find_components(adjacency, component), 3);
    EXPECT_EQ(component, (std::vector<int>{0, 1, 2, 0, 2, 2}));
    EXPECT_EQ(find_components({}, component), 0);
    EXPECT_TRUE(component.empty());
}

TEST(Components, TwoUnrelatedCirclesGiveTwoSubsystems)
{
    // Each circle: centre x by coordinate, centre at distance 5 from a fixed point, and
    // passing through another fixed point (its radius is that distance).
    Sketch s(24, false);
    const Point center1 = s.point(0.1, 3.8, true);
    const Circle c1(center1, s.param(2.5, true));
    const Point center2 = s.point(9.0, 14.1, true);
    const Circle c2(center2, s.param(1.0, true));
    const Point origin = s.point(0.0, 0.0, false);
    const Point far = s.point(10.0, 10.0, false);
    const Point on1 = s.point(0.0, 10.0, false);
    const Point on2 = s.point(10.0, 20.0, false);
    double* zero = s.param(0.0, false);
    double* ten = s.param(10.0, false);
    double* five = s.param(5.0, false);
    s.add<ConstraintEqual>(c1.center.x, zero, 1.0);
    s.add<ConstraintEqual>(c2.center.x, ten, 1.0);
    s.add<ConstraintP2PDistance>(c1.center, origin, five);
    s.add<ConstraintP2PDistance>(c2.center, far, five);
    s.add<ConstraintP2PDistance>(c1.center, on1, c1.rad);
    s.add<ConstraintP2PDistance>(c2.center, on2, c2.rad);

    const ComponentPartition part = partition_components(s.constraints, s.unknowns);
    ASSERT_EQ(part.component_params.size(), 2u);
    EXPECT_EQ(part.component_params[0], (std::vector<double*>{c1.center.x, c1.center.y, c1.rad}));
    EXPECT_EQ(part.component_params[1], (std::vector<double*>{c2.center.x, c2.center.y, c2.rad}));
    EXPECT_EQ(part.component_constraints[0],
              (std::vector<Constraint*>{s.constraints[0], s.constraints[2], s.constraints[4]}));
    EXPECT_EQ(part.component_constraints[1],
              (std::vector<Constraint*>{s.constraints[1], s.constraints[3], s.constraints[5]}));

    std::vector<std::unique_ptr<Subsystem>> subs, aux;
    build_component_subsystems(part, subs, aux);
    ASSERT_EQ(subs.size(), 2u);
    ASSERT_EQ(aux.size(), 2u);
    EXPECT_FALSE(aux[0]);
    EXPECT_FALSE(aux[1]);
    for (auto& sub : subs) {
        ASSERT_TRUE(sub);
        EXPECT_EQ(sub->psize(), 3);
        EXPECT_EQ(sub->csize(), 3);
        EXPECT_EQ(solve_dog_leg(*sub, false, quiet()), SolveStatus::success);
        sub->apply_solution();
    }
    EXPECT_NEAR(*c1.center.y, 5.0, 1e-10);
    EXPECT_NEAR(*c1.rad, 5.0, 1e-10);
    EXPECT_NEAR(*c2.center.y, 15.0, 1e-10);
    EXPECT_NEAR(*c2.rad, 5.0, 1e-10);
}

TEST(Components, ConstraintWithoutUnknownsGetsAnEmptySubsystem)
{
    Sketch s(4, false);
    double* x = s.param(1.0, true);
    double* a = s.param(2.0, false);
    double* b = s.param(2.0, false);
    s.add<ConstraintEqual>(a, b, 1.0);
    const ComponentPartition part = partition_components(s.constraints, s.unknowns);
    ASSERT_EQ(part.component_params.size(), 2u);
    EXPECT_EQ(part.component_params[0], std::vector<double*>{x});
    EXPECT_TRUE(part.component_constraints[0].empty());
    EXPECT_TRUE(part.component_params[1].empty());
    EXPECT_EQ(part.component_constraints[1], s.constraints);
    EXPECT_FALSE(part.reduced[0]);

    std::vector<std::unique_ptr<Subsystem>> subs, aux;
    build_component_subsystems(part, subs, aux);
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_FALSE(subs[0]);
    ASSERT_TRUE(subs[1]);
    EXPECT_EQ(subs[1]->psize(), 0);
    EXPECT_EQ(subs[1]->csize(), 1);
    EXPECT_EQ(solve_bfgs(*subs[1], false, quiet()), SolveStatus::success);
}

TEST(Components, RatioOneEqualityReducesToOneSlot)
{
    // Two coincident points, the first placed by coordinates: the coincidence is not
    // solved but folded, and both points land on (3, 4).
    Sketch s(8, false);
    const Point p = s.point(0.5, 0.5, true);
    const Point q = s.point(-1.0, 2.0, true);
    double* three = s.param(3.0, false);
    double* four = s.param(4.0, false);
    s.add<ConstraintEqual>(p.x, three, 1.0);
    s.add<ConstraintEqual>(p.y, four, 1.0);
    s.add<ConstraintEqual>(p.x, q.x, 1.0)->set_tag(5);
    s.add<ConstraintEqual>(p.y, q.y, 1.0)->set_tag(5);

    const ComponentPartition part = partition_components(s.constraints, s.unknowns);
    EXPECT_EQ(part.reduced, (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(part.reduction.at(q.x), p.x);
    EXPECT_EQ(part.reduction.at(q.y), p.y);
    EXPECT_EQ(part.reduction.at(p.x), p.x);
    ASSERT_EQ(part.component_params.size(), 2u);
    EXPECT_EQ(part.component_constraints[0], std::vector<Constraint*>{s.constraints[0]});

    std::vector<std::unique_ptr<Subsystem>> subs, aux;
    build_component_subsystems(part, subs, aux);
    for (auto& sub : subs) {
        ASSERT_TRUE(sub);
        EXPECT_EQ(sub->psize(), 1);
        EXPECT_EQ(solve_levenberg_marquardt(*sub, false, quiet()), SolveStatus::success);
        sub->apply_solution();
    }
    EXPECT_NEAR(*p.x, 3.0, 1e-10);
    EXPECT_NEAR(*p.y, 4.0, 1e-10);
    EXPECT_EQ(*q.x, *p.x);
    EXPECT_EQ(*q.y, *p.y);
}

TEST(Components, ReductionChainsAndItsExclusions)
{
    Sketch s(8, false);
    double* a = s.param(1.0, true);
    double* b = s.param(2.0, true);
    double* c = s.param(3.0, true);
    double* d = s.param(4.0, true);
    double* e = s.param(5.0, true);
    double* fixed = s.param(7.0, false);
    s.add<ConstraintEqual>(b, c, 1.0);                     // c -> b
    s.add<ConstraintEqual>(a, b, 1.0);                     // b, c -> a
    s.add<ConstraintEqual>(d, a, 0.5);                     // not ratio 1
    s.add<ConstraintEqual>(d, e, 1.0)->set_tag(-1);        // negative tag
    s.add<ConstraintEqual>(e, d, 1.0)->set_driving(false);  // a reference only
    s.add<ConstraintEqual>(a, fixed, 1.0);                 // second is no unknown

    const ComponentPartition part = partition_components(s.constraints, s.unknowns);
    EXPECT_EQ(part.reduced, (std::vector<bool>{true, true, false, false, false, false}));
    EXPECT_EQ(part.reduction.at(b), a);
    EXPECT_EQ(part.reduction.at(c), a);
    EXPECT_EQ(part.reduction.at(d), d);
    EXPECT_EQ(part.reduction.at(e), e);
    ASSERT_EQ(part.component_params.size(), 1u);

    std::vector<std::unique_ptr<Subsystem>> subs, aux;
    build_component_subsystems(part, subs, aux);
    ASSERT_TRUE(subs[0]);
    ASSERT_TRUE(aux[0]);
    EXPECT_EQ(subs[0]->clist(), (std::vector<Constraint*>{s.constraints[2], s.constraints[5]}));
    EXPECT_EQ(aux[0]->clist(), (std::vector<Constraint*>{s.constraints[3], s.constraints[4]}));
    // a, d in the order given; b and c share a's slot even though no constraint of the
    // subsystem uses them.
    EXPECT_EQ(subs[0]->plist(), (std::vector<double*>{a, d}));
    EXPECT_EQ(subs[0]->slot_of(b), 0);
    EXPECT_EQ(subs[0]->slot_of(c), 0);
    EXPECT_EQ(subs[0]->slot_of(e), -1);
    EXPECT_EQ(solve_dog_leg(*subs[0], false, quiet()), SolveStatus::success);
    subs[0]->apply_solution();
    EXPECT_NEAR(*a, 7.0, 1e-12);
    EXPECT_EQ(*b, *a);
    EXPECT_EQ(*c, *a);
    EXPECT_NEAR(*d, 3.5, 1e-12);
    EXPECT_EQ(*e, 5.0);
}

TEST(Subsystem, KeepsGivenOrderAndUsedParametersOnly)
{
    Sketch s(8, false);
    double* a = s.param(1.0, true);
    double* unused = s.param(2.0, true);
    double* b = s.param(3.0, true);
    double* fixed = s.param(4.0, false);
    s.add<ConstraintEqual>(a, fixed, 1.0);
    s.add<ConstraintEqual>(b, a, 2.0);
    Subsystem sub(s.constraints, {b, unused, a, b});
    EXPECT_EQ(sub.plist(), (std::vector<double*>{b, a}));
    EXPECT_EQ(sub.psize(), 2);
    EXPECT_EQ(sub.csize(), 2);
    EXPECT_EQ(sub.constraint_slots(0), std::vector<int>{1});
    EXPECT_EQ(sub.constraint_slots(1), (std::vector<int>{0, 1}));
    EXPECT_EQ(sub.slot_constraints(1), (std::vector<int>{0, 1}));
    std::vector<double> v;
    sub.get_params(v);
    EXPECT_EQ(v, (std::vector<double>{3.0, 1.0}));
}

// Residual, Jacobian, gradient and error agree with each other and with finite
// differences, also where one constraint uses a slot twice.
TEST(Subsystem, DerivativesAgree)
{
    auto sk = testing::triangle();
    // A Parallel constraint whose second line shares both points with the first: every
    // slot appears twice in it.
    const Point a{sk->unknowns[0], sk->unknowns[1]};
    const Point b{sk->unknowns[2], sk->unknowns[3]};
    const Point c{sk->unknowns[4], sk->unknowns[5]};
    sk->add<ConstraintParallel>(Line(a, b), Line(b, c));
    Subsystem sub(sk->constraints, sk->unknowns);
    RedirectGuard guard(sub);
    std::vector<double> r, J, g, x;
    double err = 0.0;
    sub.calc_residual(r, err);
    EXPECT_EQ(err, sub.error());
    sub.calc_jacobian(J);
    sub.calc_grad(g);
    sub.get_params(x);
    const int m = sub.csize();
    const int n = sub.psize();
    ASSERT_EQ(J.size(), static_cast<std::size_t>(m * n));
    // The sparse entries are the dense Jacobian's, bit for bit, row by row in slot order,
    // and the dense one is zero elsewhere.
    std::vector<double> entries;
    sub.calc_jacobian_entries(entries);
    std::size_t next = 0;
    int stored = 0;
    for (int i = 0; i < m; ++i) {
        for (int j : sub.constraint_slots(i)) {
            ASSERT_LT(next, entries.size());
            EXPECT_EQ(entries[next++], J[i + j * m]) << i << " " << j;
        }
        stored += static_cast<int>(sub.constraint_slots(i).size());
    }
    EXPECT_EQ(next, entries.size());
    EXPECT_EQ(std::count_if(J.begin(), J.end(), [](double v) { return v != 0.0; }),
              std::count_if(entries.begin(), entries.end(), [](double v) { return v != 0.0; }));
    EXPECT_GT(stored, 0);
    for (int j = 0; j < n; ++j) {
        double jt_r = 0.0;
        for (int i = 0; i < m; ++i)
            jt_r += J[i + j * m] * r[i];
        EXPECT_NEAR(g[j], jt_r, 1e-12);
        std::vector<double> xp = x, xm = x;
        xp[j] += 1e-6;
        xm[j] -= 1e-6;
        sub.set_params(xp);
        const double ep = sub.error();
        sub.set_params(xm);
        const double em = sub.error();
        sub.set_params(x);
        EXPECT_NEAR(g[j], (ep - em) / 2e-6, 1e-6 * std::max(1.0, std::fabs(g[j]))) << j;
    }
}

TEST(Subsystem, MaxStepTakesTheSmallestBound)
{
    double v[5] = {0, 0, 3, 4, 5};
    ConstraintP2PDistance dist(Point{&v[0], &v[1]}, Point{&v[2], &v[3]}, &v[4]);
    ConstraintP2PAngle angle(Point{&v[0], &v[1]}, Point{&v[2], &v[3]}, &v[4]);
    Subsystem sub({&dist, &angle}, {&v[0], &v[1], &v[2], &v[3], &v[4]});
    RedirectGuard guard(sub);
    EXPECT_EQ(sub.max_step({0, 0, 0, 0, 0}), 1e10);
    EXPECT_DOUBLE_EQ(sub.max_step({0, 0, 0, 0, -10.0}), kMaxAngleStep / 10.0);
    EXPECT_DOUBLE_EQ(sub.max_step({0, 0, 0, 0, -0.1}), 50.0);
}

TEST(Subsystem, ApplySolutionIsTheOnlyWriteBack)
{
    auto sk = testing::point_on_circle();
    const std::vector<double> before = sk->unknown_values();
    Subsystem sub(sk->constraints, sk->unknowns);
    sub.set_params({7.0, 8.0});
    EXPECT_EQ(sk->unknown_values(), before);
    sub.apply_solution();
    EXPECT_EQ(sk->unknown_values(), (std::vector<double>{7.0, 8.0}));
    // Redirecting takes the caller's values again.
    *sk->unknowns[0] = 1.5;
    sub.redirect_params();
    std::vector<double> v;
    sub.get_params(v);
    EXPECT_EQ(v, (std::vector<double>{1.5, 8.0}));
    EXPECT_NE(sk->constraints[0]->params(), sk->constraints[0]->given_params());
    sub.revert_params();
    EXPECT_EQ(sk->constraints[0]->params(), sk->constraints[0]->given_params());
}

}  // namespace
}  // namespace GCS
