// The DimensionGraph: the one input of the model pipeline, its records, enumerations,
// strict JSON parser and canonical writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/json_util.hpp"

namespace vesk {

// Tolerance of the graph's value checks (constraint values against geometry).
inline constexpr double kGraphValueTolerance = 1e-9;

struct Point2 {
    double x = 0.0;
    double y = 0.0;
    bool operator==(const Point2&) const = default;
};

enum class PartClass : std::uint8_t { prismatic = 0, revolve = 1 };
enum class ViewType : std::uint8_t { front = 0, top = 1, side = 2, section = 3 };
enum class EntityType : std::uint8_t { line = 0, arc = 1, circle = 2 };
enum class ConstraintType : std::uint8_t {
    distance = 0,
    diameter = 1,
    radius = 2,
    angle = 3,
    coincident = 4,
    parallel = 5,
    perpendicular = 6,
    symmetric = 7,
};

std::string_view to_string(PartClass value);
std::string_view to_string(ViewType value);
std::string_view to_string(EntityType value);
std::string_view to_string(ConstraintType value);

struct SourceBox {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
    bool operator==(const SourceBox&) const = default;
};

struct DimensionView {
    std::string id;
    ViewType type = ViewType::front;
    bool operator==(const DimensionView&) const = default;
};

struct LineGeometry {
    Point2 start;
    Point2 end;
    bool operator==(const LineGeometry&) const = default;
};

struct ArcGeometry {
    Point2 center;
    double radius = 0.0;
    double start_angle_deg = 0.0;
    double end_angle_deg = 0.0;
    bool operator==(const ArcGeometry&) const = default;
};

struct CircleGeometry {
    Point2 center;
    double radius = 0.0;
    bool operator==(const CircleGeometry&) const = default;
};

// Alternative order follows EntityType: line, arc, circle.
using EntityGeometry = std::variant<LineGeometry, ArcGeometry, CircleGeometry>;

struct DimensionEntity {
    std::string id;
    EntityType type = EntityType::line;
    std::string view_id;
    EntityGeometry geometry;
    bool operator==(const DimensionEntity&) const = default;
};

struct DimensionConstraint {
    std::string id;
    ConstraintType type = ConstraintType::distance;
    std::vector<std::string> entity_ids;
    double value = 0.0;
    double confidence = 0.0;
    SourceBox source_bbox;
    std::optional<std::string> display_name;
    bool operator==(const DimensionConstraint&) const = default;
};

struct DimensionGraph {
    std::string units = "mm";
    PartClass part_class = PartClass::prismatic;
    std::vector<DimensionView> views;
    std::vector<DimensionEntity> entities;
    std::vector<DimensionConstraint> constraints;
    bool operator==(const DimensionGraph&) const = default;
};

// Parsed text uses the key-sorted JSON type (std::map ordering: ascending bytes).
using SortedJson = nlohmann::json;
// Documents the system builds keep their keys in insertion order.
using OrderedJson = nlohmann::ordered_json;

DimensionGraph load_dimension_graph(const std::filesystem::path& path);
DimensionGraph parse_dimension_graph(std::string_view text, const std::string& label);
DimensionGraph parse_dimension_graph_object(const SortedJson& json);

DimensionView parse_dimension_view(const SortedJson& json, std::size_t index);
DimensionEntity parse_dimension_entity(const SortedJson& json, std::size_t index);
DimensionConstraint parse_dimension_constraint(const SortedJson& json, std::size_t index);

Point2 parse_point(const SortedJson& json, const std::string& path);
SourceBox parse_source_bbox(const SortedJson& json, const std::string& path);
double require_finite_number(const SortedJson& json, const std::string& key, const std::string& path);
ConstraintType parse_constraint_type(const std::string& text, const std::string& path);

// Value checks of one constraint against the single entity it names; a contradiction is
// let through when another constraint on the same entity, of the same kind, carries a
// different value (the sketch analysis reports such pairs as conflicts).
void validate_constraint_geometry(const DimensionConstraint& constraint,
                                  const std::map<std::string, const DimensionEntity*>& entities_by_id,
                                  const std::vector<DimensionConstraint>& constraints);

void push_entity(std::vector<DimensionEntity>& entities, DimensionEntity entity);
void push_view(std::vector<DimensionView>& views, DimensionView view);

// Canonical graph text: keys in a fixed insertion order, indent 2, one final "\n".
std::string dimension_graph_to_json(const DimensionGraph& graph);

}  // namespace vesk
