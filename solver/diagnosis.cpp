// Rank diagnosis of a sketch: degrees of freedom, conflicting and redundant constraints,
// and the parameters that depend on each other.
//
// The Jacobian (rows: the driving constraints of tag 0 or more, columns: the diagnosed
// unknowns) is decomposed transposed, so that the columns beyond the numerical rank are
// constraints that depend on the pivot constraints; each such column and the pivots it
// leans on form a group. A greedy cover picks one candidate per group; a re-solve without
// the picks tells whether a pick is merely redundant (satisfied anyway) or conflicting.
// A second thread decomposes the Jacobian itself to group dependent parameters. The
// decompositions themselves live in diagnosis_qr.cpp.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "solver/checked_cast.hpp"
#include "solver/diagnosis_qr.hpp"
#include "solver/report.hpp"
#include "solver/system.hpp"

namespace GCS {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct DiagnosisJacobian {
    int rows = 0;
    int cols = 0;
    // Exactly one of the two is filled, by the path the decomposition takes.
    Eigen::MatrixXd dense;
    SparseMatrix sparse;
    // J row -> index into the system's constraints.
    std::vector<std::size_t> row_constraint;
    std::map<int, int> tag_multiplicity;
};

enum class JacobianForm { dense, sparse, none };

// Built constraint by constraint from each constraint's own parameters, so the sparse
// path never holds rows x columns doubles.
DiagnosisJacobian build_diagnosis_jacobian(const std::vector<Constraint*>& constraints,
                                           const std::vector<double*>& params, JacobianForm form)
{
    DiagnosisJacobian jac;
    jac.cols = static_cast<int>(params.size());

    // A parameter declared twice is two columns with equal entries.
    std::unordered_map<const double*, int> first_column;
    std::vector<int> next_same_column(params.size(), -1);
    {
        std::unordered_map<const double*, int> last_column;
        for (int j = 0; j < jac.cols; ++j) {
            auto [it, inserted] = last_column.emplace(params[j], j);
            if (inserted) {
                first_column.emplace(params[j], j);
            } else {
                next_same_column[it->second] = j;
                it->second = j;
            }
        }
    }

    std::vector<Eigen::Triplet<double, int>> entries;
    for (std::size_t ci = 0; ci < constraints.size(); ++ci) {
        Constraint* c = constraints[ci];
        c->revert_params();
        if (c->tag() < 0 || !c->driving())
            continue;
        const int row = jac.rows++;
        jac.row_constraint.push_back(ci);
        auto [mult, inserted] = jac.tag_multiplicity.emplace(c->tag(), 0);
        if (!inserted)
            ++mult->second;

        const std::vector<double*>& cp = c->params();
        for (std::size_t k = 0; k < cp.size(); ++k) {
            // grad() already sums every position of a parameter; take each pointer once.
            if (std::find(cp.begin(), cp.begin() + k, cp[k]) != cp.begin() + k)
                continue;
            auto col = first_column.find(cp[k]);
            if (col == first_column.end())
                continue;
            const double g = c->grad(cp[k]);
            if (!std::isfinite(g))
                throw std::runtime_error("GCS diagnosis Jacobian is not finite");
            if (g == 0.0)
                continue;
            for (int j = col->second; j >= 0; j = next_same_column[j])
                entries.emplace_back(row, j, g);
        }
    }

    if (form == JacobianForm::dense) {
        jac.dense = Eigen::MatrixXd::Zero(jac.rows, jac.cols);
        for (const auto& e : entries)
            jac.dense(e.row(), e.col()) = e.value();
    } else if (form == JacobianForm::sparse) {
        jac.sparse.resize(jac.rows, jac.cols);
        jac.sparse.setFromTriplets(entries.begin(), entries.end());
        jac.sparse.makeCompressed();
    }
    return jac;
}

std::string qr_log_line(const char* kind, double threshold, int params, int constraints, int rank)
{
    std::ostringstream line;
    line << kind << ", Threads: " << 1 << ", Vectorization: On";
    if (params == 0)
        line << ", Empty Sketch, nothing to solve";
    else
        line << ", Pivot Threshold: " << threshold << ", Params: " << params << ", Constr: " << constraints
             << ", Rank: " << rank;
    return line.str();
}

struct DependentParameters {
    std::vector<double*> params;
    std::vector<std::vector<double*>> groups;
    double seconds = 0.0;
};

DependentParameters identify_dependent_parameters(const PivotRows& r, const std::vector<double*>& params)
{
    DependentParameters out;
    const std::vector<std::vector<int>> pivots = eliminate_above_pivots(r);
    out.groups.resize(pivots.size());
    for (std::size_t g = 0; g < pivots.size(); ++g) {
        for (int i : pivots[g])
            out.groups[g].push_back(params[r.col_perm[i]]);
        out.groups[g].push_back(params[r.col_perm[r.rank + g]]);
        out.params.insert(out.params.end(), out.groups[g].begin(), out.groups[g].end());
    }
    return out;
}

DependentParameters run_dependent_parameters_dense(const Eigen::MatrixXd& j, const std::vector<double*>& params,
                                                   double threshold)
{
    const Clock::time_point start = Clock::now();
    DependentParameters out = identify_dependent_parameters(qr_decompose_dense(j, threshold), params);
    out.seconds = seconds_since(start);
    return out;
}

DependentParameters run_dependent_parameters_sparse(const SparseMatrix& j, const std::vector<double*>& params,
                                                    double threshold)
{
    const Clock::time_point start = Clock::now();
    DependentParameters out = identify_dependent_parameters(qr_decompose_sparse(j, threshold), params);
    out.seconds = seconds_since(start);
    return out;
}

// Groups of constraint indices from the decomposition of the transposed Jacobian.
std::vector<std::vector<std::size_t>> conflict_groups(const PivotRows& r, const std::vector<std::size_t>& row_constraint)
{
    const std::vector<std::vector<int>> pivots = eliminate_above_pivots(r);
    std::vector<std::vector<std::size_t>> groups(pivots.size());
    for (std::size_t g = 0; g < pivots.size(); ++g) {
        for (int i : pivots[g])
            groups[g].push_back(row_constraint[r.col_perm[i]]);
        groups[g].push_back(row_constraint[r.col_perm[r.rank + g]]);
    }
    return groups;
}

// Greedy cover of the groups by candidates (tag not 0, flag not 1): repeatedly the
// candidate in most unsatisfied groups; ties to the smaller multiplicity of its tag, then
// the larger tag, then the earlier added constraint. Returns constraint indices in the
// order they were picked.
std::vector<std::size_t> choose_redundant_candidates(const std::vector<std::vector<std::size_t>>& groups,
                                                     const std::vector<Constraint*>& constraints,
                                                     const std::map<int, int>& tag_multiplicity)
{
    struct Candidate {
        std::size_t index;
        int tag;
        int multiplicity;
        int unsatisfied_groups;
        std::vector<std::size_t> groups;
    };
    std::vector<Candidate> candidates;
    std::unordered_map<std::size_t, std::size_t> slot;  // constraint index -> candidates
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (std::size_t ci : groups[g]) {
            const Constraint* c = constraints[ci];
            if (c->tag() == 0 || c->flag() == 1)
                continue;
            auto [it, inserted] = slot.emplace(ci, candidates.size());
            if (inserted)
                candidates.push_back({ci, c->tag(), tag_multiplicity.at(c->tag()), 0, {}});
            Candidate& cand = candidates[it->second];
            ++cand.unsatisfied_groups;
            cand.groups.push_back(g);
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.index < b.index; });
    slot.clear();
    for (std::size_t k = 0; k < candidates.size(); ++k)
        slot.emplace(candidates[k].index, k);

