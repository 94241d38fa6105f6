// A streamer takes its format from session descriptions that ffmpeg writes
// live (-sdp_file). ffmpeg sends its few packets to 127.0.0.1 only.
#include "streaming/kelIPStreaming.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"

namespace {

const char* const kFfmpeg = "/usr/bin/ffmpeg";

class kelSDPOnlyStreamer : public kelIPStreamer
{
protected:
    uint32_t doWrite(const void*, uint32_t len, kelmtlInOutPipe*) override { return len; }
    kelRTCPstack* getRTCP() override { return nullptr; }
};

// The SDP ffmpeg writes for `codec` at `rate` Hz and `channels`, sending to
// 127.0.0.1:`port`; empty when ffmpeg failed.
kelString ffmpegSDP(const std::string& codec, int rate, int channels, int port)
{
    const kelTempDir dir;
    if (dir.path().empty()) return {};
    const std::string file = dir.file("out.sdp");
    const bool ok =
        kelTestProcess::runToEnd({kFfmpeg,
                                  "-hide_banner",
                                  "-loglevel",
                                  "error",
                                  "-nostdin",
                                  "-f",
                                  "lavfi",
                                  "-i",
                                  "sine=frequency=440:duration=0.1:sample_rate=" + std::to_string(rate),
                                  "-c:a",
                                  codec,
                                  "-ar",
                                  std::to_string(rate),
                                  "-ac",
                                  std::to_string(channels),
                                  "-f",
                                  "rtp",
                                  "rtp://127.0.0.1:" + std::to_string(port),
                                  "-sdp_file",
                                  file},
                                 30000) == 0;
    return ok ? utf8ToUtf16(kelReadBytes(file)) : kelString();
}

} // namespace

TEST(kelIPStreamerSDPInteropTest, FormatsFromDescriptionsFfmpegWritesLive)
{
    if (access(kFfmpeg, X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed (scripts/install-deps)";
    struct Case
    {
        const char* codec;
        int rate, channels;
        intptr_t encoding, dynType;
    };
    const Case cases[] = {
        {"pcm_mulaw", 8000, 1, kelRTPEnc_PCMU, 0},   {"pcm_alaw", 8000, 1, kelRTPEnc_PCMA, 8},
        {"pcm_s16be", 44100, 2, kelRTPEnc_L16, 10},  {"pcm_s16be", 22050, 2, kelRTPEnc_L16, 97},
        {"libspeex", 16000, 1, kelRTPEnc_speex, 97},
    };
    int port = 25040;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.codec) + " " + std::to_string(c.rate));
        const kelString sdp = ffmpegSDP(c.codec, c.rate, c.channels, port += 2);
        ASSERT_FALSE(sdp.empty());
        auto s = kelMakeOwned<kelSDPOnlyStreamer>();
        s->setSDPignorePort(false);
        s->setSDP(sdp);
        EXPECT_EQ(s->encoding(), c.encoding);
        EXPECT_EQ(s->samplingRate(), c.rate);
        EXPECT_EQ(s->numChannels(), c.channels);
        EXPECT_EQ(s->bitsPerSample(), 16);
        EXPECT_EQ(s->mapping()->r_dynType, c.dynType);
        EXPECT_STREQ(s->mapping()->r_mediaType, kelRTPEncodingName(static_cast<int32_t>(c.encoding)));
        EXPECT_EQ(s->uriPort(), kelString(u"") + utf8ToUtf16(std::to_string(port)));
    }
}
