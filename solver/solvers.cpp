#include "solver/solvers.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <string>

#include <Eigen/Dense>

#include "solver/report.hpp"
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

namespace {

// "FullPivLU", "LeastNormFullPivLU", "LeastNormLdlt"; "" for any other value.
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

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Error of the first failure test: the initial error times 1e6, plus 1e12.
double diverging_limit(double initial_error)
{
    return initial_error * 1e6 + 1e12;
}

int iteration_limit(const SolverSettings& s, bool redundant, int xsize)
{
    const long long base = redundant ? s.max_iter_redundant : s.max_iter;
    const bool multiply = redundant ? s.sketch_size_multiplier_redundant : s.sketch_size_multiplier;
    const long long limit = multiply ? base * xsize : base;
    return static_cast<int>(std::clamp<long long>(limit, INT_MIN, INT_MAX));
}

template <class... Args>
std::string text(const Args&... args)
{
    std::ostringstream out;
    (out << ... << args);
    out << '\n';
    return out.str();
}

class Reporter {
public:
    explicit Reporter(int debug_level) : on_(debug_level >= 2) {}
    bool on() const { return on_; }
    template <class... Args>
    void operator()(const Args&... args) const
    {
        if (on_)
            SolverReport::instance().print(text(args...));
    }

private:
    bool on_;
};

VectorXd to_eigen(const std::vector<double>& v)
{
    VectorXd out(static_cast<Eigen::Index>(v.size()));
    for (std::size_t i = 0; i < v.size(); ++i)
        out[static_cast<Eigen::Index>(i)] = v[i];
    return out;
}

std::vector<double> to_std(const VectorXd& v)
{
    return std::vector<double>(v.data(), v.data() + v.size());
}

double inf_norm(const VectorXd& v)
{
    return v.size() == 0 ? 0.0 : v.cwiseAbs().maxCoeff();
}

// The constraint Jacobian of a subsystem, kept with its sparsity: only the entries of the
// slots each constraint uses are stored, so a large subsystem never holds rows x columns
// doubles unless a dense factorisation asks for them. Products are summed in a fixed order
// (rows, then the slots of each row), so they do not depend on the machine's cache sizes
// as blocked dense products would.
class Jacobian {
public:
    explicit Jacobian(const Subsystem& sub) : sub_(sub), rows_(sub.csize()), cols_(sub.psize())
    {
        row_start_.reserve(static_cast<std::size_t>(rows_) + 1);
        row_start_.push_back(0);
        for (int i = 0; i < rows_; ++i)
            row_start_.push_back(row_start_.back() + sub.constraint_slots(i).size());
        // For each slot, where the entries of its constraints stand among the row entries.
        col_entry_.resize(static_cast<std::size_t>(cols_));
        for (int j = 0; j < cols_; ++j)
            col_entry_[j].reserve(sub.slot_constraints(j).size());
        for (int i = 0; i < rows_; ++i) {
            const std::vector<int>& slots = sub.constraint_slots(i);
            for (std::size_t s = 0; s < slots.size(); ++s)
                col_entry_[slots[s]].push_back(row_start_[i] + s);
        }
        find_blocks();
    }

    void refresh()
    {
        sub_.calc_jacobian_entries(values_);
    }

    // A solution of J h = rhs by full-pivoting LU, as FullPivLU of the whole matrix gives
    // it. Rows and slots that share nothing split J into blocks (the lines tied together,
    // each circle on its own), and the LU of a block-diagonal matrix is the LU of each
    // block: eliminating in one block leaves the others as they were. So each block is
    // decomposed alone, with the rank threshold of the whole matrix, at the cost of its own
    // rows times its slots squared; one LU of the whole rows x slots took seconds per
    // iteration on sketches of thousands of constraints.
    VectorXd full_piv_lu_solve(const VectorXd& rhs) const
    {
        std::vector<Eigen::FullPivLU<MatrixXd>> lus;
        lus.reserve(blocks_.size());
        double max_pivot = 0.0;
        for (const Block& block : blocks_) {
            MatrixXd m = MatrixXd::Zero(static_cast<Eigen::Index>(block.rows.size()),
                                        static_cast<Eigen::Index>(block.slots.size()));
            for (std::size_t r = 0; r < block.rows.size(); ++r) {
                const int i = block.rows[r];
                const std::vector<int>& slots = sub_.constraint_slots(i);
                for (std::size_t s = 0; s < slots.size(); ++s)
                    m(static_cast<Eigen::Index>(r), slot_in_block_[slots[s]]) = values_[row_start_[i] + s];
            }
            lus.emplace_back(m);
            max_pivot = std::max(max_pivot, lus.back().maxPivot());
        }
        // Eigen's default for the whole matrix: epsilon times its diagonal size, relative
        // to its largest pivot.
        const double threshold = Eigen::NumTraits<double>::epsilon() * std::min(rows_, cols_) * max_pivot;
        VectorXd h = VectorXd::Zero(cols_);
        for (std::size_t k = 0; k < blocks_.size(); ++k) {
            const Block& block = blocks_[k];
            Eigen::FullPivLU<MatrixXd>& lu = lus[k];
            if (lu.maxPivot() > 0.0)
                lu.setThreshold(threshold / lu.maxPivot());
            VectorXd b(static_cast<Eigen::Index>(block.rows.size()));
            for (std::size_t r = 0; r < block.rows.size(); ++r)
                b[static_cast<Eigen::Index>(r)] = rhs[block.rows[r]];
            const VectorXd x = lu.solve(b);
            for (std::size_t c = 0; c < block.slots.size(); ++c)
                h[block.slots[c]] = x[static_cast<Eigen::Index>(c)];
        }
        return h;
    }

