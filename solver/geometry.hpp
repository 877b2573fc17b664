// Solver geometry: views onto caller-owned double parameters. Nothing here owns a value.
#pragma once

#include <vector>

namespace GCS {

struct Point {
    double* x = nullptr;
    double* y = nullptr;
};

// A 2-D vector and its derivative by one parameter.
struct VectorAndDerivative {
    double x = 0.0;
    double dx = 0.0;
    double y = 0.0;
    double dy = 0.0;
};

class Curve {
public:
    virtual ~Curve() = default;
    // value_at(u, du, param) followed by normal_at_point of that point.
    virtual VectorAndDerivative normal_at(double u, double du, double* param) const;
    virtual VectorAndDerivative normal_at_point(const Point& p, double* param) const = 0;
    virtual VectorAndDerivative value_at(double u, double du, double* param) const = 0;
    // Appends the parameter pointers in field order; returns how many.
    virtual int push_params(std::vector<double*>& out) const = 0;
    // Takes the parameter pointers from `params` starting at i, advancing i once per pointer.
    virtual void rebind_params(const std::vector<double*>& params, int& i) = 0;
    virtual Curve* copy() const = 0;
};

class Line : public Curve {
public:
    Point p1;
    Point p2;

    Line() = default;
    Line(Point a, Point b) : p1(a), p2(b) {}

    // Left normal of p1 -> p2, the same at every point.
    VectorAndDerivative normal_at_point(const Point& p, double* param) const override;
    VectorAndDerivative value_at(double u, double du, double* param) const override;
    int push_params(std::vector<double*>& out) const override;
    void rebind_params(const std::vector<double*>& params, int& i) override;
    Line* copy() const override;
};

class Circle : public Curve {
public:
    Point center;
    double* rad = nullptr;

    Circle() = default;
    Circle(Point c, double* r) : center(c), rad(r) {}

    // center - p
    VectorAndDerivative normal_at_point(const Point& p, double* param) const override;
    // center + rad (cos u, sin u)
    VectorAndDerivative value_at(double u, double du, double* param) const override;
    int push_params(std::vector<double*>& out) const override;
    void rebind_params(const std::vector<double*>& params, int& i) override;
    Circle* copy() const override;
};

}  // namespace GCS
