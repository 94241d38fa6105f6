#include "codecs/kelAcmDriver.h"

#include "codecs/kelAcmDrivers.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace {

void copyText(char16_t* out, size_t chars, const std::u16string& text) noexcept
{
    const size_t n = std::min(text.size(), chars - 1);
    std::memcpy(out, text.data(), n * sizeof(char16_t));
    out[n] = 0;
}

std::u16string ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// "8000 Hz, 4 Bit, Mono": the description drivers give their formats.
std::u16string describe(const WAVEFORMATEX& f)
{
    std::string text = std::to_string(f.nSamplesPerSec) + " Hz, ";
    if (f.wBitsPerSample != 0) text += std::to_string(f.wBitsPerSample) + " Bit, ";
    text +=
        f.nChannels == 1 ? "Mono" : (f.nChannels == 2 ? "Stereo" : std::to_string(f.nChannels) + " channels");
    if (f.wFormatTag != WAVE_FORMAT_PCM && f.nAvgBytesPerSec != 0)
        text += ", " + std::to_string(f.nAvgBytesPerSec) + " bytes/s";
    return ascii(text);
}

WAVEFORMATEX headOf(const std::vector<uint8_t>& record) noexcept
{
    return kelAcmHead(record);
}

// Writes the first `room` bytes of `value` into `target` (the caller's
// cbStruct), never more than the record.
template <typename T> void writeCut(void* target, const T& value, uint32_t room) noexcept
{
    std::memcpy(target, &value, std::min<size_t>(room, sizeof value));
}

template <typename T> bool readCut(intptr_t from, T& value, uint32_t minimum) noexcept
{
    if (from == 0) return false;
    uint32_t size = 0;
    std::memcpy(&size, reinterpret_cast<const void*>(from), sizeof size);
    if (size < minimum) return false;
    value = {};
    std::memcpy(&value, reinterpret_cast<const void*>(from), std::min<size_t>(size, sizeof value));
    return true;
}

intptr_t tagDetails(const kelAcmDriver& driver, intptr_t lParam1, intptr_t lParam2) noexcept
{
    ACMFORMATTAGDETAILSW request;
    if (!readCut(lParam1, request, offsetof(ACMFORMATTAGDETAILSW, szFormatTag))) return MMSYSERR_INVALPARAM;
    const auto& tags = driver.tags();
    const kelAcmTagInfo* found = nullptr;
    uint32_t index = 0;
    switch (uint32_t(lParam2)) {
    case ACM_FORMATTAGDETAILSF_INDEX:
        if (request.dwFormatTagIndex < tags.size()) found = &tags[index = request.dwFormatTagIndex];
        break;
    case ACM_FORMATTAGDETAILSF_FORMATTAG:
        for (index = 0; index < tags.size() && found == nullptr; ++index)
            if (tags[index].tag == request.dwFormatTag) found = &tags[index];
        if (found) --index;
        break;
    case ACM_FORMATTAGDETAILSF_LARGESTSIZE:
        for (uint32_t i = 0; i < tags.size(); ++i) {
            if (request.dwFormatTag != 0 && tags[i].tag != request.dwFormatTag) continue;
            if (found == nullptr || tags[i].formatSize > found->formatSize) found = &tags[index = i];
        }
        break;
    default:
        return MMSYSERR_INVALFLAG;
    }
    if (found == nullptr) return ACMERR_NOTPOSSIBLE;
    ACMFORMATTAGDETAILSW answer{};
    answer.cbStruct = std::min<uint32_t>(request.cbStruct, sizeof answer);
    answer.dwFormatTagIndex = index;
    answer.dwFormatTag = found->tag;
    answer.cbFormatSize = found->formatSize;
    answer.fdwSupport = driver.details().fdwSupport;
    answer.cStandardFormats = uint32_t(found->formats.size());
    copyText(answer.szFormatTag, ACMFORMATTAGDETAILS_FORMATTAG_CHARS, found->name);
    writeCut(reinterpret_cast<void*>(lParam1), answer, answer.cbStruct);
    return MMSYSERR_NOERROR;
}

