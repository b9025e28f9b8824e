// Timing helpers shared by the benchmark programs.
#ifndef KYR_BENCH_UTIL_H
#define KYR_BENCH_UTIL_H

#include <algorithm>
#include <chrono>
#include <vector>

namespace kyrbench {

// Milliseconds on the steady clock.
inline double now_ms()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The median of the samples (0 for none).
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace kyrbench

#endif  // KYR_BENCH_UTIL_H
