#pragma once
// One back end of the wave buffer queue (kelWaveQueue): the virtual device
// or an ALSA PCM. The queue calls it under its own lock and never from a
// completion callback, so a back end needs no locking of its own. Frame
// counts restart at 0 with drop().

#include "platform/kelWaveApi.h"

#include <cstddef>
#include <cstdint>

class kelWaveBackend
{
public:
    virtual ~kelWaveBackend() = default;

    // Takes up to `size` bytes (whole frames) for playing, without
    // blocking; answers how many it took.
    virtual size_t play(const char* data, size_t size) noexcept
    {
        (void)data;
        (void)size;
        return 0;
    }
    // Fills up to `size` bytes (whole frames) with what was recorded,
    // without blocking; answers how many.
    virtual size_t record(char* data, size_t size) noexcept
    {
        (void)data;
        (void)size;
        return 0;
    }
    // Frames played (recorded) since open or the last drop.
    virtual uint64_t framesDone() noexcept = 0;
    // Playback has nothing more to take for now (an underrun when running).
    virtual void starved() noexcept {}
    // Stops taking (or giving) frames and keeps what was taken.
    virtual void halt() noexcept {}
    // Takes (or gives) frames again after halt().
    virtual void resume() noexcept {}
    // Discards what was taken and not played; counts restart at 0.
    virtual void drop() noexcept = 0;
    // Time the queue may sleep before it looks again, given the frames
    // still wanted to finish the buffer at the head.
    virtual uint64_t waitUs(uint64_t framesWanted) const noexcept = 0;
    // The time finished buffers are stamped with.
    virtual uint64_t nowUs() const noexcept = 0;
    // Extra time a finished buffer waits before it is returned.
    virtual uint64_t returnDelayUs() const noexcept { return 0; }
    // Notes a call on the device (the virtual device keeps a log).
    virtual void noteCall(const char* name) noexcept { (void)name; }
    // Last work before the device goes away (finish a file).
    virtual void close() noexcept {}
};
