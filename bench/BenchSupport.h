#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

// What the benchmark programs share: a socket path in a folder of its own, and the spread of
// times measured one by one, as counters in microseconds.

inline std::string TempSocketPath(const char* prefix = "kestrune-bench") {
    std::string name = std::string("/tmp/") + prefix + "-XXXXXX";
    return std::string(mkdtemp(name.data())) + "/hook.sock";
}

inline void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
}
