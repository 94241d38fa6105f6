// Contended hand-off of kelObject's lock against std::shared_mutex: four
// threads, two writing and two reading, each taking the lock, holding it for
// a moment and letting go. The latency counted is the hand-off: from the
// release that let a waiting thread in to the moment it got in.

#include "core/kelObject.h"
#include "kelBenchRatios.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kOpsPerThread = 2000;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct KelLock
{
    kelObject object;
    bool lock(bool ro) { return object.acquire(ro, 10000); }
    void unlock(bool) { object.releaseRO(); }
};

struct SharedLock
{
    std::shared_mutex mutex;
    bool lock(bool ro)
    {
        if (ro)
            mutex.lock_shared();
        else
            mutex.lock();
        return true;
    }
    void unlock(bool ro)
    {
        if (ro)
            mutex.unlock_shared();
        else
            mutex.unlock();
    }
};

// Holds for about a microsecond, long enough that the others queue up.
void work()
{
    const int64_t until = nowNs() + 1000;
    while (nowNs() < until) {
    }
}

template <class Lock> void handOff(benchmark::State& state)
{
    std::vector<double> latencies;
    for (auto _ : state) {
        Lock lock;
        std::atomic<int64_t> lastRelease{0};
        std::vector<std::vector<double>> perThread(kThreads);
        std::vector<std::thread> threads;
        const auto start = std::chrono::steady_clock::now();
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const bool ro = t % 2 == 1;
                auto& mine = perThread[static_cast<size_t>(t)];
                mine.reserve(kOpsPerThread);
                for (int i = 0; i < kOpsPerThread; ++i) {
                    const int64_t asked = nowNs();
                    if (!lock.lock(ro)) continue;
                    const int64_t got = nowNs();
                    // Waited: a release happened after we asked.
                    const int64_t released = lastRelease.load();
                    if (released > asked) mine.push_back(double(got - released) / 1000.0);
                    work();
                    lastRelease.store(nowNs());
                    lock.unlock(ro);
                }
            });
        }
        for (auto& th : threads)
            th.join();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        for (const auto& mine : perThread)
            latencies.insert(latencies.end(), mine.begin(), mine.end());
    }
    const kelPercentiles p = kelSamplePercentiles(latencies);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    state.counters["handoffs"] = double(latencies.size());
}

} // namespace

BENCHMARK(handOff<KelLock>)->Name("handoff/kelObject")->UseManualTime()->Iterations(kelBenchIterations(20));
BENCHMARK(handOff<SharedLock>)
    ->Name("handoff/std::shared_mutex")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(20));

KEL_BENCH_MAIN_WITH_RATIOS("std::shared_mutex", "p50_us", "p99_us")
