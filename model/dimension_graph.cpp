#include "model/dimension_graph.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <utility>

#include "model/document_files.hpp"
#include "model/json_util.hpp"

namespace vesk {
namespace {

const std::vector<std::string> kRootKeys = {"units", "part_class", "views", "entities", "constraints"};
const std::vector<std::string> kViewKeys = {"id", "type"};
const std::vector<std::string> kLineKeys = {"id", "type", "view_id", "start", "end"};
const std::vector<std::string> kCircleKeys = {"id", "type", "view_id", "center", "radius"};
const std::vector<std::string> kArcKeys = {"id",     "type",           "view_id",      "center",
                                           "radius", "start_angle_deg", "end_angle_deg"};
const std::vector<std::string> kConstraintRequiredKeys = {"id",    "type",       "entity_ids",
                                                          "value", "confidence", "source_bbox"};
const std::vector<std::string> kConstraintAllowedKeys = {"id",         "type",        "entity_ids",  "value",
                                                         "confidence", "source_bbox", "display_name"};

std::string indexed_path(const char* array_name, std::size_t index) {
    return std::string(array_name) + "[" + std::to_string(index) + "]";
}

std::optional<ViewType> view_type_from_text(const std::string& text) {
    if (text == "front") return ViewType::front;
    if (text == "top") return ViewType::top;
    if (text == "side") return ViewType::side;
    if (text == "section") return ViewType::section;
    return std::nullopt;
}

// The kind under which two constraints on one entity can contradict each other.
enum class ValueKind : std::uint8_t { none, length, radius };

ValueKind value_kind(ConstraintType type) {
    switch (type) {
    case ConstraintType::distance:
        return ValueKind::length;
    case ConstraintType::radius:
    case ConstraintType::diameter:
        return ValueKind::radius;
    default:
        return ValueKind::none;
    }
}

// Diameters compare as radii.
double comparable_value(const DimensionConstraint& constraint) {
    return constraint.type == ConstraintType::diameter ? constraint.value * 0.5 : constraint.value;
}

// Smallest and largest comparable value of the single-entity constraints of one kind on
// one entity. A constraint has a sibling with a different value exactly when one of the
// two extremes lies further than the tolerance from its own value (itself differs by 0).
struct ValueRange {
    double min = 0.0;
    double max = 0.0;
};
using ValueRanges = std::map<std::pair<std::string, ValueKind>, ValueRange>;

ValueRanges collect_value_ranges(const std::vector<DimensionConstraint>& constraints) {
    ValueRanges ranges;
    for (const auto& constraint : constraints) {
        const ValueKind kind = value_kind(constraint.type);
        if (kind == ValueKind::none || constraint.entity_ids.size() != 1) continue;
        const double value = comparable_value(constraint);
        auto [it, inserted] = ranges.try_emplace({constraint.entity_ids.front(), kind}, ValueRange{value, value});
        if (!inserted) {
            it->second.min = std::min(it->second.min, value);
            it->second.max = std::max(it->second.max, value);
        }
    }
    return ranges;
}

bool range_has_other_value(const ValueRange& range, double value) {
    return std::fabs(range.max - value) > kGraphValueTolerance || std::fabs(value - range.min) > kGraphValueTolerance;
}

template <typename HasContradictingSibling>
void check_constraint_geometry(const DimensionConstraint& constraint,
                               const std::map<std::string, const DimensionEntity*>& entities_by_id,
                               const HasContradictingSibling& has_contradicting_sibling) {
    const bool sized = constraint.type == ConstraintType::diameter || constraint.type == ConstraintType::radius;
    if (sized && constraint.entity_ids.size() != 1) {
        throw_path_error(constraint.id, "diameter and radius constraints require exactly one entity");
    }
    if (constraint.entity_ids.size() != 1) return;
    const auto found = entities_by_id.find(constraint.entity_ids.front());
    if (found == entities_by_id.end() || found->second == nullptr) {
        throw_path_error(constraint.id, "unknown entity id '" + constraint.entity_ids.front() + "'");
    }
    const DimensionEntity& entity = *found->second;

    switch (constraint.type) {
    case ConstraintType::distance: {
        if (entity.type != EntityType::line) return;
        const auto& line = std::get<LineGeometry>(entity.geometry);
        const double length = std::hypot(line.end.x - line.start.x, line.end.y - line.start.y);
        if (std::fabs(length - constraint.value) > kGraphValueTolerance && !has_contradicting_sibling()) {
            throw_path_error(constraint.id, "distance value contradicts referenced line length");
        }
        return;
    }
    case ConstraintType::radius: {
        double radius = 0.0;
        if (entity.type == EntityType::circle) {
            radius = std::get<CircleGeometry>(entity.geometry).radius;
        } else if (entity.type == EntityType::arc) {
            radius = std::get<ArcGeometry>(entity.geometry).radius;
        } else {
            throw_path_error(constraint.id, "radius must reference a circle or arc");
        }
        if (std::fabs(radius - constraint.value) > kGraphValueTolerance && !has_contradicting_sibling()) {
            throw_path_error(constraint.id, "radius value contradicts referenced entity");
        }
        return;
    }
    case ConstraintType::diameter: {
        if (entity.type != EntityType::circle) throw_path_error(constraint.id, "diameter must reference a circle");
        const double radius = std::get<CircleGeometry>(entity.geometry).radius;
        if (std::fabs(2.0 * radius - constraint.value) > kGraphValueTolerance && !has_contradicting_sibling()) {
            throw_path_error(constraint.id, "diameter value contradicts referenced circle");
        }
        return;
    }
    default:
        return;
    }
}

}  // namespace

std::string_view to_string(PartClass value) {
    switch (value) {
    case PartClass::prismatic:
        return "prismatic";
    case PartClass::revolve:
        return "revolve";
    }
    throw std::logic_error("Unknown PartClass value");
}

std::string_view to_string(ViewType value) {
    switch (value) {
    case ViewType::front:
        return "front";
    case ViewType::top:
        return "top";
    case ViewType::side:
        return "side";
    case ViewType::section:
        return "section";
    }
    throw std::logic_error("Unknown ViewType value");
}

std::string_view to_string(EntityType value) {
    switch (value) {
    case EntityType::line:
        return "line";
    case EntityType::arc:
        return "arc";
    case EntityType::circle:
        return "circle";
    }
    throw std::logic_error("Unknown EntityType value");
}

std::string_view to_string(ConstraintType value) {
    switch (value) {
    case ConstraintType::distance:
        return "distance";
    case ConstraintType::diameter:
        return "diameter";
    case ConstraintType::radius:
        return "radius";
    case ConstraintType::angle:
        return "angle";
    case ConstraintType::coincident:
        return "coincident";
    case ConstraintType::parallel:
        return "parallel";
    case ConstraintType::perpendicular:
        return "perpendicular";
    case ConstraintType::symmetric:
        return "symmetric";
    }
    throw std::logic_error("Unknown ConstraintType value");
}

DimensionGraph load_dimension_graph(const std::filesystem::path& path) {
    const std::string label = path.string();
    const std::string text =
        read_input_document(path, "Cannot open DimensionGraph file: ", "Cannot read DimensionGraph file: ");
    return parse_dimension_graph(text, label);
}

DimensionGraph parse_dimension_graph(std::string_view text, const std::string& label) {
    try {
        const SortedJson json = parse_strict_json(text);
        return parse_dimension_graph_object(json);
    } catch (const std::exception& error) {
        throw std::runtime_error("DimensionGraph '" + label + "' is invalid: " + error.what());
    }
}

DimensionGraph parse_dimension_graph_object(const SortedJson& json) {
    check_object_fields(json, kRootKeys, kRootKeys, "root");

    DimensionGraph graph;
    graph.units = require_non_empty_string(json, "units", "root");
    if (graph.units != "mm") throw_path_error("root", "M1 supports units 'mm' only");
    const std::string part_class = require_non_empty_string(json, "part_class", "root");
    for (const char* key : {"views", "entities", "constraints"}) {
        if (!json.at(key).is_array()) throw_path_error(key, "expected an array");
    }
    const SortedJson& views = json.at("views");
    const SortedJson& entities = json.at("entities");
    const SortedJson& constraints = json.at("constraints");
    if (views.empty()) throw_path_error("views", "must not be empty");
    if (part_class == "prismatic") {
        graph.part_class = PartClass::prismatic;
    } else if (part_class == "revolve") {
        graph.part_class = PartClass::revolve;
    } else {
        throw_path_error("root", "unknown part_class '" + part_class + "'");
    }

    std::set<std::string> view_ids;
    std::set<ViewType> view_types;
    graph.views.reserve(views.size());
    for (std::size_t i = 0; i < views.size(); ++i) {
        DimensionView view = parse_dimension_view(views[i], i);
        if (!view_ids.insert(view.id).second) throw_path_error("views", "duplicate id '" + view.id + "'");
        if (!view_types.insert(view.type).second) {
            throw_path_error("views", "duplicate type '" + std::string(to_string(view.type)) + "'");
        }
        graph.views.push_back(std::move(view));
    }

    std::set<std::string> entity_ids;
    graph.entities.reserve(entities.size());
    for (std::size_t i = 0; i < entities.size(); ++i) {
        DimensionEntity entity = parse_dimension_entity(entities[i], i);
        if (view_ids.count(entity.view_id) == 0) {
            throw_path_error(entity.id, "unknown view_id '" + entity.view_id + "'");
        }
        if (!entity_ids.insert(entity.id).second) throw_path_error("entities", "duplicate id '" + entity.id + "'");
        graph.entities.push_back(std::move(entity));
    }

    std::map<std::string, const DimensionEntity*> entities_by_id;
    for (const auto& entity : graph.entities) entities_by_id.emplace(entity.id, &entity);

    std::set<std::string> constraint_ids;
    graph.constraints.reserve(constraints.size());
    for (std::size_t i = 0; i < constraints.size(); ++i) {
        DimensionConstraint constraint = parse_dimension_constraint(constraints[i], i);
        if (!constraint_ids.insert(constraint.id).second) {
            throw_path_error("constraints", "duplicate id '" + constraint.id + "'");
        }
        for (const auto& entity_id : constraint.entity_ids) {
            if (entities_by_id.count(entity_id) == 0) {
                throw_path_error(constraint.id, "unknown entity id '" + entity_id + "'");
            }
        }
        graph.constraints.push_back(std::move(constraint));
    }

    // Same rule as validate_constraint_geometry, with the sibling search precomputed so
    // that a graph of many constraints on one entity stays linear.
    const ValueRanges ranges = collect_value_ranges(graph.constraints);
    for (const auto& constraint : graph.constraints) {
        check_constraint_geometry(constraint, entities_by_id, [&]() {
            const auto found = ranges.find({constraint.entity_ids.front(), value_kind(constraint.type)});
            return found != ranges.end() && range_has_other_value(found->second, comparable_value(constraint));
        });
    }
    return graph;
}

DimensionView parse_dimension_view(const SortedJson& json, std::size_t index) {
    const std::string path = indexed_path("views", index);
    check_object_fields(json, kViewKeys, kViewKeys, path);
    DimensionView view;
    view.id = require_non_empty_string(json, "id", path);
    const std::string type = require_non_empty_string(json, "type", path);
    const auto parsed = view_type_from_text(type);
    if (!parsed) throw_path_error(path, "unknown view type '" + type + "'");
    view.type = *parsed;
    return view;
}

DimensionEntity parse_dimension_entity(const SortedJson& json, std::size_t index) {
    const std::string path = indexed_path("entities", index);
    if (!json.is_object()) throw_path_error(path, "expected an object");
    const auto type_it = json.find("type");
    if (type_it == json.end() || !type_it->is_string()) throw_path_error(path, "field 'type' must be a string");
    const std::string type = type_it->get<std::string>();
    // A wrongly typed id or view_id is reported before the field check.
    if (json.contains("id")) require_non_empty_string(json, "id", path);
    if (json.contains("view_id")) require_non_empty_string(json, "view_id", path);

    DimensionEntity entity;
    if (type == "line") {
        check_object_fields(json, kLineKeys, kLineKeys, path);
        LineGeometry line;
        line.start = parse_point(json.at("start"), path + ".start");
        line.end = parse_point(json.at("end"), path + ".end");
        if (line.start.x == line.end.x && line.start.y == line.end.y) {
            throw_path_error(path, "line endpoints must be distinct");
        }
        entity.type = EntityType::line;
        entity.geometry = line;
    } else if (type == "circle") {
        check_object_fields(json, kCircleKeys, kCircleKeys, path);
        CircleGeometry circle;
        circle.radius = require_finite_number(json, "radius", path);
        if (circle.radius <= 0.0) throw_path_error(path, "radius must be positive");
        circle.center = parse_point(json.at("center"), path + ".center");
        entity.type = EntityType::circle;
        entity.geometry = circle;
    } else if (type == "arc") {
        check_object_fields(json, kArcKeys, kArcKeys, path);
        ArcGeometry arc;
        arc.radius = require_finite_number(json, "radius", path);
        arc.start_angle_deg = require_finite_number(json, "start_angle_deg", path);
        arc.end_angle_deg = require_finite_number(json, "end_angle_deg", path);
        if (arc.radius <= 0.0) throw_path_error(path, "radius must be positive");
        if (arc.start_angle_deg == arc.end_angle_deg) throw_path_error(path, "arc angles must be distinct");
        arc.center = parse_point(json.at("center"), path + ".center");
        entity.type = EntityType::arc;
        entity.geometry = arc;
    } else {
        throw_path_error(path, "unknown entity type '" + type + "'");
    }
    entity.id = require_non_empty_string(json, "id", path);
    entity.view_id = require_non_empty_string(json, "view_id", path);
    return entity;
}

DimensionConstraint parse_dimension_constraint(const SortedJson& json, std::size_t index) {
    const std::string path = indexed_path("constraints", index);
    check_object_fields(json, kConstraintRequiredKeys, kConstraintAllowedKeys, path);
    DimensionConstraint constraint;
    constraint.id = require_non_empty_string(json, "id", path);
    const std::string type = require_non_empty_string(json, "type", path);

    const SortedJson& entity_ids = json.at("entity_ids");
    if (!entity_ids.is_array()) throw_path_error(path + ".entity_ids", "expected an array");
    if (entity_ids.empty()) throw_path_error(path, "entity_ids must not be empty");
    constraint.entity_ids.reserve(entity_ids.size());
    for (const auto& entity_id : entity_ids) {
        if (!entity_id.is_string() || entity_id.get_ref<const std::string&>().empty()) {
            throw_path_error(path, "entity_ids must contain non-empty strings");
        }
        constraint.entity_ids.push_back(entity_id.get<std::string>());
    }

    constraint.confidence = require_finite_number(json, "confidence", path);
    if (constraint.confidence < 0.0 || constraint.confidence > 1.0) {
        throw_path_error(path, "confidence must be in [0, 1]");
    }
    if (json.contains("display_name")) constraint.display_name = require_non_empty_string(json, "display_name", path);
    constraint.type = parse_constraint_type(type, path);
    constraint.value = require_finite_number(json, "value", path);
    constraint.source_bbox = parse_source_bbox(json.at("source_bbox"), path + ".source_bbox");
    return constraint;
}

Point2 parse_point(const SortedJson& json, const std::string& path) {
    if (!json.is_array()) throw_path_error(path, "expected an array");
    if (json.size() != 2 || !json[0].is_number() || !json[1].is_number()) {
        throw_path_error(path, "expected [x, y] with two numbers");
    }
    const Point2 point{json[0].get<double>(), json[1].get<double>()};
    if (!std::isfinite(point.x) || !std::isfinite(point.y)) throw_path_error(path, "coordinates must be finite");
    return point;
}

SourceBox parse_source_bbox(const SortedJson& json, const std::string& path) {
    if (!json.is_array()) throw_path_error(path, "expected an array");
    if (json.size() != 4) throw_path_error(path, "expected [x, y, width, height]");
    double values[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!json[i].is_number()) throw_path_error(path, "all components must be finite numbers");
        values[i] = json[i].get<double>();
        if (!std::isfinite(values[i])) throw_path_error(path, "all components must be finite numbers");
    }
    const SourceBox box{values[0], values[1], values[2], values[3]};
    if (box.width < 0.0 || box.height < 0.0) throw_path_error(path, "width and height must be non-negative");
    return box;
}

