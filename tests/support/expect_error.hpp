// The one way tests read an expected failure: the message of the exception a call throws.
#pragma once

#include <exception>
#include <string>
#include <type_traits>

namespace vesk::test {

// what() of the E that fn throws; "<other: what>" for another std::exception, so a wrong
// kind of error never passes for the right one; "<no error>" when fn returns.
template <typename E = std::exception, typename Fn>
std::string error_message(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        if constexpr (!std::is_same_v<E, std::exception>) {
            if (dynamic_cast<const E*>(&e) == nullptr) return std::string("<other: ") + e.what() + ">";
        }
        return e.what();
    }
    return "<no error>";
}

}  // namespace vesk::test
