#include "model/sketch_analysis.hpp"
#include "model/sketch_analysis_internal.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "support/graph_builders.hpp"
#include "support/sanitizers.hpp"

namespace vesk {
namespace {

using Ids = std::vector<std::string>;
using CT = ConstraintType;

// Small builder so each case reads as the drawing it stands for; everything in one view.
class Sketch {
public:
    Sketch() { graph_.views.push_back({"front", ViewType::front}); }
    Sketch& line(const std::string& id, double x0, double y0, double x1, double y1) {
        graph_.entities.push_back(test::line_entity(id, "front", x0, y0, x1, y1));
        return *this;
    }
    Sketch& circle(const std::string& id, double cx, double cy, double r) {
        graph_.entities.push_back(test::circle_entity(id, "front", cx, cy, r));
        return *this;
    }
    Sketch& arc(const std::string& id, double cx, double cy, double r, double a0, double a1) {
        graph_.entities.push_back({id, EntityType::arc, "front", ArcGeometry{{cx, cy}, r, a0, a1}});
        return *this;
    }
    Sketch& rule(const std::string& id, ConstraintType type, Ids entities, double value = 0.0) {
        graph_.constraints.push_back({id, type, std::move(entities), value, 1.0, {}, std::nullopt});
        return *this;
    }
    // Edges front1..front4 counter-clockwise from the origin, with lengths len1..len4.
    Sketch& rectangle(double w, double h) {
        line("front1", 0, 0, w, 0).line("front2", w, 0, w, h).line("front3", w, h, 0, h).line("front4", 0, h, 0, 0);
        for (int k = 1; k <= 4; ++k) {
            rule("len" + std::to_string(k), CT::distance, {"front" + std::to_string(k)}, k % 2 ? w : h);
        }
        return *this;
    }
    DimensionGraph graph() const { return graph_; }

private:
    DimensionGraph graph_;
};

// A plate of 100 x 80 with a grid of holes, each held by its diameter.
DimensionGraph plate_with_holes(int holes) {
    Sketch sketch;
    sketch.rectangle(100, 80);
    for (int k = 0; k < holes; ++k) {
        const std::string id = "front_hole_" + std::to_string(k + 1);
        sketch.circle(id, 10 + (k % 8) * 10, 10 + (k / 8) * 8, 2.5);
        sketch.rule("hole_d" + std::to_string(k + 1), CT::diameter, {id}, 5.0);
    }
    return sketch.graph();
}

// Three holes, the second with a contradicting second diameter, and an undimensioned arc.
DimensionGraph mixed_plate() {
    DimensionGraph graph = plate_with_holes(3);
    graph.constraints.push_back({"extra", CT::diameter, {"front_hole_2"}, 6.0, 1.0, {}, std::nullopt});
    graph.entities.push_back({"loose", EntityType::arc, "front", ArcGeometry{{50, 50}, 3, 0, 45}});
    return graph;
}

struct ResultCase {
    std::string name;
    DimensionGraph graph;
    std::int32_t dofs;
    Ids missing, conflicting, redundant;
    std::vector<Ids> groups;
};

TEST(SketchAnalysis, ResultsMatchTheDrawing) {
    const std::string data = std::string(VESK_SOURCE_DIR) + "/tests/model/data/";
    const Sketch circle = Sketch().circle("c1", 0, 0, 5);
    const Sketch arc = Sketch().arc("a1", 3, 4, 5, 0, 90);
    const Sketch three_lines = Sketch()
                                   .line("l1", 0, 0, 10, 0)
                                   .line("l2", 0, 5, 10, 5)
                                   .line("l3", 10, 0, 10, 5)
                                   .rule("d1", CT::distance, {"l1"}, 10)
                                   .rule("d2", CT::distance, {"l2"}, 10)
                                   .rule("d3", CT::distance, {"l3"}, 5);
    DimensionGraph plate_missing_edge = plate_with_holes(2);
    plate_missing_edge.constraints.erase(plate_missing_edge.constraints.begin() + 2);  // len3 on front3
    const std::vector<ResultCase> cases = {
        {"circle with diameter", Sketch(circle).rule("d", CT::diameter, {"c1"}, 10).graph(), 0, {}, {}, {}, {}},
        {"circle without diameter", circle.graph(), 1, {"c1.diameter"}, {}, {}, {}},
        {"arc without radius", arc.graph(), 1, {"a1.radius"}, {}, {}, {}},
        {"arc with radius", Sketch(arc).rule("r", CT::radius, {"a1"}, 5).graph(), 0, {}, {}, {}, {}},
        {"radius 5 and diameter 10 agree",
         Sketch(circle).rule("r", CT::radius, {"c1"}, 5).rule("d", CT::diameter, {"c1"}, 10).graph(), 0, {}, {},
         {"d"}, {}},
        {"radius 5 and diameter 12 contradict",
         Sketch(circle).rule("r", CT::radius, {"c1"}, 5).rule("d", CT::diameter, {"c1"}, 12).graph(), -1, {},
         {"d", "r"}, {}, {{"d", "r"}}},
        {"distances 10 and 12 on one line",
         Sketch()
             .line("l1", 0, 0, 10, 0)
             .rule("len_b", CT::distance, {"l1"}, 10)
             .rule("len_a", CT::distance, {"l1"}, 12)
             .graph(),
         -1, {}, {"len_a", "len_b"}, {}, {{"len_a", "len_b"}}},
        {"no constraints names every entity",
         Sketch().line("l2", 0, 0, 10, 0).circle("c1", 0, 0, 5).arc("a1", 0, 0, 3, 0, 90).line("b", 0, 5, 0, 9).graph(),
         4, {"a1.radius", "b.length", "c1.diameter", "l2.length"}, {}, {}, {}},
        {"empty sketch", Sketch().graph(), 0, {}, {}, {}, {}},
        {"plate with four holes", plate_with_holes(4), 0, {}, {}, {}, {}},
        {"plate with relations between its edges",
         Sketch()
             .rectangle(60, 40)
             .rule("p1", CT::perpendicular, {"front1", "front2"})
             .rule("p2", CT::parallel, {"front3", "front1"})
             .rule("a1", CT::angle, {"front1", "front4"}, -90)
             .circle("hole", 30, 20, 4)
             .rule("hd", CT::diameter, {"hole"}, 8)
             .graph(),
         0, {}, {}, {}, {}},
        {"one undimensioned edge of a plate", plate_missing_edge, 1, {"front3.length"}, {}, {}, {}},
        {"plate with a loose arc and a contradicted hole", mixed_plate(), 1, {"loose.radius"}, {"extra", "hole_d2"}, {},
         {{"extra", "hole_d2"}}},
        // An angle against a parallel on one pair: both named, the sound perpendicular on
        // another pair not, and no value group.
        {"relation conflict stays on its pair",
         Sketch(three_lines)
             .rule("par", CT::parallel, {"l2", "l1"})
             .rule("ang", CT::angle, {"l1", "l2"}, 30)
             .rule("perp", CT::perpendicular, {"l1", "l3"})
             .graph(),
         -1, {}, {"ang", "par"}, {}, {}},
        {"flange file with a conflict and a missing hole",
         load_dimension_graph(data + "analysis_flange_conflict.json"), 1, {"bolt_hole_4.diameter"},
         {"bound_10", "bound_2"}, {}, {{"bound_10", "bound_2"}}},
    };
    for (const ResultCase& c : cases) {
        SCOPED_TRACE(c.name);
        const SketchAnalysis analysis = analyze_dimension_graph(c.graph);
        EXPECT_EQ(analysis.degrees_of_freedom, c.dofs);
        EXPECT_EQ(analysis.missing_dimensions, c.missing);
        EXPECT_EQ(analysis.conflicting_constraints, c.conflicting);
        EXPECT_EQ(analysis.redundant_constraints, c.redundant);
        EXPECT_EQ(analysis.conflict_groups, c.groups);
    }
}

TEST(SketchAnalysis, RefusesWhatTheSketchModelCannotJudge) {
    const std::string runtime = "runtime_error: GCS DOF count does not match Vesk's named dimensional unknowns";
    const Sketch two_lines = Sketch().line("l1", 0, 0, 10, 0).line("l2", 0, 5, 10, 5);
    const Sketch line = Sketch().line("l1", 0, 0, 10, 0);
    const Sketch circle = Sketch().circle("c1", 0, 0, 2);
    Sketch too_many_entities;
    for (std::size_t k = 0; k <= kMaxSketchEntities; ++k) too_many_entities.circle("c" + std::to_string(k), 0, 0, 1);
    Sketch too_many_lines;
    for (std::size_t k = 0; k <= kMaxSketchLines; ++k) too_many_lines.line("l" + std::to_string(k), 0, k, 10, k);
    Sketch too_many_constraints = Sketch(circle);
    for (std::size_t k = 0; k <= kMaxSketchConstraints; ++k) {
        too_many_constraints.rule("d" + std::to_string(k), CT::diameter, {"c1"}, 4);
    }
    const std::vector<std::pair<DimensionGraph, std::string>> cases = {
        {too_many_entities.graph(), "DimensionGraph has too many entities: 301 (limit 300)"},
        {too_many_lines.graph(), "DimensionGraph has too many lines: 33 (limit 32)"},
        {too_many_constraints.graph(), "DimensionGraph has too many constraints: 10001 (limit 10000)"},
        {Sketch(two_lines).rule("co", CT::coincident, {"l1", "l2"}).graph(),
         "Constraint 'co' has ambiguous line endpoint selection"},
        {Sketch(line).circle("c1", 0, 0, 2).rule("an", CT::angle, {"l1", "c1"}, 30).graph(),
         "Constraint 'an' requires line entity 'c1'"},
        {Sketch(two_lines)
             .rule("d1", CT::distance, {"l1"}, 10)
             .rule("d2", CT::distance, {"l2"}, 10)
             .rule("sy", CT::symmetric, {"l1", "l2"})
             .graph(),
         "Constraint 'sy' uses unsupported M2 relation 'symmetric'"},
        {Sketch(circle).rule("d", CT::distance, {"c1"}, 4).graph(), "Constraint 'd' requires line entity 'c1'"},
        {Sketch(two_lines).rule("d", CT::distance, {"l1", "l2"}, 5).graph(),
         "Constraint 'd' requires exactly one line in M2"},
        {Sketch(line).rule("r", CT::radius, {"l1"}, 5).graph(), "Constraint 'r' requires a circle or arc"},
        {Sketch(circle).circle("c2", 9, 0, 2).rule("d", CT::diameter, {"c1", "c2"}, 4).graph(),
         "Constraint 'd' requires exactly one circle or arc in M2"},
        {Sketch(line).rule("p", CT::parallel, {"l1"}).graph(), "Constraint 'p' requires exactly two lines in M2"},
        {Sketch(circle).circle("c2", 5, 0, 2).rule("p", CT::perpendicular, {"c1", "c2"}).graph(),
         "Constraint 'p' requires line entity 'c1'"},
        {Sketch(line).arc("a1", 0, 0, 2, 0, 90).rule("co", CT::coincident, {"l1", "a1"}).graph(),
         "Constraint 'co' requires line entity 'a1'"},
        {Sketch(line).rule("d", CT::distance, {"ghost"}, 5).graph(),
         "Constraint 'd' references unknown entity 'ghost'"},
        {Sketch().line("l1", 1, 1, 1, 1).graph(), "Entity 'l1' has coincident line endpoints"},
        {Sketch(line).rule("d", CT::distance, {"l1"}, std::nan("")).graph(), "Constraint 'd' has a non-finite value"},
        // A rank test is first order: these two sketches cannot be named dimension by
        // dimension, and the analysis says so instead of guessing.
        {Sketch(two_lines)
             .rule("par", CT::parallel, {"l1", "l2"})
             .rule("perp", CT::perpendicular, {"l1", "l2"})
             .graph(),
         runtime},
        {Sketch().line("l1", 0, 0, 10, 0).line("l2", 10, 0, 10, 5).rule("co", CT::coincident, {"l1", "l2"}).graph(),
         runtime},
    };
    for (const auto& [graph, expected] : cases) {
        std::string message = "<no error>";
        try {
            (void)analyze_dimension_graph(graph);
        } catch (const std::invalid_argument& error) {
            message = error.what();
        } catch (const std::runtime_error& error) {
            message = std::string("runtime_error: ") + error.what();
        }
        EXPECT_EQ(message, expected);
    }
}

TEST(SketchAnalysis, TagsStopShortOfTheLargestInt) {
    EXPECT_EQ(sketch_constraint_tag(0), 1);
    EXPECT_EQ(sketch_constraint_tag(2147483645u), 2147483646);
    for (const std::size_t index : {std::size_t{2147483646u}, std::size_t{SIZE_MAX}}) {
        try {
            (void)sketch_constraint_tag(index);
            ADD_FAILURE() << "no overflow at " << index;
        } catch (const std::overflow_error& error) {
            EXPECT_STREQ(error.what(), "DimensionGraph has too many constraints for GCS tags");
        }
    }
}

// c10 and a10 agree with each other but both contradict b12, so all three form one group;
// the circle's pair forms another; the pair on l2 agrees within 1e-9 and forms none.
TEST(SketchAnalysis, ConflictGroupsJoinEveryContradictingPair) {
    const DimensionGraph graph = Sketch()
                                     .line("l1", 0, 0, 10, 0)
                                     .line("l2", 0, 5, 10, 5)
                                     .circle("c1", 0, 0, 5)
                                     .rule("c10", CT::distance, {"l1"}, 10)
                                     .rule("b12", CT::distance, {"l1"}, 12)
                                     .rule("a10", CT::distance, {"l1"}, 10)
                                     .rule("x", CT::distance, {"l2"}, 10)
                                     .rule("y", CT::distance, {"l2"}, 10 + 1e-10)
                                     .rule("r", CT::radius, {"c1"}, 5)
                                     .rule("d", CT::diameter, {"c1"}, 11)
                                     .rule("len", CT::distance, {"c1"}, 3)
                                     .graph();
    EXPECT_EQ(find_conflict_groups(graph), (std::vector<Ids>{{"a10", "b12", "c10"}, {"d", "r"}}));
    EXPECT_TRUE(find_conflict_groups(plate_with_holes(1)).empty());
}

// 10,000 distances of distinct values on one line: each is marked once, where storing both
// ids of every contradicting pair took 50 s and 4.2 GB.
TEST(SketchAnalysis, ManyContradictingValuesCostLinearTimeAndMemory) {
    Sketch sketch;
    sketch.line("l1", 0, 0, 10, 0);
    Ids all;
    for (int k = 0; k < 10000; ++k) {
        all.push_back("d" + std::to_string(k));
        sketch.rule(all.back(), CT::distance, {"l1"}, 10.0 + k);
    }
    std::sort(all.begin(), all.end());
    const DimensionGraph graph = sketch.graph();
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double start = test::process_cpu_seconds();
    const SketchAnalysis analysis = analyze_dimension_graph(graph);
    const double seconds = test::process_cpu_seconds() - start;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(analysis.conflicting_constraints, all);
    EXPECT_EQ(analysis.conflict_groups, std::vector<Ids>{all});
    if (!test::kSanitized) {
        EXPECT_LT(seconds, 1.0);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 100 * 1024);  // kilobytes
    }
}

TEST(SketchAnalysis, SameResultAcrossRunsAndThreads) {
    for (const DimensionGraph& graph : {plate_with_holes(64), mixed_plate()}) {
        const SketchAnalysis first = analyze_dimension_graph(graph);
        EXPECT_EQ(analyze_dimension_graph(graph), first);
        std::vector<SketchAnalysis> results(8);
        std::vector<std::thread> threads;
        for (SketchAnalysis& result : results) {
            threads.emplace_back([&graph, &result] { result = analyze_dimension_graph(graph); });
        }
        for (std::thread& thread : threads) thread.join();
        for (const SketchAnalysis& result : results) EXPECT_EQ(result, first);
    }
}

}  // namespace
}  // namespace vesk
