#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "solver/checked_cast.hpp"
#include "solver/constraints.hpp"
#include "solver/geometry.hpp"

namespace GCS {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Builds a constraint over the pointers of a parameter pool; `slots` says which pool
// entry stands at each constructor position, so positions can share one parameter.
using Builder = std::function<std::unique_ptr<Constraint>(const std::vector<double*>&)>;

struct ConstraintCase {
    std::string name;
    int arity;        // positions the constructor takes
    bool angular;     // error is an angle (compare finite differences modulo 2 pi)
    Builder build;
};

Point pt(const std::vector<double*>& p, int i)
{
    return Point{p[i], p[i + 1]};
}

std::vector<ConstraintCase> constraint_cases()
{
    return {
        {"Equal", 2, false, [](const std::vector<double*>& p) { return std::make_unique<ConstraintEqual>(p[0], p[1], 1.0); }},
        {"EqualRatio", 2, false, [](const std::vector<double*>& p) { return std::make_unique<ConstraintEqual>(p[0], p[1], 0.37); }},
        {"P2PDistance", 5, false,
         [](const std::vector<double*>& p) { return std::make_unique<ConstraintP2PDistance>(pt(p, 0), pt(p, 2), p[4]); }},
        {"P2PAngle", 5, true,
         [](const std::vector<double*>& p) { return std::make_unique<ConstraintP2PAngle>(pt(p, 0), pt(p, 2), p[4], 0.3); }},
        {"Parallel", 8, false,
         [](const std::vector<double*>& p) {
             return std::make_unique<ConstraintParallel>(Line(pt(p, 0), pt(p, 2)), Line(pt(p, 4), pt(p, 6)));
         }},
        {"Perpendicular", 8, false,
         [](const std::vector<double*>& p) {
             return std::make_unique<ConstraintPerpendicular>(Line(pt(p, 0), pt(p, 2)), Line(pt(p, 4), pt(p, 6)));
         }},
        {"L2LAngle", 9, true,
         [](const std::vector<double*>& p) {
             return std::make_unique<ConstraintL2LAngle>(Line(pt(p, 0), pt(p, 2)), Line(pt(p, 4), pt(p, 6)), p[8]);
         }},
    };
}

// Central difference of the error by one pool entry.
double numeric_derivative(const Constraint& c, double* param, bool angular)
{
    const double h = 1e-6;
    const double saved = *param;
    *param = saved + h;
    const double plus = c.error();
    *param = saved - h;
    const double minus = c.error();
    *param = saved;
    double diff = plus - minus;
    if (angular)
        diff = std::remainder(diff, 2.0 * kPi);
    return diff / (2.0 * h);
}

// Every class at 25 seeded configurations, first with distinct parameters, then with two
// positions sharing one parameter (whose derivative is the sum over both positions).
TEST(ConstraintGradient, MatchesFiniteDifferences)
{
    for (const ConstraintCase& cc : constraint_cases()) {
        for (bool aliased : {false, true}) {
            std::mt19937 rng(1234);
            std::uniform_real_distribution<double> coord(-10.0, 10.0);
            int checked = 0;
            for (int trial = 0; checked < 25 && trial < 1000; ++trial) {
                std::vector<double> pool(cc.arity + 1);
                for (double& v : pool)
                    v = coord(rng);
                std::vector<double*> ptrs;
                for (int i = 0; i < cc.arity; ++i)
                    ptrs.push_back(&pool[i]);
                if (aliased)
                    ptrs[cc.arity - 1] = ptrs[0];
                auto c = cc.build(ptrs);
                // Keep lines and distances well away from zero length, where the
                // derivatives blow up.
                bool degenerate = false;
                if (cc.arity >= 5) {
                    for (int k = 0; k + 3 < std::min(cc.arity, 8); k += 4)
                        degenerate = degenerate || std::hypot(*ptrs[k] - *ptrs[k + 2], *ptrs[k + 1] - *ptrs[k + 3]) < 1.0;
                }
                if (degenerate)
                    continue;
                ++checked;
                for (int i = 0; i <= cc.arity; ++i) {
                    double* p = &pool[i];
                    const double analytic = c->grad(p);
                    const double numeric = numeric_derivative(*c, p, cc.angular);
                    EXPECT_NEAR(analytic, numeric, 1e-6 * std::max(1.0, std::fabs(analytic)))
                        << cc.name << (aliased ? " aliased" : "") << " trial " << trial << " param " << i;
                }
            }
            EXPECT_EQ(checked, 25) << cc.name;
        }
    }
}

TEST(ConstraintGradient, UnrelatedParameterHasZeroGradient)
{
    for (const ConstraintCase& cc : constraint_cases()) {
        std::vector<double> pool(cc.arity, 1.0);
        for (int i = 0; i < cc.arity; ++i)
            pool[i] = 1.0 + i * (i % 2 ? 1.5 : -0.7);
        std::vector<double*> ptrs;
        for (double& v : pool)
            ptrs.push_back(&v);
        auto c = cc.build(ptrs);
        double other = 3.0;
        EXPECT_EQ(c->grad(&other), 0.0) << cc.name;
    }
}

struct TwoLines {
    double v[9];
    Line l1() { return Line(Point{&v[0], &v[1]}, Point{&v[2], &v[3]}); }
    Line l2() { return Line(Point{&v[4], &v[5]}, Point{&v[6], &v[7]}); }
};

// Lines at (angle + 2 pi k) satisfy the constraint: the angle error is wrapped.
TEST(ConstraintError, AnglesWrapAround)
{
    for (double angle : {0.5, -2.0, 3.0}) {
        for (int k : {-2, -1, 1, 3}) {
            const double a1 = 0.3;
            TwoLines t{{1.0, 1.0, 1.0 + 2 * std::cos(a1), 1.0 + 2 * std::sin(a1), -1.0, 2.0,
                        -1.0 + 3 * std::cos(a1 + angle), 2.0 + 3 * std::sin(a1 + angle), angle + 2 * kPi * k}};
            ConstraintL2LAngle l2l(t.l1(), t.l2(), &t.v[8]);
            EXPECT_NEAR(l2l.error(), 0.0, 1e-12) << angle << " " << k;

            double p[5] = {0.5, -0.5, 0.5 + std::cos(angle), -0.5 + std::sin(angle), angle - 0.25 + 2 * kPi * k};
            ConstraintP2PAngle p2p(Point{&p[0], &p[1]}, Point{&p[2], &p[3]}, &p[4], 0.25);
            EXPECT_NEAR(p2p.error(), 0.0, 1e-12) << angle << " " << k;
        }
    }
    // The error lies in (-pi, pi]: a direction off by 3 pi / 2 reports -pi / 2.
    TwoLines t{{0, 0, 1, 0, 0, 0, 0, -1, 0.0}};
    ConstraintL2LAngle l2l(t.l1(), t.l2(), &t.v[8]);
    EXPECT_NEAR(l2l.error(), -kPi / 2, 1e-15);
    t.v[8] = kPi / 2;  // wanted +90 degrees, have -90: off by pi
    EXPECT_NEAR(std::fabs(l2l.error()), kPi, 1e-15);
}

TEST(ConstraintError, EqualRatioAndScale)
{
    // A diameter constraint holds the radius at half the diameter.
    double rad = 5.0;
    double diameter = 10.0;
    ConstraintEqual d(&rad, &diameter, 0.5);
    EXPECT_EQ(d.error(), 0.0);
    EXPECT_EQ(d.grad(&rad), 1.0);
    EXPECT_EQ(d.grad(&diameter), -0.5);
    diameter = 12.0;
    EXPECT_EQ(d.error(), -1.0);
    d.rescale(3.0);
    EXPECT_EQ(d.error(), -3.0);
    EXPECT_EQ(d.grad(&diameter), -1.5);
    // One pointer at both positions: both derivatives add.
    ConstraintEqual self(&rad, &rad, 0.5);
    EXPECT_EQ(self.error(), 2.5);
    EXPECT_EQ(self.grad(&rad), 0.5);

    double p[5] = {0, 0, 3, 4, 4};
    ConstraintP2PDistance dist(Point{&p[0], &p[1]}, Point{&p[2], &p[3]}, &p[4]);
    EXPECT_EQ(dist.error(), 1.0);
    EXPECT_EQ(dist.grad(&p[4]), -1.0);
}

TEST(ConstraintError, ParallelAndPerpendicularAreNormalised)
{
    // Lines of lengths 2 and 5 at right angles: |cross| = 10, scale 1 / 10.
    TwoLines t{{0, 0, 2, 0, 1, 1, 1, 6, 0}};
    ConstraintParallel par(t.l1(), t.l2());
    ConstraintPerpendicular perp(t.l1(), t.l2());
    EXPECT_DOUBLE_EQ(par.scale(), 0.1);
    EXPECT_DOUBLE_EQ(std::fabs(par.error()), 1.0);
    EXPECT_DOUBLE_EQ(perp.error(), 0.0);
    // The scale stays as built until rescale.
    t.v[2] = 4;
    EXPECT_DOUBLE_EQ(par.scale(), 0.1);
    par.rescale(2.0);
    EXPECT_DOUBLE_EQ(par.scale(), 2.0 / 20.0);
    perp.rescale();
    EXPECT_DOUBLE_EQ(perp.scale(), 1.0 / 20.0);

    // A zero-length line gives an infinite scale.
    TwoLines z{{1, 1, 1, 1, 0, 0, 1, 0, 0}};
    ConstraintParallel zp(z.l1(), z.l2());
    EXPECT_TRUE(std::isinf(zp.scale()));
}

TEST(ConstraintError, CoincidentPointsHaveUndefinedDistanceGradient)
{
    double p[5] = {1, 1, 1, 1, 2};
    ConstraintP2PDistance dist(Point{&p[0], &p[1]}, Point{&p[2], &p[3]}, &p[4]);
    EXPECT_EQ(dist.error(), -2.0);
    EXPECT_TRUE(std::isnan(dist.grad(&p[0])));
}

TEST(ConstraintParams, RedirectAndRevert)
{
    double a = 1.0, b = 2.0, slot = 7.0, other = 0.0;
    ConstraintEqual c(&a, &b, 1.0);
    EXPECT_TRUE(c.params_changed());
    EXPECT_EQ(c.tag(), 0);
    EXPECT_TRUE(c.driving());
    EXPECT_EQ(c.flag(), 0);
    EXPECT_EQ(c.scale(), 1.0);
    c.clear_params_changed();

    // A map holding none of the parameters changes nothing but still marks the change.
    c.redirect_params({{&other, &slot}});
    EXPECT_TRUE(c.params_changed());
    EXPECT_EQ(c.params(), c.given_params());

    c.clear_params_changed();
    c.redirect_params({{&b, &slot}});
    EXPECT_TRUE(c.params_changed());
    EXPECT_EQ(c.params()[0], &a);
    EXPECT_EQ(c.params()[1], &slot);
    EXPECT_EQ(c.error(), -6.0);
    EXPECT_EQ(c.grad(&slot), -1.0);
    EXPECT_EQ(c.grad(&b), 0.0);

    c.clear_params_changed();
    c.revert_params();
    EXPECT_TRUE(c.params_changed());
    EXPECT_EQ(c.params(), c.given_params());
    EXPECT_EQ(c.error(), -1.0);
}

TEST(ConstraintParams, ParameterOrderOfEachClass)
{
    double v[9];
    std::vector<double*> p;
    for (double& x : v)
        p.push_back(&x);
    const Line l1(Point{p[0], p[1]}, Point{p[2], p[3]});
    const Line l2(Point{p[4], p[5]}, Point{p[6], p[7]});
    EXPECT_EQ(ConstraintEqual(p[3], p[1]).params(), (std::vector<double*>{p[3], p[1]}));
    EXPECT_EQ(ConstraintP2PDistance(Point{p[0], p[1]}, Point{p[2], p[3]}, p[8]).params(),
              (std::vector<double*>{p[0], p[1], p[2], p[3], p[8]}));
    EXPECT_EQ(ConstraintP2PAngle(Point{p[0], p[1]}, Point{p[2], p[3]}, p[8]).params(),
              (std::vector<double*>{p[0], p[1], p[2], p[3], p[8]}));
    EXPECT_EQ(ConstraintL2LAngle(l1, l2, p[8]).params(), p);
    p.pop_back();
    v[2] = 1;
    v[7] = 1;
    EXPECT_EQ(ConstraintParallel(l1, l2).params(), p);
    EXPECT_EQ(ConstraintPerpendicular(l1, l2).params(), p);
    EXPECT_EQ(ConstraintEqual(p[0], p[1]).type_id(), 1);
    EXPECT_EQ(ConstraintParallel(l1, l2).type_id(), 8);
    EXPECT_EQ(ConstraintPerpendicular(l1, l2).type_id(), 9);
    EXPECT_EQ(ConstraintL2LAngle(l1, l2, p[0]).type_id(), 10);
}

TEST(ConstraintMaxStep, BoundsOfEachClass)
{
    double v[9] = {0, 0, 3, 4, 5, 0, 0, 0, 0};
    const Point a{&v[0], &v[1]};
    const Point b{&v[2], &v[3]};
    ConstraintP2PAngle angle(a, b, &v[4]);
    EXPECT_EQ(angle.max_step({{&v[4], 0.1}}, 1e10), 1e10);
    EXPECT_DOUBLE_EQ(angle.max_step({{&v[4], -0.5}}, 1e10), kMaxAngleStep / 0.5);
    EXPECT_EQ(angle.max_step({{&v[4], -0.5}}, 0.01), 0.01);
    ConstraintL2LAngle l2l(Line(a, b), Line(Point{&v[5], &v[6]}, Point{&v[7], &v[8]}), &v[4]);
    EXPECT_DOUBLE_EQ(l2l.max_step({{&v[4], 2.0}, {&v[0], 100.0}}, 1e10), kMaxAngleStep / 2.0);

    // Distance 5 between points 5 apart.
    ConstraintP2PDistance dist(a, b, &v[4]);
    // A shrinking distance stops at zero.
    EXPECT_DOUBLE_EQ(dist.max_step({{&v[4], -2.0}}, 1e10), 2.5);
    EXPECT_EQ(dist.max_step({{&v[4], 2.0}}, 1e10), 1e10);
    // A relative point move longer than the distance and the length is cut to it.
    EXPECT_DOUBLE_EQ(dist.max_step({{&v[0], 8.0}, {&v[2], -2.0}}, 1e10), 0.5);
    EXPECT_EQ(dist.max_step({{&v[0], 4.0}}, 1e10), 1e10);
    // Both points moving together do not move relative to each other.
    EXPECT_EQ(dist.max_step({{&v[0], 40.0}, {&v[2], 40.0}}, 1e10), 1e10);

    double e[2] = {0, 0};
    ConstraintEqual eq(&e[0], &e[1]);
    EXPECT_EQ(eq.max_step({{&e[0], 1e9}}, 3.0), 3.0);
}

TEST(Geometry, CurvesGiveValuesNormalsAndDerivatives)
{
    double v[4] = {1, 2, 4, 6};
    Line line(Point{&v[0], &v[1]}, Point{&v[2], &v[3]});
    VectorAndDerivative n = line.normal_at_point(Point{&v[0], &v[1]}, &v[3]);
    EXPECT_EQ(n.x, -4.0);
    EXPECT_EQ(n.y, 3.0);
    EXPECT_EQ(n.dx, -1.0);
    EXPECT_EQ(n.dy, 0.0);
    VectorAndDerivative val = line.value_at(0.5, 1.0, &v[0]);
    EXPECT_EQ(val.x, 2.5);
    EXPECT_EQ(val.y, 4.0);
    EXPECT_EQ(val.dx, 0.5 * -1 + 3 * 1.0 + 1);
    EXPECT_EQ(val.dy, 4.0);

    double c[3] = {1, -1, 2};
    Circle circle(Point{&c[0], &c[1]}, &c[2]);
    val = circle.value_at(kPi / 2, 0.0, &c[2]);
    EXPECT_NEAR(val.x, 1.0, 1e-15);
    EXPECT_NEAR(val.y, 1.0, 1e-15);
    EXPECT_NEAR(val.dx, 0.0, 1e-15);
    EXPECT_NEAR(val.dy, 1.0, 1e-15);
    // The normal at a curve point follows the point: by the radius it moves with it.
    n = circle.normal_at(kPi / 2, 0.0, &c[2]);
    EXPECT_NEAR(n.x, 0.0, 1e-15);
    EXPECT_NEAR(n.y, -2.0, 1e-15);
    EXPECT_NEAR(n.dx, 0.0, 1e-15);
    EXPECT_NEAR(n.dy, -1.0, 1e-15);
    n = circle.normal_at(0.0, 0.0, &c[0]);
    EXPECT_EQ(n.dx, 0.0);

    std::vector<double*> out;
    EXPECT_EQ(line.push_params(out), 4);
    EXPECT_EQ(circle.push_params(out), 3);
    EXPECT_EQ(out, (std::vector<double*>{&v[0], &v[1], &v[2], &v[3], &c[0], &c[1], &c[2]}));
    std::vector<double*> swapped{&c[0], &c[1], &v[0], &v[1], &v[2], &v[3], &c[2]};
    int i = 0;
    line.rebind_params(swapped, i);
    circle.rebind_params(swapped, i);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(line.p1.x, &c[0]);
    EXPECT_EQ(circle.rad, &c[2]);
    std::unique_ptr<Curve> copy(circle.copy());
    out.clear();
    copy->push_params(out);
    EXPECT_EQ(out, (std::vector<double*>{&v[2], &v[3], &c[2]}));
}

TEST(CheckedCount, NarrowsOrThrowsTheNamedOverflow)
{
    EXPECT_EQ(checked_int(0, CountKind::constraint), 0);
    EXPECT_EQ(checked_int(2147483647u, CountKind::component), 2147483647);
    const struct {
        CountKind kind;
        const char* message;
    } cases[] = {
        {CountKind::constraint, "GCS constraint count exceeds int range"},
        {CountKind::component, "GCS component count exceeds int range"},
        {CountKind::diagnosis_parameter, "GCS diagnosis parameter count exceeds int range"},
    };
    for (const auto& c : cases) {
        try {
            checked_int(std::size_t{2147483648u}, c.kind);
            ADD_FAILURE() << c.message;
        } catch (const std::overflow_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

}  // namespace
}  // namespace GCS
