// The mpg123 decoder and the LAME encoder over the real libraries (the
// deps lists install them; a machine without them skips): loading, the
// stream interface's codes, ABR, the frame length the encoder chose, cut-up
// writes, and the formats the decoder reports.

#include "codecs/kelBladeEncAPI.h"
#include "codecs/kelMpgLibAPI.h"
#include "tests/support/kelTestMp3.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

const std::string kNotTheLibrary = std::string(KEL_TEST_CELT_DIR) + "/kel_test_celt_full.so";

bool haveLibraries()
{
    kelMpg123Proc mpg;
    kelLameProc lame;
    return mpg.load() == 0 && lame.load() == 0;
}

#define REQUIRE_LIBRARIES()                                                                                  \
    if (!haveLibraries()) GTEST_SKIP() << "libmpg123.so.0 or libmp3lame.so.0 is not installed"

} // namespace

TEST(kelMp3LibsTest, LoadFailuresAreReportedAndLeaveEveryCallNeutral)
{
    kelMpg123Proc mpg;
    kelLameProc lame;
    // A library without the exports: 5 for mpg123, -1 for LAME; a missing
    // file: the loader's code.
    EXPECT_EQ(mpg.load(kNotTheLibrary), 5);
    EXPECT_FALSE(mpg.isLoaded());
    EXPECT_EQ(lame.load(kNotTheLibrary), -1);
    EXPECT_EQ(lame.load("libkel-no-such-library.so"), kelLibNotFound);

    kelLibmpg123Decoder dec(kNotTheLibrary);
    EXPECT_FALSE(dec.libOK());
    EXPECT_EQ(dec.open(), -1);
    EXPECT_EQ(dec.feed("abc", 3), -1);
    char buf[16];
    size_t size = sizeof buf;
    EXPECT_EQ(dec.read(buf, size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(dec.bitrate(), 0);

    kelLameEncoder enc(kNotTheLibrary);
    EXPECT_FALSE(enc.libOK());
    EXPECT_EQ(enc.open(128, true), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(enc.encode(buf, sizeof buf), BE_ERR_INVALID_HANDLE);
}

TEST(kelMp3LibsTest, StreamInterfaceRefusesBadHandlesAndShortRoom)
{
    REQUIRE_LIBRARIES();
    kelBladeEncProc proc;
    ASSERT_EQ(proc.load(), 0);
    BE_CONFIG config{};
    config.dwConfig = BE_CONFIG_LAME;
    config.format.LHV1.dwStructVersion = 1;
    config.format.LHV1.dwStructSize = sizeof(BE_CONFIG);
    config.format.LHV1.dwSampleRate = 44100;
    config.format.LHV1.nMode = BE_MP3_MODE_JSTEREO;
    config.format.LHV1.dwBitrate = 128;
    config.format.LHV1.nPreset = LQP_NOPRESET;
    config.format.LHV1.nVbrMethod = VBR_METHOD_NONE;
    uint32_t samples = 0, room = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(proc.beInitStream(&config, &samples, &room, &stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(samples, 2304u);
    std::vector<uint8_t> out(room);
    std::vector<int16_t> pcm(samples + 2);
    uint32_t produced = 7;
    EXPECT_EQ(proc.beEncodeChunk(stream + 1, 4, pcm.data(), out.data(), &produced), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(proc.beEncodeChunk(stream, samples + 2, pcm.data(), out.data(), &produced),
              BE_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(produced, 0u);
    EXPECT_EQ(proc.beEncodeChunk(stream, 3, pcm.data(), out.data(), &produced),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(proc.beEncodeChunk(stream, samples, pcm.data(), out.data(), &produced), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(proc.beDeinitStream(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(proc.beEncodeChunk(stream, 4, pcm.data(), out.data(), &produced), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(proc.beCloseStream(stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(proc.beCloseStream(stream), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(proc.openStreams(), 0u);

    config.dwConfig = 5;
    EXPECT_EQ(proc.beInitStream(&config, &samples, &room, &stream), BE_ERR_INVALID_FORMAT);
    BE_VERSION version{};
    proc.beVersion(&version);
    EXPECT_EQ(version.byMajorVersion, 3);

    kelLameEncoder enc;
    EXPECT_EQ(enc.encode(pcm.data(), 4), BE_ERR_INVALID_HANDLE);
    ASSERT_EQ(enc.open(128, true), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(enc.encode(pcm.data(), 1), BE_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(enc.encode(pcm.data(), 0), BE_ERR_BUFFER_TOO_SMALL);
}

TEST(kelMp3LibsTest, FrameLengthIsTheOneTheEncoderChose)
{
    REQUIRE_LIBRARIES();
    const struct
    {
        uint32_t inRate, channels, kbps;
        int32_t resample;
        uint32_t frame;
    } cases[] = {
        {44100, 2, 128, -1, 1152},
        {22050, 1, 64, -1, 576},
        {44100, 2, 128, 22050, 576},
        {48000, 1, 64, 32000, 1152},
        // Left to the encoder, a low rate makes it code at a lower rate.
        {44100, 1, 16, 0, 576},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.inRate) + " -> " + std::to_string(c.resample));
        kelLameEncoder enc;
        enc.setInput(c.inRate, c.channels);
        ASSERT_EQ(enc.open(c.kbps, true, c.resample), BE_ERR_SUCCESSFUL);
        EXPECT_EQ(enc.frameSize(), c.frame);
        EXPECT_EQ(enc.samplesPerChunk(), c.frame * c.channels);
        // The decoder finds the frames at the rate the length belongs to.
        const std::string mp3 =
            kelTestLameEncode(enc, kelTestMusic(c.inRate, c.channels, c.inRate / 2), 4000);
        kelLibmpg123Decoder dec;
        ASSERT_EQ(dec.open(), 0);
        const auto decoded = kelTestMpg123Decode(dec, mp3, 4096);
        ASSERT_EQ(decoded.formats.size(), 1u);
        EXPECT_EQ(decoded.formats[0].rate >= 32000, c.frame == 1152);
        EXPECT_EQ(decoded.formats[0].channels, int(c.channels));
    }
}

TEST(kelMp3LibsTest, AbrAveragesItsBitrate)
{
    REQUIRE_LIBRARIES();
    kelLameEncoder enc;
    ASSERT_EQ(enc.open(128, false), BE_ERR_SUCCESSFUL);
    const size_t frames = 44100 * 6;
    const std::string mp3 = kelTestLameEncode(enc, kelTestMusic(44100, 2, frames), 8192);
    const double kbps = double(mp3.size()) * 8 / (double(frames) / 44100) / 1000;
    EXPECT_NEAR(kbps, 128, 12.8);
}

TEST(kelMp3LibsTest, CutUpWritesGiveTheBytesOfOneWrite)
{
    REQUIRE_LIBRARIES();
    for (const uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        const std::string pcm = kelTestMusic(44100, channels, 30000);
        kelLameEncoder whole, cut;
        whole.setInput(44100, channels);
        cut.setInput(44100, channels);
        ASSERT_EQ(whole.open(128, true), BE_ERR_SUCCESSFUL);
        ASSERT_EQ(cut.open(128, true), BE_ERR_SUCCESSFUL);
        const std::string one = kelTestLameEncode(whole, pcm, pcm.size());
        std::string pieces;
        cut.setOnDataAvailable([&pieces](kelLameEncoder*, uint32_t, const void* data, uint32_t size) {
            pieces.append(static_cast<const char*>(data), size);
        });
        // Odd lengths, one of them a single byte completing a sample.
        const size_t lengths[] = {1001, 1, 333, 7, 4099, 3};
        for (size_t at = 0, k = 0; at < pcm.size(); ++k) {
            const size_t n = std::min(lengths[k % std::size(lengths)], pcm.size() - at);
            ASSERT_EQ(cut.encode(pcm.data() + at, uint32_t(n)), BE_ERR_SUCCESSFUL) << at;
            at += n;
        }
        cut.flush();
        ASSERT_FALSE(one.empty());
        EXPECT_TRUE(pieces == one) << pieces.size() << " vs " << one.size();
    }
}

TEST(kelMp3LibsTest, DecoderReportsFormatsAndForcedSampleSizes)
{
    REQUIRE_LIBRARIES();
    kelLameEncoder enc;
    enc.setInput(22050, 1);
    ASSERT_EQ(enc.open(64, true), BE_ERR_SUCCESSFUL);
    const std::string mp3 = kelTestLameEncode(enc, kelTestMusic(22050, 1, 22050), 5000);
    const struct
    {
        int encoding, bits;
    } cases[] = {{0, 16}, {kelMpg123Signed32, 32}, {kelMpg123Signed24, 24}, {kelMpg123Float32, 32}};
    std::string reference;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoding);
        kelLibmpg123Decoder dec;
        dec.forceFormat(0, 1, c.encoding);
        ASSERT_EQ(dec.open(), 0);
        // Tiny pieces and a small room: the format still comes once, before
        // or with the first samples.
        const auto decoded = kelTestMpg123Decode(dec, mp3, 97, 1000);
        EXPECT_FALSE(decoded.failed);
        ASSERT_EQ(decoded.formats.size(), 1u);
        const int encoding = c.encoding == 0 ? kelMpg123Signed16 : c.encoding;
        EXPECT_EQ(decoded.formats[0], (kelTestMp3Format{22050, 1, c.bits, encoding}));
        EXPECT_GT(dec.bitrate(), 0);
        const size_t samples = decoded.pcm.size() / size_t(c.bits / 8);
        if (reference.empty()) reference = decoded.pcm;
        EXPECT_EQ(samples, reference.size() / 2);
    }
    // A closed decoder reads nothing; reopened it reports the format again.
    kelLibmpg123Decoder dec;
    ASSERT_EQ(dec.open(), 0);
    EXPECT_EQ(kelTestMpg123Decode(dec, mp3, 4096).pcm, reference);
    dec.close();
    char buf[8];
    size_t size = sizeof buf;
    EXPECT_EQ(dec.read(buf, size), -1);
    ASSERT_EQ(dec.open(), 0);
    EXPECT_EQ(kelTestMpg123Decode(dec, mp3, 4096).formats.size(), 1u);
}
