#include "solver/system.hpp"

#include "solver/checked_cast.hpp"

namespace GCS {

System::System() = default;

System::~System()
{
    clear();
}

int System::add_constraint(Constraint* c)
{
    std::unique_ptr<Constraint> owned(c);
    is_init = false;
    if (c->tag() >= 0)
        has_diagnosis = false;
    constraints_.push_back(owned.release());
    std::vector<double*>& params = constraint_params_[c];
    for (double* p : c->params()) {
        params.push_back(p);
        param_constraints_[p].push_back(c);
    }
    return checked_int(constraints_.size() - 1, CountKind::constraint);
}

namespace {

template <class C>
C* tagged(C* c, int tag, bool driving)
{
    c->set_tag(tag);
    c->set_driving(driving);
    return c;
}

}  // namespace

int System::add_diameter(Circle& circle, double* diameter, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintEqual(circle.rad, diameter, 0.5), tag, driving));
}

int System::add_radius(Circle& circle, double* radius, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintEqual(circle.rad, radius, 1.0), tag, driving));
}

int System::add_coordinate_x(Point& point, double* value, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintEqual(point.x, value, 1.0), tag, driving));
}

int System::add_coordinate_y(Point& point, double* value, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintEqual(point.y, value, 1.0), tag, driving));
}

int System::add_line_angle(Line& l1, Line& l2, double* angle, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintL2LAngle(l1, l2, angle), tag, driving));
}

int System::add_point_angle(Point& p1, Point& p2, double* angle, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintP2PAngle(p1, p2, angle, 0.0), tag, driving));
}

int System::add_coincident(Point& p1, Point& p2, int tag, bool driving)
{
    add_constraint(tagged(new ConstraintEqual(p1.x, p2.x, 1.0), tag, driving));
    return add_constraint(tagged(new ConstraintEqual(p1.y, p2.y, 1.0), tag, driving));
}

int System::add_point_distance(Point& p1, Point& p2, double* distance, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintP2PDistance(p1, p2, distance), tag, driving));
}

int System::add_parallel(Line& l1, Line& l2, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintParallel(l1, l2), tag, driving));
}

int System::add_perpendicular(Line& l1, Line& l2, int tag, bool driving)
{
    return add_constraint(tagged(new ConstraintPerpendicular(l1, l2), tag, driving));
}

void System::declare_unknowns(const std::vector<double*>& params)
{
    unknowns_ = params;
    unknown_index_.clear();
    for (std::size_t i = 0; i < unknowns_.size(); ++i)
        unknown_index_[unknowns_[i]] = static_cast<int>(i);
    has_unknowns = true;
    // A diagnosis and subsystems of other unknowns would be stale.
    has_diagnosis = false;
    is_init = false;
}

void System::init_solution(int algorithm)
{
    is_init = false;
    if (!has_unknowns)
        return;
    set_reference();
    if (!has_diagnosis) {
        diagnose(algorithm);
        if (!has_diagnosis)
            return;
    }

    std::vector<Constraint*> kept;
    kept.reserve(constraints_.size());
    for (Constraint* c : constraints_)
        if (!redundant_.count(c))
            kept.push_back(c);

    ComponentPartition partition = partition_components(kept, unknowns_);
    delete_subsystems();
    build_component_subsystems(partition, subsystems_, subsystems_aux_);
    component_params_ = std::move(partition.component_params);
    component_constraints_ = std::move(partition.component_constraints);
    is_init = true;
}

void System::clear_diagnosis_results()
{
    dependent_params_.clear();
    dependent_groups_.clear();
    redundant_.clear();
    conflicting_tags.clear();
    redundant_tags.clear();
    partially_redundant_tags.clear();
}

void System::clear()
{
    unknowns_.clear();
    excluded_from_diagnosis_.clear();
    unknown_index_.clear();
    clear_diagnosis_results();
    reference_.clear();
    has_unknowns = false;
    has_diagnosis = false;
    empty_jacobian = true;
    delete_subsystems();
    component_params_.clear();
    component_constraints_.clear();
    for (Constraint* c : constraints_)
        delete c;
    constraints_.clear();
    constraint_params_.clear();
    param_constraints_.clear();
}

void System::delete_subsystems()
{
    is_init = false;
    subsystems_.clear();
    subsystems_aux_.clear();
}

void System::set_reference()
{
    reference_.clear();
    reference_.reserve(unknowns_.size());
    for (double* p : unknowns_)
        reference_.push_back(*p);
}

void System::reset_to_reference()
{
    if (reference_.size() != unknowns_.size())
        return;
    for (std::size_t i = 0; i < unknowns_.size(); ++i)
        *unknowns_[i] = reference_[i];
}

}  // namespace GCS
