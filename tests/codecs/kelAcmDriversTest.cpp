// The built-in compression drivers through the compression manager: their
// identities, enumeration, suggested records (golden bytes: the "fmt "
// bodies sox writes), conversions against the project's own coders, the
// BLOCKALIGN / END rules, size queries and bad input. Every conversion runs
// with a guard zone behind its destination.
#include "codecs/kelADPCM.h"
#include "codecs/kelADPCMState.h"
#include "codecs/kelAcmDrivers.h"
#include "codecs/kelG711.h"

#include "tests/support/kelTestAcm.h"
#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestGSM.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

namespace {

class kelAcmDriversTest : public ::testing::Test
{
protected:
    void SetUp() override { kelAcmRegisterBuiltInDrivers(); }
};

std::vector<uint8_t> imaRecord(uint16_t channels, uint32_t rate, uint16_t block, uint32_t avg)
{
    const uint16_t samples = uint16_t((block - 4 * channels) * 2 / channels + 1);
    return kelTestAcmFormat(WAVE_FORMAT_IMA_ADPCM, channels, rate, avg, block, 4,
                            {uint8_t(samples & 0xFF), uint8_t(samples >> 8)});
}

std::vector<uint8_t> gsmRecord()
{
    return kelTestAcmFormat(WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, {0x40, 0x01});
}

std::vector<uint8_t> lawRecord(uint16_t tag, uint16_t channels, uint32_t rate = 8000)
{
    return kelTestAcmFormat(tag, channels, rate, rate * channels, channels, 8);
}

std::string speech(size_t samples)
{
    return kelBytesFromSamples(kelSpeechLikeSignal(samples));
}

bool driverOf(uint16_t pid, ACMDRIVERDETAILSW& details)
{
    struct Search
    {
        uint16_t pid;
        ACMDRIVERDETAILSW* details;
        bool found = false;
    } search{pid, &details};
    acmDriverEnum(
        [](HACMDRIVERID id, uintptr_t instance, uint32_t) {
            auto* s = reinterpret_cast<Search*>(instance);
            s->details->cbStruct = sizeof *s->details;
            if (acmDriverDetailsW(id, s->details, 0) == 0 && s->details->wMid == kelAcmMakerId &&
                s->details->wPid == s->pid)
                s->found = true;
            return !s->found;
        },
        uintptr_t(&search), 0);
    return search.found;
}

} // namespace

TEST_F(kelAcmDriversTest, EveryBuiltInDriverRegistersOnceWithItsIdentity)
{
    uint32_t before = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_COUNT_DRIVERS, &before), 0u);
    kelAcmRegisterBuiltInDrivers();
    uint32_t after = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_COUNT_DRIVERS, &after), 0u);
    EXPECT_EQ(before, after);

    const bool mp3 = kelAcmMp3CanDecode() || kelAcmMp3CanEncode();
    const struct
    {
        uint16_t pid;
        bool present;
        uint32_t support;
        uint32_t tags;
    } cases[] = {
        {kelAcmPcmProductId, true, ACMDRIVERDETAILS_SUPPORTF_CONVERTER, 1},
        {kelAcmG711ProductId, true, ACMDRIVERDETAILS_SUPPORTF_CODEC, 3},
        {kelAcmImaAdpcmProductId, true, ACMDRIVERDETAILS_SUPPORTF_CODEC, 2},
        {kelAcmGsmProductId, true, ACMDRIVERDETAILS_SUPPORTF_CODEC, 2},
        {kelAcmMp3ProductId, mp3, ACMDRIVERDETAILS_SUPPORTF_CODEC, 2},
    };
    for (const auto& c : cases) {
        ACMDRIVERDETAILSW details{};
        EXPECT_EQ(driverOf(c.pid, details), c.present) << c.pid;
        if (!c.present) continue;
        EXPECT_EQ(details.fccType, ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC);
        EXPECT_EQ(details.fdwSupport, c.support) << c.pid;
        EXPECT_EQ(details.cFormatTags, c.tags) << c.pid;
        EXPECT_NE(details.szShortName[0], 0) << c.pid;
    }
    uint32_t largest = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest), 0u);
    EXPECT_EQ(largest, mp3 ? sizeof(MPEGLAYER3WAVEFORMAT) : sizeof(IMAADPCMWAVEFORMAT));
}

