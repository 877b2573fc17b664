// The process's peak resident memory, for benchmarks that state it.
#pragma once

#include <fstream>
#include <string>

namespace vesk::test {

// VmHWM of /proc/self/status in MiB (0 when it cannot be read). A high-water mark: to read
// one case's peak, run that case alone in its process.
inline double peak_rss_mib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0.0;
}

}  // namespace vesk::test
