// The solver system: the one object through which a sketch is handed to the constraint
// solver. A client adds constraints over its own double parameters, declares the unknowns
// and calls init_solution(), which diagnoses the sketch (rank of the constraint Jacobian,
// degrees of freedom, conflicting and redundant constraints) and prepares the decoupled
// subsystems. One thread at a time uses a system; several systems may run at once.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "solver/constraints.hpp"
#include "solver/geometry.hpp"
#include "solver/solvers.hpp"
#include "solver/subsystem.hpp"

namespace GCS {

// Wall-clock seconds spent in the stages of the last diagnosis. The dependent-parameter
// search runs on its own thread while the main decomposition runs, so the figures overlap.
struct DiagnosisTimings {
    double jacobian = 0.0;          // building the Jacobian
    double qr = 0.0;                // decomposition of the transposed Jacobian and the groups
    double dependent_search = 0.0;  // the asynchronous dependent-parameter search
    double join_wait = 0.0;         // time the main thread waited for that search
    double greedy = 0.0;            // choice of redundant candidates
    double resolve = 0.0;           // re-solve without the candidates and its checks
};

// The settings of the numeric solvers (SolverSettings) are plain fields of the system.
class System : public SolverSettings {
public:
    System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;
    ~System();

    // Settings of the diagnosis; a client may change them between calls.
    int qr_algorithm = static_cast<int>(QrAlgorithm::sparse);  // 0 dense, 1 sparse, else no QR
    bool auto_qr = true;          // choose qr_algorithm from the size of the Jacobian
    int auto_qr_threshold = 1000;  // sparse from this many parameters up
    // Sparse also from this many Jacobian entries (rows times parameters) up: the dense
    // decompositions, one of J and one of its transpose, cost rows times parameters
    // squared, and 10,000 rows over 964 parameters took a minute.
    long long auto_qr_dense_entries = 2000000;
    double qr_pivot_threshold = 1e-13;

    // Takes ownership of c. Returns its index; throws std::overflow_error when the index
    // does not fit an int (the constraint stays added).
    int add_constraint(Constraint* c);
    int add_diameter(Circle& circle, double* diameter, int tag = 0, bool driving = true);
    int add_radius(Circle& circle, double* radius, int tag = 0, bool driving = true);
    int add_coordinate_x(Point& point, double* value, int tag = 0, bool driving = true);
    int add_coordinate_y(Point& point, double* value, int tag = 0, bool driving = true);
    // angle in radians, from l1's direction to l2's, counter-clockwise.
    int add_line_angle(Line& l1, Line& l2, double* angle, int tag = 0, bool driving = true);
    // Direction of p2 - p1, in radians.
    int add_point_angle(Point& p1, Point& p2, double* angle, int tag = 0, bool driving = true);
    // Two equalities (x and y) with one tag; returns the index of the second.
    int add_coincident(Point& p1, Point& p2, int tag = 0, bool driving = true);
    int add_point_distance(Point& p1, Point& p2, double* distance, int tag = 0, bool driving = true);
    int add_parallel(Line& l1, Line& l2, int tag = 0, bool driving = true);
    int add_perpendicular(Line& l1, Line& l2, int tag = 0, bool driving = true);

    // Replaces the unknowns (the pointers must outlive the system). An earlier diagnosis
    // no longer applies afterwards.
    void declare_unknowns(const std::vector<double*>& params);
    // Diagnoses the sketch unless a current diagnosis exists, then builds the subsystems.
    // `algorithm` (Algorithm) chooses the solver of the redundancy re-solve. The caller's
    // values are left exactly as they were.
    void init_solution(int algorithm = static_cast<int>(Algorithm::dog_leg));
    // Rank diagnosis; see diagnosis.cpp. Returns the rank, 0 when there is nothing to
    // decompose.
    int diagnose(int algorithm = static_cast<int>(Algorithm::dog_leg));

    void clear();
    void delete_subsystems();
    // Saves the current values of the unknowns / writes them back (only when the number of
    // unknowns is unchanged).
    void set_reference();
    void reset_to_reference();

    // Results of the last diagnosis; meaningful only when has_diagnosis is set.
    int dofs = 0;
    std::vector<int> conflicting_tags;          // ascending, unique, never 0
    std::vector<int> redundant_tags;            // tags all of whose constraints are redundant
    std::vector<int> partially_redundant_tags;  // tags with redundant and other constraints
    bool has_unknowns = false;
    bool has_diagnosis = false;
    bool is_init = false;
    bool empty_jacobian = true;

    // Inspection of the state built by the calls above.
    const std::vector<double*>& unknowns() const { return unknowns_; }
    const std::vector<Constraint*>& constraints() const { return constraints_; }
    const std::set<Constraint*>& redundant() const { return redundant_; }
    const std::vector<double*>& dependent_params() const { return dependent_params_; }
    const std::vector<std::vector<double*>>& dependent_groups() const { return dependent_groups_; }
    const std::vector<std::unique_ptr<Subsystem>>& subsystems() const { return subsystems_; }
    const std::vector<std::unique_ptr<Subsystem>>& subsystems_aux() const { return subsystems_aux_; }
    const std::vector<std::vector<double*>>& component_params() const { return component_params_; }
    const std::vector<std::vector<Constraint*>>& component_constraints() const { return component_constraints_; }
    const DiagnosisTimings& diagnosis_timings() const { return timings_; }

private:
    struct Analysis;
    void clear_diagnosis_results();
    // Greedy choice of redundant candidates, re-solve without them, and the tag lists;
    // returns the constraint count less the groups found merely redundant.
    std::size_t analyse_conflicts(Analysis& analysis, int rows, const std::map<int, int>& tag_multiplicity,
                                  const std::vector<double*>& params, int algorithm);

    std::vector<double*> unknowns_;
    std::vector<double*> excluded_from_diagnosis_;  // nothing fills it; kept empty
    std::map<double*, int> unknown_index_;
    std::vector<double*> dependent_params_;
    std::vector<std::vector<double*>> dependent_groups_;
    std::vector<Constraint*> constraints_;  // owned
    std::map<Constraint*, std::vector<double*>> constraint_params_;
    std::map<double*, std::vector<Constraint*>> param_constraints_;
    std::vector<std::unique_ptr<Subsystem>> subsystems_;
    std::vector<std::unique_ptr<Subsystem>> subsystems_aux_;
    std::vector<double> reference_;
    std::vector<std::vector<double*>> component_params_;
    std::vector<std::vector<Constraint*>> component_constraints_;
    std::set<Constraint*> redundant_;
    DiagnosisTimings timings_;
};

}  // namespace GCS
