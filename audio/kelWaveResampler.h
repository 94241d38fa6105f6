#pragma once
// kelWaveResampler: a software device that converts PCM from one rate,
// sample size and channel count (the source side) to another (the
// destination side, its master side). Audio moves in chunk pairs sized so
// that one source chunk and one destination chunk last exactly as long:
// each source chunk written gives exactly one destination chunk.
//
//  - The Speex path (useSpeexDSP, the Speex DSP library present, 16 bits on
//    both sides, equal channel counts up to 32): each channel goes through
//    its own Speex resampler (quality 6).
//  - Otherwise convertPcm converts by nearest neighbour; a destination with
//    fewer channels gets the mean of the source channels folded onto each
//    (channel i goes to i mod n), one with more (not a multiple) gets the
//    source channels and silence in the rest. A resampler that was asked to
//    use Speex but cannot switches useSpeexDSP off until it closes.
//  - Not in real time, write converts on the writer's thread: bytes collect
//    until a whole source chunk is there, every whole chunk is converted in
//    order and delivered. flush pads the rest with silence and converts it.
//  - In real time, writes queue in the input stream and every timer tick
//    (on the device's clock) converts one queued source chunk.
//
// Threads: setSampling and useSpeexDSP come from the owner's thread with
// the device closed; write from any thread. Conversions take the device
// lock for writing, so they never overlap.

#include "audio/kelPCMChunk.h"
#include "audio/kelWaveSoftwareDevice.h"
#include "core/kelCreate.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

class kelSpeexDSP;

class kelWaveResampler : public kelWaveSoftwareDevice
{
public:
    // The Speex objects, one per channel; more channels use convertPcm.
    static constexpr size_t kSpeexChannels = 32;
    // The highest rate either side takes.
    static constexpr uintptr_t kMaxRate = 384000;

    // A resampler with an input and an output memory stream, both owned.
    kelWaveResampler(bool realTime, uintptr_t overNum);
    ~kelWaveResampler() override;

    // Sets one side's PCM format and, when both sides have one, sizes the
    // chunk pair. False (nothing changed) when the lock could not be had, a
    // rate is 0 or above kMaxRate, the sample size is not 8, 16, 24 or 32,
    // there are no channels, a chunk would be empty or above
    // kelMaxChunkSize. Device closed.
    bool setSampling(bool isSrc, uintptr_t samplesPerSec, uintptr_t bitsPerSample, uintptr_t numChannels);
    bool setSampling(bool isSrc, const kelWaveFormat& format);
    using kelWaveDevice::setSampling;

    bool useSpeexDSP() const noexcept { return f_useSpeexDSP.load(); }
    void setUseSpeexDSP(bool value) noexcept;
    // Whether the Speex DSP library loaded (known after the first
    // setSampling with both sides).
    bool speexAvailable() const noexcept { return f_speexavail2; }
    // Samples per chunk of each side; 0 until both sides are set.
    uintptr_t srcChunkSamples() const noexcept { return f_srcSamples; }
    uintptr_t dstChunkSamples() const noexcept { return f_dstSamples; }

    kelString _classID() const override { return u"kelWaveResampler"; }

protected:
    bool doGetMasterIsSrc() override { return false; }
    bool doSetFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize) override;
    uintptr_t doWrite(const void* data, uintptr_t size) override;
    bool doFlush(bool waitForComplete) override;
    uint32_t afterOpen() override;
    void afterClose(uint32_t closeResult) override;
    bool headerDone(kelWaveHeader* header, bool reAdd) override;

private:
    struct Plan
    {
        uintptr_t perSecond = 0;
        uintptr_t srcSamples = 0;
        uintptr_t dstSamples = 0;
        uintptr_t srcBytes = 0;
        uintptr_t dstBytes = 0;
    };
    static bool planChunks(const kelPCMFormat& src, const kelPCMFormat& dst, Plan& plan) noexcept;
    bool applyPlan(const kelPCMFormat& src, const kelPCMFormat& dst, const Plan& plan) noexcept;
    void prepareSpeex(uintptr_t dstRate) noexcept;

    // Converts one whole source chunk and delivers it. Device lock held.
    void convertChunk(const uint8_t* src);
    bool speexConvert(const uint8_t* src);
    void fallbackConvert(const uint8_t* src);
    void mapChannels(const uint8_t* src, uintptr_t frames) noexcept;
    void padCollected() noexcept;

    kelPCMChunk f_srcChunk;
    kelPCMChunk f_dstChunk;
    std::atomic<bool> f_useSpeexDSP{false};
    std::atomic<bool> f_useSpeexDSPwasAutoReset{false};
    std::array<kelOwned<kelSpeexDSP>, kSpeexChannels> f_speexdsp;
    bool f_speextried = false;
    bool f_speexavail2 = false;
    bool f_speexFresh = false;     // the Speex states have not converted since they were made
    std::vector<uint8_t> f_subBuf; // f_subBufSize is its size()
    uintptr_t f_subBufPos = 0;
    std::vector<int16_t> f_channelBuf;
    std::vector<int16_t> f_channelBufOut; // f_channelBufSize is its size()
    std::vector<uint8_t> f_mapBuf;        // the converted frames before channel mapping
    uintptr_t f_srcSamples = 0;
    uintptr_t f_dstSamples = 0;
};