    std::vector<bool> satisfied(groups.size(), false);
    std::size_t open = groups.size();
    std::vector<std::size_t> chosen;
    while (open > 0) {
        const Candidate* best = nullptr;
        for (const Candidate& c : candidates) {
            if (c.unsatisfied_groups == 0)
                continue;
            if (best == nullptr || c.unsatisfied_groups > best->unsatisfied_groups ||
                (c.unsatisfied_groups == best->unsatisfied_groups &&
                 (c.multiplicity < best->multiplicity ||
                  (c.multiplicity == best->multiplicity && c.tag > best->tag))))
                best = &c;
        }
        if (best == nullptr)
            break;
        chosen.push_back(best->index);
        for (std::size_t g : best->groups) {
            if (satisfied[g])
                continue;
            satisfied[g] = true;
            --open;
            for (std::size_t ci : groups[g]) {
                auto it = slot.find(ci);
                if (it != slot.end())
                    --candidates[it->second].unsatisfied_groups;
            }
        }
    }
    return chosen;
}

// Puts the caller's values back on every path out of the re-solve.
class ValueRestorer {
public:
    explicit ValueRestorer(const std::vector<double*>& params) : params_(params)
    {
        saved_.reserve(params.size());
        for (double* p : params)
            saved_.push_back(*p);
    }
    ValueRestorer(const ValueRestorer&) = delete;
    ValueRestorer& operator=(const ValueRestorer&) = delete;
    ~ValueRestorer()
    {
        for (std::size_t i = 0; i < params_.size(); ++i)
            *params_[i] = saved_[i];
    }

private:
    const std::vector<double*>& params_;
    std::vector<double> saved_;
};

