#pragma once
// kelWaveInDevice: records from the platform's wave input (waveIn*), on the
// virtual device, an ALSA device or the mapper. Its master side is the
// destination: the recorded chunks come out in that format, through
// onDataAvailable, the consumer devices and the output stream.
//
// From open to close the device keeps maxInBuffers buffers of one chunk
// queued. The platform's callback only signals the buffer's event; the
// device thread delivers the chunk and hands the same buffer back, so
// delivery, handlers and consumers all run on the device thread.
//
// Make and free it with kelCreate / kelFree.

#include "audio/kelWaveDevice.h"
#include "platform/kelWaveApi.h"

#include <atomic>
#include <cstdint>

class kelWaveInDevice : public kelWaveDevice
{
public:
    // The default format chooser: input formats of hardware devices.
    static constexpr uint32_t kFormatChooseFlags = 0xC00000;
    static constexpr uint32_t kFormatChooseStyle = 0x40;

    explicit kelWaveInDevice(uint32_t deviceID = WAVE_MAPPER, bool mapped = false, bool direct = false,
                             uintptr_t overNum = 0);
    ~kelWaveInDevice() override;

    // --- class operations (any thread) ----------------------------------------
    static uint32_t getDeviceCount() noexcept;
    static bool getCaps(uint32_t deviceID, WAVEINCAPSW& caps) noexcept;
    // The platform's text for the code; mmErrorTextWithCode when it has none.
    static kelString getErrorText(uint32_t errorCode);
    // As kelWaveOutDevice::formatChoose: presets an empty `format` and
    // answers MMSYSERR_NOTSUPPORTED (no chooser dialog in the library).
    uint32_t formatChoose(kelFormatBlock& format, const kelString& title = {},
                          uint32_t style = kFormatChooseStyle, uint32_t enumFlag = kFormatChooseFlags,
                          const WAVEFORMATEX* enumFormat = nullptr);

    const WAVEINCAPSW& caps() const noexcept { return f_caps; }
    uint32_t lastOpenFlags() const noexcept { return f_lastOpenFlags.load(); }

    kelString _classID() const override { return u"kelWaveInDevice"; }

protected:
    bool doGetMasterIsSrc() override { return false; }
    uint32_t doOpenHandle(uint32_t flags) override;
    uint32_t afterOpen() override;
    uint32_t doCloseHandle() override;
    uint32_t addHeader(kelWaveHeader* header) override;
    bool headerDone(kelWaveHeader* header, bool reAdd) override;
    uint32_t prepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t unprepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t freeHeader(intptr_t headerSlot) override;
    uintptr_t doGetPosition() override;
    kelString doGetErrorText(uint32_t errorCode) override;
    void startIn() override;
    void startOut() override;

    // Queues `header` again, or without one a new header when fewer than
    // maxInBuffers are queued (and, with `more`, as many as that allows).
    // Nothing while the thread is stopping. True when one was queued.
    bool addInBuffer(kelWaveHeader* header, bool more);

private:
    static void waveCallback(kelWaveHandle* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                             uintptr_t param2);
    HWAVEIN waveHandle() const noexcept { return reinterpret_cast<HWAVEIN>(f_handle.load()); }

    WAVEINCAPSW f_caps{};
    std::atomic<uint32_t> f_lastOpenFlags{0};
};
