// The numeric solvers: BFGS, Levenberg-Marquardt and DogLeg, each minimising the
// constraint errors of one subsystem. A solver never touches the caller's parameters: it
// works in the subsystem's own storage, which keeps the result until
// Subsystem::apply_solution(), and it reverts the constraints on every exit, exceptions
// included.
#pragma once

#include <vector>

namespace GCS {

class Subsystem;

enum class Algorithm : int { bfgs = 0, levenberg_marquardt = 1, dog_leg = 2 };
enum class SolveStatus : int { success = 0, converged = 1, failed = 2 };
enum class DogLegGaussStep : int { full_piv_lu = 0, least_norm_full_piv_lu = 1, least_norm_ldlt = 2 };
enum class QrAlgorithm : int { dense = 0, sparse = 1 };

// "BFGS", "LevenbergMarquardt", "DogLeg"; "" for any other value.
const char* algorithm_name(int algorithm);

// The settings the solvers read. A solve in redundant mode reads the _redundant variant of
// each.
struct SolverSettings {
    int max_iter = 100;
    int max_iter_redundant = 100;
    // When true the iteration limit is multiplied by the number of subsystem parameters.
    bool sketch_size_multiplier = false;
    bool sketch_size_multiplier_redundant = false;
    // Step-norm threshold of BFGS.
    double convergence = 1e-10;
    double convergence_redundant = 1e-10;
    // int value of DogLegGaussStep.
    int dog_leg_gauss_step = 0;
    // 0 silent; 2 adds the settings and per-iteration lines.
    int debug_level = 1;
    double lm_eps = 1e-10;
    double lm_eps1 = 1e-80;
    double lm_tau = 1e-3;
    double dl_tolg = 1e-80;
    double dl_tolx = 1e-80;
    double dl_tolf = 1e-10;
    double lm_eps_redundant = 1e-10;
    double lm_eps1_redundant = 1e-80;
    double lm_tau_redundant = 1e-3;
    double dl_tolg_redundant = 1e-80;
    double dl_tolx_redundant = 1e-80;
    double dl_tolf_redundant = 1e-10;
};

SolveStatus solve_bfgs(Subsystem& sub, bool redundant, const SolverSettings& settings);
SolveStatus solve_levenberg_marquardt(Subsystem& sub, bool redundant, const SolverSettings& settings);
SolveStatus solve_dog_leg(Subsystem& sub, bool redundant, const SolverSettings& settings);
// Dispatches on the int value of Algorithm; any other value is failed.
SolveStatus solve(Subsystem& sub, int algorithm, bool redundant, const SolverSettings& settings);

// The step length of BFGS along `direction` from the subsystem's current values; leaves the
// subsystem's values at the chosen point. The subsystem must be redirected.
double line_search(Subsystem& sub, const std::vector<double>& direction);

}  // namespace GCS
