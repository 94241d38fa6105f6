// The GSM 06.10 driver: 16-bit 8 kHz mono PCM to and from WAV49 blocks
// (two frames, 320 samples, in 65 bytes: libgsm's WAV49 option), over
// libgsm's frame coder. The coder state runs on from block to block and
// restarts on reset.

#include "codecs/kelAcmDriver.h"
#include "codecs/kelAcmDrivers.h"

#include <gsm.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kRate = 8000;
constexpr uint16_t kBlock = 65;
constexpr uint16_t kSamples = 320;
constexpr uint32_t kPcmBlock = kSamples * 2;
constexpr int kFrameSamples = 160;
// Within a block the first frame takes 32.5 bytes: libgsm writes 32 bytes
// and then 33 when encoding, reads 33 and then 32 when decoding.
constexpr int kSecondEncode = 32;
constexpr int kSecondDecode = 33;

std::vector<uint8_t> gsmFormat()
{
    auto record = kelAcmMakeFormat(WAVE_FORMAT_GSM610, 1, kRate, kRate * kBlock / kSamples, kBlock, 0,
                                   sizeof(GSM610WAVEFORMAT));
    record[18] = uint8_t(kSamples & 0xFF);
    record[19] = uint8_t(kSamples >> 8);
    return record;
}

bool isGsm(const std::vector<uint8_t>& record) noexcept
{
    const WAVEFORMATEX f = kelAcmHead(record);
    const uint16_t samples = kelAcmSamplesPerBlock(record);
    return f.wFormatTag == WAVE_FORMAT_GSM610 && f.nChannels == 1 && f.nSamplesPerSec == kRate &&
           f.nBlockAlign == kBlock && (samples == 0 || samples == kSamples);
}

bool isGsmPcm(const WAVEFORMATEX& f) noexcept
{
    return kelAcmIsPcm(f, true) && f.nChannels == 1 && f.nSamplesPerSec == kRate;
}

class GsmConverter : public kelAcmConverter
{
public:
    explicit GsmConverter(bool encode) noexcept
        : kelAcmConverter(encode ? kPcmBlock : kBlock, encode ? kBlock : kPcmBlock), f_encode(encode)
    {
        f_padTail = encode;
        start();
    }
    ~GsmConverter() override
    {
        if (f_gsm != nullptr) gsm_destroy(f_gsm);
    }
    GsmConverter(const GsmConverter&) = delete;
    GsmConverter& operator=(const GsmConverter&) = delete;

    bool isValid() const noexcept { return f_gsm != nullptr; }

    void reset() noexcept override
    {
        if (f_gsm != nullptr) gsm_destroy(f_gsm);
        start();
    }

protected:
    void convertUnits(const uint8_t* src, uint8_t* dst, uint32_t units) noexcept override
    {
        for (uint32_t u = 0; u < units; ++u, src += f_srcUnit, dst += f_dstUnit)
            f_encode ? encodeBlock(src, dst) : decodeBlock(src, dst);
    }

    // A decoder drops a partial block: half a WAV49 pair is no frame.
    uint32_t convertTail(const uint8_t* src, uint32_t bytes, uint8_t* dst, bool& taken) noexcept override
    {
        if (f_encode) return kelAcmConverter::convertTail(src, bytes, dst, taken);
        taken = true;
        return 0;
    }

private:
    void start() noexcept
    {
        f_gsm = gsm_create();
        if (f_gsm == nullptr) return;
        int wav49 = 1;
        gsm_option(f_gsm, GSM_OPT_WAV49, &wav49);
    }

    void encodeBlock(const uint8_t* src, uint8_t* dst) noexcept
    {
        // libgsm wants aligned samples; the caller's bytes may not be.
        gsm_signal samples[kFrameSamples];
        for (int f = 0; f < 2; ++f) {
            std::memcpy(samples, src + f * kFrameSamples * 2, sizeof samples);
            gsm_encode(f_gsm, samples, dst + f * kSecondEncode);
        }
    }

    void decodeBlock(const uint8_t* src, uint8_t* dst) noexcept
    {
        gsm_byte frame[kBlock];
        std::memcpy(frame, src, kBlock); // libgsm takes a writable pointer
        gsm_signal samples[kFrameSamples];
        for (int f = 0; f < 2; ++f) {
            // A frame libgsm refuses comes out as silence, keeping the length.
            if (gsm_decode(f_gsm, frame + f * kSecondDecode, samples) != 0)
                std::fill_n(samples, kFrameSamples, 0);
            std::memcpy(dst + f * kFrameSamples * 2, samples, sizeof samples);
        }
    }

    bool f_encode;
    gsm f_gsm = nullptr;
};

class GsmDriver : public kelAcmCodecDriver
{
public:
    GsmDriver()
        : kelAcmCodecDriver(kelAcmGsmProductId, u"GSM 6.10", u"GSM 06.10 full-rate codec (WAV49 blocks)",
                            ACMDRIVERDETAILS_SUPPORTF_CODEC)
    {
        addTag(WAVE_FORMAT_PCM, u"PCM", {kelAcmMakePcmFormat(1, kRate, 16)});
        addTag(WAVE_FORMAT_GSM610, u"GSM 6.10", {gsmFormat()});
    }

protected:
    bool decodes(const std::vector<uint8_t>& coded) const noexcept override { return isGsm(coded); }

    bool encodes(const WAVEFORMATEX& pcm, const std::vector<uint8_t>& coded) const noexcept override
    {
        return isGsmPcm(pcm) && isGsm(coded);
    }

    std::vector<uint8_t> codedFor(const WAVEFORMATEX& pcm, const WAVEFORMATEX&, uint32_t) const override
    {
        if (!isGsmPcm(pcm)) return {};
        return gsmFormat();
    }

    std::unique_ptr<kelAcmConverter> makeConverter(const WAVEFORMATEX&, const std::vector<uint8_t>&,
                                                   bool encode, MMRESULT& result) const override
    {
        auto converter = std::make_unique<GsmConverter>(encode);
        if (converter->isValid()) return converter;
        result = MMSYSERR_NOMEM;
        return nullptr;
    }
};

} // namespace

intptr_t kelAcmGsmDriverProc(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1,
                             intptr_t lParam2) noexcept
{
    return kelAcmDriverProcOf<GsmDriver>(driverId, message, lParam1, lParam2);
}
