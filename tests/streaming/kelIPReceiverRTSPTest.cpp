// The receiver on rtsp URIs against a scripted server on 127.0.0.1: the
// requests byte for byte, the session's URLs and ids, the holes to the
// server's ports, keep-alives by the manual clock, TEARDOWN at close, and
// every failure read closed with its text. The answer readers and the
// STUNserver setter are table-tested on their own.
#include "net/rtp/kelRTCPstack.h"
#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPReceiverRTSPText.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestRTSPScript.h"
#include "tests/support/kelTestWait.h"

#include "core/kelClock.h"
#include "core/kelUtf.h"
#include "net/protocols/kelHTTPparser.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using kelTestRTSP::answer;
using kelTestRTSP::method;

std::string sdp(const std::string& sessionAttrs, const std::string& mediaControl, bool media = true)
{
    std::string s = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=test\r\nt=0 0\r\n" + sessionAttrs;
    if (media) s += "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/8000/1\r\n" + mediaControl;
    return s;
}

// A server that plays along, with its RTP and RTCP ports on two peers.
struct Scripted
{
    kelTestRTSP::Server server;
    kelTestPeer rtp, rtcp;
    std::string setupAnswer, playAnswer = "200", sessionHeader = "Session: 12345678;timeout=4\r\n";
    std::string describeCode = "200", body;
    bool closeOnDescribe = false;
    bool silentTeardown = false;

    Scripted()
    {
        body = sdp("a=control:*\r\n", "a=control:stream=0\r\n");
        setupAnswer = "Transport: RTP/AVP;unicast;client_port=1-2;server_port=" + std::to_string(rtp.port()) +
                      "-" + std::to_string(rtcp.port()) + ";ssrc=DEADBEEF;mode=\"PLAY\"\r\n";
        server.setScript([this](const std::string& req, bool& close) -> std::vector<kelTestBytes> {
            const std::string m = method(req);
            if (m == "DESCRIBE") {
                if (closeOnDescribe) {
                    close = true;
                    return {};
                }
                if (describeCode != "200") return {answer(req, std::stoi(describeCode), "Not Found")};
                return {answer(req, 200, "OK",
                               "Content-Base: " + server.base() + "/s/\r\nContent-Type: application/sdp\r\n",
                               body)};
            }
            if (m == "SETUP") {
                if (setupAnswer.rfind("461", 0) == 0) return {answer(req, 461, "Unsupported transport")};
                return {answer(req, 200, "OK", setupAnswer + sessionHeader)};
            }
            if (m == "PLAY") {
                if (playAnswer != "200") return {answer(req, 454, "Session Not Found")};
                return {answer(req, 200, "OK",
                               "RTP-Info: url=" + server.base() + "/s/stream=0;seq=1;rtptime=0\r\n")};
            }
            if (m == "TEARDOWN" && silentTeardown) return {};
            return {answer(req, 200, "OK")};
        });
    }
    kelString uri() const { return utf8ToUtf16(server.base() + "/s"); }
};

// What the receiver hands on unchanged (its raw payloads).
struct Collected
{
    std::mutex m;
    std::string bytes;
    void attach(TkelIPReceiver& r)
    {
        r.setOnRAWDataWrite([this](kelmtlInOutPipe*, const void* d, uint32_t n) {
            std::lock_guard<std::mutex> l(m);
            bytes.append(static_cast<const char*>(d), n);
        });
    }
    std::string get()
    {
        std::lock_guard<std::mutex> l(m);
        return bytes;
    }
};

