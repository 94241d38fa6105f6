// The compression manager's driver, metric and format calls, and the
// installable drivers; streams are in kelAcmStream.cpp.

#include "platform/kelAcmApi.h"

#include "platform/kelAcmTable.h"
#include "platform/kelUtf8.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

uint32_t supportOf(const kelAcmDriverEntry& entry) noexcept
{
    return entry.details.fdwSupport;
}

// The drivers a call addresses: the one given, or every enabled one for
// null. False for a handle that is not a driver id or open driver.
bool targets(kelAcmHandle* handle, std::vector<std::shared_ptr<kelAcmDriverInstance>>& out)
{
    if (handle == nullptr) {
        out = kelAcmEnabledDrivers();
        return true;
    }
    auto one = kelAcmTable::get().driverLike(handle);
    if (!one) return false;
    out.push_back(std::move(one));
    return true;
}

// Narrows driver text to 8 bits: ASCII passes, anything else becomes '?'.
void narrow(char* out, size_t outChars, const char16_t* in, size_t inChars) noexcept
{
    size_t i = 0;
    for (; i + 1 < outChars && i < inChars && in[i] != 0; ++i)
        out[i] = in[i] < 0x80 ? char(in[i]) : '?';
    out[i] = 0;
}

bool tagDetails(const kelAcmDriverInstance& driver, uint32_t index, ACMFORMATTAGDETAILSW& tag) noexcept
{
    tag = {};
    tag.cbStruct = sizeof tag;
    tag.dwFormatTagIndex = index;
    return kelAcmSend(driver, ACMDM_FORMATTAG_DETAILS, intptr_t(&tag), ACM_FORMATTAGDETAILSF_INDEX) ==
           MMSYSERR_NOERROR;
}

// Whether the driver opens a conversion from `src` to `dst` (a query only).
bool converts(const kelAcmDriverInstance& driver, const WAVEFORMATEX* src, const WAVEFORMATEX* dst) noexcept
{
    ACMDRVSTREAMINSTANCE si{};
    si.cbStruct = sizeof si;
    si.pwfxSrc = const_cast<WAVEFORMATEX*>(src);
    si.pwfxDst = const_cast<WAVEFORMATEX*>(dst);
    si.fdwOpen = ACM_STREAMOPENF_QUERY;
    return kelAcmSend(driver, ACMDM_STREAM_OPEN, intptr_t(&si), 0) == MMSYSERR_NOERROR;
}

constexpr uint32_t kFormatEnumKnown =
    ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS | ACM_FORMATENUMF_NSAMPLESPERSEC |
    ACM_FORMATENUMF_WBITSPERSAMPLE | ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST |
    ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_OUTPUT;
constexpr uint32_t kFormatEnumUnsupported =
    ACM_FORMATENUMF_SUGGEST | ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_OUTPUT;

bool matchesTemplate(const WAVEFORMATEX& format, const WAVEFORMATEX& tmpl, uint32_t flags) noexcept
{
    if ((flags & ACM_FORMATENUMF_WFORMATTAG) && format.wFormatTag != tmpl.wFormatTag) return false;
    if ((flags & ACM_FORMATENUMF_NCHANNELS) && format.nChannels != tmpl.nChannels) return false;
    if ((flags & ACM_FORMATENUMF_NSAMPLESPERSEC) && format.nSamplesPerSec != tmpl.nSamplesPerSec)
        return false;
    if ((flags & ACM_FORMATENUMF_WBITSPERSAMPLE) && format.wBitsPerSample != tmpl.wBitsPerSample)
        return false;
    return true;
}

} // namespace

uint32_t acmGetVersion() noexcept
{
    return kelAcmVersion;
}

