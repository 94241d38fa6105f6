// The SHOUTcast/Icecast receiver and source against icecast2 (started here
// from a configuration of our own, stopped by its PID), with ffmpeg as the
// other source and curl as the other listener.
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_SHOUT.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIcecast.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace {

class Receiver : public kelSHOUTreceiver
{
public:
    using kelSHOUTreceiver::kelSHOUTreceiver;
    std::string audio()
    {
        std::lock_guard<std::mutex> l(m);
        return f_audio;
    }
    size_t audioSize()
    {
        std::lock_guard<std::mutex> l(m);
        return f_audio.size();
    }

protected:
    void onData(const uint8_t* d, size_t n) override
    {
        std::lock_guard<std::mutex> l(m);
        f_audio.append(reinterpret_cast<const char*>(d), n);
    }

private:
    std::mutex m;
    std::string f_audio;
};

// A thread that stops and is joined when the scope ends, however it ends.
class Feeder
{
public:
    template <class F> explicit Feeder(F body) : f_thread([this, body] { body(f_done); }) {}
    ~Feeder()
    {
        f_done = true;
        f_thread.join();
    }

private:
    std::atomic<bool> f_done{false};
    std::thread f_thread;
};

class kelSHOUTIcecastInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!kelTestIcecast::installed())
            GTEST_SKIP() << "icecast2 not installed (scripts/install-deps installs it)";
        if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("curl"))
            GTEST_SKIP() << "ffmpeg or curl not installed";
        f_mp3 = f_dir.file("f.mp3");
        ASSERT_EQ(kelTestProcess::runToEnd({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                            "sine=frequency=440:duration=30", "-c:a", "libmp3lame", "-b:a",
                                            "128k", "-y", f_mp3},
                                           60000),
                  0);
        f_file = kelReadBytes(f_mp3);
        ASSERT_GT(f_file.size(), 100000u);
        ASSERT_TRUE(
            f_ice.start("<mount><mount-name>/limited</mount-name><max-listeners>1</max-listeners></mount>\n"))
            << f_ice.errorLog();
    }

    // ffmpeg as the source of `mount`, in real time.
    void startFfmpeg(const std::string& mount)
    {
        ASSERT_TRUE(f_ffmpeg.start({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-i", f_mp3, "-c",
                                    "copy", "-content_type", "audio/mpeg", "-f", "mp3",
                                    "icecast://source:" + std::string(kelTestIcecast::kSourcePassword) +
                                        "@127.0.0.1:" + std::to_string(f_ice.port()) + mount},
                                   f_dir.file("ffmpeg.log")));
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount(mount); }, 15000)) << f_ffmpeg.log();
    }

    kelString sourceURI(const std::string& user, const std::string& password, const std::string& mount) const
    {
        return utf8ToUtf16("http://" + user + ":" + password + "@127.0.0.1:" + std::to_string(f_ice.port()) +
                           mount);
    }

    kelTempDir f_dir;
    kelTestIcecast f_ice;
    kelTestProcess f_ffmpeg;
    std::string f_mp3;
    std::string f_file;
};

} // namespace

TEST_F(kelSHOUTIcecastInteropTest, ReceiverGetsTheFileAndTitlesAndSeesTheServerDie)
{
    startFfmpeg("/live");
    kelOwned<Receiver> r(
        kelCreate<Receiver>(utf8ToUtf16(f_ice.base() + "/live"), kelString(u"kelTest/1"), true));
    ASSERT_TRUE(r->start());
    // Past the first metadata interval (icecast's is 16000 bytes).
    ASSERT_TRUE(kelTestWaitUntil([&] { return r->audioSize() > 40000; }, 20000)) << r->errorCode();
    // The audio is a contiguous run of the file: no metadata byte in it and
    // none missing (the first frames may be ffmpeg's own header).
    const std::string audio = r->audio().substr(4096);
    EXPECT_NE(f_file.find(audio), std::string::npos);

    const std::string title = "Don't Stop; Live";
    ASSERT_TRUE(f_ice.setTitle("/live", title));
    EXPECT_TRUE(kelTestWaitUntil([&] { return r->song_title() == utf8ToUtf16(title); }, 20000))
        << utf16ToUtf8(r->song_title());

    f_ice.kill();
    ASSERT_TRUE(kelTestWaitUntil([&] { return r->errorCode() != 0; }));
    EXPECT_EQ(r->errorCode(), kelSHOUTErrEnded);
}

TEST_F(kelSHOUTIcecastInteropTest, ReceiverReportsAMissingMountAndAFullOne)
{
    kelOwned<Receiver> missing(
        kelCreate<Receiver>(utf8ToUtf16(f_ice.base() + "/none"), kelString(u"a"), true));
    missing->start();
    ASSERT_TRUE(kelTestWaitUntil([&] { return missing->errorCode() != 0; }));
    EXPECT_EQ(missing->errorCode(), -404);

    startFfmpeg("/limited");
    kelTestProcess listener;
    ASSERT_TRUE(
        listener.start({"curl", "-s", "-o", "/dev/null", f_ice.base() + "/limited"}, f_dir.file("curl.log")));
    ASSERT_TRUE(
        kelTestWaitUntil([&] { return f_ice.statusJson().find("\"listeners\":1") != std::string::npos; }));
    kelOwned<Receiver> full(
        kelCreate<Receiver>(utf8ToUtf16(f_ice.base() + "/limited"), kelString(u"a"), true));
    full->start();
    ASSERT_TRUE(kelTestWaitUntil([&] { return full->errorCode() != 0; }));
    EXPECT_EQ(full->errorCode(), -403);
}