TEST(kelIPReceiverRTSPTest, SessionSetsUpPlaysKeepsAliveWithItsIdAndTearsDownAtClose)
{
    Scripted s;
    ASSERT_TRUE(s.server.ok() && s.rtp.ok() && s.rtcp.ok());
    kelManualClock clock;
    kelOwned<TkelIPReceiver> r(kelCreate<TkelIPReceiver>());
    r->setClock(clock);
    r->set_SSRC(0x0A0B0C0D);
    r->setURI(s.uri());
    Collected got;
    got.attach(*r);
    ASSERT_TRUE(r->open());
    ASSERT_TRUE(kelTestWaitUntil([&] { return r->descriptionInfo() != u""; }))
        << utf16ToUtf8(r->descriptionError());
    EXPECT_TRUE(r->active());

    const std::string base = s.server.base();
    EXPECT_EQ(s.server.first("DESCRIBE"), "DESCRIBE " + base +
                                              "/s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
                                              "User-Agent: kelRTPSClient/1.1\r\n\r\n");
    // The stream's control against Content-Base; our SSRC in eight hex
    // digits; the ports our sockets are bound to.
    const std::string rtpPort = utf16ToUtf8(r->portLocal());
    const std::string rtcpPort = std::to_string(r->rec()->rtcp()->boundPort());
    EXPECT_EQ(s.server.first("SETUP"), "SETUP " + base +
                                           "/s/stream=0 RTSP/1.0\r\nCSeq: 2\r\n"
                                           "Transport: RTP/AVP;unicast;ssrc=0A0B0C0D;client_port=" +
                                           rtpPort + "-" + rtcpPort +
                                           "\r\nUser-Agent: kelRTPSClient/1.1\r\n\r\n");
    // PLAY goes to the aggregate URL ("a=control:*": the base), with the id
    // alone.
    EXPECT_EQ(s.server.first("PLAY"), "PLAY " + base +
                                          "/s/ RTSP/1.0\r\nCSeq: 3\r\nSession: 12345678\r\n"
                                          "Range: npt=0.000-\r\nUser-Agent: kelRTPSClient/1.1\r\n\r\n");
    EXPECT_EQ(r->descriptionInfo(), utf8ToUtf16("url=" + base + "/s/stream=0;seq=1;rtptime=0"));
    EXPECT_EQ(r->rtspSession(), u"12345678");
    EXPECT_TRUE(r->hasServerSSRC());
    EXPECT_EQ(r->rtspServerSSRC(), 0xDEADBEEFu);

    // Holes to both server ports, then the server's stream comes in.
    EXPECT_FALSE(s.rtp.receiveRTP(13, 5000).empty());
    EXPECT_FALSE(s.rtcp.receiveCompoundWith(204, 5000).empty());
    ASSERT_TRUE(s.rtp.sendTo(static_cast<uint16_t>(std::stoi(rtpPort)),
                             kelTestRTPPacket(96, 1, {0x12, 0x34, 0x56, 0x78}, 0, 0x01020304)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return got.get().size() >= 4; }));
    EXPECT_EQ(got.get(), std::string("\x12\x34\x56\x78"));

    // A time-out of 4 s: keep-alives every 2 s, with the session.
    EXPECT_EQ(s.server.count("GET_PARAMETER"), 0u);
    clock.advanceMs(2000);
    ASSERT_TRUE(kelTestWaitUntil([&] { return s.server.count("GET_PARAMETER") == 1; }));
    const std::string keep = s.server.first("GET_PARAMETER");
    EXPECT_EQ(keep.substr(0, keep.find("\r\n")), "GET_PARAMETER " + base + "/s/ RTSP/1.0");
    EXPECT_EQ(kelTestRTSP::header(keep, "Session"), "12345678");

    // close() returns after the TEARDOWN was answered.
    r->close();
    const std::string down = s.server.first("TEARDOWN");
    EXPECT_EQ(down.substr(0, down.find("\r\n")), "TEARDOWN " + base + "/s/ RTSP/1.0");
    EXPECT_EQ(kelTestRTSP::header(down, "Session"), "12345678");
    EXPECT_FALSE(r->active());
}

TEST(kelIPReceiverRTSPTest, ASilentTeardownHoldsCloseUpOnlyBriefly)
{
    Scripted s;
    s.silentTeardown = true;
    ASSERT_TRUE(s.server.ok());
    kelOwned<TkelIPReceiver> r(kelCreate<TkelIPReceiver>());
    r->setURI(s.uri());
    ASSERT_TRUE(r->open());
    ASSERT_TRUE(kelTestWaitUntil([&] { return s.server.count("PLAY") == 1 && r->descriptionInfo() != u""; }));
    r->close();
    EXPECT_EQ(s.server.count("TEARDOWN"), 1u);
    EXPECT_FALSE(r->active());
}

