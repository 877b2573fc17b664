// Rank diagnosis: hand-derived sketches, an independent rank check by SVD of a
// finite-difference Jacobian, agreement of the dense and sparse paths, the diagnostic
// print-out, and bit-identical results across runs, layouts and threads.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "solver/diagnosis_qr.hpp"
#include "solver/diagnosis_qr_internal.hpp"
#include "solver/system.hpp"
#include "solver/test_sketches.hpp"

namespace {

using GCS::Circle;
using GCS::Line;
using GCS::Point;
using GCS::System;
using vesk::test::kPi;
using vesk::test::Sketch;
using Build = std::function<void(System&, Sketch&)>;

void anchor(System& sys, Sketch& sk, Point p)
{
    sys.add_coordinate_x(p, sk.param(*p.x), 0);
    sys.add_coordinate_y(p, sk.param(*p.y), 0);
}

enum class Path { automatic, dense, sparse };

void choose_path(System& sys, Path path)
{
    if (path == Path::automatic)
        return;
    sys.auto_qr = false;
    sys.qr_algorithm = path == Path::dense ? 0 : 1;
}

struct Outcome {
    bool has_diagnosis = false;
    int dofs = 0;
    std::vector<int> conflicting;
    std::vector<int> redundant;
    std::vector<int> partially_redundant;
    std::vector<long> redundant_constraints;          // indices in order of adding
    std::vector<std::vector<long>> dependent_groups;  // parameter creation indices
    std::vector<double> values;

