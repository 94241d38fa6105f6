#include "audio/kelWaveFormatRoutines.h"

#include "audio/kelPCM.h"
#include "core/kelMemUtils.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr size_t headerSize = sizeof(WAVEFORMATEX);

// The header, read by value (the record may sit at any address and may be
// inside the block a routine is about to resize).
bool readHeader(const WAVEFORMATEX* format, size_t formatSize, WAVEFORMATEX& header) noexcept
{
    if (format == nullptr || formatSize < headerSize) return false;
    std::memcpy(&header, format, headerSize);
    return true;
}

// The extensible fields, when the record is extensible and holds them.
bool readExtensible(const WAVEFORMATEX* format, size_t formatSize, WAVEFORMATEXTENSIBLE& ext) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(format, formatSize, header)) return false;
    if (header.wFormatTag != WAVE_FORMAT_EXTENSIBLE || header.cbSize < kelFormatExtExtraSize) return false;
    if (formatSize < sizeof(WAVEFORMATEXTENSIBLE)) return false;
    std::memcpy(&ext, format, sizeof(WAVEFORMATEXTENSIBLE));
    return true;
}

bool isPCMOrFloat(const GUID& subFormat) noexcept
{
    return guidEquals(&subFormat, &KSDATAFORMAT_SUBTYPE_PCM) ||
           guidEquals(&subFormat, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

// Copies the record's cbSize + 18 bytes, as far as the caller holds them,
// into `target` sized `size` (cbSize + 18 when 0). The source may lie inside
// `target`. Returns the block size, 0 when memory is short.
size_t copyRecord(const WAVEFORMATEX* format, size_t formatSize, const WAVEFORMATEX& header,
                  kelFormatBlock& target, size_t size) noexcept
{
    const size_t whole = headerSize + header.cbSize;
    if (size == 0) size = whole;
    const size_t count = std::min({whole, formatSize, size});
    kelFormatBlock fresh;
    if (!fresh.resize(size)) return 0;
    std::memcpy(fresh.data(), format, count);
    target = std::move(fresh);
    return size;
}

} // namespace

WAVEFORMATEX* fillPCMFormat(WAVEFORMATEX* format, uint32_t samplesPerSec, uint16_t bitsPerSample,
                            uint16_t numChannels) noexcept
{
    if (format == nullptr) return nullptr;
    format->wFormatTag = WAVE_FORMAT_PCM;
    format->nChannels = numChannels;
    format->nSamplesPerSec = samplesPerSec;
    format->wBitsPerSample = bitsPerSample;
    format->nBlockAlign = static_cast<uint16_t>(uint32_t{numChannels} * bitsPerSample / 8);
    format->nAvgBytesPerSec = uint32_t{format->nBlockAlign} * samplesPerSec;
    format->cbSize = 0;
    return format;
}

WAVEFORMATEXTENSIBLE* fillFormatExt(kelFormatBlock& formatExt, const GUID& subFormat, uint32_t samplesPerSec,
                                    uint16_t containerBits, uint16_t validBits, uint16_t numChannels,
                                    uint32_t channelMask) noexcept
{
    const GUID sub = subFormat; // the identifier may live in the block being resized
    if (!formatExt.resize(sizeof(WAVEFORMATEXTENSIBLE))) return nullptr;
    WAVEFORMATEXTENSIBLE* ext = formatExt.formatExt();
    const uint16_t container =
        containerBits != 0 ? containerBits : static_cast<uint16_t>((uint32_t{validBits} + 7) / 8 * 8);
    fillPCMFormat(&ext->Format, samplesPerSec, container, numChannels);
    ext->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    ext->Format.cbSize = kelFormatExtExtraSize;
    ext->Samples.wValidBitsPerSample = validBits;
    ext->dwChannelMask = channelMask == kelChannelMaskDefault ? defaultChannelMask(numChannels) : channelMask;
    ext->SubFormat = sub;
    return ext;
}

WAVEFORMATEXTENSIBLE* fillFormatExtPCM(kelFormatBlock& formatExt, uint32_t samplesPerSec,
                                       uint16_t containerBits, uint16_t validBits, uint16_t numChannels,
                                       uint32_t channelMask) noexcept
{
    return fillFormatExt(formatExt, KSDATAFORMAT_SUBTYPE_PCM, samplesPerSec, containerBits, validBits,
                         numChannels, channelMask);
}

WAVEFORMATEX* formatToFormatExt(kelFormatBlock& formatExt, const WAVEFORMATEX* format,
                                size_t formatSize) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(format, formatSize, header)) return nullptr;
    if (header.wFormatTag == WAVE_FORMAT_PCM || header.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        const GUID& sub =
            header.wFormatTag == WAVE_FORMAT_PCM ? KSDATAFORMAT_SUBTYPE_PCM : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        WAVEFORMATEXTENSIBLE* ext =
            fillFormatExt(formatExt, sub, header.nSamplesPerSec, 0, header.wBitsPerSample, header.nChannels,
                          kelChannelMaskDefault);
        return ext != nullptr ? &ext->Format : nullptr;
    }
    if (copyRecord(format, formatSize, header, formatExt, 0) == 0) return nullptr;
    return formatExt.format();
}

