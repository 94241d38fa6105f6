// kelRiffStream over MPEG audio files that ffmpeg and lame make: the
// device thread (not real-time, into its output stream) delivers exactly
// the frames ffprobe lists, byte for byte, with the stream's rate and
// channels. Skipped with a message when a tool is missing.

#include "audio/kelRIFF.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMpeg.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

TEST(kelRiffMpegInteropTest, TheDeviceDeliversExactlyTheFramesFfprobeLists)
{
    if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("ffprobe"))
        GTEST_SKIP() << "ffmpeg/ffprobe are not installed";
    kelTempDir dir;
    const std::string wav = dir.file("in.wav");
    ASSERT_EQ(std::system(
                  ("ffmpeg -v error -f lavfi -i 'sine=f=330:d=4' -ac 2 -ar 44100 -y '" + wav + "'").c_str()),
              0);
    struct Made
    {
        const char* name;
        std::string command;
        std::string file;
        intptr_t rate;
        uint16_t channels;
    };
    const std::string mp3 = dir.file("a.mp3");
    const std::string mp2 = dir.file("b.mp2");
    const Made made[] = {
        {"ffmpeg mp3 with tags",
         "ffmpeg -v error -i '" + wav + "' -c:a libmp3lame -b:a 128k -id3v2_version 3 -write_id3v1 1 -y '" +
             mp3 + "'",
         mp3, 44100, 2},
        {"ffmpeg mp2 mono 22.05 kHz",
         "ffmpeg -v error -i '" + wav + "' -c:a mp2 -ac 1 -ar 22050 -f mp2 -y '" + mp2 + "'", mp2, 22050, 1},
    };
    for (const auto& m : made) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(std::system(m.command.c_str()), 0);
        const std::string& file = m.file;
        const std::string bytes = kelReadBytes(file);
        const kelTestProbe probe = kelTestProbeFile(file);
        ASSERT_TRUE(probe.ok);

        std::mutex mutex;
        std::vector<std::string> frames;
        kelOwned<kelRiffStream> s(kelRiffStream::create(utf8ToUtf16(file), false, false));
        ASSERT_TRUE(s);
        ASSERT_EQ(s->fileType(), kelRiffFileMpeg);
        ASSERT_EQ(s->srcFormatExt()->Format.nSamplesPerSec, uint32_t(m.rate));
        ASSERT_EQ(s->srcFormatExt()->Format.nChannels, m.channels);
        s->setOnDataAvailable([&](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
            std::lock_guard<std::mutex> guard(mutex);
            frames.emplace_back(static_cast<const char*>(data), size);
        });
        ASSERT_EQ(s->open(), 0u);
        ASSERT_TRUE(kelTestWaitUntil([&] { return s->streamIsDone(); }, 30000));
        EXPECT_EQ(s->close(), 0u);

        std::lock_guard<std::mutex> guard(mutex);
        ASSERT_FALSE(frames.empty());
        size_t first = 0;
        if (frames.size() == probe.packets.size() + 1) first = 1; // the encoder's Info frame
        ASSERT_EQ(frames.size() - first, probe.packets.size());
        for (size_t i = 0; i < probe.packets.size(); ++i) {
            const auto& p = probe.packets[i];
            ASSERT_EQ(frames[first + i], bytes.substr(size_t(p.pos), size_t(p.size))) << "frame " << i;
        }
    }
}
