// Benchmark programs that run OCCT: its messages go to stderr so that they never mix with the
// benchmark's own table on stdout.
#pragma once

#include <benchmark/benchmark.h>

#include "model/occt_support.hpp"

#define VESK_OCCT_BENCHMARK_MAIN()                      \
    int main(int argc, char** argv) {                   \
        vesk::route_occt_messages_to_stderr();          \
        benchmark::Initialize(&argc, argv);             \
        benchmark::RunSpecifiedBenchmarks();            \
        benchmark::Shutdown();                          \
        return 0;                                       \
    }
