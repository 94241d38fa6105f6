#pragma once
// kelMsAcmCodec: the stream device that converts audio between PCM and a
// compressed format, in either direction, chunk by chunk. Its driver mode
// picks the back end:
//  - kelcdm_acm: a conversion stream of the compression manager, over a
//    registry driver (or whichever driver the manager picks without one);
//  - kelcdm_installable: an installable driver (kelMsAcm::openDriver),
//    addressed by its stream messages;
//  - kelcdm_openH323plugin: a codec plug-in library (driverLibrary);
//  - kelcdm_internal: no back end, every operation answers 8.
//
// write() converts on the caller's thread: whole chunks go to the back end
// at once, a tail shorter than a chunk stays pending for the next write
// (flush(true) and a close with flushBeforeClose convert it with the end
// flag). Only the bytes a conversion used count as taken; what it left
// stays pending. Converted bytes are delivered (deliverChunk) on the same
// thread. The device thread feeds whole chunks it finds in the input stream
// through the same path.
//
// The source side is the master side. Make and free with kelCreate/kelFree.
// Threads: formats, driver, library and open/close from the owner's thread;
// write from any thread (serialised by the device lock).

#include "audio/kelAcmCodecDriverMode.h"
#include "audio/kelMsAcmCodecHeader.h"
#include "audio/kelMsAcmStreamDevice.h"
#include "core/kelCreate.h"
#include "platform/kelAcmApi.h"

#include <atomic>
#include <cstdint>
#include <vector>

class kelMsAcmDriver;
class kel_openH323plugin;
struct PluginCodec_Definition;

class kelMsAcmCodec : public kelMsAcmStreamDevice
{
public:
    // Conversion flags of the first chunk after open.
    static constexpr uint32_t kOpenFlags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;

    // A device with an input and an output stream, both overload limits
    // `overNum`, volume measurement off. `driver` is not owned.
    kelMsAcmCodec(kelMsAcmDriver* driver, bool realtime, uintptr_t overNum, bool highPriority,
                  kelAcmCodecDriverMode driverMode);
    ~kelMsAcmCodec() override;

    // --- formats (owner's thread, device closed) ------------------------
    // Makes `format` (compressed) the format of the non-PCM side and lets
    // the back end suggest the PCM side. Whether the suggestion succeeded.
    bool setFormatSuggest(bool isSrcPCM, const WAVEFORMATEX* format, size_t formatSize = 0);
    // Lets the back end suggest the compressed side for `pcmFormat` (tag
    // `formatTag`, or its own choice for 0).
    bool setPcmFormatSuggest(bool isSrcPCM, const WAVEFORMATEX* pcmFormat, uint32_t formatTag);
    bool setPcmFormatSuggest(bool isSrcPCM, uint32_t samplesPerSec, uint16_t bitsPerSample,
                             uint16_t numChannels, uint32_t formatTag);

    // The plug-in's codec definition at `index` (negative: the selected
    // one); null without a plug-in or selection.
    const PluginCodec_Definition* getoH323pluginDesc(intptr_t index) const noexcept;
    const PluginCodec_Definition* oH323codecDesc(intptr_t index) const noexcept
    {
        return getoH323pluginDesc(index);
    }

    kelMsAcmDriver* driver() const noexcept { return f_driver.load(); }
    void setDriver(kelMsAcmDriver* value) noexcept { f_driver.store(value); }
    kelString driverLibrary() const;
    // In plug-in mode a new name closes the device, frees the old plug-in
    // and loads the new one (none when it fails to load).
    void setDriverLibrary(const kelString& value);
    kelAcmCodecDriverMode driverMode() const noexcept { return f_driverMode.load(); }
    void setDriverMode(kelAcmCodecDriverMode value) noexcept { f_driverMode.store(value); }
    bool highPriority() const noexcept { return f_highPriority.load(); }
    kel_openH323plugin* plugin() const noexcept { return f_oH323codec.get(); }
    intptr_t pluginOldIndex() const noexcept { return f_oH323codecOldIndex; }
    // Bytes waiting for the next conversion.
    uintptr_t pendingSize() const noexcept { return f_subSize.load(); }

