#pragma once
// Feeds a transmitter 16-bit mono PCM in real time, 20 ms at a time, from a
// pseudo-random sequence it keeps whole, so that a test can tell whether
// what a peer wrote out is one contiguous run of the input (a run of eight
// samples or more of this sequence occurs once). The feeding thread is the
// pipe provider's; it paces itself by absolute deadlines, as a sound card
// would. Started and stopped from the test's own thread.

#include "pipes/kelmtlInOutPipe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class kelTestL16Feeder
{
public:
    explicit kelTestL16Feeder(kelmtlInOutPipe& sink, uint32_t rate = 8000) : f_sink(sink), f_rate(rate) {}
    ~kelTestL16Feeder() { stop(); }
    kelTestL16Feeder(const kelTestL16Feeder&) = delete;
    kelTestL16Feeder& operator=(const kelTestL16Feeder&) = delete;

    void start()
    {
        f_run.store(true);
        f_thread = std::thread([this] { run(); });
    }
    void stop()
    {
        f_run.store(false);
        if (f_thread.joinable()) f_thread.join();
    }

    // Samples written so far.
    size_t written()
    {
        std::lock_guard lock(f_guard);
        return f_input.size();
    }

    // Whether `bigEndian` (16-bit samples, network order, as a peer writes
    // them out) is one contiguous run of the input; `at` gets where it
    // starts. A run shorter than eight samples proves nothing and is false.
    bool contiguous(const std::string& bigEndian, size_t& at)
    {
        std::vector<int16_t> out(bigEndian.size() / 2);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<int16_t>((uint8_t(bigEndian[2 * i]) << 8) | uint8_t(bigEndian[2 * i + 1]));
        if (out.size() < 8) return false;
        std::lock_guard lock(f_guard);
        const auto found = std::search(f_input.begin(), f_input.end(), out.begin(), out.end());
        if (found == f_input.end()) return false;
        at = static_cast<size_t>(found - f_input.begin());
        return true;
    }

private:
    void run()
    {
        const size_t perChunk = f_rate / 50;
        std::vector<int16_t> chunk(perChunk);
        auto deadline = std::chrono::steady_clock::now();
        while (f_run.load()) {
            for (int16_t& s : chunk) {
                f_state = f_state * 1664525u + 1013904223u;
                s = static_cast<int16_t>(f_state >> 16);
            }
            {
                std::lock_guard lock(f_guard);
                f_input.insert(f_input.end(), chunk.begin(), chunk.end());
            }
            (void)f_sink.write(chunk.data(), static_cast<uint32_t>(chunk.size() * 2));
            deadline += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(deadline);
        }
    }

    kelmtlInOutPipe& f_sink;
    const uint32_t f_rate;
    uint32_t f_state = 12345;
    std::atomic<bool> f_run{false};
    std::thread f_thread;
    std::mutex f_guard;
    std::vector<int16_t> f_input;
};
