#pragma once
// One mono audio source of panomix: it holds the current 20 ms chunk of
// 16-bit samples at the program's sampling rate and a speaker mapping (the
// bits of the speaker table on which it is heard). The feed loop adds the
// chunk into the channels of the mapped speakers (fillChunk) and then asks
// every source that was mixed for its next chunk (prepareNextChunk).
//
// Made with kelCreate and freed with kelFree (destruction closes the
// source, which runs a virtual hook). The rate setter and open/close run
// on the window thread while playback is closed; fillChunk and
// prepareNextChunk run on the output's completion thread.

#include "core/kelObject.h"
#include "core/kelTypes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// The kinds, as stored in the settings.
inline constexpr intptr_t kelASTypeLive = 100;
inline constexpr intptr_t kelASTypeWAV = 101;
inline constexpr intptr_t kelASTypeSine = 102;

class kelAudioSource : public kelObject
{
public:
    kelAudioSource(intptr_t stype, const kelString& param);
    ~kelAudioSource() override;

    const kelString& param() const noexcept { return f_param; }
    intptr_t stype() const noexcept { return f_stype; }
    const kelString& name() const noexcept { return f_name; }
    uint32_t mapping() const noexcept { return f_mapping.load(); }
    void setMapping(uint32_t mask) noexcept { f_mapping.store(mask); }

    uintptr_t rate() const noexcept { return f_samplingRate; }
    uintptr_t byteRate() const noexcept { return f_byteRate; }
    // Nothing when unchanged; otherwise closes the source, sizes a zeroed
    // chunk for the new rate (one of the devices' chunks, 20 ms by default)
    // and tells the kind (rateChanged).
    void setRate(uintptr_t rate);
    size_t chunkSizeInSamples() const noexcept { return f_chunkSizeInSamples; }
    const std::vector<int16_t>& chunk() const noexcept { return f_chunk; }
    bool chunkWasTaken() const noexcept { return f_chunkWasTaken; }

    // The kind's running state.
    bool active() { return getActive(); }
    void open();
    void close();
    // A chunk that was mixed is replaced by the next one; one that was not
    // stays for the next cycle.
    void prepareNextChunk();
    // Adds the chunk (up to `numSamples` samples) into every
    // `stepInSamples`-th 16-bit sample of `data`, saturating at the 16-bit
    // limits: two loud sources on one speaker clip instead of wrapping into
    // a full-scale click. Marks the chunk as taken. True.
    bool fillChunk(int16_t* data, size_t numSamples, size_t stepInSamples) noexcept;

protected:
    virtual void rateChanged(uintptr_t rate) = 0;
    virtual bool getActive() = 0;
    virtual void doStart() = 0;
    virtual void doStop() = 0;
    // The kind's own contribution; the base adds the chunk and returns true.
    virtual bool doFillChunk(int16_t* data, size_t numSamples, size_t stepInSamples) noexcept;
    virtual void doPrepareNextChunk() = 0;

    void beforeDestruction() override;

    kelString f_param;
    intptr_t f_stype;
    uintptr_t f_samplingRate = 0;
    uintptr_t f_byteRate = 0;
    kelString f_name;
    std::atomic<uint32_t> f_mapping{0};
    std::vector<int16_t> f_chunk;
    size_t f_chunkSizeInSamples = 0;
    bool f_chunkWasTaken = false;
};

// A sine tone at the parameter's frequency (4000 Hz when it is not a
// number), 12287 at its peak. The phase runs on across chunks and is kept
// within one turn, so any frequency (zero, negative, huge) plays what the
// formula gives without losing precision or looping long.
class kelASSine final : public kelAudioSource
{
public:
    static constexpr intptr_t kDefaultFrequency = 4000;
    static constexpr double kAmplitude = 12287.0;

    explicit kelASSine(const kelString& param);

    intptr_t frequency() const noexcept { return f_freq; }
    double angle() const noexcept { return f_angle; }

protected:
    void rateChanged(uintptr_t rate) override;
    bool getActive() override { return f_isActive; }
    void doStart() override { f_isActive = true; }
    void doStop() override { f_isActive = false; }
    void doPrepareNextChunk() override;

private:
    intptr_t f_freq;
    bool f_isActive = false;
    double f_angle = 0;
    double f_turn = 0;
    double f_2_pi;
};
