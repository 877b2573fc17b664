#include "model/sketch_analysis.hpp"
#include "model/sketch_analysis_internal.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <deque>
#include <map>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "solver/constraints.hpp"
#include "solver/geometry.hpp"
#include "solver/system.hpp"

namespace vesk {
namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;
constexpr double kValueTolerance = 1e-9;
// Largest error of a drawn line relation: the sine or cosine of the angle between the
// lines, or the angle itself in radians.
constexpr double kRelationTolerance = 1e-9;

// Solver storage of one line. The solver keeps pointers into these fields, so a slot must
// stay where it is while the system lives (slots sit in a std::deque, appended only).
struct LineSlot {
    std::array<double, 4> params{};  // start x, start y, end x, end y
    double fixed_x = 0.0;            // anchored start point
    double fixed_y = 0.0;
    double direction = 0.0;          // anchored direction, radians
    LineGeometry geometry;
    GCS::Line line;
};

struct CircleSlot {
    std::array<double, 3> params{};  // center x, center y, radius
    double fixed_x = 0.0;            // anchored center
    double fixed_y = 0.0;
    GCS::Circle circle;
};

struct EntityRef {
    EntityType type = EntityType::line;
    std::size_t slot = 0;  // index into the line or circle slots
};

// Union-find with union by rank and path compression.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t count) : parent_(count), rank_(count, 0) {
        std::iota(parent_.begin(), parent_.end(), std::size_t{0});
    }

    std::size_t find(std::size_t index) {
        std::size_t root = index;
        while (parent_[root] != root) {
            root = parent_[root];
        }
        while (parent_[index] != root) {
            const std::size_t next = parent_[index];
            parent_[index] = root;
            index = next;
        }
        return root;
    }

    void unite(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a == b) {
            return;
        }
        if (rank_[a] < rank_[b]) {
            std::swap(a, b);
        }
        parent_[b] = a;
        if (rank_[a] == rank_[b]) {
            ++rank_[a];
        }
    }

private:
    std::vector<std::size_t> parent_;
    std::vector<unsigned> rank_;
};

[[noreturn]] void throw_constraint_error(const DimensionConstraint& constraint, std::string_view text) {
    throw std::invalid_argument("Constraint '" + constraint.id + std::string(text));
}

[[noreturn]] void throw_entity_error(const DimensionEntity& entity, std::string_view text) {
    throw std::invalid_argument("Entity '" + entity.id + "' " + std::string(text));
}

bool is_line_relation(ConstraintType type) {
    return type == ConstraintType::angle || type == ConstraintType::parallel ||
           type == ConstraintType::perpendicular;
}

// Kind of a single-entity value constraint for contradiction checks: 1 length, 2 radius.
int value_kind(ConstraintType type) {
    switch (type) {
        case ConstraintType::distance:
            return 1;
        case ConstraintType::radius:
        case ConstraintType::diameter:
            return 2;
        default:
            return 0;
    }
}

double comparable_value(const DimensionConstraint& constraint) {
    return constraint.type == ConstraintType::diameter ? constraint.value * 0.5 : constraint.value;
}

// The single-entity value constraints of one kind on one entity, in graph order, with the
// smallest and largest comparable value among them.
struct ValueBucket {
    double min = 0.0;
    double max = 0.0;
    std::vector<std::size_t> members;
};

