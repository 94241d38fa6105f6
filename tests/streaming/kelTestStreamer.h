#pragma once
// A minimal streamer for tests: takes every block, has no RTCP stack, opens
// whenever the base opens, and counts idle ticks and format events.

#include "streaming/kelIPStreaming.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class kelTestStreamer : public kelIPStreamer
{
public:
    kelTestStreamer()
    {
        setOnFormatChangeBefore([this](kelmtlInOutPipe* sender, kelmtlInOutPipe* provider, const void* format,
                                       uint32_t len, bool&) { record('B', sender, provider, format, len); });
        setOnFormatChangeAfter([this](kelmtlInOutPipe* sender, kelmtlInOutPipe* provider, const void* format,
                                      uint32_t len) { record('A', sender, provider, format, len); });
    }

    // The events seen: 'B'efore and 'A'fter, in order. A record that was not
    // this streamer with the mapping and length 0 is marked '!'.
    std::string events() const
    {
        std::lock_guard lock(f_guard);
        return f_events;
    }
    void clearEvents()
    {
        std::lock_guard lock(f_guard);
        f_events.clear();
    }
    int idles() const noexcept { return f_idles.load(); }
    void onIdleForTest() { kelIPStreamer::onIdle(); }

    using kelIPStreamer::getFormatExchangeData;
    using kelIPStreamer::idleThread;
    using kelIPStreamer::setExmtFormat;

protected:
    uint32_t doWrite(const void*, uint32_t len, kelmtlInOutPipe*) override { return len; }
    kelRTCPstack* getRTCP() override { return nullptr; }
    bool doOpen() override
    {
        const bool ok = kelIPStreamer::doOpen();
        setActiveFlag(ok);
        return ok;
    }
    void onIdle() override
    {
        kelIPStreamer::onIdle();
        ++f_idles;
    }

private:
    void record(char kind, kelmtlInOutPipe* sender, kelmtlInOutPipe* provider, const void* format,
                uint32_t len)
    {
        const bool ok = sender == this && provider == this && format == mapping() && len == 0;
        std::lock_guard lock(f_guard);
        f_events.push_back(ok ? kind : '!');
    }

    mutable std::mutex f_guard;
    std::string f_events;
    std::atomic<int> f_idles{0};
};
