#include "audio/dsp/kelDspDProcessor.h"

#include <algorithm>
#include <climits>
#include <cmath>

bool kelDspDProcessor::seti(uint32_t id, int64_t value) noexcept
{
    try {
        f_params.seti(id, value);
    } catch (...) {
        return false;
    }
    f_modified = true;
    return true;
}

bool kelDspDProcessor::setf(uint32_t id, float value) noexcept
{
    try {
        f_params.setf(id, value);
    } catch (...) {
        return false;
    }
    f_modified = true;
    return true;
}

bool kelDspDProcessor::setc(uint32_t id, float* samples, intptr_t count) noexcept
{
    try {
        f_params.setc(id, samples, count);
    } catch (...) {
        return false;
    }
    f_modified = true;
    return true;
}

bool kelDspDProcessor::process(intptr_t numSamples) noexcept
{
    if (numSamples < 0) return false;
    bool ok = false;
    try {
        ok = doProcess(numSamples);
    } catch (...) {
        ok = false; // out of memory for a buffer: the block is not processed
    }
    if (ok) f_modified = false;
    return ok;
}

int32_t kelDspDProcessor::whole(uint32_t id, int32_t def) const noexcept
{
    const double v = num(id, def);
    if (!std::isfinite(v)) return def;
    return static_cast<int32_t>(std::clamp(v, double(INT32_MIN), double(INT32_MAX)));
}

double kelDspDProcessor::num(uint32_t id, double def) const noexcept
{
    if (f_params.issetf(id)) return f_params.getf(id);
    if (f_params.isseti(id)) return static_cast<double>(f_params.geti(id));
    return def;
}
