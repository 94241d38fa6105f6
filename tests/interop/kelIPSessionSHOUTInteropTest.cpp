// Our receiver on http URIs against icecast2 (started here from its own
// configuration, stopped by its PID) and a relay of it, fed by our
// SHOUTcast source with an MP3 file over and over: the stream reaches our
// receiver and curl byte for byte, the title set through icecast2's admin
// interface becomes descriptionInfo, and icecast2's refusals (no such
// mount, a full mount, a mount behind a password) read closed with their
// texts.
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_SHOUT.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIcecast.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

// The raw stream our receiver hands on.
struct Heard
{
    kelOwned<TkelIPReceiver> r{kelCreate<TkelIPReceiver>()};
    std::mutex m;
    std::string bytes;
    explicit Heard(const std::string& uri)
    {
        r->setOnRAWDataWrite([this](kelmtlInOutPipe*, const void* d, uint32_t n) {
            std::lock_guard<std::mutex> l(m);
            bytes.append(static_cast<const char*>(d), n);
        });
        r->setURI(utf8ToUtf16(uri));
    }
    size_t size()
    {
        std::lock_guard<std::mutex> l(m);
        return bytes.size();
    }
    std::string get()
    {
        std::lock_guard<std::mutex> l(m);
        return bytes;
    }
};

// A source of ours on `mount`, sending the file round and round until the
// scope ends.
class Source
{
public:
    Source(const kelTestIcecast& ice, const std::string& mount, const std::string& file) : f_file(file)
    {
        f_t.reset(kelCreate<kelSHOUTtransmitter>());
        f_ok = f_t->open(utf8ToUtf16("http://source:" + std::string(kelTestIcecast::kSourcePassword) +
                                     "@127.0.0.1:" + std::to_string(ice.port()) + mount)) == kelSHOUTOK &&
               kelTestWaitUntil([&] { return f_t->streaming() || f_t->error() != 0; }) && f_t->error() == 0;
        if (!f_ok) return;
        f_thread = std::thread([this] {
            for (size_t at = 0; !f_done && f_t->error() == 0;) {
                const size_t n = std::min<size_t>(4096, f_file.size() - at);
                f_t->send(f_file.data() + at, static_cast<intptr_t>(n));
                at = (at + n) % f_file.size();
                // About four times the file's own rate: icecast2 drops
                // listeners that fall too far behind a source.
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
            }
        });
    }
    ~Source()
    {
        f_done = true;
        if (f_thread.joinable()) f_thread.join();
        if (f_t) f_t->close();
    }
    bool ok() const { return f_ok; }

private:
    const std::string& f_file;
    kelOwned<kelSHOUTtransmitter> f_t;
    bool f_ok = false;
    std::atomic<bool> f_done{false};
    std::thread f_thread;
};

class kelIPSessionSHOUTInterop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!kelTestIcecast::installed())
            GTEST_SKIP() << "icecast2 not installed (scripts/install-deps installs it)";
        if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("curl"))
            GTEST_SKIP() << "ffmpeg or curl not installed";
        const std::string mp3 = f_dir.file("f.mp3");
        ASSERT_EQ(kelTestProcess::runToEnd({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                            "sine=frequency=440:duration=20", "-c:a", "libmp3lame", "-b:a",
                                            "128k", "-y", mp3},
                                           60000),
                  0);
        f_file = kelReadBytes(mp3);
        ASSERT_GT(f_file.size(), 100000u);
        // A password file with nobody in it: every listener of /auth is
        // refused.
        const std::string users = f_ice.folder() + "/users";
        std::ofstream(users) << "";
        ::chmod(users.c_str(), 0644);
        ASSERT_TRUE(
            f_ice.start("<mount><mount-name>/limited</mount-name><max-listeners>1</max-listeners></mount>\n"
                        "<mount><mount-name>/auth</mount-name><authentication type=\"htpasswd\">"
                        "<option name=\"filename\" value=\"" +
                        users + "\"/></authentication></mount>\n"))
            << f_ice.errorLog();
    }

    kelTempDir f_dir;
    kelTestIcecast f_ice;
    std::string f_file;
};

