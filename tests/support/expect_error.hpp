// The one way tests read an expected failure: what a call throws.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace vesk::test {

// What error_message returns when the call throws nothing.
inline const std::string kNoError = "<no error>";

// what() of the E that fn throws; "<other: what>" for another std::exception, so a wrong
// kind of error never passes for the right one; kNoError when fn returns.
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
    return kNoError;
}

// The error a call throws: the standard family it belongs to ("invalid_argument",
// "logic_error", "runtime_error", else "exception"; "none" when it returns) and its message,
// for tables that expect different families.
struct Thrown {
    std::string type;
    std::string message;
};

template <typename Fn>
Thrown thrown(Fn&& fn) {
    try {
        fn();
    } catch (const std::invalid_argument& e) {
        return {"invalid_argument", e.what()};
    } catch (const std::logic_error& e) {
        return {"logic_error", e.what()};
    } catch (const std::runtime_error& e) {
        return {"runtime_error", e.what()};
    } catch (const std::exception& e) {
        return {"exception", e.what()};
    }
    return {"none", ""};
}

}  // namespace vesk::test