// Calls visit(marked) once for every entity and kind whose values contradict, with the
// constraints that contradict a sibling, in graph order. Two constraints contradict when
// their values differ by more than the tolerance. The value farthest from any one value of
// a bucket is the bucket's minimum or maximum, so a constraint contradicts a sibling
// exactly when one of the two lies beyond the tolerance; and each such constraint
// contradicts the minimum or the maximum, which contradict each other, so the marked
// constraints of a bucket are joined into one group. Each constraint is looked at twice:
// visiting pairs made 10,000 distances on one line cost seconds and gigabytes.
template <typename Visit>
void for_each_value_conflict(const DimensionGraph& graph, Visit&& visit) {
    std::map<std::pair<std::string_view, int>, ValueBucket> buckets;
    for (std::size_t i = 0; i < graph.constraints.size(); ++i) {
        const DimensionConstraint& constraint = graph.constraints[i];
        const int kind = value_kind(constraint.type);
        const double value = comparable_value(constraint);
        // NaN differs from nothing by more than the tolerance.
        if (kind == 0 || constraint.entity_ids.size() != 1 || std::isnan(value)) {
            continue;
        }
        auto [it, inserted] =
            buckets.try_emplace({std::string_view(constraint.entity_ids.front()), kind}, ValueBucket{value, value, {}});
        ValueBucket& bucket = it->second;
        bucket.min = std::min(bucket.min, value);
        bucket.max = std::max(bucket.max, value);
        bucket.members.push_back(i);
    }
    std::vector<std::size_t> marked;
    for (const auto& [key, bucket] : buckets) {
        marked.clear();
        for (const std::size_t i : bucket.members) {
            const double value = comparable_value(graph.constraints[i]);
            if (std::fabs(value - bucket.min) > kValueTolerance || std::fabs(bucket.max - value) > kValueTolerance) {
                marked.push_back(i);
            }
        }
        if (!marked.empty()) {
            visit(marked);
        }
    }
}

