#include "audio/kelWaveMixerDevice.h"

#include "audio/kelPCM.h"
#include "core/kelEvent.h"
#include "core/kelMemoryStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr intptr_t kStreamLockTimeout = 1000;
constexpr intptr_t kNewStreamLockTimeout = 100;

// 16-bit samples, the common case, go through vector operations where the
// processor has them (a saturating add is one instruction for eight
// samples); they give what mixPcm and channelVolume give.
int16_t load16(const uint8_t* p) noexcept
{
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

int16_t clip16(int32_t v) noexcept
{
    return int16_t(std::clamp<int32_t>(v, -32768, 32767));
}

#if defined(__SSE2__)
int64_t sumLanes(__m128i lanes) noexcept
{
    alignas(16) uint32_t parts[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(parts), lanes);
    return int64_t(parts[0]) + parts[1] + parts[2] + parts[3];
}
#endif

// The sum of the magnitudes of channel 0 of `frames` frames of C channels
// (1 or 2) of `src`, and, with a `dst`, dst = dst + src clipped, in one
// pass.
template <size_t C> int64_t measureAndAdd16(const uint8_t* src, uint8_t* dst, size_t frames) noexcept
{
    const size_t count = frames * C;
    int64_t total = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Eight samples a step; a magnitude is at most 32768, so the 32-bit
    // lanes are emptied into the total before they could overflow.
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstOfPair = _mm_set1_epi32(0xFFFF);
    __m128i lanes = zero;
    size_t steps = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        if (dst != nullptr) {
            auto* at = reinterpret_cast<__m128i*>(dst + 2 * i);
            _mm_storeu_si128(at, _mm_adds_epi16(_mm_loadu_si128(at), v));
        }
        // |v| as unsigned 16-bit (the magnitude of -32768 is 0x8000).
        const __m128i magnitude = _mm_max_epi16(v, _mm_sub_epi16(zero, v));
        if constexpr (C == 1)
            lanes = _mm_add_epi32(lanes, _mm_add_epi32(_mm_unpacklo_epi16(magnitude, zero),
                                                       _mm_unpackhi_epi16(magnitude, zero)));
        else
            lanes = _mm_add_epi32(lanes, _mm_and_si128(magnitude, firstOfPair));
        if (++steps == 16384) {
            total += sumLanes(lanes);
            lanes = zero;
            steps = 0;
        }
    }
    total += sumLanes(lanes);
#endif
    for (; i < count; ++i) {
        const int16_t v = load16(src + 2 * i);
        if (i % C == 0) total += std::abs(int32_t(v));
        if (dst != nullptr) {
            const int16_t sum = clip16(int32_t(load16(dst + 2 * i)) + v);
            std::memcpy(dst + 2 * i, &sum, 2);
        }
    }
    return total;
}

// The level of channel 0 of a 16-bit block (0 .. 100), measured as
// channelVolume does: the mean magnitude on the 32-bit scale over 32768,
// which for 16-bit samples is twice their mean magnitude.
uintptr_t level16(int64_t magnitudes, size_t frames) noexcept
{
    return uintptr_t(logVolume100(int64_t(double(magnitudes) * 2.0 / double(frames))));
}

} // namespace

kelWaveMultiStreamDevice::kelWaveMultiStreamDevice(bool realTime, bool autoAddSilence, uintptr_t overNum)
    : kelWaveSoftwareDevice(realTime, true, overNum), f_autoAddSilence(autoAddSilence)
{}

kelWaveMultiStreamDevice::~kelWaveMultiStreamDevice() = default;

kelAbstractStream* kelWaveMultiStreamDevice::addStream(kelAbstractStream* stream)
{
    kelOwned<kelAbstractStream> made;
    if (stream == nullptr) {
        auto* memory = kelCreate<kelMemoryStream>(kNewStreamLockTimeout);
        if (memory == nullptr) return nullptr;
        memory->setMaxSize(intptr_t(overNumIn() * chunkSize()));
        made.reset(memory);
        stream = memory;
    }
    PendingChange pending(*this);
    kelLock lock(this, false, kStreamLockTimeout);
    if (!lock) return nullptr;
    try {
        f_streams.emplace_back(made ? std::move(made) : kelOwned<kelAbstractStream>(stream));
    } catch (...) {
        return nullptr;
    }
    return stream;
}

