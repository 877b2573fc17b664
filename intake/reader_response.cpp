#include "intake/reader_response.hpp"
#include "intake/reader_response_internal.hpp"

#include <cmath>
#include <stdexcept>
#include <unordered_set>

#include "model/json_util.hpp"

namespace vesk {
namespace {

const std::vector<std::string> kRootKeys = {"drawing_id", "dimension_graph", "readings", "errors"};
const std::vector<std::string> kReadingKeys = {"constraint_id", "value", "confidence", "origin", "source_bbox"};

SourceBox parse_reading_box(const SortedJson& json, const std::string& path) {
    if (!json.is_array() || json.size() != 4) throw_path_error(path, "expected [x, y, width, height]");
    for (const auto& component : json) {
        if (!component.is_number()) throw_path_error(path, "all components must be numbers");
    }
    double values[4];
    for (std::size_t i = 0; i < 4; ++i) {
        values[i] = json[i].get<double>();
        if (!std::isfinite(values[i])) throw_path_error(path, "all components must be finite");
    }
    if (values[2] < 0.0 || values[3] < 0.0) throw_path_error(path, "width and height must be non-negative");
    return SourceBox{values[0], values[1], values[2], values[3]};
}

}  // namespace

std::string_view to_string(ReadingOrigin origin) {
    switch (origin) {
    case ReadingOrigin::source_text:
        return "source_text";
    case ReadingOrigin::inferred:
        return "inferred";
    case ReadingOrigin::unreadable:
        return "unreadable";
    case ReadingOrigin::operator_confirmed:
        return "operator_confirmed";
    }
    throw std::logic_error("Unknown ReadingOrigin value");
}

ReadingOrigin parse_reading_origin(std::string_view text) {
    for (const ReadingOrigin origin : {ReadingOrigin::source_text, ReadingOrigin::inferred, ReadingOrigin::unreadable,
                                       ReadingOrigin::operator_confirmed}) {
        if (to_string(origin) == text) return origin;
    }
    throw std::invalid_argument("Unknown VLM reading origin '" + std::string(text) + "'");
}

DimensionReading parse_reading(const SortedJson& json, std::size_t index) {
    const std::string path = "readings[" + std::to_string(index) + "]";
    check_object_fields(json, kReadingKeys, kReadingKeys, path);
    DimensionReading reading;
    reading.constraint_id = require_non_empty_string(json, "constraint_id", path);
    reading.origin = parse_reading_origin(require_non_empty_string(json, "origin", path));

    const SortedJson& confidence = json.at("confidence");
    if (!confidence.is_number()) throw_path_error(path, "confidence must be a number");
    reading.confidence = confidence.get<double>();
    if (!std::isfinite(reading.confidence) || reading.confidence < 0.0 || reading.confidence > 1.0) {
        throw_path_error(path, "confidence must be finite and in [0, 1]");
    }

    const SortedJson& value = json.at("value");
    if (!value.is_null()) {
        if (!value.is_number()) throw_path_error(path, "value must be a number or null");
        const double number = value.get<double>();
        if (!std::isfinite(number)) throw_path_error(path, "value must be finite");
        reading.value = number;
    }
    if (reading.origin == ReadingOrigin::unreadable && reading.value) {
        throw_path_error(path, "unreadable readings must have a null value");
    }
    if (reading.origin != ReadingOrigin::unreadable && !reading.value) {
        throw_path_error(path, "readable readings must have a numeric value");
    }

    reading.source_bbox = parse_reading_box(json.at("source_bbox"), path + ".source_bbox");
    return reading;
}

ReaderResponse parse_reader_response(const SortedJson& json) {
    check_object_fields(json, kRootKeys, kRootKeys, "root");
    ReaderResponse response;
    response.drawing_id = require_non_empty_string(json, "drawing_id", "root");

    const SortedJson& graph = json.at("dimension_graph");
    if (!graph.is_null()) response.dimension_graph = parse_dimension_graph(graph.dump(), "root.dimension_graph");

    const SortedJson& readings = json.at("readings");
    if (!readings.is_array()) throw_path_error("root", "readings must be an array");
    std::unordered_set<std::string> seen;
    response.readings.reserve(readings.size());
    for (std::size_t i = 0; i < readings.size(); ++i) {
        DimensionReading reading = parse_reading(readings[i], i);
        if (!seen.insert(reading.constraint_id).second) {
            throw_path_error("root", "duplicate reading constraint_id '" + reading.constraint_id + "'");
        }
        response.readings.push_back(std::move(reading));
    }

    const SortedJson& errors = json.at("errors");
    if (!errors.is_array()) throw_path_error("root", "errors must be an array");
    for (const auto& error : errors) {
        if (!error.is_string() || error.get_ref<const std::string&>().empty()) {
            throw_path_error("root", "errors must contain non-empty strings");
        }
        response.errors.push_back(error.get<std::string>());
    }
    return response;
}

ReaderResponse parse_agent_reader_v2_response(std::string_view text, const std::string& source_name) {
    try {
        const SortedJson json = parse_strict_json(text);
        check_object_fields(json, kRootKeys, kRootKeys, "root");
        if (!json.at("dimension_graph").is_null()) {
            throw_path_error("root",
                             "Zozez-Udazur v2 requires dimension_graph to be null; graph output is a format error");
        }
        ReaderResponse response = parse_reader_response(json);
        for (const auto& reading : response.readings) {
            if (reading.origin == ReadingOrigin::operator_confirmed) {
                throw_path_error("root", "Zozez-Udazur v2 cannot claim operator-confirmed provenance");
            }
        }
        return response;
    } catch (const std::exception& error) {
        throw std::runtime_error("Zozez-Udazur v2 response '" + source_name + "' is invalid: " + error.what());
    }
}

}  // namespace vesk
