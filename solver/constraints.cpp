#include "solver/constraints.hpp"

#include <algorithm>
#include <cmath>

namespace GCS {

// ---- base ----------------------------------------------------------------------------

int Constraint::type_id() const
{
    return 0;
}

void Constraint::rescale(double coef)
{
    scale_ = coef;
}

void Constraint::evaluate(double* value, double* derivative, double*) const
{
    if (value)
        *value = 0.0;
    if (derivative)
        *derivative = 0.0;
}

double Constraint::error() const
{
    double value = 0.0;
    evaluate(&value, nullptr, nullptr);
    return value * scale_;
}

double Constraint::grad(double* param) const
{
    if (std::find(params_.begin(), params_.end(), param) == params_.end())
        return 0.0;
    double derivative = 0.0;
    evaluate(nullptr, &derivative, param);
    return derivative * scale_;
}

double Constraint::max_step(const std::map<double*, double>&, double lim) const
{
    return lim;
}

void Constraint::redirect_params(const std::map<double*, double*>& map)
{
    for (std::size_t i = 0; i < given_params_.size(); ++i) {
        auto it = map.find(given_params_[i]);
        if (it != map.end())
            params_[i] = it->second;
    }
    params_changed_ = true;
}

void Constraint::revert_params()
{
    params_ = given_params_;
    params_changed_ = true;
}

double Constraint::sum_partials(const double* partial, double* param) const
{
    // A pointer may stand at several positions (a parameter shared by both ends, or two
    // parameters reduced onto one slot): its derivative is the sum over all of them.
    double sum = 0.0;
    for (std::size_t i = 0; i < params_.size(); ++i)
        if (params_[i] == param)
            sum += partial[i];
    return sum;
}

namespace {

double component(const std::map<double*, double>& direction, double* param)
{
    auto it = direction.find(param);
    return it == direction.end() ? 0.0 : it->second;
}

// Step bound of an angle parameter: no more than 10 degrees per step.
double angle_max_step(const std::map<double*, double>& direction, double* angle, double lim)
{
    auto it = direction.find(angle);
    if (it != direction.end() && std::fabs(it->second) > kMaxAngleStep)
        lim = std::min(lim, kMaxAngleStep / std::fabs(it->second));
    return lim;
}

void push_line(std::vector<double*>& out, const Line& l)
{
    l.push_params(out);
}

}  // namespace

// ---- Equal ---------------------------------------------------------------------------

ConstraintEqual::ConstraintEqual(double* p1, double* p2, double ratio) : ratio_(ratio)
{
    params_ = {p1, p2};
    init_given_params();
}

void ConstraintEqual::evaluate(double* value, double* derivative, double* param) const
{
    if (value)
        *value = *params_[0] - ratio_ * *params_[1];
    if (derivative) {
        const double partial[2] = {1.0, -ratio_};
        *derivative = sum_partials(partial, param);
    }
}

// ---- P2PDistance ---------------------------------------------------------------------

ConstraintP2PDistance::ConstraintP2PDistance(Point p1, Point p2, double* distance)
{
    params_ = {p1.x, p1.y, p2.x, p2.y, distance};
    init_given_params();
}

void ConstraintP2PDistance::evaluate(double* value, double* derivative, double* param) const
{
    const double dx = *params_[0] - *params_[2];
    const double dy = *params_[1] - *params_[3];
    const double r = std::sqrt(dx * dx + dy * dy);
    if (value)
        *value = r - *params_[4];
    if (derivative) {
        const double partial[5] = {dx / r, dy / r, -dx / r, -dy / r, -1.0};
        *derivative = sum_partials(partial, param);
    }
}

double ConstraintP2PDistance::max_step(const std::map<double*, double>& direction, double lim) const
{
    const double distance = *params_[4];
    auto it = direction.find(params_[4]);
    if (it != direction.end() && it->second < 0.0)
        lim = std::min(lim, -distance / it->second);

    const double ddx = component(direction, params_[0]) - component(direction, params_[2]);
    const double ddy = component(direction, params_[1]) - component(direction, params_[3]);
    const double dd = std::sqrt(ddx * ddx + ddy * ddy);
    if (dd > distance) {
        const double dx = *params_[0] - *params_[2];
        const double dy = *params_[1] - *params_[3];
        const double r = std::sqrt(dx * dx + dy * dy);
        if (dd > r)
            lim = std::min(lim, std::max(distance, r) / dd);
    }
    return lim;
}

// ---- P2PAngle ------------------------------------------------------------------------

ConstraintP2PAngle::ConstraintP2PAngle(Point p1, Point p2, double* angle, double offset) : offset_(offset)
{
    params_ = {p1.x, p1.y, p2.x, p2.y, angle};
    init_given_params();
}

void ConstraintP2PAngle::evaluate(double* value, double* derivative, double* param) const
{
    const double dx = *params_[2] - *params_[0];
    const double dy = *params_[3] - *params_[1];
    if (value) {
        const double a = *params_[4] + offset_;
        const double ca = std::cos(a);
        const double sa = std::sin(a);
        *value = std::atan2(dy * ca - dx * sa, dx * ca + dy * sa);
    }
    if (derivative) {
        const double q = dx * dx + dy * dy;
        const double partial[5] = {dy / q, -dx / q, -dy / q, dx / q, -1.0};
        *derivative = sum_partials(partial, param);
    }
}

double ConstraintP2PAngle::max_step(const std::map<double*, double>& direction, double lim) const
{
    return angle_max_step(direction, params_[4], lim);
}

// ---- Parallel and Perpendicular ------------------------------------------------------

namespace {

// d(l) = p1 - p2 of the two lines held in params[0..7].
struct Directions {
    double d1x, d1y, d2x, d2y;
};

Directions directions(const std::vector<double*>& p)
{
    return {*p[0] - *p[2], *p[1] - *p[3], *p[4] - *p[6], *p[5] - *p[7]};
}

double inverse_length_product(const std::vector<double*>& p)
{
    const Directions d = directions(p);
    return 1.0 / std::sqrt((d.d1x * d.d1x + d.d1y * d.d1y) * (d.d2x * d.d2x + d.d2y * d.d2y));
}

}  // namespace

ConstraintParallel::ConstraintParallel(Line l1, Line l2)
{
    push_line(params_, l1);
    push_line(params_, l2);
    init_given_params();
    rescale();
}

void ConstraintParallel::rescale(double coef)
{
    scale_ = coef * inverse_length_product(params_);
}

void ConstraintParallel::evaluate(double* value, double* derivative, double* param) const
{
    const Directions d = directions(params_);
    if (value)
        *value = d.d1x * d.d2y - d.d1y * d.d2x;
    if (derivative) {
        const double partial[8] = {d.d2y, -d.d2x, -d.d2y, d.d2x, -d.d1y, d.d1x, d.d1y, -d.d1x};
        *derivative = sum_partials(partial, param);
    }
}

ConstraintPerpendicular::ConstraintPerpendicular(Line l1, Line l2)
{
    push_line(params_, l1);
    push_line(params_, l2);
    init_given_params();
    rescale();
}

void ConstraintPerpendicular::rescale(double coef)
{
    scale_ = coef * inverse_length_product(params_);
}

void ConstraintPerpendicular::evaluate(double* value, double* derivative, double* param) const
{
    const Directions d = directions(params_);
    if (value)
        *value = d.d1x * d.d2x + d.d1y * d.d2y;
    if (derivative) {
        const double partial[8] = {d.d2x, d.d2y, -d.d2x, -d.d2y, d.d1x, d.d1y, -d.d1x, -d.d1y};
        *derivative = sum_partials(partial, param);
    }
}

// ---- L2LAngle ------------------------------------------------------------------------

ConstraintL2LAngle::ConstraintL2LAngle(Line l1, Line l2, double* angle)
{
    push_line(params_, l1);
    push_line(params_, l2);
    params_.push_back(angle);
    init_given_params();
}

void ConstraintL2LAngle::evaluate(double* value, double* derivative, double* param) const
{
    // e(l) = p2 - p1
    const double e1x = *params_[2] - *params_[0];
    const double e1y = *params_[3] - *params_[1];
    const double e2x = *params_[6] - *params_[4];
    const double e2y = *params_[7] - *params_[5];
    if (value) {
        const double a = std::atan2(e1y, e1x) + *params_[8];
        const double ca = std::cos(a);
        const double sa = std::sin(a);
        *value = std::atan2(e2y * ca - e2x * sa, e2x * ca + e2y * sa);
    }
    if (derivative) {
        const double q1 = e1x * e1x + e1y * e1y;
        const double q2 = e2x * e2x + e2y * e2y;
        const double partial[9] = {-e1y / q1, e1x / q1, e1y / q1, -e1x / q1,
                                   e2y / q2,  -e2x / q2, -e2y / q2, e2x / q2, -1.0};
        *derivative = sum_partials(partial, param);
    }
}

double ConstraintL2LAngle::max_step(const std::map<double*, double>& direction, double lim) const
{
    return angle_max_step(direction, params_[8], lim);
}

}  // namespace GCS
