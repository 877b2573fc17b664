#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "solver/constraints.hpp"
#include "solver/solvers.hpp"
#include "solver/subsystem.hpp"
#include "solver/test_sketches.hpp"

namespace GCS {
namespace {

using vesk::test::Sketch;

SolverSettings quiet()
{
    SolverSettings s;
    s.debug_level = 0;
    return s;
}

struct Split {
    ComponentPartition part;
    std::vector<std::unique_ptr<Subsystem>> subs, aux;
};

Split split(const Sketch& s)
{
    Split out{partition_components(s.constraints, s.unknowns), {}, {}};
    build_component_subsystems(out.part, out.subs, out.aux);
    return out;
}

TEST(Components, TwoUnrelatedCirclesGiveTwoSubsystems)
{
    // Each circle: centre x by coordinate, centre at distance 5 from a fixed point, and
    // passing through another fixed point; the second circle is the first moved by
    // (10, 10). The constraints of the two are added in turn.
    Sketch s;
    std::vector<Circle> circles;
    const double start[2][3] = {{0.1, 3.8, 2.5}, {9.0, 14.1, 1.0}};
    for (const auto& v : start) {
        const Point center = s.point(v[0], v[1]);
        circles.emplace_back(center, s.param(v[2], true));
    }
    for (int kind = 0; kind < 3; ++kind) {
        for (int k = 0; k < 2; ++k) {
            const Circle& c = circles[k];
            const double o = 10.0 * k;
            if (kind == 0)
                s.add<ConstraintEqual>(c.center.x, s.param(o), 1.0);
            else if (kind == 1)
                s.add<ConstraintP2PDistance>(c.center, s.point(o, o, false), s.param(5.0));
            else
                s.add<ConstraintP2PDistance>(c.center, s.point(o, 10.0 + o, false), c.rad);
        }
    }

    Split sp = split(s);
    ASSERT_EQ(sp.subs.size(), 2u);
    EXPECT_FALSE(sp.aux[0] || sp.aux[1]);
    for (int k = 0; k < 2; ++k) {
        const Circle& c = circles[k];
        EXPECT_EQ(sp.part.component_params[k], (std::vector<double*>{c.center.x, c.center.y, c.rad}));
        EXPECT_EQ(sp.part.component_constraints[k],
                  (std::vector<Constraint*>{s.constraints[k], s.constraints[2 + k], s.constraints[4 + k]}));
        ASSERT_TRUE(sp.subs[k]);
        EXPECT_EQ(solve_dog_leg(*sp.subs[k], false, quiet()), SolveStatus::success);
        sp.subs[k]->apply_solution();
        EXPECT_NEAR(*c.center.y, 5.0 + 10.0 * k, 1e-10);
        EXPECT_NEAR(*c.rad, 5.0, 1e-10);
    }
}

TEST(Components, ConstraintWithoutUnknownsGetsAnEmptySubsystem)
{
    Sketch s;
    double* x = s.param(1.0, true);
    s.add<ConstraintEqual>(s.param(2.0), s.param(2.0), 1.0);
    Split sp = split(s);
    ASSERT_EQ(sp.part.component_params.size(), 2u);
    EXPECT_EQ(sp.part.component_params[0], std::vector<double*>{x});
    EXPECT_TRUE(sp.part.component_constraints[0].empty());
    EXPECT_TRUE(sp.part.component_params[1].empty());
    EXPECT_EQ(sp.part.component_constraints[1], s.constraints);
    ASSERT_EQ(sp.subs.size(), 2u);
    EXPECT_FALSE(sp.subs[0]);
    ASSERT_TRUE(sp.subs[1]);
    EXPECT_EQ(sp.subs[1]->psize(), 0);
    EXPECT_EQ(solve_bfgs(*sp.subs[1], false, quiet()), SolveStatus::success);
}

// Ratio-1 equalities between unknowns fold the second parameter onto the first, in chains;
// other equalities are solved. After apply_solution the folded parameters hold their
// representative's value, even where no solved constraint uses them.
TEST(Components, RatioOneEqualitiesFoldIntoOneSlot)
{
    Sketch s;
    double* a = s.param(1.0, true);
    double* b = s.param(2.0, true);
    double* c = s.param(3.0, true);
    double* d = s.param(4.0, true);
    double* e = s.param(5.0, true);
    double* fixed = s.param(7.0);
    s.add<ConstraintEqual>(b, c, 1.0);                      // c -> b
    s.add<ConstraintEqual>(a, b, 1.0);                      // b, c -> a
    s.add<ConstraintEqual>(d, a, 0.5);                      // not ratio 1
    s.add<ConstraintEqual>(d, e, 1.0)->set_tag(-1);         // negative tag
    s.add<ConstraintEqual>(e, d, 1.0)->set_driving(false);  // a reference only
    s.add<ConstraintEqual>(a, fixed, 1.0);                  // second is no unknown

    Split sp = split(s);
    EXPECT_EQ(sp.part.reduced, (std::vector<bool>{true, true, false, false, false, false}));
    EXPECT_EQ(sp.part.reduction, (std::map<double*, double*>{{a, a}, {b, a}, {c, a}, {d, d}, {e, e}}));
    ASSERT_EQ(sp.subs.size(), 1u);
    ASSERT_TRUE(sp.subs[0]);
    ASSERT_TRUE(sp.aux[0]);
    EXPECT_EQ(sp.subs[0]->clist(), (std::vector<Constraint*>{s.constraints[2], s.constraints[5]}));
    EXPECT_EQ(sp.aux[0]->clist(), (std::vector<Constraint*>{s.constraints[3], s.constraints[4]}));
    EXPECT_EQ(sp.subs[0]->plist(), (std::vector<double*>{a, d}));
    EXPECT_EQ(solve_levenberg_marquardt(*sp.subs[0], false, quiet()), SolveStatus::success);
    sp.subs[0]->apply_solution();
    EXPECT_NEAR(*a, 7.0, 1e-12);
    EXPECT_EQ(*b, *a);
    EXPECT_EQ(*c, *a);
    EXPECT_NEAR(*d, 3.5, 1e-12);
    EXPECT_EQ(*e, 5.0);
}

TEST(Subsystem, KeepsGivenOrderAndUsedParametersOnly)
{
    Sketch s;
    double* a = s.param(1.0, true);
    double* unused = s.param(2.0, true);
    double* b = s.param(3.0, true);
    s.add<ConstraintEqual>(a, s.param(4.0), 1.0);
    s.add<ConstraintEqual>(b, a, 2.0);
    Subsystem sub(s.constraints, {b, unused, a, b});
    EXPECT_EQ(sub.plist(), (std::vector<double*>{b, a}));
    EXPECT_EQ(sub.constraint_slots(0), std::vector<int>{1});
    EXPECT_EQ(sub.constraint_slots(1), (std::vector<int>{0, 1}));
    EXPECT_EQ(sub.slot_constraints(1), (std::vector<int>{0, 1}));

    // Values move into the caller's parameters only on apply_solution; redirecting takes
    // the caller's values again.
    sub.set_params({7.0, 8.0});
    EXPECT_EQ(*b, 3.0);
    sub.apply_solution();
    EXPECT_EQ(s.unknown_values(), (std::vector<double>{8.0, 2.0, 7.0}));
    *b = 1.5;
    sub.redirect_params();
    std::vector<double> v;
    sub.get_params(v);
    EXPECT_EQ(v, (std::vector<double>{1.5, 8.0}));
    sub.revert_params();
    EXPECT_EQ(s.constraints[1]->params(), s.constraints[1]->given_params());
}

// Residual, Jacobian (dense and sparse), gradient and error agree with each other and with
// finite differences, also where one constraint uses a slot twice.
TEST(Subsystem, DerivativesAgree)
{
    auto sk = vesk::test::triangle();
    const Point a{sk->unknowns[0], sk->unknowns[1]};
    const Point b{sk->unknowns[2], sk->unknowns[3]};
    const Point c{sk->unknowns[4], sk->unknowns[5]};
    sk->add<ConstraintParallel>(Line(a, b), Line(b, c));  // b stands in it twice
    Subsystem sub(sk->constraints, sk->unknowns);
    RedirectGuard guard(sub);
    std::vector<double> r, J, g, x, entries;
    double err = 0.0;
    sub.calc_residual(r, err);
    EXPECT_EQ(err, sub.error());
    sub.calc_jacobian(J);
    sub.calc_jacobian_entries(entries);
    sub.calc_grad(g);
    sub.get_params(x);
    const int m = sub.csize();
    const int n = sub.psize();
    ASSERT_EQ(J.size(), static_cast<std::size_t>(m * n));
    // The sparse entries are the dense Jacobian's, bit for bit, row by row in slot order,
    // and the dense one is zero elsewhere.
    std::size_t next = 0;
    for (int i = 0; i < m; ++i) {
        for (int j : sub.constraint_slots(i)) {
            ASSERT_LT(next, entries.size());
            EXPECT_EQ(entries[next++], J[i + j * m]) << i << " " << j;
        }
    }
    EXPECT_EQ(next, entries.size());
    EXPECT_EQ(std::count(J.begin(), J.end(), 0.0), static_cast<long>(J.size() - entries.size()));
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

}  // namespace
}  // namespace GCS
