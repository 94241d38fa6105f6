// Thread start and stop latency: start() until the body runs, and stop() of a
// body asleep in sleepThread until its thread has ended, against a plain
// std::thread with a condition variable doing the same hand-shakes. Also the
// lateness of periodic timer ticks against their absolute deadlines.

#include "core/kelCreate.h"
#include "core/kelPeriodicTimer.h"
#include "core/kelThread.h"
#include "kelBenchRatios.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <time.h>

namespace {

class SleepingThread : public kelThread
{
protected:
    intptr_t execute(uintptr_t) override
    {
        while (!shouldStop())
            sleepThread(60000);
        return 0;
    }
};

// The same worker on a bare std::thread: a flag and a condition variable.
class PlainWorker
{
public:
    void start()
    {
        f_stop = false;
        f_running = false;
        f_thread = std::thread([this] {
            std::unique_lock lock(f_mutex);
            f_running = true;
            f_cond.notify_all();
            f_cond.wait(lock, [this] { return f_stop; });
        });
        std::unique_lock lock(f_mutex);
        f_cond.wait(lock, [this] { return f_running; });
    }
    void stop()
    {
        {
            std::lock_guard lock(f_mutex);
            f_stop = true;
        }
        f_cond.notify_all();
        f_thread.join();
    }

private:
    std::mutex f_mutex;
    std::condition_variable f_cond;
    bool f_running = false;
    bool f_stop = false;
    std::thread f_thread;
};

void startKel(benchmark::State& state)
{
    kelOwned<SleepingThread> t(kelCreate<SleepingThread>());
    for (auto _ : state) {
        if (!t->start(10000)) state.SkipWithError("start failed");
        state.PauseTiming();
        t->stop(10000, false);
        state.ResumeTiming();
    }
}

void stopKel(benchmark::State& state)
{
    kelOwned<SleepingThread> t(kelCreate<SleepingThread>());
    for (auto _ : state) {
        state.PauseTiming();
        if (!t->start(10000)) state.SkipWithError("start failed");
        state.ResumeTiming();
        t->stop(10000, false);
    }
}

void startPlain(benchmark::State& state)
{
    PlainWorker w;
    for (auto _ : state) {
        w.start();
        state.PauseTiming();
        w.stop();
        state.ResumeTiming();
    }
}

void stopPlain(benchmark::State& state)
{
    PlainWorker w;
    for (auto _ : state) {
        state.PauseTiming();
        w.start();
        state.ResumeTiming();
        w.stop();
    }
}

int64_t nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Ticks of a 2 ms timer: the counters give the mean and worst distance of a
// tick from the grid start + n * interval.
void timerLateness(benchmark::State& state)
{
    constexpr int kTicks = 200;
    for (auto _ : state) {
        kelOwned<kelPeriodicTimer> t(kelCreate<kelPeriodicTimer>(2));
        std::atomic<int> n{0};
        std::atomic<int64_t> worst{0}, total{0};
        std::mutex m;
        std::condition_variable done;
        const int64_t started = nowNs();
        t->setOnTimer([&](kelAbstractTimer*) {
            const int k = ++n;
            if (k > kTicks) return;
            const int64_t late = nowNs() - started - int64_t{k} * 2000000;
            total += late;
            int64_t w = worst.load();
            while (late > w && !worst.compare_exchange_weak(w, late)) {
            }
            if (k == kTicks) {
                std::lock_guard lock(m);
                done.notify_all();
            }
        });
        t->start();
        {
            std::unique_lock lock(m);
            done.wait_for(lock, std::chrono::seconds(10), [&] { return n.load() >= kTicks; });
        }
        t->stop();
        state.counters["mean_late_us"] = static_cast<double>(total.load()) / kTicks / 1000.0;
        state.counters["worst_late_us"] = static_cast<double>(worst.load()) / 1000.0;
    }
}

} // namespace

BENCHMARK(startKel)->Name("start_to_running/kelThread")->UseRealTime();
BENCHMARK(startPlain)->Name("start_to_running/std::thread")->UseRealTime();
BENCHMARK(stopKel)->Name("stop_to_exit/kelThread")->UseRealTime();
BENCHMARK(stopPlain)->Name("stop_to_exit/std::thread")->UseRealTime();
BENCHMARK(timerLateness)
    ->Name("timer_2ms_x200/kelPeriodicTimer")
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("std::thread")
