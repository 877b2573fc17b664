// A process's peak resident memory, for benchmarks that state it and tests that bound it.
#pragma once

#include <fstream>
#include <string>

namespace vesk::test {

// VmHWM of /proc/<process>/status in MiB (0 when it cannot be read). A high-water mark: to
// read one case's peak, run that case alone in its process.
inline double peak_rss_mib(const std::string& process = "self") {
    std::ifstream in("/proc/" + process + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0.0;
}

}  // namespace vesk::test
