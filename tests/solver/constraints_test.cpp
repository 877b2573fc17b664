#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "solver/checked_cast.hpp"
#include "solver/constraints.hpp"
#include "solver/geometry.hpp"
#include "solver/subsystem.hpp"
#include "solver/test_sketches.hpp"

namespace GCS {
namespace {

using vesk::test::kPi;

// Builds a constraint over the pointers of a parameter pool, one per constructor position
// (positions may share a parameter).
using Builder = std::function<std::unique_ptr<Constraint>(const std::vector<double*>&)>;

struct ConstraintCase {
    std::string name;
    int arity;
    bool angular;  // compare finite differences modulo 2 pi
    Builder build;
};

Point pt(const std::vector<double*>& p, int i)
{
    return Point{p[i], p[i + 1]};
}

Line ln(const std::vector<double*>& p, int i)
{
    return Line(pt(p, i), pt(p, i + 2));
}

// Every class at 25 seeded configurations, with distinct parameters and with the last
// position sharing the first one's parameter (its derivative sums both positions). The
// pool holds one parameter more than the constraint uses: its derivative must be 0.
TEST(ConstraintGradient, MatchesFiniteDifferences)
{
    using P = const std::vector<double*>&;
    const std::vector<ConstraintCase> cases = {
        {"Equal", 2, false, [](P p) { return std::make_unique<ConstraintEqual>(p[0], p[1], 1.0); }},
        {"Diameter", 2, false, [](P p) { return std::make_unique<ConstraintEqual>(p[0], p[1], 0.5); }},
        {"P2PDistance", 5, false, [](P p) { return std::make_unique<ConstraintP2PDistance>(pt(p, 0), pt(p, 2), p[4]); }},
        {"P2PAngle", 5, true, [](P p) { return std::make_unique<ConstraintP2PAngle>(pt(p, 0), pt(p, 2), p[4], 0.3); }},
        {"Parallel", 8, false, [](P p) { return std::make_unique<ConstraintParallel>(ln(p, 0), ln(p, 4)); }},
        {"Perpendicular", 8, false, [](P p) { return std::make_unique<ConstraintPerpendicular>(ln(p, 0), ln(p, 4)); }},
        {"L2LAngle", 9, true, [](P p) { return std::make_unique<ConstraintL2LAngle>(ln(p, 0), ln(p, 4), p[8]); }},
    };
    for (const ConstraintCase& cc : cases) {
        for (bool aliased : {false, true}) {
            std::mt19937 rng(1234);
            std::uniform_real_distribution<double> coord(-10.0, 10.0);
            int checked = 0;
            for (int trial = 0; checked < 25 && trial < 1000; ++trial) {
                std::vector<double> pool(cc.arity + 1);
                for (double& v : pool)
                    v = coord(rng);
                std::vector<double*> used;
                for (int i = 0; i < cc.arity; ++i)
                    used.push_back(&pool[i]);
                if (aliased)
                    used[cc.arity - 1] = used[0];
                // Lines and distances well away from zero length, where derivatives blow up.
                bool degenerate = false;
                for (int k = 0; cc.arity >= 5 && k + 3 < std::min(cc.arity, 8); k += 4)
                    degenerate = degenerate || std::hypot(*used[k] - *used[k + 2], *used[k + 1] - *used[k + 3]) < 1.0;
                if (degenerate)
                    continue;
                ++checked;
                auto c = cc.build(used);
                for (double& v : pool) {
                    const double saved = v;
                    v = saved + 1e-6;
                    const double plus = c->error();
                    v = saved - 1e-6;
                    double diff = plus - c->error();
                    v = saved;
                    if (cc.angular)
                        diff = std::remainder(diff, 2.0 * kPi);
                    const double analytic = c->grad(&v);
                    EXPECT_NEAR(analytic, diff / 2e-6, 1e-6 * std::max(1.0, std::fabs(analytic)))
                        << cc.name << (aliased ? " aliased" : "") << " trial " << trial << " param " << (&v - pool.data());
                }
            }
            EXPECT_EQ(checked, 25) << cc.name;
        }
    }
}

std::vector<double*> ptrs(double* v, int n)
{
    std::vector<double*> p;
    for (int i = 0; i < n; ++i)
        p.push_back(v + i);
    return p;
}

// Lines at (angle + 2 pi k) satisfy the angle constraints; the error lies in (-pi, pi].
TEST(ConstraintError, AnglesWrapAround)
{
    const double a1 = 0.3;
    for (double angle : {0.5, -2.0, 3.0}) {
        for (int k : {-2, -1, 1, 3}) {
            double v[9] = {1.0, 1.0, 1.0 + 2 * std::cos(a1), 1.0 + 2 * std::sin(a1), -1.0, 2.0,
                           -1.0 + 3 * std::cos(a1 + angle), 2.0 + 3 * std::sin(a1 + angle), angle + 2 * kPi * k};
            const std::vector<double*> p = ptrs(v, 9);
            EXPECT_NEAR(ConstraintL2LAngle(ln(p, 0), ln(p, 4), p[8]).error(), 0.0, 1e-12) << angle << " " << k;
            v[8] = angle + a1 - 0.25 + 2 * kPi * k;
            EXPECT_NEAR(ConstraintP2PAngle(pt(p, 4), pt(p, 6), p[8], 0.25).error(), 0.0, 1e-12) << angle << " " << k;
        }
    }
    double v[9] = {0, 0, 1, 0, 0, 0, 0, -1, 0.0};  // l2 at -90 degrees to l1
    const std::vector<double*> p = ptrs(v, 9);
    ConstraintL2LAngle l2l(ln(p, 0), ln(p, 4), p[8]);
    EXPECT_NEAR(l2l.error(), -kPi / 2, 1e-15);
    v[8] = kPi / 2;
    EXPECT_NEAR(std::fabs(l2l.error()), kPi, 1e-15);
}

TEST(ConstraintError, ParallelAndPerpendicularAreNormalised)
{
    // Lines of lengths 2 and 5 at right angles: |cross| = 10, scale 1 / 10.
    double v[8] = {0, 0, 2, 0, 1, 1, 1, 6};
    const std::vector<double*> p = ptrs(v, 8);
    ConstraintParallel par(ln(p, 0), ln(p, 4));
    ConstraintPerpendicular perp(ln(p, 0), ln(p, 4));
    EXPECT_DOUBLE_EQ(par.scale(), 0.1);
    EXPECT_DOUBLE_EQ(std::fabs(par.error()), 1.0);
    EXPECT_DOUBLE_EQ(perp.error(), 0.0);
    // The scale stays as built until rescale, which takes the current lengths.
    v[2] = 4;
    EXPECT_DOUBLE_EQ(par.scale(), 0.1);
    par.rescale(2.0);
    perp.rescale();
    EXPECT_DOUBLE_EQ(par.scale(), 2.0 / 20.0);
    EXPECT_DOUBLE_EQ(perp.scale(), 1.0 / 20.0);
    // A zero-length line gives an infinite scale.
    v[2] = 0;
    EXPECT_TRUE(std::isinf(ConstraintParallel(ln(p, 0), ln(p, 4)).scale()));
}

TEST(ConstraintParams, RedirectAndRevert)
{
    double a = 1.0, b = 2.0, slot = 7.0, other = 0.0;
    ConstraintEqual c(&a, &b, 1.0);
    // A map holding none of the parameters changes nothing but still marks the change.
    c.clear_params_changed();
    c.redirect_params({{&other, &slot}});
    EXPECT_TRUE(c.params_changed());
    EXPECT_EQ(c.params(), c.given_params());
    c.redirect_params({{&b, &slot}});
    EXPECT_EQ(c.error(), -6.0);
    EXPECT_EQ(c.grad(&slot), -1.0);
    EXPECT_EQ(c.grad(&b), 0.0);
    c.clear_params_changed();
    c.revert_params();
    EXPECT_TRUE(c.params_changed());
    EXPECT_EQ(c.error(), -1.0);
}

// Step bounds through a subsystem, whose bound is the smallest of its constraints': a
// distance d = 4 between points 5 apart and a point angle over (p1, p2, d), and a line
// angle over its own angle w.
TEST(ConstraintMaxStep, BoundsOfEachClassAndTheirMinimum)
{
    double v[10] = {0, 0, 3, 4, 4, 0, 0, 1, 0, 0};
    const Point p1{&v[0], &v[1]}, p2{&v[2], &v[3]};
    ConstraintP2PDistance dist(p1, p2, &v[4]);
    ConstraintP2PAngle angle(p1, p2, &v[4]);
    ConstraintL2LAngle l2l(Line(p1, p2), Line(Point{&v[5], &v[6]}, Point{&v[7], &v[8]}), &v[9]);
    ConstraintEqual equal(&v[0], &v[1]);
    Subsystem sub({&dist, &angle, &l2l, &equal}, {&v[0], &v[1], &v[2], &v[3], &v[4], &v[9]});
    RedirectGuard guard(sub);
    const struct {
        std::vector<double> direction;  // p1.x, p1.y, p2.x, p2.y, d, w
        double bound;
    } cases[] = {
        {{1e9, 0, 1e9, 0, 0, 0}, 1e10},           // points moving together: no bound
        {{0, 0, 0, 0, -10.0, 0}, kMaxAngleStep / 10.0},  // angle bound below distance's 0.4
        {{0, 0, 0, 0, -0.1, 0}, 40.0},            // the distance stops at zero
        {{0, 0, 0, 0, 0.1, 0}, 1e10},             // a growing distance, an angle step below 10 degrees
        {{0, 0, 0, 0, 0, -2.0}, kMaxAngleStep / 2.0},
        {{8.0, 0, -2.0, 0, 0, 0}, 0.5},           // relative move of 10: the larger of length and distance
        {{3.0, 0, 0, 0, 0, 0}, 1e10},             // relative move shorter than the distance
        {{100.0, 0, 0, 0, 0, -1.0}, 0.05},        // an earlier, smaller bound holds
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(sub.max_step(c.direction), c.bound) << c.direction[0] << " " << c.direction[4];
}

TEST(Geometry, CurvesGiveValuesNormalsAndDerivatives)
{
    double v[7] = {1, 2, 4, 6, 1, -1, 2};
    const Line line(Point{&v[0], &v[1]}, Point{&v[2], &v[3]});
    const Circle circle(Point{&v[4], &v[5]}, &v[6]);
    auto expect_at = [](const VectorAndDerivative& r, double x, double y) {
        EXPECT_NEAR(r.x, x, 1e-15);
        EXPECT_NEAR(r.y, y, 1e-15);
    };
    expect_at(line.value_at(0.5, 0.0, nullptr), 2.5, 4.0);
    expect_at(line.normal_at(0.5, 0.0, nullptr), -4.0, 3.0);  // the left normal
    expect_at(circle.value_at(kPi / 2, 0.0, nullptr), 1.0, 1.0);
    expect_at(circle.normal_at(kPi / 2, 0.0, nullptr), 0.0, -2.0);  // towards the centre
    std::vector<double*> out;
    EXPECT_EQ(line.push_params(out) + circle.push_params(out), 7);
    EXPECT_EQ(out, ptrs(v, 7));

    // Derivatives by u and by every parameter against central differences.
    const double h = 1e-6, u = 0.7;
    for (const Curve* curve : {static_cast<const Curve*>(&line), static_cast<const Curve*>(&circle)}) {
        std::vector<double*> params;
        curve->push_params(params);
        for (bool normal : {false, true}) {
            SCOPED_TRACE(normal ? "normal" : "value");
            auto f = [&](double at, double du, double* by) {
                return normal ? curve->normal_at(at, du, by) : curve->value_at(at, du, by);
            };
            auto expect_derivative = [&](const VectorAndDerivative& a, const VectorAndDerivative& plus,
                                         const VectorAndDerivative& minus) {
                EXPECT_NEAR(a.dx, (plus.x - minus.x) / (2 * h), 1e-8);
                EXPECT_NEAR(a.dy, (plus.y - minus.y) / (2 * h), 1e-8);
            };
            expect_derivative(f(u, 1.0, nullptr), f(u + h, 0.0, nullptr), f(u - h, 0.0, nullptr));
            for (double* p : params) {
                SCOPED_TRACE(p - v);
                const double saved = *p;
                *p = saved + h;
                const VectorAndDerivative plus = f(u, 0.0, nullptr);
                *p = saved - h;
                const VectorAndDerivative minus = f(u, 0.0, nullptr);
                *p = saved;
                expect_derivative(f(u, 0.0, p), plus, minus);
            }
        }
    }
}

TEST(CheckedCount, NarrowsOrThrowsTheNamedOverflow)
{
    EXPECT_EQ(checked_int(2147483647u, CountKind::component), 2147483647);
    const std::pair<CountKind, const char*> cases[] = {
        {CountKind::constraint, "GCS constraint count exceeds int range"},
        {CountKind::component, "GCS component count exceeds int range"},
        {CountKind::diagnosis_parameter, "GCS diagnosis parameter count exceeds int range"},
    };
    for (const auto& [kind, message] : cases) {
        try {
            checked_int(std::size_t{2147483648u}, kind);
            ADD_FAILURE() << message;
        } catch (const std::overflow_error& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

}  // namespace
}  // namespace GCS
