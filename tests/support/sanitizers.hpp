// Sanitizer builds run several times slower and keep freed memory in quarantine: tests
// make all their checks there too, but bounds on time and memory only in plain builds.
#pragma once

namespace vesk::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace vesk::test
