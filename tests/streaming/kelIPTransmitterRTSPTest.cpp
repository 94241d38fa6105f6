// The transmitter on an rtsp URI: how it reads a SETUP's Transport header,
// and the bytes it answers on the wire to a plain TCP client, with the
// client's UDP sockets on 127.0.0.1 seeing what the sessions send.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTSPPeer.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using Conn = kelTestRTSPConnection;

std::string text(const kelString& s)
{
    return utf16ToUtf8(s);
}

std::string clientPorts(const kelTestPeer& rtp)
{
    return std::to_string(rtp.port()) + "-" + std::to_string(rtp.port() + 1);
}

// The root's "<RTP port>-<RTCP port>" as its SETUP answer names them.
std::string serverPorts(TkelIPTransmitter& tx)
{
    kelRTCPstack* stack = tx.rtcp();
    return text(tx.rootPortLocal()) + "-" + std::to_string(stack ? stack->boundPort() : 0);
}

std::string ssrcHex(uint32_t ssrc)
{
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", ssrc);
    return buf;
}

// SETUP with the client's RTP port `rtp` (RTCP above it); the Session id
// of a 200 answer, empty otherwise.
std::string setup(Conn& c, uint16_t port, int cseq, uint16_t rtp)
{
    const std::string answer =
        c.ask(Conn::request("SETUP", port, cseq,
                            "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtp) + "-" +
                                std::to_string(rtp + 1) + "\r\n"));
    return answer.rfind("RTSP/1.0 200 ", 0) == 0 ? Conn::header(answer, "Session") : std::string();
}

} // namespace

