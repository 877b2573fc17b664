// Sanitizer builds run several times slower and keep freed memory in quarantine: tests
// make all their checks there too, but bounds on time and memory only in plain builds.
#pragma once

#include <sys/resource.h>

#include <ctime>

namespace vesk::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitized = true;
#else
inline constexpr bool kThreadSanitized = false;
#endif

// Processor seconds of the whole process (every thread): a bound on these holds on a
// machine loaded by other work, where wall time would not.
inline double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Processor seconds of the process and of every child it has waited for.
inline double process_and_children_cpu_seconds() {
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    return process_cpu_seconds() + static_cast<double>(children.ru_utime.tv_sec + children.ru_stime.tv_sec) +
           static_cast<double>(children.ru_utime.tv_usec + children.ru_stime.tv_usec) * 1e-6;
}

}  // namespace vesk::test