    // J v
    VectorXd times(const VectorXd& v) const
    {
        VectorXd out = VectorXd::Zero(rows_);
        for (int i = 0; i < rows_; ++i) {
            const std::vector<int>& slots = sub_.constraint_slots(i);
            for (std::size_t s = 0; s < slots.size(); ++s)
                out[i] += values_[row_start_[i] + s] * v[slots[s]];
        }
        return out;
    }

    // J^T v
    VectorXd transpose_times(const VectorXd& v) const
    {
        VectorXd out = VectorXd::Zero(cols_);
        for (int j = 0; j < cols_; ++j) {
            const std::vector<int>& users = sub_.slot_constraints(j);
            for (std::size_t k = 0; k < users.size(); ++k)
                out[j] += values_[col_entry_[j][k]] * v[users[k]];
        }
        return out;
    }

    // J^T J
    MatrixXd normal() const
    {
        MatrixXd a = MatrixXd::Zero(cols_, cols_);
        for (int i = 0; i < rows_; ++i) {
            const std::vector<int>& slots = sub_.constraint_slots(i);
            const double* row = values_.data() + row_start_[i];
            for (std::size_t p = 0; p < slots.size(); ++p)
                for (std::size_t q = 0; q < slots.size(); ++q)
                    a(slots[p], slots[q]) += row[p] * row[q];
        }
        return a;
    }

    // J J^T
    MatrixXd gram() const
    {
        MatrixXd a = MatrixXd::Zero(rows_, rows_);
        for (int j = 0; j < cols_; ++j) {
            const std::vector<int>& users = sub_.slot_constraints(j);
            const std::vector<std::size_t>& entry = col_entry_[j];
            for (std::size_t p = 0; p < users.size(); ++p)
                for (std::size_t q = 0; q < users.size(); ++q)
                    a(users[p], users[q]) += values_[entry[p]] * values_[entry[q]];
        }
        return a;
    }

private:
    // Rows and slots, each ascending, of one block; a row that uses no slot is in none.
    struct Block {
        std::vector<int> rows;
        std::vector<int> slots;
    };

    void find_blocks()
    {
        std::vector<int> root(static_cast<std::size_t>(cols_));
        for (int j = 0; j < cols_; ++j)
            root[j] = j;
        auto find = [&](int j) {
            while (root[j] != j)
                j = root[j] = root[root[j]];
            return j;
        };
        for (int i = 0; i < rows_; ++i) {
            const std::vector<int>& slots = sub_.constraint_slots(i);
            for (std::size_t s = 1; s < slots.size(); ++s) {
                const int a = find(slots[0]);
                const int b = find(slots[s]);
                if (a != b)
                    root[std::max(a, b)] = std::min(a, b);
            }
        }
        std::vector<int> block_of_root(static_cast<std::size_t>(cols_), -1);
        slot_in_block_.assign(static_cast<std::size_t>(cols_), 0);
        std::vector<int> block_of_slot(static_cast<std::size_t>(cols_));
        for (int j = 0; j < cols_; ++j) {
            int& block = block_of_root[find(j)];
            if (block < 0) {
                block = static_cast<int>(blocks_.size());
                blocks_.emplace_back();
            }
            block_of_slot[j] = block;
            slot_in_block_[j] = static_cast<Eigen::Index>(blocks_[block].slots.size());
            blocks_[block].slots.push_back(j);
        }
        for (int i = 0; i < rows_; ++i) {
            const std::vector<int>& slots = sub_.constraint_slots(i);
            if (!slots.empty())
                blocks_[block_of_slot[slots[0]]].rows.push_back(i);
        }
    }

