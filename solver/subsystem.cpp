#include "solver/subsystem.hpp"

#include <unordered_set>

#include "solver/checked_cast.hpp"

namespace GCS {

Subsystem::Subsystem(const std::vector<Constraint*>& constraints, const std::vector<double*>& params)
    : Subsystem(constraints, params, std::map<double*, double*>())
{
}

Subsystem::Subsystem(const std::vector<Constraint*>& constraints, const std::vector<double*>& params,
                     const std::map<double*, double*>& reduction)
    : clist_(constraints)
{
    csize_ = checked_int(clist_.size(), CountKind::constraint);

    std::unordered_set<double*> used;
    for (Constraint* c : clist_) {
        c->revert_params();
        used.insert(c->params().begin(), c->params().end());
    }

    // The parameters keep the order in which they were given, never an address order, so
    // that the solution does not depend on where the caller's values live.
    auto representative = [&](double* p) {
        auto it = reduction.find(p);
        return it == reduction.end() ? p : it->second;
    };
    std::unordered_set<double*> seen;
    std::unordered_set<double*> entered;
    for (double* p : params) {
        if (!used.count(p) || !seen.insert(p).second)
            continue;
        double* rep = representative(p);
        if (entered.insert(rep).second)
            plist_.push_back(rep);
    }
    psize_ = static_cast<int>(plist_.size());

    pvals_.resize(plist_.size());
    for (int j = 0; j < psize_; ++j) {
        pvals_[j] = *plist_[j];
        pmap_[plist_[j]] = &pvals_[j];
        writeback_.emplace_back(plist_[j], j);
    }
    // A reduced parameter follows its representative, also when no constraint of this
    // subsystem uses it directly.
    for (double* p : params) {
        double* rep = representative(p);
        if (rep == p || pmap_.count(p))
            continue;
        auto it = pmap_.find(rep);
        if (it == pmap_.end())
            continue;
        pmap_[p] = it->second;
        writeback_.emplace_back(p, static_cast<int>(it->second - pvals_.data()));
    }

    c2p_.resize(clist_.size());
    p2c_.resize(plist_.size());
    for (int i = 0; i < csize_; ++i) {
        for (double* p : clist_[i]->params()) {
            const int j = slot_of(p);
            if (j < 0)
                continue;
            std::vector<int>& slots = c2p_[i];
            // A slot met twice in one constraint (a shared or reduced parameter) is listed
            // once, or its gradient would be counted twice.
            bool known = false;
            for (int s : slots)
                known = known || s == j;
            if (known)
                continue;
            slots.push_back(j);
            p2c_[j].push_back(i);
        }
    }
}

Subsystem::~Subsystem() = default;

int Subsystem::slot_of(double* param) const
{
    auto it = pmap_.find(param);
    if (it == pmap_.end())
        return -1;
    return static_cast<int>(it->second - pvals_.data());
}

void Subsystem::apply_solution()
{
    for (const auto& [param, slot] : writeback_)
        *param = pvals_[slot];
}

void Subsystem::get_params(std::vector<double>& values) const
{
    values = pvals_;
}

void Subsystem::set_params(const std::vector<double>& values)
{
    for (std::size_t j = 0; j < pvals_.size() && j < values.size(); ++j)
        pvals_[j] = values[j];
}

double Subsystem::error() const
{
    double err = 0.0;
    for (Constraint* c : clist_) {
        const double e = c->error();
        err += e * e;
    }
    return 0.5 * err;
}

void Subsystem::calc_residual(std::vector<double>& r) const
{
    r.resize(clist_.size());
    for (std::size_t i = 0; i < clist_.size(); ++i)
        r[i] = clist_[i]->error();
}

void Subsystem::calc_residual(std::vector<double>& r, double& err) const
{
    calc_residual(r);
    err = 0.0;
    for (double e : r)
        err += e * e;
    err *= 0.5;
}

void Subsystem::calc_jacobian(std::vector<double>& J) const
{
    const std::size_t rows = clist_.size();
    J.assign(rows * plist_.size(), 0.0);
    for (std::size_t i = 0; i < rows; ++i)
        for (int j : c2p_[i])
            J[i + static_cast<std::size_t>(j) * rows] = clist_[i]->grad(const_cast<double*>(&pvals_[j]));
}

void Subsystem::calc_jacobian_entries(std::vector<double>& values) const
{
    values.clear();
    for (std::size_t i = 0; i < clist_.size(); ++i)
        for (int j : c2p_[i])
            values.push_back(clist_[i]->grad(const_cast<double*>(&pvals_[j])));
}

void Subsystem::calc_grad(std::vector<double>& g) const
{
    g.assign(plist_.size(), 0.0);
    for (std::size_t j = 0; j < plist_.size(); ++j) {
        double* slot = const_cast<double*>(&pvals_[j]);
        for (int i : p2c_[j])
            g[j] += clist_[i]->error() * clist_[i]->grad(slot);
    }
}

double Subsystem::max_step(const std::vector<double>& direction) const
{
    std::map<double*, double> dir;
    for (std::size_t j = 0; j < plist_.size() && j < direction.size(); ++j)
        dir[const_cast<double*>(&pvals_[j])] = direction[j];
    double lim = 1e10;
    for (Constraint* c : clist_)
        lim = c->max_step(dir, lim);
    return lim;
}

void Subsystem::redirect_params()
{
    for (std::size_t j = 0; j < plist_.size(); ++j)
        pvals_[j] = *plist_[j];
    for (Constraint* c : clist_)
        c->redirect_params(pmap_);
}

void Subsystem::revert_params()
{
    for (Constraint* c : clist_)
        c->revert_params();
}

// ---- components ----------------------------------------------------------------------

int find_components(const std::vector<std::vector<int>>& adjacency, std::vector<int>& component)
{
    checked_int(adjacency.size(), CountKind::component);
    component.assign(adjacency.size(), -1);
    int count = 0;
    std::vector<int> stack;
    for (std::size_t start = 0; start < adjacency.size(); ++start) {
        if (component[start] != -1)
            continue;
        component[start] = count;
        stack.push_back(static_cast<int>(start));
        while (!stack.empty()) {
            const int node = stack.back();
            stack.pop_back();
            for (int next : adjacency[node]) {
                if (component[next] == -1) {
                    component[next] = count;
                    stack.push_back(next);
                }
            }
        }
        ++count;
    }
    return count;
}

ComponentPartition partition_components(const std::vector<Constraint*>& kept,
                                        const std::vector<double*>& unknowns)
{
    ComponentPartition out;
    const std::size_t n = unknowns.size();
    checked_int(n + kept.size(), CountKind::component);

    std::map<double*, int> index;
    for (std::size_t k = 0; k < n; ++k)
        index[unknowns[k]] = static_cast<int>(k);

    // Unknowns tied by a ratio-1 equality share one representative; the equality itself
    // then needs no solving. Only driving constraints tie values: a reference dimension
    // must not force anything.
    std::vector<double*> working = unknowns;
    out.reduced.assign(kept.size(), false);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        Constraint* c = kept[i];
        if (c->tag() < 0 || !c->driving() || c->type_id() != 1)
            continue;
        if (static_cast<const ConstraintEqual*>(c)->ratio() != 1.0)
            continue;
        const std::vector<double*>& p = c->given_params();
        auto first = index.find(p[0]);
        auto second = index.find(p[1]);
        if (first == index.end() || second == index.end())
            continue;
        out.reduced[i] = true;
        double* from = working[second->second];
        double* to = working[first->second];
        for (double*& w : working)
            if (w == from)
                w = to;
    }
    for (std::size_t k = 0; k < n; ++k)
        out.reduction[unknowns[k]] = working[index[unknowns[k]]];

