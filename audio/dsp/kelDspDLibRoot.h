#pragma once
// kelDspDLibRoot: the root that makes the library's processors and forwards
// every call to the processor behind a handle. It remembers the processors
// it made, so a handle it did not make (or already freed) fails the call.
// Thread-safe for different processors; see kelDspLibAbstract.

#include "audio/dsp/kelDspLibH.h"

#include <mutex>
#include <set>

class kelDspDProcessor;

class kelDspDLibRoot : public kelDspLibAbstract
{
public:
    kelDspDLibRoot() = default;
    ~kelDspDLibRoot() override;
    kelDspDLibRoot(const kelDspDLibRoot&) = delete;
    kelDspDLibRoot& operator=(const kelDspDLibRoot&) = delete;

    kelDspHandle createObject(int32_t type) noexcept override;
    bool destroyObject(kelDspHandle obj) noexcept override;
    bool process(kelDspHandle obj, intptr_t numSamples) noexcept override;
    bool seti(kelDspHandle obj, uint32_t id, int64_t value) noexcept override;
    bool setf(kelDspHandle obj, uint32_t id, float value) noexcept override;
    bool setc(kelDspHandle obj, uint32_t id, float* samples, intptr_t count) noexcept override;
    bool geti(kelDspHandle obj, uint32_t id, int64_t& value) noexcept override;
    bool getf(kelDspHandle obj, uint32_t id, float& value) noexcept override;
    bool getc(kelDspHandle obj, uint32_t id, float*& samples, intptr_t& count) noexcept override;
    int32_t getID(kelDspHandle obj) noexcept override;
    bool isseti(kelDspHandle obj, uint32_t id) noexcept override;
    bool issetf(kelDspHandle obj, uint32_t id) noexcept override;
    bool issetc(kelDspHandle obj, uint32_t id) noexcept override;

    // The number of live processors.
    size_t objectCount() const noexcept;

private:
    kelDspDProcessor* find(kelDspHandle obj) const noexcept;

    mutable std::mutex f_guard;
    std::set<kelDspHandle> f_objects;
};

// The name of a processor type ("2 Band Parametric Equalizer", ...); empty
// for an unknown type.
const char* kelDspTypeName(int32_t type) noexcept;
