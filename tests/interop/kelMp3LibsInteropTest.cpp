// The mpg123 decoder and the LAME encoder against the command-line tools
// of the same libraries and ffmpeg: our feed-mode decoding sample-equal to
// `mpg123 -s` on files made by lame and by ffmpeg (MPEG-1, 2 and 2.5, mono
// and stereo, a stream that changes format), within 1 LSB of ffmpeg's own
// decoder; our CBR stream byte-equal to lame's and read by ffprobe. Also
// that no program of ours is linked against the codec libraries.

#include "codecs/kelBladeEncAPI.h"
#include "codecs/kelMpgLibAPI.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMp3.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

class kelMp3LibsInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kelMpg123Proc mpg;
        kelLameProc lame;
        if (mpg.load() != 0 || lame.load() != 0)
            GTEST_SKIP() << "libmpg123.so.0 or libmp3lame.so.0 is missing";
        for (const char* tool : {"lame", "mpg123", "ffmpeg"})
            if (!kelTestProcess::available(tool)) GTEST_SKIP() << tool << " is not installed";
        ASSERT_FALSE(f_dir.path().empty());
    }

    std::string run(const std::string& command)
    {
        const auto out = kelTestProcess::filter(command, "");
        return out ? *out : std::string();
    }

    // `mpg123 -s` of a file. Through a pipe: writing to a file, mpg123
    // starts the file over at a format change.
    std::string mpg123(const std::string& file) { return run("(mpg123 -q -s '" + file + "' | cat)"); }

    // `pcm` coded by a tool into a file of ours; the file's path.
    std::string make(const std::string& name, const std::string& pcm, uint32_t rate, uint32_t channels,
                     bool ffmpeg, const std::string& options = {})
    {
        const std::string raw = f_dir.file(name + ".raw"), mp3 = f_dir.file(name + ".mp3");
        kelWriteBytes(raw, pcm);
        const std::string command = ffmpeg ? "ffmpeg -nostdin -hide_banner -loglevel error -f s16le -ar " +
                                                 std::to_string(rate) + " -ac " + std::to_string(channels) +
                                                 " -i '" + raw + "' " + options + " -y '" + mp3 + "'"
                                           : "lame --quiet -r -s " + std::to_string(rate / 1000.0) + " -m " +
                                                 (channels == 1 ? "m" : "j") + " " + options + " '" + raw +
                                                 "' '" + mp3 + "'";
        EXPECT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
        return mp3;
    }

    kelTempDir f_dir;
};

std::vector<int16_t> samplesOf(const std::string& bytes)
{
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8));
    return out;
}

} // namespace

TEST_F(kelMp3LibsInteropTest, DecodingMatchesMpg123AndFfmpegOnLameAndFfmpegFiles)
{
    const struct
    {
        uint32_t rate, channels;
        bool ffmpeg;
        std::string options;
        bool decodersAgree = true; // mpg123 and ffmpeg's decoder within 1 LSB
    } cases[] = {
        {44100, 2, false, "-b 128"},                   // MPEG-1
        {48000, 1, false, "-b 64"},                    // MPEG-1 mono
        {22050, 2, false, "-b 64"},                    // MPEG-2
        {16000, 1, false, "-b 32"},                    // MPEG-2 mono
        {11025, 1, false, "-b 24"},                    // MPEG-2.5
        {8000, 2, false, "-b 32"},                     // MPEG-2.5 stereo
        {44100, 2, true, "-c:a libmp3lame -b:a 160k"}, // with an ID3 tag and a Xing frame
        {32000, 1, true, "-c:a libshine -b:a 64k"},    // a fixed-point encoder of its own
        // Here the two decoders differ from each other by up to a few
        // hundred in places; ours still equals mpg123's.
        {24000, 2, true, "-c:a libmp3lame -b:a 64k", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + "/" + std::to_string(c.channels) + " " + c.options);
        const std::string mp3 = make("in" + std::to_string(c.rate), kelTestMusic(c.rate, c.channels, c.rate),
                                     c.rate, c.channels, c.ffmpeg, c.options);
        const std::string reference = mpg123(mp3);
        ASSERT_FALSE(reference.empty());
        kelLibmpg123Decoder dec;
        ASSERT_EQ(dec.open(), 0);
        const auto decoded = kelTestMpg123Decode(dec, kelReadBytes(mp3), 1500);
        EXPECT_FALSE(decoded.failed);
        ASSERT_EQ(decoded.formats.size(), 1u);
        EXPECT_EQ(decoded.formats[0],
                  (kelTestMp3Format{long(c.rate), int(c.channels), 16, kelMpg123Signed16}));
        EXPECT_TRUE(decoded.pcm == reference) << decoded.pcm.size() << " vs " << reference.size();

        if (!c.decodersAgree) continue;
        const auto ours = samplesOf(decoded.pcm);
        const auto theirs =
            samplesOf(run("ffmpeg -nostdin -hide_banner -loglevel error -i '" + mp3 + "' -f s16le -"));
        ASSERT_EQ(ours.size(), theirs.size());
        int worst = 0;
        for (size_t i = 0; i < ours.size(); ++i)
            worst = std::max(worst, std::abs(ours[i] - theirs[i]));
        EXPECT_LE(worst, 1);
    }
}