bool kelWaveMultiStreamDevice::removeStream(kelAbstractStream* stream)
{
    kelOwned<kelAbstractStream> gone;
    {
        PendingChange pending(*this);
        kelLock lock(this, false, kStreamLockTimeout);
        if (!lock || stream == nullptr) return false;
        const auto it = std::find_if(f_streams.begin(), f_streams.end(),
                                     [stream](const auto& owned) { return owned.get() == stream; });
        if (it == f_streams.end()) return false;
        gone = std::move(*it);
        const auto index = size_t(it - f_streams.begin());
        f_streams.erase(it);
        streamRemoved(index);
    }
    return true; // freed here, outside the lock
}

void kelWaveMultiStreamDevice::streamRemoved(size_t /*index*/) {}

kelAbstractStream* kelWaveMultiStreamDevice::getStream(intptr_t index)
{
    kelLock lock(this, true, kStreamLockTimeout);
    if (!lock || index < 0 || size_t(index) >= f_streams.size()) return nullptr;
    return f_streams[size_t(index)].get();
}

intptr_t kelWaveMultiStreamDevice::getStreamCount()
{
    kelLock lock(this, true, kStreamLockTimeout);
    return lock ? intptr_t(f_streams.size()) : 0;
}

void kelWaveMultiStreamDevice::doStream(size_t, kelAbstractStream*) {}

void kelWaveMultiStreamDevice::doStreams()
{
    kelLock lock(this, false, kStreamLockTimeout);
    if (!lock) return;
    for (size_t k = 0; k < f_streams.size(); ++k)
        doStream(k, f_streams[k].get());
}

// The mixer.

kelWaveMixerDevice::kelWaveMixerDevice(bool realTime, bool autoAddSilence, uintptr_t overNum)
    : kelWaveMultiStreamDevice(realTime, autoAddSilence, overNum)
{}

int64_t kelWaveMixerDevice::getOOB(size_t index) const noexcept
{
    return index < kStreamSlots ? f_oob[index].load() : 0;
}

uintptr_t kelWaveMixerDevice::getSVolume(size_t index) const noexcept
{
    return index < kStreamSlots ? f_svol[index].load() : 0;
}

uint32_t kelWaveMixerDevice::afterOpen()
{
    for (size_t k = 0; k < kStreamSlots; ++k) {
        f_oob[k].store(0);
        f_oobHadSome[k].store(false);
    }
    return kelWaveMultiStreamDevice::afterOpen();
}

void kelWaveMixerDevice::streamRemoved(size_t index)
{
    for (size_t k = index; k + 1 < kStreamSlots; ++k) {
        f_oob[k].store(f_oob[k + 1].load());
        f_oobHadSome[k].store(f_oobHadSome[k + 1].load());
        f_svol[k].store(f_svol[k + 1].load());
    }
    if (index < kStreamSlots) {
        f_oob[kStreamSlots - 1].store(0);
        f_oobHadSome[kStreamSlots - 1].store(false);
        f_svol[kStreamSlots - 1].store(0);
    }
}

uintptr_t kelWaveMixerDevice::chunkTime() const noexcept
{
    const uintptr_t perSecond = chunkPerSecond();
    return perSecond == 0 ? 1 : std::max<uintptr_t>(1, 1000 / perSecond);
}

