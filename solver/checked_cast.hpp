// The solver's one narrowing of container sizes to int. Every count that the solver hands
// out as an int goes through here, so an overflow is reported the same way everywhere.
#pragma once

#include <climits>
#include <cstddef>
#include <stdexcept>

namespace GCS {

enum class CountKind {
    constraint,           // index of an added constraint
    component,            // nodes of the component graph (unknowns plus kept constraints)
    diagnosis_parameter,  // parameters in the diagnosis Jacobian
};

inline const char* count_overflow_message(CountKind kind)
{
    switch (kind) {
    case CountKind::constraint:
        return "GCS constraint count exceeds int range";
    case CountKind::component:
        return "GCS component count exceeds int range";
    case CountKind::diagnosis_parameter:
        return "GCS diagnosis parameter count exceeds int range";
    }
    return "GCS count exceeds int range";
}

// Returns n as an int; throws std::overflow_error with the message of `kind` when n is
// above INT_MAX.
inline int checked_int(std::size_t n, CountKind kind)
{
    if (n > static_cast<std::size_t>(INT_MAX))
        throw std::overflow_error(count_overflow_message(kind));
    return static_cast<int>(n);
}

}  // namespace GCS
