#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_RTSP.h"
#include "tests/support/kelTestTcpServer.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Result
{
    intptr_t req;
    kelString control;
    intptr_t code; // 0 for an answer
    std::string cseq;
    std::string body;
};

class Client : public kelRTSPClient
{
public:
    using kelRTSPClient::kelRTSPClient;
    std::vector<Result> results()
    {
        std::lock_guard<std::mutex> l(m);
        return f_results;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> l(m);
        return f_results.size();
    }

protected:
    void onResponse(const kelString&, const kelString& control, intptr_t req, const kelHTTPparser& r) override
    {
        std::lock_guard<std::mutex> l(m);
        f_results.push_back(
            {req, control, 0, utf16ToUtf8(r.getHeaderValue(kelString(u"CSeq"), true)), r.getPayload()});
    }
    void onRequestError(const kelString&, const kelString& control, intptr_t req, intptr_t code) override
    {
        std::lock_guard<std::mutex> l(m);
        f_results.push_back({req, control, code, {}, {}});
    }

private:
    std::mutex m;
    std::vector<Result> f_results;
};

std::string cseqOf(const std::string& request)
{
    const size_t at = request.find("CSeq: ");
    return at == std::string::npos ? std::string()
                                   : request.substr(at + 6, request.find("\r\n", at) - at - 6);
}

// Answers every request 200 with its CSeq; DESCRIBE gets a body.
kelTestTcpReply echo(const std::string& request, size_t)
{
    std::string body = request.rfind("DESCRIBE", 0) == 0 ? "v=0\r\n" : "";
    return {"RTSP/1.0 200 OK\r\nCSeq: " + cseqOf(request) +
                (body.empty() ? "" : "\r\nContent-Length: " + std::to_string(body.size())) + "\r\n\r\n" +
                body,
            false};
}

kelString base(const kelTestTcpServer& s)
{
    return utf8ToUtf16("rtsp://127.0.0.1:" + std::to_string(s.port()) + "/s");
}

} // namespace

TEST(kelRTSPClientTest, RequestsGoOutInOrderOnOneConnectionWithRisingCSeq)
{
    kelTestTcpServer server(echo);
    kelOwned<Client> c(kelCreate<Client>(kelString(u"kelRTPSClient/1.1")));
    const kelString uri = base(server);
    c->sendRequest(kelRTSP_DESCRIBE, uri, u"", u"");
    c->sendRequest(kelRTSP_SETUP, uri,
                   u"rtsp://127.0.0.1:" + utf8ToUtf16(std::to_string(server.port())) + u"/s/t1",
                   u"Transport: RTP/AVP;unicast;client_port=5000-5001");
    c->sendRequest(kelRTSP_PLAY, u"", u"", u"Session: 1");
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->count() == 3; }));
    const std::string p = std::to_string(server.port());
    const std::vector<std::string> sent = server.requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(
        sent[0],
        "DESCRIBE rtsp://127.0.0.1:" + p +
            "/s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\nUser-Agent: kelRTPSClient/1.1\r\n\r\n");
    EXPECT_EQ(sent[1], "SETUP rtsp://127.0.0.1:" + p +
                           "/s/t1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n"
                           "User-Agent: kelRTPSClient/1.1\r\n\r\n");
    // A blank URI is the last one used.
    EXPECT_EQ(sent[2].rfind("PLAY rtsp://127.0.0.1:" + p + "/s/t1 RTSP/1.0\r\nCSeq: 3\r\nSession: 1\r\n", 0),
              0u);
    EXPECT_EQ(server.connections(), 1u);
    const std::vector<Result> r = c->results();
    EXPECT_EQ(r[0].req, kelRTSP_DESCRIBE);
    EXPECT_EQ(r[0].body, "v=0\r\n");
    EXPECT_EQ(r[1].cseq, "2");
    EXPECT_EQ(r[2].code, 0);
}

TEST(kelRTSPClientTest, ASilentServerGivesMinus4AndItsLateAnswerIsNotTakenForTheNext)
{
    kelManualClock clock;
    std::mutex m;
    bool answer = false;
    kelTestTcpServer server([&](const std::string& request, size_t conn) {
        std::lock_guard<std::mutex> l(m);
        if (!answer) return kelTestTcpReply{};
        return echo(request, conn);
    });
    kelOwned<Client> c(kelCreate<Client>(kelString(u"a")));
    c->setClock(clock);
    c->sendRequest(kelRTSP_OPTIONS, base(server), u"*", u"");
    ASSERT_TRUE(kelTestWaitUntil([&] { return server.requests().size() == 1; }));
    EXPECT_EQ(server.requests()[0].rfind("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n", 0), 0u);
    ASSERT_TRUE(kelTestAdvanceUntil(
        clock, [&] { return c->count() == 1; }, kelRTSPAnswerTimeoutMs + 2000, 500, 50));
    EXPECT_EQ(c->results()[0].code, kelRTSPErrNoAnswer);
    // The late answer to CSeq 1 arrives on the old connection, which is gone.
    server.push(0, "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n");
    {
        std::lock_guard<std::mutex> l(m);
        answer = true;
    }
    c->sendRequest(kelRTSP_DESCRIBE, base(server), u"", u"");
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->count() == 2; }));
    EXPECT_EQ(server.connections(), 2u);
    EXPECT_EQ(c->results()[1].code, 0);
    EXPECT_EQ(c->results()[1].body, "v=0\r\n");
}