void sort_unique(std::vector<std::string>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

bool is_finite_point(const Point2& point) {
    return std::isfinite(point.x) && std::isfinite(point.y);
}

// The parser already refuses these; graphs built in code must not feed NaN or a zero
// length into the Jacobian, where they would silently corrupt the rank.
void check_entity_geometry(const DimensionEntity& entity) {
    switch (entity.type) {
        case EntityType::line: {
            const auto& line = std::get<LineGeometry>(entity.geometry);
            if (!is_finite_point(line.start) || !is_finite_point(line.end)) {
                throw_entity_error(entity, "has non-finite coordinates");
            }
            if (line.start.x == line.end.x && line.start.y == line.end.y) {
                throw_entity_error(entity, "has coincident line endpoints");
            }
            return;
        }
        case EntityType::arc: {
            const auto& arc = std::get<ArcGeometry>(entity.geometry);
            if (!is_finite_point(arc.center) || !std::isfinite(arc.radius)) {
                throw_entity_error(entity, "has non-finite coordinates");
            }
            if (!(arc.radius > 0.0)) {
                throw_entity_error(entity, "has a non-positive radius");
            }
            return;
        }
        case EntityType::circle: {
            const auto& circle = std::get<CircleGeometry>(entity.geometry);
            if (!is_finite_point(circle.center) || !std::isfinite(circle.radius)) {
                throw_entity_error(entity, "has non-finite coordinates");
            }
            if (!(circle.radius > 0.0)) {
                throw_entity_error(entity, "has a non-positive radius");
            }
            return;
        }
    }
    throw std::logic_error("Unknown DimensionGraph entity type");
}

struct EndpointPair {
    double distance = 0.0;
    GCS::Point* first = nullptr;
    GCS::Point* second = nullptr;
};

// What the solver concluded; the tag lists are empty without a diagnosis.
struct SolverVerdict {
    bool diagnosed = false;
    int dofs = 0;
    std::vector<int> conflicting_tags;
    std::vector<int> redundant_tags;
};

// The solver's side of one analysis: a slot per entity, the anchors, and one tagged
// solver constraint per graph constraint, built in that order by the phases below. The
// solver keeps pointers into the slots and the values, so they sit in deques (appended
// only) and the object is neither copied nor moved.
class SketchSystem {
public:
    explicit SketchSystem(const DimensionGraph& graph) : graph_(graph) {}
    SketchSystem(const SketchSystem&) = delete;
    SketchSystem& operator=(const SketchSystem&) = delete;

    // A solver line per line entity, a solver circle per circle or arc (an arc counts as
    // the circle of its radius), in graph order; their parameters become the unknowns.
    void add_entities();
    // Anchors (tag 0): what a drawing never dimensions, positions and directions.
    void add_anchors();
    // One solver constraint per graph constraint, tagged by graph position (from 1).
    void add_constraints();
    // Declares the unknowns and lets the solver diagnose the rank.
    SolverVerdict diagnose();
    // Constraint ids of the tags, ascending and unique; anchors (tag 0) are skipped.
    std::vector<std::string> ids_of_tags(const std::vector<int>& tags) const;

private:
    const EntityRef* find_entity(const std::string& id) const;
    const EntityRef& require_entity(const DimensionConstraint& constraint, const std::string& id) const;
    std::pair<LineSlot*, LineSlot*> require_two_lines(const DimensionConstraint& constraint);
    // Lines tied by an angle, parallel or perpendicular share one anchored direction: the
    // relation supplies the direction of the others. Returns, per line, whether it is the
    // lowest line of its group.
    std::vector<bool> direction_anchored_lines() const;
    void add_constraint(const DimensionConstraint& constraint, double& value, int tag);
    void add_coincident(const DimensionConstraint& constraint, int tag);

    const DimensionGraph& graph_;
    GCS::System system_;
    std::deque<LineSlot> lines_;
    std::deque<CircleSlot> circles_;
    std::unordered_map<std::string_view, EntityRef> entity_refs_;
    std::vector<double*> unknowns_;
    std::deque<double> values_;
    std::vector<const std::string*> tag_ids_;  // tag t names tag_ids_[t - 1]
};

void SketchSystem::add_entities() {
    unknowns_.reserve(graph_.entities.size() * 4);
    for (const DimensionEntity& entity : graph_.entities) {
        check_entity_geometry(entity);
        if (entity.type == EntityType::line) {
            const auto& geometry = std::get<LineGeometry>(entity.geometry);
            LineSlot& slot = lines_.emplace_back();
            slot.params = {geometry.start.x, geometry.start.y, geometry.end.x, geometry.end.y};
            slot.fixed_x = geometry.start.x;
            slot.fixed_y = geometry.start.y;
            slot.direction = std::atan2(geometry.end.y - geometry.start.y, geometry.end.x - geometry.start.x);
            slot.geometry = geometry;
            slot.line.p1.x = &slot.params[0];
            slot.line.p1.y = &slot.params[1];
            slot.line.p2.x = &slot.params[2];
            slot.line.p2.y = &slot.params[3];
            for (double& param : slot.params) {
                unknowns_.push_back(&param);
            }
            entity_refs_.emplace(entity.id, EntityRef{EntityType::line, lines_.size() - 1});
        } else {
            const Point2 center = entity.type == EntityType::arc ? std::get<ArcGeometry>(entity.geometry).center
                                                                  : std::get<CircleGeometry>(entity.geometry).center;
            const double radius = entity.type == EntityType::arc ? std::get<ArcGeometry>(entity.geometry).radius
                                                                  : std::get<CircleGeometry>(entity.geometry).radius;
            CircleSlot& slot = circles_.emplace_back();
            slot.params = {center.x, center.y, radius};
            slot.fixed_x = center.x;
            slot.fixed_y = center.y;
            slot.circle.center.x = &slot.params[0];
            slot.circle.center.y = &slot.params[1];
            slot.circle.rad = &slot.params[2];
            for (double& param : slot.params) {
                unknowns_.push_back(&param);
            }
            entity_refs_.emplace(entity.id, EntityRef{entity.type, circles_.size() - 1});
        }
    }
}

const EntityRef* SketchSystem::find_entity(const std::string& id) const {
    const auto it = entity_refs_.find(std::string_view(id));
    return it == entity_refs_.end() ? nullptr : &it->second;
}

const EntityRef& SketchSystem::require_entity(const DimensionConstraint& constraint, const std::string& id) const {
    const EntityRef* ref = find_entity(id);
    if (ref == nullptr) {
        throw_constraint_error(constraint, "' references unknown entity '" + id + "'");
    }
    return *ref;
}

std::pair<LineSlot*, LineSlot*> SketchSystem::require_two_lines(const DimensionConstraint& constraint) {
    if (constraint.entity_ids.size() != 2) {
        throw_constraint_error(constraint, "' requires exactly two lines in M2");
    }
    std::array<LineSlot*, 2> slots{};
    for (std::size_t k = 0; k < 2; ++k) {
        const EntityRef& ref = require_entity(constraint, constraint.entity_ids[k]);
        if (ref.type != EntityType::line) {
            throw_constraint_error(constraint, "' requires line entity '" + constraint.entity_ids[k] + "'");
        }
        slots[k] = &lines_[ref.slot];
    }
    return {slots[0], slots[1]};
}

std::vector<bool> SketchSystem::direction_anchored_lines() const {
    DisjointSets groups(lines_.size());
    for (const DimensionConstraint& constraint : graph_.constraints) {
        if (!is_line_relation(constraint.type) || constraint.entity_ids.size() != 2) {
            continue;
        }
        const EntityRef* first = find_entity(constraint.entity_ids[0]);
        const EntityRef* second = find_entity(constraint.entity_ids[1]);
        if (first != nullptr && second != nullptr && first->type == EntityType::line &&
            second->type == EntityType::line) {
            groups.unite(first->slot, second->slot);
        }
    }
    std::vector<std::size_t> lowest_in_group(lines_.size(), lines_.size());
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::size_t& lowest = lowest_in_group[groups.find(i)];
        lowest = std::min(lowest, i);
    }
    std::vector<bool> anchored(lines_.size());
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        anchored[i] = lowest_in_group[groups.find(i)] == i;
    }
    return anchored;
}

