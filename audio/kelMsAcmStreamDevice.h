#pragma once
// kelMsAcmStreamDevice: the base of every audio device (wave input and
// output, the WAV file stream, mixer, resampler, codec device). A thread that
// carries audio in fixed-size chunks from a source side (what is written in)
// to a destination side (what comes out).
//
//  - Both sides have a format record, owned here as an extensible record.
//    One side is the master (doGetMasterIsSrc): its format is the device's
//    own sampling, and the chunk size and chunks per second follow from it.
//  - write() puts data into the input stream (or, in subclasses, straight
//    to the platform), with an overload limit in chunks.
//  - deliverChunk() hands one produced chunk to the data-available handler,
//    to every consumer device (their write()) and to the output stream,
//    with its own overload limit.
//  - Every chunk that passes through readFromInStream or deliverChunk is
//    measured (volume per channel), scaled (gain per channel) and judged by
//    the silence detection mode; a rejected chunk is dropped and counted.
//
// Open: open -> doOpen -> doOpenHandle -> (hand-shake event) -> afterOpen
// -> thread start. Close: close -> doClose -> doFlush -> thread stop
// (startOut runs on the device thread) -> free headers -> doCloseHandle ->
// (hand-shake) -> afterClose. This class does not override execute: the
// wave and software devices share the loop of kelWaveDevice.
//
// Make and free devices with kelCreate / kelFree: destruction closes the
// device and runs virtual clean-up from beforeDestruction.
//
// Threads: open, close, format changes, stream assignment and consumer
// removal take the device lock for writing and come from the owner's thread
// (the window or component). write() may come from any thread. The silence
// state and deliverChunk belong to the producing thread (the device thread
// or a platform completion). Counters, volumes and flags are atomics, so any
// thread may read them.
//
// Time: the hold of the volume-threshold mode takes its time from the
// device's clock (setClock), which the device hands on to what it owns.

#include "audio/dsp/kelDSPLibAutomat.h"
#include "audio/dsp/kelDspDLibRoot.h"
#include "audio/kel3GPPVAD.h"
#include "audio/kelFormatBlock.h"
#include "audio/kelHandlerSlot.h"
#include "audio/kelMsAcmDeviceHeader.h"
#include "audio/kelWaveFormats.h"
#include "core/kelAbstractStream.h"
#include "core/kelClock.h"
#include "core/kelEvent.h"
#include "core/kelList.h"
#include "core/kelThread.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class kelMsAcmStreamDevice;

// Process-wide audio settings. Any thread may read them; change them before
// devices are opened.
// Chunks per second of every device (one chunk is 1/n s of its master format).
extern std::atomic<uintptr_t> defaultChunksPerSecond;
// Recording buffers a wave input device keeps queued at once.
extern std::atomic<uintptr_t> maxInBuffers;
// Buffers that must be queued before a paused playback device restarts.
extern std::atomic<uintptr_t> outRestartThreshold;

// The largest chunk a device accepts: one second of 32 channels at 384 kHz,
// 32 bits (49,152,000 bytes). A format whose chunk would be larger is refused,
// so a crafted record cannot make a device allocate gigabytes.
inline constexpr uintptr_t kelMaxChunkSize = uintptr_t(384000) * 32 * 4;

// Silence detection modes, kept as a 32-bit value.
enum kelWaveInSDMethods : int32_t {
    kelsdm_none = 0,
    kelsdm_MT = 1,       // volume threshold
    kelsdm_DSP = 2,      // DSP processor chain
    kelsdm_3GPPVAD1 = 3, // voice activity detector
};

// Data handlers get the producing device, the chunk and its size. The chunk
// is valid only during the call; the handler may change its bytes. Runs on
// the producing thread (device thread or platform completion); must not
// block or free the device.
using kelWaveDataEvent = std::function<void(kelMsAcmStreamDevice* sender, void* data, uintptr_t size)>;
// Raised when the silence state changes (and on the first decision after
// open). `passThrough` comes in as "not silent"; what the handler leaves in
// it decides whether the chunk passes. Same thread rules as above.
using kelWaveOnThresholdEvent = std::function<void(kelMsAcmStreamDevice* sender, bool& passThrough)>;

