#pragma once
// A scripted compression driver for the codec device tests, registered with
// the compression manager like a built-in one (kelTestScriptedAcmDriver::id()). It
// lists one format tag, kelTestAcmTag, a byte-for-byte "coding" of 16-bit
// PCM, and converts by copying. What it answers is scripted per test
// (kelTestAcmScript), and it records what it was asked, so a test can check
// the messages it got and the flags, lengths and bytes of every conversion.
//
// One script for the process: tests that use it reset it first and do not
// run in parallel (GoogleTest runs a program's tests one after another).
// Header only: it needs the platform layer that kel::audio links.

#include "platform/kelAcmRecords.h"
#include "platform/kelAcmRegistry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

inline constexpr uint16_t kelTestAcmTag = 0x7E57;
inline constexpr uint16_t kelTestAcmMaker = 0x7E;
inline constexpr uint16_t kelTestAcmProduct = 0x57;

struct kelTestAcmConversion
{
    uint32_t flags;
    uint32_t length;
};

struct kelTestAcmScript
{
    // STREAM_SIZE answers this many bytes when not negative (instead of
    // the size it was given).
    int64_t sizeAnswer = -1;
    // A conversion uses at most this many bytes when non-zero.
    uint32_t useAtMost = 0;
    // The first this many conversions use and make nothing (a driver that
    // wants more than it was given).
    int refuse = 0;
    // The largest format record its tag claims: shorter than a header, as
    // a careless driver might say (asked once, when the driver registers).
    uint32_t formatSize = 4;
    // The room the last format enumeration gave.
    uint32_t formatRoom = 0;
    // A conversion reports more used than the buffers hold.
    bool overstateUsed = false;
    // What STREAM_CLOSE answers.
    uint32_t closeAnswer = MMSYSERR_NOERROR;
    // What a private message (ACMDM_USER and up) answers.
    intptr_t userAnswer = MMSYSERR_NOTSUPPORTED;

    std::vector<uint32_t> messages;             // every message, in order
    const WAVEFORMATEX* openedSource = nullptr; // the source record of the last stream open

    std::vector<kelTestAcmConversion> conversions;
    std::string used; // every byte a conversion used, in order
    int opens = 0, closes = 0;
};

class kelTestScriptedAcmDriver
{
public:
    static kelTestAcmScript& script()
    {
        static kelTestAcmScript s;
        return s;
    }
    static std::mutex& lock()
    {
        static std::mutex m;
        return m;
    }
    static void reset(const kelTestAcmScript& fresh = {})
    {
        std::lock_guard guard(lock());
        script() = fresh;
    }
    static kelTestAcmScript snapshot()
    {
        std::lock_guard guard(lock());
        return script();
    }
    // Changes the script under its lock, while the driver may be in use.
    template <class Change> static void edit(Change change)
    {
        std::lock_guard guard(lock());
        change(script());
    }
    // The messages so far, forgotten.
    static std::vector<uint32_t> takeMessages()
    {
        std::lock_guard guard(lock());
        std::vector<uint32_t> taken;
        taken.swap(script().messages);
        return taken;
    }
    // The driver's id, registering it on first use.
    static HACMDRIVERID id() { return kelAcmAddDriver(&proc); }

    // 8 kHz mono: 16-bit PCM and its copy under the test tag.
    static WAVEFORMATEX format()
    {
        WAVEFORMATEX f{};
        f.wFormatTag = kelTestAcmTag;
        f.nChannels = 1;
        f.nSamplesPerSec = 8000;
        f.nAvgBytesPerSec = 16000;
        f.nBlockAlign = 2;
        f.wBitsPerSample = 16;
        return f;
    }

