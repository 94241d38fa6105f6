// An installable compression driver for tests: 16-bit 8 kHz mono PCM to and
// from mu-law, exporting "DriverProc". It links nothing of the library (only
// the records header), as a foreign driver would. One shared object is built
// per form (KEL_TEST_ACM_DRIVER_<form>):
//
//   good         converts correctly
//   noproc       exports no DriverProc
//   oversized    reports used counts past both buffers (writes within them)
//   size0        answers 0 bytes to every size query
//   size4g       answers 0xFFFFFFFF bytes to every size query
//   failconvert  every conversion writes and then fails (ACMERR_NOTPOSSIBLE)
//
// kelTestAcmDriverLiveStreams() counts the streams opened and not closed.

#include "platform/kelAcmRecords.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<int> g_liveStreams{0};

uint8_t ulaw(int16_t pcm)
{
    // The G.711 mu-law segment coder (bias 0x84, clip 32635). A negative
    // sample's magnitude is its one's complement, as in the standard's
    // reference tools, so the codes are the reference codes.
    int sign = pcm < 0 ? 0x80 : 0;
    int magnitude = pcm < 0 ? -int(pcm) - 1 : int(pcm);
    if (magnitude > 32635) magnitude = 32635;
    magnitude += 0x84;
    int exponent = 7;
    for (int mask = 0x4000; (magnitude & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    return uint8_t(~(sign | (exponent << 4) | mantissa));
}

int16_t unulaw(uint8_t code)
{
    code = uint8_t(~code);
    const int exponent = (code >> 4) & 7;
    const int magnitude = ((((code & 0x0F) << 3) + 0x84) << exponent) - 0x84;
    return int16_t((code & 0x80) ? -magnitude : magnitude);
}

bool isPcm(const WAVEFORMATEX* f)
{
    return f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels == 1 && f->nSamplesPerSec == 8000 &&
           f->wBitsPerSample == 16 && f->nBlockAlign == 2;
}

bool isUlaw(const WAVEFORMATEX* f)
{
    return f->wFormatTag == WAVE_FORMAT_MULAW && f->nChannels == 1 && f->nSamplesPerSec == 8000 &&
           f->wBitsPerSample == 8 && f->nBlockAlign == 1;
}

void fill(WAVEFORMATEX* f, bool pcm)
{
    f->wFormatTag = pcm ? WAVE_FORMAT_PCM : WAVE_FORMAT_MULAW;
    f->nChannels = 1;
    f->nSamplesPerSec = 8000;
    f->nBlockAlign = pcm ? 2 : 1;
    f->nAvgBytesPerSec = 8000u * f->nBlockAlign;
    f->wBitsPerSample = pcm ? 16 : 8;
}

// Stream state: 1 encodes PCM to mu-law, 2 decodes.
constexpr uintptr_t kEncode = 1, kDecode = 2;

intptr_t details(ACMDRIVERDETAILSW* d)
{
    ACMDRIVERDETAILSW mine{};
    mine.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
    mine.wMid = 0x7E57;
    mine.wPid = 1;
    mine.fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
    mine.cFormatTags = 2;
    const char16_t name[] = u"Test mu-law";
    std::memcpy(mine.szShortName, name, sizeof name);
    const uint32_t size = d->cbStruct < sizeof mine ? d->cbStruct : uint32_t(sizeof mine);
    mine.cbStruct = size;
    std::memcpy(d, &mine, size);
    return MMSYSERR_NOERROR;
}

intptr_t tagDetails(ACMFORMATTAGDETAILSW* t, uint32_t flags)
{
    uint32_t index = t->dwFormatTagIndex;
    if (flags == ACM_FORMATTAGDETAILSF_FORMATTAG)
        index = t->dwFormatTag == WAVE_FORMAT_PCM ? 0 : (t->dwFormatTag == WAVE_FORMAT_MULAW ? 1 : 2);
    if (flags == ACM_FORMATTAGDETAILSF_LARGESTSIZE) index = 0;
    if (index > 1) return ACMERR_NOTPOSSIBLE;
    t->dwFormatTagIndex = index;
    t->dwFormatTag = index == 0 ? WAVE_FORMAT_PCM : WAVE_FORMAT_MULAW;
    t->cbFormatSize = sizeof(WAVEFORMATEX);
    t->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
    t->cStandardFormats = 1;
    t->szFormatTag[0] = 0;
    return MMSYSERR_NOERROR;
}

intptr_t formatDetails(ACMFORMATDETAILSW* f)
{
    if (f->dwFormatIndex != 0 || f->cbwfx < sizeof(WAVEFORMATEX)) return ACMERR_NOTPOSSIBLE;
    if (f->dwFormatTag != WAVE_FORMAT_PCM && f->dwFormatTag != WAVE_FORMAT_MULAW) return ACMERR_NOTPOSSIBLE;
    std::memset(f->pwfx, 0, sizeof(WAVEFORMATEX));
    fill(f->pwfx, f->dwFormatTag == WAVE_FORMAT_PCM);
    f->cbwfx = sizeof(WAVEFORMATEX);
    f->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
    f->szFormat[0] = 0;
    return MMSYSERR_NOERROR;
}

intptr_t suggest(ACMDRVFORMATSUGGEST* s)
{
    if (s->cbwfxDst < 16) return MMSYSERR_INVALPARAM;
    const bool fromPcm = isPcm(s->pwfxSrc);
    if (!fromPcm && !isUlaw(s->pwfxSrc)) return ACMERR_NOTPOSSIBLE;
    if ((s->fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) &&
        s->pwfxDst->wFormatTag != (fromPcm ? WAVE_FORMAT_MULAW : WAVE_FORMAT_PCM))
        return ACMERR_NOTPOSSIBLE;
    WAVEFORMATEX f{};
    fill(&f, !fromPcm);
    std::memcpy(s->pwfxDst, &f, s->cbwfxDst < sizeof f ? s->cbwfxDst : sizeof f);
    return MMSYSERR_NOERROR;
}

intptr_t open(ACMDRVSTREAMINSTANCE* si)
{
    uintptr_t kind = 0;
    if (isPcm(si->pwfxSrc) && isUlaw(si->pwfxDst)) kind = kEncode;
    if (isUlaw(si->pwfxSrc) && isPcm(si->pwfxDst)) kind = kDecode;
    if (kind == 0) return ACMERR_NOTPOSSIBLE;
    if (si->fdwOpen & ACM_STREAMOPENF_QUERY) return MMSYSERR_NOERROR;
    si->dwDriver = kind;
    ++g_liveStreams;
    return MMSYSERR_NOERROR;
}

intptr_t size(const ACMDRVSTREAMINSTANCE* si, ACMDRVSTREAMSIZE* s)
{
    const bool encode = si->dwDriver == kEncode;
    uint32_t answer = 0;
    if (s->fdwSize == ACM_STREAMSIZEF_SOURCE)
        answer = encode ? s->cbSrcLength / 2 : s->cbSrcLength * 2;
    else
        answer = encode ? s->cbDstLength * 2 : s->cbDstLength / 2;
#if defined(KEL_TEST_ACM_DRIVER_size0)
    answer = 0;
#elif defined(KEL_TEST_ACM_DRIVER_size4g)
    answer = 0xFFFFFFFFu;
#endif
    (s->fdwSize == ACM_STREAMSIZEF_SOURCE ? s->cbDstLength : s->cbSrcLength) = answer;
    return MMSYSERR_NOERROR;
}

intptr_t convert(const ACMDRVSTREAMINSTANCE* si, ACMDRVSTREAMHEADER* h)
{
    uint32_t samples = 0;
    if (si->dwDriver == kEncode) {
        samples = h->cbSrcLength / 2 < h->cbDstLength ? h->cbSrcLength / 2 : h->cbDstLength;
        for (uint32_t i = 0; i < samples; ++i)
            h->pbDst[i] = ulaw(int16_t(uint16_t(h->pbSrc[2 * i] | (h->pbSrc[2 * i + 1] << 8))));
        h->cbSrcLengthUsed = samples * 2;
        h->cbDstLengthUsed = samples;
    } else {
        samples = h->cbSrcLength < h->cbDstLength / 2 ? h->cbSrcLength : h->cbDstLength / 2;
        for (uint32_t i = 0; i < samples; ++i) {
            const auto v = uint16_t(unulaw(h->pbSrc[i]));
            h->pbDst[2 * i] = uint8_t(v & 0xFF);
            h->pbDst[2 * i + 1] = uint8_t(v >> 8);
        }
        h->cbSrcLengthUsed = samples;
        h->cbDstLengthUsed = samples * 2;
    }
#if defined(KEL_TEST_ACM_DRIVER_oversized)
    h->cbSrcLengthUsed = h->cbSrcLength + 1000;
    h->cbDstLengthUsed = h->cbDstLength * 2 + 7;
#endif
#if defined(KEL_TEST_ACM_DRIVER_failconvert)
    // Fails after writing: the caller must not take what is in the buffer.
    h->cbSrcLengthUsed = 0;
    h->cbDstLengthUsed = 0;
    return ACMERR_NOTPOSSIBLE;
#endif
    return MMSYSERR_NOERROR;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int kelTestAcmDriverLiveStreams()
{
    return g_liveStreams.load();
}

// The "noproc" form exports its handler under another name.
#if defined(KEL_TEST_ACM_DRIVER_noproc)
#define KEL_TEST_ACM_DRIVER_PROC NotTheDriverProc
#else
#define KEL_TEST_ACM_DRIVER_PROC DriverProc
#endif

extern "C" __attribute__((visibility("default"))) intptr_t
KEL_TEST_ACM_DRIVER_PROC(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1, intptr_t lParam2)
{
    auto* si = reinterpret_cast<ACMDRVSTREAMINSTANCE*>(lParam1);
    switch (message) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_CLOSE:
        return 1;
    case DRV_OPEN:
        return 0x5EED; // any non-zero id
    case ACMDM_DRIVER_DETAILS:
        return details(reinterpret_cast<ACMDRIVERDETAILSW*>(lParam1));
    case ACMDM_FORMATTAG_DETAILS:
        return tagDetails(reinterpret_cast<ACMFORMATTAGDETAILSW*>(lParam1), uint32_t(lParam2));
    case ACMDM_FORMAT_DETAILS:
        return formatDetails(reinterpret_cast<ACMFORMATDETAILSW*>(lParam1));
    case ACMDM_FORMAT_SUGGEST:
        return suggest(reinterpret_cast<ACMDRVFORMATSUGGEST*>(lParam1));
    case ACMDM_STREAM_OPEN:
        return open(si);
    case ACMDM_STREAM_CLOSE:
        if (si->dwDriver != 0) --g_liveStreams;
        si->dwDriver = 0;
        return MMSYSERR_NOERROR;
    case ACMDM_STREAM_SIZE:
        return size(si, reinterpret_cast<ACMDRVSTREAMSIZE*>(lParam2));
    case ACMDM_STREAM_CONVERT:
        return convert(si, reinterpret_cast<ACMDRVSTREAMHEADER*>(lParam2));
    case ACMDM_STREAM_RESET:
        return MMSYSERR_NOERROR;
    case ACMDM_STREAM_PREPARE:
    case ACMDM_STREAM_UNPREPARE:
        return MMSYSERR_NOTSUPPORTED;
    default:
        return driverId != 0 && message >= DRV_USER ? MMSYSERR_NOTSUPPORTED : 0;
    }
}
