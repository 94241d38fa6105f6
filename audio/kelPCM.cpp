#include "audio/kelPCM.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int64_t int32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t int32Max = std::numeric_limits<int32_t>::max();
constexpr double fullScale = 2147483648.0; // 2^31

int32_t clip32(int64_t value) noexcept
{
    return static_cast<int32_t>(std::clamp(value, int32Min, int32Max));
}

int32_t widenFloat(float sample) noexcept
{
    const double scaled = static_cast<double>(sample) * fullScale;
    if (std::isnan(scaled)) return 0;
    return static_cast<int32_t>(std::clamp(scaled, double(int32Min), double(int32Max)));
}

// Integer samples of one size, in their own range: the fast paths work
// there, which gives the same results as the widened scale (the widening is
// a shift, so clipping and truncation land on the same values).
template <int Bytes> struct kelIntSample
{
    static constexpr int64_t low = -(int64_t{1} << (Bytes * 8 - 1));
    static constexpr int64_t high = (int64_t{1} << (Bytes * 8 - 1)) - 1;

    static int32_t load(const uint8_t* p) noexcept
    {
        if constexpr (Bytes == 1) {
            return int32_t{p[0]} - 128;
        } else if constexpr (Bytes == 2) {
            int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        } else if constexpr (Bytes == 3) {
            const uint32_t u = uint32_t{p[0]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 24;
            return static_cast<int32_t>(u) >> 8;
        } else {
            int32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }

    // `value` is already within low .. high.
    static void store(uint8_t* p, int64_t value) noexcept
    {
        if constexpr (Bytes == 1) {
            p[0] = static_cast<uint8_t>(value + 128);
        } else if constexpr (Bytes == 2) {
            const int16_t v = static_cast<int16_t>(value);
            std::memcpy(p, &v, 2);
        } else if constexpr (Bytes == 3) {
            const uint32_t u = static_cast<uint32_t>(value);
            p[0] = static_cast<uint8_t>(u);
            p[1] = static_cast<uint8_t>(u >> 8);
            p[2] = static_cast<uint8_t>(u >> 16);
        } else {
            const int32_t v = static_cast<int32_t>(value);
            std::memcpy(p, &v, 4);
        }
    }
};

template <int Bytes>
void mixSameSize(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, bool add) noexcept
{
    using S = kelIntSample<Bytes>;
    if (add) {
        for (size_t i = 0; i < count; ++i) {
            const int64_t sum = int64_t{S::load(a + i * Bytes)} + S::load(b + i * Bytes);
            S::store(out + i * Bytes, std::clamp(sum, S::low, S::high));
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            const int64_t diff = int64_t{S::load(a + i * Bytes)} - S::load(b + i * Bytes);
            S::store(out + i * Bytes, std::clamp(diff, S::low, S::high));
        }
    }
}

template <int Bytes> void gainSameSize(double percent, uint8_t* data, size_t count, size_t stride) noexcept
{
    using S = kelIntSample<Bytes>;
    const size_t step = stride * Bytes;
    for (size_t i = 0; i < count; ++i, data += step) {
        const double scaled = percent * S::load(data) / 100.0;
        S::store(data, static_cast<int64_t>(std::clamp(scaled, double(S::low), double(S::high))));
    }
}

// Bytes skipped after a sample of one channel to reach its next frame.
size_t otherChannelsBytes(uintptr_t bits, size_t channels) noexcept
{
    return pcmContainerBits(bits) * (channels - 1) / 8;
}

} // namespace

int32_t readSample(uintptr_t bits, const uint8_t*& position) noexcept
{
    int32_t value = 0;
    switch (bits) {
    case 8:
        value = kelIntSample<1>::load(position) << 24;
        break;
    case 16:
        value = static_cast<int32_t>(static_cast<uint32_t>(kelIntSample<2>::load(position)) << 16);
        break;
    case 24:
        value = static_cast<int32_t>(static_cast<uint32_t>(kelIntSample<3>::load(position)) << 8);
        break;
    case 32:
        value = kelIntSample<4>::load(position);
        break;
    case kelPCMBitsFloat32: {
        float f;
        std::memcpy(&f, position, 4);
        value = widenFloat(f);
        break;
    }
    default:
        return 0;
    }
    position += pcmSampleBytes(bits);
    return value;
}

void writeSample(uintptr_t bits, int64_t value, uint8_t*& position) noexcept
{
    const int64_t clipped = clip32(value);
    switch (bits) {
    case 8:
        kelIntSample<1>::store(position, clipped / (int64_t{1} << 24));
        break;
    case 16:
        kelIntSample<2>::store(position, clipped / (int64_t{1} << 16));
        break;
    case 24:
        kelIntSample<3>::store(position, clipped / (int64_t{1} << 8));
        break;
    case 32:
        kelIntSample<4>::store(position, clipped);
        break;
    case kelPCMBitsFloat32: {
        const float f = static_cast<float>(static_cast<double>(clipped) / fullScale);
        std::memcpy(position, &f, 4);
        break;
    }
    default:
        return;
    }
    position += pcmSampleBytes(bits);
}

size_t mixPcm(const void* a, const void* b, void* out, size_t samples, uintptr_t bitsA, uintptr_t bitsB,
              uintptr_t bitsOut, bool add, size_t channels) noexcept
{
    if (a == nullptr || b == nullptr || out == nullptr) return 0;
    const size_t count = samples * channels;
    if (count == 0 || bitsA < 8 || bitsB < 8 || bitsOut < 8) return 0;
    const auto* pa = static_cast<const uint8_t*>(a);
    const auto* pb = static_cast<const uint8_t*>(b);
    auto* po = static_cast<uint8_t*>(out);
    if (bitsA == bitsB && bitsA == bitsOut) {
        switch (bitsA) {
        case 8:
            mixSameSize<1>(pa, pb, po, count, add);
            return count;
        case 16:
            mixSameSize<2>(pa, pb, po, count, add);
            return count;
        case 24:
            mixSameSize<3>(pa, pb, po, count, add);
            return count;
        case 32:
            mixSameSize<4>(pa, pb, po, count, add);
            return count;
        default:
            break;
        }
    }
    // Mixing in place into wider samples would overwrite input not yet read
    // when walking forward; from the end, every write lands on input already used.
    const size_t sizeA = pcmSampleBytes(bitsA), sizeB = pcmSampleBytes(bitsB),
                 sizeOut = pcmSampleBytes(bitsOut);
    if ((out == a && sizeOut > sizeA) || (out == b && sizeOut > sizeB)) {
        for (size_t i = count; i-- > 0;) {
            const uint8_t* ra = pa + i * sizeA;
            const uint8_t* rb = pb + i * sizeB;
            uint8_t* wo = po + i * sizeOut;
            const int64_t x = readSample(bitsA, ra);
            const int64_t y = readSample(bitsB, rb);
            writeSample(bitsOut, add ? x + y : x - y, wo);
        }
        return count;
    }
    for (size_t i = 0; i < count; ++i) {
        const int64_t x = readSample(bitsA, pa);
        const int64_t y = readSample(bitsB, pb);
        writeSample(bitsOut, add ? x + y : x - y, po);
    }
    return count;
}

uint32_t channelVolume(const void* data, size_t samples, uintptr_t bits, size_t channels, size_t channel,
                       bool delta) noexcept
{
    if (data == nullptr || bits < 8 || samples == 0 || channels == 0 || channel >= channels) return 0;
    if (pcmSampleBytes(bits) == 0) return 0; // every sample would read as 0
    const auto* p = static_cast<const uint8_t*>(data) + pcmContainerBits(bits) * channel / 8;
    const size_t skip = otherChannelsBytes(bits, channels);
    const double count = static_cast<double>(samples);
    double sum = 0;
    int64_t previous = 0;
    for (size_t i = 0; i < samples; ++i) {
        // Widened to 64 bits first: the magnitude of the most negative sample
        // does not fit in 32.
        const int64_t x = readSample(bits, p);
        const int64_t term = delta ? std::llabs(previous - x) : std::llabs(x);
        previous = term;
        sum += static_cast<double>(term) / count;
        p += skip;
    }
    // Delta terms build on each other, so a long block can pass the 32-bit range.
    return static_cast<uint32_t>(std::min(sum / 32768.0, double(std::numeric_limits<uint32_t>::max())));
}

int logVolume300(int64_t level) noexcept
{
    if (level <= 0) return 0;
    if (level >= 32768) return 300;
    return static_cast<int>(std::sqrt(static_cast<double>(level)) * 1.6573068070938);
}

int logVolume100(int64_t level) noexcept
{
    return logVolume300(level) / 3;
}

size_t extractChannel(const void* src, void* dst, size_t samples, uintptr_t bits, size_t channels,
                      size_t channel) noexcept
{
    if (src == nullptr || dst == nullptr || bits < 8 || channels == 0 || samples == 0 || channel >= channels)
        return 0;
    if (pcmSampleBytes(bits) == 0) return samples;
    const auto* in = static_cast<const uint8_t*>(src) + pcmContainerBits(bits) * channel / 8;
    auto* out = static_cast<uint8_t*>(dst);
    const size_t skip = otherChannelsBytes(bits, channels);
    for (size_t i = 0; i < samples; ++i) {
        writeSample(bits, readSample(bits, in), out);
        in += skip;
    }
    return samples;
}

size_t insertChannel(void* dst, const void* src, size_t samples, uintptr_t bits, size_t channels,
                     size_t channel) noexcept
{
    if (src == nullptr || dst == nullptr || bits < 8 || channels == 0 || samples == 0 || channel >= channels)
        return 0;
    if (pcmSampleBytes(bits) == 0) return samples;
    const auto* in = static_cast<const uint8_t*>(src);
    auto* out = static_cast<uint8_t*>(dst) + pcmContainerBits(bits) * channel / 8;
    const size_t skip = otherChannelsBytes(bits, channels);
    for (size_t i = 0; i < samples; ++i) {
        writeSample(bits, readSample(bits, in), out);
        out += skip;
    }
    return samples;
}

size_t applyGain(intptr_t percent, void* data, size_t samples, uintptr_t bits, size_t channels,
                 intptr_t channel) noexcept
{
    if (data == nullptr || samples == 0 || bits == 0 || channels == 0) return 0;
    if (channel >= 0 && static_cast<size_t>(channel) >= channels) return 0;
    if (percent == 100 || pcmSampleBytes(bits) == 0) return samples;
    auto* p = static_cast<uint8_t*>(data);
    size_t stride = 1;
    if (channel >= 0) {
        p += pcmContainerBits(bits) * static_cast<size_t>(channel) / 8;
        stride = channels;
    }
    const double factor = static_cast<double>(percent);
    switch (bits) {
    case 8:
        gainSameSize<1>(factor, p, samples, stride);
        return samples;
    case 16:
        gainSameSize<2>(factor, p, samples, stride);
        return samples;
    case 24:
        gainSameSize<3>(factor, p, samples, stride);
        return samples;
    case 32:
        gainSameSize<4>(factor, p, samples, stride);
        return samples;
    default:
        break;
    }
    const size_t skip = stride > 1 ? otherChannelsBytes(bits, channels) : 0;
    for (size_t i = 0; i < samples; ++i) {
        const uint8_t* in = p;
        const double scaled = factor * readSample(bits, in) / 100.0;
        writeSample(bits, static_cast<int64_t>(std::clamp(scaled, double(int32Min), double(int32Max))), p);
        p += skip;
    }
    return samples;
}

namespace {

// 2^36 frames: beyond the memory of the machines this runs on for any sample size.
constexpr uint64_t maxConvertedFrames = uint64_t{1} << 36;

__extension__ typedef unsigned __int128 kelU128;

// Output frame j repeats source frame floor(j × srcRate / dstRate), so
// ceil(frames × dstRate / srcRate) frames come out. The walk is exact:
// adding up srcRate / dstRate in floating point drifts and, for rates as
// common as 96000 to 44100, gives one frame more than that count, overrunning
// a destination sized by it. Returns the output frames, or 0 when the
// arguments fail the guards.
size_t convertedFrames(size_t frames, size_t srcChannels, size_t dstChannels, uintptr_t srcBits,
                       uintptr_t dstBits, uintptr_t srcRate, uintptr_t dstRate) noexcept
{
    if (srcBits < 8 || dstBits < 8 || frames == 0 || srcChannels == 0 || dstChannels == 0 || srcRate == 0 ||
        dstRate == 0)
        return 0;
    if (dstChannels / srcChannels == 0) return 0;
    const kelU128 outFrames = (kelU128{frames} * dstRate + srcRate - 1) / srcRate;
    // Rates from a crafted record can ask for more frames than any buffer
    // holds; the walk would run for hours before the caller could find out.
    if (outFrames > maxConvertedFrames) return 0;
    return static_cast<size_t>(outFrames);
}

// Calls `write(i)` for each output frame with the source frame i it repeats,
// stepping i by srcRate / dstRate with an exact remainder.
template <typename Write>
void walkConversion(size_t outFrames, uintptr_t srcRate, uintptr_t dstRate, Write&& write) noexcept
{
    const uintptr_t whole = srcRate / dstRate;
    const uintptr_t rest = srcRate % dstRate;
    size_t frame = 0;
    uintptr_t remainder = 0; // below dstRate
    for (size_t j = 0; j < outFrames; ++j) {
        write(frame);
        frame += whole;
        if (remainder >= dstRate - rest) {
            remainder -= dstRate - rest;
            ++frame;
        } else {
            remainder += rest;
        }
    }
}

template <size_t FrameBytes>
void copyWholeFrames(const uint8_t* in, uint8_t* out, size_t outFrames, uintptr_t srcRate,
                     uintptr_t dstRate) noexcept
{
    walkConversion(outFrames, srcRate, dstRate, [&](size_t frame) {
        std::memcpy(out, in + frame * FrameBytes, FrameBytes);
        out += FrameBytes;
    });
}

// One source sample written `repeat` times, when both sides share a size:
// the bytes are copied as they are.
template <int Bytes>
void copyFrames(const uint8_t* in, uint8_t* out, size_t outFrames, size_t channels, size_t repeat,
                uintptr_t srcRate, uintptr_t dstRate) noexcept
{
    const size_t frameBytes = channels * Bytes;
    if (repeat == 1) {
        // Fixed-size copies, which the compiler turns into plain moves; whole
        // frames at once for the common small ones (mono and stereo).
        switch (frameBytes) {
        case 2:
            copyWholeFrames<2>(in, out, outFrames, srcRate, dstRate);
            return;
        case 4:
            copyWholeFrames<4>(in, out, outFrames, srcRate, dstRate);
            return;
        case 8:
            copyWholeFrames<8>(in, out, outFrames, srcRate, dstRate);
            return;
        default:
            break;
        }
        walkConversion(outFrames, srcRate, dstRate, [&](size_t frame) {
            const uint8_t* sample = in + frame * frameBytes;
            for (size_t c = 0; c < channels; ++c, sample += Bytes, out += Bytes)
                std::memcpy(out, sample, Bytes);
        });
        return;
    }
    walkConversion(outFrames, srcRate, dstRate, [&](size_t frame) {
        const uint8_t* sample = in + frame * frameBytes;
        for (size_t c = 0; c < channels; ++c, sample += Bytes)
            for (size_t k = 0; k < repeat; ++k, out += Bytes)
                std::memcpy(out, sample, Bytes);
    });
}

bool sameLayout(size_t srcChannels, size_t dstChannels, uintptr_t srcBits, uintptr_t dstBits,
                uintptr_t srcRate, uintptr_t dstRate) noexcept
{
    return srcChannels == dstChannels && srcBits == dstBits && srcRate == dstRate;
}

} // namespace

size_t convertPcm(const void* src, void* dst, size_t frames, size_t srcChannels, size_t dstChannels,
                  uintptr_t srcBits, uintptr_t dstBits, uintptr_t srcRate, uintptr_t dstRate) noexcept
{
    if (src == nullptr || dst == nullptr) return 0;
    if (srcBits < 8 || dstBits < 8 || frames == 0 || srcChannels == 0 || dstChannels == 0 || srcRate == 0 ||
        dstRate == 0)
        return 0;
    if (sameLayout(srcChannels, dstChannels, srcBits, dstBits, srcRate, dstRate)) {
        const size_t bytes = frames * srcChannels * pcmContainerBits(srcBits) / 8;
        if (src != dst) std::memmove(dst, src, bytes);
        return bytes;
    }
    const size_t outFrames =
        convertedFrames(frames, srcChannels, dstChannels, srcBits, dstBits, srcRate, dstRate);
    if (outFrames == 0) return 0;
    const auto* in = static_cast<const uint8_t*>(src);
    auto* out = static_cast<uint8_t*>(dst);
    const size_t repeat = dstChannels / srcChannels;
    const size_t outBytes = outFrames * repeat * srcChannels * (pcmContainerBits(dstBits) / 8);
    if (srcBits == dstBits) {
        switch (pcmSampleBytes(srcBits)) {
        case 1:
            copyFrames<1>(in, out, outFrames, srcChannels, repeat, srcRate, dstRate);
            return outBytes;
        case 2:
            copyFrames<2>(in, out, outFrames, srcChannels, repeat, srcRate, dstRate);
            return outBytes;
        case 3:
            copyFrames<3>(in, out, outFrames, srcChannels, repeat, srcRate, dstRate);
            return outBytes;
        case 4:
            copyFrames<4>(in, out, outFrames, srcChannels, repeat, srcRate, dstRate);
            return outBytes;
        default:
            break;
        }
    }
    const size_t srcFrameBytes = srcChannels * pcmContainerBits(srcBits) / 8;
    walkConversion(outFrames, srcRate, dstRate, [&](size_t frame) {
        const uint8_t* sample = in + frame * srcFrameBytes;
        for (size_t c = 0; c < srcChannels; ++c) {
            const int32_t value = readSample(srcBits, sample);
            for (size_t k = 0; k < repeat; ++k)
                writeSample(dstBits, value, out);
        }
    });
    return outBytes;
}

size_t convertPcmSize(size_t frames, size_t srcChannels, size_t dstChannels, uintptr_t srcBits,
                      uintptr_t dstBits, uintptr_t srcRate, uintptr_t dstRate) noexcept
{
    if (srcBits < 8 || dstBits < 8 || frames == 0 || srcChannels == 0 || dstChannels == 0 || srcRate == 0 ||
        dstRate == 0)
        return 0;
    if (sameLayout(srcChannels, dstChannels, srcBits, dstBits, srcRate, dstRate))
        return frames * srcChannels * pcmContainerBits(srcBits) / 8;
    const size_t outFrames =
        convertedFrames(frames, srcChannels, dstChannels, srcBits, dstBits, srcRate, dstRate);
    return outFrames * (dstChannels / srcChannels) * srcChannels * (pcmContainerBits(dstBits) / 8);
}
