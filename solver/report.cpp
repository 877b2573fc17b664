#include "solver/report.hpp"

#include <cstdio>
#include <iostream>

#include "solver/constraints.hpp"

namespace GCS {

SolverReport& SolverReport::instance()
{
    static SolverReport report;
    return report;
}

void SolverReport::print(const std::string& text)
{
    std::fprintf(stderr, "%s", text.c_str());
}

void SolverReport::log_constraint_groups(const std::string& label,
                                         const std::vector<std::vector<Constraint*>>& groups)
{
    std::string line = label + ":";
    for (const auto& group : groups) {
        line += "[";
        for (const Constraint* c : group)
            line += std::to_string(c->tag()) + " ";
        line += "]";
    }
    line += "\n";
    std::clog << line;
}

void SolverReport::log_constraint_set(const std::string& label, const std::vector<Constraint*>& constraints)
{
    std::string line = label + ": [";
    for (const Constraint* c : constraints)
        line += std::to_string(c->tag()) + " ";
    line += "]\n";
    std::clog << line;
}

void SolverReport::log_qr_system(const std::string& line)
{
    std::clog << (line + "\n");
}

}  // namespace GCS
