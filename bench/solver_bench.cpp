// Numeric solvers on open chains of dimensioned lines (a length and an angle per line),
// started from a perturbed solution. Each run builds a fresh subsystem over the same
// sketch, so every iteration solves the same problem. The counter "status" is the solve
// status (0 success, 1 converged, 2 failed).
#include <benchmark/benchmark.h>

#include "solver/solvers.hpp"
#include "solver/subsystem.hpp"
#include "solver/test_sketches.hpp"

namespace {

void run_chain(benchmark::State& state, GCS::Algorithm algorithm, bool size_multiplier = false)
{
    const int lines = static_cast<int>(state.range(0));
    auto sketch = vesk::test::chain(lines);
    GCS::SolverSettings settings;
    settings.debug_level = 0;
    settings.sketch_size_multiplier = size_multiplier;
    GCS::SolveStatus status = GCS::SolveStatus::failed;
    for (auto _ : state) {
        GCS::Subsystem sub(sketch->constraints, sketch->unknowns);
        status = GCS::solve(sub, static_cast<int>(algorithm), false, settings);
        benchmark::DoNotOptimize(status);
    }
    state.counters["status"] = static_cast<double>(static_cast<int>(status));
    state.counters["params"] = 2.0 * (lines + 1);
}

void BM_DogLeg(benchmark::State& state)
{
    run_chain(state, GCS::Algorithm::dog_leg);
}

void BM_LevenbergMarquardt(benchmark::State& state)
{
    run_chain(state, GCS::Algorithm::levenberg_marquardt);
}

void BM_Bfgs(benchmark::State& state)
{
    run_chain(state, GCS::Algorithm::bfgs);
}

// BFGS needs more than the default 100 iterations on large chains; the size multiplier
// lets its limit grow with the parameter count.
void BM_BfgsSizeMultiplier(benchmark::State& state)
{
    run_chain(state, GCS::Algorithm::bfgs, true);
}

}  // namespace

BENCHMARK(BM_DogLeg)->Arg(5)->Arg(20)->Arg(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LevenbergMarquardt)->Arg(5)->Arg(20)->Arg(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Bfgs)->Arg(5)->Arg(20)->Arg(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BfgsSizeMultiplier)->Arg(200)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
