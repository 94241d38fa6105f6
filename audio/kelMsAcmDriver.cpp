#include "audio/kelMsAcmDriver.h"

#include "audio/kelMsAcm.h"
#include "core/kelCreate.h"
#include "core/kelTextUtils.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Format records are made at least as large as the header and at most 64
// KiB, whatever size a driver claims for its largest one.
constexpr size_t kMaxFormatRecord = 64 * 1024;

size_t formatRecordSize(uintptr_t metric) noexcept
{
    return std::clamp<size_t>(metric, sizeof(WAVEFORMATEX), kMaxFormatRecord);
}

HACMDRIVERID asDriverId(uintptr_t id) noexcept
{
    return reinterpret_cast<HACMDRIVERID>(id);
}

// The bytes a suggestion may use of a record: 16 for PCM (the record
// without cbSize), cbSize + 18 otherwise, never more than its block.
uint32_t suggestSize(const WAVEFORMATEX* format, size_t blockSize, bool pcmWithoutCbSize) noexcept
{
    const size_t wanted = format->wFormatTag == WAVE_FORMAT_PCM
                              ? (pcmWithoutCbSize ? 16 : sizeof(WAVEFORMATEX))
                              : sizeof(WAVEFORMATEX) + format->cbSize;
    return uint32_t(std::min(wanted, blockSize));
}

} // namespace

kelMsAcmDriver::kelMsAcmDriver(kelMsAcm* acm, uintptr_t id, uint32_t support, const kelString& libName)
    : f_id(id), f_isInstallable(!libName.empty()), f_libName(trimText(libName)), f_support(support),
      f_acm(acm)
{
    if (f_isInstallable) f_handle.store(id);
    uint32_t size = 0;
    if (acmMetrics(reinterpret_cast<HACMOBJ>(id), ACM_METRIC_MAX_SIZE_FORMAT, &size) == MMSYSERR_NOERROR)
        f_maxWaveFormatSize = size;
}

kelMsAcmDriver::~kelMsAcmDriver()
{
    close();
    f_formats.clear(2, true);
    f_formatTags.clear(2, true);
    f_filters.clear(2, true);
    f_filterTags.clear(2, true);
}

uint32_t kelMsAcmDriver::open()
{
    if (f_handle.load() != 0) return MMSYSERR_NOERROR;
    HACMDRIVER handle = nullptr;
    const uint32_t result = acmDriverOpen(&handle, asDriverId(f_id), 0);
    f_handle.store(result == MMSYSERR_NOERROR ? reinterpret_cast<uintptr_t>(handle) : 0);
    f_formatWasEnum = false;
    return result;
}

void kelMsAcmDriver::close()
{
    if (f_isInstallable) return;
    const uintptr_t handle = f_handle.exchange(0);
    if (handle) (void)acmDriverClose(reinterpret_cast<HACMDRIVER>(handle), 0);
}

uintptr_t kelMsAcmDriver::getHandle()
{
    return open() == MMSYSERR_NOERROR ? f_handle.load() : 0;
}

const ACMDRIVERDETAILSW* kelMsAcmDriver::getDetails()
{
    if (f_detailsValid) return &f_details;
    ACMDRIVERDETAILSW details{};
    details.cbStruct = sizeof details;
    const intptr_t result =
        f_isInstallable ? sendDriverMessage(ACMDM_DRIVER_DETAILS, reinterpret_cast<intptr_t>(&details), 0)
                        : intptr_t(acmDriverDetailsW(asDriverId(f_id), &details, 0));
    if (result != MMSYSERR_NOERROR) return nullptr;
    f_details = details;
    f_detailsValid = true;
    return &f_details;
}

intptr_t kelMsAcmDriver::sendDriverMessage(uint32_t message, intptr_t lParam1, intptr_t lParam2)
{
    if (f_isInstallable)
        return SendDriverMessage(reinterpret_cast<HDRVR>(f_handle.load()), message, lParam1, lParam2);
    return acmDriverMessage(reinterpret_cast<HACMDRIVER>(getHandle()), message, lParam1, lParam2);
}

kelMsAcmFormatTag* kelMsAcmDriver::getFormatTag(intptr_t index)
{
    return static_cast<kelMsAcmFormatTag*>(f_formatTags.getObject(index));
}

kelMsAcmFormat* kelMsAcmDriver::getFormat(intptr_t index)
{
    return static_cast<kelMsAcmFormat*>(f_formats.getObject(index));
}

bool kelMsAcmDriver::listsFormatTag(uint32_t formatTag)
{
    if (!f_formatTags.lock(true)) return false;
    bool found = false;
    for (intptr_t i = 0; i < f_formatTags.count() && !found; ++i) {
        auto* tag = static_cast<kelMsAcmFormatTag*>(f_formatTags.getObject(i));
        found = tag && tag->formatTag() == formatTag;
    }
    f_formatTags.unlockRO();
    return found;
}

// --- enumeration ----------------------------------------------------------------

