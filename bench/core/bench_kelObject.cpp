// Acquire/release cost of kelObject's lock against the standard mutexes,
// uncontended and with two threads contending.

#include "core/kelObject.h"
#include "kelBenchRatios.h"

#include <mutex>
#include <shared_mutex>

namespace {

kelObject g_object;
std::shared_mutex g_shared;
std::recursive_mutex g_recursive;

void writeKel(benchmark::State& state)
{
    for (auto _ : state) {
        if (g_object.acquire(false, 1000)) g_object.releaseWO();
    }
}

void readKel(benchmark::State& state)
{
    for (auto _ : state) {
        if (g_object.acquire(true, 1000)) g_object.releaseRO();
    }
}

void writeShared(benchmark::State& state)
{
    for (auto _ : state) {
        g_shared.lock();
        g_shared.unlock();
    }
}

void readShared(benchmark::State& state)
{
    for (auto _ : state) {
        g_shared.lock_shared();
        g_shared.unlock_shared();
    }
}

void recursive(benchmark::State& state)
{
    for (auto _ : state) {
        g_recursive.lock();
        g_recursive.unlock();
    }
}

} // namespace

BENCHMARK(writeKel)->Name("write/kelObject");
BENCHMARK(writeShared)->Name("write/std::shared_mutex");
BENCHMARK(recursive)->Name("write/std::recursive_mutex");
BENCHMARK(readKel)->Name("read/kelObject");
BENCHMARK(readShared)->Name("read/std::shared_mutex");

BENCHMARK(writeKel)->Name("write2/kelObject")->Threads(2)->UseRealTime();
BENCHMARK(writeShared)->Name("write2/std::shared_mutex")->Threads(2)->UseRealTime();
BENCHMARK(recursive)->Name("write2/std::recursive_mutex")->Threads(2)->UseRealTime();
BENCHMARK(readKel)->Name("read2/kelObject")->Threads(2)->UseRealTime();
BENCHMARK(readShared)->Name("read2/std::shared_mutex")->Threads(2)->UseRealTime();

KEL_BENCH_MAIN_WITH_RATIOS("std::shared_mutex")