void SketchSystem::add_anchors() {
    constexpr int kAnchorTag = 0;
    const std::vector<bool> anchored = direction_anchored_lines();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        LineSlot& slot = lines_[i];
        system_.add_coordinate_x(slot.line.p1, &slot.fixed_x, kAnchorTag, true);
        system_.add_coordinate_y(slot.line.p1, &slot.fixed_y, kAnchorTag, true);
        if (anchored[i]) {
            system_.add_point_angle(slot.line.p1, slot.line.p2, &slot.direction, kAnchorTag, true);
        }
    }
    for (CircleSlot& slot : circles_) {
        system_.add_coordinate_x(slot.circle.center, &slot.fixed_x, kAnchorTag, true);
        system_.add_coordinate_y(slot.circle.center, &slot.fixed_y, kAnchorTag, true);
    }
}

void SketchSystem::add_constraints() {
    tag_ids_.reserve(graph_.constraints.size());
    for (std::size_t index = 0; index < graph_.constraints.size(); ++index) {
        const DimensionConstraint& constraint = graph_.constraints[index];
        const int tag = sketch_constraint_tag(index);
        tag_ids_.push_back(&constraint.id);
        if (!std::isfinite(constraint.value)) {
            throw_constraint_error(constraint, "' has a non-finite value");
        }
        add_constraint(constraint, values_.emplace_back(constraint.value), tag);
    }
}

