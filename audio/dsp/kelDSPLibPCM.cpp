#include "audio/dsp/kelDSPLibPCM.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

template <class T> T load(const uint8_t* p) noexcept
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T> void store(uint8_t* p, T v) noexcept
{
    std::memcpy(p, &v, sizeof v);
}

// truncate(x * scale + offset), held inside lo..hi.
int64_t scaled(float x, double scale, double offset, int64_t lo, int64_t hi) noexcept
{
    double v = std::isnan(x) ? 0.0 : std::clamp(static_cast<double>(x), -1.0, 1.0);
    v = std::trunc(v * scale + offset);
    return std::clamp(static_cast<int64_t>(v), lo, hi);
}

} // namespace

int kelDspPcmContainerBytes(int bits) noexcept
{
    switch (bits) {
    case 8:
        return 1;
    case 16:
        return 2;
    case 24:
    case 32:
        return 4;
    default:
        return 0;
    }
}

void kelDspPcmToFloat(const uint8_t* data, int bits, int channels, int channel, intptr_t n,
                      float* out) noexcept
{
    const int size = kelDspPcmContainerBytes(bits);
    const size_t stride = static_cast<size_t>(size) * static_cast<size_t>(channels);
    const uint8_t* p = data + static_cast<size_t>(size) * static_cast<size_t>(channel);
    for (intptr_t i = 0; i < n; ++i, p += stride) {
        switch (bits) {
        case 8:
            out[i] = static_cast<float>((static_cast<int>(*p) - 128) / 255.0);
            break;
        case 16:
            out[i] = static_cast<float>(load<int16_t>(p) / 32767.0);
            break;
        case 24: {
            // Sign-extend the low three bytes of the container.
            const uint32_t raw = load<uint32_t>(p) & 0x00FFFFFFu;
            const int32_t v = static_cast<int32_t>(raw << 8) >> 8;
            out[i] = static_cast<float>(v / 8388607.0);
            break;
        }
        default:
            out[i] = load<float>(p);
            break;
        }
    }
}

void kelDspFloatToPcm(const float* in, int bits, int channels, int channel, intptr_t n,
                      uint8_t* data) noexcept
{
    const int size = kelDspPcmContainerBytes(bits);
    const size_t stride = static_cast<size_t>(size) * static_cast<size_t>(channels);
    uint8_t* p = data + static_cast<size_t>(size) * static_cast<size_t>(channel);
    for (intptr_t i = 0; i < n; ++i, p += stride) {
        switch (bits) {
        case 8:
            *p = static_cast<uint8_t>(scaled(in[i], 255.0, 128.0, 0, 255));
            break;
        case 16:
            store(p, static_cast<int16_t>(scaled(in[i], 32767.0, 0.0, -32768, 32767)));
            break;
        case 24:
            store(p, static_cast<int32_t>(scaled(in[i], 8388607.0, 0.0, -8388608, 8388607)));
            break;
        default:
            store(p, in[i]);
            break;
        }
    }
}
