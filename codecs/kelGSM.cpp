#include "codecs/kelGSM.h"

#include "core/kelCreate.h"

#include <gsm.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr intptr_t kUnitLockTimeout = 100;
constexpr int kFrameSamples = 160;
constexpr intptr_t kFrameBytes = 33;
constexpr intptr_t kWav49Bytes = 65;
// libgsm's WAV49 convention: the second frame of a pair is encoded at offset
// 32 (it shares byte 32 with the first) and decoded from offset 33.
constexpr intptr_t kWav49SecondEncode = 32;
constexpr intptr_t kWav49SecondDecode = 33;

} // namespace

kelGSMcoder::kelGSMcoder(bool isWav49) noexcept
{
    f_gsm = gsm_create();
    if (f_gsm != nullptr) {
        int value = isWav49 ? 1 : 0;
        gsm_option(f_gsm, GSM_OPT_WAV49, &value);
    }
    f_stream = kelMakeOwned<kelMemoryStream>(intptr_t(1000));
}

kelGSMcoder::~kelGSMcoder()
{
    if (f_gsm != nullptr) gsm_destroy(f_gsm);
}

void kelGSMcoder::dataAvailable(kelGSMcoder*, const uint8_t*, intptr_t) {}

bool kelGSMcoder::wav49() noexcept
{
    return f_gsm != nullptr && gsm_option(f_gsm, GSM_OPT_WAV49, nullptr) != 0;
}

int kelGSMcoder::getOpt(int opt) noexcept
{
    if (f_gsm == nullptr) return -1;
    switch (opt) {
    case kelGSM_optWav49:
    case kelGSM_optFrameIndex:
    case kelGSM_optFrameChain:
        return gsm_option(f_gsm, opt, nullptr);
    default:
        return -1;
    }
}

void kelGSMcoder::setOpt(int opt, int value) noexcept
{
    if (f_gsm == nullptr) return;
    kelLock lock(this, false, 1000);
    if (!lock) return;
    gsm_option(f_gsm, opt, &value);
    configureUnits();
}

intptr_t kelGSMcoder::pendingBytes() noexcept
{
    return f_stream ? f_stream->getSize() : 0;
}

void kelGSMcoder::deliver(const uint8_t* data, intptr_t len) noexcept
{
    try {
        dataAvailable(this, data, len);
    } catch (...) {
        kelReportHookFailure("kelGSMcoder::dataAvailable");
    }
}

uint8_t* kelGSMcoder::outputBuffer(intptr_t bytes) noexcept
{
    if (bytes > f_bufSize) {
        try {
            f_buf.resize(size_t(bytes + 1) / 2);
        } catch (...) {
            return nullptr;
        }
        f_bufSize = bytes;
    }
    return reinterpret_cast<uint8_t*>(f_buf.data());
}

intptr_t kelGSMcoder::write(const void* data, intptr_t len) noexcept
{
    if (f_gsm == nullptr || !f_stream || data == nullptr || len <= 0) return 0;
    const intptr_t unit = f_frameSizeIn;
    if (unit <= 0) return 0;
    auto in = static_cast<const uint8_t*>(data);
    intptr_t done = 0;

    // 1. Pending bytes that the new data completes to a unit.
    intptr_t pending = f_stream->getSize();
    if (pending > 0 && pending < unit && pending + len >= unit) {
        try {
            f_unit.resize(size_t(unit));
        } catch (...) {
            return 0;
        }
        if (f_stream->read(f_unit.data(), pending, true) == pending) {
            const intptr_t missing = unit - pending;
            std::memcpy(f_unit.data() + pending, in, size_t(missing));
            processUnits(f_unit.data(), unit);
            in += missing;
            len -= missing;
            done += unit;
            pending = 0;
        }
    }
    // 2. With nothing pending, whole units straight from the data.
    if (pending == 0 && f_stream->getSize() == 0) {
        const intptr_t whole = len / unit * unit;
        if (whole > 0) {
            processUnits(in, whole);
            in += whole;
            len -= whole;
            done += whole;
        }
    }
    // 3. Keep the rest.
    if (len > 0) f_stream->write(in, len);
    // 4. Whole units among the pending bytes (after a change of unit size).
    if (f_stream->getSize() >= unit) {
        try {
            f_unit.resize(size_t(unit));
        } catch (...) {
            return done;
        }
        while (f_stream->getSize() >= unit && f_stream->read(f_unit.data(), unit, true) == unit) {
            processUnits(f_unit.data(), unit);
            done += unit;
        }
    }
    return done;
}

kelGSMEncoder::kelGSMEncoder(bool isWav49) noexcept : kelGSMcoder(isWav49)
{
    kelGSMEncoder::configureUnits();
}

bool kelGSMEncoder::configureUnits() noexcept
{
    const bool on = wav49();
    f_frameSizeIn = (on ? 2 : 1) * kFrameSamples * 2;
    f_frameSizeOut = on ? kWav49Bytes : kFrameBytes;
    return on;
}

void kelGSMEncoder::processUnits(const uint8_t* data, intptr_t len) noexcept
{
    const intptr_t unitIn = f_frameSizeIn, unitOut = f_frameSizeOut;
    const int frames = unitOut == kWav49Bytes ? 2 : 1;
    // libgsm wants aligned, writable samples; the caller's bytes may be
    // neither.
    gsm_signal samples[kFrameSamples];
    for (intptr_t pos = 0; pos + unitIn <= len; pos += unitIn) {
        kelLock lock(this, false, kUnitLockTimeout);
        if (!lock) continue;
        uint8_t* out = outputBuffer(unitOut);
        if (out == nullptr) continue;
        for (int f = 0; f < frames; ++f) {
            std::memcpy(samples, data + pos + f * kFrameSamples * 2, sizeof samples);
            gsm_encode(f_gsm, samples, out + f * kWav49SecondEncode);
        }
        deliver(out, unitOut);
    }
}

kelGSMDecoder::kelGSMDecoder(bool isWav49) noexcept : kelGSMcoder(isWav49)
{
    kelGSMDecoder::configureUnits();
}

bool kelGSMDecoder::configureUnits() noexcept
{
    const bool on = wav49();
    f_frameSizeIn = on ? kWav49Bytes : kFrameBytes;
    f_frameSizeOut = (on ? 2 : 1) * kFrameSamples * 2;
    return on;
}

void kelGSMDecoder::processUnits(const uint8_t* data, intptr_t len) noexcept
{
    const intptr_t unitIn = f_frameSizeIn;
    const bool pair = unitIn == kWav49Bytes;
    const intptr_t frameBytes = kFrameSamples * 2;
    gsm_byte frame[kWav49Bytes];
    for (intptr_t pos = 0; pos + unitIn <= len; pos += unitIn) {
        kelLock lock(this, false, kUnitLockTimeout);
        if (!lock) continue;
        auto* out = reinterpret_cast<gsm_signal*>(outputBuffer(frameBytes));
        if (out == nullptr) continue;
        // A copy: libgsm takes a writable pointer.
        std::memcpy(frame, data + pos, size_t(unitIn));
        for (int f = 0; f < (pair ? 2 : 1); ++f) {
            if (gsm_decode(f_gsm, frame + f * kWav49SecondDecode, out) != 0)
                std::fill(out, out + kFrameSamples, gsm_signal(0));
            deliver(reinterpret_cast<const uint8_t*>(out), frameBytes);
        }
    }
}