    bool operator==(const Outcome&) const = default;
};

Outcome outcome_of(const System& sys, const Sketch& sk)
{
    Outcome out{sys.has_diagnosis, sys.dofs, sys.conflicting_tags, sys.redundant_tags, sys.partially_redundant_tags,
                {}, {}, sk.unknown_values()};
    for (std::size_t i = 0; i < sys.constraints().size(); ++i)
        if (sys.redundant().count(sys.constraints()[i]))
            out.redundant_constraints.push_back(static_cast<long>(i));
    for (const auto& group : sys.dependent_groups()) {
        out.dependent_groups.emplace_back();
        for (const double* p : group)
            out.dependent_groups.back().push_back(sk.index_of(p));
    }
    return out;
}

// Builds, declares every unknown of the sketch and runs init_solution, which must leave the
// caller's values as they were.
Outcome run(const Build& build, Path path, int algorithm = 2, bool reverse = false, int debug_level = 0)
{
    Sketch sk(reverse);
    System sys;
    sys.debug_level = debug_level;
    choose_path(sys, path);
    build(sys, sk);
    sys.declare_unknowns(sk.unknowns);
    const std::vector<double> before = sk.unknown_values();
    sys.init_solution(algorithm);
    Outcome out = outcome_of(sys, sk);
    EXPECT_EQ(out.values, before);
    return out;
}

// ---------------------------------------------------------------------------------------
// Hand-derived cases.

struct Expected {
    int dofs;
    std::vector<int> conflicting;
    std::vector<int> redundant;
    std::vector<int> partially_redundant;
    std::vector<long> redundant_constraints;
    // When not 0, which of several equivalent constraints turn out redundant depends on the
    // pivot order: `redundant` lists the allowed tags, and `picks` constraints are expected.
    std::size_t picks = 0;
};

// p1 fixed, p2 held on the x axis, then a distance of each given length (tags 1, 2, ...).
Build anchored_line(std::vector<double> distances)
{
    return [=](System& sys, Sketch& sk) {
        Point p1 = sk.point(0.0, 0.0);
        Point p2 = sk.point(10.0, 0.0);
        anchor(sys, sk, p1);
        sys.add_coordinate_y(p2, sk.param(0.0), 0);
        int tag = 1;
        for (double d : distances)
            sys.add_point_distance(p1, p2, sk.param(d), tag++);
    };
}

Build anchored_circle(double radius, double diameter)
{
    return [=](System& sys, Sketch& sk) {
        const Point center = sk.point(3.0, 4.0);
        Circle c(center, sk.param(5.0, true));
        anchor(sys, sk, c.center);
        sys.add_radius(c, sk.param(radius), 1);
        sys.add_diameter(c, sk.param(diameter), 2);
    };
}

// Two anchored points joined by a coincidence.
Build joined_points(double qx)
{
    return [=](System& sys, Sketch& sk) {
        Point p = sk.point(1.0, 2.0);
        Point q = sk.point(qx, 2.0);
        anchor(sys, sk, p);
        anchor(sys, sk, q);
        sys.add_coincident(p, q, 1);
    };
}

// Closed rectangle 10 x 5 of four lines that each own their end points.
void rectangle(System& sys, Sketch& sk)
{
    const double x[4] = {0.0, 10.0, 10.0, 0.0};
    const double y[4] = {0.0, 0.0, 5.0, 5.0};
    Line lines[4];
    for (int k = 0; k < 4; ++k)
        lines[k] = Line(sk.point(x[k], y[k]), sk.point(x[(k + 1) % 4], y[(k + 1) % 4]));
    anchor(sys, sk, lines[0].p1);
    sys.add_coordinate_y(lines[0].p2, sk.param(0.0), 0);
    int tag = 1;
    for (int k = 0; k < 4; ++k)
        sys.add_coincident(lines[k].p2, lines[(k + 1) % 4].p1, tag++);
    const double length[4] = {10.0, 5.0, 10.0, 5.0};
    for (int k = 0; k < 4; ++k)
        sys.add_point_distance(lines[k].p1, lines[k].p2, sk.param(length[k]), tag++);
    for (int k = 0; k < 3; ++k)
        sys.add_perpendicular(lines[k], lines[k + 1], tag++);
}

// x of an unknown-x point, by two coordinates of the given tags and values; the second
// constraint gets the flag.
Build two_x(int tag1, double x1, int tag2, double x2, int flag)
{
    return [=](System& s, Sketch& sk) {
        Point p{sk.param(2.0, true), sk.param(3.0)};
        s.add_coordinate_x(p, sk.param(x1), tag1);
        s.constraints()[s.add_coordinate_x(p, sk.param(x2), tag2)]->set_flag(flag);
    };
}

// A free point, and x = 3 of a fixed one held by a dimension of the given value.
Build fixed_dimension(double value)
{
    return [=](System& s, Sketch& sk) {
        sk.point(1.0, 2.0);
        Point fixed = sk.point(3.0, 4.0, false);
        s.add_coordinate_x(fixed, sk.param(value), 1);
    };
}

void contradictory_anchors(System& s, Sketch& sk)
{
    Point p = sk.point(1.0, 0.0);
    s.add_coordinate_x(p, sk.param(1.0), 0);
    s.add_coordinate_x(p, sk.param(2.0), 0);
    s.add_coordinate_y(p, sk.param(0.0), 0);
}

void three_x(System& s, Sketch& sk)
{
    Point p{sk.param(2.0, true), sk.param(3.0)};
    for (int tag : {1, 2, 3})
        s.add_coordinate_x(p, sk.param(2.0), tag);
}

struct HandCase {
    const char* name;
    Build build;
    Expected expected;
};

const std::vector<HandCase>& hand_cases()
{
    static const std::vector<HandCase> cases = {
        {"free point", [](System&, Sketch& sk) { sk.point(1.0, 2.0); }, {2, {}, {}, {}, {}}},
        {"anchored line", anchored_line({}), {1, {}, {}, {}, {}}},
        {"plus a distance", anchored_line({10.0}), {0, {}, {}, {}, {}}},
        {"plus an equal second distance", anchored_line({10.0, 10.0}), {0, {}, {2}, {}, {4}}},
        {"plus a different second distance", anchored_line({10.0, 12.0}), {-1, {1, 2}, {}, {}, {}}},
        {"radius and equal diameter", anchored_circle(5.0, 10.0), {0, {}, {2}, {}, {3}}},
        {"radius and other diameter", anchored_circle(5.0, 12.0), {-1, {1, 2}, {}, {}, {}}},
        // Both equalities of the coincidence repeat the anchors.
        {"coincident equal anchored points", joined_points(1.0), {0, {}, {1}, {}, {4, 5}}},
        // The y equality still holds, the x one contradicts the anchors.
        {"coincident points differing in x", joined_points(4.0), {-1, {1}, {}, {1}, {5}}},
        // A dimension between fixed points has an empty Jacobian row: it depends on nothing,
        // and the re-solve cannot mend it.
        {"dimension on fixed geometry", fixed_dimension(5.0), {2, {1}, {}, {}, {}}},
        {"satisfied dimension on fixed geometry", fixed_dimension(3.0), {2, {}, {1}, {}, {0}}},
        // Anchors are never reported, but the count still shows the contradiction.
        {"contradictory anchors", contradictory_anchors, {-1, {}, {}, {}, {}}},
        // 16 parameters, 18 equations of rank 16. The four lengths make a parallelogram, so
        // one right angle implies the other two; which one is picked depends on the pivots.
        {"closed rectangle", rectangle, {0, {}, {9, 10, 11}, {}, {}, 1}},

        // The greedy choice: the constraint in most groups first. Three equal x coordinates
        // make two groups, and whichever is the pivot lies in both.
        {"most groups", three_x, {0, {}, {1, 2, 3}, {}, {}, 1}},
        // Then the tag with fewer constraints: coordinate x (tag 1, alone) over the
        // coincidence (tag 2, two constraints).
        {"smaller tag multiplicity",
         [](System& s, Sketch& sk) {
             Point p = sk.point(2, 3);
             Point q = sk.point(2, 3);
             anchor(s, sk, p);
             s.add_coincident(p, q, 2);
             s.add_coordinate_x(q, sk.param(2.0), 1);
         },
         {0, {}, {1}, {}, {4}}},
        // Then the larger tag; equal in everything, the constraint added first.
        {"larger tag", two_x(4, 2.0, 9, 2.0, 0), {0, {}, {9}, {}, {1}}},
        {"order of adding",
         [](System& s, Sketch& sk) {
             Point p = sk.point(2, 3);
             Point q = sk.point(2, 3);
             Point r = sk.point(5, 7, false);
             anchor(s, sk, p);
             s.add_coincident(p, q, 1);
             s.add_point_distance(r, q, sk.param(5.0), 0);
         },
         {0, {}, {}, {1}, {2}}},
        // Never a constraint of flag 1, which counts as an anchor among conflicts.
        {"flag 1", two_x(4, 2.0, 9, 2.0, 1), {0, {}, {4}, {}, {0}}},
        {"flag 1 in conflict", two_x(4, 2.0, 9, 5.0, 1), {-1, {4}, {}, {}, {}}},
    };
    return cases;
}

// Every case on each path, with each solver in the re-solve, on storage laid out both ways.
TEST(Diagnosis, HandDerivedCasesOnEveryPathAndSolver)
{
    for (const HandCase& c : hand_cases()) {
        const Expected& want = c.expected;
        for (Path path : {Path::automatic, Path::dense, Path::sparse}) {
            for (int algorithm : {0, 1, 2}) {
                const std::string where = std::string(c.name) + " path " + std::to_string(static_cast<int>(path)) +
                                          " algorithm " + std::to_string(algorithm);
                const Outcome got = run(c.build, path, algorithm);
                EXPECT_EQ(run(c.build, path, algorithm, true), got) << where << " reversed storage";
                EXPECT_TRUE(got.has_diagnosis) << where;
                EXPECT_EQ(got.dofs, want.dofs) << where;
                EXPECT_EQ(got.conflicting, want.conflicting) << where;
                EXPECT_EQ(got.partially_redundant, want.partially_redundant) << where;
                if (want.picks == 0) {
                    EXPECT_EQ(got.redundant, want.redundant) << where;
                    EXPECT_EQ(got.redundant_constraints, want.redundant_constraints) << where;
                } else {
                    EXPECT_EQ(got.redundant_constraints.size(), want.picks) << where;
                    EXPECT_TRUE(std::includes(want.redundant.begin(), want.redundant.end(), got.redundant.begin(),
                                              got.redundant.end()))
                        << where << " " << ::testing::PrintToString(got.redundant);
                }
            }
        }
    }
}

TEST(Diagnosis, FailedResolveKeepsEveryGroupAsConflict)
{
    // An algorithm number that names no solver counts as a failed re-solve.
    const Outcome out = run(anchored_line({10.0, 10.0}), Path::dense, 7);
    EXPECT_EQ(out.dofs, -1);
    EXPECT_EQ(out.conflicting, (std::vector<int>{1, 2}));
    EXPECT_TRUE(out.redundant_constraints.empty());
}

// From 1000 diagnosed parameters, or from 2,000,000 Jacobian entries (rows times
// parameters), the automatic choice takes the sparse path; an unknown algorithm skips the
// decomposition and leaves every parameter free.
TEST(Diagnosis, ChoiceOfDecomposition)
{
    for (auto [n, rows] : {std::pair{999, 1}, {1000, 1}, {100, 19999}, {100, 20000}}) {
        Sketch sk(false, 2048);
        System sys;
        sys.debug_level = 0;
        sys.qr_algorithm = 7;
        for (int k = 0; k < n; ++k)
            sk.param(k, true);
        Point p{sk.unknowns[0], sk.unknowns[1]};
        double zero = 0.0;
        for (int r = 0; r < rows; ++r)
            sys.add_coordinate_x(p, &zero, 1);
        sys.declare_unknowns(sk.unknowns);
        sys.init_solution();
        EXPECT_EQ(sys.qr_algorithm, n >= 1000 || n * rows >= 2000000 ? 1 : 0) << n << " x " << rows;
        EXPECT_EQ(sys.dofs, n - 1);
    }
    Sketch sk;
    System sys;
    sys.debug_level = 0;
    sys.auto_qr = false;
    sys.qr_algorithm = 5;
    anchored_line({10.0, 12.0})(sys, sk);
    sys.declare_unknowns(sk.unknowns);
    sys.init_solution();
    EXPECT_TRUE(sys.has_diagnosis);
    EXPECT_FALSE(sys.empty_jacobian);
    EXPECT_EQ(sys.dofs, 4);
    EXPECT_TRUE(sys.conflicting_tags.empty());
}

// ---------------------------------------------------------------------------------------
// Random sketches.

struct RandomSketch {
    std::unique_ptr<Sketch> sketch;
    std::unique_ptr<System> system;
};

// A random sketch whose dimension values are measured from its own configuration (moved by
// up to `perturb` percent of 10), covering every adder.
//
// With `with_anchors`, some constraints get tag 0. A dependency among anchors alone offers
// no candidate to drop and counts as a conflict whatever the values, so which groups the
// pivot order forms can then change dofs; without anchors dofs of a consistent sketch is
// parameters minus rank.
//
// add_random_block adds one such sketch to a system and returns its points; tags continue
// from `tag`.
std::vector<Point> add_random_block(System& sys, Sketch& sk, std::mt19937& rng, double perturb, bool with_anchors,
                                    int& tag)
{
    std::uniform_real_distribution<double> coord(-10.0, 10.0);
    std::uniform_real_distribution<double> scale(0.3, 2.0);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };

    std::vector<Point> points;
    std::vector<Line> lines;
    std::vector<Circle> circles;
    const int n_points = 2 + static_cast<int>(pick(4));
    for (int k = 0; k < n_points; ++k)
        points.push_back(sk.point(coord(rng), coord(rng)));
    auto value = [&](double v) { return sk.param(v + perturb * coord(rng) * 0.01); };
    // Distances, angles and directions need points apart.
    auto apart = [](const Point& p, const Point& q) { return std::hypot(*q.x - *p.x, *q.y - *p.y) > 0.5; };
    auto add_line = [&]() {
        const std::size_t a = pick(points.size());
        for (std::size_t k = 1; k < points.size(); ++k) {
            const std::size_t b = (a + k) % points.size();
            if (apart(points[a], points[b])) {
                lines.emplace_back(points[a], points[b]);
                return;
            }
        }
    };
    add_line();
    add_line();

    const int n_constraints = 2 + static_cast<int>(pick(4 * n_points + 6));
    for (int k = 0; k < n_constraints; ++k) {
        const int t = (with_anchors && pick(6) == 0) ? 0 : tag++;
        const std::size_t kind = pick(10);
        switch (kind) {
        case 0:
        case 1: {
            Point p = points[pick(points.size())];
            if (kind == 0)
                sys.add_coordinate_x(p, value(*p.x), t);
            else
                sys.add_coordinate_y(p, value(*p.y), t);
            break;
        }
        case 2:
        case 3: {
            Point& p = points[pick(points.size())];
            Point& q = points[pick(points.size())];
            if (!apart(p, q))
                break;
            if (kind == 2)
                sys.add_point_distance(p, q, value(std::hypot(*q.x - *p.x, *q.y - *p.y)), t);
            else
                sys.add_point_angle(p, q, value(std::atan2(*q.y - *p.y, *q.x - *p.x)), t);
            break;
        }
        case 4: {
            // A new point on an existing one, joined by a coincidence.
            Point p = points[pick(points.size())];
            Point q = sk.point(*p.x, *p.y);
            points.push_back(q);
            sys.add_coincident(p, q, t);
            break;
        }
        case 5:
        case 6: {
            // A new line parallel or perpendicular to an existing one.
            if (lines.empty())
                break;
            Line base = lines[pick(lines.size())];
            const double dx = *base.p2.x - *base.p1.x;
            const double dy = *base.p2.y - *base.p1.y;
            const double s = scale(rng);
            const bool perpendicular = pick(2) == 1;
            Point a = sk.point(coord(rng), coord(rng));
            Point b = perpendicular ? sk.point(*a.x - s * dy, *a.y + s * dx) : sk.point(*a.x + s * dx, *a.y + s * dy);
            points.push_back(a);
            points.push_back(b);
            Line m(a, b);
            if (perpendicular)
                sys.add_perpendicular(base, m, t);
            else
                sys.add_parallel(base, m, t);
            lines.push_back(m);
            break;
        }
        case 7: {
            if (lines.empty())
                break;
            Line& l1 = lines[pick(lines.size())];
            Line& l2 = lines[pick(lines.size())];
            if (&l1 == &l2)
                break;
            const double a1 = std::atan2(*l1.p2.y - *l1.p1.y, *l1.p2.x - *l1.p1.x);
            const double a2 = std::atan2(*l2.p2.y - *l2.p1.y, *l2.p2.x - *l2.p1.x);
            sys.add_line_angle(l1, l2, value(a2 - a1), t);
            break;
        }
        case 8: {
            const Point center = points[pick(points.size())];
            circles.emplace_back(center, sk.param(scale(rng) * 3.0, true));
            Circle& c = circles.back();
            if (pick(2) == 0)
                sys.add_radius(c, value(*c.rad), t);
            else
                sys.add_diameter(c, value(2.0 * *c.rad), t);
            break;
        }
        default:
            add_line();
            break;
        }
    }
    // Fix some or all coordinates, so that well- and over-constrained sketches come up too.
    const std::size_t fill = pick(3);
    for (Point p : points) {
        if (pick(2) < fill)
            sys.add_coordinate_x(p, value(*p.x), with_anchors && pick(2) == 0 ? 0 : tag++);
        if (pick(2) < fill)
            sys.add_coordinate_y(p, value(*p.y), with_anchors && pick(2) == 0 ? 0 : tag++);
    }
    for (Circle& c : circles)
        if (pick(2) < fill)
            sys.add_radius(c, value(*c.rad), tag++);
    return points;
}