TEST(kelIPReceiverRTSPTest, FailedRequestsReadClosedWithTheirTexts)
{
    struct Case
    {
        const char* name;
        std::function<void(Scripted&)> arrange;
        kelString error;
    };
    const std::vector<Case> cases = {
        {"describe refused", [](Scripted& s) { s.describeCode = "404"; }, u"RTSP: 404 / Not Found"},
        {"connection broken", [](Scripted& s) { s.closeOnDescribe = true; },
         u"Incomplete response, connection was broken"},
        {"no media", [](Scripted& s) { s.body = sdp("", "", false); }, u"Could not SETUP session"},
        {"setup refused", [](Scripted& s) { s.setupAnswer = "461"; }, u"RTSP: 461 / Unsupported transport"},
        {"setup without session", [](Scripted& s) { s.sessionHeader.clear(); }, u"Could not SETUP session"},
        {"play refused", [](Scripted& s) { s.playAnswer = "454"; }, u"RTSP: 454 / Session Not Found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s;
        ASSERT_TRUE(s.server.ok());
        c.arrange(s);
        kelOwned<TkelIPReceiver> r(kelCreate<TkelIPReceiver>());
        r->setURI(s.uri());
        // On a slow machine the refusal can arrive before open() returns.
        (void)r->open();
        EXPECT_TRUE(kelTestWaitUntil([&] { return !r->active(); }, 20000));
        EXPECT_EQ(utf16ToUtf8(r->descriptionError()), utf16ToUtf8(c.error));
        r->close();
        // A refused transport is asked once more, without our SSRC.
        if (s.setupAnswer == "461") {
            ASSERT_EQ(s.server.count("SETUP"), 2u);
            const std::string again = s.server.requests().back();
            EXPECT_EQ(kelTestRTSP::header(again, "Transport").rfind("RTP/AVP;unicast;client_port=", 0), 0u)
                << again;
        }
    }
    // Nobody listening at all.
    uint16_t closedPort = 0;
    {
        kelTestRTSP::Server gone;
        closedPort = gone.port();
    }
    kelOwned<TkelIPReceiver> r(kelCreate<TkelIPReceiver>());
    r->setURI(utf8ToUtf16("rtsp://127.0.0.1:" + std::to_string(closedPort) + "/s"));
    // The refusal may come before open() returns, which then reads closed.
    (void)r->open();
    EXPECT_TRUE(kelTestWaitUntil([&] { return !r->active(); }, 20000));
    EXPECT_EQ(r->descriptionError(), u"Could not connect to server, please check URI");
}

TEST(kelIPReceiverRTSPTest, SetupAnswerTransportGivesPortsKindAndHexSSRC)
{
    struct Case
    {
        const char* transport;
        const char16_t* rtp;
        const char16_t* rtcp;
        intptr_t kind;
        bool hasSSRC;
        uint32_t ssrc;
    };
    const Case cases[] = {
        {"RTP/AVP;unicast;server_port=6000-6001;ssrc=1A2B3C4D;mode=play", u"6000", u"6001", 1, true,
         0x1A2B3C4D},
        {"RTP/AVP;unicast;server_port=6000", u"6000", u"", 1, false, 0},
        // No server_port: no address to punch holes to (the old reading
        // took the whole header for a port).
        {"RTP/AVP;unicast;client_port=5000-5001", u"", u"", 1, false, 0},
        {"RTP/AVP;unicast;server_port=x-6001", u"", u"", 1, false, 0},
        {"RTP/AVP;unicast;server_port=70000-70001", u"", u"", 1, false, 0},
        {"RTP/AVP;multicast;destination=224.2.0.1;server_port=7000-7001", u"7000", u"7001", 2, false, 0},
        // RFC 2326 writes ssrc in hex; decimal 3735928559 is nine digits.
        {"RTP/AVP;unicast;ssrc=deadbeef;server_port=1-2", u"1", u"2", 1, true, 0xDEADBEEF},
        {"RTP/AVP;unicast;ssrc=3735928559;server_port=1-2", u"1", u"2", 1, false, 0},
        {"RTP/AVP", u"", u"", 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transport);
        const kelRTSPSetupTransport t = kelRTSPReadSetupTransport(utf8ToUtf16(c.transport));
        EXPECT_EQ(t.rtpPort, c.rtp);
        EXPECT_EQ(t.rtcpPort, c.rtcp);
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.hasSSRC, c.hasSSRC);
        EXPECT_EQ(t.ssrc, c.ssrc);
    }
    EXPECT_EQ(kelRTSPSetupTransportLine(0xDEADBEEF, 5000, 5001),
              u"Transport: RTP/AVP;unicast;ssrc=DEADBEEF;client_port=5000-5001");
    EXPECT_EQ(kelRTSPSetupTransportLine(7, 1, 2),
              u"Transport: RTP/AVP;unicast;ssrc=00000007;client_port=1-2");
}

