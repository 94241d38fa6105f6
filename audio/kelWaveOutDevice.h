#pragma once
// kelWaveOutDevice: plays through the platform's wave output (waveOut*),
// on the virtual device, an ALSA device or the mapper. Its master side is
// the source: write() takes chunks of the source format.
//
// Writing (overNumIn non-zero, the usual case): each write copies the chunk
// into the header of the next slot of a ring of 199 (headers are made once,
// on first use, and reused; a buffer grows only for a larger chunk) and
// queues it. A write is refused (0) when more than overNumIn + 2 buffers are
// queued (counted in inOverloadTotal), when its slot is still queued, when
// the device lock is not had within 20 ms, or when four writers are already
// inside write (a handler that writes from onAfterChunkFeed nests).
// With overNumIn 0 written data waits in the input stream and the device
// thread queues it chunk by chunk.
//
// Start-up: with jitterImprove (the default) the device opens paused and
// starts playing once more than outRestartThreshold buffers are queued.
// While fewer than 4 buffers are queued a write tops the queue up: before
// anything has played since open or the last flush, with copies of the
// chunk (so a starting device queues its first chunk four times); once
// playback runs, with silence, so that audio is never heard twice.
//
// Completions: onAfterChunkDone runs for every finished buffer, on the
// platform's callback thread under the device lock (read). A completion
// that cannot take the lock within 6 ms is handed to the device thread,
// which runs it once the lock is free, in the order the buffers finished:
// a player that refills from onAfterChunkDone never loses a buffer.
//
// Make and free it with kelCreate / kelFree.

#include "audio/kelWaveDevice.h"
#include "platform/kelWaveApi.h"

#include <array>
#include <atomic>
#include <cstdint>

class kelWaveOutDevice : public kelWaveDevice
{
public:
    // The default format chooser: output formats of hardware devices.
    static constexpr uint32_t kFormatChooseFlags = 0x1400000;
    static constexpr uint32_t kFormatChooseStyle = 0x40;
    // Ring slots of the write path (f_headers 0 .. 198).
    static constexpr uintptr_t kRingSlots = 199;
    // Writers allowed inside write at once; the fifth is refused.
    static constexpr intptr_t kMaxNestedWriters = 4;
    // Below this many queued buffers a write tops the queue up.
    static constexpr intptr_t kTopUpBuffers = 4;
    // How long a completion waits for the device lock.
    static constexpr intptr_t kCompletionLockTimeout = 6;
    static constexpr intptr_t kWriteLockTimeout = 20;

    explicit kelWaveOutDevice(uint32_t deviceID = WAVE_MAPPER, bool mapped = false, bool direct = false,
                              uintptr_t overNum = 6);
    ~kelWaveOutDevice() override;

    // --- class operations (any thread) ----------------------------------------
    static uint32_t getDeviceCount() noexcept;
    // True when the platform gave the record.
    static bool getCaps(uint32_t deviceID, WAVEOUTCAPSW& caps) noexcept;
    // "32 (The device does not support this wave format.)": the code and the
    // platform's text; mmErrorTextWithCode when the platform has none.
    static kelString getErrorText(uint32_t errorCode);
    // The library has no format chooser dialog (the window toolkit lives in
    // the programs): presets an empty `format` to 44100 Hz, 16 bits, stereo
    // and answers MMSYSERR_NOTSUPPORTED.
    uint32_t formatChoose(kelFormatBlock& format, const kelString& title = {},
                          uint32_t style = kFormatChooseStyle, uint32_t enumFlag = kFormatChooseFlags,
                          const WAVEFORMATEX* enumFormat = nullptr);