double require_finite_number(const SortedJson& json, const std::string& key, const std::string& path) {
    const SortedJson& value = json.at(key);
    if (!value.is_number()) throw_path_error(path, "field '" + key + "' must be a number");
    const double number = value.get<double>();
    if (!std::isfinite(number)) throw_path_error(path, "field '" + key + "' must be finite");
    return number;
}

ConstraintType parse_constraint_type(const std::string& text, const std::string& path) {
    static const std::pair<const char*, ConstraintType> kNames[] = {
        {"distance", ConstraintType::distance},
        {"diameter", ConstraintType::diameter},
        {"radius", ConstraintType::radius},
        {"angle", ConstraintType::angle},
        {"coincident", ConstraintType::coincident},
        {"parallel", ConstraintType::parallel},
        {"perpendicular", ConstraintType::perpendicular},
        {"symmetric", ConstraintType::symmetric},
    };
    for (const auto& [name, type] : kNames) {
        if (text == name) return type;
    }
    throw_path_error(path, "unknown constraint type '" + text + "'");
}

void validate_constraint_geometry(const DimensionConstraint& constraint,
                                  const std::map<std::string, const DimensionEntity*>& entities_by_id,
                                  const std::vector<DimensionConstraint>& constraints) {
    check_constraint_geometry(constraint, entities_by_id, [&]() {
        const ValueKind kind = value_kind(constraint.type);
        const double value = comparable_value(constraint);
        for (const auto& other : constraints) {
            if (other.id == constraint.id || value_kind(other.type) != kind || other.entity_ids.size() != 1 ||
                other.entity_ids.front() != constraint.entity_ids.front()) {
                continue;
            }
            if (std::fabs(comparable_value(other) - value) > kGraphValueTolerance) return true;
        }
        return false;
    });
}