TEST(kelIPTransmitterRTSPTest, TransportHeaderReadings)
{
    struct Case
    {
        const char16_t* transport;
        intptr_t code;
        intptr_t mode;
        uint16_t rtp, rtcp;
        uint32_t ssrc;
    };
    const Case cases[] = {
        {u"", 456, 1, 0, 0, 0},
        {u"  ", 456, 1, 0, 0, 0},
        {u"RAW/RAW/UDP;unicast;client_port=5000-5001", 406, 1, 0, 0, 0},
        {u"RTP/SAVP;unicast;client_port=5000-5001", 406, 1, 0, 0, 0},
        // What a client asking for interleaved TCP sends: nowhere to send UDP.
        {u"RTP/AVP/TCP;unicast;interleaved=0-1", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast;client_port=0-1", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast;client_port=65536-65537", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast;client_port=50a0-5001", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast;client_port=", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast;client_port=65535", 461, 1, 0, 0, 0},
        {u"RTP/AVP;unicast;client_port=5000-5001", 200, 1, 5000, 5001, 0},
        {u"rtp/avp/tcp;UNICAST;Client_Port=6000-6003", 200, 1, 6000, 6003, 0},
        {u"RTP/AVP;unicast;client_port=5", 200, 1, 5, 6, 0},
        {u"RTP/AVP;multicast;client_port=5000-5001", 200, 2, 5000, 5001, 0},
        {u"RTP/AVP;unicast;client_port=5000-5001;ssrc=DEADBEEF", 200, 1, 5000, 5001, 0xDEADBEEF},
        {u"RTP/AVP;unicast;client_port=5000-5001;ssrc=1a2b", 200, 1, 5000, 5001, 0x1A2B},
        // The decimal form older clients wrote is longer than eight digits.
        {u"RTP/AVP;unicast;client_port=5000-5001;ssrc=3735928559", 200, 1, 5000, 5001, 0xDEADBEEF},
        {u"RTP/AVP;unicast;client_port=5000-5001;ssrc=4294967296", 200, 1, 5000, 5001, 0},
        {u"RTP/AVP;unicast;client_port=5000-5001;ssrc=xyz", 200, 1, 5000, 5001, 0},
        // Of two transports the first counts.
        {u"RTP/AVP;unicast;client_port=7000-7001,RTP/AVP/TCP;interleaved=0-1", 200, 1, 7000, 7001, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(text(c.transport));
        const kelRTSPTransportRequest r = kelRTSPReadTransport(c.transport, u"127.0.0.1");
        EXPECT_EQ(r.code, c.code);
        if (c.code != 200) continue;
        EXPECT_EQ(r.mode, c.mode);
        EXPECT_EQ(r.rtpPort, c.rtp);
        EXPECT_EQ(r.rtcpPort, c.rtcp);
        EXPECT_EQ(r.ssrc, c.ssrc);
        EXPECT_EQ(text(r.destination), "127.0.0.1");
    }
    EXPECT_EQ(text(kelRTSPReadTransport(u"RTP/AVP;unicast", u"x").reason), "Unsupported transport");
    EXPECT_EQ(text(kelRTSPSSRCText(0xDEADBEEF)), "DEADBEEF");
    EXPECT_EQ(text(kelRTSPSSRCText(0x1A)), "0000001A");
}

TEST(kelIPTransmitterRTSPTest, DestinationNamesOnlyThePeer)
{
    const kelRTSPTransportRequest r =
        kelRTSPReadTransport(u"RTP/AVP;unicast;destination=127.0.0.2;client_port=5000-5001", u"127.0.0.1");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(text(r.destination), "127.0.0.1");
    EXPECT_EQ(text(kelRTSPSessionOf(u" 1A2B ;timeout=60")), "1A2B");
    EXPECT_EQ(text(kelRTSPBase32(0)), "0");
    EXPECT_EQ(text(kelRTSPBase32(32 * 31 + 10)), "VA");
}

TEST(kelIPTransmitterRTSPTest, DescribeAnswerBytes)
{
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port);
    ASSERT_TRUE(tx);
    Conn c(port);
    ASSERT_TRUE(c.ok());
    const std::string body = "v=0\r\no=- 2 1 IN IP4 0.0.0.0\r\ns=Live streaming by TkelIPTransmitter\r\n"
                             "i=MT\r\nt=0 0\r\nm=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/8000/1";
    const std::string uri = "rtsp://127.0.0.1:" + std::to_string(port) + "/s";
    EXPECT_EQ(c.ask(Conn::request("DESCRIBE", port, 2, "Accept: application/sdp\r\n")),
              "RTSP/1.0 200 OK\r\nContent-Base: " + uri +
                  "\r\nContent-Type: application/sdp\r\nCSeq: 2\r\nDate: *\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
}

TEST(kelIPTransmitterRTSPTest, RefusalsAnswerBytesAndKeepNoSession)
{
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port);
    ASSERT_TRUE(tx);
    Conn c(port);
    ASSERT_TRUE(c.ok());
    struct Case
    {
        const char* method;
        const char* headers;
        const char* answer;
    };
    const Case cases[] = {
        {"SETUP", "", "RTSP/1.0 456 Hey, I need Transport!\r\nCSeq: 1\r\nDate: *\r\n\r\n"},
        {"SETUP", "Transport: RAW/RAW/UDP;unicast;client_port=5000-5001\r\n",
         "RTSP/1.0 406 I know only RTP/AVP transport!\r\nCSeq: 2\r\nDate: *\r\n\r\n"},
        {"SETUP", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n",
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 3\r\nDate: *\r\n\r\n"},
        {"SETUP", "Transport: RTP/AVP;unicast;client_port=0-1\r\n",
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 4\r\nDate: *\r\n\r\n"},
        {"RECORD", "",
         "RTSP/1.0 405 Method Not Allowed\r\nAllow: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, "
         "GET_PARAMETER, SET_PARAMETER\r\nCSeq: 5\r\nDate: *\r\n\r\n"},
        {"PLAY", "Session: 1234ABCD\r\n",
         "RTSP/1.0 454 Session Not Found\r\nCSeq: 6\r\nSession: 1234ABCD\r\nDate: *\r\n\r\n"},
        {"PAUSE", "Session: 1234ABCD;timeout=60\r\n",
         "RTSP/1.0 454 Session Not Found\r\nCSeq: 7\r\nSession: 1234ABCD;timeout=60\r\nDate: *\r\n\r\n"},
        {"TEARDOWN", "Session: 1234ABCD\r\n",
         "RTSP/1.0 454 Session Not Found\r\nCSeq: 8\r\nSession: 1234ABCD\r\nDate: *\r\n\r\n"},
        {"PLAY", "", "RTSP/1.0 454 Session Not Found\r\nCSeq: 9\r\nDate: *\r\n\r\n"},
        {"GET_PARAMETER", "Session: 1234ABCD\r\n",
         "RTSP/1.0 454 Session Not Found\r\nCSeq: 10\r\nSession: 1234ABCD\r\nDate: *\r\n\r\n"},
        {"GET_PARAMETER", "", "RTSP/1.0 200 OK\r\nCSeq: 11\r\nDate: *\r\n\r\n"},
    };
    int cseq = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.method) + " " + k.headers);
        EXPECT_EQ(c.ask(Conn::request(k.method, port, ++cseq, k.headers)), k.answer);
    }
    EXPECT_EQ(tx->destCount(), 0);
    EXPECT_EQ(tx->transRoot(), nullptr);
}

