#pragma once
// kelDspDProcessor: the base of every DSP processor. Holds the type number,
// the parameter records and the modified flag (set by construction and by
// every parameter change, cleared after a successful process call, so a
// processor recomputes its settings only when something changed).
// A processor is driven by one thread at a time.

#include "audio/dsp/kelDspLibParams.h"
#include "core/kelObject.h"

#include <cstdint>

class kelDspDProcessor : public kelObject
{
public:
    explicit kelDspDProcessor(int32_t typeId) noexcept : f_id(typeId) {}

    int32_t getID() const noexcept { return f_id; }

    bool seti(uint32_t id, int64_t value) noexcept;
    bool setf(uint32_t id, float value) noexcept;
    bool setc(uint32_t id, float* samples, intptr_t count) noexcept;
    int64_t geti(uint32_t id) const noexcept { return f_params.geti(id); }
    float getf(uint32_t id) const noexcept { return f_params.getf(id); }
    float* getc(uint32_t id, intptr_t& count) const noexcept { return f_params.getc(id, count); }
    bool isseti(uint32_t id) const noexcept { return f_params.isseti(id); }
    bool issetf(uint32_t id) const noexcept { return f_params.issetf(id); }
    bool issetc(uint32_t id) const noexcept { return f_params.issetc(id); }

    // Runs the first `numSamples` samples; false (output untouched) when the
    // chunks or settings are inconsistent.
    bool process(intptr_t numSamples) noexcept;

    bool modified() const noexcept { return f_modified; }

protected:
    virtual bool doProcess(intptr_t numSamples) = 0;

    // A numeric setting: the float when set, else the integer, else `def`.
    double num(uint32_t id, double def) const noexcept;
    // The same as a whole number (a kind, a count): cut toward zero and held
    // within 32 bits, `def` when the setting is not a finite number. A saved
    // chain may hold any value here.
    int32_t whole(uint32_t id, int32_t def) const noexcept;
    // Stores a result without marking the processor modified.
    void putResulti(uint32_t id, int64_t value) { f_params.seti(id, value); }
    void putResultf(uint32_t id, float value) { f_params.setf(id, value); }

    int32_t f_id;
    kelDspLibParams f_params;
    bool f_modified = true;
};
