// The codec device decoding what sox and ffmpeg write, through the
// compression manager's built-in drivers: the samples equal the tools' own
// decoding (sox for the WAV codecs, mpg123 for layer 3 frames), whatever
// the sizes of the writes. Skipped with a message when a tool is missing.

#include "audio/kelMsAcm.h"
#include "audio/kelMsAcmCodec.h"
#include "codecs/kelAcmDrivers.h"
#include "tests/support/kelTestAcmCodec.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Peer
{
    const char* name;
    const char* tool; // must be on the PATH
    unsigned rate, channels;
    const char* command; // %in and %out stand for the files
    size_t slack;        // output bytes past the reference that may be a last block's padding
    bool extraByte;      // a byte past the last block
};

std::string fill(std::string command, const std::string& in, const std::string& out)
{
    for (auto [key, value] : {std::pair<std::string, std::string>{"%in", in}, {"%out", out}})
        for (size_t at; (at = command.find(key)) != std::string::npos;)
            command.replace(at, key.size(), "'" + value + "'");
    return command;
}

// What the codec decodes from the "data" chunk, written in `piece`-byte parts.
std::string decode(kelMsAcm& acm, const std::string& file, size_t piece, bool extraByte, std::string& why)
{
    const auto fmt = kelTestFindChunk(file, "fmt ");
    auto data = kelTestFindChunk(file, "data");
    if (!fmt || !data || fmt->size() < 16) {
        why = "no fmt or data chunk";
        return {};
    }
    std::string record = *fmt;
    if (record.size() < sizeof(WAVEFORMATEX)) record.resize(sizeof(WAVEFORMATEX), '\0');
    auto* format = reinterpret_cast<WAVEFORMATEX*>(record.data());
    kelMsAcmDriver* driver = acm.getDriverByFormatTag(format->wFormatTag);
    if (!driver) {
        why = "no driver for the tag";
        return {};
    }
    kelTestAcmCodec codec(driver, kelcdm_acm);
    if (!codec->setFormatSuggest(false, format, record.size())) {
        why = "no PCM format suggested";
        return {};
    }
    if (codec->open(false, 3000, 0, false) != 0) {
        why = "open failed";
        return {};
    }
    if (extraByte) data->push_back('\x5A');
    if (!codec.writeInPieces(*data, piece)) why = "a write was not taken";
    if (!codec->flush(true)) why = "flush failed";
    codec->close(3000);
    return codec.output();
}

class AcmCodecInterop : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(acm.enumDrivers(), 0u); }
    kelTempDir dir;
    kelMsAcm acm;
};

} // namespace

TEST_F(AcmCodecInterop, DecodesWhatTheToolsWriteAsTheyDecodeIt)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    const Peer peers[] = {
        {"sox IMA ADPCM mono", "sox", 8000, 1, "sox %in -e ima-adpcm %out", 2 * 505, false},
        {"sox IMA ADPCM stereo", "sox", 22050, 2, "sox %in -e ima-adpcm %out", 4 * 1017, false},
        {"ffmpeg IMA ADPCM", "ffmpeg", 44100, 2,
         "ffmpeg -nostdin -loglevel error -y -i %in -c:a adpcm_ima_wav %out", 4 * 2041, false},
        {"sox GSM 6.10, a byte past the last block", "sox", 8000, 1,
         "sox %in -r 8000 -c 1 -e gsm-full-rate %out", 2 * 320, true},
        {"sox mu-law", "sox", 8000, 1, "sox %in -e mu-law %out", 0, false},
        {"sox A-law", "sox", 16000, 2, "sox %in -e a-law %out", 0, false},
    };
    for (const Peer& peer : peers) {
        SCOPED_TRACE(peer.name);
        if (!kelTestProcess::available(peer.tool)) {
            ADD_FAILURE() << peer.tool << " is missing while sox is there";
            continue;
        }
        const std::string in = dir.file("in.wav"), coded = dir.file("coded.wav");
        ASSERT_TRUE(kelTestSoxWave(in, peer.rate, 16, peer.channels, "signed-integer", 1.3));
        ASSERT_EQ(std::system((fill(peer.command, in, coded) + " >/dev/null 2>&1").c_str()), 0);
        const auto reference = kelTestProcess::filter("sox '" + coded + "' -t raw -e signed -b 16 -", "");
        ASSERT_TRUE(reference && !reference->empty());
        const std::string file = kelReadBytes(coded);
        for (size_t piece : {size_t(1), size_t(777), size_t(1) << 20}) {
            SCOPED_TRACE(piece);
            std::string why;
            const std::string ours = decode(acm, file, piece, peer.extraByte, why);
            ASSERT_TRUE(why.empty()) << why;
            ASSERT_GE(ours.size(), reference->size());
            EXPECT_LE(ours.size() - reference->size(), peer.slack);
            EXPECT_TRUE(ours.compare(0, reference->size(), *reference) == 0) << "samples differ";
        }
    }
}

TEST_F(AcmCodecInterop, DecodesLayer3InWaveAsMpg123DecodesItsFrames)
{
    if (!kelTestHaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    if (!kelTestProcess::available("mpg123")) GTEST_SKIP() << "mpg123 is not installed";
    if (!kelAcmMp3CanDecode()) GTEST_SKIP() << "libmpg123.so.0 does not load";
    struct Case
    {
        unsigned rate, channels;
    };
    for (const Case c : {Case{44100, 2}, Case{22050, 1}}) {
        SCOPED_TRACE(c.rate);
        const std::string in = dir.file("in.wav"), coded = dir.file("mp3.wav"),
                          frames = dir.file("frames.mp3");
        ASSERT_TRUE(kelTestSoxWave(in, c.rate, 16, c.channels, "signed-integer", 1.5));
        ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -i '" + in + "' -c:a libmp3lame -f wav '" +
                               coded + "' >/dev/null 2>&1")
                                  .c_str()),
                  0);
        const std::string file = kelReadBytes(coded);
        const auto data = kelTestFindChunk(file, "data");
        ASSERT_TRUE(data);
        kelWriteBytes(frames, *data);
        const auto reference = kelTestProcess::filter("mpg123 -q --no-gapless -s '" + frames + "'", "");
        ASSERT_TRUE(reference && !reference->empty());
        for (size_t piece : {size_t(1), size_t(777), size_t(1) << 20}) {
            SCOPED_TRACE(piece);
            std::string why;
            const std::string ours = decode(acm, file, piece, false, why);
            ASSERT_TRUE(why.empty()) << why;
            EXPECT_EQ(ours.size(), reference->size());
            EXPECT_TRUE(ours == *reference) << "samples differ";
        }
    }
}
