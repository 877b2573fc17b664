// Field checks that the job record, the completion record and the documents around them
// share. They sit below both records, so neither includes the other for them.
#pragma once

#include <string>

#include "model/dimension_graph.hpp"
#include "model/json_util.hpp"

namespace vesk {

// The value of `key` when it is a non-empty string. std::invalid_argument
// "<context>: field '<key>' must be a string" / "... must not be empty".
inline std::string require_text_field(const SortedJson& object, const std::string& key, const std::string& context) {
    return require_non_empty_string(object, key, context);
}

}  // namespace vesk