RandomSketch random_sketch(unsigned seed, Path path, bool reverse = false, double perturb = 0.0,
                           bool with_anchors = true)
{
    std::mt19937 rng(seed);
    RandomSketch rs{std::make_unique<Sketch>(reverse), std::make_unique<System>()};
    rs.system->debug_level = 0;
    choose_path(*rs.system, path);
    int tag = 1;
    add_random_block(*rs.system, *rs.sketch, rng, perturb, with_anchors, tag);
    rs.system->declare_unknowns(rs.sketch->unknowns);
    return rs;
}

// ---------------------------------------------------------------------------------------
// Differential check of the rank: random sketches of 6 to 1600 parameters on both paths
// against the singular values, and the sparse decomposition against a dense computation in
// the same column order.

struct Jacobian {
    int rows = 0;
    std::vector<Eigen::Triplet<double>> entries;
};

// The diagnosed rows (driving, tag >= 0) over the unknowns, from the constraints' gradients.
Jacobian jacobian_of(const System& sys, const std::vector<double*>& unknowns)
{
    std::map<const double*, int> column;
    for (std::size_t j = 0; j < unknowns.size(); ++j)
        column.emplace(unknowns[j], static_cast<int>(j));
    Jacobian jac;
    for (GCS::Constraint* c : sys.constraints()) {
        if (c->tag() < 0 || !c->driving())
            continue;
        std::vector<double*> params = c->params();
        std::sort(params.begin(), params.end());
        params.erase(std::unique(params.begin(), params.end()), params.end());
        for (double* p : params)
            if (auto it = column.find(p); it != column.end() && c->grad(p) != 0.0)
                jac.entries.emplace_back(jac.rows, it->second, c->grad(p));
        ++jac.rows;
    }
    return jac;
}