// The records suggested for 8 kHz PCM are byte for byte the "fmt " bodies
// sox writes (sox in.wav -e ima-adpcm / -e gsm-full-rate out.wav); a PCM
// suggestion fits a 16-byte record and leaves what follows alone.
TEST_F(kelAcmDriversTest, SuggestedRecordsAreSoxFmtChunks)
{
    const struct
    {
        const char* name;
        std::vector<uint8_t> src;
        uint16_t tag;
        uint32_t dstSize;
        std::vector<uint8_t> golden;
    } cases[] = {
        {"IMA mono", kelTestAcmPcm(8000, 16, 1), WAVE_FORMAT_IMA_ADPCM, 50, {0x11, 0x00, 0x01, 0x00, 0x40,
                                                                             0x1f, 0x00, 0x00, 0xd7, 0x0f,
                                                                             0x00, 0x00, 0x00, 0x01, 0x04,
                                                                             0x00, 0x02, 0x00, 0xf9, 0x01}},
        {"IMA stereo", kelTestAcmPcm(8000, 16, 2), WAVE_FORMAT_IMA_ADPCM, 50, {0x11, 0x00, 0x02, 0x00, 0x40,
                                                                               0x1f, 0x00, 0x00, 0xaf, 0x1f,
                                                                               0x00, 0x00, 0x00, 0x02, 0x04,
                                                                               0x00, 0x02, 0x00, 0xf9, 0x01}},
        {"GSM", kelTestAcmPcm(8000, 16, 1), WAVE_FORMAT_GSM610, 50, {0x31, 0x00, 0x01, 0x00, 0x40, 0x1f, 0x00,
                                                                     0x00, 0x59, 0x06, 0x00, 0x00, 0x41, 0x00,
                                                                     0x00, 0x00, 0x02, 0x00, 0x40, 0x01}},
        {"mu-law",
         kelTestAcmPcm(8000, 16, 1),
         WAVE_FORMAT_MULAW,
         18,
         {0x07, 0x00, 0x01, 0x00, 0x40, 0x1f, 0x00, 0x00, 0x40, 0x1f, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00,
          0x00, 0x00}},
        {"PCM from GSM",
         gsmRecord(),
         WAVE_FORMAT_PCM,
         16,
         {0x01, 0x00, 0x01, 0x00, 0x40, 0x1f, 0x00, 0x00, 0x80, 0x3e, 0x00, 0x00, 0x02, 0x00, 0x10, 0x00}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> dst(c.dstSize + 8, 0xEE);
        reinterpret_cast<WAVEFORMATEX*>(dst.data())->wFormatTag = c.tag;
        ASSERT_EQ(acmFormatSuggest(nullptr, kelTestAcmWfx(c.src), reinterpret_cast<WAVEFORMATEX*>(dst.data()),
                                   c.dstSize, ACM_FORMATSUGGESTF_WFORMATTAG),
                  0u)
            << c.name;
        EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + long(c.golden.size())), c.golden) << c.name;
        for (size_t i = c.dstSize; i < dst.size(); ++i)
            EXPECT_EQ(dst[i], 0xEE) << c.name << " wrote byte " << i;
    }
    // A fixed field no driver can meet: nothing suggested.
    std::vector<uint8_t> dst(50, 0);
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(dst.data());
    wfx->wFormatTag = WAVE_FORMAT_GSM610;
    wfx->nSamplesPerSec = 16000;
    EXPECT_EQ(acmFormatSuggest(nullptr, kelTestAcmWfx(kelTestAcmPcm(8000, 16, 1)), wfx, 50,
                               ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
              ACMERR_NOTPOSSIBLE);
}

