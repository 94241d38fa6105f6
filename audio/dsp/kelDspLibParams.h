#pragma once
// kelDspLibParams: the parameter records of one processor, keyed by full
// identifier (kind bits included), owning them. A record holds an integer, a
// float, or a chunk: input and output chunks keep the caller's pointer,
// every other chunk keeps its own copy of the samples. Used by the owning
// processor's thread only.

#include "audio/dsp/kelDspLibH.h"

#include <cstdint>
#include <map>
#include <vector>

struct kelDspParamRecord
{
    uint32_t r_id = 0;
    int64_t r_int = 0;
    float r_float = 0.0f;
    float* r_samples = nullptr;
    intptr_t r_count = 0;
    std::vector<float> r_own; // the copy behind r_samples for copied chunks
};

class kelDspLibParams
{
public:
    void seti(uint32_t id, int64_t value);
    void setf(uint32_t id, float value);
    // Negative counts store an empty chunk.
    void setc(uint32_t id, float* samples, intptr_t count);

    int64_t geti(uint32_t id) const noexcept;
    float getf(uint32_t id) const noexcept;
    // The chunk's samples and count; null and 0 when unset.
    float* getc(uint32_t id, intptr_t& count) const noexcept;

    bool isseti(uint32_t id) const noexcept { return find(id, c_dspKind_int) != nullptr; }
    bool issetf(uint32_t id) const noexcept { return find(id, c_dspKind_float) != nullptr; }
    bool issetc(uint32_t id) const noexcept { return find(id, c_dspKind_chunk) != nullptr; }

    // Input and output chunks (any index) are connections, not values: the
    // record points at the caller's buffer.
    static bool isConnection(uint32_t id) noexcept;

private:
    const kelDspParamRecord* find(uint32_t id, uint32_t kind) const noexcept;
    kelDspParamRecord& record(uint32_t id, uint32_t kind);

    std::map<uint32_t, kelDspParamRecord> f_records;
};