    // Nodes: the unknowns, then the kept constraints.
    std::vector<std::vector<int>> adjacency(n + kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const int node = static_cast<int>(n + i);
        for (double* p : kept[i]->given_params()) {
            auto it = index.find(p);
            if (it == index.end())
                continue;
            adjacency[node].push_back(it->second);
            adjacency[it->second].push_back(node);
        }
    }
    std::vector<int> component;
    const int count = find_components(adjacency, component);

    out.component_params.assign(count, {});
    out.component_constraints.assign(count, {});
    for (std::size_t k = 0; k < n; ++k)
        out.component_params[component[k]].push_back(unknowns[k]);
    for (std::size_t i = 0; i < kept.size(); ++i)
        if (!out.reduced[i])
            out.component_constraints[component[n + i]].push_back(kept[i]);
    return out;
}

void build_component_subsystems(const ComponentPartition& partition,
                                std::vector<std::unique_ptr<Subsystem>>& subsystems,
                                std::vector<std::unique_ptr<Subsystem>>& subsystems_aux)
{
    const std::size_t count = partition.component_constraints.size();
    std::vector<std::unique_ptr<Subsystem>> main(count);
    std::vector<std::unique_ptr<Subsystem>> aux(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::vector<Constraint*> driving;
        std::vector<Constraint*> others;
        for (Constraint* c : partition.component_constraints[k])
            (c->tag() >= 0 && c->driving() ? driving : others).push_back(c);
        if (!driving.empty())
            main[k] = std::make_unique<Subsystem>(driving, partition.component_params[k], partition.reduction);
        if (!others.empty())
            aux[k] = std::make_unique<Subsystem>(others, partition.component_params[k], partition.reduction);
    }
    subsystems = std::move(main);
    subsystems_aux = std::move(aux);
}

}  // namespace GCS