void push_entity(std::vector<DimensionEntity>& entities, DimensionEntity entity) {
    entities.push_back(std::move(entity));
}

void push_view(std::vector<DimensionView>& views, DimensionView view) { views.push_back(std::move(view)); }

namespace {

OrderedJson point_json(const Point2& point) { return OrderedJson::array({point.x, point.y}); }

OrderedJson entity_json(const DimensionEntity& entity) {
    OrderedJson json = OrderedJson::object();
    json["id"] = entity.id;
    json["type"] = std::string(to_string(entity.type));
    json["view_id"] = entity.view_id;
    // The geometry is read as the alternative its type names; a disagreement is an
    // internal fault and surfaces as a bad variant access.
    switch (entity.type) {
    case EntityType::line: {
        const auto& line = std::get<LineGeometry>(entity.geometry);
        json["start"] = point_json(line.start);
        json["end"] = point_json(line.end);
        break;
    }
    case EntityType::circle: {
        const auto& circle = std::get<CircleGeometry>(entity.geometry);
        json["center"] = point_json(circle.center);
        json["radius"] = circle.radius;
        break;
    }
    case EntityType::arc: {
        const auto& arc = std::get<ArcGeometry>(entity.geometry);
        json["center"] = point_json(arc.center);
        json["radius"] = arc.radius;
        json["start_angle_deg"] = arc.start_angle_deg;
        json["end_angle_deg"] = arc.end_angle_deg;
        break;
    }
    }
    return json;
}

OrderedJson constraint_json(const DimensionConstraint& constraint) {
    OrderedJson json = OrderedJson::object();
    json["id"] = constraint.id;
    json["type"] = std::string(to_string(constraint.type));
    json["entity_ids"] = constraint.entity_ids;
    json["value"] = constraint.value;
    json["confidence"] = constraint.confidence;
    const SourceBox& box = constraint.source_bbox;
    json["source_bbox"] = OrderedJson::array({box.x, box.y, box.width, box.height});
    if (constraint.display_name) json["display_name"] = *constraint.display_name;
    return json;
}

}  // namespace

std::string dimension_graph_to_json(const DimensionGraph& graph) {
    OrderedJson root = OrderedJson::object();
    root["units"] = graph.units;
    root["part_class"] = std::string(to_string(graph.part_class));
    OrderedJson views = OrderedJson::array();
    for (const auto& view : graph.views) {
        OrderedJson json = OrderedJson::object();
        json["id"] = view.id;
        json["type"] = std::string(to_string(view.type));
        views.push_back(std::move(json));
    }
    root["views"] = std::move(views);
    OrderedJson entities = OrderedJson::array();
    for (const auto& entity : graph.entities) entities.push_back(entity_json(entity));
    root["entities"] = std::move(entities);
    OrderedJson constraints = OrderedJson::array();
    for (const auto& constraint : graph.constraints) constraints.push_back(constraint_json(constraint));
    root["constraints"] = std::move(constraints);
    return dump_json_document(root);
}

}  // namespace vesk
