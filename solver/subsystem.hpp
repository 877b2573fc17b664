// Subsystems: the unit a numeric solver works on. A subsystem keeps its own copy of the
// values of its parameters, points its constraints at that copy while a solver runs and
// writes the result back to the caller's parameters only on apply_solution().
//
// Also the split of a sketch into decoupled components, with the reduction of unknowns
// tied by a ratio-1 equality.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "solver/constraints.hpp"

namespace GCS {

class Subsystem {
public:
    Subsystem(const std::vector<Constraint*>& constraints, const std::vector<double*>& params);
    // `reduction` sends a caller parameter to its representative; a reduced parameter
    // shares the representative's slot.
    Subsystem(const std::vector<Constraint*>& constraints, const std::vector<double*>& params,
              const std::map<double*, double*>& reduction);
    Subsystem(const Subsystem&) = delete;
    Subsystem& operator=(const Subsystem&) = delete;
    ~Subsystem();

    int psize() const { return psize_; }
    int csize() const { return csize_; }
    // The constraints, in the order given; not owned.
    const std::vector<Constraint*>& clist() const { return clist_; }
    // The caller's parameters, one per slot, in the order given.
    const std::vector<double*>& plist() const { return plist_; }
    // Slot indices used by constraint i of clist(), each once, in parameter order.
    const std::vector<int>& constraint_slots(int i) const { return c2p_[i]; }
    // Indices into clist() of the constraints using slot j, each once, in order.
    const std::vector<int>& slot_constraints(int j) const { return p2c_[j]; }
    // Slot of a caller parameter (also of a reduced one), or -1.
    int slot_of(double* param) const;

    // Writes every slot's value to its caller parameters (a reduced parameter gets its
    // representative's value).
    void apply_solution();
    void get_params(std::vector<double>& values) const;
    void set_params(const std::vector<double>& values);

    // The functions below read through the constraints' current pointers, so they see the
    // subsystem's values only between redirect_params() and revert_params().

    // 0.5 * sum of squared constraint errors.
    double error() const;
    // r[i] = error of constraint i.
    void calc_residual(std::vector<double>& r) const;
    // The same, with err = 0.5 * |r|^2.
    void calc_residual(std::vector<double>& r, double& err) const;
    // J is csize x psize, column-major (J[i + j * csize]); zero where a constraint does
    // not use a slot.
    void calc_jacobian(std::vector<double>& J) const;
    // The same entries without the zeros: for each constraint i in order, the gradient by
    // each slot of constraint_slots(i), in that order.
    void calc_jacobian_entries(std::vector<double>& values) const;
    // g[j] = sum over constraints using slot j of error * grad.
    void calc_grad(std::vector<double>& g) const;
    // Largest step factor along `direction` (one component per slot), from 1e10 lowered by
    // every constraint in order.
    double max_step(const std::vector<double>& direction) const;

    // Copies the caller values into the subsystem's storage and points every constraint
    // at it.
    void redirect_params();
    // Points every constraint back at the caller's parameters.
    void revert_params();

private:
    int psize_ = 0;
    int csize_ = 0;
    std::vector<Constraint*> clist_;
    std::vector<double*> plist_;
    // Caller parameter -> slot pointer (into pvals_), for redirecting constraints.
    std::map<double*, double*> pmap_;
    // Caller parameter -> slot index, in the order the entries were made (written back in
    // this order).
    std::vector<std::pair<double*, int>> writeback_;
    std::vector<double> pvals_;
    std::vector<std::vector<int>> c2p_;
    std::vector<std::vector<int>> p2c_;
};

// Reverts a subsystem's constraints when it goes out of scope, on every path.
class RedirectGuard {
public:
    explicit RedirectGuard(Subsystem& sub) : sub_(sub) { sub_.redirect_params(); }
    RedirectGuard(const RedirectGuard&) = delete;
    RedirectGuard& operator=(const RedirectGuard&) = delete;
    ~RedirectGuard() { sub_.revert_params(); }

private:
    Subsystem& sub_;
};

// Numbers the connected components of a graph given by adjacency lists: every node gets
// the number of its component in component[node]; components are numbered 0, 1, ... in the
// order of their lowest node. Returns the count. Throws std::overflow_error "GCS component
// count exceeds int range" for more than INT_MAX nodes.
int find_components(const std::vector<std::vector<int>>& adjacency, std::vector<int>& component);

// The decoupled components of a set of kept constraints over the unknowns.
struct ComponentPartition {
    // Each unknown -> its representative (itself when not reduced).
    std::map<double*, double*> reduction;
    // Per kept constraint (same index): true when the reduction replaced it.
    std::vector<bool> reduced;
    // The unknowns of each component, in the order of the unknowns.
    std::vector<std::vector<double*>> component_params;
    // The kept, not reduced constraints of each component, in order.
    std::vector<std::vector<Constraint*>> component_constraints;
};

// Builds the reduction of unknowns tied by driving ratio-1 equalities of tag 0 or more and
// the component partition of `kept` over `unknowns` (a pointer given twice in unknowns
// counts at its last position, as the system's unknown index).
ComponentPartition partition_components(const std::vector<Constraint*>& kept,
                                        const std::vector<double*>& unknowns);

// One entry per component in each list: the subsystem of its driving constraints of tag 0
// or more in `subsystems`, the subsystem of its other constraints in `subsystems_aux`;
// null where a component has none. Both lists are replaced.
void build_component_subsystems(const ComponentPartition& partition,
                                std::vector<std::unique_ptr<Subsystem>>& subsystems,
                                std::vector<std::unique_ptr<Subsystem>>& subsystems_aux);

}  // namespace GCS