class kelMsAcmStreamDevice : public kelThread
{
public:
    static constexpr size_t kHeaderSlots = 200;
    static constexpr size_t kVolumeChannels = 256;
    // getVolume's marker for the mean over the master format's channels.
    static constexpr uintptr_t kAllChannels = 0xFFFFFFFFu;

    // Creates the thread (not started), the two events, a kelMemoryStream
    // (lock timeout 100 ms) for each side asked for, owned by the device,
    // the overload counts and the volume switch.
    kelMsAcmStreamDevice(bool createInStream, bool createOutStream, uintptr_t inOverNum, uintptr_t outOverNum,
                         bool calcVolume);
    ~kelMsAcmStreamDevice() override;

    // --- open and close (owner's thread) ---------------------------------
    // Result code: 0 on success (also when already open), 12 when the lock or
    // the hand-shake timed out, 32 for a chunk above kelMaxChunkSize, or the
    // platform's code. With `query` only the platform's answer is returned
    // and the device stays closed.
    uint32_t open(bool query = false, intptr_t timeout = 3000, uint32_t flags = 0, bool startDevice = true);
    // 0 on success or when already closed; 12 on a lock or hand-shake timeout.
    uint32_t close(intptr_t timeout = 10012);
    bool isOpen() const noexcept { return f_handle.load() != 0 && f_openDone.load(); }

    // --- data ---------------------------------------------------------------
    // Any thread. Bytes accepted (doWrite).
    uintptr_t write(const void* buf, uintptr_t size);
    // Bytes taken from the output stream; 0 without one. Size 0 reads the
    // first queued chunk whole (memory streams only; 0 otherwise).
    uintptr_t read(void* buf, uintptr_t size);
    bool flush(bool waitForComplete);
    // Bytes waiting in the input (true) or output (false) stream; 0 without it.
    uintptr_t getDataAvailable(bool isIn) noexcept;
    // True when a whole chunk of the destination side waits in the output
    // stream (any byte when no chunk size is known). Any thread.
    bool okToRead() noexcept;
    // Waits until the stream of that side holds `expectedDataSize` bytes (any
    // growth for 0) or `timeout` ms passed. Whether the size was reached.
    bool waitForData(bool waitForInData, intptr_t timeout, uintptr_t expectedDataSize);

    // Pulls up to `size` bytes of the input stream into `buf` (the rest of
    // `buf` zeroed) and judges them (analyzeChunk). The bytes passed on; 0
    // when nothing came or the chunk was rejected (counted in skipTotal).
    // `format` is the device's own record for the data. Producing thread.
    uintptr_t readFromInStream(void* buf, uintptr_t size, const WAVEFORMATEX* format);
    // Judges one produced chunk and hands it to onDataAvailable, the
    // consumers and the output stream. What the output stream took (the size
    // without one); 0 for a rejected or overloaded chunk. Producing thread.
    uintptr_t deliverChunk(void* data, uintptr_t size, const WAVEFORMATEX* format);