    // --- back end (device lock held by the caller) -------------------------
    // Destination bytes for `size` source bytes (flag ACM_STREAMSIZEF_SOURCE)
    // or source bytes for `size` destination bytes (..._DESTINATION) in
    // `result`; the result code.
    uint32_t convertSize(uintptr_t size, uint32_t flag, uintptr_t& result);
    // Converts the header's cbSrcLength bytes; the result code. The used
    // counts are clamped to the header's buffers.
    uint32_t convertHeader(kelMsAcmCodecHeader* header, uint32_t flags);
    uint32_t resetStream();

    kelString _classID() const override { return u"kelMsAcmCodec"; }

protected:
    uint32_t doOpenHandle(uint32_t flags) override;
    uint32_t doOpen(bool query, intptr_t timeout, uint32_t flags, bool startDevice) override;
    uint32_t doCloseHandle() override;
    uint32_t prepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t unprepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t freeHeader(intptr_t headerSlot) override;
    bool doFlush(bool waitForComplete) override;
    uintptr_t doWrite(const void* data, uintptr_t size) override;
    bool doGetMasterIsSrc() override { return true; }
    intptr_t execute(uintptr_t globalIndex) override;
    void beforeDestruction() override;

private:
    friend class kelMsAcmCodecHeader;

    // The back end's part of opening and closing the stream.
    uint32_t openStream(uint32_t flags);
    uint32_t closeStream();
    // The three steps of chunk negotiation; false when they end at a size
    // no write could work with (0 or above kelMaxChunkSize).
    bool negotiateChunks();
    // Converts the pending bytes, then `data`, a chunk at a time while a
    // whole chunk is there (or, with `final`, the rest with the end flag);
    // the rest stays pending. False when the bytes could not be held.
    // Device lock held.
    bool convertData(const uint8_t* data, uintptr_t size, bool final);
    // One conversion of what the header holds, its output delivered: the
    // bytes it used (all of them when it failed) and produced.
    struct Conversion
    {
        uintptr_t used;
        uintptr_t produced;
    };
    Conversion convertOnce(uint32_t flags);
    bool ensureHeader(uintptr_t srcSize);
    bool keepPending(const uint8_t* data, uintptr_t size) noexcept;
    void freeBuffers() noexcept;
    bool pluginSuggest(bool isSrcPCM, const WAVEFORMATEX* format, size_t formatSize);
    bool acmSuggest(bool isSrcPCM, const WAVEFORMATEX* format, size_t formatSize);
    bool acmPcmSuggest(bool isSrcPCM, const WAVEFORMATEX* pcmFormat, uint32_t formatTag);

    std::atomic<kelMsAcmDriver*> f_driver;
    kelString f_driverLibrary; // guarded by the device lock
    std::atomic<kelAcmCodecDriverMode> f_driverMode;
    kelOwned<kel_openH323plugin> f_oH323codec;
    intptr_t f_oH323codecOldIndex = 0;
    std::atomic<bool> f_highPriority;
    ACMDRVSTREAMINSTANCE f_streamInstance{};
    uint32_t f_flags = kOpenFlags;
    std::atomic<uintptr_t> f_subSize{0};
    std::vector<uint8_t> f_subBuf;           // pending bytes; its size is f_subBufSize
    std::vector<uint8_t> f_scaled;           // a PCM write's copy, scaled by the gain
    kelMsAcmCodecHeader* f_header = nullptr; // also in the header table
    void* f_acmHeader = nullptr;             // the platform record inside it
    HACMSTREAM f_stream{};                   // registry mode's stream
    const WAVEFILTER* f_filterFormat = nullptr;
    kelFormatBlock f_openSrc; // the plain records the stream was opened with
    kelFormatBlock f_openDst;
};