void SketchSystem::add_constraint(const DimensionConstraint& constraint, double& value, int tag) {
    switch (constraint.type) {
        case ConstraintType::distance: {
            if (constraint.entity_ids.size() != 1) {
                throw_constraint_error(constraint, "' requires exactly one line in M2");
            }
            const EntityRef& ref = require_entity(constraint, constraint.entity_ids[0]);
            if (ref.type != EntityType::line) {
                throw_constraint_error(constraint, "' requires line entity '" + constraint.entity_ids[0] + "'");
            }
            LineSlot& slot = lines_[ref.slot];
            system_.add_point_distance(slot.line.p1, slot.line.p2, &value, tag, true);
            return;
        }
        case ConstraintType::radius:
        case ConstraintType::diameter: {
            if (constraint.entity_ids.size() != 1) {
                throw_constraint_error(constraint, "' requires exactly one circle or arc in M2");
            }
            const EntityRef& ref = require_entity(constraint, constraint.entity_ids[0]);
            if (ref.type == EntityType::line) {
                throw_constraint_error(constraint, "' requires a circle or arc");
            }
            CircleSlot& slot = circles_[ref.slot];
            if (constraint.type == ConstraintType::radius) {
                system_.add_radius(slot.circle, &value, tag, true);
            } else {
                system_.add_diameter(slot.circle, &value, tag, true);
            }
            return;
        }
        case ConstraintType::angle: {
            auto [first, second] = require_two_lines(constraint);
            value *= kDegreesToRadians;
            system_.add_line_angle(first->line, second->line, &value, tag, true);
            return;
        }
        case ConstraintType::parallel: {
            auto [first, second] = require_two_lines(constraint);
            system_.add_parallel(first->line, second->line, tag, true);
            return;
        }
        case ConstraintType::perpendicular: {
            auto [first, second] = require_two_lines(constraint);
            system_.add_perpendicular(first->line, second->line, tag, true);
            return;
        }
        case ConstraintType::coincident:
            add_coincident(constraint, tag);
            return;
        case ConstraintType::symmetric:
            throw_constraint_error(constraint, "' uses unsupported M2 relation 'symmetric'");
    }
    throw std::logic_error("Unknown ConstraintType value");
}

// Joins the closest pair of endpoints; a tie between the two closest pairs has no answer.
void SketchSystem::add_coincident(const DimensionConstraint& constraint, int tag) {
    auto [first, second] = require_two_lines(constraint);
    const LineGeometry& a = first->geometry;
    const LineGeometry& b = second->geometry;
    std::array<EndpointPair, 4> pairs = {{
        {std::hypot(a.start.x - b.start.x, a.start.y - b.start.y), &first->line.p1, &second->line.p1},
        {std::hypot(a.start.x - b.end.x, a.start.y - b.end.y), &first->line.p1, &second->line.p2},
        {std::hypot(a.end.x - b.start.x, a.end.y - b.start.y), &first->line.p2, &second->line.p1},
        {std::hypot(a.end.x - b.end.x, a.end.y - b.end.y), &first->line.p2, &second->line.p2},
    }};
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const EndpointPair& l, const EndpointPair& r) { return l.distance < r.distance; });
    if (pairs[1].distance - pairs[0].distance <= kValueTolerance) {
        throw_constraint_error(constraint, "' has ambiguous line endpoint selection");
    }
    system_.add_coincident(*pairs[0].first, *pairs[0].second, tag, true);
}

SolverVerdict SketchSystem::diagnose() {
    system_.declare_unknowns(unknowns_);
    system_.init_solution(static_cast<int>(GCS::Algorithm::dog_leg));
    SolverVerdict verdict;
    verdict.diagnosed = system_.has_diagnosis;
    verdict.dofs = system_.dofs;
    if (verdict.diagnosed) {
        verdict.conflicting_tags = system_.conflicting_tags;
        verdict.redundant_tags = system_.redundant_tags;
    }
    return verdict;
}

std::vector<std::string> SketchSystem::ids_of_tags(const std::vector<int>& tags) const {
    std::vector<std::string> ids;
    for (const int tag : tags) {
        if (tag >= 1 && static_cast<std::size_t>(tag) <= tag_ids_.size()) {
            ids.push_back(*tag_ids_[static_cast<std::size_t>(tag) - 1]);
        }
    }
    sort_unique(ids);
    return ids;
}

// The solver's count, or -1 without a diagnosis. A count that is negative or missing must
// come with evidence: named unknowns or conflicting tags.
std::int32_t degrees_of_freedom(const SolverVerdict& verdict, const std::vector<std::string>& missing) {
    if (verdict.diagnosed && verdict.dofs >= 0) {
        return verdict.dofs;
    }
    if (missing.empty() && (!verdict.diagnosed || verdict.conflicting_tags.empty())) {
        throw std::runtime_error("GCS diagnosis failed without conflict evidence");
    }
    return verdict.diagnosed ? verdict.dofs : -1;
}

