// Small solver sketches shared by the solver tests and the solver benchmark. A sketch owns
// its parameter storage and its constraints; the storage can be laid out in reverse order
// to show that no result depends on where the values live.
#pragma once

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "solver/constraints.hpp"
#include "solver/geometry.hpp"

namespace GCS::testing {

inline constexpr double kPi = 3.14159265358979323846;

class Sketch {
public:
    Sketch(int capacity, bool reverse_storage) : storage_(capacity), reverse_(reverse_storage) {}
    Sketch(const Sketch&) = delete;
    Sketch& operator=(const Sketch&) = delete;

    // A new parameter with a value; unknown ones join the unknowns in order.
    double* param(double value, bool unknown)
    {
        const std::size_t k = next_++;
        double* p = &storage_.at(reverse_ ? storage_.size() - 1 - k : k);
        *p = value;
        if (unknown)
            unknowns.push_back(p);
        return p;
    }

    Point point(double x, double y, bool unknown)
    {
        double* px = param(x, unknown);
        double* py = param(y, unknown);
        return Point{px, py};
    }

    template <class C, class... Args>
    C* add(Args&&... args)
    {
        auto c = std::make_unique<C>(std::forward<Args>(args)...);
        C* raw = c.get();
        owned_.push_back(std::move(c));
        constraints.push_back(raw);
        return raw;
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

// A point that must lie on a fixed circle of radius 5 about (1, 2), started off it.
inline std::unique_ptr<Sketch> point_on_circle(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(8, reverse);
    const Point center = s->point(1.0, 2.0, false);
    double* radius = s->param(5.0, false);
    const Point p = s->point(4.3, 3.1, true);
    s->add<ConstraintP2PDistance>(p, center, radius);
    return s;
}

// A 3-4-5 triangle with one corner fixed at the origin and one side along the x axis,
// started from a distorted shape.
inline std::unique_ptr<Sketch> triangle(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(16, reverse);
    const Point a = s->point(0.2, -0.1, true);
    const Point b = s->point(3.4, 0.3, true);
    const Point c = s->point(2.6, 4.4, true);
    double* zero = s->param(0.0, false);
    double* d3 = s->param(3.0, false);
    double* d4 = s->param(4.0, false);
    double* d5 = s->param(5.0, false);
    s->add<ConstraintEqual>(a.x, zero, 1.0);
    s->add<ConstraintEqual>(a.y, zero, 1.0);
    s->add<ConstraintEqual>(b.y, zero, 1.0);
    s->add<ConstraintP2PDistance>(a, b, d3);
    s->add<ConstraintP2PDistance>(b, c, d4);
    s->add<ConstraintP2PDistance>(c, a, d5);
    return s;
}

// A line of length 10 at 30 degrees to a fixed horizontal line, started at about 40
// degrees and length 9.
inline std::unique_ptr<Sketch> line_angle_30(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(16, reverse);
    const Line base(s->point(0.0, 0.0, false), s->point(10.0, 0.0, false));
    const Point q1 = s->point(0.0, 0.0, false);
    const Point q2 = s->point(6.9, 5.8, true);
    double* angle = s->param(kPi / 6.0, false);
    double* length = s->param(10.0, false);
    s->add<ConstraintL2LAngle>(base, Line(q1, q2), angle);
    s->add<ConstraintP2PDistance>(q1, q2, length);
    return s;
}

// x = 1 and x = 2 at once.
inline std::unique_ptr<Sketch> inconsistent_pair(bool reverse = false)
{
    auto s = std::make_unique<Sketch>(4, reverse);
    double* x = s->param(0.0, true);
    double* one = s->param(1.0, false);
    double* two = s->param(2.0, false);
    s->add<ConstraintEqual>(x, one, 1.0);
    s->add<ConstraintEqual>(x, two, 1.0);
    return s;
}

// An open chain of n dimensioned lines: the first point fixed by coordinates, every line
// with a length, the first line's direction absolute, every further line turned against
// its predecessor by an angle (every fourth one by a perpendicularity). Exactly
// constrained; started from a seeded perturbation of the solution.
inline std::unique_ptr<Sketch> chain(int n, bool reverse = false, unsigned seed = 7)
{
    auto s = std::make_unique<Sketch>(2 * (n + 1) + 3 + 2 * n, reverse);
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
        pts.push_back(s->point(xs[i] + jitter(rng), ys[i] + jitter(rng), true));
    double* x0 = s->param(xs[0], false);
    double* y0 = s->param(ys[0], false);
    double* zero = s->param(0.0, false);
    s->add<ConstraintEqual>(pts[0].x, x0, 1.0);
    s->add<ConstraintEqual>(pts[0].y, y0, 1.0);
    for (int i = 0; i < n; ++i) {
        const Line line(pts[i], pts[i + 1]);
        s->add<ConstraintP2PDistance>(pts[i], pts[i + 1], s->param(lengths[i], false));
        if (i == 0) {
            s->add<ConstraintP2PAngle>(pts[0], pts[1], zero, 0.0);
        } else if (i % 4 == 3) {
            s->add<ConstraintPerpendicular>(Line(pts[i - 1], pts[i]), line);
        } else {
            s->add<ConstraintL2LAngle>(Line(pts[i - 1], pts[i]), line, s->param(turns[i], false));
        }
    }
    return s;
}

}  // namespace GCS::testing
