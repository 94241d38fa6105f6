#pragma once
// Scaffolding for the compression manager tests: format records, and one
// conversion stream driven the way a codec drives it (one prepared header,
// unused source carried to the next call, END on the last). Header only;
// used from the test's own thread.

#include "platform/kelAcmApi.h"

#include <cstring>
#include <string>
#include <vector>

// A record of 18 + `extra.size()` bytes: the header fields, cbSize, extra.
inline std::vector<uint8_t> kelTestAcmFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avg,
                                             uint16_t block, uint16_t bits,
                                             const std::vector<uint8_t>& extra = {})
{
    WAVEFORMATEX f{tag, channels, rate, avg, block, bits, uint16_t(extra.size())};
    std::vector<uint8_t> record(sizeof f);
    std::memcpy(record.data(), &f, sizeof f);
    record.insert(record.end(), extra.begin(), extra.end());
    return record;
}

inline std::vector<uint8_t> kelTestAcmPcm(uint32_t rate, uint16_t bits, uint16_t channels)
{
    const uint16_t block = uint16_t(channels * bits / 8);
    return kelTestAcmFormat(WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits);
}

inline const WAVEFORMATEX* kelTestAcmWfx(const std::vector<uint8_t>& record)
{
    return reinterpret_cast<const WAVEFORMATEX*>(record.data());
}

class kelTestAcmStream
{
public:
    struct Step
    {
        MMRESULT result = 0;
        uint32_t srcUsed = 0;
        std::string out;
    };

    kelTestAcmStream(const std::vector<uint8_t>& src, const std::vector<uint8_t>& dst,
                     HACMDRIVER driver = nullptr)
    {
        f_open = acmStreamOpen(&f_stream, driver, kelTestAcmWfx(src), kelTestAcmWfx(dst), nullptr, 0, 0,
                               ACM_STREAMOPENF_NONREALTIME);
    }
    ~kelTestAcmStream()
    {
        if (f_stream != nullptr) acmStreamClose(f_stream, 0);
    }
    kelTestAcmStream(const kelTestAcmStream&) = delete;
    kelTestAcmStream& operator=(const kelTestAcmStream&) = delete;

    MMRESULT openResult() const { return f_open; }
    HACMSTREAM handle() const { return f_stream; }

    uint32_t size(uint32_t bytes, uint32_t flags) const
    {
        uint32_t out = 0;
        return acmStreamSize(f_stream, bytes, &out, flags) == MMSYSERR_NOERROR ? out : 0;
    }

    // One conversion of `in` into a destination of `room` bytes (with a
    // guard zone behind it that must stay untouched).
    Step convert(const std::string& in, uint32_t room, uint32_t flags)
    {
        Step step;
        std::vector<uint8_t> src(in.begin(), in.end());
        std::vector<uint8_t> dst(room + kGuard, kGuardByte);
        ACMSTREAMHEADER header{};
        header.cbStruct = sizeof header;
        header.pbSrc = src.data();
        header.cbSrcLength = uint32_t(src.size());
        header.pbDst = dst.data();
        header.cbDstLength = room;
        step.result = acmStreamPrepareHeader(f_stream, &header, 0);
        if (step.result != MMSYSERR_NOERROR) return step;
        step.result = acmStreamConvert(f_stream, &header, flags);
        step.srcUsed = header.cbSrcLengthUsed;
        step.out.assign(reinterpret_cast<const char*>(dst.data()), header.cbDstLengthUsed);
        for (size_t i = room; i < dst.size(); ++i)
            if (dst[i] != kGuardByte) f_guardHit = true;
        acmStreamUnprepareHeader(f_stream, &header, 0);
        return step;
    }

    // All of `in` in pieces of `piece` bytes, each conversion with
    // BLOCKALIGN (START on the first) into `room` bytes, the unused source
    // carried into the next; then END until the driver has nothing left.
    std::string convertAll(const std::string& in, size_t piece, uint32_t room)
    {
        std::string out, carry;
        uint32_t flags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;
        for (size_t pos = 0; pos < in.size(); pos += piece) {
            carry += in.substr(pos, piece);
            // Converts as long as whole blocks come out of what is held.
            for (int rounds = 0; rounds < 1000; ++rounds) {
                Step step = convert(carry, room, flags);
                if (step.result != MMSYSERR_NOERROR) return out;
                flags &= ~ACM_STREAMCONVERTF_START;
                out += step.out;
                carry.erase(0, step.srcUsed);
                if (step.srcUsed == 0 && step.out.empty()) break;
            }
        }
        for (int rounds = 0; rounds < 1000; ++rounds) {
            Step step = convert(carry, room, ACM_STREAMCONVERTF_END);
            if (step.result != MMSYSERR_NOERROR) break;
            out += step.out;
            carry.erase(0, step.srcUsed);
            if (step.srcUsed == 0 && step.out.empty()) break;
        }
        return out;
    }

    // Whether any conversion wrote past its destination.
    bool wroteBeyond() const { return f_guardHit; }

private:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xA5;
    HACMSTREAM f_stream = nullptr;
    MMRESULT f_open = 0;
    bool f_guardHit = false;
};