    const Subsystem& sub_;
    int rows_;
    int cols_;
    std::vector<std::size_t> row_start_;
    std::vector<std::vector<std::size_t>> col_entry_;
    std::vector<double> values_;
    std::vector<Block> blocks_;
    std::vector<Eigen::Index> slot_in_block_;
};

VectorXd params_of(const Subsystem& sub)
{
    std::vector<double> x;
    sub.get_params(x);
    return to_eigen(x);
}

void set_params(Subsystem& sub, const VectorXd& x)
{
    sub.set_params(to_std(x));
}

VectorXd residual(const Subsystem& sub, double& err)
{
    std::vector<double> r;
    sub.calc_residual(r, err);
    return to_eigen(r);
}

VectorXd gradient(const Subsystem& sub)
{
    std::vector<double> g;
    sub.calc_grad(g);
    return to_eigen(g);
}

}  // namespace

double line_search(Subsystem& sub, const std::vector<double>& direction)
{
    std::vector<double> x0;
    sub.get_params(x0);
    std::vector<double> x(x0.size());
    auto f = [&](double a) {
        for (std::size_t i = 0; i < x0.size(); ++i)
            x[i] = x0[i] + a * direction[i];
        sub.set_params(x);
        return sub.error();
    };

    const double a_max = sub.max_step(direction);
    double a1 = 0.0;
    double f1 = f(a1);
    double a2 = 1.0;
    double f2 = f(a2);
    double a3 = 2.0;
    double f3 = f(a3);
    while (f2 > f1 || f2 > f3) {
        if (f2 > f1) {
            a3 = a2;
            f3 = f2;
            a2 *= 0.5;
            f2 = f(a2);
        } else {
            if (a3 >= a_max)
                break;
            a2 = a3;
            f2 = f3;
            a3 *= 2.0;
            f3 = f(a3);
        }
    }

    double a_star = a2 + (a2 - a1) * (f1 - f3) / (3.0 * (f1 - 2.0 * f2 + f3));
    if (a_star >= a3 || a_star <= 0.0)
        a_star = a2;
    // Before the minimum: std::min(a_max, NaN) would give a_max, a huge step.
    if (std::isnan(a_star))
        a_star = 0.0;
    a_star = std::min(a_max, a_star);
    f(a_star);
    return a_star;
}

SolveStatus solve_bfgs(Subsystem& sub, bool redundant, const SolverSettings& s)
{
    const int xsize = sub.psize();
    if (xsize == 0)
        return SolveStatus::success;

    RedirectGuard guard(sub);
    const Reporter report(s.debug_level);
    const int max_iter = iteration_limit(s, redundant, xsize);
    const double convergence = redundant ? s.convergence_redundant : s.convergence;
    constexpr double small_error = 1e-20;

    report("BFGS: convergence: ", convergence, ", xsize: ", xsize, ", maxIter: ", max_iter);

    MatrixXd D = MatrixXd::Identity(xsize, xsize);
    VectorXd x = params_of(sub);
    const double diverging = diverging_limit(sub.error());
    VectorXd grad = gradient(sub);
    VectorXd xdir = -grad;
    line_search(sub, to_std(xdir));
    double err = sub.error();
    VectorXd x_new = params_of(sub);
    VectorXd h = x_new - x;
    x = x_new;

    for (int iter = 1; iter < max_iter; ++iter) {
        if (h.norm() <= convergence || err <= small_error) {
            report("BFGS Converged!!: ", ", err: ", err, ", h_norm: ", h.norm());
            break;
        }
        if (err > diverging || std::isnan(err)) {
            report("BFGS Failed: Diverging!!: ", err, ", divergingLim: ", diverging);
            return SolveStatus::failed;
        }

        VectorXd y = grad;
        grad = gradient(sub);
        y = grad - y;

        double hty = h.dot(y);
        if (hty == 0.0)
            hty = 1e-10;
        const VectorXd Dy = D * y;
        const double ytDy = y.dot(Dy);
        // Inverse-Hessian update, in place: temporaries of the matrix's size would cost
        // more than the update itself.
        const double c1 = (1.0 + ytDy / hty) / hty;
        const double c2 = 1.0 / hty;
        for (int j = 0; j < xsize; ++j)
            for (int i = 0; i < xsize; ++i)
                D(i, j) += c1 * (h[i] * h[j]) - c2 * (h[i] * Dy[j] + Dy[i] * h[j]);

        xdir = -D * grad;
        line_search(sub, to_std(xdir));
        err = sub.error();
        x_new = params_of(sub);
        h = x_new - x;
        x = x_new;
        report("BFGS, Iteration: ", iter, ", err: ", err, ", h_norm: ", h.norm());
    }

    if (err <= small_error)
        return SolveStatus::success;
    if (h.norm() <= convergence)
        return SolveStatus::converged;
    return SolveStatus::failed;
}

