#include "net/protocols/kelSocks_RTSP.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(kelRTSPWireTest, TablesAndTheDateText)
{
    EXPECT_EQ(kelRTSPMethodIndex(u"describe"), kelRTSP_DESCRIBE);
    EXPECT_EQ(kelRTSPMethodIndex(u"Set_Parameter"), kelRTSP_SET_PARAMETER);
    EXPECT_EQ(kelRTSPMethodIndex(u"TEARDOWN"), kelRTSP_TEARDOWN);
    EXPECT_EQ(kelRTSPMethodIndex(u"TEARDOWNX"), -1);
    EXPECT_EQ(kelRTSPMethodIndex(u""), -1);
    EXPECT_EQ(kelString(kelRTSPHeaderNames[kelRTSPHeaderCount - 1]), u"Unsupported");
    EXPECT_EQ(kelRTSPDate(0), "Thu, 1 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(kelRTSPDate(1709251199000ull), "Thu, 29 Feb 2024 23:59:59 GMT");
    EXPECT_EQ(kelRTSPDate(1709251200999ull), "Fri, 1 Mar 2024 00:00:00 GMT");
}

TEST(kelRTSPWireTest, RequestURIsJoinControlsOnce)
{
    struct Case
    {
        kelString uri, last, control, expected;
    };
    const Case cases[] = {
        {u"rtsp://h/s", u"", u"", u"rtsp://h/s"},
        {u"  ", u"rtsp://h/last", u"", u"rtsp://h/last"},
        {u"rtsp://h/s", u"", u"trackID=1", u"rtsp://h/s/trackID=1"},
        {u"rtsp://h/s/", u"", u"/t1", u"rtsp://h/s/t1"},
        {u"rtsp://h/s", u"", u"rtsp://h/s/t1", u"rtsp://h/s/t1"},
        {u"rtsp://h/s", u"", u"*", u"*"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kelRTSPRequestURI(c.uri, c.last, c.control), c.expected);
}

TEST(kelRTSPWireTest, RequestsAreGoldenAndCallerTextCannotAddLines)
{
    EXPECT_EQ(kelRTSPBuildRequest(kelRTSP_DESCRIBE, u"rtsp://127.0.0.1:8554/s", 1, u"", u"kelRTPSClient/1.1"),
              "DESCRIBE rtsp://127.0.0.1:8554/s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
              "User-Agent: kelRTPSClient/1.1\r\n\r\n");
    EXPECT_EQ(
        kelRTSPBuildRequest(kelRTSP_SETUP, u"rtsp://h/s\r\nX: 1", 2,
                            u"Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n\nSession: 7\r",
                            u"a\n"),
        "SETUP rtsp://h/sX: 1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n"
        "Session: 7\r\nUser-Agent: a\r\n\r\n");
    EXPECT_EQ(kelRTSPBuildRequest(11, u"rtsp://h/s", 1, u"", u"a"), "");
}

TEST(kelRTSPWireTest, AnswersAreJudgedByCSeqAndBounds)
{
    struct Case
    {
        std::string bytes;
        kelRTSPAnswerState state;
    };
    const Case cases[] = {
        {"RTSP/1.0 200 OK\r\nCSeq: 3\r\n", kelRTSPAnswerState::Incomplete},
        {"RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n", kelRTSPAnswerState::Complete},
        {"RTSP/1.0 200 OK\r\nCSeq: 3\r\nContent-Length: 4\r\n\r\nab", kelRTSPAnswerState::Incomplete},
        {"RTSP/1.0 200 OK\r\nCSeq: 3\r\nContent-Length: 4\r\n\r\nabcd", kelRTSPAnswerState::Complete},
        {"RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", kelRTSPAnswerState::OtherCSeq},
        {"RTSP/1.0 200 OK\r\n\r\n", kelRTSPAnswerState::OtherCSeq},
        {"RTSP/1.0 200 OK\r\n" + std::string(200, 'x'), kelRTSPAnswerState::Overflow},
    };
    for (const Case& c : cases) {
        kelHTTPparser p;
        p.setLimits(100, 100);
        p.feed(c.bytes);
        EXPECT_EQ(kelRTSPCheckAnswer(p, 3), c.state) << c.bytes;
    }
}

namespace {

const std::string kDate = "Thu, 1 Jan 1970 00:00:00 GMT";

struct Served
{
    std::string bytes;
    intptr_t answered = 0;
    bool close = false;
    std::vector<intptr_t> methods;
};

// Feeds `input` to one server parser in pieces of `piece` bytes; the handler
// serves one SDP and renames the SETUP answer's message.
Served serve(const std::string& input, size_t piece = std::string::npos)
{
    kelRTSPServerParser parser(7);
    Served out;
    const kelRTSPRequestHandler handler = [&](intptr_t method, const kelString&, const kelHTTPparser&,
                                              kelRTSPAnswer& answer) {
        out.methods.push_back(method);
        if (method == kelRTSP_DESCRIBE) answer.body = "v=0\r\n";
        if (method == kelRTSP_SETUP) {
            answer.humanMsg = u"Set\r\nX-Evil: up";
            answer.headers = u"Transport: RTP/AVP;unicast\r\n\r\nSession: 12";
        }
    };
    for (size_t at = 0; at < input.size(); at += piece) {
        const std::string part = input.substr(at, piece);
        const auto o = parser.receive(
            part.data(), part.size(), u"127.0.0.1", handler, [] { return kDate; }, 5);
        out.bytes += o.bytes;
        out.answered += o.answered;
        out.close = out.close || o.close;
    }
    return out;
}

} // namespace

TEST(kelRTSPServerParserTest, BuiltInAnswersAreGolden)
{
    struct Case
    {
        std::string request;
        std::string answer;
    };
    const Case cases[] = {
        {"OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n", "RTSP/1.0 200 OK\r\nPublic: OPTIONS, DESCRIBE, SETUP, "
                                                  "TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER\r\n"
                                                  "CSeq: 1\r\nDate: " +
                                                      kDate + "\r\n\r\n"},
        {"REDIRECT rtsp://h/s RTSP/1.0\r\nCSeq: 2\r\nSession: 9\r\n\r\n",
         "RTSP/1.0 405 S->C only\r\nCSeq: 2\r\nSession: 9\r\nDate: " + kDate + "\r\n\r\n"},
        {"describe rtsp://h/s RTSP/1.0\r\nCSeq: 3\r\n\r\n",
         "RTSP/1.0 200 OK\r\nContent-Base: rtsp://h/s\r\nContent-Type: application/sdp\r\nCSeq: 3\r\nDate: " +
             kDate + "\r\nContent-Length: 5\r\n\r\nv=0\r\n"},
        {"FETCH rtsp://h/s RTSP/1.0\r\nCSeq: 4\r\n\r\n",
         "RTSP/1.0 400 Cant handle FETCH\r\nCSeq: 4\r\nDate: " + kDate + "\r\n\r\n"},
        {"SETUP rtsp://h/s/t1 RTSP/1.0\r\nCSeq: 5\r\n\r\n",
         "RTSP/1.0 200 SetX-Evil: up\r\nTransport: RTP/AVP;unicast\r\nSession: 12\r\nCSeq: 5\r\nDate: " +
             kDate + "\r\n\r\n"},
    };
    for (const Case& c : cases) {
        const Served s = serve(c.request);
        EXPECT_EQ(s.bytes, c.answer);
        EXPECT_EQ(s.answered, 1);
        EXPECT_FALSE(s.close);
    }
    // OPTIONS and REDIRECT never reach the hook; the rest do.
    EXPECT_TRUE(serve(cases[0].request).methods.empty());
    EXPECT_TRUE(serve(cases[1].request).methods.empty());
}

TEST(kelRTSPServerParserTest, PipelinedRequestsAreAnsweredInOrderHoweverTheyArrive)
{
    const std::string two = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nANNOUNCE rtsp://h/s RTSP/1.0\r\nCSeq: 2\r\n"
                            "Content-Length: 3\r\n\r\nabcOPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n";
    for (size_t piece : {two.size(), size_t(1), size_t(7)}) {
        const Served s = serve(two, piece);
        EXPECT_EQ(s.answered, 3) << piece;
        const size_t c1 = s.bytes.find("CSeq: 1\r\n");
        const size_t c2 = s.bytes.find("CSeq: 2\r\n");
        const size_t c3 = s.bytes.find("CSeq: 3\r\n");
        EXPECT_LT(c1, c2);
        EXPECT_LT(c2, c3);
        EXPECT_NE(c3, std::string::npos);
        EXPECT_EQ(s.methods, std::vector<intptr_t>{kelRTSP_ANNOUNCE});
    }
    // A thousand small requests in one read fit, since each is answered
    // before the next slice is taken.
    std::string many;
    for (int i = 1; i <= 1000; ++i)
        many += "OPTIONS * RTSP/1.0\r\nCSeq: " + std::to_string(i) + "\r\n\r\n";
    const Served s = serve(many);
    EXPECT_EQ(s.answered, 1000);
    EXPECT_FALSE(s.close);
}

TEST(kelRTSPServerParserTest, OversizedRequestsGet400AndClose)
{
    struct Case
    {
        std::string request;
        bool withCSeq;
    };
    const std::string header = "X-Pad: " + std::string(kelRTSPMaxRequestHeader, 'a') + "\r\n";
    const Case cases[] = {
        {"OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n" + header + "\r\n", false},
        {"ANNOUNCE rtsp://h/s RTSP/1.0\r\nCSeq: 8\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'b'),
         true},
    };
    for (const Case& c : cases) {
        const Served s = serve(c.request, 4096);
        EXPECT_TRUE(s.close);
        EXPECT_EQ(s.bytes.rfind("RTSP/1.0 400 Bad Request\r\n", 0), 0u);
        EXPECT_EQ(s.bytes.find("CSeq: 8") != std::string::npos, c.withCSeq);
        EXPECT_TRUE(s.methods.empty());
    }
    // At the bound itself a body is still taken.
    const Served atLimit = serve("ANNOUNCE rtsp://h/s RTSP/1.0\r\nCSeq: 9\r\nContent-Length: 65536\r\n\r\n" +
                                     std::string(kelRTSPMaxRequestBody, 'c'),
                                 4096);
    EXPECT_FALSE(atLimit.close);
    EXPECT_EQ(atLimit.methods, std::vector<intptr_t>{kelRTSP_ANNOUNCE});
}