// The singular-value rank, summed over the connected components of the Jacobian; -1 when a
// singular value lies between 1e-12 and 1e-5, where the rank is a matter of tolerance.
int svd_rank(const System& sys, const std::vector<double*>& unknowns)
{
    const Jacobian jac = jacobian_of(sys, unknowns);
    std::vector<int> root(unknowns.size());
    std::iota(root.begin(), root.end(), 0);
    auto find = [&](int c) {
        while (root[c] != c)
            c = root[c] = root[root[c]];
        return c;
    };
    std::map<int, int> row_column;  // row -> one of its columns
    for (const auto& e : jac.entries)
        if (auto [it, inserted] = row_column.emplace(e.row(), e.col()); !inserted)
            root[find(e.col())] = find(it->second);
    std::map<int, std::vector<Eigen::Triplet<double>>> blocks;
    for (const auto& e : jac.entries)
        blocks[find(e.col())].push_back(e);
    int rank = 0;
    for (auto& [_, entries] : blocks) {
        std::map<int, int> rows, cols;
        for (const auto& e : entries) {
            rows.emplace(e.row(), static_cast<int>(rows.size()));
            cols.emplace(e.col(), static_cast<int>(cols.size()));
        }
        Eigen::MatrixXd block = Eigen::MatrixXd::Zero(static_cast<int>(rows.size()), static_cast<int>(cols.size()));
        for (const auto& e : entries)
            block(rows[e.row()], cols[e.col()]) += e.value();
        // Eigen's divide-and-conquer SVD loses small singular values of such blocks.
        const Eigen::JacobiSVD<Eigen::MatrixXd> svd(block);
        for (double sv : svd.singularValues()) {
            if (sv >= 1e-5)
                ++rank;
            else if (sv > 1e-12)
                return -1;
        }
    }
    return rank;
}

// Random blocks (add_random_block) with measured values until the sketch has `target`
// unknowns; three of every four blocks are joined to the one before by a distance.
RandomSketch generic_sketch(unsigned seed, Path path, int target)
{
    std::mt19937 rng(seed);
    RandomSketch rs{std::make_unique<Sketch>(false, 8 * static_cast<std::size_t>(target) + 1024),
                    std::make_unique<System>()};
    rs.system->debug_level = 0;
    choose_path(*rs.system, path);
    int tag = 1;
    std::vector<Point> last;
    for (int block = 0; block == 0 || static_cast<int>(rs.sketch->unknowns.size()) < target; ++block) {
        std::vector<Point> points = add_random_block(*rs.system, *rs.sketch, rng, 0.0, false, tag);
        if (block % 4 != 0) {
            Point p = last[rng() % last.size()];
            Point q = points[rng() % points.size()];
            if (std::hypot(*q.x - *p.x, *q.y - *p.y) > 0.5)
                rs.system->add_point_distance(p, q, rs.sketch->param(std::hypot(*q.x - *p.x, *q.y - *p.y)), tag++);
        }
        last = std::move(points);
    }
    rs.system->declare_unknowns(rs.sketch->unknowns);
    return rs;
}

struct Known {
    int rank = 0;
    std::vector<int> redundant;
    std::vector<int> conflicting;
};