SolveStatus solve_levenberg_marquardt(Subsystem& sub, bool redundant, const SolverSettings& s)
{
    const int xsize = sub.psize();
    RedirectGuard guard(sub);
    const Reporter report(s.debug_level);
    const int max_iter = iteration_limit(s, redundant, xsize);
    const double eps = redundant ? s.lm_eps_redundant : s.lm_eps;
    const double eps1 = redundant ? s.lm_eps1_redundant : s.lm_eps1;
    const double tau = redundant ? s.lm_tau_redundant : s.lm_tau;
    const double convergence = redundant ? s.convergence_redundant : s.convergence;

    report("LM: eps: ", eps, ", eps1: ", eps1, ", tau: ", tau, ", convergence: ", convergence,
           ", xsize: ", xsize, ", maxIter: ", max_iter);

    VectorXd x = params_of(sub);
    double half_err = 0.0;
    VectorXd e = residual(sub, half_err);
    // Plain squared norm.
    double err = e.squaredNorm();
    const double diverging = diverging_limit(err);

    Jacobian J(sub);
    double mu = 0.0;
    double nu = 2.0;
    int stop = 0;
    int iter = 0;
    while (stop == 0) {
        if (iter >= max_iter) {
            stop = 5;
            break;
        }
        if (err <= eps * eps) {
            stop = 1;
            break;
        }
        if (err > diverging || std::isnan(err)) {
            stop = 6;
            break;
        }

        J.refresh();
        const MatrixXd A = J.normal();
        const VectorXd g = J.transpose_times(e);
        const double g_inf = inf_norm(g);
        if (g_inf <= eps1) {
            stop = 2;
            break;
        }
        if (iter == 0)
            mu = tau * (xsize == 0 ? 0.0 : A.diagonal().cwiseAbs().maxCoeff());

        VectorXd h = VectorXd::Zero(xsize);
        for (int attempt = 0; attempt < 50; ++attempt) {
            MatrixXd damped = A;
            damped.diagonal().array() += mu;
            h = damped.ldlt().solve(-g);
            const double rel_error = (damped * h + g).norm() / g.norm();
            bool accepted = false;
            if (rel_error < 1e-5) {
                const double step = sub.max_step(to_std(h));
                if (step < 1.0)
                    h *= step;
                const double x_norm = x.norm();
                const double h_norm = h.norm();
                if (h_norm <= eps1 * eps1 * x_norm) {
                    stop = 3;
                    break;
                }
                // A step beyond any precision of the values means a singular system. At
                // x = 0 the values give no scale, and every step would count as such.
                if (h_norm >= (std::max(x_norm, 1.0) + eps1) * 2.028240960365167e31) {
                    stop = 4;
                    break;
                }
                const VectorXd x_new = x + h;
                set_params(sub, x_new);
                VectorXd e_new = residual(sub, half_err);
                const double err_new = e_new.squaredNorm();
                const double dF = err - err_new;
                const double dL = h.dot(mu * h - g);
                if (dF > 0.0 && dL > 0.0) {
                    const double t = 2.0 * dF / dL - 1.0;
                    mu *= std::max(1.0 / 3.0, 1.0 - t * t * t);
                    nu = 2.0;
                    x = x_new;
                    e = std::move(e_new);
                    err = err_new;
                    accepted = true;
                } else {
                    set_params(sub, x);
                }
            }
            if (accepted)
                break;
            mu *= nu;
            nu *= 2.0;
        }
        ++iter;
        report("LM, Iteration: ", iter, ", err(eps): ", err, ", g_inf(eps1): ", g_inf, ", h_norm: ", h.norm());
    }
    return stop == 1 ? SolveStatus::success : SolveStatus::failed;
}

