#pragma once
// kelWaveDevice: the common base of the wave input and output devices and
// the software devices. It owns the device thread's event loop and the
// platform buffer headers (kelWaveHeader).
//
// The loop (execute) waits on the handle array: slot 0 is the service event,
// slot 1 the input stream's data event (or an event of the device's own
// when it has no input stream), slots 2 and up one event per recording
// header, in the order of f_headers. A fired handle, or a wait that timed
// out while the device has room, becomes one call of headerDone on the
// device thread; subclasses do their work there.
//
// Open flags: a caller's 0 becomes CALLBACK_FUNCTION, plus WAVE_MAPPED,
// WAVE_FORMAT_DIRECT and WAVE_FORMAT_QUERY as the device's settings and the
// query ask (openFlags).

#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelWaveHeader.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class kelWaveDevice : public kelMsAcmStreamDevice
{
public:
    static constexpr size_t kHandleSlots = 256;

    // An output stream only when `isIn`, an input stream only otherwise;
    // both overload counts = `overNum`; volume measurement off.
    kelWaveDevice(uint32_t deviceID, bool mapped, bool direct, bool isIn, uintptr_t overNum);
    ~kelWaveDevice() override;

    // Sets the master side's format to plain PCM. False when refused.
    bool setSampling(uint32_t samplesPerSec, uint16_t bitsPerSample, uint16_t numChannels);
    bool setSampling(const WAVEFORMATEX& pcmFormat);
    // Applies the extensible record to the master side, whatever `isSrc`.
    bool setSamplingExt(bool isSrc, const WAVEFORMATEXTENSIBLE* format);

    // The flags an open passes to the platform (see the top of the file).
    uint32_t openFlags(uint32_t flags, bool query) const noexcept;

    uint32_t deviceId() const noexcept { return f_deviceID; }
    void setDeviceId(uint32_t value) noexcept { f_deviceID = value; }
    bool mapped() const noexcept { return f_mapped; }
    void setMapped(bool value) noexcept { f_mapped = value; }
    bool direct() const noexcept { return f_direct; }
    void setDirect(bool value) noexcept { f_direct = value; }
    uintptr_t handlesCnt() const noexcept { return f_handlesCnt.load(); }

    kelString _classID() const override { return u"kelWaveDevice"; }

protected:
    // Hands one header to the platform; result code. Base: 8 (not supported).
    virtual uint32_t addHeader(kelWaveHeader* header);
    // A header came back (`header` set, `reAdd` true), the input stream
    // signalled (no header, `reAdd` false), the service event fired (no
    // header, `reAdd` true), or the loop has time for work (no header,
    // `reAdd` false). Device thread. Base: true.
    virtual bool headerDone(kelWaveHeader* header, bool reAdd);

    // The device loop. Errors raised inside a cycle are dropped.
    intptr_t execute(uintptr_t globalIndex) override;
    // Fills the handle array, applies the open-flags rule, runs the common
    // open; on failure drops the device's own slot-1 event.
    uint32_t doOpen(bool query, intptr_t timeout, uint32_t flags, bool startDevice) override;
    // The common close, then the device's own slot-1 event is dropped.
    uint32_t doClose(intptr_t timeout) override;
    // Unprepares (errors ignored) and frees the header of the slot.
    uint32_t freeHeader(intptr_t headerSlot) override;

    // A header with a zeroed buffer of `size` bytes (none for 0), `data`
    // copied in when given, prepared when asked (prepareHeader). Null when
    // memory is short. The caller stores it in a slot of f_headers.
    kelWaveHeader* allocHeader(size_t size, const void* data, bool prepare);
    // The header of a slot (null when empty or out of range).
    kelWaveHeader* waveHeader(intptr_t slot) const noexcept;
    // Puts `event` in the next handle slot; its index, -1 when full.
    intptr_t addHandle(kelEvent* event) noexcept;

    uint32_t f_deviceID;
    bool f_mapped;
    bool f_direct;
    // Not owned, except f_ownDataEvent when it stands in slot 1.
    std::array<kelEvent*, kHandleSlots> f_handles{};
    std::atomic<uintptr_t> f_handlesCnt{0};
    std::unique_ptr<kelEvent> f_ownDataEvent;
};