TEST(kelIPReceiverRTSPTest, SessionHeaderKeepsTheIdBeforeItsParameters)
{
    struct Case
    {
        const char16_t* value;
        const char16_t* id;
        int64_t timeout;
    };
    const Case cases[] = {
        {u"12345678;timeout=20", u"12345678", 20},
        {u" abc ; Timeout=5 ", u"abc", 5},
        {u"abc", u"abc", 60},
        {u"abc;timeout=0", u"abc", 60},
        {u"abc;timeout=x", u"abc", 60},
        {u"", u"", 60},
    };
    for (const Case& c : cases) {
        const kelRTSPSessionHeader h = kelRTSPReadSessionHeader(c.value);
        EXPECT_EQ(h.id, c.id) << utf16ToUtf8(c.value);
        EXPECT_EQ(h.timeoutS, c.timeout) << utf16ToUtf8(c.value);
    }
}

TEST(kelIPReceiverRTSPTest, ControlsResolveAgainstTheContentBase)
{
    struct Case
    {
        std::string headers, sessionAttrs, mediaControl;
        kelString aggregate, media;
    };
    const kelString d = u"rtsp://h/s";
    const std::vector<Case> cases = {
        {"Content-Base: rtsp://h/s/\r\n", "control:*\r\n", "stream=0", u"rtsp://h/s/",
         u"rtsp://h/s/stream=0"},
        {"Content-Base: rtsp://h/s/\r\n", "", "stream=0", u"rtsp://h/s/", u"rtsp://h/s/stream=0"},
        {"", "control:rtsp://h/s\r\n", "rtsp://h/s/trackID=0", u"rtsp://h/s", u"rtsp://h/s/trackID=0"},
        {"Content-Location: rtsp://h/other\r\n", "", "t1", u"rtsp://h/other", u"rtsp://h/other/t1"},
        // A base that is no URL does not count.
        {"Content-Base: stream\r\n", "", "", u"rtsp://h/s", u"rtsp://h/s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers + c.sessionAttrs + c.mediaControl);
        kelHTTPparser p;
        p.feed("RTSP/1.0 200 OK\r\nCSeq: 1\r\n" + c.headers + "\r\n");
        const kelRTSPSessionURLs u =
            kelRTSPSessionURLsOf(p, d, utf8ToUtf16(c.sessionAttrs), utf8ToUtf16(c.mediaControl));
        EXPECT_EQ(utf16ToUtf8(u.aggregate), utf16ToUtf8(c.aggregate));
        EXPECT_EQ(utf16ToUtf8(u.media), utf16ToUtf8(c.media));
    }
}

TEST(kelIPReceiverRTSPTest, STUNServerTakesStunURIsInBothFormsOnly)
{
    struct Case
    {
        const char16_t* value;
        const char16_t* host;
        const char16_t* port;
    };
    const Case cases[] = {
        {u"stun://stun.example:3479", u"stun.example", u"3479"},
        {u"stun://stun.example", u"stun.example", u"3478"},
        {u"stun:stun.example:3480", u"stun.example", u"3480"},
        {u"STUN:stun.example", u"stun.example", u"3478"},
        // A plain host splits as http: ignored, the last server stays.
        {u"stun.example:1", u"stun.example", u"3478"},
        {u"http://stun.example", u"stun.example", u"3478"},
        {u"", u"", u""},
    };
    kelOwned<TkelIPReceiver> r(kelCreate<TkelIPReceiver>());
    for (const Case& c : cases) {
        r->setSTUNserver(c.value);
        EXPECT_EQ(r->STUNserver(), c.host) << utf16ToUtf8(c.value);
        EXPECT_EQ(r->STUNPort(), c.port) << utf16ToUtf8(c.value);
    }
}

} // namespace
