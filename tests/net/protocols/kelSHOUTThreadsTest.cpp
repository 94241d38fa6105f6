#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_SHOUT.h"
#include "tests/support/kelTestTcpServer.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <string>

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

kelString uriOf(const kelTestTcpServer& s, const std::string& path)
{
    return utf8ToUtf16("http://127.0.0.1:" + std::to_string(s.port()) + path);
}

// An ICY answer with metaint 4: "abcd", a title block, "efgh".
std::string icyStream()
{
    const std::string block = std::string("StreamTitle='Don't; Stop';") + std::string(6, '\0');
    return "ICY 200 OK\r\nicy-name: Test Radio\r\nicy-br: 128\r\nicy-metaint: 4\r\n\r\nabcd" +
           std::string(1, '\x02') + block + "efgh";
}

} // namespace

TEST(kelSHOUTreceiverTest, SendsItsRequestAndSplitsTheStreamFromTheTitles)
{
    kelTestTcpServer server([](const std::string&, size_t) { return kelTestTcpReply{icyStream(), false}; });
    ASSERT_TRUE(server.ok());
    kelOwned<Receiver> r(kelCreate<Receiver>(uriOf(server, ""), kelString(u"kelTest/1"), true));
    ASSERT_TRUE(r->libOK());
    ASSERT_TRUE(r->start());
    ASSERT_TRUE(kelTestWaitUntil([&] { return r->audio() == "abcdefgh"; }));
    EXPECT_EQ(server.received(0), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: kelTest/1\r\n"
                                  "Range: bytes=0-\r\nIcy-MetaData: 1\r\n\r\n");
    EXPECT_EQ(r->song_title(), u"Don't; Stop");
    EXPECT_EQ(r->srv_name(), u"Test Radio");
    EXPECT_EQ(r->srv_bitrate(), u"128");
    EXPECT_EQ(r->getICYHeaderValue(u"icy-metaint"), u" 4");
    EXPECT_EQ(r->errorCode(), 0);
    // The server ends the stream: the receiver sees it.
    server.closeConnection(0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return r->errorCode() != 0; }));
    EXPECT_EQ(r->errorCode(), kelSHOUTErrEnded);
}

TEST(kelSHOUTreceiverTest, RefusedAndUnusableURIsReportTheirCodes)
{
    kelTestTcpServer notFound([](const std::string&, size_t) {
        return kelTestTcpReply{"HTTP/1.0 404 Not Found\r\n\r\n", true};
    });
    kelTestTcpServer longHeader([](const std::string&, size_t) {
        return kelTestTcpReply{"garbage " + std::string(20000, 'x'), false};
    });
    struct Case
    {
        kelString uri;
        intptr_t code;
    };
    const Case cases[] = {
        {uriOf(notFound, "/x"), -404},
        {uriOf(longHeader, "/x"), kelSHOUTErrHeaderTooLong},
        {u"rtsp://127.0.0.1/x", kelSHOUTErrNotHTTP},
    };
    for (const Case& c : cases) {
        kelOwned<Receiver> r(kelCreate<Receiver>(c.uri, kelString(u"a"), false));
        r->start();
        EXPECT_TRUE(kelTestWaitUntil([&] { return r->errorCode() != 0; })) << utf16ToUtf8(c.uri);
        EXPECT_EQ(r->errorCode(), c.code) << utf16ToUtf8(c.uri);
    }
}

