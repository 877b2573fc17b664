#include "model/sketch_analysis.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vesk {
namespace {

using Ids = std::vector<std::string>;

// Small builder so each case reads as the drawing it stands for.
class Sketch {
public:
    Sketch() { graph_.views.push_back({"front", ViewType::front}); }

    Sketch& line(const std::string& id, double x0, double y0, double x1, double y1) {
        graph_.entities.push_back({id, EntityType::line, "front", LineGeometry{{x0, y0}, {x1, y1}}});
        return *this;
    }
    Sketch& circle(const std::string& id, double cx, double cy, double r) {
        graph_.entities.push_back({id, EntityType::circle, "front", CircleGeometry{{cx, cy}, r}});
        return *this;
    }
    Sketch& arc(const std::string& id, double cx, double cy, double r, double a0, double a1) {
        graph_.entities.push_back({id, EntityType::arc, "front", ArcGeometry{{cx, cy}, r, a0, a1}});
        return *this;
    }
    Sketch& rule(const std::string& id, ConstraintType type, Ids entities, double value = 0.0) {
        DimensionConstraint constraint;
        constraint.id = id;
        constraint.type = type;
        constraint.entity_ids = std::move(entities);
        constraint.value = value;
        constraint.confidence = 1.0;
        graph_.constraints.push_back(std::move(constraint));
        return *this;
    }
    Sketch& rectangle(const std::string& prefix, double w, double h, bool dimensioned = true) {
        line(prefix + "_bottom", 0, 0, w, 0).line(prefix + "_right", w, 0, w, h);
        line(prefix + "_top", w, h, 0, h).line(prefix + "_left", 0, h, 0, 0);
        if (dimensioned) {
            rule(prefix + "_w1", ConstraintType::distance, {prefix + "_bottom"}, w);
            rule(prefix + "_h1", ConstraintType::distance, {prefix + "_right"}, h);
            rule(prefix + "_w2", ConstraintType::distance, {prefix + "_top"}, w);
            rule(prefix + "_h2", ConstraintType::distance, {prefix + "_left"}, h);
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
    sketch.rectangle("front", 100, 80);
    for (int k = 0; k < holes; ++k) {
        const std::string id = "front_hole_" + std::to_string(k + 1);
        sketch.circle(id, 10 + (k % 8) * 10, 10 + (k / 8) * 8, 2.5);
        sketch.rule("hole_d" + std::to_string(k + 1), ConstraintType::diameter, {id}, 5.0);
    }
    return sketch.graph();
}

struct ResultCase {
    std::string name;
    DimensionGraph graph;
    std::int32_t dofs;
    Ids missing;
    Ids conflicting;
    Ids redundant;
    std::vector<Ids> groups;
};

TEST(SketchAnalysis, ResultsMatchTheDrawing) {
    using CT = ConstraintType;
    const std::vector<ResultCase> cases = {
        {"circle with diameter", Sketch().circle("c1", 0, 0, 5).rule("d", CT::diameter, {"c1"}, 10).graph(), 0,
         {}, {}, {}, {}},
        {"circle without diameter", Sketch().circle("c1", 0, 0, 5).graph(), 1, {"c1.diameter"}, {}, {}, {}},
        {"arc without radius", Sketch().arc("a1", 3, 4, 5, 0, 90).graph(), 1, {"a1.radius"}, {}, {}, {}},
        {"arc with radius", Sketch().arc("a1", 3, 4, 5, 0, 90).rule("r", CT::radius, {"a1"}, 5).graph(), 0, {}, {},
         {}, {}},
        {"radius 5 and diameter 10 agree",
         Sketch().circle("c1", 0, 0, 5).rule("r", CT::radius, {"c1"}, 5).rule("d", CT::diameter, {"c1"}, 10).graph(),
         0, {}, {}, {"d"}, {}},
        {"radius 5 and diameter 12 contradict",
         Sketch().circle("c1", 0, 0, 5).rule("r", CT::radius, {"c1"}, 5).rule("d", CT::diameter, {"c1"}, 12).graph(),
         -1, {}, {"d", "r"}, {}, {{"d", "r"}}},
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
             .rectangle("front", 60, 40)
             .rule("p1", CT::perpendicular, {"front_bottom", "front_right"})
             .rule("p2", CT::parallel, {"front_top", "front_bottom"})
             .rule("a1", CT::angle, {"front_bottom", "front_left"}, -90)
             .circle("hole", 30, 20, 4)
             .rule("hd", CT::diameter, {"hole"}, 8)
             .graph(),
         0, {}, {}, {}, {}},
        {"one undimensioned edge of a plate", [] {
             DimensionGraph graph = plate_with_holes(2);
             graph.constraints.erase(graph.constraints.begin() + 2);  // front_w2 on front_top
             return graph;
         }(),
         1, {"front_top.length"}, {}, {}, {}},
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

// An angle that contradicts a parallel on the same pair: both are named, the sound
// perpendicular on another pair is not, and no value group is formed.
TEST(SketchAnalysis, RelationConflictStaysOnItsPair) {
    using CT = ConstraintType;
    const DimensionGraph graph = Sketch()
                                     .line("l1", 0, 0, 10, 0)
                                     .line("l2", 0, 5, 10, 5)
                                     .line("l3", 10, 0, 10, 5)
                                     .rule("d1", CT::distance, {"l1"}, 10)
                                     .rule("d2", CT::distance, {"l2"}, 10)
                                     .rule("d3", CT::distance, {"l3"}, 5)
                                     .rule("par", CT::parallel, {"l2", "l1"})
                                     .rule("ang", CT::angle, {"l1", "l2"}, 30)
                                     .rule("perp", CT::perpendicular, {"l1", "l3"})
                                     .graph();
    const SketchAnalysis analysis = analyze_dimension_graph(graph);
    EXPECT_EQ(analysis.degrees_of_freedom, -1);
    EXPECT_EQ(analysis.conflicting_constraints, (Ids{"ang", "par"}));
    EXPECT_TRUE(analysis.redundant_constraints.empty());
    EXPECT_TRUE(analysis.conflict_groups.empty());
    EXPECT_TRUE(analysis.missing_dimensions.empty());
}

struct RefusalCase {
    std::string name;
    DimensionGraph graph;
    enum class Kind { invalid_argument, runtime_error } kind;
    std::string message;
};

TEST(SketchAnalysis, RefusesWhatTheSketchModelCannotJudge) {
    using CT = ConstraintType;
    using K = RefusalCase::Kind;
    const std::vector<RefusalCase> cases = {
        {"ambiguous coincident",
         Sketch().line("l1", 0, 0, 10, 0).line("l2", 0, 5, 10, 5).rule("co", CT::coincident, {"l1", "l2"}).graph(),
         K::invalid_argument, "Constraint 'co' has ambiguous line endpoint selection"},
        {"angle naming a circle",
         Sketch().line("l1", 0, 0, 10, 0).circle("c1", 0, 0, 2).rule("an", CT::angle, {"l1", "c1"}, 30).graph(),
         K::invalid_argument, "Constraint 'an' requires line entity 'c1'"},
        {"symmetric after a sound sketch",
         Sketch()
             .line("l1", 0, 0, 10, 0)
             .line("l2", 0, 5, 10, 5)
             .rule("d1", CT::distance, {"l1"}, 10)
             .rule("d2", CT::distance, {"l2"}, 10)
             .rule("sy", CT::symmetric, {"l1", "l2"})
             .graph(),
         K::invalid_argument, "Constraint 'sy' uses unsupported M2 relation 'symmetric'"},
        {"distance on a circle", Sketch().circle("c1", 0, 0, 2).rule("d", CT::distance, {"c1"}, 4).graph(),
         K::invalid_argument, "Constraint 'd' requires line entity 'c1'"},
        {"distance on two lines",
         Sketch().line("l1", 0, 0, 10, 0).line("l2", 0, 5, 10, 5).rule("d", CT::distance, {"l1", "l2"}, 5).graph(),
         K::invalid_argument, "Constraint 'd' requires exactly one line in M2"},
        {"radius on a line", Sketch().line("l1", 0, 0, 10, 0).rule("r", CT::radius, {"l1"}, 5).graph(),
         K::invalid_argument, "Constraint 'r' requires a circle or arc"},
        {"diameter on two circles",
         Sketch().circle("c1", 0, 0, 2).circle("c2", 9, 0, 2).rule("d", CT::diameter, {"c1", "c2"}, 4).graph(),
         K::invalid_argument, "Constraint 'd' requires exactly one circle or arc in M2"},
        {"parallel on one line", Sketch().line("l1", 0, 0, 10, 0).rule("p", CT::parallel, {"l1"}).graph(),
         K::invalid_argument, "Constraint 'p' requires exactly two lines in M2"},
        {"perpendicular with a circle first",
         Sketch().circle("c1", 0, 0, 2).circle("c2", 5, 0, 2).rule("p", CT::perpendicular, {"c1", "c2"}).graph(),
         K::invalid_argument, "Constraint 'p' requires line entity 'c1'"},
        {"coincident with an arc",
         Sketch().line("l1", 0, 0, 10, 0).arc("a1", 0, 0, 2, 0, 90).rule("co", CT::coincident, {"l1", "a1"}).graph(),
         K::invalid_argument, "Constraint 'co' requires line entity 'a1'"},
        {"unknown entity", Sketch().line("l1", 0, 0, 10, 0).rule("d", CT::distance, {"ghost"}, 5).graph(),
         K::invalid_argument, "Constraint 'd' references unknown entity 'ghost'"},
        {"zero-length line", Sketch().line("l1", 1, 1, 1, 1).graph(), K::invalid_argument,
         "Entity 'l1' has coincident line endpoints"},
        {"non-finite value",
         Sketch().line("l1", 0, 0, 10, 0).rule("d", CT::distance, {"l1"}, std::nan("")).graph(),
         K::invalid_argument, "Constraint 'd' has a non-finite value"},
        // A rank test is first order: these two sketches cannot be named dimension by
        // dimension, and the analysis says so instead of guessing.
        {"parallel and perpendicular on an undimensioned pair",
         Sketch()
             .line("l1", 0, 0, 10, 0)
             .line("l2", 0, 5, 10, 5)
             .rule("par", CT::parallel, {"l1", "l2"})
             .rule("perp", CT::perpendicular, {"l1", "l2"})
             .graph(),
         K::runtime_error, "GCS DOF count does not match Vesk's named dimensional unknowns"},
        {"two lines joined end to start",
         Sketch().line("l1", 0, 0, 10, 0).line("l2", 10, 0, 10, 5).rule("co", CT::coincident, {"l1", "l2"}).graph(),
         K::runtime_error, "GCS DOF count does not match Vesk's named dimensional unknowns"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            (void)analyze_dimension_graph(c.graph);
            ADD_FAILURE() << "no error";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(c.kind, RefusalCase::Kind::invalid_argument);
            EXPECT_EQ(error.what(), c.message);
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(c.kind, RefusalCase::Kind::runtime_error);
            EXPECT_EQ(error.what(), c.message);
        }
    }
}

// Drawings as the pipeline meets them: parsed from files, then analysed.
TEST(SketchAnalysis, AnalysesParsedDrawings) {
    struct FileCase {
        std::string file;
        std::int32_t dofs;
        Ids missing;
        Ids conflicting;
        std::vector<Ids> groups;
    };
    const std::vector<FileCase> cases = {
        {"analysis_plate.json", 0, {}, {}, {}},
        {"analysis_flange_conflict.json", 1, {"bolt_hole_4.diameter"}, {"bound_10", "bound_2"},
         {{"bound_10", "bound_2"}}},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.file);
        const SketchAnalysis analysis =
            analyze_dimension_graph(load_dimension_graph(std::string(VESK_SOURCE_DIR) + "/tests/model/data/" + c.file));
        EXPECT_EQ(analysis.degrees_of_freedom, c.dofs);
        EXPECT_EQ(analysis.missing_dimensions, c.missing);
        EXPECT_EQ(analysis.conflicting_constraints, c.conflicting);
        EXPECT_TRUE(analysis.redundant_constraints.empty());
        EXPECT_EQ(analysis.conflict_groups, c.groups);
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

TEST(SketchAnalysis, ConflictGroupsJoinEveryContradictingPair) {
    using CT = ConstraintType;
    // c10 and a10 agree with each other but both contradict b12, so all three form one
    // group; the circle's pair forms another; the agreeing pair on l2 forms none.
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
    EXPECT_TRUE(find_conflict_groups(Sketch().rectangle("front", 10, 5).graph()).empty());
}

TEST(SketchAnalysis, NamesEachEntityTypeByItsDimension) {
    EXPECT_EQ(dimension_unknown_name({"e", EntityType::line, "front", LineGeometry{}}), "e.length");
    EXPECT_EQ(dimension_unknown_name({"e", EntityType::arc, "front", ArcGeometry{}}), "e.radius");
    EXPECT_EQ(dimension_unknown_name({"e", EntityType::circle, "front", CircleGeometry{}}), "e.diameter");
    EXPECT_THROW(dimension_unknown_name({"e", static_cast<EntityType>(7), "front", LineGeometry{}}),
                 std::logic_error);
}

TEST(SketchAnalysis, SameResultAcrossRunsAndThreads) {
    using CT = ConstraintType;
    std::vector<DimensionGraph> graphs = {plate_with_holes(64), plate_with_holes(3)};
    graphs[1].constraints.push_back({"extra", CT::diameter, {"front_hole_2"}, 6.0, 1.0, {}, std::nullopt});
    graphs[1].entities.push_back({"loose", EntityType::arc, "front", ArcGeometry{{50, 50}, 3, 0, 45}});

    const SketchAnalysis mixed = analyze_dimension_graph(graphs[1]);
    EXPECT_EQ(mixed.degrees_of_freedom, 1);
    EXPECT_EQ(mixed.missing_dimensions, (Ids{"loose.radius"}));
    EXPECT_EQ(mixed.conflicting_constraints, (Ids{"extra", "hole_d2"}));
    EXPECT_EQ(mixed.conflict_groups, (std::vector<Ids>{{"extra", "hole_d2"}}));

    for (const DimensionGraph& graph : graphs) {
        const SketchAnalysis first = analyze_dimension_graph(graph);
        EXPECT_EQ(analyze_dimension_graph(graph), first);

        std::vector<SketchAnalysis> results(8);
        std::vector<std::thread> threads;
        for (SketchAnalysis& result : results) {
            threads.emplace_back([&graph, &result] { result = analyze_dimension_graph(graph); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (const SketchAnalysis& result : results) {
            EXPECT_EQ(result, first);
        }
    }
}

}  // namespace
}  // namespace vesk
