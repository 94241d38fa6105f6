#include "components/kelWavePcmRecord.h"

#include "audio/kelWaveFormatRoutines.h"
#include "components/kelWaveFormatBlock.h"

namespace {

bool isExtensible(const WAVEFORMATEX* format, size_t size) noexcept
{
    return format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= kelFormatExtExtraSize &&
           size >= sizeof(WAVEFORMATEXTENSIBLE);
}

uintptr_t valueAt(const kelPcmValues& values, int index) noexcept
{
    switch (index) {
    case kelPcmSamplesPerSec:
        return values.samplesPerSec;
    case kelPcmBitsPerSample:
        return values.bitsPerSample;
    case kelPcmNumChannels:
        return values.numChannels;
    default:
        return values.channelMask;
    }
}

bool fill(kelFormatBlock& record, const kelPcmValues& values, uint32_t mask) noexcept
{
    // Built aside, so a failure leaves the record as it was.
    kelFormatBlock next;
    if (!fillFormatExtPCM(next, values.samplesPerSec, 0, values.bitsPerSample, values.numChannels, mask))
        return false;
    record = std::move(next);
    return true;
}
} // namespace

kelPcmValues kelPcmValuesOf(const kelFormatBlock& record) noexcept
{
    kelPcmValues values;
    const WAVEFORMATEX* format = record.format();
    if (!format) return values;
    values.samplesPerSec = format->nSamplesPerSec;
    values.bitsPerSample = format->wBitsPerSample;
    values.numChannels = format->nChannels;
    values.channelMask = defaultChannelMask(format->nChannels);
    if (isExtensible(format, record.size())) {
        const WAVEFORMATEXTENSIBLE* ext = record.formatExt();
        if (ext->Samples.wValidBitsPerSample != 0) values.bitsPerSample = ext->Samples.wValidBitsPerSample;
        values.channelMask = ext->dwChannelMask;
    }
    return values;
}

bool kelPcmRecordHolds(const kelFormatBlock& record, int index, uintptr_t value,
                       bool maskIsNotDefault) noexcept
{
    if (index < kelPcmSamplesPerSec || index > kelPcmChannelMask) return false;
    const kelPcmValues values = kelPcmValuesOf(record);
    if (index == kelPcmChannelMask && value == kelChannelMaskDefault)
        return !maskIsNotDefault && values.channelMask == defaultChannelMask(values.numChannels);
    return valueAt(values, index) == value;
}

bool kelPcmValueFits(int index, uintptr_t value) noexcept
{
    switch (index) {
    case kelPcmSamplesPerSec:
        return value != 0 && value <= UINT32_MAX;
    case kelPcmBitsPerSample:
    case kelPcmNumChannels:
        return value != 0 && value <= UINT16_MAX;
    case kelPcmChannelMask:
        return value <= UINT32_MAX;
    default:
        return false;
    }
}

bool kelRebuildPcmRecord(kelFormatBlock& record, int index, uintptr_t value, bool maskIsNotDefault) noexcept
{
    if (!kelPcmValueFits(index, value)) return false;
    kelPcmValues values = kelPcmValuesOf(record);
    uint32_t mask = maskIsNotDefault ? values.channelMask : kelChannelMaskDefault;
    switch (index) {
    case kelPcmSamplesPerSec:
        values.samplesPerSec = static_cast<uint32_t>(value);
        break;
    case kelPcmBitsPerSample:
        values.bitsPerSample = static_cast<uint16_t>(value);
        break;
    case kelPcmNumChannels:
        values.numChannels = static_cast<uint16_t>(value);
        break;
    default:
        mask = static_cast<uint32_t>(value);
        break;
    }
    return fill(record, values, mask);
}

bool kelFillPcmRecord(kelFormatBlock& record, const kelWaveFormat& format) noexcept
{
    if (!kelWaveFormatFitsRecord(format)) return false;
    kelPcmValues values;
    values.samplesPerSec = static_cast<uint32_t>(format.formatOriginal.pcmSamplesPerSecond);
    values.bitsPerSample = static_cast<uint16_t>(format.formatOriginal.pcmBitsPerSample);
    values.numChannels = static_cast<uint16_t>(format.formatOriginal.pcmNumChannels);
    return fill(record, values, static_cast<uint32_t>(format.formatChannelMask));
}

bool kelDefaultPcmRecord(kelFormatBlock& record) noexcept
{
    return fill(record, kelPcmValues{}, kelChannelMaskDefault);
}

kelWaveFormat kelWaveFormatOfRecord(uintptr_t tag, const kelFormatBlock& record) noexcept
{
    const kelPcmValues values = kelPcmValuesOf(record);
    kelWaveFormat block;
    block.formatTag = tag;
    block.formatOriginal.pcmSamplesPerSecond = values.samplesPerSec;
    block.formatOriginal.pcmBitsPerSample = values.bitsPerSample;
    block.formatOriginal.pcmNumChannels = values.numChannels;
    block.formatChannelMask = values.channelMask;
    return block;
}

bool kelSamePcmValues(const kelFormatBlock& a, const kelFormatBlock& b) noexcept
{
    if (a.empty() != b.empty()) return false;
    const kelPcmValues x = kelPcmValuesOf(a);
    const kelPcmValues y = kelPcmValuesOf(b);
    return x.samplesPerSec == y.samplesPerSec && x.bitsPerSample == y.bitsPerSample &&
           x.numChannels == y.numChannels && x.channelMask == y.channelMask;
}