TEST(kelSHOUTreceiverTest, FollowsRelativeRedirectsAndStopsALoopAfterFive)
{
    kelTestTcpServer stream([](const std::string&, size_t) { return kelTestTcpReply{icyStream(), false}; });
    kelTestTcpServer moved(
        kelTestRedirector(307, "http://127.0.0.1:" + std::to_string(stream.port()) + "/s"));
    kelTestTcpServer relative([&](const std::string& req, size_t) {
        if (req.rfind("GET /a/first", 0) == 0)
            return kelTestTcpReply{"HTTP/1.1 301 M\r\nLocation: second\r\n\r\n", true};
        return kelTestTcpReply{
            "HTTP/1.1 302 M\r\nLocation: http://127.0.0.1:" + std::to_string(moved.port()) + "/m\r\n\r\n",
            true};
    });
    kelOwned<Receiver> r(kelCreate<Receiver>(uriOf(relative, "/a/first"), kelString(u"a"), true));
    r->start();
    ASSERT_TRUE(kelTestWaitUntil([&] { return r->audio() == "abcdefgh"; }));
    EXPECT_EQ(r->redirects(), 3);
    EXPECT_EQ(r->URI(), uriOf(stream, "/s"));
    ASSERT_EQ(relative.requests().size(), 2u);
    EXPECT_EQ(relative.requests()[1].rfind("GET /a/second HTTP/1.0\r\n", 0), 0u);

    kelTestTcpServer loop(kelTestRedirector(302, "/loop%n"));
    kelOwned<Receiver> l(kelCreate<Receiver>(uriOf(loop, "/loop0"), kelString(u"a"), true));
    l->start();
    ASSERT_TRUE(kelTestWaitUntil([&] { return l->errorCode() != 0; }));
    EXPECT_EQ(l->errorCode(), -302);
    EXPECT_EQ(l->redirects(), kelICYMaxRedirects);
    EXPECT_EQ(loop.requests().size(), size_t(kelICYMaxRedirects) + 1);
}

TEST(kelSHOUTreceiverTest, ASilentServerTimesOutByTheClock)
{
    kelManualClock clock;
    // Header never completes; then a stream that stalls.
    kelTestTcpServer silent([](const std::string&, size_t) {
        return kelTestTcpReply{"HTTP/1.0 200", false};
    });
    kelTestTcpServer stalls([](const std::string&, size_t) {
        return kelTestTcpReply{"HTTP/1.0 200 OK\r\n\r\nxy", false};
    });
    for (kelTestTcpServer* s : {&silent, &stalls}) {
        kelOwned<Receiver> r(kelCreate<Receiver>(uriOf(*s, "/"), kelString(u"a"), true));
        r->setClock(clock);
        r->start();
        ASSERT_TRUE(kelTestWaitUntil([&] { return s->requests().size() == 1 && r->mode() >= 1; }));
        const uint64_t limit = s == &silent ? kelSHOUTHeaderTimeoutMs : kelSHOUTStallTimeoutMs;
        if (s == &stalls) {
            ASSERT_TRUE(kelTestWaitUntil([&] { return r->audio() == "xy"; }));
        }
        clock.advanceMs(limit - 1);
        EXPECT_FALSE(kelTestWaitUntil([&] { return r->errorCode() != 0; }, 100));
        EXPECT_TRUE(kelTestAdvanceUntil(
            clock, [&] { return r->errorCode() != 0; }, 1000, 10, 100));
        EXPECT_EQ(r->errorCode(), kelSHOUTErrTimeout);
    }
}

namespace {

// Opens a source on `uri` and waits for its verdict: error() (0 while it
// streams).
struct kelTransmitterProbe
{
    intptr_t run(const kelString& uri)
    {
        kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
        if (t->open(uri) != kelSHOUTOK) return kelSHOUTE_FAIL;
        (void)kelTestWaitUntil([&] { return t->error() != 0 || t->streaming(); });
        return t->error();
    }
};

kelString sourceURI(const kelTestTcpServer& s, const std::string& userInfo)
{
    return utf8ToUtf16("http://" + userInfo + "127.0.0.1:" + std::to_string(s.port()) + "/live");
}

} // namespace

