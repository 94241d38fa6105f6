// The MPEG layer 3 driver: layer 3 frames to 16-bit PCM through libmpg123's
// feed mode, and 16-bit PCM to layer 3 through LAME, at one rate and channel
// count on both sides. Layer 3 is a stream, not a block format: a decoder
// takes all the source it is given and keeps what it decoded beyond the
// destination for the next conversion; an encoder keeps the frames that do
// not fit the destination the same way, and takes no more source while it
// holds a destination's worth.

#include "codecs/kelAcmDriver.h"
#include "codecs/kelAcmDrivers.h"
#include "codecs/kelBladeEncAPI.h"
#include "codecs/kelMpgLibAPI.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace {

constexpr uint32_t kListedRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
constexpr uint32_t kEncoderRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr uint32_t kFrameSamplesMax = 1152;
// Writers of layer 3 files may leave the average rate 0 (the frames carry
// their own); size estimates then assume 128 kbit/s. The driver keeps what
// does not fit, so the guess costs at most a call more, never data.
constexpr uint32_t kUnknownAvgBytes = 16000;

// The libraries' bindings for the whole process, loaded on first use and
// kept: converters outlive any one caller. The encoder side codes through
// the stream interface; every decoder is a feed-mode decoder of its own.
kelBladeEncProc* sharedBladeEnc() noexcept
{
    static kelBladeEncProc* proc = [] {
        static kelBladeEncProc binding;
        return binding.load() == 0 ? &binding : nullptr;
    }();
    return proc;
}

bool mpg123Loads() noexcept
{
    static const bool loads = [] {
        static kelMpg123Proc binding;
        return binding.load() == 0;
    }();
    return loads;
}

uint32_t listedKbps(uint16_t channels, uint32_t rate) noexcept
{
    return (rate <= 24000 ? 32u : 64u) * channels;
}

std::vector<uint8_t> mp3Format(uint16_t channels, uint32_t rate, uint32_t kbps)
{
    auto record = kelAcmMakeFormat(WAVE_FORMAT_MPEGLAYER3, channels, rate, kbps * 125, 1, 0,
                                   sizeof(MPEGLAYER3WAVEFORMAT));
    MPEGLAYER3WAVEFORMAT f;
    std::memcpy(&f, record.data(), sizeof f);
    f.wID = MPEGLAYER3_ID_MPEG;
    f.fdwFlags = 0; // padding as the standard has it
    f.nBlockSize = uint16_t((rate >= 32000 ? 144u : 72u) * kbps * 1000 / rate);
    f.nFramesPerBlock = 1;
    f.nCodecDelay = 1393;
    std::memcpy(record.data(), &f, sizeof f);
    return record;
}

// A layer 3 record; an encoder also needs its average rate, the bit rate
// it is to code at.
bool isMp3(const WAVEFORMATEX& f, bool needsRate) noexcept
{
    return f.wFormatTag == WAVE_FORMAT_MPEGLAYER3 && kelAcmHasShape(f) &&
           (f.nChannels == 1 || f.nChannels == 2) && (f.nAvgBytesPerSec != 0 || !needsRate);
}

bool encoderRate(uint32_t rate) noexcept
{
    return std::find(std::begin(kEncoderRates), std::end(kEncoderRates), rate) != std::end(kEncoderRates);
}