    // --- properties --------------------------------------------------------------
    // The capability record read at construction for the device id.
    const WAVEOUTCAPSW& caps() const noexcept { return f_caps; }
    bool jitterImprove() const noexcept { return f_ji.load(); }
    // Takes effect at the next open.
    void setJitterImprove(bool value) noexcept { f_ji.store(value); }
    // Raised after a buffer was queued, with the queued copy. Writer's thread.
    void setOnAfterChunkFeed(kelWaveDataEvent handler) { f_onACF.set(std::move(handler)); }
    // Raised for every finished buffer with its bytes (valid during the
    // call); the handler may write the next chunk. Callback or device thread.
    void setOnAfterChunkDone(kelWaveDataEvent handler) { f_onACD.set(std::move(handler)); }
    bool paused() const noexcept { return f_paused.load(); }
    // The flags of the last platform open (after the open-flags rule).
    uint32_t lastOpenFlags() const noexcept { return f_lastOpenFlags.load(); }
    // Completions handed to the device thread because the lock was busy.
    uint64_t deferredCompletions() const noexcept { return f_deferredTotal.load(); }
    int64_t outOfStream() const noexcept { return f_outOfStream.load(); }
    int64_t outOfData() const noexcept { return f_outOfData.load(); }
    // Stored only; the device applies none of them.
    uintptr_t volume() const noexcept { return f_volumeProperty.load(); }
    void setVolume(uintptr_t value) noexcept { f_volumeProperty.store(value); }
    uintptr_t pitch() const noexcept { return f_pitch.load(); }
    void setPitch(uintptr_t value) noexcept { f_pitch.store(value); }
    uintptr_t playbackRate() const noexcept { return f_playbackRate.load(); }
    void setPlaybackRate(uintptr_t value) noexcept { f_playbackRate.store(value); }

    kelString _classID() const override { return u"kelWaveOutDevice"; }

protected:
    bool doGetMasterIsSrc() override { return true; }
    uint32_t doOpenHandle(uint32_t flags) override;
    uint32_t afterOpen() override;
    uint32_t doCloseHandle() override;
    uint32_t addHeader(kelWaveHeader* header) override;
    bool headerDone(kelWaveHeader* header, bool reAdd) override;
    uintptr_t doWrite(const void* data, uintptr_t size) override;
    bool doFlush(bool waitForComplete) override;
    uint32_t prepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t unprepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t freeHeader(intptr_t headerSlot) override;
    uintptr_t doGetPosition() override;
    kelString doGetErrorText(uint32_t errorCode) override;
    void startIn() override;
    void startOut() override;

private:
    static void waveCallback(kelWaveHandle* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                             uintptr_t param2);
    HWAVEOUT waveHandle() const noexcept { return reinterpret_cast<HWAVEOUT>(f_handle.load()); }
    // One chunk into the next ring slot: a copy of `data`, or silence when
    // `data` is null. The bytes queued, 0 when refused. `fromStream`: a
    // chunk the device thread took from the input stream, already judged,
    // outside the overload limit and never topped up.
    uintptr_t writeChunk(const void* data, uintptr_t size, bool fromStream);
    // A finished buffer, on the platform's callback thread.
    void completion(WAVEHDR* hdr) noexcept;
    void runCompletion(kelWaveHeader* header) noexcept;
    // Completions handed over to the device thread, run in order.
    void deferCompletion(kelWaveHeader* header) noexcept;
    void runDeferredCompletions() noexcept;
    // Device thread, overNumIn 0: queues chunks of the input stream.
    void playFromInStream() noexcept;
    uint8_t silenceByte() noexcept;
    bool isSilent(const void* data, uintptr_t size) noexcept;

    WAVEOUTCAPSW f_caps{};
    std::atomic<int64_t> f_outOfStream{0};
    std::atomic<int64_t> f_outOfData{0};
    std::atomic<intptr_t> f_dwReentranceCnt{0};
    std::atomic<bool> f_paused{false};
    std::atomic<bool> f_ji{true};
    std::atomic<intptr_t> f_hdrIndex{0};
    kelHandlerSlot<void(kelMsAcmStreamDevice*, void*, uintptr_t)> f_onACF;
    kelHandlerSlot<void(kelMsAcmStreamDevice*, void*, uintptr_t)> f_onACD;

    // Something has played since open or the last flush: top-ups are silence.
    std::atomic<bool> f_played{false};
    std::atomic<uint32_t> f_lastOpenFlags{0};
    std::atomic<uintptr_t> f_volumeProperty{0xFFFFFFFFu};
    std::atomic<uintptr_t> f_pitch{0x10000};
    std::atomic<uintptr_t> f_playbackRate{0x10000};

    // Completions for the device thread: a single-producer (the callback
    // thread) single-consumer (the device thread) ring. f_deferred counts the
    // entries not yet run; while it is non-zero the callback defers too, so
    // completions run one at a time and in order.
    static constexpr size_t kDeferSlots = 256;
    std::array<kelWaveHeader*, kDeferSlots> f_deferRing{};
    size_t f_deferHead = 0; // callback thread
    size_t f_deferTail = 0; // device thread
    std::atomic<size_t> f_deferred{0};
    std::atomic<uint64_t> f_deferredTotal{0};
};