// A line pair reported through one relation brings every relation on that pair.
void add_line_pair_conflicts(const DimensionGraph& graph, std::vector<std::string>& conflicting) {
    if (conflicting.empty()) {
        return;
    }
    const std::set<std::string_view> reported(conflicting.begin(), conflicting.end());
    auto pair_of = [](const DimensionConstraint& constraint) {
        std::pair<std::string_view, std::string_view> pair{constraint.entity_ids[0], constraint.entity_ids[1]};
        if (pair.second < pair.first) {
            std::swap(pair.first, pair.second);
        }
        return pair;
    };
    auto is_pair_relation = [](const DimensionConstraint& constraint) {
        return is_line_relation(constraint.type) && constraint.entity_ids.size() == 2;
    };
    std::set<std::pair<std::string_view, std::string_view>> pairs;
    for (const DimensionConstraint& constraint : graph.constraints) {
        if (is_pair_relation(constraint) && reported.count(constraint.id) != 0) {
            pairs.insert(pair_of(constraint));
        }
    }
    if (pairs.empty()) {
        return;
    }
    for (const DimensionConstraint& constraint : graph.constraints) {
        if (is_pair_relation(constraint) && pairs.count(pair_of(constraint)) != 0) {
            conflicting.push_back(constraint.id);
        }
    }
    sort_unique(conflicting);
}

// Parameters of one drawn line, laid out for the solver's line type.
struct LineParams {
    double x1, y1, x2, y2;
    GCS::Line line() { return GCS::Line(GCS::Point{&x1, &y1}, GCS::Point{&x2, &y2}); }
};

void check_count(std::size_t count, std::size_t limit, const char* what) {
    if (count > limit) {
        throw std::invalid_argument("DimensionGraph has too many " + std::string(what) + ": " +
                                    std::to_string(count) + " (limit " + std::to_string(limit) + ")");
    }
}

// Invalid-argument error "DimensionGraph has too many entities: <n> (limit <cap>)", or
// the same for lines or constraints.
void check_sketch_size(const DimensionGraph& graph) {
    check_count(graph.entities.size(), kMaxSketchEntities, "entities");
    const auto lines = std::count_if(graph.entities.begin(), graph.entities.end(),
                                     [](const DimensionEntity& entity) { return entity.type == EntityType::line; });
    check_count(static_cast<std::size_t>(lines), kMaxSketchLines, "lines");
    check_count(graph.constraints.size(), kMaxSketchConstraints, "constraints");
}