MMRESULT acmMetrics(HACMOBJ object, uint32_t metricIndex, void* metric) noexcept
{
    if (metric == nullptr) return MMSYSERR_INVALPARAM;
    try {
        uint32_t value = 0;
        if (object == nullptr) {
            const auto entries = kelAcmTable::get().entries();
            const auto count = [&](uint32_t mask, bool disabled) {
                uint32_t n = 0;
                for (const auto& entry : entries) {
                    const uint32_t support = supportOf(*entry);
                    const bool isDisabled = (support & ACMDRIVERDETAILS_SUPPORTF_DISABLED) != 0;
                    if (isDisabled == disabled && (mask == 0 || (support & mask))) ++n;
                }
                return n;
            };
            switch (metricIndex) {
            case ACM_METRIC_COUNT_DRIVERS:
                value = count(0, false);
                break;
            case ACM_METRIC_COUNT_CODECS:
                value = count(ACMDRIVERDETAILS_SUPPORTF_CODEC, false);
                break;
            case ACM_METRIC_COUNT_CONVERTERS:
                value = count(ACMDRIVERDETAILS_SUPPORTF_CONVERTER, false);
                break;
            case ACM_METRIC_COUNT_FILTERS:
                value = count(ACMDRIVERDETAILS_SUPPORTF_FILTER, false);
                break;
            case ACM_METRIC_COUNT_DISABLED:
                value = count(0, true);
                break;
            case ACM_METRIC_COUNT_HARDWARE:
                value = count(ACMDRIVERDETAILS_SUPPORTF_HARDWARE, false);
                break;
            // Every driver here is the process's own registration, none local
            // to a task.
            case ACM_METRIC_COUNT_LOCAL_DRIVERS:
            case ACM_METRIC_COUNT_LOCAL_CODECS:
            case ACM_METRIC_COUNT_LOCAL_CONVERTERS:
            case ACM_METRIC_COUNT_LOCAL_FILTERS:
            case ACM_METRIC_COUNT_LOCAL_DISABLED:
                value = 0;
                break;
            case ACM_METRIC_MAX_SIZE_FORMAT:
                for (const auto& entry : entries)
                    if (!(supportOf(*entry) & ACMDRIVERDETAILS_SUPPORTF_DISABLED))
                        value = std::max(value, entry->maxFormatSize);
                break;
            case ACM_METRIC_MAX_SIZE_FILTER:
                value = 0;
                break;
            case ACM_METRIC_DRIVER_SUPPORT:
            case ACM_METRIC_DRIVER_PRIORITY:
                return MMSYSERR_INVALHANDLE;
            default:
                return MMSYSERR_NOTSUPPORTED;
            }
        } else {
            auto& table = kelAcmTable::get();
            auto driver = table.driverLike(object);
            if (!driver) {
                if (auto stream = table.stream(object)) driver = stream->instance;
            }
            if (!driver) return MMSYSERR_INVALHANDLE;
            switch (metricIndex) {
            case ACM_METRIC_MAX_SIZE_FORMAT:
                value = driver->entry->maxFormatSize;
                break;
            case ACM_METRIC_MAX_SIZE_FILTER:
                value = 0;
                break;
            case ACM_METRIC_DRIVER_SUPPORT:
                value = supportOf(*driver->entry);
                break;
            case ACM_METRIC_COUNT_DRIVERS:
            case ACM_METRIC_COUNT_CODECS:
            case ACM_METRIC_COUNT_CONVERTERS:
            case ACM_METRIC_COUNT_FILTERS:
            case ACM_METRIC_COUNT_DISABLED:
            case ACM_METRIC_COUNT_HARDWARE:
                return MMSYSERR_INVALHANDLE;
            default:
                return MMSYSERR_NOTSUPPORTED;
            }
        }
        std::memcpy(metric, &value, sizeof value);
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmDriverEnum(ACMDRIVERENUMCB callback, uintptr_t instance, uint32_t flags) noexcept
{
    if (callback == nullptr) return MMSYSERR_INVALPARAM;
    if (flags & ~(ACM_DRIVERENUMF_NOLOCAL | ACM_DRIVERENUMF_DISABLED)) return MMSYSERR_INVALFLAG;
    try {
        for (const auto& entry : kelAcmTable::get().entries()) {
            const uint32_t support = supportOf(*entry);
            if ((support & ACMDRIVERDETAILS_SUPPORTF_DISABLED) && !(flags & ACM_DRIVERENUMF_DISABLED))
                continue;
            if (!callback(entry->id, instance, support)) break;
        }
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmDriverOpen(HACMDRIVER* driver, HACMDRIVERID driverId, uint32_t flags) noexcept
{
    if (driver == nullptr) return MMSYSERR_INVALPARAM;
    *driver = nullptr;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    try {
        auto& table = kelAcmTable::get();
        const auto query = table.driverLike(driverId);
        if (!query || query->handle != nullptr) return MMSYSERR_INVALHANDLE;
        auto opened = std::make_shared<kelAcmDriverInstance>();
        opened->entry = query->entry;
        opened->handle = table.newToken();
        ACMDRVOPENDESCW desc{};
        desc.cbStruct = sizeof desc;
        desc.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
        desc.dwVersion = kelAcmVersion;
        opened->driverId =
            uintptr_t(kelAcmSend(opened->entry->proc, 0, opened->handle, DRV_OPEN, 0, intptr_t(&desc)));
        if (opened->driverId == 0) return desc.dwError != 0 ? desc.dwError : MMSYSERR_ERROR;
        table.addInstance(opened);
        *driver = opened->handle;
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmDriverClose(HACMDRIVER driver, uint32_t flags) noexcept
{
    if (flags != 0) return MMSYSERR_INVALFLAG;
    try {
        auto& table = kelAcmTable::get();
        const auto opened = table.instance(driver);
        if (!opened) return MMSYSERR_INVALHANDLE;
        if (opened->openStreams.load() > 0) return ACMERR_BUSY;
        if (!table.removeInstance(driver)) return MMSYSERR_INVALHANDLE;
        kelAcmSend(*opened, DRV_CLOSE, 0, 0);
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmDriverDetailsW(HACMDRIVERID driverId, ACMDRIVERDETAILSW* details, uint32_t flags) noexcept
{
    if (details == nullptr) return MMSYSERR_INVALPARAM;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    uint32_t size = 0;
    std::memcpy(&size, &details->cbStruct, sizeof size);
    if (size < sizeof(uint32_t)) return MMSYSERR_INVALPARAM;
    const auto driver = kelAcmTable::get().driverLike(driverId);
    if (!driver) return MMSYSERR_INVALHANDLE;
    ACMDRIVERDETAILSW copy = driver->entry->details;
    const uint32_t n = std::min<uint32_t>(size, sizeof copy);
    copy.cbStruct = n;
    std::memcpy(details, &copy, n);
    return MMSYSERR_NOERROR;
}

intptr_t acmDriverMessage(HACMDRIVER driver, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept
{
    const auto target = kelAcmTable::get().driverLike(driver);
    if (!target) return MMSYSERR_INVALHANDLE;
    const bool ownRange = message >= ACMDM_USER && message < ACMDM_RESERVED_LOW;
    if (!ownRange && message != DRV_CONFIGURE && message != DRV_QUERYCONFIGURE) return MMSYSERR_INVALPARAM;
    return kelAcmSend(*target, message, lParam1, lParam2);
}

HDRVR OpenDriver(const char16_t* driverName, const char16_t* sectionName, intptr_t lParam2) noexcept
{
    if (driverName == nullptr) return nullptr;
    try {
        auto& table = kelAcmTable::get();
        auto driver = std::make_shared<kelAcmInstallable>();
        if (!driver->lib.open(kelUtf16ToUtf8(driverName))) return nullptr;
        driver->proc = reinterpret_cast<kelDriverProc>(driver->lib.symbol(kelDriverProcName));
        if (driver->proc == nullptr) return nullptr;
        driver->handle = table.newToken();
        if (kelAcmSend(driver->proc, 0, driver->handle, DRV_LOAD, 0, 0) == 0) return nullptr;
        if (kelAcmSend(driver->proc, 0, driver->handle, DRV_ENABLE, 0, 0) == 0) {
            kelAcmSend(driver->proc, 0, driver->handle, DRV_FREE, 0, 0);
            return nullptr;
        }
        driver->driverId =
            uintptr_t(kelAcmSend(driver->proc, 0, driver->handle, DRV_OPEN, intptr_t(sectionName), lParam2));
        if (driver->driverId == 0) {
            kelAcmSend(driver->proc, 0, driver->handle, DRV_DISABLE, 0, 0);
            kelAcmSend(driver->proc, 0, driver->handle, DRV_FREE, 0, 0);
            return nullptr;
        }
        table.addInstallable(driver);
        return driver->handle;
    } catch (...) {
        return nullptr;
    }
}

intptr_t CloseDriver(HDRVR driver, intptr_t lParam1, intptr_t lParam2) noexcept
{
    // Out of the table first: later messages through the handle are refused
    // while the driver closes. The library is unloaded when the last call
    // still inside it returns.
    const auto closing = kelAcmTable::get().takeInstallable(driver);
    if (!closing) return 0;
    const intptr_t answer = kelAcmSend(closing->proc, closing->driverId, driver, DRV_CLOSE, lParam1, lParam2);
    kelAcmSend(closing->proc, 0, driver, DRV_DISABLE, 0, 0);
    kelAcmSend(closing->proc, 0, driver, DRV_FREE, 0, 0);
    return answer;
}

intptr_t SendDriverMessage(HDRVR driver, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept
{
    const auto target = kelAcmTable::get().installable(driver);
    if (!target) return MMSYSERR_INVALHANDLE;
    return kelAcmSend(target->proc, target->driverId, driver, message, lParam1, lParam2);
}

MMRESULT acmFormatTagEnumA(HACMDRIVER driver, ACMFORMATTAGDETAILSA* paftd, ACMFORMATTAGENUMCBA callback,
                           uintptr_t instance, uint32_t flags) noexcept
{
    if (paftd == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
    if (paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA)) return MMSYSERR_INVALPARAM;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    try {
        std::vector<std::shared_ptr<kelAcmDriverInstance>> drivers;
        if (!targets(driver, drivers)) return MMSYSERR_INVALHANDLE;
        for (const auto& target : drivers) {
            const uint32_t support = supportOf(*target->entry);
            for (uint32_t i = 0; i < target->entry->details.cFormatTags; ++i) {
                ACMFORMATTAGDETAILSW tag;
                if (!tagDetails(*target, i, tag)) continue;
                paftd->dwFormatTagIndex = i;
                paftd->dwFormatTag = tag.dwFormatTag;
                paftd->cbFormatSize = tag.cbFormatSize;
                paftd->fdwSupport = tag.fdwSupport;
                paftd->cStandardFormats = tag.cStandardFormats;
                narrow(paftd->szFormatTag, ACMFORMATTAGDETAILS_FORMATTAG_CHARS, tag.szFormatTag,
                       ACMFORMATTAGDETAILS_FORMATTAG_CHARS);
                if (!callback(target->entry->id, paftd, instance, support)) return MMSYSERR_NOERROR;
            }
        }
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmFormatEnumA(HACMDRIVER driver, ACMFORMATDETAILSA* pafd, ACMFORMATENUMCBA callback,
                        uintptr_t instance, uint32_t flags) noexcept
{
    if (pafd == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
    if (pafd->cbStruct < sizeof(ACMFORMATDETAILSA)) return MMSYSERR_INVALPARAM;
    if (pafd->pwfx == nullptr || pafd->cbwfx < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
    if (flags & ~kFormatEnumKnown) return MMSYSERR_INVALFLAG;
    if (flags & kFormatEnumUnsupported) return MMSYSERR_NOTSUPPORTED;
    try {
        const uint32_t room = pafd->cbwfx;
        // pwfx is both the template and where each format is reported, so
        // the template is copied first.
        std::vector<uint8_t> tmpl(sizeof(WAVEFORMATEX));
        std::memcpy(tmpl.data(), pafd->pwfx, tmpl.size());
        WAVEFORMATEX head;
        std::memcpy(&head, tmpl.data(), sizeof head);
        if (flags & ACM_FORMATENUMF_CONVERT) {
            const uint32_t size = kelAcmFormatSize(&head);
            if (size > room) return MMSYSERR_INVALPARAM;
            tmpl.resize(std::max<size_t>(size, sizeof(WAVEFORMATEX)));
            std::memcpy(tmpl.data(), pafd->pwfx, size);
        }
        const uint32_t onlyTag = pafd->dwFormatTag != 0
                                     ? pafd->dwFormatTag
                                     : ((flags & ACM_FORMATENUMF_WFORMATTAG) ? head.wFormatTag : 0);

        std::vector<std::shared_ptr<kelAcmDriverInstance>> drivers;
        if (!targets(driver, drivers)) return MMSYSERR_INVALHANDLE;
        for (const auto& target : drivers) {
            const uint32_t support = supportOf(*target->entry);
            std::vector<uint8_t> scratch(
                std::max<size_t>(target->entry->maxFormatSize, sizeof(WAVEFORMATEX)));
            for (uint32_t t = 0; t < target->entry->details.cFormatTags; ++t) {
                ACMFORMATTAGDETAILSW tag;
                if (!tagDetails(*target, t, tag)) continue;
                if (onlyTag != 0 && tag.dwFormatTag != onlyTag) continue;
                if (tag.cbFormatSize > scratch.size()) scratch.resize(tag.cbFormatSize);
                for (uint32_t f = 0; f < tag.cStandardFormats; ++f) {
                    std::fill(scratch.begin(), scratch.end(), 0);
                    ACMFORMATDETAILSW details{};
                    details.cbStruct = sizeof details;
                    details.dwFormatIndex = f;
                    details.dwFormatTag = tag.dwFormatTag;
                    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(scratch.data());
                    details.cbwfx = uint32_t(scratch.size());
                    if (kelAcmSend(*target, ACMDM_FORMAT_DETAILS, intptr_t(&details),
                                   ACM_FORMATDETAILSF_INDEX) != MMSYSERR_NOERROR)
                        continue;
                    WAVEFORMATEX format;
                    std::memcpy(&format, scratch.data(), sizeof format);
                    const uint32_t size =
                        std::clamp<uint32_t>(details.cbwfx, sizeof(WAVEFORMATEX), uint32_t(scratch.size()));
                    if (size > room || !matchesTemplate(format, head, flags)) continue;
                    if ((flags & ACM_FORMATENUMF_CONVERT) &&
                        !converts(*target, reinterpret_cast<const WAVEFORMATEX*>(tmpl.data()),
                                  reinterpret_cast<const WAVEFORMATEX*>(scratch.data())))
                        continue;
                    pafd->dwFormatIndex = f;
                    pafd->dwFormatTag = tag.dwFormatTag;
                    pafd->fdwSupport = details.fdwSupport;
                    std::memcpy(pafd->pwfx, scratch.data(), size);
                    pafd->cbwfx = size;
                    narrow(pafd->szFormat, ACMFORMATDETAILS_FORMAT_CHARS, details.szFormat,
                           ACMFORMATDETAILS_FORMAT_CHARS);
                    const bool more = callback(target->entry->id, pafd, instance, support);
                    pafd->cbwfx = room;
                    if (!more) return MMSYSERR_NOERROR;
                }
            }
        }
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmFormatSuggest(HACMDRIVER driver, const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t dstSize,
                          uint32_t flags) noexcept
{
    if (src == nullptr || dst == nullptr || dstSize < 16) return MMSYSERR_INVALPARAM;
    if (flags & ~ACM_FORMATSUGGESTF_TYPEMASK) return MMSYSERR_INVALFLAG;
    if (flags & ACM_FORMATSUGGESTF_TYPEMASK &
        ~(ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC |
          ACM_FORMATSUGGESTF_WBITSPERSAMPLE))
        return MMSYSERR_INVALFLAG;
    try {
        std::vector<std::shared_ptr<kelAcmDriverInstance>> drivers;
        if (!targets(driver, drivers)) return MMSYSERR_INVALHANDLE;
        // Each driver suggests into a copy, so that one that writes and then
        // refuses leaves nothing behind for the next.
        std::vector<uint8_t> original(dstSize), attempt(dstSize);
        std::memcpy(original.data(), dst, dstSize);
        for (const auto& target : drivers) {
            attempt = original;
            ACMDRVFORMATSUGGEST suggest{};
            suggest.cbStruct = sizeof suggest;
            suggest.fdwSuggest = flags;
            suggest.pwfxSrc = const_cast<WAVEFORMATEX*>(src);
            suggest.cbwfxSrc = kelAcmFormatSize(src);
            suggest.pwfxDst = reinterpret_cast<WAVEFORMATEX*>(attempt.data());
            suggest.cbwfxDst = dstSize;
            if (kelAcmSend(*target, ACMDM_FORMAT_SUGGEST, intptr_t(&suggest), 0) == MMSYSERR_NOERROR) {
                std::memcpy(dst, attempt.data(), dstSize);
                return MMSYSERR_NOERROR;
            }
        }
        return ACMERR_NOTPOSSIBLE;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}
