#pragma once
// Clocks the benchmarks read: monotonic wall time and the process's CPU
// time, both in nanoseconds.

#include <cstdint>
#include <ctime>

inline uint64_t kelBenchNowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

inline uint64_t kelBenchProcessCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}
