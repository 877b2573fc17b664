#include "model/sketch_analysis.hpp"

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
#include <utility>

#include "solver/geometry.hpp"
#include "solver/system.hpp"

namespace vesk {
namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;
constexpr double kValueTolerance = 1e-9;

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

// Calls visit(i, j), i < j, for every pair of constraints that name exactly one and the
// same entity, are of the same value kind, and whose values differ by more than the
// tolerance. Bucketing by entity and kind keeps a large plate from costing n^2.
template <typename Visit>
void for_each_value_contradiction(const DimensionGraph& graph, Visit&& visit) {
    std::map<std::pair<std::string_view, int>, std::vector<std::size_t>> buckets;
    for (std::size_t i = 0; i < graph.constraints.size(); ++i) {
        const DimensionConstraint& constraint = graph.constraints[i];
        const int kind = value_kind(constraint.type);
        if (kind == 0 || constraint.entity_ids.size() != 1) {
            continue;
        }
        buckets[{std::string_view(constraint.entity_ids.front()), kind}].push_back(i);
    }
    for (const auto& [key, members] : buckets) {
        for (std::size_t a = 0; a < members.size(); ++a) {
            const double value_a = comparable_value(graph.constraints[members[a]]);
            for (std::size_t b = a + 1; b < members.size(); ++b) {
                const double value_b = comparable_value(graph.constraints[members[b]]);
                if (std::fabs(value_a - value_b) > kValueTolerance) {
                    visit(members[a], members[b]);
                }
            }
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
    const std::size_t count = graph.constraints.size();
    DisjointSets sets(count);
    std::vector<bool> marked(count, false);
    for_each_value_contradiction(graph, [&](std::size_t i, std::size_t j) {
        marked[i] = true;
        marked[j] = true;
        sets.unite(i, j);
    });

    // Groups in order of their first member, then each sorted and the list sorted.
    std::map<std::size_t, std::size_t> group_of_root;
    std::vector<std::vector<std::string>> groups;
    for (std::size_t i = 0; i < count; ++i) {
        if (!marked[i]) {
            continue;
        }
        const std::size_t root = sets.find(i);
        auto [it, inserted] = group_of_root.emplace(root, groups.size());
        if (inserted) {
            groups.emplace_back();
        }
        groups[it->second].push_back(graph.constraints[i].id);
    }
    for (auto& group : groups) {
        std::sort(group.begin(), group.end());
    }
    std::sort(groups.begin(), groups.end());
    return groups;
}

SketchAnalysis analyze_dimension_graph(const DimensionGraph& graph) {
    GCS::System system;

    // Entities become solver lines and circles; their parameters are the unknowns.
    std::deque<LineSlot> lines;
    std::deque<CircleSlot> circles;
    std::unordered_map<std::string_view, EntityRef> entity_refs;
    std::vector<double*> unknowns;
    unknowns.reserve(graph.entities.size() * 4);
    for (const DimensionEntity& entity : graph.entities) {
        check_entity_geometry(entity);
        if (entity.type == EntityType::line) {
            const auto& geometry = std::get<LineGeometry>(entity.geometry);
            LineSlot& slot = lines.emplace_back();
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
                unknowns.push_back(&param);
            }
            entity_refs.emplace(entity.id, EntityRef{EntityType::line, lines.size() - 1});
        } else {
            const Point2 center = entity.type == EntityType::arc ? std::get<ArcGeometry>(entity.geometry).center
                                                                  : std::get<CircleGeometry>(entity.geometry).center;
            const double radius = entity.type == EntityType::arc ? std::get<ArcGeometry>(entity.geometry).radius
                                                                  : std::get<CircleGeometry>(entity.geometry).radius;
            CircleSlot& slot = circles.emplace_back();
            slot.params = {center.x, center.y, radius};
            slot.fixed_x = center.x;
            slot.fixed_y = center.y;
            slot.circle.center.x = &slot.params[0];
            slot.circle.center.y = &slot.params[1];
            slot.circle.rad = &slot.params[2];
            for (double& param : slot.params) {
                unknowns.push_back(&param);
            }
            entity_refs.emplace(entity.id, EntityRef{entity.type, circles.size() - 1});
        }
    }

    auto find_entity = [&](const std::string& id) -> const EntityRef* {
        const auto it = entity_refs.find(std::string_view(id));
        return it == entity_refs.end() ? nullptr : &it->second;
    };

    // Lines tied by an angle, parallel or perpendicular share one anchored direction: the
    // relation supplies the direction of the others.
    DisjointSets line_groups(lines.size());
    for (const DimensionConstraint& constraint : graph.constraints) {
        if (!is_line_relation(constraint.type) || constraint.entity_ids.size() != 2) {
            continue;
        }
        const EntityRef* first = find_entity(constraint.entity_ids[0]);
        const EntityRef* second = find_entity(constraint.entity_ids[1]);
        if (first != nullptr && second != nullptr && first->type == EntityType::line &&
            second->type == EntityType::line) {
            line_groups.unite(first->slot, second->slot);
        }
    }
    std::vector<std::size_t> lowest_in_group(lines.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::size_t& lowest = lowest_in_group[line_groups.find(i)];
        lowest = std::min(lowest, i);
    }

    // Anchors (tag 0): what a drawing never dimensions, positions and directions.
    constexpr int kAnchorTag = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        LineSlot& slot = lines[i];
        system.add_coordinate_x(slot.line.p1, &slot.fixed_x, kAnchorTag, true);
        system.add_coordinate_y(slot.line.p1, &slot.fixed_y, kAnchorTag, true);
        if (lowest_in_group[line_groups.find(i)] == i) {
            system.add_point_angle(slot.line.p1, slot.line.p2, &slot.direction, kAnchorTag, true);
        }
    }
    for (CircleSlot& slot : circles) {
        system.add_coordinate_x(slot.circle.center, &slot.fixed_x, kAnchorTag, true);
        system.add_coordinate_y(slot.circle.center, &slot.fixed_y, kAnchorTag, true);
    }

    // One solver constraint per graph constraint, tagged by graph position.
    std::deque<double> values;
    std::vector<const std::string*> tag_ids;  // tag t names tag_ids[t - 1]
    tag_ids.reserve(graph.constraints.size());
    std::set<std::string_view> dimensioned;

    auto require_entity = [&](const DimensionConstraint& constraint, const std::string& id) -> const EntityRef& {
        const EntityRef* ref = find_entity(id);
        if (ref == nullptr) {
            throw_constraint_error(constraint, "' references unknown entity '" + id + "'");
        }
        return *ref;
    };
    auto require_two_lines = [&](const DimensionConstraint& constraint) -> std::pair<LineSlot*, LineSlot*> {
        if (constraint.entity_ids.size() != 2) {
            throw_constraint_error(constraint, "' requires exactly two lines in M2");
        }
        std::array<LineSlot*, 2> slots{};
        for (std::size_t k = 0; k < 2; ++k) {
            const EntityRef& ref = require_entity(constraint, constraint.entity_ids[k]);
            if (ref.type != EntityType::line) {
                throw_constraint_error(constraint, "' requires line entity '" + constraint.entity_ids[k] + "'");
            }
            slots[k] = &lines[ref.slot];
        }
        return {slots[0], slots[1]};
    };

    for (std::size_t index = 0; index < graph.constraints.size(); ++index) {
        const DimensionConstraint& constraint = graph.constraints[index];
        const int tag = sketch_constraint_tag(index);
        tag_ids.push_back(&constraint.id);
        if (!std::isfinite(constraint.value)) {
            throw_constraint_error(constraint, "' has a non-finite value");
        }
        double& value = values.emplace_back(constraint.value);

        switch (constraint.type) {
            case ConstraintType::distance: {
                if (constraint.entity_ids.size() != 1) {
                    throw_constraint_error(constraint, "' requires exactly one line in M2");
                }
                const EntityRef& ref = require_entity(constraint, constraint.entity_ids[0]);
                if (ref.type != EntityType::line) {
                    throw_constraint_error(constraint, "' requires line entity '" + constraint.entity_ids[0] + "'");
                }
                LineSlot& slot = lines[ref.slot];
                system.add_point_distance(slot.line.p1, slot.line.p2, &value, tag, true);
                dimensioned.insert(constraint.entity_ids[0]);
                break;
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
                CircleSlot& slot = circles[ref.slot];
                if (constraint.type == ConstraintType::radius) {
                    system.add_radius(slot.circle, &value, tag, true);
                } else {
                    system.add_diameter(slot.circle, &value, tag, true);
                }
                dimensioned.insert(constraint.entity_ids[0]);
                break;
            }
            case ConstraintType::angle: {
                auto [first, second] = require_two_lines(constraint);
                value *= kDegreesToRadians;
                system.add_line_angle(first->line, second->line, &value, tag, true);
                break;
            }
            case ConstraintType::parallel: {
                auto [first, second] = require_two_lines(constraint);
                system.add_parallel(first->line, second->line, tag, true);
                break;
            }
            case ConstraintType::perpendicular: {
                auto [first, second] = require_two_lines(constraint);
                system.add_perpendicular(first->line, second->line, tag, true);
                break;
            }
            case ConstraintType::coincident: {
                auto [first, second] = require_two_lines(constraint);
                const LineGeometry& a = first->geometry;
                const LineGeometry& b = second->geometry;
                std::array<EndpointPair, 4> pairs = {{
                    {std::hypot(a.start.x - b.start.x, a.start.y - b.start.y), &first->line.p1, &second->line.p1},
                    {std::hypot(a.start.x - b.end.x, a.start.y - b.end.y), &first->line.p1, &second->line.p2},
                    {std::hypot(a.end.x - b.start.x, a.end.y - b.start.y), &first->line.p2, &second->line.p1},
                    {std::hypot(a.end.x - b.end.x, a.end.y - b.end.y), &first->line.p2, &second->line.p2},
                }};
                std::stable_sort(pairs.begin(), pairs.end(), [](const EndpointPair& l, const EndpointPair& r) {
                    return l.distance < r.distance;
                });
                if (pairs[1].distance - pairs[0].distance <= kValueTolerance) {
                    throw_constraint_error(constraint, "' has ambiguous line endpoint selection");
                }
                system.add_coincident(*pairs[0].first, *pairs[0].second, tag, true);
                break;
            }
            case ConstraintType::symmetric:
                throw_constraint_error(constraint, "' uses unsupported M2 relation 'symmetric'");
            default:
                throw std::logic_error("Unknown ConstraintType value");
        }
    }

    std::vector<std::string> named_unknowns;
    for (const DimensionEntity& entity : graph.entities) {
        if (dimensioned.count(entity.id) == 0) {
            named_unknowns.push_back(dimension_unknown_name(entity));
        }
    }
    std::sort(named_unknowns.begin(), named_unknowns.end());

    system.declare_unknowns(unknowns);
    system.init_solution(static_cast<int>(GCS::Algorithm::dog_leg));

    SketchAnalysis analysis;
    const bool diagnosed = system.has_diagnosis;
    if (diagnosed && system.dofs >= 0) {
        analysis.degrees_of_freedom = system.dofs;
    } else {
        analysis.degrees_of_freedom = diagnosed ? system.dofs : -1;
        if (named_unknowns.empty() && (!diagnosed || system.conflicting_tags.empty())) {
            throw std::runtime_error("GCS diagnosis failed without conflict evidence");
        }
    }

    std::vector<int> conflicting_tags;
    std::vector<int> redundant_tags;
    if (diagnosed) {
        conflicting_tags = system.conflicting_tags;
        redundant_tags = system.redundant_tags;
    }
    auto ids_of_tags = [&](const std::vector<int>& tags) {
        std::vector<std::string> ids;
        for (const int tag : tags) {
            if (tag >= 1 && static_cast<std::size_t>(tag) <= tag_ids.size()) {
                ids.push_back(*tag_ids[static_cast<std::size_t>(tag) - 1]);
            }
        }
        sort_unique(ids);
        return ids;
    };
    analysis.conflicting_constraints = ids_of_tags(conflicting_tags);

    // A line pair reported through one relation brings every relation on that pair.
    if (!analysis.conflicting_constraints.empty()) {
        const std::set<std::string_view> reported(analysis.conflicting_constraints.begin(),
                                                  analysis.conflicting_constraints.end());
        auto pair_of = [](const DimensionConstraint& constraint) {
            std::pair<std::string_view, std::string_view> pair{constraint.entity_ids[0], constraint.entity_ids[1]};
            if (pair.second < pair.first) {
                std::swap(pair.first, pair.second);
            }
            return pair;
        };
        std::set<std::pair<std::string_view, std::string_view>> pairs;
        for (const DimensionConstraint& constraint : graph.constraints) {
            if (is_line_relation(constraint.type) && constraint.entity_ids.size() == 2 &&
                reported.count(constraint.id) != 0) {
                pairs.insert(pair_of(constraint));
            }
        }
        if (!pairs.empty()) {
            for (const DimensionConstraint& constraint : graph.constraints) {
                if (is_line_relation(constraint.type) && constraint.entity_ids.size() == 2 &&
                    pairs.count(pair_of(constraint)) != 0) {
                    analysis.conflicting_constraints.push_back(constraint.id);
                }
            }
            sort_unique(analysis.conflicting_constraints);
        }
    }

    // Contradicting values on one entity conflict whatever the rank says.
    for_each_value_contradiction(graph, [&](std::size_t i, std::size_t j) {
        analysis.conflicting_constraints.push_back(graph.constraints[i].id);
        analysis.conflicting_constraints.push_back(graph.constraints[j].id);
    });
    sort_unique(analysis.conflicting_constraints);

    analysis.redundant_constraints = ids_of_tags(redundant_tags);

    analysis.missing_dimensions = std::move(named_unknowns);
    if (analysis.conflicting_constraints.empty() &&
        static_cast<std::int64_t>(analysis.degrees_of_freedom) !=
            static_cast<std::int64_t>(analysis.missing_dimensions.size())) {
        throw std::runtime_error("GCS DOF count does not match Vesk's named dimensional unknowns");
    }
    analysis.conflict_groups = find_conflict_groups(graph);
    return analysis;
}

}  // namespace vesk
