#include "solver/solvers.hpp"

#include "solver/subsystem.hpp"

namespace GCS {

const char* algorithm_name(int algorithm)
{
    switch (algorithm) {
    case 0:
        return "BFGS";
    case 1:
        return "LevenbergMarquardt";
    case 2:
        return "DogLeg";
    default:
        return "";
    }
}

const char* gauss_step_name(int step)
{
    switch (step) {
    case 0:
        return "FullPivLU";
    case 1:
        return "LeastNormFullPivLU";
    case 2:
        return "LeastNormLdlt";
    default:
        return "";
    }
}

SolveStatus solve_bfgs(Subsystem&, bool, const SolverSettings&)
{
    return SolveStatus::failed;
}

SolveStatus solve_levenberg_marquardt(Subsystem&, bool, const SolverSettings&)
{
    return SolveStatus::failed;
}

SolveStatus solve_dog_leg(Subsystem&, bool, const SolverSettings&)
{
    return SolveStatus::failed;
}

SolveStatus solve(Subsystem& sub, int algorithm, bool redundant, const SolverSettings& settings)
{
    switch (algorithm) {
    case 0:
        return solve_bfgs(sub, redundant, settings);
    case 1:
        return solve_levenberg_marquardt(sub, redundant, settings);
    case 2:
        return solve_dog_leg(sub, redundant, settings);
    default:
        return SolveStatus::failed;
    }
}

double line_search(Subsystem&, const std::vector<double>&)
{
    return 0.0;
}

}  // namespace GCS