TEST_F(kelIPSessionSHOUTInterop, StreamAndTitleReachUsDirectAndThroughARelay)
{
    Source source(f_ice, "/ours", f_file);
    ASSERT_TRUE(source.ok()) << f_ice.errorLog();
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/ours"); }));
    kelTestIcecast relay;
    ASSERT_TRUE(relay.start("<relay><server>127.0.0.1</server><port>" + std::to_string(f_ice.port()) +
                            "</port><mount>/ours</mount><local-mount>/relayed</local-mount>"
                            "<on-demand>0</on-demand></relay>\n"))
        << relay.errorLog();
    ASSERT_TRUE(kelTestWaitUntil([&] { return relay.hasMount("/relayed"); }, 20000)) << relay.errorLog();

    Heard direct(f_ice.base() + "/ours");
    ASSERT_TRUE(direct.r->open()) << utf16ToUtf8(direct.r->descriptionError());
    // The relay may list its mount a moment before it takes listeners: a
    // 404 then is tried again.
    std::unique_ptr<Heard> relayed;
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            if (!relayed || !relayed->r->active()) {
                relayed = std::make_unique<Heard>(relay.base() + "/relayed");
                (void)relayed->r->open();
            }
            return relayed->size() > 40000 && direct.size() > 40000;
        },
        30000))
        << utf16ToUtf8(relayed->r->descriptionError()) << relay.errorLog();
    const std::string out = f_dir.file("curl.bin");
    ASSERT_EQ(
        kelTestProcess::runToEnd(
            {"curl", "-s", "-m", "3", "-H", "Icy-MetaData: 0", "-o", out, f_ice.base() + "/ours"}, 20000) < 0,
        false);
    // Runs of the file (it repeats, so a run may wrap round its end), with
    // no metadata byte in them.
    const std::string twice = f_file + f_file;
    EXPECT_NE(twice.find(direct.get().substr(0, 30000)), std::string::npos);
    EXPECT_NE(twice.find(relayed->get().substr(0, 30000)), std::string::npos);
    const std::string atCurl = kelReadBytes(out);
    ASSERT_GT(atCurl.size(), 10000u);
    EXPECT_NE(twice.find(atCurl.substr(0, 10000)), std::string::npos);
    EXPECT_EQ(direct.r->encoding(), 17);

    ASSERT_TRUE(f_ice.setTitle("/ours", "A - B"));
    EXPECT_TRUE(kelTestWaitUntil([&] { return direct.r->descriptionInfo() == u"A - B"; }, 20000))
        << utf16ToUtf8(direct.r->descriptionInfo()) << " / " << utf16ToUtf8(direct.r->descriptionError());
    EXPECT_TRUE(kelTestWaitUntil([&] { return relayed->r->descriptionInfo() == u"A - B"; }, 20000))
        << utf16ToUtf8(relayed->r->descriptionInfo()) << " / " << utf16ToUtf8(relayed->r->descriptionError());
    EXPECT_TRUE(direct.r->active());
    direct.r->close();
    relayed->r->close();
}

TEST_F(kelIPSessionSHOUTInterop, RefusalsReadClosedWithTheirTexts)
{
    Source limited(f_ice, "/limited", f_file);
    Source guarded(f_ice, "/auth", f_file);
    ASSERT_TRUE(limited.ok() && guarded.ok()) << f_ice.errorLog();
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_ice.hasMount("/limited") && f_ice.hasMount("/auth"); }));
    kelTestProcess listener;
    ASSERT_TRUE(
        listener.start({"curl", "-s", "-o", "/dev/null", f_ice.base() + "/limited"}, f_dir.file("curl.log")));
    ASSERT_TRUE(
        kelTestWaitUntil([&] { return f_ice.statusJson().find("\"listeners\":1") != std::string::npos; }));

    const std::pair<const char*, const char16_t*> cases[] = {
        {"/none", u"404 Not Found"},
        {"/limited", u"403 Forbidden"},
        {"/auth", u"401 Unauthorized"},
    };
    for (const auto& [mount, text] : cases) {
        SCOPED_TRACE(mount);
        Heard h(f_ice.base() + mount);
        (void)h.r->open();
        ASSERT_TRUE(kelTestWaitUntil([&] { return !h.r->active(); }, 20000));
        EXPECT_EQ(utf16ToUtf8(h.r->descriptionError()), utf16ToUtf8(text));
        h.r->close();
    }
    listener.stop();
}

} // namespace