uint32_t kelMsAcmDriver::enumFormats(uint32_t flags, bool force, const WAVEFORMATEX* pwfx, bool tagsOnly,
                                     size_t pwfxSize)
{
    if (f_formatWasEnum && !force && f_formatLastEnumFlags == flags && f_formatLastEnumTagsOnly == tagsOnly)
        return MMSYSERR_NOERROR;
    const uint32_t opened = open();
    if (opened != MMSYSERR_NOERROR) return opened;

    f_formats.clear();
    f_formatTags.clear();
    f_formatLastEnumWave = WAVEFORMATEX{};
    if (pwfx) {
        const size_t size = pwfxSize ? pwfxSize : sizeof(WAVEFORMATEX);
        std::memcpy(&f_formatLastEnumWave, pwfx, std::min(size, sizeof(WAVEFORMATEX)));
    }
    f_formatLastEnumFlags = flags;
    f_enumFormatsFlag = flags;
    f_formatLastEnumTagsOnly = tagsOnly;
    f_formatWasEnum = false;

    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    uint32_t result = acmFormatTagEnumA(reinterpret_cast<HACMDRIVER>(f_handle.load()), &details, &onFormatTag,
                                        reinterpret_cast<uintptr_t>(this), 0);
    // The formats of each tag are enumerated once the tags are all in, so
    // no enumeration runs inside another's callback.
    for (intptr_t i = 0; result == MMSYSERR_NOERROR && !tagsOnly && i < f_formatTags.count(); ++i)
        if (kelMsAcmFormatTag* tag = getFormatTag(i)) result = enumTagFormats(tag);
    if (result == MMSYSERR_NOERROR) f_formatWasEnum = true;
    return result;
}

uint32_t kelMsAcmDriver::enumTagFormats(kelMsAcmFormatTag* tag)
{
    const size_t size = formatRecordSize(f_maxWaveFormatSize);
    std::vector<uint8_t> record(size, 0);
    auto* format = reinterpret_cast<WAVEFORMATEX*>(record.data());
    format->wFormatTag = uint16_t(tag->formatTag());
    format->cbSize = uint16_t(size - sizeof(WAVEFORMATEX));
    format->nChannels = f_formatLastEnumWave.nChannels;
    format->nSamplesPerSec = f_formatLastEnumWave.nSamplesPerSec;
    format->wBitsPerSample = f_formatLastEnumWave.wBitsPerSample;

    ACMFORMATDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag->formatTag();
    details.pwfx = format;
    // The room really there: a metric below the header's size would make
    // a driver write past a shorter count or not at all.
    details.cbwfx = uint32_t(size);
    f_enumRecordSize = size;
    return acmFormatEnumA(reinterpret_cast<HACMDRIVER>(f_handle.load()), &details, &onFormat,
                          reinterpret_cast<uintptr_t>(tag), f_enumFormatsFlag);
}

bool kelMsAcmDriver::onFormatTag(HACMDRIVERID, ACMFORMATTAGDETAILSA* details, uintptr_t instance, uint32_t)
{
    auto* self = reinterpret_cast<kelMsAcmDriver*>(instance);
    if (!self || !details) return true;
    auto* tag = new (std::nothrow) kelMsAcmFormatTag(self, *details);
    if (tag && self->f_formatTags.add(tag) < 0) delete tag;
    return true;
}

bool kelMsAcmDriver::onFormat(HACMDRIVERID, ACMFORMATDETAILSA* details, uintptr_t instance, uint32_t)
{
    auto* tag = reinterpret_cast<kelMsAcmObjectTag*>(instance);
    kelMsAcmDriver* self = tag ? tag->driver() : nullptr;
    if (!self || !details) return true;
    auto* format = new (std::nothrow) kelMsAcmFormat(self, tag, *details, self->f_enumRecordSize);
    if (!format) return true;
    if (!format->valid() || self->f_formats.add(format) < 0) kelFree(format);
    return true;
}

// --- suggestion ---------------------------------------------------------------------

uint32_t kelMsAcmDriver::suggestCodecFormat(const WAVEFORMATEX* src, size_t srcSize, WAVEFORMATEX* dst,
                                            size_t dstSize, uint32_t flags)
{
    if (!src || !dst || srcSize < sizeof(WAVEFORMATEX) || dstSize < 16) return MMSYSERR_INVALPARAM;
    dst->nSamplesPerSec = src->nSamplesPerSec;
    if (!f_isInstallable) {
        dst->nChannels = src->nChannels;
        return acmFormatSuggest(reinterpret_cast<HACMDRIVER>(getHandle()), src, dst,
                                suggestSize(dst, dstSize, true),
                                flags | ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC);
    }
    if (dstSize < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
    ACMDRVFORMATSUGGEST suggest{};
    suggest.cbStruct = sizeof suggest;
    suggest.fdwSuggest = flags | ACM_FORMATSUGGESTF_NSAMPLESPERSEC;
    suggest.pwfxSrc = const_cast<WAVEFORMATEX*>(src);
    suggest.cbwfxSrc = suggestSize(src, srcSize, false);
    suggest.pwfxDst = dst;
    suggest.cbwfxDst = suggestSize(dst, dstSize, false);
    return uint32_t(sendDriverMessage(ACMDM_FORMAT_SUGGEST, reinterpret_cast<intptr_t>(&suggest), 0));
}
