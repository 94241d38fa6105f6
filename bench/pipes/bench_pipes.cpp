// Cost of handing one produced block to 1, 4 and 16 direct consumers, next to
// a plain loop of virtual calls over the same consumers (the floor any
// delivery has to pay), and the hand-off latency of the data proxy: the time
// from write() on the producer's thread to doWrite() on the proxy thread,
// reported as p50 and p99 counters in microseconds.

#include "kelBenchRatios.h"
#include "pipes/kelMT_pipe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kBlockSize = 320; // 20 ms of 8 kHz 16-bit mono

class benchPipe : public kelmtlInOutPipe
{
public:
    using kelmtlInOutPipe::setEnableDataProxy;
    bool produce(void* data, uint32_t len) { return onNewData(data, len, this); }
    // The floor: what the consumers' doWrite costs without the pipe around it.
    uint32_t consume(const void* data, uint32_t len) { return doWrite(data, len, this); }
    uint64_t bytes() const noexcept { return f_bytes.load(std::memory_order_relaxed); }

    // Set by the latency benchmark: doWrite notes the hand-off time.
    std::vector<double>* latencies = nullptr;
    std::atomic<bool> arrived{false};

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe*) override
    {
        if (latencies) {
            int64_t sent = 0;
            std::memcpy(&sent, data, sizeof sent);
            const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
            latencies->push_back(static_cast<double>(now - sent) / 1000.0);
            arrived.store(true, std::memory_order_release);
        }
        f_bytes.fetch_add(len, std::memory_order_relaxed);
        return len;
    }
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool doOpen() override
    {
        (void)kelmtlInOutPipe::doOpen();
        f_open = true;
        return true;
    }
    void doClose() override
    {
        kelmtlInOutPipe::doClose();
        f_open = false;
    }
    bool isActive() override { return f_open.load(); }

private:
    std::atomic<bool> f_open{false};
    std::atomic<uint64_t> f_bytes{0};
};

struct chain
{
    explicit chain(int consumers)
    {
        producer = kelMakeOwned<benchPipe>();
        for (int i = 0; i < consumers; ++i) {
            targets.push_back(kelMakeOwned<benchPipe>());
            (void)producer->addConsumer(targets.back().get());
        }
        (void)producer->open();
    }
    kelOwned<benchPipe> producer;
    std::vector<kelOwned<benchPipe>> targets;
};

void deliverPipe(benchmark::State& state)
{
    chain c(static_cast<int>(state.range(0)));
    uint8_t block[kBlockSize] = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(c.producer->produce(block, kBlockSize));
    state.SetItemsProcessed(state.iterations());
    state.counters["consumers"] = static_cast<double>(state.range(0));
}

void deliverLoop(benchmark::State& state)
{
    chain c(static_cast<int>(state.range(0)));
    uint8_t block[kBlockSize] = {};
    for (auto _ : state) {
        for (auto& target : c.targets)
            benchmark::DoNotOptimize(target->consume(block, kBlockSize));
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["consumers"] = static_cast<double>(state.range(0));
}

void proxyHandOff(benchmark::State& state)
{
    auto producer = kelMakeOwned<benchPipe>();
    auto consumer = kelMakeOwned<benchPipe>();
    consumer->setEnableDataProxy(true);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(state.max_iterations) + 1);
    consumer->latencies = &latencies;
    (void)producer->addConsumer(consumer.get());
    (void)producer->open();
    uint8_t block[kBlockSize] = {};
    for (auto _ : state) {
        consumer->arrived.store(false, std::memory_order_relaxed);
        const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::memcpy(block, &now, sizeof now);
        (void)producer->produce(block, kBlockSize);
        // One block in flight: the figure is the wake-up, not the queue.
        while (!consumer->arrived.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    producer->close();
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        auto at = [&](double q) {
            return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))];
        };
        state.counters["p50_us"] = at(0.50);
        state.counters["p99_us"] = at(0.99);
    }
}

} // namespace

BENCHMARK(deliverPipe)->Name("deliver/pipe")->Arg(1)->Arg(4)->Arg(16);
BENCHMARK(deliverLoop)->Name("deliver/plain-loop")->Arg(1)->Arg(4)->Arg(16);
BENCHMARK(proxyHandOff)->Name("proxy/hand-off")->Iterations(kelBenchIterations(5000))->UseRealTime();

KEL_BENCH_MAIN_WITH_RATIOS("plain-loop")
