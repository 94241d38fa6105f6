#include "audio/dsp/kelDspLibParams.h"

#include <algorithm>

bool kelDspLibParams::isConnection(uint32_t id) noexcept
{
    const uint32_t code = id & 0x00FFFF00u;
    return code == c_dspParam_input || code == c_dspParam_output;
}

const kelDspParamRecord* kelDspLibParams::find(uint32_t id, uint32_t kind) const noexcept
{
    const auto it = f_records.find(kelDspFullId(id, kind));
    return it == f_records.end() ? nullptr : &it->second;
}

kelDspParamRecord& kelDspLibParams::record(uint32_t id, uint32_t kind)
{
    const uint32_t full = kelDspFullId(id, kind);
    kelDspParamRecord& r = f_records[full];
    r.r_id = full;
    return r;
}

void kelDspLibParams::seti(uint32_t id, int64_t value)
{
    record(id, c_dspKind_int).r_int = value;
}

void kelDspLibParams::setf(uint32_t id, float value)
{
    record(id, c_dspKind_float).r_float = value;
}

void kelDspLibParams::setc(uint32_t id, float* samples, intptr_t count)
{
    kelDspParamRecord& r = record(id, c_dspKind_chunk);
    if (count < 0 || (!samples && count > 0)) count = 0;
    r.r_count = count;
    if (isConnection(id)) {
        r.r_own.clear();
        r.r_samples = samples;
        return;
    }
    r.r_own.resize(static_cast<size_t>(count));
    if (count > 0) std::copy(samples, samples + count, r.r_own.begin());
    r.r_samples = r.r_own.data();
}

int64_t kelDspLibParams::geti(uint32_t id) const noexcept
{
    const kelDspParamRecord* r = find(id, c_dspKind_int);
    return r ? r->r_int : 0;
}

float kelDspLibParams::getf(uint32_t id) const noexcept
{
    const kelDspParamRecord* r = find(id, c_dspKind_float);
    return r ? r->r_float : 0.0f;
}

float* kelDspLibParams::getc(uint32_t id, intptr_t& count) const noexcept
{
    const kelDspParamRecord* r = find(id, c_dspKind_chunk);
    count = r ? r->r_count : 0;
    return r && r->r_count > 0 ? r->r_samples : nullptr;
}