// A profile built point by point, each new point (or radius) held by constraints on its own
// new parameters, so the rows are independent by construction; then about one constraint
// in eight is repeated under a new tag, with its value (redundant) or another one (both in
// conflict). Every dependency is such a pair, so the outcome does not depend on the pivots.
RandomSketch profile_sketch(unsigned seed, Path path, int target, Known& known)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> coord(-10.0, 10.0);
    std::uniform_real_distribution<double> length(1.0, 8.0);
    std::uniform_real_distribution<double> turn(-kPi, kPi);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    RandomSketch rs{std::make_unique<Sketch>(false, 8 * static_cast<std::size_t>(target) + 64),
                    std::make_unique<System>()};
    Sketch& sk = *rs.sketch;
    System& sys = *rs.system;
    sys.debug_level = 0;
    choose_path(sys, path);

    // Each base constraint once more under a tag, with its value moved by an offset.
    struct Base {
        std::function<void(int tag, double offset)> again;
        int tag;
        bool valued;
    };
    std::vector<Base> base;
    int tag = 1;
    auto add = [&](int t, std::function<void(int, double)> adder, bool valued = true) {
        adder(t, 0.0);
        ++known.rank;
        base.push_back({std::move(adder), t, valued});
    };
    auto coordinate = [&](Point p, bool x, int t) {
        add(t, [&sk, &sys, p, x](int tg, double off) mutable {
            x ? sys.add_coordinate_x(p, sk.param(*p.x + off), tg) : sys.add_coordinate_y(p, sk.param(*p.y + off), tg);
        });
    };
    auto distance = [&](Point p, Point q) {
        add(tag++, [&sk, &sys, p, q](int tg, double off) mutable {
            sys.add_point_distance(p, q, sk.param(std::hypot(*q.x - *p.x, *q.y - *p.y) + off), tg);
        });
    };
    std::vector<Point> points{sk.point(coord(rng), coord(rng))};
    std::vector<Line> lines;
    coordinate(points[0], true, 0);
    coordinate(points[0], false, 0);
    while (static_cast<int>(sk.unknowns.size()) < target) {
        Point q = points[pick(points.size())];
        const bool free_one = pick(8) == 0;  // leaves one parameter free
        switch (pick(5)) {
        case 0: {  // length and direction from q
            const double d = length(rng), a = turn(rng);
            Point p = sk.point(*q.x + d * std::cos(a), *q.y + d * std::sin(a));
            distance(q, p);
            if (!free_one)
                add(tag++, [&sk, &sys, p, q](int tg, double off) mutable {
                    sys.add_point_angle(q, p, sk.param(std::atan2(*p.y - *q.y, *p.x - *q.x) + off), tg);
                });
            points.push_back(p);
            lines.emplace_back(q, p);
            break;
        }
        case 1: {  // both coordinates
            const Point p = sk.point(coord(rng), coord(rng));
            coordinate(p, true, tag++);
            if (!free_one)
                coordinate(p, false, tag++);
            points.push_back(p);
            break;
        }
        case 2: {  // length from q and x, at least 1 above or below q
            const double dy = (pick(2) ? 1.0 : -1.0) * length(rng);
            const Point p = sk.point(*q.x + coord(rng) * 0.5, *q.y + dy);
            coordinate(p, true, tag++);
            if (!free_one)
                distance(q, p);
            points.push_back(p);
            break;
        }
        case 3: {  // a circle about q, by radius or diameter
            Circle c(q, sk.param(length(rng), true));
            const bool by_radius = pick(2) == 0;
            add(tag++, [&sk, &sys, c, by_radius](int tg, double off) mutable {
                Circle cc = c;
                by_radius ? sys.add_radius(cc, sk.param(*c.rad + off), tg)
                          : sys.add_diameter(cc, sk.param(2.0 * *c.rad + off), tg);
            });
            break;
        }
        default: {  // a placed line parallel or perpendicular to an earlier one, with its length
            if (lines.empty())
                break;
            const Line along = lines[pick(lines.size())];
            const double dx = *along.p2.x - *along.p1.x, dy = *along.p2.y - *along.p1.y;
            const bool perpendicular = pick(2) == 1;
            const double s = std::uniform_real_distribution<double>(0.3, 2.0)(rng);
            const Point a = sk.point(coord(rng), coord(rng));
            const Point b = perpendicular ? sk.point(*a.x - s * dy, *a.y + s * dx) : sk.point(*a.x + s * dx, *a.y + s * dy);
            coordinate(a, true, tag++);
            coordinate(a, false, tag++);
            add(
                tag++,
                [&sys, along, a, b, perpendicular](int tg, double) mutable {
                    Line l = along;
                    Line m(a, b);
                    perpendicular ? sys.add_perpendicular(l, m, tg) : sys.add_parallel(l, m, tg);
                },
                false);
            if (!free_one)
                distance(a, b);
            points.push_back(a);
            points.push_back(b);
            lines.emplace_back(a, b);
            break;
        }
        }
    }
    for (const Base& b : base) {
        if (b.tag == 0 || pick(8) != 0)
            continue;
        const bool conflict = b.valued && pick(3) == 0;
        const int t = tag++;
        b.again(t, conflict ? 0.25 : 0.0);
        if (conflict) {
            known.conflicting.push_back(b.tag);
            known.conflicting.push_back(t);
        } else {
            known.redundant.push_back(t);
        }
    }
    std::sort(known.conflicting.begin(), known.conflicting.end());
    sys.declare_unknowns(sk.unknowns);
    return rs;
}

struct PathOutcome {
    int rank = 0;
    int dofs = 0;
    std::vector<int> conflicting;
    std::vector<int> redundant;
    std::vector<int> partially_redundant;
    bool operator==(const PathOutcome&) const = default;
};

PathOutcome diagnosed(System& sys)
{
    const int rank = sys.diagnose(2);
    return {rank, sys.dofs, sys.conflicting_tags, sys.redundant_tags, sys.partially_redundant_tags};
}

std::string describe(const PathOutcome& o)
{
    return "rank " + std::to_string(o.rank) + " dofs " + std::to_string(o.dofs) + " conflicting " +
           ::testing::PrintToString(o.conflicting) + " redundant " + ::testing::PrintToString(o.redundant) +
           " partially " + ::testing::PrintToString(o.partially_redundant);
}

// Runs `check` on sketch numbers 0 .. count-1 on four threads; returns the failures, in order.
std::vector<std::string> on_threads(int count, const std::function<std::string(int)>& check)
{
    std::vector<std::string> failures(count);
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int k; (k = next++) < count;)
                failures[k] = check(k);
        });
    for (std::thread& t : threads)
        t.join();
    failures.erase(std::remove(failures.begin(), failures.end(), std::string()), failures.end());
    return failures;
}

// Sizes spread evenly on a log scale from 6 to 1600 parameters.
int log_size(int k, int count)
{
    return static_cast<int>(std::lround(6.0 * std::pow(1600.0 / 6.0, static_cast<double>(k) / (count - 1))));
}