    // --- formats (owner's thread, device closed) ------------------------
    // Stores a format for one side and recomputes the chunk sizes. False when
    // the lock could not be had or the format is refused.
    // `formatSize` is the bytes held at `format` (0: 18 + cbSize).
    bool setFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize = 0)
    {
        return doSetFormat(isSrc, format, formatSize);
    }
    bool setFormatExt(bool isSrc, const WAVEFORMATEXTENSIBLE* formatExt)
    {
        return doSetFormatExt(isSrc, formatExt);
    }
    // The stored records (null when that side has none). Valid until the
    // next format change of that side.
    const WAVEFORMATEXTENSIBLE* srcFormatExt() const noexcept { return f_srcFormatExt.formatExt(); }
    const WAVEFORMATEXTENSIBLE* dstFormatExt() const noexcept { return f_dstFormatExt.formatExt(); }
    const kelFormatBlock& srcFormatBlock() const noexcept { return f_srcFormatExt; }
    const kelFormatBlock& dstFormatBlock() const noexcept { return f_dstFormatExt; }
    // Presets `format` to 44100 Hz, 16 bits, 2 channels PCM when it holds no
    // record; true when it holds one afterwards. There is no dialog here.
    bool formatChooseDef(kelFormatBlock& format);

    // --- volume -------------------------------------------------------------
    // Volume of a channel (index modulo 256) after gain; for kAllChannels the
    // mean over the master format's channels. Any thread.
    uintptr_t getVolume(uintptr_t channel) const noexcept;
    uintptr_t getUnVolume(uintptr_t channel) const noexcept;
    uintptr_t getPrevVolume(uintptr_t channel) const noexcept;
    // Gain of a channel in percent (100 leaves it untouched); a negative
    // channel sets every channel. Switches the gain on. Any thread.
    void setVolume100(intptr_t channel, uintptr_t volume) noexcept;
    uintptr_t volume100(uintptr_t channel) const noexcept;

    // --- position and texts ---------------------------------------------------
    uintptr_t getPosition() { return doGetPosition(); }
    bool getMasterIsSrc() { return doGetMasterIsSrc(); }
    kelString getErrorText(uint32_t errorCode) { return doGetErrorText(errorCode); }

    // --- streams and consumers (owner's thread) ----------------------------
    // Replaces the stream of one side under the device lock (1000 ms),
    // freeing the old one if owned. The stream stored; null on lock failure.
    kelAbstractStream* assignStream(bool isInStream, kelAbstractStream* stream, bool careDestroy);
    // Makes a stream of the class (lock timeout 1000 ms) and assigns it.
    kelAbstractStream* assignStream(kelStreamClass streamClass, bool isInStream, bool careDestroy);
    kelAbstractStream* inStream() const noexcept { return f_inStream.load(); }
    kelAbstractStream* outStream() const noexcept { return f_outStream.load(); }
    // `device` receives every delivered chunk through its write(). With
    // `removeOutStream` this device drops its own output stream, so chunks
    // go only to handlers and consumers. False on lock failure, for null or
    // self, or when already a consumer.
    bool addConsumer(kelMsAcmStreamDevice* device, bool removeOutStream = false);
    // The inverse of addConsumer. False on lock failure or when not a consumer.
    bool removeConsumer(kelMsAcmStreamDevice* device);
    intptr_t consumerCount() const noexcept { return f_consumers.count(); }

    // --- clock ----------------------------------------------------------------
    // The time source of the silence hold; it must outlive the device.
    // Subclasses that own timers hand it on (override and call this).
    virtual void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }

    // --- properties -----------------------------------------------------------
    uintptr_t chunkSize() const noexcept { return f_chunkSize.load(); }
    uintptr_t dstChunkSize() const noexcept { return f_dstChunkSize.load(); }
    uintptr_t chunkPerSecond() const noexcept { return f_chunkPerSecond.load(); }
    bool calcVolume() const noexcept { return f_calcVolume.load(); }
    void setCalcVolume(bool value) noexcept;
    int64_t inBytes() const noexcept { return f_inBytes.load(); }
    int64_t outBytes() const noexcept { return f_outBytes.load(); }
    int64_t skipTotal() const noexcept { return f_skipTotal.load(); }
    kelString srcFormatInfo() const;
    kelString dstFormatInfo() const;
    intptr_t inProgress() const noexcept { return f_inProgress.load(); }
    bool realTime() const noexcept { return f_realtime.load(); }
    // The 18th virtual operation (after doGetMasterIsSrc). Owner's thread,
    // device closed; subclasses that pace themselves by a timer override it.
    virtual void setRealTime(bool value);
    uintptr_t overNumIn() const noexcept { return f_inOverCN.load(); }
    // Values above 200 and the current value are ignored.
    void setOverNumIn(uintptr_t value) noexcept;
    uintptr_t overNumOut() const noexcept { return f_outOverCN.load(); }
    void setOverNumOut(uintptr_t value) noexcept;
    uintptr_t inOverSize() const noexcept { return f_inOverSize.load(); }
    uintptr_t outOverSize() const noexcept { return f_outOverSize.load(); }
    int64_t inOverloadTotal() const noexcept { return f_inOverloadTotal.load(); }
    int64_t outOverloadTotal() const noexcept { return f_outOverloadTotal.load(); }
    bool flushBeforeClose() const noexcept { return f_flushBeforeClose.load(); }
    void setFlushBeforeClose(bool value) noexcept { f_flushBeforeClose.store(value); }
    uintptr_t minActiveTime() const noexcept { return f_minAT.load(); }
    void setMinActiveTime(uintptr_t value) noexcept { f_minAT.store(value); }
    uintptr_t minVolumeLevel() const noexcept { return f_minVL.load(); }
    // A change to non-zero saves calcVolume and switches measurement on; a
    // change back to 0 restores the saved value.
    void setMinVolumeLevel(uintptr_t value) noexcept;
    kelWaveInSDMethods silenceDetectionMode() const noexcept { return f_sdm.load(); }
    void setSilenceDetectionMode(kelWaveInSDMethods value) noexcept { f_sdm.store(value); }
    bool isSilence() const noexcept { return f_isSilence.load(); }
    bool closing() const noexcept { return f_closing.load(); }
    bool flushing() const noexcept { return f_flushing.load(); }
    uintptr_t handle() const noexcept { return f_handle.load(); }
    uintptr_t waitInterval() const noexcept { return f_waitInterval.load(); }

    void setOnDataAvailable(kelWaveDataEvent handler) { f_onDA.set(std::move(handler)); }
    void setOnThreshold(kelWaveOnThresholdEvent handler) { f_onThreshold.set(std::move(handler)); }

    kelString _classID() const override { return u"kelMsAcmStreamDevice"; }