uintptr_t kelWaveMixerDevice::mix()
{
    std::lock_guard<std::mutex> mixing(f_mixMutex);
    const WAVEFORMATEX* format = nullptr;
    uintptr_t chunk = 0, total = 0;
    {
        kelLock lock(this, false, intptr_t(chunkTime()));
        if (!lock) return 0;
        format = masterFormat();
        chunk = chunkSize();
        if (format == nullptr || f_streams.empty() || chunk == 0) return 0;
        const uintptr_t bits = format->wBitsPerSample, channels = format->nChannels;
        if (bits == 0 || channels == 0) return 0;
        try {
            if (f_bufSrc.size() < chunk) f_bufSrc.resize(chunk);
            if (f_bufDst.size() < chunk) f_bufDst.resize(chunk);
        } catch (...) {
            return 0;
        }
        const size_t samples = chunk * 8 / (bits * channels);
        const uintptr_t frameBytes =
            format->nBlockAlign != 0 ? format->nBlockAlign : std::max<uintptr_t>(1, bits * channels / 8);
        const uint8_t silence = bits == 8 ? 0x80 : 0;
        const bool addSilence = f_autoAddSilence.load();
        for (size_t k = 0; k < f_streams.size(); ++k) {
            uint8_t* buf = k == 0 ? f_bufDst.data() : f_bufSrc.data();
            if (k == 0) std::memset(buf, silence, chunk);
            // Whole sample frames only: a writer's part of a frame stays in
            // its stream for the next chunk, so channels never shift.
            kelAbstractStream* stream = f_streams[k].get();
            const intptr_t available = stream->getAvailableSize();
            uintptr_t want = std::min<uintptr_t>(chunk, available > 0 ? uintptr_t(available) : 0);
            want -= want % frameBytes;
            const intptr_t got = want > 0 ? stream->read(buf, intptr_t(want)) : 0;
            uintptr_t r = got > 0 ? uintptr_t(got) : 0;
            if (r % frameBytes != 0) {
                r -= r % frameBytes;
                std::memset(buf + r, silence, chunk - r);
            }
            // What is mixed and measured: the whole chunk, or of a short
            // read only the frames read (the rest of the source buffer still
            // holds the last stream's samples).
            size_t frames = samples;
            if (r < chunk) {
                if (k < kStreamSlots) f_oob[k].store(int64_t(chunk - r));
                if (r > 0 && addSilence)
                    std::memset(buf + r, silence, chunk - r);
                else
                    frames = r / frameBytes;
            } else if (k < kStreamSlots) {
                const int64_t oob = f_oob[k].load();
                if (oob > 0) f_oob[k].store(oob - (oob > 600 ? 4 : oob > 100 ? 2 : 1));
            }
            const bool present = r > 0;
            if (present && k < kStreamSlots) f_oobHadSome[k].store(true);
            if (!present || frames == 0) {
                if (k < kStreamSlots) f_svol[k].store(0);
                total += r;
                continue;
            }
            uint8_t* into = k > 0 ? f_bufDst.data() : nullptr;
            uintptr_t level = 0;
            if (bits == 16 && channels <= 2) {
                const int64_t magnitudes = channels == 1 ? measureAndAdd16<1>(buf, into, frames)
                                                         : measureAndAdd16<2>(buf, into, frames);
                level = level16(magnitudes, frames);
            } else {
                level = uintptr_t(logVolume100(channelVolume(buf, frames, bits, channels, 0, false)));
                if (into != nullptr) (void)mixPcm(buf, into, into, frames, bits, bits, bits, true, channels);
            }
            if (k < kStreamSlots) f_svol[k].store(level);
            total += r;
        }
        f_inBytes.fetch_add(int64_t(total));
    }
    // The format record stays until the next format change, which needs
    // the device closed.
    (void)deliverChunk(f_bufDst.data(), chunk, format);
    return total;
}

void kelWaveMixerDevice::waitForInput()
{
    // The streams' events are read under the lock: a stream cannot be freed
    // while its event is waited on.
    kelLock lock(this, true, intptr_t(chunkTime()));
    if (!lock) return;
    try {
        f_waitEvents.clear();
        f_waitEvents.push_back(&f_deviceEvent); // a stop request sets it
        f_waitEvents.push_back(&f_streamsChanging);
        for (const auto& stream : f_streams) {
            if (!stream->isEmpty()) return;
            f_waitEvents.push_back(&stream->dataEvent());
        }
    } catch (...) {
        return;
    }
    if (shouldStop() || f_streamsPending.load() > 0) return;
    (void)kelEvent::waitForAny(f_waitEvents.data(), f_waitEvents.size(), int64_t(chunkTime()));
}

bool kelWaveMixerDevice::headerDone(kelWaveHeader* header, bool reAdd)
{
    if (!kelWaveMultiStreamDevice::headerDone(header, reAdd)) return false;
    if (!f_realtime.load()) waitForInput();
    if (!shouldStop()) (void)mix();
    cycleDone(header);
    return true;
}