// The dimension names of the entities that no distance, radius or diameter fixes, ascending.
std::vector<std::string> missing_dimension_names(const DimensionGraph& graph) {
    std::unordered_set<std::string_view> dimensioned;
    for (const DimensionConstraint& constraint : graph.constraints) {
        if (value_kind(constraint.type) != 0 && constraint.entity_ids.size() == 1) {
            dimensioned.insert(constraint.entity_ids.front());
        }
    }
    std::vector<std::string> names;
    for (const DimensionEntity& entity : graph.entities) {
        if (dimensioned.count(entity.id) == 0) {
            names.push_back(dimension_unknown_name(entity));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Ids of the constraints whose value contradicts another on the same entity, ascending.
std::vector<std::string> find_value_conflicts(const DimensionGraph& graph) {
    std::vector<std::string> ids;
    for_each_value_conflict(graph, [&](const std::vector<std::size_t>& marked) {
        for (const std::size_t i : marked) {
            ids.push_back(graph.constraints[i].id);
        }
    });
    sort_unique(ids);
    return ids;
}

}  // namespace

std::string dimension_unknown_name(const DimensionEntity& entity) {
    switch (entity.type) {
        case EntityType::line:
            return entity.id + ".length";
        case EntityType::arc:
            return entity.id + ".radius";
        case EntityType::circle:
            return entity.id + ".diameter";
    }
    throw std::logic_error("Unknown DimensionGraph entity type");
}

int sketch_constraint_tag(std::size_t constraint_index) {
    if (constraint_index >= static_cast<std::size_t>(INT_MAX) - 1) {
        throw std::overflow_error("DimensionGraph has too many constraints for GCS tags");
    }
    return static_cast<int>(constraint_index) + 1;
}

std::vector<std::vector<std::string>> find_conflict_groups(const DimensionGraph& graph) {
    std::vector<std::vector<std::string>> groups;
    for_each_value_conflict(graph, [&](const std::vector<std::size_t>& marked) {
        std::vector<std::string>& group = groups.emplace_back();
        for (const std::size_t i : marked) {
            group.push_back(graph.constraints[i].id);
        }
        std::sort(group.begin(), group.end());
    });
    std::sort(groups.begin(), groups.end());
    return groups;
}

SketchAnalysis analyze_dimension_graph(const DimensionGraph& graph) {
    check_sketch_size(graph);
    SketchSystem system(graph);
    system.add_entities();
    system.add_anchors();
    system.add_constraints();
    const SolverVerdict verdict = system.diagnose();

    SketchAnalysis analysis;
    analysis.missing_dimensions = missing_dimension_names(graph);
    analysis.degrees_of_freedom = degrees_of_freedom(verdict, analysis.missing_dimensions);
    analysis.conflicting_constraints = system.ids_of_tags(verdict.conflicting_tags);
    add_line_pair_conflicts(graph, analysis.conflicting_constraints);
    // Contradicting values on one entity conflict whatever the rank says.
    std::vector<std::string> value_conflicts = find_value_conflicts(graph);
    analysis.conflicting_constraints.insert(analysis.conflicting_constraints.end(), value_conflicts.begin(),
                                            value_conflicts.end());
    sort_unique(analysis.conflicting_constraints);
    analysis.redundant_constraints = system.ids_of_tags(verdict.redundant_tags);

    if (analysis.conflicting_constraints.empty() &&
        static_cast<std::int64_t>(analysis.degrees_of_freedom) !=
            static_cast<std::int64_t>(analysis.missing_dimensions.size())) {
        throw std::runtime_error("GCS DOF count does not match Vesk's named dimensional unknowns");
    }
    analysis.conflict_groups = find_conflict_groups(graph);
    return analysis;
}

void check_relation_values(const DimensionGraph& graph) {
    // The first entity of an id decides, as everywhere in the analysis.
    std::unordered_map<std::string_view, const LineGeometry*> lines;
    for (const DimensionEntity& entity : graph.entities) {
        lines.emplace(entity.id, std::get_if<LineGeometry>(&entity.geometry));
    }
    auto line_of = [&](const std::string& id) -> const LineGeometry* {
        const auto it = lines.find(std::string_view(id));
        return it == lines.end() ? nullptr : it->second;
    };
    for (const DimensionConstraint& constraint : graph.constraints) {
        if (!is_line_relation(constraint.type) || constraint.entity_ids.size() != 2) {
            continue;  // the analysis refuses a relation that does not name two lines
        }
        const LineGeometry* g1 = line_of(constraint.entity_ids[0]);
        const LineGeometry* g2 = line_of(constraint.entity_ids[1]);
        if (g1 == nullptr || g2 == nullptr) {
            continue;
        }
        LineParams p1{g1->start.x, g1->start.y, g1->end.x, g1->end.y};
        LineParams p2{g2->start.x, g2->start.y, g2->end.x, g2->end.y};
        double error = 0.0;
        if (constraint.type == ConstraintType::angle) {
            double radians = constraint.value * kDegreesToRadians;
            error = GCS::ConstraintL2LAngle(p1.line(), p2.line(), &radians).error();
        } else if (constraint.type == ConstraintType::parallel) {
            // Scaled by the two lengths: the sine of the angle between the lines.
            error = GCS::ConstraintParallel(p1.line(), p2.line()).error();
        } else {
            // Scaled likewise: the cosine of the angle between the lines.
            error = GCS::ConstraintPerpendicular(p1.line(), p2.line()).error();
        }
        if (!std::isfinite(error) || std::abs(error) > kRelationTolerance) {
            throw std::invalid_argument("DimensionGraph constraint '" + constraint.id +
                                        "' value contradicts referenced lines");
        }
    }
}

}  // namespace vesk
