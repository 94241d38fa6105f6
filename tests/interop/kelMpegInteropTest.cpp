// The frame finder against ffprobe's packet list of files that ffmpeg, lame
// and twolame make in the test's temporary folder: every frame at the
// offset and of the size ffprobe reports, and the stream's rate, channels
// and layer as ffprobe's stream entries. Skips when a tool is missing.
#include "codecs/kelMpeg.h"
#include "core/kelUtf.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMpeg.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

namespace {

struct Made
{
    const char* name;
    const char* tool;    // the program that makes it
    const char* command; // %s: the input WAV file, %o: the output
    intptr_t mpegID;     // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
    bool crc;
};

std::string substitute(std::string command, const std::string& in, const std::string& out)
{
    for (auto [key, value] : {std::pair<std::string, std::string>{"%s", in}, {"%o", out}})
        for (size_t at; (at = command.find(key)) != std::string::npos;)
            command.replace(at, 2, "'" + value + "'");
    return command;
}

struct Scan
{
    std::vector<kelTestMpegFound> frames;
    intptr_t rate = 0;
    intptr_t channels = 0;
    intptr_t layer = 0;
    intptr_t mpegID = 0;
};

Scan scanFile(const std::string& file)
{
    kelBitReader_file reader(utf8ToUtf16(file));
    kelMpegAudio_layer123 finder(&reader);
    Scan scan;
    for (auto& f : kelTestMpegFrames(finder))
        if (f.result == kelMpegFrameFound) scan.frames.push_back(std::move(f));
    scan.rate = finder.mpegSamplingRate();
    scan.channels = finder.mpegChannels();
    scan.layer = finder.mpegLayer();
    scan.mpegID = finder.mpegID();
    return scan;
}

bool isInfoFrame(const std::string& frame)
{
    const std::string head = frame.substr(0, 64);
    return head.find("Xing") != std::string::npos || head.find("Info") != std::string::npos;
}

// Checks `scan` against ffprobe's view of `file`.
void expectAsProbe(const std::string& file, Scan scan)
{
    const kelTestProbe probe = kelTestProbeFile(file);
    ASSERT_TRUE(probe.ok);
    ASSERT_FALSE(probe.packets.empty());
    ASSERT_FALSE(scan.frames.empty());
    // ffprobe leaves out the encoder's Info/Xing frame in front.
    if (scan.frames[0].foundAt < probe.packets[0].pos) {
        EXPECT_TRUE(isInfoFrame(scan.frames[0].bytes)) << "an unknown frame before ffprobe's first";
        scan.frames.erase(scan.frames.begin());
    }
    ASSERT_EQ(scan.frames.size(), probe.packets.size());
    for (size_t i = 0; i < probe.packets.size(); ++i) {
        ASSERT_EQ(scan.frames[i].foundAt, probe.packets[i].pos) << "frame " << i;
        ASSERT_EQ(scan.frames[i].size, probe.packets[i].size) << "frame " << i;
    }
    EXPECT_EQ(scan.rate, probe.sampleRate);
    EXPECT_EQ(scan.channels, probe.channels);
    EXPECT_EQ("mp" + std::to_string(scan.layer), probe.codec);
}

} // namespace

