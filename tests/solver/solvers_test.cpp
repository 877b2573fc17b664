#include <cmath>
#include <cstring>
#include <functional>
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

namespace GCS {
namespace {

using testing::Sketch;

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

using SketchFactory = std::function<std::unique_ptr<Sketch>(bool)>;

struct Problem {
    const char* name;
    SketchFactory make;
};

const Problem kConsistent[] = {
    {"point on circle", testing::point_on_circle},
    {"triangle", testing::triangle},
    {"30-degree line angle", testing::line_angle_30},
    {"chain of 6 lines", [](bool r) { return testing::chain(6, r); }},
};

void expect_reverted(const Sketch& s)
{
    for (const Constraint* c : s.constraints)
        EXPECT_EQ(c->params(), c->given_params());
}

// Every solver reaches the solution from a perturbed start; the caller's values move
// only on apply_solution.
TEST(Solvers, ConsistentSketchesReachSuccess)
{
    for (const Problem& p : kConsistent) {
        for (const Variant& v : kVariants) {
            for (bool redundant : {false, true}) {
                auto s = p.make(false);
                const std::vector<double> start = s->unknown_values();
                Subsystem sub(s->constraints, s->unknowns);
                EXPECT_EQ(run(v, sub, redundant), SolveStatus::success) << p.name << " / " << v.name;
                EXPECT_EQ(s->unknown_values(), start) << p.name << " / " << v.name;
                expect_reverted(*s);
                sub.apply_solution();
                EXPECT_NE(s->unknown_values(), start);
                EXPECT_LT(s->max_abs_error(), 1e-10) << p.name << " / " << v.name;
            }
        }
    }
    // The 30-degree line really ends at 30 degrees, not at -30 or 210.
    for (const Variant& v : kVariants) {
        auto s = testing::line_angle_30();
        Subsystem sub(s->constraints, s->unknowns);
        ASSERT_EQ(run(v, sub), SolveStatus::success);
        sub.apply_solution();
        EXPECT_NEAR(*s->unknowns[0], 10.0 * std::cos(testing::kPi / 6), 1e-9) << v.name;
        EXPECT_NEAR(*s->unknowns[1], 5.0, 1e-9) << v.name;
    }
}

TEST(Solvers, InconsistentPairDoesNotSucceed)
{
    for (const Variant& v : kVariants) {
        auto s = testing::inconsistent_pair();
        Subsystem sub(s->constraints, s->unknowns);
        const SolveStatus status = run(v, sub);
        // BFGS stops on its step norm at the least-squares point and says so; the others
        // report failure.
        EXPECT_EQ(status, v.algorithm == Algorithm::bfgs ? SolveStatus::converged : SolveStatus::failed) << v.name;
        EXPECT_EQ(*s->unknowns[0], 0.0) << v.name;
        expect_reverted(*s);
        sub.apply_solution();
        EXPECT_GE(*s->unknowns[0], 1.0 - 1e-9) << v.name;
        EXPECT_LE(*s->unknowns[0], 2.0) << v.name;
        if (v.algorithm != Algorithm::dog_leg) {
            EXPECT_NEAR(*s->unknowns[0], 1.5, 1e-6) << v.name;
        }
    }
}

// Levenberg-Marquardt from values that are all zero still takes steps.
TEST(Solvers, LevenbergMarquardtStartsFromZero)
{
    double x = 0.0;
    double one = 1.0;
    ConstraintEqual c(&x, &one);
    Subsystem sub({&c}, {&x});
    EXPECT_EQ(run(kVariants[1], sub), SolveStatus::success);
    sub.apply_solution();
    EXPECT_NEAR(x, 1.0, 1e-10);
}

// A constraint that throws after some evaluations: the solver lets the exception through
// with every constraint pointed back at the caller's values, which are untouched.
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
            auto s = testing::triangle();
            double* target = s->param(1.0, false);
            s->add<ThrowingConstraint>(s->unknowns[5], target, allowed);
            const std::vector<double> start = s->unknown_values();
            Subsystem sub(s->constraints, s->unknowns);
            EXPECT_THROW(run(v, sub), std::runtime_error) << v.name << " " << allowed;
            EXPECT_EQ(s->unknown_values(), start);
            expect_reverted(*s);
        }
    }
}