// Each tag's formats come back whole (cbwfx = 18 + cbSize), of that tag,
// filtered by the template; CONVERT lists only what the template opens to.
TEST_F(kelAcmDriversTest, FormatEnumerationHonoursTagAndTemplate)
{
    struct Seen
    {
        std::vector<std::vector<uint8_t>> formats;
        bool badSize = false;
    };
    const auto enumerate = [](uint16_t tag, const std::vector<uint8_t>& tmpl, uint32_t flags) {
        Seen seen;
        std::vector<uint8_t> room(64, 0);
        if (!tmpl.empty()) std::memcpy(room.data(), tmpl.data(), std::min(tmpl.size(), room.size()));
        ACMFORMATDETAILSA details{};
        details.cbStruct = sizeof details;
        details.dwFormatTag = tag;
        details.pwfx = reinterpret_cast<WAVEFORMATEX*>(room.data());
        details.cbwfx = uint32_t(room.size());
        const MMRESULT r = acmFormatEnumA(
            nullptr, &details,
            [](HACMDRIVERID, ACMFORMATDETAILSA* d, uintptr_t instance, uint32_t) {
                auto* s = reinterpret_cast<Seen*>(instance);
                if (d->cbwfx != 18u + d->pwfx->cbSize && d->pwfx->wFormatTag != WAVE_FORMAT_PCM)
                    s->badSize = true;
                const auto* bytes = reinterpret_cast<const uint8_t*>(d->pwfx);
                s->formats.emplace_back(bytes, bytes + d->cbwfx);
                return true;
            },
            uintptr_t(&seen), flags);
        EXPECT_EQ(r, 0u);
        return seen;
    };

    const auto pcm8k = kelTestAcmPcm(8000, 16, 1);
    const struct
    {
        const char* name;
        uint16_t tag;
        std::vector<uint8_t> tmpl;
        uint32_t flags;
        size_t expected; // formats across all built-in drivers
    } cases[] = {
        {"every GSM format", WAVE_FORMAT_GSM610, {}, 0, 1},
        {"every IMA format", WAVE_FORMAT_IMA_ADPCM, {}, 0, 8},
        {"mono IMA", WAVE_FORMAT_IMA_ADPCM, imaRecord(1, 8000, 256, 4055), ACM_FORMATENUMF_NCHANNELS, 4},
        {"A-law at 8 kHz", WAVE_FORMAT_ALAW, lawRecord(WAVE_FORMAT_ALAW, 1), ACM_FORMATENUMF_NSAMPLESPERSEC,
         2},
        {"what 8 kHz mono PCM converts to, G.711", WAVE_FORMAT_MULAW, pcm8k, ACM_FORMATENUMF_CONVERT, 1},
        {"what 8 kHz mono PCM converts to, IMA", WAVE_FORMAT_IMA_ADPCM, pcm8k, ACM_FORMATENUMF_CONVERT, 1},
    };
    for (const auto& c : cases) {
        const Seen seen = enumerate(c.tag, c.tmpl, c.flags);
        EXPECT_FALSE(seen.badSize) << c.name;
        EXPECT_EQ(seen.formats.size(), c.expected) << c.name;
        for (const auto& f : seen.formats)
            EXPECT_EQ(kelTestAcmWfx(f)->wFormatTag, c.tag) << c.name;
    }
    // Every tag of the GSM driver, through a tag record of exactly 72 bytes.
    std::vector<uint32_t> tags;
    ACMFORMATTAGDETAILSA tag{};
    tag.cbStruct = sizeof tag;
    ASSERT_EQ(acmFormatTagEnumA(
                  nullptr, &tag,
                  [](HACMDRIVERID, ACMFORMATTAGDETAILSA* t, uintptr_t instance, uint32_t) {
                      reinterpret_cast<std::vector<uint32_t>*>(instance)->push_back(t->dwFormatTag);
                      return true;
                  },
                  uintptr_t(&tags), 0),
              0u);
    for (const uint32_t wanted : {0x1u, 0x6u, 0x7u, 0x11u, 0x31u})
        EXPECT_NE(std::find(tags.begin(), tags.end(), wanted), tags.end()) << wanted;
}