SolveStatus solve_dog_leg(Subsystem& sub, bool redundant, const SolverSettings& s)
{
    const int xsize = sub.psize();
    const int csize = sub.csize();
    RedirectGuard guard(sub);
    const Reporter report(s.debug_level);
    const int max_iter = iteration_limit(s, redundant, xsize);
    const double tolg = redundant ? s.dl_tolg_redundant : s.dl_tolg;
    const double tolx = redundant ? s.dl_tolx_redundant : s.dl_tolx;
    const double tolf = redundant ? s.dl_tolf_redundant : s.dl_tolf;
    const double convergence = redundant ? s.convergence_redundant : s.convergence;
    const int gauss_step = s.dog_leg_gauss_step;

    report("DL: tolg: ", tolg, ", tolx: ", tolx, ", tolf: ", tolf, ", convergence: ", convergence,
           ", dogLegGaussStep: ", gauss_step_name(gauss_step), ", xsize: ", xsize, ", csize: ", csize,
           ", maxIter: ", max_iter);

    VectorXd x = params_of(sub);
    double err = 0.0;
    VectorXd fx = residual(sub, err);
    Jacobian J(sub);
    J.refresh();
    VectorXd g = -J.transpose_times(fx);
    double g_inf = inf_norm(g);
    double fx_inf = inf_norm(fx);
    const double diverging = diverging_limit(err);

    double delta = 0.1;
    double nu = 2.0;
    int reduce = 0;
    int stop = 0;
    int iter = 0;
    while (stop == 0) {
        if (fx_inf <= tolf) {
            stop = 1;
        } else if (g_inf <= tolg) {
            stop = 2;
        } else if (delta <= tolx * (tolx + x.norm())) {
            stop = 2;
        } else if (iter >= max_iter) {
            stop = 4;
        } else if (err > diverging || std::isnan(err)) {
            stop = 6;
        } else {
            const VectorXd Jg = J.times(g);
            const double alpha = g.squaredNorm() / Jg.squaredNorm();
            const VectorXd h_sd = alpha * g;

            VectorXd h_gn;
            if (gauss_step == 1) {
                h_gn = J.transpose_times(Eigen::FullPivLU<MatrixXd>(J.gram()).solve(-fx));
            } else if (gauss_step == 2) {
                h_gn = J.transpose_times(J.gram().ldlt().solve(-fx));
            } else {
                h_gn = J.full_piv_lu_solve(-fx);
            }
            const double rel_error = (J.times(h_gn) + fx).norm() / fx.norm();
            if (rel_error > 1e15)
                break;

            VectorXd h_dl;
            const double x_norm = x.norm();
            if (h_gn.norm() < delta) {
                h_dl = h_gn;
                if (h_dl.norm() <= tolx * (tolx + x_norm)) {
                    stop = 5;
                    break;
                }
            } else if (alpha * g.norm() >= delta) {
                h_dl = (delta / (alpha * g.norm())) * h_sd;
            } else {
                // The point at distance delta on the segment from h_sd to h_gn.
                const VectorXd b_a = h_gn - h_sd;
                const double c = h_sd.dot(b_a);
                const double b_a_sq = b_a.squaredNorm();
                const double rest = delta * delta - h_sd.squaredNorm();
                const double root = std::sqrt(c * c + b_a_sq * rest);
                const double beta = c <= 0.0 ? (-c + root) / b_a_sq : rest / (c + root);
                h_dl = h_sd + beta * b_a;
            }

            const VectorXd x_new = x + h_dl;
            set_params(sub, x_new);
            double err_new = 0.0;
            VectorXd fx_new = residual(sub, err_new);
            const double dL = err - 0.5 * (fx + J.times(h_dl)).squaredNorm();
            const double dF = err - err_new;
            double rho = dL / dF;
            if (dF > 0.0 && dL > 0.0) {
                x = x_new;
                fx = std::move(fx_new);
                err = err_new;
                J.refresh();
                g = -J.transpose_times(fx);
                g_inf = inf_norm(g);
                fx_inf = inf_norm(fx);
            } else {
                set_params(sub, x);
                rho = -1.0;
            }

            const double h_norm = h_dl.norm();
            if (std::fabs(rho - 1.0) < 0.2 && h_norm > delta / 3.0 && reduce <= 0) {
                delta = 3.0 * delta;
                nu = 2.0;
                reduce = 0;
            } else if (rho < 0.25) {
                delta = delta / nu;
                nu = 2.0 * nu;
                reduce = 2;
            } else {
                --reduce;
            }
            ++iter;
            report("DL, Iteration: ", iter, ", fx_inf(tolf): ", fx_inf, ", g_inf(tolg): ", g_inf,
                   ", delta(f(tolx)): ", delta, ", err(divergingLim): ", err);
        }
    }
    report("DL: stopcode: ", stop, stop == 1 ? ", Success" : ", Failed");
    return stop == 1 ? SolveStatus::success : SolveStatus::failed;
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

}  // namespace GCS
