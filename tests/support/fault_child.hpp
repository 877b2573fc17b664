// Crash tests through the file layer's fault points: a test runs its own program again as a
// child with VESK_FAULT_AT armed, the child performs one named action and dies (exit 86)
// at the point, and the parent inspects what was left on disk.
//
// A test program registers its actions once at namespace scope:
//   VESK_FAULT_CHILD_ACTIONS(my_actions)
// where my_actions(const std::string& action, const std::string& argument) performs the
// action. The child runs it before any test, then ends with exit 0, or exit 3 after
// printing an exception's message to standard error.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/run_process.hpp"

namespace vesk::test {

inline constexpr int kChildThrew = 3;

class FaultChildEnvironment : public ::testing::Environment {
public:
    using Action = std::function<void(const std::string&, const std::string&)>;
    explicit FaultChildEnvironment(Action action) : action_(std::move(action)) {}
    void SetUp() override {
        const char* action = std::getenv("VESK_CHILD_ACTION");
        if (action == nullptr) return;
        const char* argument = std::getenv("VESK_CHILD_ARGUMENT");
        int code = 0;
        try {
            action_(action, argument ? argument : "");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            code = kChildThrew;
        }
        std::fflush(nullptr);
        _exit(code);
    }

private:
    Action action_;
};

#define VESK_FAULT_CHILD_ACTIONS(function)                                                              \
    static ::testing::Environment* const vesk_fault_child_environment =                                  \
        ::testing::AddGlobalTestEnvironment(new ::vesk::test::FaultChildEnvironment(function))

// Runs `action` with `argument` in a child of this program with VESK_FAULT_AT=fault (empty:
// unarmed). The child is filtered to the calling test, so that its environments run.
inline ProcessOutput run_fault_child(const std::string& action, const std::string& argument,
                                     const std::string& fault) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    ::setenv("VESK_CHILD_ACTION", action.c_str(), 1);
    ::setenv("VESK_CHILD_ARGUMENT", argument.c_str(), 1);
    if (fault.empty()) {
        ::unsetenv("VESK_FAULT_AT");
    } else {
        ::setenv("VESK_FAULT_AT", fault.c_str(), 1);
    }
    ProcessOutput output = run_process("/proc/self/exe", {filter});
    ::unsetenv("VESK_CHILD_ACTION");
    ::unsetenv("VESK_CHILD_ARGUMENT");
    ::unsetenv("VESK_FAULT_AT");
    return output;
}

}  // namespace vesk::test
