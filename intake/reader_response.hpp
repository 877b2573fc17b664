// The reader response: what an outside drawing reader reports about one drawing, and the
// strict parser for its JSON text form ("Zozez-Udazur v2").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/dimension_graph.hpp"

namespace vesk {

// Numbering is fixed: documents and stored records carry these values.
enum class ReadingOrigin : std::uint32_t {
    source_text = 0,
    inferred = 1,
    unreadable = 2,
    operator_confirmed = 3,
};

// "source_text", "inferred", "unreadable", "operator_confirmed"; any other value is a
// std::logic_error "Unknown ReadingOrigin value".
std::string_view to_string(ReadingOrigin origin);

struct DimensionReading {
    std::string constraint_id;
    // Present and finite for every origin but unreadable; absent for unreadable.
    std::optional<double> value;
    double confidence = 0.0;
    ReadingOrigin origin = ReadingOrigin::source_text;
    // Pixels of the image the reader looked at.
    SourceBox source_bbox;
};

struct ReaderResponse {
    std::string drawing_id;
    // Always empty for a response read through parse_agent_reader_v2_response.
    std::optional<DimensionGraph> dimension_graph;
    std::vector<DimensionReading> readings;
    std::vector<std::string> errors;
};

// Parses one reader output: strict JSON, the structural rules, no graph and no
// operator-confirmed reading. Every failure becomes a std::runtime_error
// "Zozez-Udazur v2 response '<source_name>' is invalid: <reason>".
ReaderResponse parse_agent_reader_v2_response(std::string_view text, const std::string& source_name);

// Structural parser of an already parsed document (path errors at "root", "readings[i]").
ReaderResponse parse_reader_response(const SortedJson& json);
DimensionReading parse_reading(const SortedJson& json, std::size_t index);

}  // namespace vesk
