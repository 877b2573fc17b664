// Rank diagnosis of large sketches: a chain of dimensioned segments (under-constrained,
// with repeated and one contradictory length) and a grid of dimensioned lines (fully
// constrained, with many repeated lengths), at 250, 1000 and 4000 parameters. Reports the
// time of each stage of the diagnosis and the peak resident memory while it runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "solver/system.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Sketch {
    std::vector<double> values;
    std::vector<double*> unknowns;
    std::unique_ptr<GCS::System> system = std::make_unique<GCS::System>();

    explicit Sketch(std::size_t capacity) { values.reserve(capacity); }
    double* value(double v)
    {
        values.push_back(v);
        return &values.back();
    }
    GCS::Point point(double x, double y)
    {
        GCS::Point p{value(x), value(y)};
        unknowns.push_back(p.x);
        unknowns.push_back(p.y);
        return p;
    }
};

// A zig-zag chain of n points: every segment has its length, every other one its
// direction; every tenth length is given twice, and the last segment once more with a
// different value.
std::unique_ptr<Sketch> chain(int params)
{
    const int n = params / 2;
    auto s = std::make_unique<Sketch>(8 * static_cast<std::size_t>(n) + 16);
    GCS::System& sys = *s->system;
    std::vector<GCS::Point> pts;
    for (int k = 0; k < n; ++k)
        pts.push_back(s->point(3.0 * k, (k % 2) * 2.0));
    sys.add_coordinate_x(pts[0], s->value(0.0), 0);
    sys.add_coordinate_y(pts[0], s->value(0.0), 0);
    int tag = 1;
    for (int k = 0; k + 1 < n; ++k) {
        const double len = std::hypot(3.0, 2.0);
        sys.add_point_distance(pts[k], pts[k + 1], s->value(len), tag++);
        if (k % 2 == 0)
            sys.add_point_angle(pts[k], pts[k + 1], s->value(std::atan2((k % 2) ? -2.0 : 2.0, 3.0)), tag++);
        if (k % 10 == 5)
            sys.add_point_distance(pts[k], pts[k + 1], s->value(len), tag++);
    }
    sys.add_point_distance(pts[n - 2], pts[n - 1], s->value(4.0), tag++);
    return s;
}

// A rows x cols grid of points, 10 apart: each row a chain of horizontal lines with length
// and direction, the first column a chain of vertical ones, and a vertical length between
// every other pair of neighbours, repeating what the rest already fixes.
std::unique_ptr<Sketch> grid(int params)
{
    const int points = params / 2;
    int rows = static_cast<int>(std::sqrt(static_cast<double>(points)));
    while (points % rows != 0)
        --rows;
    const int cols = points / rows;
    auto s = std::make_unique<Sketch>(8 * static_cast<std::size_t>(points) + 16);
    GCS::System& sys = *s->system;
    std::vector<GCS::Point> pts;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            pts.push_back(s->point(10.0 * c, 10.0 * r));
    auto at = [&](int r, int c) -> GCS::Point& { return pts[static_cast<std::size_t>(r) * cols + c]; };
    sys.add_coordinate_x(at(0, 0), s->value(0.0), 0);
    sys.add_coordinate_y(at(0, 0), s->value(0.0), 0);
    int tag = 1;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            if (c + 1 < cols) {
                sys.add_point_distance(at(r, c), at(r, c + 1), s->value(10.0), tag++);
                sys.add_point_angle(at(r, c), at(r, c + 1), s->value(0.0), tag++);
            }
            if (r + 1 < rows) {
                sys.add_point_distance(at(r, c), at(r + 1, c), s->value(10.0), tag++);
                if (c == 0)
                    sys.add_point_angle(at(r, c), at(r + 1, c), s->value(kPi / 2), tag++);
            }
        }
    }
    return s;
}

// Resident set figures of this process, in MiB.
double status_mib(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(key.size())) / 1024.0;
    return 0.0;
}

void reset_peak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

void BM_Diagnosis(benchmark::State& state)
{
    const bool is_grid = state.range(0) == 1;
    const int params = static_cast<int>(state.range(1));
    GCS::DiagnosisTimings sum;
    double peak = 0.0;
    double peak_growth = 0.0;
    int dofs = 0;
    std::size_t constraints = 0;
    std::size_t redundant = 0;
    std::size_t conflicting = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<Sketch> s = is_grid ? grid(params) : chain(params);
        GCS::System& sys = *s->system;
        sys.debug_level = 0;
        sys.declare_unknowns(s->unknowns);
        reset_peak();
        const double before = status_mib("VmRSS");
        state.ResumeTiming();

        sys.init_solution(static_cast<int>(GCS::Algorithm::dog_leg));

        state.PauseTiming();
        const double high = status_mib("VmHWM");
        peak = std::max(peak, high);
        peak_growth = std::max(peak_growth, high - before);
        const GCS::DiagnosisTimings& t = sys.diagnosis_timings();
        sum.jacobian += t.jacobian;
        sum.qr += t.qr;
        sum.dependent_search += t.dependent_search;
        sum.join_wait += t.join_wait;
        sum.greedy += t.greedy;
        sum.resolve += t.resolve;
        dofs = sys.dofs;
        constraints = sys.constraints().size();
        redundant = sys.redundant().size();
        conflicting = sys.conflicting_tags.size();
        s.reset();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["params"] = params;
    state.counters["constraints"] = static_cast<double>(constraints);
    state.counters["dofs"] = dofs;
    state.counters["redundant"] = static_cast<double>(redundant);
    state.counters["conflicting_tags"] = static_cast<double>(conflicting);
    state.counters["jacobian_ms"] = 1e3 * sum.jacobian / n;
    state.counters["qr_ms"] = 1e3 * sum.qr / n;
    state.counters["dependent_ms"] = 1e3 * sum.dependent_search / n;
    state.counters["join_wait_ms"] = 1e3 * sum.join_wait / n;
    state.counters["greedy_ms"] = 1e3 * sum.greedy / n;
    state.counters["resolve_ms"] = 1e3 * sum.resolve / n;
    state.counters["peak_rss_MiB"] = peak;
    state.counters["peak_growth_MiB"] = peak_growth;
}

BENCHMARK(BM_Diagnosis)
    ->ArgNames({"grid", "params"})
    ->ArgsProduct({{0, 1}, {250, 1000, 4000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
