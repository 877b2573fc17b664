// The model library's boundary with OCCT: its exceptions become standard ones, and its
// message output goes to standard error instead of standard output.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include <Standard_Failure.hxx>

namespace vesk {

// Throws std::runtime_error("<OCCT exception type>: <its message>"), or the type alone
// when the message is empty.
[[noreturn]] void throw_occt_failure(const Standard_Failure& failure);

// Runs fn and translates any Standard_Failure it raises into std::runtime_error; OCCT
// exceptions are not std::exception, so callers would otherwise see them escape every
// handler they have. Standard exceptions pass through unchanged. Entry points of the
// model library wrap their whole body in this.
template <typename Fn>
decltype(auto) call_occt(Fn&& fn) {
    try {
        return std::forward<Fn>(fn)();
    } catch (const Standard_Failure& failure) {
        throw_occt_failure(failure);
    }
}

// Replaces the stdout printers of OCCT's default messenger with one that writes to
// standard error; standard output belongs to the programs' own lines. Call once at
// program start, before any other OCCT use; calling it again changes nothing.
void route_occt_messages_to_stderr();

}  // namespace vesk
