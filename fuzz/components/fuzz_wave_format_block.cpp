// A provider's format block of random bytes and random size, as a wave
// component takes it from a network peer: no read past the block (ASan), a
// driver part only with a known mode and a bare library name within its
// field, and a record built from it exactly when its values fit one, with
// those values.

#include "components/kelMT_wave.h"

#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelWaveFormatBlockContent content;
    const bool read = kelReadWaveFormatBlock(data, size, content);
    check(read == (size >= kelWaveFormatBlockSize));
    if (!read) return 0;
    check(std::memcmp(&content.format, data, sizeof content.format) == 0);
    check(!(content.hasDriver && content.driverRefused));
    if (content.hasDriver) {
        check(size >= kelCodecFormatBlockSize);
        check(kelIsAcmCodecDriverMode(content.driverMode) && content.driverMode != kelcdm_acm);
        check(content.driverLibrary.size() <= kelCodecBlockLibraryMaxChars);
        check(content.driverLibrary.empty() || kelIsBareLibraryName(content.driverLibrary));
        check(content.driverLibrary.find('\0') == std::string::npos);
    } else {
        check(content.driverLibrary.empty());
    }

    kelFormatBlock record;
    const bool filled = kelFillPcmRecord(record, content.format);
    check(filled == kelWaveFormatFitsRecord(content.format));
    if (!filled) return 0;
    const kelWaveFormat offered = kelWaveFormatOfRecord(content.format.formatTag, record);
    check(offered.formatOriginal.pcmSamplesPerSecond == content.format.formatOriginal.pcmSamplesPerSecond);
    check(offered.formatOriginal.pcmNumChannels == content.format.formatOriginal.pcmNumChannels);
    check(offered.formatOriginal.pcmBitsPerSample == content.format.formatOriginal.pcmBitsPerSample);
    const WAVEFORMATEXTENSIBLE* ext = record.formatExt();
    check(ext != nullptr && ext->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE);
    check(ext->Format.wBitsPerSample % 8 == 0 && ext->Format.wBitsPerSample >= ext->Samples.wValidBitsPerSample);
    // Rebuilding with any of the four values keeps a record or refuses.
    for (int index = kelPcmSamplesPerSec; index <= kelPcmChannelMask; ++index) {
        kelFormatBlock copy;
        (void)kelFillPcmRecord(copy, content.format);
        const uintptr_t value = index == kelPcmChannelMask ? content.format.formatChannelMask
                                                           : content.format.formatOriginal.pcmNumChannels;
        if (kelRebuildPcmRecord(copy, index, value, index == kelPcmChannelMask))
            check(copy.formatExt() != nullptr);
    }
    return 0;
}