// Conversions against the project's own coders, in pieces of every shape:
// what one stream makes of a whole signal does not depend on how it is cut.
TEST_F(kelAcmDriversTest, ConversionsMatchTheProjectCoders)
{
    const std::string pcm = speech(320 * 7);
    const auto samples = kelSpeechLikeSignal(320 * 7);

    std::string alaw(samples.size(), '\0'), ulaw(samples.size(), '\0');
    alawCompress(samples.size(), samples.data(), reinterpret_cast<uint8_t*>(alaw.data()));
    ulawCompress(samples.size(), samples.data(), reinterpret_cast<uint8_t*>(ulaw.data()));

    kelTestGSMEncoder gsmEncoder(true);
    gsmEncoder.write(pcm.data(), intptr_t(pcm.size()));
    const std::string gsm = gsmEncoder.joined();

    // IMA mono blocks of 505 samples from the IMA4 block coder, for the
    // decoder; the last block is the tail padded with silence.
    std::string ima;
    {
        kelADPCM_encoder enc(adpcm_IMA4);
        std::vector<int16_t> padded = samples;
        padded.resize((samples.size() + 504) / 505 * 505, 0);
        for (size_t pos = 0; pos < padded.size(); pos += 505) {
            const uint8_t* block = nullptr;
            const size_t n = enc.encode(padded.data() + pos, 505, block);
            ima.append(reinterpret_cast<const char*>(block), n);
        }
    }

    const struct
    {
        const char* name;
        std::vector<uint8_t> src, dst;
        const std::string& in;
        const std::string& expected;
    } cases[] = {
        {"A-law", kelTestAcmPcm(8000, 16, 1), lawRecord(WAVE_FORMAT_ALAW, 1), pcm, alaw},
        {"mu-law", kelTestAcmPcm(8000, 16, 1), lawRecord(WAVE_FORMAT_MULAW, 1), pcm, ulaw},
        {"GSM WAV49", kelTestAcmPcm(8000, 16, 1), gsmRecord(), pcm, gsm},
    };
    for (const auto& c : cases) {
        for (const size_t piece : {size_t(1), size_t(333), size_t(640), size_t(1) << 20}) {
            kelTestAcmStream stream(c.src, c.dst);
            ASSERT_EQ(stream.openResult(), 0u) << c.name;
            EXPECT_EQ(stream.convertAll(c.in, piece, 4096), c.expected) << c.name << " piece " << piece;
            EXPECT_FALSE(stream.wroteBeyond()) << c.name;
        }
    }

    // Decoding: back through the same drivers, as the project's decoders do.
    kelTestGSMDecoder gsmDecoder(true);
    gsmDecoder.write(gsm.data(), intptr_t(gsm.size()));
    kelTestAcmStream gsmBack(gsmRecord(), kelTestAcmPcm(8000, 16, 1));
    EXPECT_EQ(gsmBack.convertAll(gsm, 100, 4096), gsmDecoder.joined());

    std::string imaDecoded;
    kelADPCM_decoder dec(adpcm_IMA4);
    for (size_t pos = 0; pos < ima.size(); pos += 256) {
        const int16_t* out = nullptr;
        const size_t n = dec.decode(reinterpret_cast<const uint8_t*>(ima.data()) + pos, 256, out);
        imaDecoded.append(reinterpret_cast<const char*>(out), n);
    }
    kelTestAcmStream imaBack(imaRecord(1, 8000, 256, 4055), kelTestAcmPcm(8000, 16, 1));
    EXPECT_EQ(imaBack.convertAll(ima, 77, 4096), imaDecoded);
}

// The IMA encoder uses only codes that decoders rounding the step by
// multiplication ((2 * code + 1) * step / 8) decode as the shift-and-add
// reference does, so such a decoder gives our samples exactly.
TEST_F(kelAcmDriversTest, ImaCodesDecodeAlikeUnderBothRoundings)
{
    const auto input = kelSpeechLikeSignal(505 * 30);
    kelTestAcmStream enc(kelTestAcmPcm(8000, 16, 1), imaRecord(1, 8000, 256, 4055));
    const std::string blocks = enc.convertAll(kelBytesFromSamples(input), 3000, 4096);
    ASSERT_EQ(blocks.size(), 30u * 256);
    kelTestAcmStream dec(imaRecord(1, 8000, 256, 4055), kelTestAcmPcm(8000, 16, 1));
    const auto ours = kelSamplesFromBytes(dec.convertAll(blocks, 256, 4096));
    ASSERT_EQ(ours.size(), input.size());

    std::vector<int16_t> multiplied;
    for (size_t b = 0; b < blocks.size(); b += 256) {
        const auto* p = reinterpret_cast<const uint8_t*>(blocks.data()) + b;
        int32_t predicted = int16_t(uint16_t(p[0] | (p[1] << 8)));
        int32_t index = std::min<int32_t>(p[2], kelADPCM_maxStepIndex);
        multiplied.push_back(int16_t(predicted));
        for (size_t i = 4; i < 256; ++i)
            for (const uint8_t code : {uint8_t(p[i] & 0x0F), uint8_t(p[i] >> 4)}) {
                const int32_t step = kelADPCM_stepTable[index];
                const int32_t diff = ((2 * (code & 7) + 1) * step) >> 3;
                predicted = std::clamp(code & 8 ? predicted - diff : predicted + diff, -32768, 32767);
                index = std::clamp(index + kelADPCM_indexTable[code & 7], 0, kelADPCM_maxStepIndex);
                multiplied.push_back(int16_t(predicted));
            }
    }
    EXPECT_EQ(multiplied, ours);

    double err = 0, sig = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        err += std::pow(double(ours[i]) - input[i], 2);
        sig += std::pow(double(input[i]), 2);
    }
    // Keeping to the agreeing codes costs some quality on this harsh signal
    // (full-scale stretches and noise): the search over each block reaches
    // about 15.7 dB where the reference encoder reaches 18 and choosing
    // sample by sample 12; a broken coder gives near 0.
    EXPECT_GT(10 * std::log10(sig / err), 14.5);
}