TEST(kelSHOUTtransmitterTest, LogsInAsSourceAndSendsEveryByteToASlowSink)
{
    kelTestTcpServer server([](const std::string&, size_t) {
        return kelTestTcpReply{"HTTP/1.0 200 OK\r\n\r\n", false};
    });
    kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
    t->ice_name = u"Name";
    t->ice_genre = u"Jazz";
    ASSERT_EQ(t->open(sourceURI(server, ":pw@")), kelSHOUTOK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return t->streaming(); }));
    EXPECT_EQ(server.received(0).rfind("SOURCE /live HTTP/1.0\r\nAuthorization: Basic c291cmNlOnB3\r\n", 0),
              0u);
    const size_t loginSize = server.received(0).size();

    // The sink stops reading: the kernel buffers fill, and send waits them
    // out once the sink reads again.
    server.setReading(false);
    std::string payload(16 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7);
    std::atomic<intptr_t> sent{-1};
    std::thread sender([&] { sent = t->send(payload.data(), static_cast<intptr_t>(payload.size())); });
    // More than the loopback buffers hold: the sender has to wait for the
    // sink (how long it had to is not the point; that nothing is lost is).
    (void)kelTestWaitUntil([&] { return sent != -1; }, 300);
    server.setReading(true);
    sender.join();
    EXPECT_EQ(sent, static_cast<intptr_t>(payload.size()));
    ASSERT_TRUE(kelTestWaitUntil([&] { return server.receivedSize(0) == loginSize + payload.size(); }));
    EXPECT_TRUE(server.received(0).substr(loginSize) == payload);
    EXPECT_EQ(t->error(), 0);
}

TEST(kelSHOUTtransmitterTest, RefusedAndSilentLoginsReportTheirCodes)
{
    kelManualClock clock;
    kelTestTcpServer unauthorised([](const std::string&, size_t) {
        return kelTestTcpReply{"HTTP/1.0 401 Authentication Required\r\n\r\n", true};
    });
    kelTestTcpServer inUse([](const std::string&, size_t) {
        return kelTestTcpReply{"HTTP/1.0 403 Mountpoint in use\r\n\r\n", true};
    });
    kelTestTcpServer silent([](const std::string&, size_t) { return kelTestTcpReply{}; });
    struct Case
    {
        kelTestTcpServer* server;
        intptr_t err;
        intptr_t iceCode;
    };
    for (const Case& c : {Case{&unauthorised, kelSHOUTErrAuth, 401}, Case{&inUse, kelSHOUTErrRefused, 403},
                          Case{&silent, kelSHOUTErrSocket, 0}}) {
        kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
        t->setClock(clock);
        ASSERT_EQ(t->open(sourceURI(*c.server, "me:pw@")), kelSHOUTOK);
        ASSERT_TRUE(kelTestWaitUntil([&] { return c.server->requests().size() == 1; }));
        if (c.server == &silent) {
            EXPECT_FALSE(kelTestWaitUntil([&] { return t->error() != 0; }, 100));
            EXPECT_TRUE(kelTestAdvanceUntil(
                clock, [&] { return t->error() != 0; }, kelSHOUTAnswerTimeoutMs + 1000, 500, 50));
        }
        ASSERT_TRUE(kelTestWaitUntil([&] { return t->error() != 0; }));
        EXPECT_EQ(t->error(), c.err);
        EXPECT_EQ(t->iceCode(), c.iceCode);
        EXPECT_EQ(t->send("x", 1), 0);
    }
    kelOwned<kelSHOUTtransmitter> bad(kelCreate<kelSHOUTtransmitter>());
    EXPECT_EQ(bad->open(u"http://"), kelSHOUTE_FAIL);
}

// In a network namespace of its own (no interface up, so a name lookup
// cannot leave the process), a source whose host has no address reports -3.
TEST(kelSHOUTtransmitterTest, AHostWithoutAnAddressGivesMinus3)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        char verdict = 's';
        if (::unshare(CLONE_NEWNET) == 0) {
            kelTransmitterProbe probe;
            verdict = probe.run(u"http://source:pw@kel-no-such-host.invalid:8000/live") == kelSHOUTErrHost
                          ? 'y'
                          : 'n';
        }
        (void)!::write(ready[1], &verdict, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    char verdict = 0;
    const bool got = ::read(ready[0], &verdict, 1) == 1;
    ::close(ready[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(got);
    if (verdict == 's') GTEST_SKIP() << "no network namespace (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(verdict, 'y');
}
