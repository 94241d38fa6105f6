#pragma once
// The DSP library's public contract: parameter identifiers, processor type
// numbers and the root interface through which callers create processors and
// drive them by handle. Processors work on blocks of 32-bit float samples of
// one channel.

#include <cstdint>

// A processor as the root hands it out: 0 is no processor. The root checks
// every handle it is given, so a stale or made-up handle fails the call
// instead of touching freed memory.
using kelDspHandle = uintptr_t;

// A chunk parameter as a record: samples and their count.
struct kelDspChunk
{
    float* r_samples = nullptr;
    intptr_t r_count = 0;
};

// Processor types, as the root's create operation takes them.
enum kelDspType : int32_t {
    kelDspType_EQ2B = 1,
    kelDspType_LD = 2,
    kelDspType_DynProc = 3,
    kelDspType_SpeechProc = 4,
    kelDspType_ND = 5,
    kelDspType_EQMB = 6,
    kelDspType_MbSp = 7,
};

// Parameter identifiers: bits 16-23 are 0x01, bits 8-15 the code, bits 0-7 an
// index (band or channel); bits 24-27 carry the value kind, which the
// processor adds itself (callers pass ids without it).
inline constexpr uint32_t c_dspParam_input = 0x10100;     // chunk; index 1 = side chain
inline constexpr uint32_t c_dspParam_output = 0x10200;    // chunk; per band; float result
inline constexpr uint32_t c_dspParam_gain = 0x10300;      // linear factor
inline constexpr uint32_t c_dspParam_frequency = 0x10400; // fraction of the rate
inline constexpr uint32_t c_dspParam_Q = 0x10500;
inline constexpr uint32_t c_dspParam_type = 0x10600;      // filter or detector type
inline constexpr uint32_t c_dspParam_attack = 0x10700;    // in samples
inline constexpr uint32_t c_dspParam_release = 0x10800;   // in samples
inline constexpr uint32_t c_dspParam_threshold = 0x10900; // linear
inline constexpr uint32_t c_dspParam_ratio = 0x10A00;     // index 0 above, 1 below
inline constexpr uint32_t c_dspParam_rate = 0x10B00;      // Hz; 0x10B01-04 other frequencies in Hz
inline constexpr uint32_t c_dspParam_count = 0x1FF00;     // filters, bands, window or a result count

inline constexpr uint32_t c_dspKind_int = 1;
inline constexpr uint32_t c_dspKind_float = 2;
inline constexpr uint32_t c_dspKind_chunk = 3;
inline constexpr uint32_t c_dspKindMask = 0x0F000000u;

// The identifier with its kind bits (any kind bits already there replaced).
constexpr uint32_t kelDspFullId(uint32_t id, uint32_t kind) noexcept
{
    return (id & ~c_dspKindMask) | (kind << 24);
}

// The root through which every processor is reached. Operations are virtual
// in this order. A root may be used from several threads at once for
// different processors; one processor is driven by one thread at a time
// (its automat's lock sees to that).
class kelDspLibAbstract
{
public:
    virtual ~kelDspLibAbstract() = default;

    // A new processor of `type` (kelDspType); 0 for any other number.
    virtual kelDspHandle createObject(int32_t type) noexcept = 0;
    // Frees the processor; false for an unknown handle.
    virtual bool destroyObject(kelDspHandle obj) noexcept = 0;
    // Runs the first `numSamples` samples of the processor's chunks. False
    // when its inputs are inconsistent (the output is left untouched).
    virtual bool process(kelDspHandle obj, intptr_t numSamples) noexcept = 0;
    virtual bool seti(kelDspHandle obj, uint32_t id, int64_t value) noexcept = 0;
    virtual bool setf(kelDspHandle obj, uint32_t id, float value) noexcept = 0;
    // Input and output chunks keep the caller's pointer (it must outlive its
    // use); every other chunk is copied.
    virtual bool setc(kelDspHandle obj, uint32_t id, float* samples, intptr_t count) noexcept = 0;
    // Unset parameters read as 0, 0.0 and an empty chunk; false only for an
    // unknown handle.
    virtual bool geti(kelDspHandle obj, uint32_t id, int64_t& value) noexcept = 0;
    virtual bool getf(kelDspHandle obj, uint32_t id, float& value) noexcept = 0;
    virtual bool getc(kelDspHandle obj, uint32_t id, float*& samples, intptr_t& count) noexcept = 0;
    // The processor's type number; 0 for an unknown handle.
    virtual int32_t getID(kelDspHandle obj) noexcept = 0;
    virtual bool isseti(kelDspHandle obj, uint32_t id) noexcept = 0;
    virtual bool issetf(kelDspHandle obj, uint32_t id) noexcept = 0;
    virtual bool issetc(kelDspHandle obj, uint32_t id) noexcept = 0;
};