bool formatExtToFormat(const WAVEFORMATEX* formatExt, size_t formatExtSize, kelFormatBlock& format,
                       bool force, size_t size) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(formatExt, formatExtSize, header)) {
        format.reset();
        return false;
    }
    if (header.wFormatTag != WAVE_FORMAT_EXTENSIBLE || header.cbSize < kelFormatExtExtraSize) {
        if (copyRecord(formatExt, formatExtSize, header, format, size) != 0) return true;
        format.reset();
        return false;
    }
    WAVEFORMATEXTENSIBLE ext;
    if (!readExtensible(formatExt, formatExtSize, ext) || !isPCMOrFloat(ext.SubFormat) ||
        (!force && !isPlainChannelMask(header.nChannels, ext.dwChannelMask))) {
        format.reset();
        return false;
    }
    // A header needs 18 bytes, whatever smaller size the caller named.
    kelFormatBlock fresh;
    if (!fresh.resize(std::max(size, headerSize))) {
        format.reset();
        return false;
    }
    WAVEFORMATEX* plain =
        fillPCMFormat(fresh.format(), header.nSamplesPerSec, header.wBitsPerSample, header.nChannels);
    if (guidEquals(&ext.SubFormat, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
        plain->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format = std::move(fresh);
    return true;
}

size_t duplicateFormat(const WAVEFORMATEX* format, size_t formatSize, kelFormatBlock& copy,
                       size_t size) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(format, formatSize, header)) {
        copy.reset();
        return 0;
    }
    const size_t copied = copyRecord(format, formatSize, header, copy, size);
    if (copied == 0) copy.reset();
    return copied;
}

bool formatIsPCM(const WAVEFORMATEX* format, size_t formatSize) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(format, formatSize, header)) return false;
    if (header.wBitsPerSample == 0 || header.wBitsPerSample % 8 != 0) return false;
    if (header.wFormatTag == WAVE_FORMAT_PCM) return true;
    WAVEFORMATEXTENSIBLE ext;
    return readExtensible(format, formatSize, ext) && isPCMOrFloat(ext.SubFormat);
}

bool sameFormat(const WAVEFORMATEX* a, size_t aSize, const WAVEFORMATEX* b, size_t bSize) noexcept
{
    WAVEFORMATEX ha, hb;
    if (!readHeader(a, aSize, ha) || !readHeader(b, bSize, hb)) return false;
    if (ha.wFormatTag != hb.wFormatTag || ha.nChannels != hb.nChannels ||
        ha.nSamplesPerSec != hb.nSamplesPerSec || ha.wBitsPerSample != hb.wBitsPerSample)
        return false;
    if (ha.wFormatTag == WAVE_FORMAT_PCM) return true;
    if (ha.cbSize != hb.cbSize) return false;
    const size_t whole = headerSize + ha.cbSize;
    if (aSize < whole || bSize < whole) return false;
    constexpr size_t cbSizeOffset = offsetof(WAVEFORMATEX, cbSize);
    return std::memcmp(reinterpret_cast<const uint8_t*>(a) + cbSizeOffset,
                       reinterpret_cast<const uint8_t*>(b) + cbSizeOffset, whole - cbSizeOffset) == 0;
}

bool formatIsFloat(const WAVEFORMATEX* format, size_t formatSize) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(format, formatSize, header)) return false;
    if (header.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    WAVEFORMATEXTENSIBLE ext;
    return readExtensible(format, formatSize, ext) &&
           guidEquals(&ext.SubFormat, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

uintptr_t formatSampleBits(const WAVEFORMATEX* format, size_t formatSize) noexcept
{
    WAVEFORMATEX header;
    if (!readHeader(format, formatSize, header)) return 0;
    if (formatIsFloat(format, formatSize)) return header.wBitsPerSample == 32 ? kelPCMBitsFloat32 : 0;
    return formatIsPCM(format, formatSize) ? header.wBitsPerSample : 0;
}

uint32_t defaultChannelMask(unsigned numChannels) noexcept
{
    switch (numChannels) {
    case 1:
        return 0x4;
    case 2:
        return 0x3;
    case 3:
        return 0x7;
    case 4:
        return 0x107;
    case 6:
        return 0x3F;
    case 8:
        return 0xFF;
    default:
        return 0;
    }
}

bool isPlainChannelMask(unsigned numChannels, uint32_t channelMask) noexcept
{
    switch (numChannels) {
    case 1:
        return channelMask == 0x4;
    case 2:
        return channelMask == 0x3;
    case 3:
        return channelMask == 0x7;
    case 4:
        return channelMask == 0x33 || channelMask == 0x107;
    case 6:
        return channelMask == 0x3F || channelMask == 0x60F;
    case 8:
        return channelMask == 0xFF || channelMask == 0x63F;
    default:
        return false;
    }
}