uint32_t clampSize(uint64_t value) noexcept
{
    return uint32_t(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

class Mp3Converter : public kelAcmConverter
{
public:
    Mp3Converter(const WAVEFORMATEX& pcm, const WAVEFORMATEX& mp3, bool encode) noexcept
        : kelAcmConverter(pcm.nBlockAlign, 1), f_pcmAvg(pcm.nAvgBytesPerSec),
          f_mp3Avg(mp3.nAvgBytesPerSec != 0 ? mp3.nAvgBytesPerSec : kUnknownAvgBytes),
          f_frameBytes(pcm.nBlockAlign), f_channels(pcm.nChannels), f_rate(pcm.nSamplesPerSec),
          f_encode(encode)
    {
        start();
    }
    ~Mp3Converter() override { stop(); }
    Mp3Converter(const Mp3Converter&) = delete;
    Mp3Converter& operator=(const Mp3Converter&) = delete;

    bool isValid() const noexcept { return f_open; }

    void reset() noexcept override
    {
        stop();
        start();
    }

    MMRESULT size(ACMDRVSTREAMSIZE& size) noexcept override
    {
        // Estimates from the average rates, with a frame to spare: the
        // driver keeps what does not fit, so no answer can lose data.
        const uint64_t frame = uint64_t(kFrameSamplesMax) * f_frameBytes;
        const uint64_t srcAvg = f_encode ? f_pcmAvg : f_mp3Avg, dstAvg = f_encode ? f_mp3Avg : f_pcmAvg;
        if (size.fdwSize == ACM_STREAMSIZEF_SOURCE) {
            if (size.cbSrcLength == 0) return ACMERR_NOTPOSSIBLE;
            const uint64_t slack = f_encode ? 7200 : 2 * frame;
            size.cbDstLength = clampSize((uint64_t(size.cbSrcLength) * dstAvg + srcAvg - 1) / srcAvg + slack);
        } else if (size.fdwSize == ACM_STREAMSIZEF_DESTINATION) {
            uint64_t src = uint64_t(size.cbDstLength) * srcAvg / dstAvg;
            if (f_encode) src -= src % f_frameBytes;
            if (src == 0) return ACMERR_NOTPOSSIBLE;
            size.cbSrcLength = clampSize(src);
        } else {
            return MMSYSERR_INVALFLAG;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT convert(ACMDRVSTREAMHEADER& header) noexcept override
    {
        try {
            return f_encode ? encode(header) : decode(header);
        } catch (...) {
            return MMSYSERR_NOMEM;
        }
    }

protected:
    void convertUnits(const uint8_t*, uint8_t*, uint32_t) noexcept override {}

private:
    void start() noexcept
    {
        f_pending.clear();
        f_flushed = false;
        if (f_encode) {
            kelBladeEncProc* lame = sharedBladeEnc();
            if (lame == nullptr) return;
            BE_CONFIG config{};
            config.dwConfig = BE_CONFIG_LAME;
            auto& c = config.format.LHV1;
            c.dwStructVersion = 1;
            c.dwStructSize = sizeof(BE_CONFIG);
            c.dwSampleRate = f_rate;
            c.dwReSampleRate = f_rate;
            c.nMode = f_channels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
            c.dwBitrate = f_mp3Avg * 8 / 1000;
            c.nPreset = LQP_NOPRESET;
            c.dwMpegVersion = f_rate >= 32000 ? MPEG1 : MPEG2;
            c.nVbrMethod = VBR_METHOD_NONE;
            uint32_t samples = 0, room = 0;
            if (lame->beInitStream(&config, &samples, &room, &f_stream) != BE_ERR_SUCCESSFUL) return;
            f_chunkSamples = samples;
            f_out.resize(room);
            f_open = true;
        } else {
            if (!mpg123Loads()) return;
            f_decoder.emplace();
            f_decoder->forceFormat(long(f_rate), f_channels, kelMpg123Signed16);
            f_open = f_decoder->libOK() && f_decoder->open() == kelMpg123Ok;
            if (!f_open) f_decoder.reset();
        }
    }

    void stop() noexcept
    {
        if (!f_open) return;
        if (f_encode)
            sharedBladeEnc()->beCloseStream(f_stream);
        else
            f_decoder.reset();
        f_open = false;
    }

    MMRESULT decode(ACMDRVSTREAMHEADER& header)
    {
        if (!f_open) return MMSYSERR_ERROR;
        bool fed = header.cbSrcLength == 0;
        uint32_t done = 0;
        // mpg123 keeps what it decoded beyond the room given: the room is
        // filled before more source goes in.
        for (int idle = 0; done < header.cbDstLength && idle < 8;) {
            size_t got = header.cbDstLength - done;
            const int r = f_decoder->read(header.pbDst + done, got);
            done += uint32_t(got);
            if (r == kelMpg123NeedMore) {
                if (fed) break;
                f_decoder->feed(header.pbSrc, header.cbSrcLength);
                fed = true;
            } else if (r == kelMpg123NewFormat || (r == kelMpg123Ok && got > 0)) {
                idle = 0;
            } else if (r == kelMpg123Ok) {
                ++idle;
            } else {
                break; // a stream error: resynchronises on the next frame fed
            }
        }
        header.cbSrcLengthUsed = fed ? header.cbSrcLength : 0;
        header.cbDstLengthUsed = done;
        return MMSYSERR_NOERROR;
    }

    MMRESULT encode(ACMDRVSTREAMHEADER& header)
    {
        if (!f_open) return MMSYSERR_ERROR;
        kelBladeEncProc* lame = sharedBladeEnc();
        uint32_t usedSrc = 0;
        if (f_pending.size() < header.cbDstLength) {
            const uint32_t frames = header.cbSrcLength / f_frameBytes;
            const uint32_t chunkFrames = f_chunkSamples / f_channels;
            for (uint32_t at = 0; at < frames;) {
                const uint32_t n = std::min(chunkFrames, frames - at);
                // The source bytes need not be aligned for samples.
                f_samples.resize(size_t(n) * f_channels);
                std::memcpy(f_samples.data(), header.pbSrc + size_t(at) * f_frameBytes,
                            size_t(n) * f_frameBytes);
                uint32_t produced = 0;
                if (lame->beEncodeChunk(f_stream, n * f_channels, f_samples.data(), f_out.data(),
                                        &produced) != BE_ERR_SUCCESSFUL)
                    return MMSYSERR_ERROR;
                f_pending.insert(f_pending.end(), f_out.begin(), f_out.begin() + produced);
                at += n;
            }
            usedSrc = frames * f_frameBytes;
            if ((header.fdwConvert & ACM_STREAMCONVERTF_END) && !f_flushed) {
                // A part of a sample frame cannot be coded; the stream ends.
                f_flushed = true;
                usedSrc = header.cbSrcLength;
                uint32_t produced = 0;
                if (lame->beDeinitStream(f_stream, f_out.data(), &produced) == BE_ERR_SUCCESSFUL)
                    f_pending.insert(f_pending.end(), f_out.begin(), f_out.begin() + produced);
            }
        }
        const uint32_t out = uint32_t(std::min<size_t>(f_pending.size(), header.cbDstLength));
        if (out > 0) std::memcpy(header.pbDst, f_pending.data(), out);
        f_pending.erase(f_pending.begin(), f_pending.begin() + out);
        header.cbSrcLengthUsed = usedSrc;
        header.cbDstLengthUsed = out;
        return MMSYSERR_NOERROR;
    }

    uint32_t f_pcmAvg, f_mp3Avg, f_frameBytes;
    uint16_t f_channels;
    uint32_t f_rate;
    bool f_encode;
    bool f_open = false;
    HBE_STREAM f_stream = 0;                      // encoding
    uint32_t f_chunkSamples = 0;                  // the most samples one encoder call takes
    std::optional<kelLibmpg123Decoder> f_decoder; // decoding
    bool f_flushed = false;                       // the encoder's last frames are out
    std::vector<uint8_t> f_pending;               // coded bytes that did not fit
    std::vector<int16_t> f_samples;
    std::vector<uint8_t> f_out;
};

class Mp3Driver : public kelAcmCodecDriver
{
public:
    Mp3Driver()
        : kelAcmCodecDriver(kelAcmMp3ProductId, u"MPEG Layer-3", u"MPEG layer 3 codec (libmpg123, LAME)",
                            ACMDRIVERDETAILS_SUPPORTF_CODEC)
    {
        std::vector<std::vector<uint8_t>> pcm, mp3;
        for (const uint32_t rate : kListedRates)
            for (const uint16_t channels : {1, 2}) {
                pcm.push_back(kelAcmMakePcmFormat(channels, rate, 16));
                mp3.push_back(mp3Format(channels, rate, listedKbps(channels, rate)));
            }
        addTag(WAVE_FORMAT_PCM, u"PCM", std::move(pcm));
        addTag(WAVE_FORMAT_MPEGLAYER3, u"MPEG Layer-3", std::move(mp3));
    }

protected:
    bool decodes(const std::vector<uint8_t>& coded) const noexcept override
    {
        return isMp3(kelAcmHead(coded), false) && kelAcmMp3CanDecode();
    }

    bool encodes(const WAVEFORMATEX& pcm, const std::vector<uint8_t>& coded) const noexcept override
    {
        return isMp3(kelAcmHead(coded), true) && kelAcmMp3CanEncode() && encoderRate(pcm.nSamplesPerSec);
    }

    std::vector<uint8_t> codedFor(const WAVEFORMATEX& pcm, const WAVEFORMATEX&, uint32_t) const override
    {
        if (!kelAcmMp3CanEncode() || !encoderRate(pcm.nSamplesPerSec)) return {};
        return mp3Format(pcm.nChannels, pcm.nSamplesPerSec, listedKbps(pcm.nChannels, pcm.nSamplesPerSec));
    }

    std::unique_ptr<kelAcmConverter> makeConverter(const WAVEFORMATEX& pcm, const std::vector<uint8_t>& coded,
                                                   bool encode, MMRESULT&) const override
    {
        auto converter = std::make_unique<Mp3Converter>(pcm, kelAcmHead(coded), encode);
        if (!converter->isValid()) return nullptr;
        return converter;
    }
};

} // namespace

bool kelAcmMp3CanDecode() noexcept
{
    try {
        return mpg123Loads();
    } catch (...) {
        return false;
    }
}

bool kelAcmMp3CanEncode() noexcept
{
    try {
        return sharedBladeEnc() != nullptr;
    } catch (...) {
        return false;
    }
}

intptr_t kelAcmMp3DriverProc(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1,
                             intptr_t lParam2) noexcept
{
    return kelAcmDriverProcOf<Mp3Driver>(driverId, message, lParam1, lParam2);
}
