// The sketch analysis's numbering of solver tags, which the tests hold to its limit.
#pragma once

#include <cstddef>

namespace vesk {

// Solver tag of the constraint at this graph position (tags start at 1; 0 marks anchors).
// Throws std::overflow_error once the tag would reach the largest int.
int sketch_constraint_tag(std::size_t constraint_index);

}  // namespace vesk