TEST_F(kelSHOUTIcecastInteropTest, SourceStreamsByteExactToCurl)
{
    kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
    t->ice_name = u"kel test";
    t->ice_genre = u"Test";
    ASSERT_EQ(t->open(sourceURI("source", kelTestIcecast::kSourcePassword, "/ours")), kelSHOUTOK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return t->streaming() || t->error() != 0; }));
    ASSERT_EQ(t->error(), 0) << f_ice.errorLog();
    // Icecast lists a source once it sent data.
    EXPECT_EQ(t->send(f_file.data(), 4096), 4096);
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/ours"); }));
    EXPECT_NE(f_ice.statusJson().find("\"server_name\":\"kel test\""), std::string::npos);

    kelTestProcess listener;
    const std::string out = f_dir.file("curl.bin");
    ASSERT_TRUE(listener.start({"curl", "-s", "-H", "Icy-MetaData: 0", "-o", out, f_ice.base() + "/ours"},
                               f_dir.file("curl.log")));
    ASSERT_TRUE(
        kelTestWaitUntil([&] { return f_ice.statusJson().find("\"listeners\":1") != std::string::npos; }));
    for (size_t at = 4096; at < f_file.size(); at += 8192) {
        const size_t n = std::min<size_t>(8192, f_file.size() - at);
        ASSERT_EQ(t->send(f_file.data() + at, static_cast<intptr_t>(n)), static_cast<intptr_t>(n));
    }
    t->close();
    ASSERT_TRUE(listener.waitExit(kelTestWaitMs));
    const std::string got = kelReadBytes(out);
    // What curl got is the file byte for byte, from the first frame after
    // it joined (the first 4096 bytes went before) to about the end: icecast
    // keeps back the last part of a frame when the source leaves.
    const size_t at = f_file.find(got);
    ASSERT_NE(at, std::string::npos) << got.size();
    EXPECT_LE(at, 8192u);
    EXPECT_GE(at + got.size(), f_file.size() - 8192);
}

TEST_F(kelSHOUTIcecastInteropTest, SourceLoginsThatFailReportTheirCodes)
{
    kelOwned<kelSHOUTtransmitter> wrong(kelCreate<kelSHOUTtransmitter>());
    ASSERT_EQ(wrong->open(sourceURI("source", "wrong", "/x")), kelSHOUTOK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return wrong->error() != 0; }));
    EXPECT_EQ(wrong->error(), kelSHOUTErrAuth);

    startFfmpeg("/live");
    kelOwned<kelSHOUTtransmitter> second(kelCreate<kelSHOUTtransmitter>());
    ASSERT_EQ(second->open(sourceURI("source", kelTestIcecast::kSourcePassword, "/live")), kelSHOUTOK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return second->error() != 0; }));
    EXPECT_EQ(second->error(), kelSHOUTErrRefused);
    EXPECT_EQ(second->iceCode(), 403);
}

TEST_F(kelSHOUTIcecastInteropTest, DnasSourceSetsItsSongForOurReceiver)
{
    kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
    ASSERT_EQ(t->open(utf8ToUtf16("http://DNAS:" + std::string(kelTestIcecast::kSourcePassword) +
                                  "@127.0.0.1:" + std::to_string(f_ice.dnasPort()) + "/")),
              kelSHOUTOK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return t->streaming() || t->error() != 0; }));
    ASSERT_EQ(t->error(), 0) << f_ice.errorLog();
    Feeder feeder([&](const std::atomic<bool>& done) {
        for (size_t at = 0; !done && t->error() == 0; at = (at + 4096) % (f_file.size() - 4096)) {
            t->send(f_file.data() + at, 4096);
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/dnas"); }));
    kelOwned<Receiver> r(kelCreate<Receiver>(utf8ToUtf16(f_ice.base() + "/dnas"), kelString(u"a"), true));
    r->start();
    EXPECT_TRUE(kelTestWaitUntil([&] { return r->song_title() == u"toolazynow.mp3"; }, 20000))
        << r->errorCode() << " " << f_ice.errorLog();
}

TEST_F(kelSHOUTIcecastInteropTest, SourceReachesOurReceiverThroughARelay)
{
    kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
    ASSERT_EQ(t->open(sourceURI("source", kelTestIcecast::kSourcePassword, "/ours")), kelSHOUTOK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return t->streaming() || t->error() != 0; }));
    ASSERT_EQ(t->error(), 0);
    // The file again and again, in order, while the relay runs.
    Feeder feeder([&](const std::atomic<bool>& done) {
        for (size_t at = 0; !done && t->error() == 0;) {
            const size_t n = std::min<size_t>(4096, f_file.size() - at);
            t->send(f_file.data() + at, static_cast<intptr_t>(n));
            at = (at + n) % f_file.size();
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/ours"); }));
    kelTestIcecast relay;
    ASSERT_TRUE(relay.start("<relay><server>127.0.0.1</server><port>" + std::to_string(f_ice.port()) +
                            "</port><mount>/ours</mount><local-mount>/relayed</local-mount>"
                            "<on-demand>0</on-demand></relay>\n"))
        << relay.errorLog();
    ASSERT_TRUE(kelTestWaitUntil([&] { return relay.hasMount("/relayed"); }, 20000)) << relay.errorLog();
    // The relay may list its mount a moment before it takes listeners: a
    // 404 then is tried again.
    kelOwned<Receiver> r;
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            if (!r || r->errorCode() == -404) {
                r.reset(kelCreate<Receiver>(utf8ToUtf16(relay.base() + "/relayed"), kelString(u"a"), true));
                r->start();
            }
            return r->audioSize() > 40000;
        },
        20000))
        << r->errorCode() << relay.errorLog();
    // A run of the file (it repeats, so the run may wrap round its end).
    const std::string audio = r->audio().substr(0, 30000);
    EXPECT_NE((f_file + f_file).find(audio), std::string::npos);
}
