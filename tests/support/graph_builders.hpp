// Small builders of DimensionGraph records for tests and benchmarks.
#pragma once

#include <string>

#include "model/dimension_graph.hpp"

namespace vesk::test {

inline DimensionEntity line_entity(std::string id, std::string view, double x0, double y0, double x1, double y1) {
    return DimensionEntity{std::move(id), EntityType::line, std::move(view), LineGeometry{{x0, y0}, {x1, y1}}};
}

inline DimensionEntity circle_entity(std::string id, std::string view, double cx, double cy, double r) {
    return DimensionEntity{std::move(id), EntityType::circle, std::move(view), CircleGeometry{{cx, cy}, r}};
}

// Four lines "<prefix>1".."<prefix>4", counter-clockwise from (x0, y0).
inline void add_rectangle(DimensionGraph& graph, const std::string& prefix, const std::string& view, double w,
                          double h, double x0 = 0.0, double y0 = 0.0) {
    graph.entities.push_back(line_entity(prefix + "1", view, x0, y0, x0 + w, y0));
    graph.entities.push_back(line_entity(prefix + "2", view, x0 + w, y0, x0 + w, y0 + h));
    graph.entities.push_back(line_entity(prefix + "3", view, x0 + w, y0 + h, x0, y0 + h));
    graph.entities.push_back(line_entity(prefix + "4", view, x0, y0 + h, x0, y0));
}

}  // namespace vesk::test