protected:
    // --- virtual operations, in the system's slot order ------------------
    // 1. Stores a format for one side (as an extensible record), sets its
    // text and recomputes the chunk size of that side. False on lock
    // failure, no record, or a chunk above kelMaxChunkSize (nothing changed).
    // `formatSize`: the bytes held at `format`, 0 for 18 + cbSize.
    virtual bool doSetFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize);
    // 2. The same for an extensible record; the stored record keeps its mask.
    virtual bool doSetFormatExt(bool isSrc, const WAVEFORMATEXTENSIBLE* formatExt);
    // 3. Opens the platform side. Base: resets the input overload total,
    // clears memory streams, signals the hand-shake event, 0. Subclasses
    // call it first.
    virtual uint32_t doOpenHandle(uint32_t flags);
    // 4. The open protocol (see open()).
    virtual uint32_t doOpen(bool query, intptr_t timeout, uint32_t flags, bool startDevice);
    // 5. Closes the platform side. Base: signals the hand-shake event and
    // clears memory streams, 0. Subclasses close first, then call it.
    virtual uint32_t doCloseHandle();
    // 6. Base: mmErrorTextWithCode.
    virtual kelString doGetErrorText(uint32_t errorCode);
    // 7. Base: bytes of the master side over the destination's bytes per
    // frame; 0 without a destination format.
    virtual uintptr_t doGetPosition();
    // 8. Volume, gain and silence decision for one chunk (in place). True to
    // pass it on. Producing thread.
    virtual bool analyzeChunk(void* data, uintptr_t size, const WAVEFORMATEX* format);
    // 9-11. Header handling. Base: prepare/unprepare do nothing (0);
    // freeHeader unprepares (errors ignored) and frees the header of `slot`.
    virtual uint32_t prepareHeader(kelMsAcmDeviceHeader* header);
    virtual uint32_t unprepareHeader(kelMsAcmDeviceHeader* header);
    virtual uint32_t freeHeader(intptr_t headerSlot);
    // 12. Base: zeroes the byte counters, marks silence and first decision,
    // 0. Subclasses call it first.
    virtual uint32_t afterOpen();
    // 13. Base: zeroes the volumes.
    virtual void afterClose(uint32_t closeResult);
    // 14. The close protocol (see close()).
    virtual uint32_t doClose(intptr_t timeout);
    // 15. Base: true.
    virtual bool doFlush(bool waitForComplete);
    // 16. Base: appends to the input stream within the overload limit.
    // Playback devices copy `data` before they scale it.
    virtual uintptr_t doWrite(const void* data, uintptr_t size);
    // 17. Whether the source side is the master side.
    virtual bool doGetMasterIsSrc() = 0;
    // 18. setRealTime, public above: components forward their own
    // realTime property to the device they own.

    // The decision of the DSP (kelsdm_DSP) and voice-activity
    // (kelsdm_3GPPVAD1) modes. A chunk the mode cannot read (not PCM, a
    // sample size or layout it does not take) passes unexamined. Producing
    // thread.
    virtual bool detectorDecision(void* data, uintptr_t size, const WAVEFORMATEX* format);

    // kelThread hooks: the device calls the inherited ones; grantStop also
    // wakes the device loop so a stop is seen at once.
    void startIn() override;
    void startOut() override;
    bool grantStop() override;
    void beforeDestruction() override;

    // --- helpers for subclasses --------------------------------------------
    // The master side's record (null when unset).
    const WAVEFORMATEX* masterFormat() noexcept;
    // Frees every header, slot 199 down to 0; f_nextHdr = 0.
    void freeAllHeaders() noexcept;
    // Clears the side's stream when it is a memory stream.
    void clearMemoryStreams() noexcept;
    // Measures and scales one PCM chunk (the first step of analyzeChunk).
    void measureVolume(void* data, uintptr_t size, const WAVEFORMATEX* format) noexcept;
    // The volume-threshold decision and its notification.
    bool thresholdDecision(const WAVEFORMATEX* format);
    bool notifyThreshold();

    // --- fields, in the system's order ------------------------------------------
    std::atomic<uintptr_t> f_handle{0};
    std::atomic<bool> f_openDone{false};
    std::atomic<int64_t> f_inBytes{0};
    std::atomic<int64_t> f_outBytes{0};
    std::atomic<int64_t> f_skipTotal{0};
    std::atomic<bool> f_closing{false};
    std::atomic<bool> f_flushing{false};
    std::atomic<bool> f_realtime{false};
    std::atomic<uintptr_t> f_chunkSize{0};
    std::atomic<uintptr_t> f_dstChunkSize{0};
    std::atomic<uintptr_t> f_chunkPerSecond{0};
    std::atomic<bool> f_flushBeforeClose{false};
    kelString f_srcFormatInfo; // guarded by the device lock
    kelString f_dstFormatInfo;
    std::atomic<uintptr_t> f_inOverCN{0};
    std::atomic<uintptr_t> f_outOverCN{0};
    std::atomic<uintptr_t> f_inOverSize{0};
    std::atomic<uintptr_t> f_outOverSize{0};
    std::atomic<int64_t> f_inOverloadTotal{0};
    std::atomic<int64_t> f_outOverloadTotal{0};
    bool f_careInStreamDestroy = false;
    bool f_careOutStreamDestroy = false;
    std::atomic<bool> f_inStreamIskelMemoryStream{false};
    std::atomic<bool> f_outStreamIskelMemoryStream{false};
    std::atomic<uintptr_t> f_waitInterval{20};
    std::atomic<bool> f_savedCV{false};
    std::atomic<bool> f_calcVolume{false};
    std::array<std::atomic<uintptr_t>, kVolumeChannels> f_volume{};
    std::array<std::atomic<uintptr_t>, kVolumeChannels> f_setVolume{};
    std::array<std::atomic<uintptr_t>, kVolumeChannels> f_prevVolume{};
    std::array<std::atomic<uintptr_t>, kVolumeChannels> f_unVolume{};
    std::atomic<bool> f_needVolumeAdjust{false};
    kelHandlerSlot<void(kelMsAcmStreamDevice*, void*, uintptr_t)> f_onDA;
    // Owned headers; a slot is empty (null) until a subclass fills it.
    std::array<kelMsAcmDeviceHeader*, kHeaderSlots> f_headers{};
    intptr_t f_nextHdr = 0;
    std::atomic<intptr_t> f_inProgress{0};
    kelFormatBlock f_srcFormatExt;
    kelFormatBlock f_dstFormatExt;
    kelEvent f_openCloseEvent{false, false};
    kelEvent f_deviceEvent{false, false};
    std::atomic<kelAbstractStream*> f_inStream{nullptr};
    std::atomic<kelAbstractStream*> f_outStream{nullptr};
    kelList f_consumers{uldt_ptr, false};
    kelList f_notifyDevices{uldt_ptr, false};
    std::atomic<uintptr_t> f_minAT{100};
    std::atomic<uintptr_t> f_minVL{0};
    uint64_t f_timeActive = 0; // producing thread; 0 = no hold running
    // The voice-activity mode (producing thread): the detector, one detector
    // frame being filled, whether the last chunk counted as voice and the
    // hang-over chunks left. The frame is carried across chunks: f_vad_fill
    // samples of it are written, from f_vad_pos of the f_vad_span source
    // frames a detector frame takes; f_vad_voiced is the last decision.
    vadStateOwner f_3gppvad1;
    std::array<int16_t, kVadFrameSamples> f_3gppvad1_buf{};
    bool f_vad_prev = false;
    intptr_t f_vad_cooldown = 0;
    size_t f_vad_fill = 0;
    size_t f_vad_pos = 0;
    size_t f_vad_span = 0;
    bool f_vad_voiced = false;
    std::atomic<bool> f_isSilence{false};
    bool f_isSilencePrev = false;
    bool f_isSilenceFirstTime = true;
    bool f_passThrough = true;
    // The DSP mode: a level detector and a noise-level detector, each in an
    // automation of its own, and their per-channel output buffers as last
    // fetched (for chunks of f_dsplSamples samples). f_dsplFormatOk: the
    // automations took the open format.
    std::unique_ptr<kelDspDLibRoot> f_dspl;
    kelOwned<kelDSPLibAutomat> f_dsplAutoLD;
    kelOwned<kelDSPLibAutomat> f_dsplAutoND;
    kelDspHandle f_dsplObjLD = 0;
    kelDspHandle f_dsplObjND = 0;
    std::array<const float*, kVolumeChannels> f_dsplOutBufLD{};
    std::array<const float*, kVolumeChannels> f_dsplOutBufND{};
    std::array<intptr_t, kVolumeChannels> f_dsplOutBufLDSize{};
    std::array<intptr_t, kVolumeChannels> f_dsplOutBufNDSize{};
    bool f_outBufValid = false;
    intptr_t f_dsplSamples = 0;
    bool f_dsplFormatOk = false;
    std::atomic<kelWaveInSDMethods> f_sdm{kelsdm_none};
    kelHandlerSlot<void(kelMsAcmStreamDevice*, bool&)> f_onThreshold;

    kelClockSlot f_clock;

private:
    // Headers reach their owner's prepare/unprepare hooks.
    friend class kelMsAcmDeviceHeader;

    void freeStream(bool isIn) noexcept;
    void dropFromNotifyLists() noexcept;

    // The detectors of the DSP and voice-activity modes: made with the
    // device, given the open format by afterOpen.
    void createDetectors() noexcept;
    void configureDetectors() noexcept;
    bool dspDecision(void* data, uintptr_t size, const WAVEFORMATEX* format);
    bool vadDecision(const void* data, uintptr_t size, const WAVEFORMATEX* format);
    bool vadChunkHasVoice(const void* data, uintptr_t size, const WAVEFORMATEX* format) noexcept;
};