TEST(Solvers, SatisfiedSketchStaysPut)
{
    for (const Variant& v : kVariants) {
        auto s = testing::triangle();
        *s->unknowns[0] = 0.0;
        *s->unknowns[1] = 0.0;
        *s->unknowns[2] = 3.0;
        *s->unknowns[3] = 0.0;
        *s->unknowns[4] = 3.0;
        *s->unknowns[5] = 4.0;
        const std::vector<double> start = s->unknown_values();
        Subsystem sub(s->constraints, s->unknowns);
        EXPECT_EQ(run(v, sub), SolveStatus::success) << v.name;
        std::vector<double> values;
        sub.get_params(values);
        EXPECT_EQ(values, start) << v.name;
    }
}

TEST(Solvers, EmptySubsystem)
{
    double a = 1.0, b = 1.0;
    ConstraintEqual satisfied(&a, &b);
    Subsystem sub({&satisfied}, {});
    EXPECT_EQ(sub.psize(), 0);
    for (const Variant& v : kVariants)
        EXPECT_EQ(run(v, sub), SolveStatus::success) << v.name;
    // Nothing can be moved to mend an unsatisfied one; BFGS has nothing to do at all.
    b = 2.0;
    for (const Variant& v : kVariants)
        EXPECT_EQ(run(v, sub), v.algorithm == Algorithm::bfgs ? SolveStatus::success : SolveStatus::failed) << v.name;
    SolverSettings s;
    EXPECT_EQ(solve(sub, 3, false, s), SolveStatus::failed);
    EXPECT_STREQ(algorithm_name(1), "LevenbergMarquardt");
    EXPECT_STREQ(algorithm_name(7), "");
    EXPECT_STREQ(gauss_step_name(2), "LeastNormLdlt");
}

TEST(Solvers, IterationLimitsStopTheSolve)
{
    for (const Variant& v : kVariants) {
        auto s = testing::chain(6);
        Subsystem sub(s->constraints, s->unknowns);
        SolverSettings set = settings_for(v);
        set.max_iter = 1;
        EXPECT_NE(solve(sub, static_cast<int>(v.algorithm), false, set), SolveStatus::success) << v.name;
        // The redundant mode has its own limit.
        EXPECT_EQ(solve(sub, static_cast<int>(v.algorithm), true, set), SolveStatus::success) << v.name;
        set.max_iter_redundant = 1;
        EXPECT_NE(solve(sub, static_cast<int>(v.algorithm), true, set), SolveStatus::success) << v.name;
        // With the size multiplier the limit grows with the 14 parameters.
        set.max_iter = v.algorithm == Algorithm::bfgs ? 8 : 1;
        set.sketch_size_multiplier = true;
        EXPECT_EQ(solve(sub, static_cast<int>(v.algorithm), false, set), SolveStatus::success) << v.name;
        set.sketch_size_multiplier = false;
        EXPECT_NE(solve(sub, static_cast<int>(v.algorithm), false, set), SolveStatus::success) << v.name;
    }
}

// A constraint whose error keeps falling along x: the line search would double its step
// up to 1e10 if the step bound did not stop it.
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
    double max_step(const std::map<double*, double>&, double lim) const override { return std::min(lim, 16.0); }
};

