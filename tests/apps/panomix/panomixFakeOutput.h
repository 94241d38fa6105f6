#pragma once
// An output without a device for the engine and window tests: it keeps the
// format it is given, queues what is flushed and written, and completes the
// oldest queued chunk when the test says so (complete()), raising the
// feed-done handler on the test's thread with that chunk's buffer, as the
// wave output raises it with a finished buffer. Everything it was asked to
// play is kept in order (played()).

#include "apps/panomix/panomixOutput.h"

#include <cstdint>
#include <deque>
#include <vector>

class panomixFakeOutput final : public panomixOutput
{
public:
    void setFeedDoneHandler(feedDoneHandler handler) override { f_handler = std::move(handler); }
    uint32_t pcm_samplesPerSec() const override { return f_rate; }
    void set_pcm_samplesPerSec(uint32_t rate) override { f_rate = rate; }
    uint32_t pcm_numChannels() const override { return f_channels; }
    void set_pcm_numChannels(uint32_t channels) override { f_channels = channels; }
    uint32_t pcm_channelMask() const override { return f_mask; }
    void set_pcm_channelMask(uint32_t mask) override { f_mask = mask; }
    uint64_t nAvgBytesPerSec() const override { return uint64_t(f_rate) * f_channels * 2; }

    bool open() override
    {
        ++opens;
        f_active = !refuseOpen;
        return f_active;
    }
    void close() override
    {
        f_active = false;
        f_queue.clear();
    }
    bool active() const override { return f_active; }
    void flush() override
    {
        for (uintptr_t i = 0; i < overNum; ++i)
            write(std::vector<uint8_t>(chunkBytes(), 0).data(), chunkBytes());
    }
    size_t write(const uint8_t* data, size_t len) override
    {
        f_queue.emplace_back(data, data + len);
        f_played.insert(f_played.end(), data, data + len);
        return len;
    }

    // 20 ms of the format.
    size_t chunkBytes() const { return size_t(f_rate / 50) * f_channels * 2; }
    // Completes the oldest queued chunk; false when none is queued.
    bool complete()
    {
        if (f_queue.empty()) return false;
        std::vector<uint8_t> buffer = std::move(f_queue.front());
        f_queue.pop_front();
        if (f_handler) f_handler(buffer.data(), buffer.size());
        return true;
    }
    // Raises the handler with a buffer of `len` bytes, as a completion that
    // arrives after close would.
    std::vector<uint8_t> completeLate(size_t len)
    {
        std::vector<uint8_t> buffer(len, 0x55);
        if (f_handler) f_handler(buffer.data(), buffer.size());
        return buffer;
    }
    size_t queued() const { return f_queue.size(); }
    const std::vector<uint8_t>& played() const { return f_played; }
    void clearPlayed() { f_played.clear(); }

    bool refuseOpen = false;
    int opens = 0;
    uintptr_t overNum = 6;

private:
    feedDoneHandler f_handler;
    uint32_t f_rate = 44100;
    uint32_t f_channels = 2;
    uint32_t f_mask = 3;
    bool f_active = false;
    std::deque<std::vector<uint8_t>> f_queue;
    std::vector<uint8_t> f_played;
};