// Stereo IMA keeps its channels apart (each decodes close to its own input)
// and the PCM converter changes sample size and channels exactly.
TEST_F(kelAcmDriversTest, StereoAndSampleFormatConversions)
{
    const auto left = kelSpeechLikeSignal(1010);
    std::vector<int16_t> stereo;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.push_back(left[i]);
        stereo.push_back(int16_t(-left[i] / 2));
    }
    const std::string in = kelBytesFromSamples(stereo);
    kelTestAcmStream enc(kelTestAcmPcm(22050, 16, 2), imaRecord(2, 22050, 1024, 0));
    ASSERT_EQ(enc.openResult(), 0u);
    const std::string coded = enc.convertAll(in, 4000, 8192);
    ASSERT_EQ(coded.size() % 1024, 0u);
    kelTestAcmStream dec(imaRecord(2, 22050, 1024, 0), kelTestAcmPcm(22050, 16, 2));
    const auto back = kelSamplesFromBytes(dec.convertAll(coded, 1024, 8192));
    ASSERT_GE(back.size(), stereo.size());
    double err[2] = {0, 0}, sig[2] = {0, 0};
    for (size_t i = 0; i < stereo.size(); ++i) {
        err[i % 2] += std::pow(double(back[i]) - stereo[i], 2);
        sig[i % 2] += std::pow(double(stereo[i]), 2);
    }
    for (int c = 0; c < 2; ++c)
        EXPECT_GT(10 * std::log10(sig[c] / err[c]), 10.0) << "channel " << c;

    const struct
    {
        const char* name;
        std::vector<uint8_t> src, dst;
        std::vector<uint8_t> in, out;
    } cases[] = {
        {"16 to 8 bits",
         kelTestAcmPcm(8000, 16, 1),
         kelTestAcmPcm(8000, 8, 1),
         {0, 0, 0xFF, 0x7F, 0, 0x80, 0xFF, 0xFF},
         {0x80, 0xFF, 0x00, 0x7F}},
        {"8 to 16 bits",
         kelTestAcmPcm(8000, 8, 1),
         kelTestAcmPcm(8000, 16, 1),
         {0x80, 0xFF, 0x00},
         {0, 0, 0x00, 0x7F, 0x00, 0x80}},
        {"mono to stereo",
         kelTestAcmPcm(8000, 16, 1),
         kelTestAcmPcm(8000, 16, 2),
         {0x34, 0x12},
         {0x34, 0x12, 0x34, 0x12}},
        {"stereo to mono",
         kelTestAcmPcm(8000, 16, 2),
         kelTestAcmPcm(8000, 16, 1),
         {0xE8, 0x03, 0xB8, 0x0B, 0xFF, 0xFF, 0, 0},
         {0xD0, 0x07, 0xFF, 0xFF}},
        {"stereo 16 to mono 8",
         kelTestAcmPcm(44100, 16, 2),
         kelTestAcmPcm(44100, 8, 1),
         {0, 0x40, 0, 0x40},
         {0xC0}},
    };
    for (const auto& c : cases) {
        kelTestAcmStream stream(c.src, c.dst);
        ASSERT_EQ(stream.openResult(), 0u) << c.name;
        const auto step =
            stream.convert(std::string(c.in.begin(), c.in.end()), 64, ACM_STREAMCONVERTF_BLOCKALIGN);
        EXPECT_EQ(step.result, 0u) << c.name;
        EXPECT_EQ(step.srcUsed, c.in.size()) << c.name;
        EXPECT_EQ(std::vector<uint8_t>(step.out.begin(), step.out.end()), c.out) << c.name;
    }
}

