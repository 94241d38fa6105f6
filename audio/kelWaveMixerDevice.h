#pragma once
// kelWaveMultiStreamDevice: a software device with any number of input
// streams, which it owns; kelWaveMixerDevice adds one chunk of every
// stream into one output chunk per cycle.
//
// Pace: in real time the device's timer (on the device's clock) grants one
// cycle per chunk time; otherwise a cycle follows the last at once while a
// stream holds data, and with nothing to mix the device waits for a write
// or a stop, at most one chunk time, before it puts out a chunk of silence.
//
// Threads: addStream and removeStream come from the owner's thread and take
// the device lock; the device thread mixes under the same lock, so a
// stream is never freed while it is read. Writers fill the streams from any
// thread (each stream has its own lock). Mixed chunks are delivered with
// the lock released.

#include "audio/kelWaveSoftwareDevice.h"
#include "core/kelCreate.h"
#include "core/kelEvent.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class kelAbstractStream;

class kelWaveMultiStreamDevice : public kelWaveSoftwareDevice
{
public:
    // A producing software device (output stream only).
    kelWaveMultiStreamDevice(bool realTime, bool autoAddSilence, uintptr_t overNum);
    ~kelWaveMultiStreamDevice() override;

    // Adds `stream`, which the device then owns; a null `stream` adds a new
    // memory stream (lock timeout 100 ms) that holds at most overNumIn()
    // chunks. The stream added; null when the device lock could not be had
    // within 1000 ms (a given stream then stays the caller's).
    kelAbstractStream* addStream(kelAbstractStream* stream = nullptr);
    // Removes and frees `stream`. False when it is not one of the device's
    // or the lock could not be had.
    bool removeStream(kelAbstractStream* stream);
    // The index-th stream added (null out of range); valid until it is
    // removed.
    kelAbstractStream* getStream(intptr_t index);
    intptr_t getStreamCount();

    bool autoAddSilence() const noexcept { return f_autoAddSilence.load(); }
    void setAutoAddSilence(bool value) noexcept { f_autoAddSilence.store(value); }

    kelString _classID() const override { return u"kelWaveMultiStreamDevice"; }

protected:
    // Work on one stream; nothing here. Called with the device lock held.
    virtual void doStream(size_t index, kelAbstractStream* stream);
    // Calls doStream for every stream in order, under the device lock.
    virtual void doStreams();
    // The stream at `index` left the list (the later ones moved down one
    // place). Called with the device lock held.
    virtual void streamRemoved(size_t index);

    // Guarded by the device lock.
    std::vector<kelOwned<kelAbstractStream>> f_streams;
    // Counted and set while a list change waits for the lock: a device
    // thread waiting under the lock lets go of it at once, and does not wait
    // again while a change is pending.
    std::atomic<int> f_streamsPending{0};
    kelEvent f_streamsChanging{false, false};

    // Marks one list change for its scope.
    class PendingChange
    {
    public:
        explicit PendingChange(kelWaveMultiStreamDevice& device) noexcept : f_device(device)
        {
            f_device.f_streamsPending.fetch_add(1);
            f_device.f_streamsChanging.setState(true);
        }
        ~PendingChange() { f_device.f_streamsPending.fetch_sub(1); }
        PendingChange(const PendingChange&) = delete;
        PendingChange& operator=(const PendingChange&) = delete;

    private:
        kelWaveMultiStreamDevice& f_device;
    };
    std::atomic<bool> f_autoAddSilence;
};

class kelWaveMixerDevice : public kelWaveMultiStreamDevice
{
public:
    static constexpr size_t kStreamSlots = 256;

    kelWaveMixerDevice(bool realTime, bool autoAddSilence, uintptr_t overNum);

    // Reads up to a chunk from every stream, adds them (clipping) and
    // delivers the sum as one chunk of the source format. The bytes read
    // from all streams; 0 and no chunk without a source format or streams.
    // The device thread calls it once per cycle; another caller must not
    // mix at the same time from a data handler of this device.
    uintptr_t mix();

    // Bytes missing from stream `index`'s last chunk, decaying while its
    // chunks come whole. Any thread.
    int64_t getOOB(size_t index) const noexcept;
    // The level of stream `index`'s last chunk, 0 .. 100. Any thread.
    uintptr_t getSVolume(size_t index) const noexcept;

    kelString _classID() const override { return u"kelWaveMixerDevice"; }

protected:
    bool headerDone(kelWaveHeader* header, bool reAdd) override;
    uint32_t afterOpen() override;
    // The shortfall and level of the later streams move down with them, so
    // each keeps its own.
    void streamRemoved(size_t index) override;

private:
    // Non-real-time: waits until a stream holds data or a stop comes, at
    // most one chunk time. Device thread.
    void waitForInput();
    uintptr_t chunkTime() const noexcept;

    std::mutex f_mixMutex; // one mix at a time
    std::vector<uint8_t> f_bufSrc, f_bufDst;
    std::vector<kelEvent*> f_waitEvents;
    std::array<std::atomic<int64_t>, kStreamSlots> f_oob{};
    std::array<std::atomic<bool>, kStreamSlots> f_oobHadSome{};
    std::array<std::atomic<uintptr_t>, kStreamSlots> f_svol{};
};