TEST_F(kelMp3LibsInteropTest, AFormatChangeIsReportedAndDecodedLikeMpg123)
{
    // Two streams without tags, one after the other: stereo at 44.1 kHz,
    // then mono at 22.05 kHz.
    const std::string first =
        kelReadBytes(make("a", kelTestMusic(44100, 2, 44100), 44100, 2, false, "-b 128 -t"));
    const std::string second =
        kelReadBytes(make("b", kelTestMusic(22050, 1, 22050), 22050, 1, false, "-b 48 -t"));
    const std::string both = f_dir.file("both.mp3");
    kelWriteBytes(both, first + second);
    const std::string reference = mpg123(both);
    kelLibmpg123Decoder dec;
    ASSERT_EQ(dec.open(), 0);
    const auto decoded = kelTestMpg123Decode(dec, first + second, 777);
    EXPECT_FALSE(decoded.failed);
    ASSERT_EQ(decoded.formats.size(), 2u);
    EXPECT_EQ(decoded.formats[0], (kelTestMp3Format{44100, 2, 16, kelMpg123Signed16}));
    EXPECT_EQ(decoded.formats[1], (kelTestMp3Format{22050, 1, 16, kelMpg123Signed16}));
    EXPECT_TRUE(decoded.pcm == reference) << decoded.pcm.size() << " vs " << reference.size();
}

TEST_F(kelMp3LibsInteropTest, CbrStreamIsByteEqualToLameAndReadByFfprobe)
{
    const std::string pcm = kelTestMusic(44100, 2, 44100 * 3 + 333);
    const std::string raw = f_dir.file("cbr.raw"), cli = f_dir.file("cli.mp3"), ours = f_dir.file("ours.mp3");
    kelWriteBytes(raw, pcm);
    ASSERT_EQ(
        std::system(
            ("lame --quiet -r --cbr -b 128 --nores -t '" + raw + "' '" + cli + "' 2>/dev/null").c_str()),
        0);
    kelLameEncoder enc;
    ASSERT_EQ(enc.open(128, true), BE_ERR_SUCCESSFUL);
    const std::string mp3 = kelTestLameEncode(enc, pcm, 4410 * 4 + 1);
    kelWriteBytes(ours, mp3);
    const std::string expected = kelReadBytes(cli);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(mp3 == expected) << mp3.size() << " vs " << expected.size();
    if (!kelTestProcess::available("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    EXPECT_EQ(
        run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bit_rate -of csv=p=0 '" +
            ours + "'"),
        "mp3,44100,2,128000\n");
}

TEST(kelMp3LibsLinkTest, NoProgramNeedsTheCodecLibraries)
{
    if (!kelTestProcess::available("readelf")) GTEST_SKIP() << "readelf is not installed";
    // This program links every library folder; the others are checked when
    // their build tree is there.
    std::vector<std::string> programs = {"/proc/self/exe"};
    for (const char* app : {"/apps/quillnet/quillnet", "/apps/panomix/panomix"}) {
        const std::string path = std::string(KEL_BINARY_DIR) + app;
        if (std::filesystem::exists(path)) programs.push_back(path);
    }
    for (const auto& program : programs) {
        const auto dynamic = kelTestProcess::filter("readelf -d '" + program + "'", "");
        ASSERT_TRUE(dynamic) << program;
        EXPECT_NE(dynamic->find("(NEEDED)"), std::string::npos) << program;
        for (const char* lib : {"libmpg123", "libmp3lame", "libcelt", "libspeex"})
            EXPECT_EQ(dynamic->find(lib), std::string::npos) << program << " needs " << lib;
    }
}