intptr_t formatDetails(const kelAcmDriver& driver, intptr_t lParam1, intptr_t lParam2) noexcept
{
    ACMFORMATDETAILSW request;
    if (!readCut(lParam1, request, offsetof(ACMFORMATDETAILSW, szFormat))) return MMSYSERR_INVALPARAM;
    if (request.pwfx == nullptr || request.cbwfx < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
    try {
        std::vector<uint8_t> record;
        if (uint32_t(lParam2) == ACM_FORMATDETAILSF_INDEX) {
            for (const auto& tag : driver.tags())
                if (tag.tag == request.dwFormatTag && request.dwFormatIndex < tag.formats.size())
                    record = tag.formats[request.dwFormatIndex];
            if (record.empty()) return ACMERR_NOTPOSSIBLE;
            if (record.size() > request.cbwfx) return MMSYSERR_INVALPARAM;
            std::memcpy(request.pwfx, record.data(), record.size());
        } else if (uint32_t(lParam2) == ACM_FORMATDETAILSF_FORMAT) {
            // Describes the record given, when it is one the driver lists.
            WAVEFORMATEX given;
            std::memcpy(&given, request.pwfx, sizeof given);
            for (const auto& tag : driver.tags())
                for (const auto& f : tag.formats)
                    if (f.size() <= request.cbwfx && std::memcmp(f.data(), request.pwfx, f.size()) == 0)
                        record = f;
            if (record.empty()) return ACMERR_NOTPOSSIBLE;
        } else {
            return MMSYSERR_INVALFLAG;
        }
        ACMFORMATDETAILSW answer = request;
        answer.cbStruct = std::min<uint32_t>(request.cbStruct, sizeof answer);
        answer.dwFormatTag = headOf(record).wFormatTag;
        answer.fdwSupport = driver.details().fdwSupport;
        answer.cbwfx = uint32_t(record.size());
        copyText(answer.szFormat, ACMFORMATDETAILS_FORMAT_CHARS, describe(headOf(record)));
        writeCut(reinterpret_cast<void*>(lParam1), answer, answer.cbStruct);
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

// A copy of a record handed in with `size` bytes: PCM as 16 bytes (its
// cbSize may be missing), others as 18 + cbSize, never more than `size`.
bool recordOf(const WAVEFORMATEX* record, uint32_t size, std::vector<uint8_t>& copy)
{
    if (record == nullptr || size < 16) return false;
    WAVEFORMATEX f{};
    std::memcpy(&f, record, 16);
    uint32_t length = 16;
    if (f.wFormatTag != WAVE_FORMAT_PCM) {
        if (size < sizeof f) return false;
        f.cbSize = record->cbSize;
        length = uint32_t(sizeof f) + f.cbSize;
        if (length > size) return false;
    }
    copy.assign(std::max<size_t>(length, sizeof f), 0);
    std::memcpy(copy.data(), record, length);
    if (f.wFormatTag == WAVE_FORMAT_PCM) copy[16] = copy[17] = 0;
    return true;
}

intptr_t suggest(const kelAcmDriver& driver, intptr_t lParam1) noexcept
{
    ACMDRVFORMATSUGGEST s;
    if (!readCut(lParam1, s, sizeof s)) return MMSYSERR_INVALPARAM;
    if (s.pwfxDst == nullptr || s.cbwfxDst < 16) return MMSYSERR_INVALPARAM;
    try {
        std::vector<uint8_t> src;
        if (!recordOf(s.pwfxSrc, s.cbwfxSrc, src)) return MMSYSERR_INVALPARAM;
        return driver.suggest(src, s.pwfxDst, s.cbwfxDst, s.fdwSuggest);
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

intptr_t streamOpen(const kelAcmDriver& driver, intptr_t lParam1) noexcept
{
    auto* si = reinterpret_cast<ACMDRVSTREAMINSTANCE*>(lParam1);
    if (si == nullptr || si->cbStruct < sizeof *si) return MMSYSERR_INVALPARAM;
    if (si->pwfltr != nullptr) return ACMERR_NOTPOSSIBLE;
    try {
        // The stream instance gives no sizes: a record is as long as it says.
        constexpr uint32_t kAny = 0xFFFF + sizeof(WAVEFORMATEX);
        std::vector<uint8_t> src, dst;
        if (!recordOf(si->pwfxSrc, kAny, src) || !recordOf(si->pwfxDst, kAny, dst))
            return MMSYSERR_INVALPARAM;
        MMRESULT result = ACMERR_NOTPOSSIBLE;
        auto converter = driver.open(src, dst, result);
        if (!converter) return result == MMSYSERR_NOERROR ? ACMERR_NOTPOSSIBLE : result;
        if (si->fdwOpen & ACM_STREAMOPENF_QUERY) return MMSYSERR_NOERROR;
        si->dwDriver = reinterpret_cast<uintptr_t>(converter.release());
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

kelAcmConverter* converterOf(intptr_t lParam1) noexcept
{
    auto* si = reinterpret_cast<ACMDRVSTREAMINSTANCE*>(lParam1);
    if (si == nullptr || si->cbStruct < sizeof *si) return nullptr;
    return reinterpret_cast<kelAcmConverter*>(si->dwDriver);
}

} // namespace

// --- converter ---------------------------------------------------------------

MMRESULT kelAcmConverter::size(ACMDRVSTREAMSIZE& size) noexcept
{
    uint64_t answer = 0;
    if (size.fdwSize == ACM_STREAMSIZEF_SOURCE) {
        answer = (uint64_t(size.cbSrcLength) + f_srcUnit - 1) / f_srcUnit * f_dstUnit;
        if (answer == 0 || answer > std::numeric_limits<uint32_t>::max()) return ACMERR_NOTPOSSIBLE;
        size.cbDstLength = uint32_t(answer);
    } else if (size.fdwSize == ACM_STREAMSIZEF_DESTINATION) {
        answer = uint64_t(size.cbDstLength) / f_dstUnit * f_srcUnit;
        if (answer == 0 || answer > std::numeric_limits<uint32_t>::max()) return ACMERR_NOTPOSSIBLE;
        size.cbSrcLength = uint32_t(answer);
    } else {
        return MMSYSERR_INVALFLAG;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT kelAcmConverter::convert(ACMDRVSTREAMHEADER& header) noexcept
{
    const uint32_t units = std::min(header.cbSrcLength / f_srcUnit, header.cbDstLength / f_dstUnit);
    convertUnits(header.pbSrc, header.pbDst, units);
    uint32_t usedSrc = units * f_srcUnit;
    uint32_t usedDst = units * f_dstUnit;
    const uint32_t tail = header.cbSrcLength - usedSrc;
    const bool flushTail =
        (header.fdwConvert & ACM_STREAMCONVERTF_END) || !(header.fdwConvert & ACM_STREAMCONVERTF_BLOCKALIGN);
    if (flushTail && tail > 0 && tail < f_srcUnit && header.cbDstLength - usedDst >= f_dstUnit) {
        bool taken = false;
        usedDst += convertTail(header.pbSrc + usedSrc, tail, header.pbDst + usedDst, taken);
        if (taken) usedSrc += tail;
    }
    header.cbSrcLengthUsed = usedSrc;
    header.cbDstLengthUsed = usedDst;
    return MMSYSERR_NOERROR;
}

uint32_t kelAcmConverter::convertTail(const uint8_t* src, uint32_t bytes, uint8_t* dst, bool& taken) noexcept
{
    taken = f_padTail;
    if (!f_padTail) return 0;
    try {
        std::vector<uint8_t> unit(f_srcUnit, 0);
        std::memcpy(unit.data(), src, bytes);
        convertUnits(unit.data(), dst, 1);
        return f_dstUnit;
    } catch (...) {
        return 0;
    }
}

// --- driver --------------------------------------------------------------------

kelAcmDriver::kelAcmDriver(uint16_t productId, const char16_t* shortName, const char16_t* longName,
                           uint32_t support)
{
    f_details.cbStruct = sizeof f_details;
    f_details.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
    f_details.wMid = kelAcmMakerId;
    f_details.wPid = productId;
    f_details.vdwACM = 0x04000000;
    f_details.vdwDriver = 0x01000000;
    f_details.fdwSupport = support;
    copyText(f_details.szShortName, ACMDRIVERDETAILS_SHORTNAME_CHARS, shortName);
    copyText(f_details.szLongName, ACMDRIVERDETAILS_LONGNAME_CHARS, longName);
    copyText(f_details.szCopyright, ACMDRIVERDETAILS_COPYRIGHT_CHARS, u"Built into the kel library");
    copyText(f_details.szFeatures, ACMDRIVERDETAILS_FEATURES_CHARS, longName);
}

void kelAcmDriver::addTag(uint16_t tag, const char16_t* name, std::vector<std::vector<uint8_t>> formats)
{
    kelAcmTagInfo info;
    info.tag = tag;
    info.name = name;
    for (const auto& f : formats)
        info.formatSize = std::max<uint32_t>(info.formatSize, uint32_t(f.size()));
    info.formats = std::move(formats);
    f_tags.push_back(std::move(info));
    f_details.cFormatTags = uint32_t(f_tags.size());
}

intptr_t kelAcmDispatch(const kelAcmDriver& driver, uintptr_t driverId, uint32_t message, intptr_t lParam1,
                        intptr_t lParam2) noexcept
{
    (void)driverId;
    switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_CLOSE:
        return 1;
    // The drivers keep no state per open instance; every instance is id 1.
    case DRV_OPEN:
        return 1;
    case DRV_QUERYCONFIGURE:
    case DRV_CONFIGURE:
    case DRV_INSTALL:
    case DRV_REMOVE:
        return 0;
    case ACMDM_DRIVER_DETAILS: {
        ACMDRIVERDETAILSW request;
        if (!readCut(lParam1, request, sizeof(uint32_t))) return MMSYSERR_INVALPARAM;
        ACMDRIVERDETAILSW answer = driver.details();
        answer.cbStruct = std::min<uint32_t>(request.cbStruct, sizeof answer);
        writeCut(reinterpret_cast<void*>(lParam1), answer, answer.cbStruct);
        return MMSYSERR_NOERROR;
    }
    case ACMDM_FORMATTAG_DETAILS:
        return tagDetails(driver, lParam1, lParam2);
    case ACMDM_FORMAT_DETAILS:
        return formatDetails(driver, lParam1, lParam2);
    case ACMDM_FORMAT_SUGGEST:
        return suggest(driver, lParam1);
    case ACMDM_STREAM_OPEN:
        return streamOpen(driver, lParam1);
    case ACMDM_STREAM_CLOSE: {
        auto* converter = converterOf(lParam1);
        if (converter == nullptr) return MMSYSERR_INVALPARAM;
        delete converter;
        reinterpret_cast<ACMDRVSTREAMINSTANCE*>(lParam1)->dwDriver = 0;
        return MMSYSERR_NOERROR;
    }
    case ACMDM_STREAM_SIZE: {
        auto* converter = converterOf(lParam1);
        auto* size = reinterpret_cast<ACMDRVSTREAMSIZE*>(lParam2);
        if (converter == nullptr || size == nullptr || size->cbStruct < sizeof *size)
            return MMSYSERR_INVALPARAM;
        return converter->size(*size);
    }
    case ACMDM_STREAM_CONVERT: {
        auto* converter = converterOf(lParam1);
        auto* header = reinterpret_cast<ACMDRVSTREAMHEADER*>(lParam2);
        if (converter == nullptr || header == nullptr || header->cbStruct < sizeof *header)
            return MMSYSERR_INVALPARAM;
        if ((header->pbSrc == nullptr && header->cbSrcLength != 0) ||
            (header->pbDst == nullptr && header->cbDstLength != 0))
            return MMSYSERR_INVALPARAM;
        return converter->convert(*header);
    }
    case ACMDM_STREAM_RESET: {
        auto* converter = converterOf(lParam1);
        if (converter == nullptr) return MMSYSERR_INVALPARAM;
        converter->reset();
        return MMSYSERR_NOERROR;
    }
    default:
        return message < DRV_USER ? 0 : MMSYSERR_NOTSUPPORTED;
    }
}

// --- format helpers ---------------------------------------------------------

std::vector<uint8_t> kelAcmMakeFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                                      uint16_t blockAlign, uint16_t bits, uint32_t size)
{
    std::vector<uint8_t> record(std::max<size_t>(size, sizeof(WAVEFORMATEX)), 0);
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nAvgBytesPerSec = avgBytes;
    f.nBlockAlign = blockAlign;
    f.wBitsPerSample = bits;
    f.cbSize = uint16_t(record.size() - sizeof f);
    std::memcpy(record.data(), &f, sizeof f);
    return record;
}

std::vector<uint8_t> kelAcmMakePcmFormat(uint16_t channels, uint32_t rate, uint16_t bits)
{
    const uint16_t block = uint16_t(channels * bits / 8);
    return kelAcmMakeFormat(WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, sizeof(WAVEFORMATEX));
}

bool kelAcmIsPcm(const WAVEFORMATEX& f, bool sixteenOnly) noexcept
{
    if (f.wFormatTag != WAVE_FORMAT_PCM || f.nSamplesPerSec == 0) return false;
    if (f.nChannels != 1 && f.nChannels != 2) return false;
    if (f.wBitsPerSample != 16 && (sixteenOnly || f.wBitsPerSample != 8)) return false;
    return f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

MMRESULT kelAcmWriteSuggestion(const std::vector<uint8_t>& record, WAVEFORMATEX* dst,
                               uint32_t dstSize) noexcept
{
    const bool pcm = headOf(record).wFormatTag == WAVE_FORMAT_PCM;
    const size_t needed = pcm ? 16 : record.size();
    if (dstSize < needed) return ACMERR_NOTPOSSIBLE;
    std::memcpy(dst, record.data(), std::min<size_t>(record.size(), dstSize));
    return MMSYSERR_NOERROR;
}

MMRESULT kelAcmCodecDriver::suggest(const std::vector<uint8_t>& src, WAVEFORMATEX* dst, uint32_t dstSize,
                                    uint32_t flags) const
{
    const WAVEFORMATEX s = kelAcmHead(src);
    WAVEFORMATEX fixed{};
    std::memcpy(&fixed, dst, 16);
    std::vector<uint8_t> record;
    if (kelAcmIsPcm(s, true))
        record = codedFor(s, fixed, flags);
    else if (decodes(src))
        record = kelAcmMakePcmFormat(s.nChannels, s.nSamplesPerSec, 16);
    if (record.empty() || !kelAcmKeepsFixed(kelAcmHead(record), fixed, flags)) return ACMERR_NOTPOSSIBLE;
    return kelAcmWriteSuggestion(record, dst, dstSize);
}

std::unique_ptr<kelAcmConverter> kelAcmCodecDriver::open(const std::vector<uint8_t>& src,
                                                         const std::vector<uint8_t>& dst,
                                                         MMRESULT& result) const
{
    const WAVEFORMATEX s = kelAcmHead(src), d = kelAcmHead(dst);
    result = ACMERR_NOTPOSSIBLE;
    if (s.nSamplesPerSec != d.nSamplesPerSec || s.nChannels != d.nChannels) return nullptr;
    const bool encode = kelAcmIsPcm(s, true) && encodes(s, dst);
    if (!encode && !(decodes(src) && kelAcmIsPcm(d, true))) return nullptr;
    auto converter = makeConverter(encode ? s : d, encode ? dst : src, encode, result);
    if (converter) result = MMSYSERR_NOERROR;
    return converter;
}

bool kelAcmCodecDriver::encodes(const WAVEFORMATEX&, const std::vector<uint8_t>& coded) const noexcept
{
    return decodes(coded);
}

bool kelAcmKeepsFixed(const WAVEFORMATEX& f, const WAVEFORMATEX& fixed, uint32_t flags) noexcept
{
    if ((flags & ACM_FORMATSUGGESTF_WFORMATTAG) && f.wFormatTag != fixed.wFormatTag) return false;
    if ((flags & ACM_FORMATSUGGESTF_NCHANNELS) && f.nChannels != fixed.nChannels) return false;
    if ((flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) && f.nSamplesPerSec != fixed.nSamplesPerSec) return false;
    if ((flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) && f.wBitsPerSample != fixed.wBitsPerSample) return false;
    return true;
}

WAVEFORMATEX kelAcmHead(const std::vector<uint8_t>& record) noexcept
{
    WAVEFORMATEX f{};
    std::memcpy(&f, record.data(), std::min(record.size(), sizeof f));
    return f;
}

uint16_t kelAcmSamplesPerBlock(const std::vector<uint8_t>& record) noexcept
{
    const WAVEFORMATEX f = kelAcmHead(record);
    if (f.cbSize < 2 || record.size() < sizeof f + 2) return 0;
    return uint16_t(record[sizeof f] | (record[sizeof f + 1] << 8));
}

bool kelAcmHasShape(const WAVEFORMATEX& f) noexcept
{
    return f.nChannels != 0 && f.nSamplesPerSec != 0 && f.nBlockAlign != 0;
}
