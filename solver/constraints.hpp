// Constraints of the solver. A constraint relates caller-owned double parameters through
// pointers; while a subsystem solves, its pointers are redirected into the subsystem's own
// storage and reverted afterwards. Its error is zero when it is satisfied.
#pragma once

#include <map>
#include <vector>

#include "solver/geometry.hpp"

namespace GCS {

// Step length of the angle constraints' step bound: 10 degrees in radians.
inline constexpr double kMaxAngleStep = 0.17453292519943295;

class Constraint {
public:
    Constraint() = default;
    Constraint(const Constraint&) = delete;
    Constraint& operator=(const Constraint&) = delete;
    virtual ~Constraint() = default;

    // 0 for the base, 1 Equal, 3 P2PDistance, 4 P2PAngle, 8 Parallel, 9 Perpendicular,
    // 10 L2LAngle.
    virtual int type_id() const;
    virtual void rescale(double coef = 1.0);
    // Unscaled value and its derivative by `param` (summed over every position where
    // `param` occurs); either output may be null. The base writes 0.
    virtual void evaluate(double* value, double* derivative, double* param) const;
    // evaluate's value times the scale.
    virtual double error() const;
    // 0 unless `param` is one of params(), else evaluate's derivative times the scale.
    virtual double grad(double* param) const;
    // Lowers `lim` so that a step along `direction` (parameter -> step component, as keyed
    // by params()) stays sound for this constraint. The base returns lim.
    virtual double max_step(const std::map<double*, double>& direction, double lim) const;

    // params()[i] becomes the mapped pointer for every given parameter that is a key of map.
    void redirect_params(const std::map<double*, double*>& map);
    // params() = given_params().
    void revert_params();

    const std::vector<double*>& given_params() const { return given_params_; }
    const std::vector<double*>& params() const { return params_; }
    double scale() const { return scale_; }
    int tag() const { return tag_; }
    void set_tag(int tag) { tag_ = tag; }
    bool params_changed() const { return params_changed_; }
    void clear_params_changed() { params_changed_ = false; }
    bool driving() const { return driving_; }
    void set_driving(bool driving) { driving_ = driving; }
    // A constraint with flag 1 is never a redundancy candidate and counts as tag 0 among
    // conflicts.
    int flag() const { return flag_; }
    void set_flag(int flag) { flag_ = flag; }

protected:
    // Called by the derived constructors once params_ is filled.
    void init_given_params() { given_params_ = params_; }
    // Sum of partial[i] over every position i whose pointer is param.
    double sum_partials(const double* partial, double* param) const;

    std::vector<double*> given_params_;
    std::vector<double*> params_;
    double scale_ = 1.0;
    int tag_ = 0;
    bool params_changed_ = true;
    bool driving_ = true;
    int flag_ = 0;
};

// p1 = ratio * p2
class ConstraintEqual : public Constraint {
public:
    ConstraintEqual(double* p1, double* p2, double ratio = 1.0);
    int type_id() const override { return 1; }
    void evaluate(double* value, double* derivative, double* param) const override;
    double ratio() const { return ratio_; }

private:
    double ratio_;
};

// |p1 - p2| = distance
class ConstraintP2PDistance : public Constraint {
public:
    ConstraintP2PDistance(Point p1, Point p2, double* distance);
    int type_id() const override { return 3; }
    void evaluate(double* value, double* derivative, double* param) const override;
    double max_step(const std::map<double*, double>& direction, double lim) const override;
};

// Direction of p2 - p1 equals angle + offset.
class ConstraintP2PAngle : public Constraint {
public:
    ConstraintP2PAngle(Point p1, Point p2, double* angle, double offset = 0.0);
    int type_id() const override { return 4; }
    void evaluate(double* value, double* derivative, double* param) const override;
    double max_step(const std::map<double*, double>& direction, double lim) const override;
    double offset() const { return offset_; }

private:
    double offset_;
};

// Cross product of the two directions, scaled by the inverse of their lengths at
// construction.
class ConstraintParallel : public Constraint {
public:
    ConstraintParallel(Line l1, Line l2);
    int type_id() const override { return 8; }
    void rescale(double coef = 1.0) override;
    void evaluate(double* value, double* derivative, double* param) const override;
};

// Dot product of the two directions, scaled as Parallel.
class ConstraintPerpendicular : public Constraint {
public:
    ConstraintPerpendicular(Line l1, Line l2);
    int type_id() const override { return 9; }
    void rescale(double coef = 1.0) override;
    void evaluate(double* value, double* derivative, double* param) const override;
};

// Direction of l2 equals the direction of l1 turned by angle (radians, counter-clockwise).
class ConstraintL2LAngle : public Constraint {
public:
    ConstraintL2LAngle(Line l1, Line l2, double* angle);
    int type_id() const override { return 10; }
    void evaluate(double* value, double* derivative, double* param) const override;
    double max_step(const std::map<double*, double>& direction, double lim) const override;
};

}  // namespace GCS