    static intptr_t proc(uintptr_t, HDRVR, uint32_t message, intptr_t lParam1, intptr_t lParam2)
    {
        std::lock_guard guard(lock());
        kelTestAcmScript& s = script();
        s.messages.push_back(message);
        if (message >= ACMDM_USER && message < ACMDM_RESERVED_LOW) return s.userAnswer;
        switch (message) {
        case DRV_LOAD:
        case DRV_ENABLE:
        case DRV_DISABLE:
        case DRV_FREE:
        case DRV_CLOSE:
            return 1;
        case DRV_OPEN:
            return 0x7E57;
        case ACMDM_DRIVER_DETAILS: {
            auto* details = reinterpret_cast<ACMDRIVERDETAILSW*>(lParam1);
            ACMDRIVERDETAILSW d{};
            d.cbStruct = sizeof d;
            d.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
            d.wMid = kelTestAcmMaker;
            d.wPid = kelTestAcmProduct;
            d.fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
            d.cFormatTags = 1;
            std::memcpy(details, &d, std::min<size_t>(details->cbStruct, sizeof d));
            return MMSYSERR_NOERROR;
        }
        case ACMDM_FORMATTAG_DETAILS: {
            auto* tag = reinterpret_cast<ACMFORMATTAGDETAILSW*>(lParam1);
            const bool byIndex = lParam2 == ACM_FORMATTAGDETAILSF_INDEX && tag->dwFormatTagIndex == 0;
            const bool byTag =
                lParam2 == ACM_FORMATTAGDETAILSF_FORMATTAG && tag->dwFormatTag == kelTestAcmTag;
            if (!byIndex && !byTag && lParam2 != ACM_FORMATTAGDETAILSF_LARGESTSIZE) return ACMERR_NOTPOSSIBLE;
            tag->dwFormatTagIndex = 0;
            tag->dwFormatTag = kelTestAcmTag;
            tag->cbFormatSize = s.formatSize;
            tag->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
            tag->cStandardFormats = 1;
            return MMSYSERR_NOERROR;
        }
        case ACMDM_FORMAT_DETAILS: {
            auto* details = reinterpret_cast<ACMFORMATDETAILSW*>(lParam1);
            if (lParam2 != ACM_FORMATDETAILSF_INDEX || details->dwFormatIndex != 0 ||
                (details->dwFormatTag != 0 && details->dwFormatTag != kelTestAcmTag))
                return ACMERR_NOTPOSSIBLE;
            s.formatRoom = details->cbwfx;
            if (details->cbwfx < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
            const WAVEFORMATEX f = format();
            std::memcpy(details->pwfx, &f, sizeof f);
            details->cbwfx = sizeof f;
            details->dwFormatTag = kelTestAcmTag;
            details->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
            return MMSYSERR_NOERROR;
        }
        case ACMDM_FORMAT_SUGGEST: {
            auto* suggest = reinterpret_cast<ACMDRVFORMATSUGGEST*>(lParam1);
            WAVEFORMATEX f = format();
            if (suggest->pwfxDst->wFormatTag == WAVE_FORMAT_PCM &&
                (suggest->fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG))
                f.wFormatTag = WAVE_FORMAT_PCM;
            std::memcpy(suggest->pwfxDst, &f, std::min<size_t>(suggest->cbwfxDst, sizeof f));
            return MMSYSERR_NOERROR;
        }
        case ACMDM_STREAM_OPEN: {
            const auto* si = reinterpret_cast<ACMDRVSTREAMINSTANCE*>(lParam1);
            const bool ours =
                si->pwfxSrc->wFormatTag == kelTestAcmTag || si->pwfxDst->wFormatTag == kelTestAcmTag;
            if (!ours) return ACMERR_NOTPOSSIBLE;
            s.openedSource = si->pwfxSrc;
            if (!(si->fdwOpen & ACM_STREAMOPENF_QUERY)) ++s.opens;
            return MMSYSERR_NOERROR;
        }
        case ACMDM_STREAM_CLOSE:
            ++s.closes;
            return s.closeAnswer;
        case ACMDM_STREAM_SIZE: {
            auto* size = reinterpret_cast<ACMDRVSTREAMSIZE*>(lParam2);
            const uint64_t given =
                size->fdwSize == ACM_STREAMSIZEF_SOURCE ? size->cbSrcLength : size->cbDstLength;
            const uint64_t answer = s.sizeAnswer >= 0 ? uint64_t(s.sizeAnswer) : given;
            if (answer > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
            (size->fdwSize == ACM_STREAMSIZEF_SOURCE ? size->cbDstLength : size->cbSrcLength) =
                uint32_t(answer);
            return MMSYSERR_NOERROR;
        }
        case ACMDM_STREAM_CONVERT: {
            auto* header = reinterpret_cast<ACMDRVSTREAMHEADER*>(lParam2);
            s.conversions.push_back({header->fdwConvert, header->cbSrcLength});
            uint32_t n = std::min(header->cbSrcLength, header->cbDstLength);
            if (s.useAtMost) n = std::min(n, s.useAtMost);
            if (s.refuse > 0) {
                --s.refuse;
                n = 0;
            }
            std::memcpy(header->pbDst, header->pbSrc, n);
            s.used.append(reinterpret_cast<const char*>(header->pbSrc), n);
            header->cbSrcLengthUsed = s.overstateUsed ? header->cbSrcLength + 100 : n;
            header->cbDstLengthUsed = s.overstateUsed ? header->cbDstLength * 3 : n;
            return MMSYSERR_NOERROR;
        }
        case ACMDM_STREAM_RESET:
        case ACMDM_STREAM_PREPARE:
        case ACMDM_STREAM_UNPREPARE:
            return MMSYSERR_NOTSUPPORTED;
        default:
            return MMSYSERR_NOTSUPPORTED;
        }
    }
};
