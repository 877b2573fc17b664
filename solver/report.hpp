// The solver's diagnostic print-out. Every line is built first and written with one call,
// so lines of several analyses running at once stay whole.
#pragma once

#include <string>
#include <vector>

namespace GCS {

class Constraint;

class SolverReport {
public:
    // The process-wide report channel.
    static SolverReport& instance();

    // Writes text to standard error as is (never as a format).
    void print(const std::string& text);
    // To the standard log stream: label, ":", then each group as "[", each tag and " ", "]";
    // then a line end.
    void log_constraint_groups(const std::string& label,
                               const std::vector<std::vector<Constraint*>>& groups);
    // To the standard log stream: label, ": [", each tag and " ", "]"; then a line end.
    void log_constraint_set(const std::string& label, const std::vector<Constraint*>& constraints);
    // To the standard log stream: the line and a line end.
    void log_qr_system(const std::string& line);

private:
    SolverReport() = default;
};

}  // namespace GCS
