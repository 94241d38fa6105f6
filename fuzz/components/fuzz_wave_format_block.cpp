// A provider's format block of random bytes and random size, as a wave
// component takes it from a network peer: no read past the block (ASan), a
// driver part only with a known mode and a bare library name within its
// field, and a record built from it exactly when its values fit one, with
// those values. The same block then goes to the codec, mixer and resampler
// components: a short block is refused and changes nothing, a mixer that
// holds another provider refuses a format it does not have, a resampler's
// destination never follows a provider, and every record stays one.

#include "components/kelMT_wave.h"
#include "core/kelCreate.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

class FuzzCodec : public kelmtlWaveCodecDevice
{
public:
    using kelmtlWaveCodecDevice::applyFormat;
};
class FuzzMixer : public kelmtlWaveMixer
{
public:
    using kelmtlWaveMixer::applyFormat;
};
class FuzzResampler : public kelmtlWaveResampler
{
public:
    using kelmtlWaveResampler::applyFormat;
};

// Made once: the components stay closed, so no device thread runs.
struct Components
{
    FuzzCodec* codec = kelCreate<FuzzCodec>();
    FuzzMixer* mixer = kelCreate<FuzzMixer>();
    FuzzResampler* resampler = kelCreate<FuzzResampler>();
    // Linked to the mixer, so every block the test gives meets another
    // provider.
    kelmtlWaveResampler* other = kelCreate<kelmtlWaveResampler>();
    Components() { (void)other->addConsumer(mixer); }
};

Components& components()
{
    static Components made;
    return made;
}

bool validRecord(const kelmtlInOutWavePipe* pipe)
{
    return pipe->pcm_samplesPerSec() != 0 && pipe->pcm_numChannels() != 0 && pipe->pcm_bitsPerSample() != 0;
}

void driveComponents(const uint8_t* data, size_t size, const kelWaveFormatBlockContent* content)
{
    // A library name the block carries is swapped for one that exists
    // nowhere: the loader is not asked to open whatever the fuzzer spells.
    std::vector<uint8_t> block(data, data + size);
    if (content && content->hasDriver && !content->driverLibrary.empty()) {
        static const char kNone[] = "kel-fuzz-none.so";
        std::memset(block.data() + kelCodecBlockLibraryOffset, 0, kelCodecBlockLibraryField);
        std::memcpy(block.data() + kelCodecBlockLibraryOffset, kNone, sizeof kNone);
    }
    const auto len = static_cast<uint32_t>(block.size());
    Components& c = components();

    const std::vector<uint8_t> mixBefore = c.mixer->pcmFormatExt();
    const bool mixTook = c.mixer->applyFormat(block.data(), len, nullptr, false);
    if (!content) check(!mixTook);
    if (!mixTook) check(c.mixer->pcmFormatExt() == mixBefore);
    check(validRecord(c.mixer));

    const uint32_t dstRate = c.resampler->dst_SamplesPerSec();
    const uint32_t dstChannels = c.resampler->dst_NumChannels();
    const std::vector<uint8_t> srcBefore = c.resampler->pcmFormatExt();
    const bool resTook = c.resampler->applyFormat(block.data(), len, nullptr, false);
    if (!content) check(!resTook && c.resampler->pcmFormatExt() == srcBefore);
    check(c.resampler->dst_SamplesPerSec() == dstRate && c.resampler->dst_NumChannels() == dstChannels);
    check(validRecord(c.resampler));

    const std::vector<uint8_t> codecBefore = c.codec->pcmFormatExt();
    const bool codecTook = c.codec->applyFormat(block.data(), len, nullptr, false);
    if (!content) check(!codecTook && c.codec->pcmFormatExt() == codecBefore);
    check(validRecord(c.codec));
    const std::string library = c.codec->driverLibrary();
    check(library.empty() || kelIsBareLibraryName(library));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelWaveFormatBlockContent content;
    const bool read = kelReadWaveFormatBlock(data, size, content);
    check(read == (size >= kelWaveFormatBlockSize));
    driveComponents(data, size, read ? &content : nullptr);
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
    check(ext->Format.wBitsPerSample % 8 == 0 &&
          ext->Format.wBitsPerSample >= ext->Samples.wValidBitsPerSample);
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