TEST(kelRTSPClientTest, AnswersToOtherRequestsAreDroppedAndErrorsReported)
{
    // Before the real answer, a stray one with another CSeq.
    kelTestTcpServer server([](const std::string& request, size_t conn) {
        kelTestTcpReply r = echo(request, conn);
        r.bytes = "RTSP/1.0 200 OK\r\nCSeq: 99\r\nContent-Length: 2\r\n\r\nno" + r.bytes;
        return r;
    });
    kelOwned<Client> c(kelCreate<Client>(kelString(u"a")));
    c->sendRequest(kelRTSP_DESCRIBE, base(server), u"", u"");
    // Nobody listens on port 1 of the loopback.
    c->sendRequest(kelRTSP_DESCRIBE, u"rtsp://127.0.0.1:1/s", u"", u"");
    c->sendRequest(kelRTSP_DESCRIBE, u"::not a uri", u"", u"");
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->count() == 3; }, 30000));
    const std::vector<Result> r = c->results();
    EXPECT_EQ(r[0].code, 0);
    EXPECT_EQ(r[0].cseq, "1");
    EXPECT_EQ(r[0].body, "v=0\r\n");
    EXPECT_EQ(r[1].code, kelRTSPErrNotWritable);
    EXPECT_EQ(r[2].code, kelRTSPErrNoConnection);
}

TEST(kelRTSPClientTest, AnIdleConnectionIsKeptAliveByTheClock)
{
    kelManualClock clock;
    kelTestTcpServer server(echo);
    kelOwned<Client> c(kelCreate<Client>(kelString(u"a")));
    c->setClock(clock);
    c->sendRequest(kelRTSP_OPTIONS, base(server), u"", u"");
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->count() == 1; }));
    clock.advanceMs(kelRTSPKeepAliveMs - 2);
    EXPECT_FALSE(kelTestWaitUntil([&] { return server.requests().size() > 1; }, 200));
    ASSERT_TRUE(kelTestAdvanceUntil(
        clock, [&] { return c->count() == 2; }, 1000, 1, 100));
    EXPECT_EQ(server.requests()[1].rfind(
                  "GET_PARAMETER " + utf16ToUtf8(base(server)) + " RTSP/1.0\r\nCSeq: 2\r\n", 0),
              0u);
    EXPECT_EQ(c->results()[1].req, kelRTSP_GET_PARAMETER);
}

TEST(kelRTSPClientTest, ConnectionsAreSharedPerServerAndKeysAreChecked)
{
    EXPECT_EQ(kelRTSPClientSocket::uri2id(u"rtsp", u"Host", u"554"),
              kelRTSPClientSocket::uri2id(u"rtsp", u"host", u"554"));
    EXPECT_NE(kelRTSPClientSocket::uri2id(u"rtsp", u"host", u"554"),
              kelRTSPClientSocket::uri2id(u"rtsp", u"host", u"555"));
    EXPECT_NE(kelRTSPClientSocket::uri2id(u"rtsp", u"host", u"554"),
              kelRTSPClientSocket::uri2id(u"rtspu", u"host", u"554"));
    // Two connections forced onto one key are still told apart.
    kelRTSPClientSocketList list;
    list.add(static_cast<kelObject*>(
        new kelRTSPClientSocket(std::make_unique<kelTcpSocket>(), u"rtsp://a/s", u"rtsp", u"a", 554)));
    list.add(static_cast<kelObject*>(
        new kelRTSPClientSocket(std::make_unique<kelTcpSocket>(), u"rtsp://b/s", u"rtsp", u"b", 554)));
    ASSERT_TRUE(list.lock(true));
    EXPECT_EQ(list.find(u"rtsp", u"B", 554), 1);
    EXPECT_EQ(list.find(u"rtsp", u"b", 555), -1);
    list.unlockRO();

    kelTestTcpServer server(echo);
    kelOwned<Client> c(kelCreate<Client>(kelString(u"a")));
    const std::string p = std::to_string(server.port());
    c->sendRequest(kelRTSP_OPTIONS, utf8ToUtf16("rtsp://127.0.0.1:" + p + "/one"), u"", u"");
    c->sendRequest(kelRTSP_OPTIONS, utf8ToUtf16("RTSP://127.0.0.1:" + p + "/two"), u"", u"");
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->count() == 2; }));
    EXPECT_EQ(server.connections(), 1u);
    c->close(utf8ToUtf16("rtsp://127.0.0.1:" + p + "/any"));
    EXPECT_EQ(c->sockets().count(), 0);
}
