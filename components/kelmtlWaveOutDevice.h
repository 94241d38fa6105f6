#pragma once
// kelmtlWaveOutDevice: a wave output device as a pipe component. What its
// providers write is played on the device named by deviceId (the mapper by
// default) in the component's format record. flush() queues overNum chunks
// of silence; from then on every chunk the device has finished playing is
// raised through onFeedDone, and a handler that writes the next chunk back
// keeps that many chunks in flight (the feed loop of a mixing program).
// TkelmtlWaveOutDevice is the same component under the name the window
// designer knows.
//
// Threads: onFeedChunk (a chunk was handed to the platform) runs on the
// writer's thread, onFeedDone on the platform's wave callback thread, both
// under the device lock in read mode: a handler may write to this component
// but must not open, close or free it. Their blocks are the device's
// buffers, valid during the call.

#include "audio/kelHandlerSlot.h"
#include "audio/kelWaveOutDevice.h"
#include "components/kelmtlInOutWavePipe.h"

class kelmtlWaveOutDevice : public kelmtlInOutWavePipe
{
public:
    explicit kelmtlWaveOutDevice(kelComponent* owner = nullptr);
    ~kelmtlWaveOutDevice() override;

    kelWaveOutDevice* waveOutDevice() const noexcept;

    void setOnFeedChunk(kelmtlPipeDataEvent handler);
    void setOnFeedDone(kelmtlPipeDataEvent handler);

    kelString _classID() const override { return u"kelmtlWaveOutDevice"; }

protected:
    void resetDefaults() override;
    void createNewDevice() override;
    // Switching data processing off drops the device's queue without
    // waiting; playback pauses until enough buffers are queued again.
    void doSetEnableDP(bool value) override;

private:
    // Raises one of the two events. Writer's or callback thread.
    void raise(bool done, void* data, uintptr_t size);

    // Slots, so the callback path takes a handler without allocating.
    kelHandlerSlot<void(kelmtlInOutPipe*, void*, uint32_t)> f_onFC;
    kelHandlerSlot<void(kelmtlInOutPipe*, void*, uint32_t)> f_onFD;
};

class TkelmtlWaveOutDevice : public kelmtlWaveOutDevice
{
public:
    using kelmtlWaveOutDevice::kelmtlWaveOutDevice;

    kelString _classID() const override { return u"TkelmtlWaveOutDevice"; }
};