// BLOCKALIGN converts whole blocks only and reports the rest unused; END
// converts the tail too, an encoder padding it with silence; a destination
// without room for a block takes nothing.
TEST_F(kelAcmDriversTest, BlockAlignLeavesTheTailAndEndFlushesIt)
{
    const std::string pcm = speech(505 + 200);
    std::string padded = pcm.substr(1010);
    padded.resize(1010, '\0');
    const auto ima = imaRecord(1, 8000, 256, 4055);
    const auto gsm = gsmRecord();
    const auto pcm8k = kelTestAcmPcm(8000, 16, 1);

    const struct
    {
        const char* name;
        std::vector<uint8_t> src, dst;
        std::string in;
        uint32_t room, flags;
        uint32_t srcUsed, outBytes;
    } cases[] = {
        {"IMA encode, aligned", pcm8k, ima, pcm, 4096, ACM_STREAMCONVERTF_BLOCKALIGN, 1010, 256},
        {"IMA encode, end", pcm8k, ima, pcm, 4096, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END,
         1410, 512},
        {"IMA encode, no room", pcm8k, ima, pcm, 255, ACM_STREAMCONVERTF_END, 0, 0},
        {"IMA encode, plain", pcm8k, ima, pcm, 4096, 0, 1410, 512},
        {"GSM encode, aligned", pcm8k, gsm, pcm.substr(0, 1000), 4096, ACM_STREAMCONVERTF_BLOCKALIGN, 640,
         65},
        {"GSM encode, end", pcm8k, gsm, pcm.substr(0, 1000), 4096, ACM_STREAMCONVERTF_END, 1000, 130},
        {"GSM decode, end drops half a block", gsm, pcm8k, std::string(100, '\x55'), 4096,
         ACM_STREAMCONVERTF_END, 100, 640},
        {"IMA decode, end decodes the short block", ima, pcm8k, std::string(256 + 4 + 9, '\x12'), 4096,
         ACM_STREAMCONVERTF_END, 269, 1010 + 2 * (1 + 16)},
        {"IMA decode, aligned", ima, pcm8k, std::string(256 + 100, '\x12'), 4096,
         ACM_STREAMCONVERTF_BLOCKALIGN, 256, 1010},
        {"mu-law encode leaves half a sample", pcm8k, lawRecord(WAVE_FORMAT_MULAW, 1), std::string(5, '\x01'),
         64, ACM_STREAMCONVERTF_END, 4, 2},
    };
    for (const auto& c : cases) {
        kelTestAcmStream stream(c.src, c.dst);
        ASSERT_EQ(stream.openResult(), 0u) << c.name;
        const auto step = stream.convert(c.in, c.room, c.flags | ACM_STREAMCONVERTF_START);
        EXPECT_EQ(step.result, 0u) << c.name;
        EXPECT_EQ(step.srcUsed, c.srcUsed) << c.name;
        EXPECT_EQ(step.out.size(), c.outBytes) << c.name;
        EXPECT_FALSE(stream.wroteBeyond()) << c.name;
    }

    // The padded IMA block is the block of the tail followed by silence.
    kelTestAcmStream whole(pcm8k, ima), split(pcm8k, ima);
    const auto flushed = whole.convert(pcm, 4096, ACM_STREAMCONVERTF_END);
    const auto first = split.convert(pcm.substr(0, 1010), 4096, ACM_STREAMCONVERTF_BLOCKALIGN);
    const auto second = split.convert(padded, 4096, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_EQ(flushed.out, first.out + second.out);
}

TEST_F(kelAcmDriversTest, SizeQueriesCountWholeBlocks)
{
    const auto pcm8k = kelTestAcmPcm(8000, 16, 1);
    const struct
    {
        const char* name;
        std::vector<uint8_t> src, dst;
        uint32_t bytes, flags;
        MMRESULT result;
        uint32_t answer;
    } cases[] = {
        {"IMA, a block of PCM", pcm8k, imaRecord(1, 8000, 256, 4055), 1010, ACM_STREAMSIZEF_SOURCE, 0, 256},
        {"IMA, a byte more", pcm8k, imaRecord(1, 8000, 256, 4055), 1011, ACM_STREAMSIZEF_SOURCE, 0, 512},
        {"IMA, PCM for a block", pcm8k, imaRecord(1, 8000, 256, 4055), 256, ACM_STREAMSIZEF_DESTINATION, 0,
         1010},
        {"IMA, less than a block", pcm8k, imaRecord(1, 8000, 256, 4055), 255, ACM_STREAMSIZEF_DESTINATION,
         ACMERR_NOTPOSSIBLE, 0},
        {"GSM decode", gsmRecord(), pcm8k, 130, ACM_STREAMSIZEF_SOURCE, 0, 1280},
        {"GSM, nothing", pcm8k, gsmRecord(), 0, ACM_STREAMSIZEF_SOURCE, ACMERR_NOTPOSSIBLE, 0},
        {"GSM decode, past 4 GiB", gsmRecord(), pcm8k, 0xFFFFFFFF, ACM_STREAMSIZEF_SOURCE, ACMERR_NOTPOSSIBLE,
         0},
        {"A-law", pcm8k, lawRecord(WAVE_FORMAT_ALAW, 1), 320, ACM_STREAMSIZEF_SOURCE, 0, 160},
        {"bad flag", pcm8k, lawRecord(WAVE_FORMAT_ALAW, 1), 320, 2, MMSYSERR_INVALFLAG, 0},
    };
    for (const auto& c : cases) {
        kelTestAcmStream stream(c.src, c.dst);
        ASSERT_EQ(stream.openResult(), 0u) << c.name;
        uint32_t answer = 12345;
        EXPECT_EQ(acmStreamSize(stream.handle(), c.bytes, &answer, c.flags), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(answer, c.answer) << c.name;
        }
    }
}

// Records that describe no stream are refused at open, by every driver.
TEST_F(kelAcmDriversTest, OpenRefusesRecordsThatDescribeNoStream)
{
    const auto pcm8k = kelTestAcmPcm(8000, 16, 1);
    auto zeroChannels = pcm8k, zeroRate = pcm8k, zeroBlock = pcm8k, twelveBits = kelTestAcmPcm(8000, 12, 1);
    reinterpret_cast<WAVEFORMATEX*>(zeroChannels.data())->nChannels = 0;
    reinterpret_cast<WAVEFORMATEX*>(zeroRate.data())->nSamplesPerSec = 0;
    reinterpret_cast<WAVEFORMATEX*>(zeroBlock.data())->nBlockAlign = 0;
    const struct
    {
        const char* name;
        std::vector<uint8_t> src, dst;
    } cases[] = {
        {"PCM without channels", zeroChannels, lawRecord(WAVE_FORMAT_ALAW, 1)},
        {"PCM without a rate", zeroRate, imaRecord(1, 0, 256, 4055)},
        {"PCM without a block", zeroBlock, kelTestAcmPcm(8000, 8, 1)},
        {"12-bit PCM", twelveBits, kelTestAcmPcm(8000, 16, 1)},
        {"two rates", pcm8k, kelTestAcmPcm(16000, 16, 1)},
        {"IMA block of only its header", imaRecord(1, 8000, 4, 4055), pcm8k},
        {"IMA stereo block shorter than its headers", imaRecord(2, 8000, 12, 0), kelTestAcmPcm(8000, 16, 2)},
        {"IMA without a block", kelTestAcmFormat(WAVE_FORMAT_IMA_ADPCM, 1, 8000, 4055, 0, 4), pcm8k},
        {"IMA without channels", kelTestAcmFormat(WAVE_FORMAT_IMA_ADPCM, 0, 8000, 4055, 256, 4), pcm8k},
        {"GSM of another block", kelTestAcmFormat(WAVE_FORMAT_GSM610, 1, 8000, 1625, 64, 0), pcm8k},
        {"GSM at 16 kHz", pcm8k, kelTestAcmFormat(WAVE_FORMAT_GSM610, 1, 16000, 1625, 65, 0)},
        {"A-law without a block", lawRecord(WAVE_FORMAT_ALAW, 0), pcm8k},
        {"MP3 without a rate", kelTestAcmFormat(WAVE_FORMAT_MPEGLAYER3, 1, 0, 4000, 1, 0),
         kelTestAcmPcm(0, 16, 1)},
        // A decoder needs no average rate (the frames carry theirs); an
        // encoder needs the bit rate it is to code at.
        {"MP3 to code at no byte rate", pcm8k, kelTestAcmFormat(WAVE_FORMAT_MPEGLAYER3, 1, 8000, 0, 1, 0)},
    };
    for (const auto& c : cases) {
        kelTestAcmStream stream(c.src, c.dst);
        EXPECT_EQ(stream.openResult(), ACMERR_NOTPOSSIBLE) << c.name;
        EXPECT_EQ(stream.handle(), nullptr) << c.name;
    }
}

// Decoders take any bytes in any cut, and never write past the room given.
TEST_F(kelAcmDriversTest, DecodersTakeAnyBytes)
{
    std::mt19937 random(41);
    std::string noise(20000, '\0');
    for (char& c : noise)
        c = char(random());
    const auto pcm8k = kelTestAcmPcm(8000, 16, 1);
    std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> decoders = {
        {imaRecord(1, 8000, 256, 4055), pcm8k},
        {imaRecord(2, 44100, 2048, 0), kelTestAcmPcm(44100, 16, 2)},
        {gsmRecord(), pcm8k},
        {lawRecord(WAVE_FORMAT_ALAW, 2), kelTestAcmPcm(8000, 16, 2)},
    };
    if (kelAcmMp3CanDecode())
        for (const uint32_t avgBytes : {16000u, 0u})
            decoders.push_back(
                {kelTestAcmFormat(WAVE_FORMAT_MPEGLAYER3, 2, 44100, avgBytes, 1, 0, std::vector<uint8_t>(12)),
                 kelTestAcmPcm(44100, 16, 2)});
    for (const auto& [src, dst] : decoders) {
        for (const uint32_t room : {1u, 257u, 65536u}) {
            kelTestAcmStream stream(src, dst);
            ASSERT_EQ(stream.openResult(), 0u);
            stream.convertAll(noise, 1 + random() % 3000, room);
            EXPECT_FALSE(stream.wroteBeyond()) << kelTestAcmWfx(src)->wFormatTag << " room " << room;
        }
    }
}

// Layer 3: what one conversion makes, small destinations give in pieces
// (the surplus kept for the next call), and it decodes back to about as
// many samples at the same rate and channels.
TEST_F(kelAcmDriversTest, Layer3KeepsWhatDoesNotFitTheDestination)
{
    if (!kelAcmMp3CanEncode() || !kelAcmMp3CanDecode())
        GTEST_SKIP() << "libmp3lame.so.0 or libmpg123.so.0 missing";
    const auto pcm = kelTestAcmPcm(16000, 16, 1);
    std::vector<uint8_t> mp3(sizeof(MPEGLAYER3WAVEFORMAT) + 8, 0);
    reinterpret_cast<WAVEFORMATEX*>(mp3.data())->wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    ASSERT_EQ(acmFormatSuggest(nullptr, kelTestAcmWfx(pcm), reinterpret_cast<WAVEFORMATEX*>(mp3.data()),
                               uint32_t(mp3.size()), ACM_FORMATSUGGESTF_WFORMATTAG),
              0u);
    mp3.resize(sizeof(MPEGLAYER3WAVEFORMAT));
    const std::string in = kelBytesFromSamples(kelSpeechLikeSignal(16000));

    kelTestAcmStream big(pcm, mp3), small(pcm, mp3);
    ASSERT_EQ(big.openResult(), 0u);
    const std::string once = big.convertAll(in, in.size(), 1 << 20);
    const std::string pieces = small.convertAll(in, 999, 100);
    ASSERT_GT(once.size(), 1000u);
    EXPECT_EQ(uint8_t(once[0]), 0xFF);
    EXPECT_EQ(pieces, once);
    EXPECT_FALSE(small.wroteBeyond());

    kelTestAcmStream back(mp3, pcm);
    ASSERT_EQ(back.openResult(), 0u);
    const std::string decoded = back.convertAll(once, 313, 1000);
    EXPECT_FALSE(back.wroteBeyond());
    // The encoder's delay and its last frame's padding add up to under
    // three frames.
    EXPECT_GE(decoded.size(), in.size());
    EXPECT_LE(decoded.size(), in.size() + 3 * 1152 * 2);
}

// A reset restarts the GSM coder state: the same input codes the same again.
TEST_F(kelAcmDriversTest, ResetRestartsTheCoder)
{
    const std::string pcm = speech(640);
    kelTestAcmStream stream(kelTestAcmPcm(8000, 16, 1), gsmRecord());
    const auto first = stream.convert(pcm, 4096, ACM_STREAMCONVERTF_BLOCKALIGN);
    const auto carried = stream.convert(pcm, 4096, ACM_STREAMCONVERTF_BLOCKALIGN);
    ASSERT_EQ(acmStreamReset(stream.handle(), 0), 0u);
    const auto again = stream.convert(pcm, 4096, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_NE(first.out, carried.out);
    EXPECT_EQ(first.out, again.out);
}