// 270 generic sketches (240 of one block, 30 joined ones of 6 to 1600 parameters) with
// measured values: both paths give the singular-value rank wherever its gap is clear, the
// same rank and dofs everywhere, and no conflict.
TEST(Diagnosis, RankOnBothPathsMatchesSingularValues)
{
    constexpr int kSingle = 240, kJoined = 30;
    std::atomic<int> unclear{0};
    const std::vector<std::string> failures = on_threads(kSingle + kJoined, [&](int k) -> std::string {
        const unsigned seed = 1000 + static_cast<unsigned>(k);
        const int target = k < kSingle ? 0 : log_size(k - kSingle, kJoined);
        RandomSketch dense = generic_sketch(seed, Path::dense, target);
        RandomSketch sparse = generic_sketch(seed, Path::sparse, target);
        const int svd = svd_rank(*dense.system, dense.sketch->unknowns);
        const PathOutcome d = diagnosed(*dense.system);
        const PathOutcome s = diagnosed(*sparse.system);
        const std::string where = "seed " + std::to_string(seed) + " params " +
                                  std::to_string(dense.sketch->unknowns.size()) + ": ";
        if (svd < 0)
            ++unclear;
        if (svd >= 0 && (d.rank != svd || s.rank != svd))
            return where + "singular-value rank " + std::to_string(svd) + ", dense " + describe(d) + ", sparse " +
                   describe(s);
        if (d.rank != s.rank || d.dofs != s.dofs || !d.conflicting.empty() || !s.conflicting.empty())
            return where + "dense " + describe(d) + ", sparse " + describe(s);
        return {};
    });
    for (const std::string& f : failures)
        ADD_FAILURE() << f;
    EXPECT_LE(unclear.load(), (kSingle + kJoined) / 20);
}

// 40 profiles of 6 to 1600 parameters whose dependencies are known pairs: both paths give
// the constructed rank, dofs, redundant and conflicting tags; the singular values agree
// up to 300 parameters.
TEST(Diagnosis, KnownDependenciesOnBothPaths)
{
    constexpr int kCount = 40;
    const std::vector<std::string> failures = on_threads(kCount, [&](int k) -> std::string {
        const unsigned seed = 5000 + static_cast<unsigned>(k);
        Known known, unused;
        RandomSketch dense = profile_sketch(seed, Path::dense, log_size(k, kCount), known);
        RandomSketch sparse = profile_sketch(seed, Path::sparse, log_size(k, kCount), unused);
        const int params = static_cast<int>(dense.sketch->unknowns.size());
        PathOutcome want{known.rank, params - known.rank, known.conflicting, known.redundant, {}};
        if (params == known.rank && !known.conflicting.empty())
            want.dofs = -static_cast<int>(known.conflicting.size() / 2);
        const std::string where = "seed " + std::to_string(seed) + " params " + std::to_string(params) + ": ";
        if (params <= 300 && svd_rank(*dense.system, dense.sketch->unknowns) != known.rank)
            return where + "singular-value rank differs from " + std::to_string(known.rank);
        const PathOutcome d = diagnosed(*dense.system);
        const PathOutcome s = diagnosed(*sparse.system);
        if (d != want || s != want)
            return where + "want " + describe(want) + ", dense " + describe(d) + ", sparse " + describe(s);
        return {};
    });
    for (const std::string& f : failures)
        ADD_FAILURE() << f;
}

// The sparse decomposition of J and of J transposed, against Gram-Schmidt in the same COLAMD
// order: the pivots are the first independent columns, the others follow in order, and
// each group holds the pivots whose eliminated entry |R(i,i) x_i| (x solving A_pivots x =
// column) exceeds 1e-10. Cases with a residual or an entry near a bound are counted apart.
TEST(Diagnosis, SparsePivotsAndGroupsFollowTheColumnOrder)
{
    int compared = 0, unclear = 0;
    for (unsigned seed = 1; seed <= 120; ++seed) {
        RandomSketch rs = generic_sketch(seed, Path::sparse, seed % 4 == 0 ? 300 : 0);
        const Jacobian jac = jacobian_of(*rs.system, rs.sketch->unknowns);
        GCS::SparseMatrix j(jac.rows, static_cast<int>(rs.sketch->unknowns.size()));
        j.setFromTriplets(jac.entries.begin(), jac.entries.end());
        for (int transposed : {0, 1}) {
            GCS::SparseMatrix a = transposed ? GCS::SparseMatrix(j.transpose()) : j;
            a.makeCompressed();
            const Eigen::MatrixXd dense(a);
            const double bound = dense.colwise().norm().maxCoeff();
            std::vector<int> pivots, others;
            std::vector<double> diagonal;
            Eigen::MatrixXd basis(dense.rows(), 0);
            bool clear = true;
            for (int col : GCS::colamd_column_order(a)) {
                Eigen::VectorXd v = dense.col(col);
                for (int pass = 0; pass < 2; ++pass)
                    v -= basis * (basis.transpose() * v);
                const double residual = v.norm();
                clear = clear && (residual > 1e-6 * bound || residual < 1e-11 * bound);
                if (residual > 1e-6 * bound) {
                    pivots.push_back(col);
                    diagonal.push_back(residual);
                    basis.conservativeResize(Eigen::NoChange, basis.cols() + 1);
                    basis.col(basis.cols() - 1) = v / residual;
                } else {
                    others.push_back(col);
                }
            }
            if (!clear) {
                ++unclear;
                continue;
            }
            const GCS::PivotRows r = GCS::qr_decompose_sparse(a, 1e-13);
            std::vector<int> order = pivots;
            order.insert(order.end(), others.begin(), others.end());
            ASSERT_EQ(r.rank, static_cast<int>(pivots.size())) << "seed " << seed;
            ASSERT_EQ(r.col_perm, order) << "seed " << seed;
            const std::vector<std::vector<int>> groups = GCS::eliminate_above_pivots(r);
            Eigen::MatrixXd piv(dense.rows(), static_cast<int>(pivots.size()));
            for (std::size_t i = 0; i < pivots.size(); ++i)
                piv.col(static_cast<int>(i)) = dense.col(pivots[i]);
            const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> ls(piv);
            for (std::size_t g = 0; g < others.size(); ++g) {
                const Eigen::VectorXd x = ls.solve(Eigen::VectorXd(dense.col(others[g])));
                std::vector<int> want;
                bool near = false;
                for (std::size_t i = 0; i < pivots.size(); ++i) {
                    const double e = std::abs(diagonal[i] * x(static_cast<int>(i)));
                    near = near || (e > 1e-12 && e < 1e-8);
                    if (e > 1e-10)
                        want.push_back(static_cast<int>(i));
                }
                if (near)
                    ++unclear;
                else
                    EXPECT_EQ(groups[g], want) << "seed " << seed << " transposed " << transposed << " group " << g;
            }
            ++compared;
        }
    }
    EXPECT_GE(compared, 200);
    EXPECT_LE(unclear, compared / 10);
}