// Waits for the asynchronous search on every path, exceptions included.
template <class T>
class FutureJoiner {
public:
    explicit FutureJoiner(std::future<T>& future) : future_(future) {}
    FutureJoiner(const FutureJoiner&) = delete;
    FutureJoiner& operator=(const FutureJoiner&) = delete;
    ~FutureJoiner()
    {
        if (future_.valid())
            future_.wait();
    }

private:
    std::future<T>& future_;
};

std::vector<int> sorted_unique(std::vector<int> v)
{
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

}  // namespace

struct System::Analysis {
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> chosen;
};

int System::diagnose(int algorithm)
{
    // Nothing of an earlier diagnosis survives, whatever happens below.
    has_diagnosis = false;
    clear_diagnosis_results();
    timings_ = DiagnosisTimings{};
    if (!has_unknowns)
        return 0;
    if (unknowns_.empty() || unknowns_.size() == excluded_from_diagnosis_.size()) {
        empty_jacobian = true;
        dofs = 0;
        has_diagnosis = true;
        return 0;
    }

    std::vector<double*> params;
    {
        const std::unordered_set<double*> excluded(excluded_from_diagnosis_.begin(), excluded_from_diagnosis_.end());
        params.reserve(unknowns_.size());
        for (double* p : unknowns_)
            if (!excluded.count(p))
                params.push_back(p);
    }
    const int param_count = checked_int(params.size(), CountKind::diagnosis_parameter);
    if (auto_qr) {
        // The rows build_diagnosis_jacobian keeps.
        long long rows = 0;
        for (const Constraint* c : constraints_)
            rows += c->tag() >= 0 && c->driving() ? 1 : 0;
        const bool large = param_count >= auto_qr_threshold || rows * param_count >= auto_qr_dense_entries;
        qr_algorithm = static_cast<int>(large ? QrAlgorithm::sparse : QrAlgorithm::dense);
    }
    const bool dense = qr_algorithm == static_cast<int>(QrAlgorithm::dense);
    const bool sparse = qr_algorithm == static_cast<int>(QrAlgorithm::sparse);

    Clock::time_point stage = Clock::now();
    const DiagnosisJacobian jac = build_diagnosis_jacobian(
        constraints_, params, dense ? JacobianForm::dense : sparse ? JacobianForm::sparse : JacobianForm::none);
    timings_.jacobian = seconds_since(stage);

    dofs = param_count;
    if (jac.rows == 0) {
        empty_jacobian = true;
        has_diagnosis = true;
        return 0;
    }
    empty_jacobian = false;
    if (!dense && !sparse) {
        has_diagnosis = true;
        return 0;
    }

    // Everything the dependent-parameter search reads is declared before the future, whose
    // joiner waits for the search on every way out of this function.
    const double threshold = qr_pivot_threshold;
    std::future<DependentParameters> search;
    FutureJoiner<DependentParameters> joiner(search);

    stage = Clock::now();
    PivotRows rt;
    if (dense) {
        search = std::async(std::launch::async, run_dependent_parameters_dense, std::cref(jac.dense),
                            std::cref(params), threshold);
        rt = qr_decompose_dense(jac.dense.transpose(), threshold);
    } else {
        search = std::async(std::launch::async, run_dependent_parameters_sparse, std::cref(jac.sparse),
                            std::cref(params), threshold);
        SparseMatrix jt = jac.sparse.transpose();
        jt.makeCompressed();
        rt = qr_decompose_sparse(jt, threshold);
    }
    if (debug_level >= 2)
        SolverReport::instance().log_qr_system(
            qr_log_line(dense ? "DenseQR" : "EigenSparseQR", threshold, param_count, jac.rows, rt.rank));
    const int rank = rt.rank;
    Analysis analysis;
    if (jac.rows > rank)
        analysis.groups = conflict_groups(rt, jac.row_constraint);
    rt = PivotRows{};
    timings_.qr = seconds_since(stage);

    stage = Clock::now();
    DependentParameters dependent = search.get();
    timings_.join_wait = seconds_since(stage);
    timings_.dependent_search = dependent.seconds;
    dependent_params_ = std::move(dependent.params);
    dependent_groups_ = std::move(dependent.groups);

    dofs = param_count - rank;
    if (jac.rows > rank) {
        const std::size_t counted = analyse_conflicts(analysis, jac.rows, jac.tag_multiplicity, params, algorithm);
        if (param_count == rank && counted > static_cast<std::size_t>(rank))
            dofs = param_count - static_cast<int>(counted);
    }
    has_diagnosis = true;
    return rank;
}

