#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "solver/constraints.hpp"
#include "solver/report.hpp"
#include "solver/solvers.hpp"
#include "solver/subsystem.hpp"
#include "solver/test_sketches.hpp"
#include "support/sanitizers.hpp"

namespace GCS {
namespace {

using vesk::test::Sketch;

struct Variant {
    const char* name;
    Algorithm algorithm;
    int gauss_step;
};

const Variant kVariants[] = {
    {"BFGS", Algorithm::bfgs, 0},
    {"LevenbergMarquardt", Algorithm::levenberg_marquardt, 0},
    {"DogLeg FullPivLU", Algorithm::dog_leg, 0},
    {"DogLeg LeastNormFullPivLU", Algorithm::dog_leg, 1},
    {"DogLeg LeastNormLdlt", Algorithm::dog_leg, 2},
};

SolverSettings settings_for(const Variant& v, int debug_level = 0)
{
    SolverSettings s;
    s.debug_level = debug_level;
    s.dog_leg_gauss_step = v.gauss_step;
    return s;
}

SolveStatus run(const Variant& v, Subsystem& sub, bool redundant = false, int debug_level = 0)
{
    return solve(sub, static_cast<int>(v.algorithm), redundant, settings_for(v, debug_level));
}

struct Problem {
    const char* name;
    std::function<std::unique_ptr<Sketch>(bool)> make;
};

const Problem kConsistent[] = {
    {"point on circle", vesk::test::point_on_circle},
    {"triangle", vesk::test::triangle},
    {"30-degree line angle", vesk::test::line_angle_30},
    {"chain of 6 lines", [](bool r) { return vesk::test::chain(6, r); }},
};

void expect_reverted(const Sketch& s)
{
    for (const Constraint* c : s.constraints)
        EXPECT_EQ(c->params(), c->given_params());
}

// Every solver reaches the solution from a perturbed start; the caller's values move only
// on apply_solution. Nothing is printed below debug level 2.
TEST(Solvers, ConsistentSketchesReachSuccess)
{
    ::testing::internal::CaptureStderr();
    for (const Problem& p : kConsistent) {
        for (const Variant& v : kVariants) {
            for (bool redundant : {false, true}) {
                const std::string where = std::string(p.name) + " / " + v.name;
                auto s = p.make(false);
                const std::vector<double> start = s->unknown_values();
                Subsystem sub(s->constraints, s->unknowns);
                EXPECT_EQ(run(v, sub, redundant, redundant ? 1 : 0), SolveStatus::success) << where;
                EXPECT_EQ(s->unknown_values(), start) << where;
                expect_reverted(*s);
                sub.apply_solution();
                EXPECT_LT(s->max_abs_error(), 1e-10) << where;
                if (std::string(p.name) == "30-degree line angle") {
                    // At 30 degrees, not at -30 or 210.
                    EXPECT_NEAR(*s->unknowns[0], 10.0 * std::cos(vesk::test::kPi / 6), 1e-9) << where;
                    EXPECT_NEAR(*s->unknowns[1], 5.0, 1e-9) << where;
                }
            }
        }
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Solvers, InconsistentPairDoesNotSucceed)
{
    ::testing::internal::CaptureStderr();
    for (const Variant& v : kVariants) {
        auto s = vesk::test::inconsistent_pair();
        Subsystem sub(s->constraints, s->unknowns);
        // BFGS stops on its step norm at the least-squares point and says so; the others
        // report failure.
        EXPECT_EQ(run(v, sub, false, 1), v.algorithm == Algorithm::bfgs ? SolveStatus::converged : SolveStatus::failed)
            << v.name;
        EXPECT_EQ(*s->unknowns[0], 0.0) << v.name;
        expect_reverted(*s);
        sub.apply_solution();
        EXPECT_GE(*s->unknowns[0], 1.0 - 1e-9) << v.name;
        EXPECT_LE(*s->unknowns[0], 2.0) << v.name;
        if (v.algorithm != Algorithm::dog_leg) {
            EXPECT_NEAR(*s->unknowns[0], 1.5, 1e-6) << v.name;
        }
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Starts every solver must get through: all values zero (Levenberg-Marquardt once took
// no step there), a sketch already solved (nothing moves), and a subsystem without
// parameters (nothing can mend an unsatisfied constraint; BFGS has nothing to do at all).
TEST(Solvers, ZeroSolvedAndEmptyStarts)
{
    for (const Variant& v : kVariants) {
        double x = 0.0, one = 1.0;
        ConstraintEqual c(&x, &one);
        Subsystem from_zero({&c}, {&x});
        EXPECT_EQ(run(v, from_zero), SolveStatus::success) << v.name;
        from_zero.apply_solution();
        EXPECT_NEAR(x, 1.0, 1e-10) << v.name;

        auto s = vesk::test::triangle();
        const double solved[6] = {0, 0, 3, 0, 3, 4};
        for (int k = 0; k < 6; ++k)
            *s->unknowns[k] = solved[k];
        Subsystem sub(s->constraints, s->unknowns);
        EXPECT_EQ(run(v, sub), SolveStatus::success) << v.name;
        std::vector<double> values;
        sub.get_params(values);
        EXPECT_EQ(values, s->unknown_values()) << v.name;

        x = 1.0;
        Subsystem none({&c}, {});
        EXPECT_EQ(run(v, none), SolveStatus::success) << v.name;
        one = 2.0;
        EXPECT_EQ(run(v, none), v.algorithm == Algorithm::bfgs ? SolveStatus::success : SolveStatus::failed) << v.name;
    }
}

// A constraint that throws after some evaluations: the exception passes through with every
// constraint pointed back at the caller's values, which are untouched.
class ThrowingConstraint : public ConstraintEqual {
public:
    ThrowingConstraint(double* p1, double* p2, int allowed) : ConstraintEqual(p1, p2, 1.0), allowed_(allowed) {}
    void evaluate(double* value, double* derivative, double* param) const override
    {
        if (--allowed_ < 0)
            throw std::runtime_error("evaluation refused");
        ConstraintEqual::evaluate(value, derivative, param);
    }

private:
    mutable int allowed_;
};

TEST(Solvers, ExceptionLeavesCallerValuesAndPointersIntact)
{
    for (const Variant& v : kVariants) {
        for (int allowed : {0, 5, 40}) {
            auto s = vesk::test::triangle();
            s->add<ThrowingConstraint>(s->unknowns[5], s->param(1.0), allowed);
            const std::vector<double> start = s->unknown_values();
            Subsystem sub(s->constraints, s->unknowns);
            EXPECT_THROW(run(v, sub), std::runtime_error) << v.name << " " << allowed;
            EXPECT_EQ(s->unknown_values(), start);
            expect_reverted(*s);
        }
    }
}

TEST(Solvers, IterationLimitsStopTheSolve)
{
    for (const Variant& v : kVariants) {
        auto s = vesk::test::chain(6);
        Subsystem sub(s->constraints, s->unknowns);
        SolverSettings set = settings_for(v);
        const int algorithm = static_cast<int>(v.algorithm);
        set.max_iter = 1;
        EXPECT_NE(solve(sub, algorithm, false, set), SolveStatus::success) << v.name;
        // The redundant mode has its own limit.
        EXPECT_EQ(solve(sub, algorithm, true, set), SolveStatus::success) << v.name;
        set.max_iter_redundant = 1;
        EXPECT_NE(solve(sub, algorithm, true, set), SolveStatus::success) << v.name;
        // With the size multiplier the limit grows with the 14 parameters.
        set.max_iter = v.algorithm == Algorithm::bfgs ? 8 : 1;
        set.sketch_size_multiplier = true;
        EXPECT_EQ(solve(sub, algorithm, false, set), SolveStatus::success) << v.name;
    }
}

// A thousand unknowns that share no constraint, each held twice at 1 from a start at 2:
// DogLeg takes several steps, and each step decomposes the thousand 2 x 1 blocks apart.
// One LU of the whole 2000 x 1000 Jacobian per step took seconds.
TEST(Solvers, DogLegDecomposesIndependentBlocksApart)
{
    constexpr int kUnknowns = 1000;
    Sketch s(false, 2 * kUnknowns);
    double* one = s.param(1.0);
    for (int i = 0; i < kUnknowns; ++i) {
        double* x = s.param(2.0, true);
        s.add<ConstraintEqual>(x, one);
        s.add<ConstraintEqual>(x, one);
    }
    Subsystem sub(s.constraints, s.unknowns);
    const double start = vesk::test::process_cpu_seconds();
    EXPECT_EQ(run(kVariants[2], sub, true), SolveStatus::success);
    const double seconds = vesk::test::process_cpu_seconds() - start;
    sub.apply_solution();
    EXPECT_LT(s.max_abs_error(), 1e-10);
    if (!vesk::test::kSanitized) {
        EXPECT_LT(seconds, 1.0);
    }
}

// An error that keeps falling along x, with a step bound of 10: the line search would
// double its step up to 1e10 if the bound did not stop it.
class FallingConstraint : public Constraint {
public:
    explicit FallingConstraint(double* x)
    {
        params_ = {x};
        init_given_params();
    }
    void evaluate(double* value, double* derivative, double* param) const override
    {
        const double e = std::exp(-*params_[0]);
        if (value)
            *value = e;
        if (derivative)
            *derivative = params_[0] == param ? -e : 0.0;
    }
    double max_step(const std::map<double*, double>&, double lim) const override { return std::min(lim, 10.0); }
};

TEST(LineSearch, StopsAtTheMaximumStepAndOnNaN)
{
    double x = 0.0;
    FallingConstraint c(&x);
    Subsystem sub({&c}, {&x});
    RedirectGuard guard(sub);
    // Doubling stops at a3 = 16 and the interpolated minimum lies beyond the bound.
    EXPECT_EQ(line_search(sub, {1.0}), 10.0);
    std::vector<double> v;
    sub.get_params(v);
    EXPECT_EQ(v[0], 10.0);
    EXPECT_EQ(x, 0.0);

    // A direction that makes the error NaN at every step does not move the values.
    double y = 1.0, fixed = 0.0;
    ConstraintP2PDistance dist(Point{&y, &fixed}, Point{&fixed, &fixed}, &fixed);
    Subsystem nan_sub({&dist}, {&y});
    RedirectGuard nan_guard(nan_sub);
    EXPECT_EQ(line_search(nan_sub, {std::nan("")}), 0.0);
}

TEST(SolverReport, LevelTwoWritesWholeLines)
{
    const struct {
        Variant variant;
        const char* first;
        const char* iteration;
    } cases[] = {
        {kVariants[0], "BFGS: convergence: 1e-10, xsize: 6, maxIter: 100\n", "BFGS, Iteration: 1, err: "},
        {kVariants[1], "LM: eps: 1e-10, eps1: 1e-80, tau: 0.001, convergence: 1e-10, xsize: 6, maxIter: 100\n",
         "LM, Iteration: 1, err(eps): "},
        {kVariants[3],
         "DL: tolg: 1e-80, tolx: 1e-80, tolf: 1e-10, convergence: 1e-10, dogLegGaussStep: LeastNormFullPivLU, xsize: 6, "
         "csize: 6, maxIter: 100\n",
         "DL, Iteration: 1, fx_inf(tolf): "},
    };
    for (const auto& c : cases) {
        auto s = vesk::test::triangle();
        Subsystem sub(s->constraints, s->unknowns);
        ::testing::internal::CaptureStderr();
        run(c.variant, sub, false, 2);
        const std::string out = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out.rfind(c.first, 0), 0u) << out;
        EXPECT_NE(out.find(c.iteration), std::string::npos) << out;
        EXPECT_EQ(out.back(), '\n');
        if (c.variant.algorithm == Algorithm::dog_leg) {
            EXPECT_NE(out.find("DL: stopcode: 1, Success\n"), std::string::npos) << out;
        }
    }
}

// Text is written as it is, never as a format; groups and sets as bracketed tag lists.
TEST(SolverReport, LogLinesOfGroupsSetsAndText)
{
    double a = 0.0;
    ConstraintEqual c1(&a, &a), c2(&a, &a), c3(&a, &a);
    c1.set_tag(4);
    c3.set_tag(12);
    SolverReport& report = SolverReport::instance();
    ::testing::internal::CaptureStderr();
    report.log_constraint_groups("Groups", {{&c1, &c2}, {&c3}});
    report.log_constraint_set("Chosen redundants", {});
    report.print("100% %s %d\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Groups:[4 0 ][12 ]\nChosen redundants: []\n100% %s %d\n");
}

// Results must not depend on where the parameters live or on other threads: eight threads,
// half of them with reversed storage, match one plain run bit for bit.
struct Outcome {
    SolveStatus status;
    std::vector<double> values;
};

std::vector<Outcome> solve_all(bool reverse)
{
    std::vector<Problem> problems(std::begin(kConsistent), std::end(kConsistent));
    problems.push_back({"chain of 40 lines", [](bool r) { return vesk::test::chain(40, r); }});
    std::vector<Outcome> out;
    for (const Variant& v : kVariants) {
        for (const Problem& p : problems) {
            auto s = p.make(reverse);
            Subsystem sub(s->constraints, s->unknowns);
            const SolveStatus status = run(v, sub);
            sub.apply_solution();
            out.push_back({status, s->unknown_values()});
        }
    }
    return out;
}

TEST(Determinism, ReversedStorageAndEightThreads)
{
    const std::vector<Outcome> reference = solve_all(false);
    std::vector<std::vector<Outcome>> results(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&results, t] { results[t] = solve_all(t % 2 == 1); });
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < 8; ++t) {
        ASSERT_EQ(results[t].size(), reference.size());
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const std::vector<double>& a = reference[i].values;
            const std::vector<double>& b = results[t][i].values;
            EXPECT_TRUE(results[t][i].status == reference[i].status && a.size() == b.size() &&
                        std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0)
                << "thread " << t << " case " << i;
        }
    }
}

}  // namespace
}  // namespace GCS
