// The memory stream as a FIFO of 20 ms audio blocks (3840 bytes: 16-bit
// stereo at 48 kHz) against two references doing the same job:
//  - deque-mutex: a std::deque of std::vector blocks behind a std::mutex,
//    the reader sleeping on a condition variable (the reference);
//  - ring: a single-producer single-consumer byte ring buffer on atomics,
//    the reader yielding while it is empty.
// "pingpong" writes and reads one block at a time on one thread (the cost
// of one pass); "threads" moves blocks from a writer thread to the reader,
// with the writer at most 16 blocks ahead.

#include "core/kelMemoryStream.h"
#include "kelBenchRatios.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBlock = 3840;
constexpr size_t kAhead = 16;
constexpr int kBlocksPerRun = 2000;

class DequeFifo
{
public:
    bool write(const uint8_t* data, size_t size)
    {
        {
            std::lock_guard lock(f_mutex);
            if (f_blocks.size() >= kAhead) return false;
            f_blocks.emplace_back(data, data + size);
        }
        f_cond.notify_one();
        return true;
    }
    size_t read(uint8_t* out, size_t size)
    {
        std::unique_lock lock(f_mutex);
        f_cond.wait(lock, [&] { return !f_blocks.empty(); });
        size_t got = 0;
        while (got < size && !f_blocks.empty()) {
            std::vector<uint8_t>& front = f_blocks.front();
            const size_t n = std::min(size - got, front.size() - f_offset);
            std::memcpy(out + got, front.data() + f_offset, n);
            got += n;
            f_offset += n;
            if (f_offset == front.size()) {
                f_blocks.pop_front();
                f_offset = 0;
            }
        }
        return got;
    }

private:
    std::mutex f_mutex;
    std::condition_variable f_cond;
    std::deque<std::vector<uint8_t>> f_blocks;
    size_t f_offset = 0;
};

class RingFifo
{
public:
    RingFifo() : f_buf(kAhead * kBlock) {}
    bool write(const uint8_t* data, size_t size)
    {
        const size_t head = f_head.load(std::memory_order_relaxed);
        const size_t tail = f_tail.load(std::memory_order_acquire);
        if (f_buf.size() - (head - tail) < size) return false;
        for (size_t done = 0; done < size;) {
            const size_t at = (head + done) % f_buf.size();
            const size_t n = std::min(size - done, f_buf.size() - at);
            std::memcpy(f_buf.data() + at, data + done, n);
            done += n;
        }
        f_head.store(head + size, std::memory_order_release);
        return true;
    }
    size_t read(uint8_t* out, size_t size)
    {
        size_t head;
        const size_t tail = f_tail.load(std::memory_order_relaxed);
        while ((head = f_head.load(std::memory_order_acquire)) == tail)
            std::this_thread::yield();
        const size_t take = std::min(size, head - tail);
        for (size_t done = 0; done < take;) {
            const size_t at = (tail + done) % f_buf.size();
            const size_t n = std::min(take - done, f_buf.size() - at);
            std::memcpy(out + done, f_buf.data() + at, n);
            done += n;
        }
        f_tail.store(tail + take, std::memory_order_release);
        return take;
    }

private:
    std::vector<uint8_t> f_buf;
    alignas(64) std::atomic<size_t> f_head{0};
    alignas(64) std::atomic<size_t> f_tail{0};
};

class StreamFifo
{
public:
    StreamFifo() { f_stream.setMaxSize(intptr_t(kAhead * kBlock + 1)); }
    bool write(const uint8_t* data, size_t size) { return f_stream.write(data, intptr_t(size)) > 0; }
    size_t read(uint8_t* out, size_t size)
    {
        for (;;) {
            const intptr_t got = f_stream.read(out, intptr_t(size), true);
            if (got > 0) return size_t(got);
            (void)f_stream.waitForData(1000);
        }
    }

private:
    kelMemoryStream f_stream;
};

template <class Fifo> void pingPong(benchmark::State& state)
{
    Fifo fifo;
    std::vector<uint8_t> in(kBlock, 0x55);
    std::vector<uint8_t> out(kBlock);
    for (auto _ : state) {
        for (int i = 0; i < kBlocksPerRun; ++i) {
            fifo.write(in.data(), kBlock);
            size_t got = 0;
            while (got < kBlock)
                got += fifo.read(out.data() + got, kBlock - got);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * kBlocksPerRun * int64_t(kBlock));
}

template <class Fifo> void threads(benchmark::State& state)
{
    std::vector<uint8_t> out(kBlock);
    for (auto _ : state) {
        Fifo fifo;
        std::thread writer([&] {
            std::vector<uint8_t> in(kBlock, 0x55);
            for (int i = 0; i < kBlocksPerRun; ++i)
                while (!fifo.write(in.data(), kBlock))
                    std::this_thread::yield();
        });
        for (size_t left = kBlocksPerRun * kBlock; left > 0;)
            left -= fifo.read(out.data(), std::min(left, kBlock));
        writer.join();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * kBlocksPerRun * int64_t(kBlock));
}

} // namespace

BENCHMARK(pingPong<StreamFifo>)->Name("pingpong/kelMemoryStream")->Unit(benchmark::kMicrosecond);
BENCHMARK(pingPong<DequeFifo>)->Name("pingpong/deque-mutex")->Unit(benchmark::kMicrosecond);
BENCHMARK(pingPong<RingFifo>)->Name("pingpong/ring")->Unit(benchmark::kMicrosecond);
BENCHMARK(threads<StreamFifo>)->Name("threads/kelMemoryStream")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(threads<DequeFifo>)->Name("threads/deque-mutex")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(threads<RingFifo>)->Name("threads/ring")->Unit(benchmark::kMicrosecond)->UseRealTime();

KEL_BENCH_MAIN_WITH_RATIOS("deque-mutex")