TEST(kelIPTransmitterRTSPTest, SetupPlayTeardownCarryTheStreamToTheClientOnly)
{
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port);
    ASSERT_TRUE(tx);
    kelTestPeer client;
    ASSERT_TRUE(client.ok());
    Conn c(port);
    ASSERT_TRUE(c.ok());
    // Asked for another host, over TCP, with its SSRC in hex: the stream
    // goes to the asking peer over UDP.
    const std::string setupAnswer =
        c.ask(Conn::request("SETUP", port, 1,
                            "Transport: RTP/AVP/TCP;unicast;destination=127.0.0.2;client_port=" +
                                clientPorts(client) + ";ssrc=DEADBEEF\r\n"));
    const std::string session = Conn::header(setupAnswer, "Session");
    ASSERT_TRUE(std::regex_match(session, std::regex("[0-9A-V]+"))) << setupAnswer;
    ASSERT_NE(tx->transRoot(), nullptr);
    EXPECT_EQ(setupAnswer, "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;unicast;source=127.0.0.1;"
                           "destination=127.0.0.1;client_port=" +
                               clientPorts(client) + ";server_port=" + serverPorts(*tx) +
                               ";ssrc=" + ssrcHex(tx->transRoot()->_SSRC()) + "\r\nSession: " + session +
                               "\r\nCSeq: 1\r\nDate: *\r\n\r\n");
    ASSERT_EQ(tx->destCount(), 1);
    ASSERT_TRUE(tx->sessions().lock(true));
    const kelIPTransRTSPSession* listed = tx->sessions().session(0);
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(text(listed->destURI()), "rtp://127.0.0.1:" + std::to_string(client.port()) + "/");
    EXPECT_EQ(listed->recSSRC(), 0xDEADBEEFu);
    tx->sessions().unlockRO();

    EXPECT_EQ(c.ask(Conn::request("PLAY", port, 2, "Session: " + session + "\r\nRange: npt=0.000-\r\n")),
              "RTSP/1.0 200 OK\r\nRange: npt=0.000-\r\nCSeq: 2\r\nSession: " + session +
                  "\r\nDate: *\r\n\r\n");
    const uint8_t pcm[4] = {0x01, 0x02, 0x03, 0x04};
    std::vector<uint8_t> packet;
    ASSERT_TRUE(kelTestWaitUntil([&] {
        tx->write(pcm, sizeof pcm);
        packet = client.receiveRTP(98, 20);
        return !packet.empty();
    }));
    ASSERT_EQ(packet.size(), 12u + 4u);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 12, packet.end()), (std::vector<uint8_t>{2, 1, 4, 3}));

    EXPECT_EQ(c.ask(Conn::request("TEARDOWN", port, 3, "Session: " + session + "\r\n")),
              "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: " + session + "\r\nDate: *\r\n\r\n");
    EXPECT_EQ(tx->destCount(), 0);
    EXPECT_EQ(c.ask(Conn::request("TEARDOWN", port, 4, "Session: " + session + "\r\n"))
                  .rfind("RTSP/1.0 454 Session Not Found\r\n", 0),
              0u);
}

TEST(kelIPTransmitterRTSPTest, RootThatCannotBindAnswers412)
{
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port);
    ASSERT_TRUE(tx);
    kelTestPeer busy;
    ASSERT_TRUE(busy.ok());
    tx->setBind2port(utf8ToUtf16(std::to_string(busy.port())));
    Conn c(port);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.ask(Conn::request("SETUP", port, 1, "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n")),
              "RTSP/1.0 412 RTP setup returned -10\r\nCSeq: 1\r\nDate: *\r\n\r\n");
    EXPECT_EQ(tx->destCount(), 0);
}