// ---------------------------------------------------------------------------------------
// Print-out, the caller's values, determinism.

std::string captured(const Build& build, int debug_level)
{
    ::testing::internal::CaptureStderr();
    run(build, Path::dense, 2, false, debug_level);
    return ::testing::internal::GetCapturedStderr();
}

// The re-solve's own solver lines are checked with the solvers; here they are left out.
std::string without_solver_lines(const std::string& text)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("DL", 0) != 0)
            out += line + "\n";
    return out;
}

TEST(Diagnosis, PrintOutAtEachDebugLevel)
{
    const Build redundant = anchored_line({10.0, 10.0});
    const Build plain = anchored_line({10.0});

    EXPECT_EQ(captured(redundant, 0), "");
    EXPECT_EQ(captured(plain, 1), "");
    EXPECT_EQ(captured(redundant, 1), "GCS::RedundantSolving-DogLeg-\nGCS Redundant solving: 1 redundants\n");
    // A failed re-solve prints only the first line.
    EXPECT_EQ(captured(contradictory_anchors, 1), "GCS::RedundantSolving-DogLeg-\n");

    EXPECT_EQ(without_solver_lines(captured(redundant, 2)),
              "DenseQR, Threads: 1, Vectorization: On, Pivot Threshold: 1e-13, Params: 4, Constr: 5, Rank: 4\n"
              "Analysing groups of constraints of special interest:[1 2 ]\n"
              "Chosen redundants: [2 ]\n"
              "GCS::RedundantSolving-DogLeg-\n"
              "GCS Redundant solving: 1 redundants\n"
              "(Partially) Redundant, Group 0, index 1, Tag: 2\n");
    EXPECT_EQ(without_solver_lines(captured(plain, 2)),
              "DenseQR, Threads: 1, Vectorization: On, Pivot Threshold: 1e-13, Params: 4, Constr: 4, Rank: 4\n");
}

// A random sketch with its dimension values and unknowns moved off the solution, so that
// every re-solve moves values; diagnosed by init_solution or, for even seeds, directly
// (without the reference that init_solution sets), with re-solve algorithm seed % 3. The
// caller's values come out bit for bit as they went in.
Outcome random_outcome(unsigned seed, bool reverse, Path path)
{
    RandomSketch rs = random_sketch(seed, path, reverse, 1.0);
    std::mt19937 rng(seed);
    for (double* p : rs.sketch->unknowns)
        *p += std::uniform_real_distribution<double>(-0.1, 0.1)(rng);
    const std::vector<double> before = rs.sketch->unknown_values();
    if (seed % 2)
        rs.system->init_solution(static_cast<int>(seed % 3));
    else
        rs.system->diagnose(static_cast<int>(seed % 3));
    Outcome out = outcome_of(*rs.system, *rs.sketch);
    EXPECT_EQ(std::memcmp(before.data(), out.values.data(), before.size() * sizeof(double)), 0) << "seed " << seed;
    return out;
}

TEST(Diagnosis, BitIdenticalAcrossRunsLayoutsAndThreads)
{
    constexpr unsigned kSeeds = 60;
    for (Path path : {Path::dense, Path::sparse}) {
        std::vector<Outcome> first;
        for (unsigned seed = 1; seed <= kSeeds; ++seed)
            first.push_back(random_outcome(seed, false, path));
        for (unsigned seed = 1; seed <= kSeeds; ++seed) {
            EXPECT_EQ(random_outcome(seed, false, path), first[seed - 1]) << "second run, seed " << seed;
            EXPECT_EQ(random_outcome(seed, true, path), first[seed - 1]) << "reversed storage, seed " << seed;
        }

        std::vector<std::vector<Outcome>> per_thread(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (unsigned seed = 1; seed <= kSeeds; ++seed)
                    per_thread[t].push_back(random_outcome(seed, t % 2 == 1, path));
            });
        }
        for (std::thread& t : threads)
            t.join();
        for (int t = 0; t < 8; ++t)
            EXPECT_EQ(per_thread[t], first) << "thread " << t;
    }
}

}  // namespace