std::size_t System::analyse_conflicts(Analysis& analysis, int rows, const std::map<int, int>& tag_multiplicity,
                                      const std::vector<double*>& params, int algorithm)
{
    SolverReport& report = SolverReport::instance();
    auto group_constraints = [&](const std::vector<std::size_t>& group) {
        std::vector<Constraint*> out;
        for (std::size_t ci : group)
            out.push_back(constraints_[ci]);
        return out;
    };
    if (debug_level >= 2) {
        std::vector<std::vector<Constraint*>> logged;
        for (const auto& group : analysis.groups)
            logged.push_back(group_constraints(group));
        report.log_constraint_groups("Analysing groups of constraints of special interest", logged);
    }

    Clock::time_point stage = Clock::now();
    analysis.chosen = choose_redundant_candidates(analysis.groups, constraints_, tag_multiplicity);
    std::vector<std::size_t> chosen_sorted = analysis.chosen;
    std::sort(chosen_sorted.begin(), chosen_sorted.end());
    timings_.greedy = seconds_since(stage);
    if (debug_level >= 2)
        report.log_constraint_set("Chosen redundants", group_constraints(chosen_sorted));

    stage = Clock::now();
    {
        // The re-solve moves values; the caller's are put back on every path.
        ValueRestorer restore(unknowns_);
        std::vector<bool> is_chosen(constraints_.size(), false);
        for (std::size_t ci : analysis.chosen)
            is_chosen[ci] = true;
        std::vector<Constraint*> kept;
        for (std::size_t ci = 0; ci < constraints_.size(); ++ci)
            if (constraints_[ci]->driving() && !is_chosen[ci])
                kept.push_back(constraints_[ci]);
        Subsystem sub(kept, params);
        if (debug_level >= 1)
            report.print(std::string("GCS::RedundantSolving-") + algorithm_name(algorithm) + "-\n");
        const SolveStatus status = solve(sub, algorithm, true, *this);
        if (status == SolveStatus::success) {
            sub.apply_solution();
            for (std::size_t ci : chosen_sorted) {
                const double e = constraints_[ci]->error();
                if (e * e < convergence_redundant)
                    redundant_.insert(constraints_[ci]);
            }
        }
        if (status == SolveStatus::success && debug_level >= 1) {
            char line[96];
            std::snprintf(line, sizeof line, "GCS Redundant solving: %zu redundants\n", redundant_.size());
            report.print(line);
        }
    }
    timings_.resolve = seconds_since(stage);

    std::size_t counted = static_cast<std::size_t>(rows);
    std::vector<bool> conflict(analysis.groups.size(), true);
    for (std::size_t g = analysis.groups.size(); g-- > 0;) {
        const auto& group = analysis.groups[g];
        for (std::size_t pos = 0; pos < group.size(); ++pos) {
            const Constraint* c = constraints_[group[pos]];
            if (!redundant_.count(const_cast<Constraint*>(c)))
                continue;
            conflict[g] = false;
            --counted;
            if (debug_level >= 2) {
                char line[128];
                std::snprintf(line, sizeof line, "(Partially) Redundant, Group %zu, index %td, Tag: %d\n", g,
                              static_cast<std::ptrdiff_t>(pos), c->tag());
                report.print(line);
            }
            break;
        }
    }

    std::vector<int> conflicting;
    for (std::size_t g = 0; g < analysis.groups.size(); ++g) {
        if (!conflict[g])
            continue;
        for (std::size_t ci : analysis.groups[g]) {
            const Constraint* c = constraints_[ci];
            const int tag = c->flag() == 1 ? 0 : c->tag();
            if (tag != 0)
                conflicting.push_back(tag);
        }
    }
    conflicting_tags = sorted_unique(std::move(conflicting));

    std::vector<int> redundant;
    std::vector<int> elsewhere;  // tags carried by a constraint that is not redundant
    for (Constraint* c : constraints_)
        (redundant_.count(c) ? redundant : elsewhere).push_back(c->tag());
    redundant = sorted_unique(std::move(redundant));
    elsewhere = sorted_unique(std::move(elsewhere));
    for (int tag : redundant)
        (std::binary_search(elsewhere.begin(), elsewhere.end(), tag) ? partially_redundant_tags : redundant_tags)
            .push_back(tag);
    return counted;
}

}  // namespace GCS