TEST(kelMpegInteropTest, FramesOfEncodedFilesAreFfprobesPackets)
{
    if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("ffprobe"))
        GTEST_SKIP() << "ffmpeg/ffprobe are not installed";
    kelTempDir dir;
    const std::string wav = dir.file("in.wav");
    ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i 'sine=f=440:d=6' -f lavfi -i 'anoisesrc=d=6:a=0.1' "
                           "-filter_complex amerge -ac 2 -ar 44100 -y '" +
                           wav + "'")
                              .c_str()),
              0);
    const Made made[] = {
        {"ffmpeg mp3 with ID3 tags", "ffmpeg",
         "ffmpeg -v error -i %s -c:a libmp3lame -b:a 128k -id3v2_version 3 -write_id3v1 1 -y %o", 1, false},
        {"lame VBR (Xing)", "lame", "lame --quiet -V 2 %s %o", 1, false},
        {"lame CRC MPEG-2", "lame", "lame --quiet -p -b 64 --resample 24 %s %o", 2, true},
        {"lame MPEG-2.5 mono", "lame", "lame --quiet -b 16 --resample 8 -m m %s %o", 3, false},
        {"twolame Layer II CRC", "twolame", "twolame --quiet -p %s %o", 1, true},
        {"ffmpeg mp2 22.05 kHz", "ffmpeg", "ffmpeg -v error -i %s -c:a mp2 -ar 22050 -f mp2 -y %o", 2, false},
    };
    int ran = 0;
    for (const auto& m : made) {
        SCOPED_TRACE(m.name);
        if (!kelTestProcess::available(m.tool)) {
            std::cout << "skipping " << m.name << ": " << m.tool << " is not installed\n";
            continue;
        }
        const std::string out = dir.file(
            "out" + std::to_string(ran++) + ".mp" +
            (m.tool == std::string("twolame") || std::string(m.command).find("mp2") != std::string::npos
                 ? "2"
                 : "3"));
        ASSERT_EQ(std::system(substitute(m.command, wav, out).c_str()), 0);
        const Scan scan = scanFile(out);
        EXPECT_EQ(scan.mpegID, m.mpegID);
        ASSERT_FALSE(scan.frames.empty());
        EXPECT_EQ(scan.frames.back().header.protection_bit, m.crc ? 0 : 1);
        expectAsProbe(out, scan);
    }
    if (ran < int(std::size(made))) GTEST_SKIP() << "some encoders are missing (lame, twolame)";
}

// Hand-built Layer I frames (32 bytes at 32 kbit/s and 44.1 kHz, 36
// padded): ffprobe reads them as mp1 at the same offsets.
TEST(kelMpegInteropTest, HandBuiltLayerIFramesAreFfprobesPackets)
{
    if (!kelTestProcess::available("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    kelTempDir dir;
    std::string data;
    for (int i = 0; i < 200; ++i) {
        kelTestMpegFrame f;
        f.layer = 1;
        f.bitrateIndex = 1;
        f.padding = i % 3 == 1;
        f.length = f.padding ? 36 : 32;
        std::string bytes = kelTestMpegFrameBytes(f);
        // All bit allocations 0: a silent frame every decoder accepts.
        std::fill(bytes.begin() + 4, bytes.end(), '\0');
        data += bytes;
    }
    const std::string file = dir.file("layer1.mp1");
    kelWriteBytes(file, data);
    expectAsProbe(file, scanFile(file));
}

// lame's free-format frames: ffprobe does not follow them, so the check is
// that they chain from the first to the file's last byte at lame's
// alternating lengths.
TEST(kelMpegInteropTest, LameFreeFormatFramesChainToTheEnd)
{
    if (!kelTestProcess::available("lame") || !kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "lame/ffmpeg are not installed";
    kelTempDir dir;
    const std::string wav = dir.file("in.wav");
    const std::string mp3 = dir.file("free.mp3");
    ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i 'sine=f=440:d=3' -ac 2 -y '" + wav + "'").c_str()),
              0);
    ASSERT_EQ(std::system(("lame --quiet --freeformat -b 320 '" + wav + "' '" + mp3 + "'").c_str()), 0);
    const Scan scan = scanFile(mp3);
    ASSERT_GT(scan.frames.size(), 100u);
    intptr_t at = 0;
    for (const auto& f : scan.frames) {
        ASSERT_EQ(f.foundAt, at);
        ASSERT_EQ(f.header.bitrate_index, 0);
        ASSERT_TRUE(f.size == 1044 || f.size == 1045) << f.size;
        at += f.size;
    }
    EXPECT_EQ(at, intptr_t(kelReadBytes(mp3).size()));
    EXPECT_EQ(scan.rate, 44100);
}
