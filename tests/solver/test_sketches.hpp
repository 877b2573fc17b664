// Parameter storage and small sketches shared by the solver tests and the solver benchmark.
// The storage never moves and can be laid out in reverse order, to show that no result
// depends on where the values live.
#pragma once

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "solver/constraints.hpp"
#include "solver/geometry.hpp"

namespace vesk::test {

using GCS::Constraint;
using GCS::ConstraintEqual;
using GCS::ConstraintL2LAngle;
using GCS::ConstraintP2PAngle;
using GCS::ConstraintP2PDistance;
using GCS::ConstraintPerpendicular;
using GCS::Line;
using GCS::Point;

inline constexpr double kPi = 3.14159265358979323846;

class Sketch {
public:
    explicit Sketch(bool reverse_storage = false, std::size_t capacity = 1024)
        : storage_(capacity), reverse_(reverse_storage)
    {
    }
    Sketch(const Sketch&) = delete;
    Sketch& operator=(const Sketch&) = delete;

    // A new parameter; unknown ones join `unknowns` in order of creation.
    double* param(double value, bool unknown = false)
    {
        const std::size_t k = next_++;
        double* p = &storage_.at(reverse_ ? storage_.size() - 1 - k : k);
        *p = value;
        if (unknown)
            unknowns.push_back(p);
        return p;
    }
    Point point(double x, double y, bool unknown = true)
    {
        double* px = param(x, unknown);
        double* py = param(y, unknown);
        return Point{px, py};
    }
    // Creation index of a parameter: a name for it that does not depend on the layout.
    long index_of(const double* p) const
    {
        const long at = p - storage_.data();
        return reverse_ ? static_cast<long>(storage_.size()) - 1 - at : at;
    }

    template <class C, class... Args>
    C* add(Args&&... args)
    {
        owned_.push_back(std::make_unique<C>(std::forward<Args>(args)...));
        constraints.push_back(owned_.back().get());
        return static_cast<C*>(owned_.back().get());
    }

    std::vector<double> unknown_values() const
    {
        std::vector<double> out;
        for (double* p : unknowns)
            out.push_back(*p);
        return out;
    }
    double max_abs_error() const
    {
        double m = 0.0;
        for (Constraint* c : constraints)
            m = std::max(m, std::fabs(c->error()));
        return m;
    }

    std::vector<Constraint*> constraints;
    std::vector<double*> unknowns;

private:
    std::vector<double> storage_;
    std::size_t next_ = 0;
    bool reverse_;
    std::vector<std::unique_ptr<Constraint>> owned_;
};

// A point on a fixed circle of radius 5 about (1, 2), started off it.
inline std::unique_ptr<Sketch> point_on_circle(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(reverse);
    const Point center = s->point(1.0, 2.0, false);
    double* radius = s->param(5.0);
    s->add<ConstraintP2PDistance>(s->point(4.3, 3.1), center, radius);
    return s;
}

// A 3-4-5 triangle, one corner at the origin and one side on the x axis, started distorted.
inline std::unique_ptr<Sketch> triangle(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(reverse);
    const Point a = s->point(0.2, -0.1);
    const Point b = s->point(3.4, 0.3);
    const Point c = s->point(2.6, 4.4);
    double* zero = s->param(0.0);
    s->add<ConstraintEqual>(a.x, zero, 1.0);
    s->add<ConstraintEqual>(a.y, zero, 1.0);
    s->add<ConstraintEqual>(b.y, zero, 1.0);
    s->add<ConstraintP2PDistance>(a, b, s->param(3.0));
    s->add<ConstraintP2PDistance>(b, c, s->param(4.0));
    s->add<ConstraintP2PDistance>(c, a, s->param(5.0));
    return s;
}

// A line of length 10 at 30 degrees to a fixed horizontal line, started at about 40 degrees
// and length 9.
inline std::unique_ptr<Sketch> line_angle_30(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(reverse);
    const Line base(s->point(0.0, 0.0, false), s->point(10.0, 0.0, false));
    const Point q1 = s->point(0.0, 0.0, false);
    const Point q2 = s->point(6.9, 5.8);
    s->add<ConstraintL2LAngle>(base, Line(q1, q2), s->param(kPi / 6.0));
    s->add<ConstraintP2PDistance>(q1, q2, s->param(10.0));
    return s;
}

// x = 1 and x = 2 at once.
inline std::unique_ptr<Sketch> inconsistent_pair(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(reverse);
    double* x = s->param(0.0, true);
    s->add<ConstraintEqual>(x, s->param(1.0), 1.0);
    s->add<ConstraintEqual>(x, s->param(2.0), 1.0);
    return s;
}

// An open chain of n dimensioned lines: the first point fixed, every line with a length,
// the first line's direction absolute, every further line turned against its predecessor
// by an angle (every fourth by a perpendicularity). Exactly constrained; started from a
// seeded perturbation of the solution.
inline std::unique_ptr<Sketch> chain(int n, bool reverse = false, unsigned seed = 7)
{
    auto s = std::make_unique<Sketch>(reverse, 4 * static_cast<std::size_t>(n) + 8);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-0.05, 0.05);

    std::vector<double> xs{0.0}, ys{0.0}, lengths, turns;
    double heading = 0.0;
    for (int i = 0; i < n; ++i) {
        const double length = 8.0 + (i % 5);
        const double turn = i == 0 ? 0.0 : (i % 4 == 3 ? (i % 8 == 3 ? kPi / 2 : -kPi / 2) : (i % 2 ? kPi / 6 : -kPi / 4));
        heading += turn;
        xs.push_back(xs.back() + length * std::cos(heading));
        ys.push_back(ys.back() + length * std::sin(heading));
        lengths.push_back(length);
        turns.push_back(turn);
    }

    std::vector<Point> pts;
    for (int i = 0; i <= n; ++i)
        pts.push_back(s->point(xs[i] + jitter(rng), ys[i] + jitter(rng)));
    double* zero = s->param(0.0);
    s->add<ConstraintEqual>(pts[0].x, s->param(xs[0]), 1.0);
    s->add<ConstraintEqual>(pts[0].y, s->param(ys[0]), 1.0);
    for (int i = 0; i < n; ++i) {
        const Line line(pts[i], pts[i + 1]);
        s->add<ConstraintP2PDistance>(pts[i], pts[i + 1], s->param(lengths[i]));
        if (i == 0)
            s->add<ConstraintP2PAngle>(pts[0], pts[1], zero, 0.0);
        else if (i % 4 == 3)
            s->add<ConstraintPerpendicular>(Line(pts[i - 1], pts[i]), line);
        else
            s->add<ConstraintL2LAngle>(Line(pts[i - 1], pts[i]), line, s->param(turns[i]));
    }
    return s;
}

}  // namespace vesk::test
