// Our transmitter on an http URI as an Icecast source: MPEG audio written
// into it reaches curl, straight and through a relay, byte for byte (MPA
// passes unchanged), and logins that icecast2 refuses make the transmitter
// read closed with icecast2's own reason. icecast2, ffmpeg (which makes the
// MP3 file and plays the other source) and curl are started by the test
// and stopped by PID; the test skips when one is missing.
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIcecast.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

class kelIPTransmitterSHOUTInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!kelTestIcecast::installed()) GTEST_SKIP() << "icecast2 not installed";
        if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("curl"))
            GTEST_SKIP() << "ffmpeg or curl not installed";
        const std::string mp3 = f_dir.file("f.mp3");
        ASSERT_EQ(kelTestProcess::runToEnd({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                            "sine=frequency=440:duration=20", "-c:a", "libmp3lame", "-b:a",
                                            "128k", "-y", mp3},
                                           60000),
                  0);
        f_file = kelReadBytes(mp3);
        f_mp3 = mp3;
        ASSERT_GT(f_file.size(), 100000u);
        ASSERT_TRUE(f_ice.start()) << f_ice.errorLog();
    }

    // A transmitter of MPEG audio on http://source:<password>@.../<mount>.
    kelOwned<TkelIPTransmitter> source(const std::string& password, const std::string& mount)
    {
        kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
        if (!tx) return {};
        tx->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 14\r\n");
        // The file is MPEG audio already: it goes out as written, not encoded
        // again.
        tx->setDoEncode(false);
        tx->setURI(
            utf8ToUtf16("http://source:" + password + "@127.0.0.1:" + std::to_string(f_ice.port()) + mount));
        if (!tx->open()) return {};
        return tx;
    }

    // Writes the file from `from` on, 4 KiB at a time.
    void writeFile(TkelIPTransmitter& tx, size_t from)
    {
        for (size_t at = from; at < f_file.size(); at += 4096)
            ASSERT_EQ(tx.write(f_file.data() + at,
                               static_cast<uint32_t>(std::min<size_t>(4096, f_file.size() - at))),
                      std::min<size_t>(4096, f_file.size() - at));
    }

    // `got` is the file from near its start to near its end.
    void expectFileRun(const std::string& got)
    {
        const size_t at = f_file.find(got);
        ASSERT_NE(at, std::string::npos) << got.size() << " bytes are not a run of the file";
        EXPECT_LE(at, 16384u);
        EXPECT_GE(at + got.size(), f_file.size() - 16384);
    }

    kelTempDir f_dir;
    kelTestIcecast f_ice;
    std::string f_mp3;
    std::string f_file;
};

} // namespace

TEST_F(kelIPTransmitterSHOUTInteropTest, MpegAudioReachesCurlByteExactStraightAndThroughARelay)
{
    kelOwned<TkelIPTransmitter> tx = source(kelTestIcecast::kSourcePassword, "/ours");
    ASSERT_TRUE(tx);
    EXPECT_EQ(tx->encoding(), kelRTPEnc_MPA);
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->srvSHOUT() && tx->srvSHOUT()->streaming(); }))
        << utf16ToUtf8(tx->descriptionError()) << f_ice.errorLog();
    // icecast2 lists a source once it has sent data.
    ASSERT_EQ(tx->write(f_file.data(), 4096), 4096u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/ours"); })) << f_ice.errorLog();

    kelTestIcecast relay;
    ASSERT_TRUE(relay.start("<relay><server>127.0.0.1</server><port>" + std::to_string(f_ice.port()) +
                            "</port><mount>/ours</mount><local-mount>/relayed</local-mount>"
                            "<on-demand>0</on-demand></relay>\n"))
        << relay.errorLog();
    ASSERT_TRUE(kelTestWaitUntil([&] { return relay.hasMount("/relayed"); }, 20000)) << relay.errorLog();

    kelTestProcess straight, relayed;
    const std::string straightOut = f_dir.file("straight.bin"), relayedOut = f_dir.file("relayed.bin");
    ASSERT_TRUE(
        straight.start({"curl", "-s", "-H", "Icy-MetaData: 0", "-o", straightOut, f_ice.base() + "/ours"},
                       f_dir.file("curl1.log")));
    ASSERT_TRUE(
        relayed.start({"curl", "-s", "-H", "Icy-MetaData: 0", "-o", relayedOut, relay.base() + "/relayed"},
                      f_dir.file("curl2.log")));
    ASSERT_TRUE(kelTestWaitUntil(
        [&] { return f_ice.statusJson().find("\"listeners\":2") != std::string::npos; }, 20000))
        << f_ice.statusJson();
    ASSERT_TRUE(kelTestWaitUntil(
        [&] { return relay.statusJson().find("\"listeners\":1") != std::string::npos; }, 20000))
        << relay.statusJson();
    writeFile(*tx, 4096);
    EXPECT_TRUE(tx->active());
    // The relay passes on what it has before the source leaves.
    EXPECT_TRUE(
        kelTestWaitUntil([&] { return kelReadBytes(relayedOut).size() + 32768 >= f_file.size(); }, 20000));
    tx->close();
    ASSERT_TRUE(straight.waitExit(kelTestWaitMs));
    relayed.stop();
    expectFileRun(kelReadBytes(straightOut));
    expectFileRun(kelReadBytes(relayedOut));
}

TEST_F(kelIPTransmitterSHOUTInteropTest, RefusedLoginsReadClosedWithIcecastsReason)
{
    kelOwned<TkelIPTransmitter> wrong = source("wrong", "/x");
    ASSERT_TRUE(wrong);
    EXPECT_TRUE(kelTestWaitUntil([&] { return !wrong->active(); }));
    EXPECT_EQ(utf16ToUtf8(wrong->descriptionError()), "401 Unauthorized");

    // The mount already has a source.
    kelTestProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-i", f_mp3, "-c", "copy",
                              "-content_type", "audio/mpeg", "-f", "mp3",
                              "icecast://source:" + std::string(kelTestIcecast::kSourcePassword) +
                                  "@127.0.0.1:" + std::to_string(f_ice.port()) + "/live"},
                             f_dir.file("ffmpeg.log")));
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/live"); }, 15000)) << ffmpeg.log();
    kelOwned<TkelIPTransmitter> second = source(kelTestIcecast::kSourcePassword, "/live");
    ASSERT_TRUE(second);
    EXPECT_TRUE(kelTestWaitUntil([&] { return !second->active(); }));
    EXPECT_EQ(utf16ToUtf8(second->descriptionError()), "403 Forbidden");
    ffmpeg.stop();
}
