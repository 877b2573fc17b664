#include "solver/geometry.hpp"

#include <cmath>

namespace GCS {

namespace {

// Derivative of a value read through `source` by `param`.
double d(const double* source, const double* param)
{
    return source == param ? 1.0 : 0.0;
}

}  // namespace

VectorAndDerivative Curve::normal_at(double u, double du, double* param) const
{
    VectorAndDerivative v = value_at(u, du, param);
    // A point over the computed value; the derivative of the point comes from v itself.
    double px = v.x;
    double py = v.y;
    Point p{&px, &py};
    VectorAndDerivative n = normal_at_point(p, nullptr);
    // normal_at_point sees a point independent of param; fold in the point's own derivative
    // for the classes whose normal depends on the point.
    VectorAndDerivative np = normal_at_point(p, &px);
    VectorAndDerivative nq = normal_at_point(p, &py);
    VectorAndDerivative full = normal_at_point(p, param);
    n.dx = full.dx + np.dx * v.dx + nq.dx * v.dy;
    n.dy = full.dy + np.dy * v.dx + nq.dy * v.dy;
    return n;
}

VectorAndDerivative Line::normal_at_point(const Point&, double* param) const
{
    VectorAndDerivative r;
    r.x = -(*p2.y - *p1.y);
    r.dx = -(d(p2.y, param) - d(p1.y, param));
    r.y = *p2.x - *p1.x;
    r.dy = d(p2.x, param) - d(p1.x, param);
    return r;
}

VectorAndDerivative Line::value_at(double u, double du, double* param) const
{
    VectorAndDerivative r;
    const double ex = *p2.x - *p1.x;
    const double ey = *p2.y - *p1.y;
    r.x = *p1.x + u * ex;
    r.dx = (d(p2.x, param) - d(p1.x, param)) * u + ex * du + d(p1.x, param);
    r.y = *p1.y + u * ey;
    r.dy = (d(p2.y, param) - d(p1.y, param)) * u + ey * du + d(p1.y, param);
    return r;
}

int Line::push_params(std::vector<double*>& out) const
{
    out.push_back(p1.x);
    out.push_back(p1.y);
    out.push_back(p2.x);
    out.push_back(p2.y);
    return 4;
}

void Line::rebind_params(const std::vector<double*>& params, int& i)
{
    p1.x = params[i++];
    p1.y = params[i++];
    p2.x = params[i++];
    p2.y = params[i++];
}

Line* Line::copy() const
{
    return new Line(*this);
}

VectorAndDerivative Circle::normal_at_point(const Point& p, double* param) const
{
    VectorAndDerivative r;
    r.x = *center.x - *p.x;
    r.dx = d(center.x, param) - d(p.x, param);
    r.y = *center.y - *p.y;
    r.dy = d(center.y, param) - d(p.y, param);
    return r;
}

VectorAndDerivative Circle::value_at(double u, double du, double* param) const
{
    VectorAndDerivative r;
    const double c = std::cos(u);
    const double s = std::sin(u);
    r.x = *center.x + *rad * c;
    r.dx = *rad * -s * du + d(rad, param) * c + d(center.x, param);
    r.y = *center.y + *rad * s;
    r.dy = *rad * c * du + d(rad, param) * s + d(center.y, param);
    return r;
}

int Circle::push_params(std::vector<double*>& out) const
{
    out.push_back(center.x);
    out.push_back(center.y);
    out.push_back(rad);
    return 3;
}

void Circle::rebind_params(const std::vector<double*>& params, int& i)
{
    center.x = params[i++];
    center.y = params[i++];
    rad = params[i++];
}

Circle* Circle::copy() const
{
    return new Circle(*this);
}

}  // namespace GCS