TEST(LineSearch, StopsAtTheSubsystemsMaximumStep)
{
    double x = 0.0;
    FallingConstraint c(&x);
    Subsystem sub({&c}, {&x});
    RedirectGuard guard(sub);
    const double a = line_search(sub, {1.0});
    EXPECT_GT(a, 0.0);
    EXPECT_LE(a, 16.0);
    std::vector<double> v;
    sub.get_params(v);
    EXPECT_EQ(v[0], a);
    EXPECT_EQ(x, 0.0);

    // A direction that makes the error NaN at every step does not move the values.
    double y = 1.0;
    double fixed = 0.0;
    ConstraintP2PDistance dist(Point{&y, &fixed}, Point{&fixed, &fixed}, &fixed);
    Subsystem nan_sub({&dist}, {&y});
    RedirectGuard nan_guard(nan_sub);
    EXPECT_EQ(line_search(nan_sub, {std::nan("")}), 0.0);
}

TEST(SolverReport, SilentBelowLevelTwo)
{
    for (int level : {0, 1}) {
        ::testing::internal::CaptureStderr();
        for (const Variant& v : kVariants) {
            auto s = testing::triangle();
            Subsystem sub(s->constraints, s->unknowns);
            run(v, sub, false, level);
            auto bad = testing::inconsistent_pair();
            Subsystem bad_sub(bad->constraints, bad->unknowns);
            run(v, bad_sub, true, level);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << level;
    }
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
        auto s = testing::triangle();
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

TEST(SolverReport, LogLinesOfGroupsSetsAndQr)
{
    double a = 0.0, b = 0.0;
    ConstraintEqual c1(&a, &b), c2(&a, &b), c3(&a, &b);
    c1.set_tag(4);
    c2.set_tag(0);
    c3.set_tag(12);
    SolverReport& report = SolverReport::instance();
    ::testing::internal::CaptureStderr();
    report.log_constraint_groups("Analysing groups of constraints of special interest", {{&c1, &c2}, {&c3}});
    report.log_constraint_set("Chosen redundants", {&c1, &c3});
    report.log_constraint_set("Chosen redundants", {});
    report.log_qr_system("DenseQR, Threads: 1");
    report.print("100% %s %d\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Analysing groups of constraints of special interest:[4 0 ][12 ]\n"
              "Chosen redundants: [4 12 ]\n"
              "Chosen redundants: []\n"
              "DenseQR, Threads: 1\n"
              "100% %s %d\n");
}

// Results must not depend on where the parameters live or on other threads.
struct Outcome {
    SolveStatus status;
    std::vector<double> values;
};

std::vector<Outcome> solve_all(bool reverse)
{
    std::vector<Outcome> out;
    for (const Variant& v : kVariants) {
        for (const Problem& p : kConsistent) {
            auto s = p.make(reverse);
            Subsystem sub(s->constraints, s->unknowns);
            Outcome o{run(v, sub), {}};
            sub.apply_solution();
            o.values = s->unknown_values();
            out.push_back(std::move(o));
        }
        auto s = testing::chain(40, reverse);
        Subsystem sub(s->constraints, s->unknowns);
        Outcome o{run(v, sub), {}};
        sub.apply_solution();
        o.values = s->unknown_values();
        out.push_back(std::move(o));
    }
    return out;
}

void expect_bit_identical(const std::vector<Outcome>& a, const std::vector<Outcome>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].status, b[i].status) << i;
        ASSERT_EQ(a[i].values.size(), b[i].values.size()) << i;
        EXPECT_EQ(std::memcmp(a[i].values.data(), b[i].values.data(), a[i].values.size() * sizeof(double)), 0) << i;
    }
}

TEST(Determinism, ReversedParameterStorage)
{
    expect_bit_identical(solve_all(false), solve_all(true));
}

TEST(Determinism, EightThreadsSolvingCopies)
{
    const std::vector<Outcome> reference = solve_all(false);
    std::vector<std::vector<Outcome>> results(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&results, t] { results[t] = solve_all(t % 2 == 1); });
    for (std::thread& th : threads)
        th.join();
    for (const auto& r : results)
        expect_bit_identical(reference, r);
}

}  // namespace
}  // namespace GCS
