// Contended hand-off of kelObject's lock against std::shared_mutex: four
// threads, two writing and two reading, each taking the lock, holding it for
// a moment, letting go and working as long again before the next turn. The
// threads start together, so they contend from the first turn. A turn waits
// when a single attempt fails; only those turns are counted: the hand-off
// (from the latest release before the thread got in to the moment it got in)
// and the whole wait (from the failed attempt to getting in). Turns that got
// in at once would otherwise fill the low percentiles with zeros, and their
// share varies with how the scheduler happened to spread the threads.

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
    bool tryLock(bool ro) { return object.acquire(ro, -1); }
    bool lock(bool ro) { return object.acquire(ro, 10000); }
    void unlock(bool) { object.releaseRO(); }
};

struct SharedLock
{
    std::shared_mutex mutex;
    bool tryLock(bool ro) { return ro ? mutex.try_lock_shared() : mutex.try_lock(); }
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

// About a microsecond: long enough that the others queue up while the lock
// is held.
void work()
{
    const int64_t until = nowNs() + 1000;
    while (nowNs() < until) {
    }
}

template <class Lock> void handOff(benchmark::State& state)
{
    std::vector<double> handOffs, waits;
    for (auto _ : state) {
        Lock lock;
        std::atomic<int64_t> lastRelease{0};
        std::atomic<int> started{0};
        std::vector<std::vector<double>> perThread(kThreads), waitsPerThread(kThreads);
        std::vector<std::thread> threads;
        const auto start = std::chrono::steady_clock::now();
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const bool ro = t % 2 == 1;
                auto& mine = perThread[static_cast<size_t>(t)];
                auto& myWaits = waitsPerThread[static_cast<size_t>(t)];
                mine.reserve(kOpsPerThread);
                myWaits.reserve(kOpsPerThread);
                started.fetch_add(1);
                while (started.load() < kThreads)
                    std::this_thread::yield();
                for (int i = 0; i < kOpsPerThread; ++i) {
                    const int64_t asked = nowNs();
                    if (!lock.tryLock(ro)) {
                        if (!lock.lock(ro)) continue;
                        const int64_t got = nowNs();
                        const int64_t released = lastRelease.load();
                        if (released > asked) mine.push_back(double(got - released) / 1000.0);
                        myWaits.push_back(double(got - asked) / 1000.0);
                    }
                    work();
                    lastRelease.store(nowNs());
                    lock.unlock(ro);
                    work();
                }
            });
        }
        for (auto& th : threads)
            th.join();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        for (int t = 0; t < kThreads; ++t) {
            handOffs.insert(handOffs.end(), perThread[size_t(t)].begin(), perThread[size_t(t)].end());
            waits.insert(waits.end(), waitsPerThread[size_t(t)].begin(), waitsPerThread[size_t(t)].end());
        }
    }
    const kelPercentiles p = kelSamplePercentiles(handOffs);
    const kelPercentiles w = kelSamplePercentiles(waits);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    state.counters["wait_p50_us"] = w.p50;
    state.counters["wait_p99_us"] = w.p99;
    state.counters["handoffs"] = double(handOffs.size());
}

} // namespace

BENCHMARK(handOff<KelLock>)->Name("handoff/kelObject")->UseManualTime()->Iterations(kelBenchIterations(20));
BENCHMARK(handOff<SharedLock>)
    ->Name("handoff/std::shared_mutex")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(20));

KEL_BENCH_MAIN_WITH_RATIOS("std::shared_mutex", "p50_us", "p99_us", "wait_p50_us", "wait_p99_us")