TEST(kelIPTransmitterRTSPTest, SessionsAreBoundedAndSilentOnesDropped)
{
    kelManualClock clock;
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port, &clock);
    ASSERT_TRUE(tx);
    tx->setMaxRTSPSessions(3);
    kelTestPeer a, b, r, rRTCP(0), d;
    ASSERT_TRUE(a.ok() && b.ok() && r.ok() && d.ok());
    Conn c(port);
    ASSERT_TRUE(c.ok());
    const std::string keptByRequests = setup(c, port, 1, a.port());
    const std::string silent = setup(c, port, 2, b.port());
    // This client's reports come from a port of its own, known by its SSRC.
    const std::string keptByReports = c.ask(Conn::request(
        "SETUP", port, 3, "Transport: RTP/AVP;unicast;client_port=" + clientPorts(r) + ";ssrc=00C0FFEE\r\n"));
    const std::string reportsSession = Conn::header(keptByReports, "Session");
    ASSERT_FALSE(keptByRequests.empty());
    ASSERT_FALSE(silent.empty());
    ASSERT_FALSE(reportsSession.empty());
    EXPECT_EQ(c.ask(Conn::request("SETUP", port, 4,
                                  "Transport: RTP/AVP;unicast;client_port=" + clientPorts(d) + "\r\n")),
              "RTSP/1.0 453 Not Enough Bandwidth\r\nCSeq: 4\r\nDate: *\r\n\r\n");
    ASSERT_EQ(tx->destCount(), 3);

    const uint16_t rootRTCP = tx->rtcp() ? tx->rtcp()->boundPort() : 0;
    ASSERT_NE(rootRTCP, 0);
    for (int second = 0; second < 65; second += 5) {
        clock.advanceMs(5000);
        EXPECT_EQ(
            c.ask(Conn::request("GET_PARAMETER", port, 10 + second, "Session: " + keptByRequests + "\r\n"))
                .rfind("RTSP/1.0 200 OK\r\n", 0),
            0u);
        ASSERT_TRUE(rRTCP.sendTo(rootRTCP, kelTestRTCPCompound(0x00C0FFEE, "r@127.0.0.1")));
    }
    // 65 s on: the silent session went, the two that were heard from stay.
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->destCount() == 2; })) << tx->destCount();
    EXPECT_EQ(c.ask(Conn::request("PLAY", port, 90, "Session: " + silent + "\r\n"))
                  .rfind("RTSP/1.0 454 Session Not Found\r\n", 0),
              0u);
    EXPECT_EQ(c.ask(Conn::request("PLAY", port, 91, "Session: " + reportsSession + "\r\n"))
                  .rfind("RTSP/1.0 200 OK\r\n", 0),
              0u);
    // Room again for a new one.
    EXPECT_FALSE(setup(c, port, 92, d.port()).empty());
}

TEST(kelIPTransmitterRTSPTest, RtspuServesRequestsInDatagrams)
{
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port, nullptr, "rtspu");
    ASSERT_TRUE(tx);
    EXPECT_EQ(tx->socketType(), kelIPSocketUDP);
    kelTestPeer client;
    ASSERT_TRUE(client.ok());
    const std::string request =
        Conn::request("SETUP", port, 1,
                      "Transport: RTP/AVP;unicast;client_port=" + std::to_string(client.port() + 2) + "-" +
                          std::to_string(client.port() + 3) + "\r\n");
    ASSERT_TRUE(client.sendTo(port, std::vector<uint8_t>(request.begin(), request.end())));
    const std::vector<uint8_t> answer = client.receive(10000);
    const std::string text(answer.begin(), answer.end());
    EXPECT_EQ(text.rfind("RTSP/1.0 200 OK\r\nTransport: RTP/AVP;unicast;source=127.0.0.1;", 0), 0u) << text;
    EXPECT_EQ(tx->destCount(), 1);
}

TEST(kelIPTransmitterRTSPTest, SourceErrorTexts)
{
    struct Case
    {
        intptr_t error, iceCode;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, ""},
        {kelSHOUTErrAuth, 0, "401 Unauthorized"},
        {kelSHOUTErrRefused, 403, "403 Forbidden"},
        {kelSHOUTErrRefused, 404, "404 Not Found"},
        {kelSHOUTErrRefused, 402, "402 Payment Required"},
        {kelSHOUTErrRefused, 500, "SHOUT Error: -500"},
        {kelSHOUTErrRefused, 0, "SHOUT Error: -5"},
        {kelSHOUTErrSocket, 0, "SHOUT Error: -2"},
        {kelSHOUTErrHost, 0, "Could not connect to server, please check URI"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(text(kelSHOUTSourceErrorText(c.error, c.iceCode)), c.text) << c.error << " " << c.iceCode;
}
