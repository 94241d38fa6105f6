// Our RTSP client against GStreamer's RTSP server (tests/interop/
// kelRTSPGstServer.py, started here on 127.0.0.1 and stopped by its PID):
// DESCRIBE, SETUP by the relative control of the SDP and by an absolute
// one, PLAY, a keep-alive driven by a manual clock, TEARDOWN.
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelParsers.h"
#include "net/protocols/kelSocks_RTSP.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Answer
{
    intptr_t req = -1;
    intptr_t error = 0;
    intptr_t status = -1;
    std::string session;
    std::string contentBase;
    std::string body;
};

class Client : public kelRTSPClient
{
public:
    using kelRTSPClient::kelRTSPClient;
    size_t count()
    {
        std::lock_guard<std::mutex> l(m);
        return f_answers.size();
    }
    Answer at(size_t i)
    {
        std::lock_guard<std::mutex> l(m);
        return f_answers.at(i);
    }
    // Sends one request and waits for its outcome.
    Answer call(intptr_t req, const kelString& uri, const kelString& control, const kelString& params)
    {
        const size_t before = count();
        sendRequest(req, uri, control, params);
        if (!kelTestWaitUntil([&] { return count() > before; }, 20000)) return {};
        return at(before);
    }

protected:
    void onResponse(const kelString&, const kelString&, intptr_t req, const kelHTTPparser& r) override
    {
        Answer a;
        a.req = req;
        a.status = r.getRespCode();
        const std::string session = utf16ToUtf8(r.getHeaderValue(kelString(u"Session"), true));
        a.session = session.substr(0, session.find(';'));
        a.contentBase = utf16ToUtf8(r.getHeaderValue(kelString(u"Content-Base"), true));
        a.body = r.getPayload();
        std::lock_guard<std::mutex> l(m);
        f_answers.push_back(a);
    }
    void onRequestError(const kelString&, const kelString&, intptr_t req, intptr_t code) override
    {
        Answer a;
        a.req = req;
        a.error = code;
        std::lock_guard<std::mutex> l(m);
        f_answers.push_back(a);
    }

private:
    std::mutex m;
    std::vector<Answer> f_answers;
};

class kelRTSPClientGstInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                      "import gi; gi.require_version('GstRtspServer', '1.0'); "
                                      "from gi.repository import GstRtspServer"},
                                     20000) != 0)
            GTEST_SKIP()
                << "GStreamer's RTSP server is not installed (python3-gi, gir1.2-gst-rtsp-server-1.0)";
        ASSERT_TRUE(f_server.start({"/usr/bin/python3", KEL_SOURCE_DIR "/tests/interop/kelRTSPGstServer.py"},
                                   f_dir.path() + "/server.log"));
        const auto line = f_server.waitLine("PORT ", 20000);
        ASSERT_TRUE(line.has_value()) << f_server.log();
        f_uri = utf8ToUtf16("rtsp://127.0.0.1:" + line->substr(5) + "/s");
    }

    kelTempDir f_dir;
    kelTestProcess f_server;
    kelString f_uri;
};

const kelString kTransport = u"Transport: RTP/AVP;unicast;client_port=45000-45001";

} // namespace

TEST_F(kelRTSPClientGstInteropTest, DescribeSetupPlayKeepAliveTeardown)
{
    kelManualClock clock;
    kelOwned<Client> c(kelCreate<Client>(kelString(u"kelRTPSClient/1.1")));
    c->setClock(clock);
    const Answer describe = c->call(kelRTSP_DESCRIBE, f_uri, u"", u"");
    ASSERT_EQ(describe.status, 200) << describe.error;
    kelSDPParser sdp;
    sdp.applyPayload(describe.body);
    ASSERT_EQ(sdp.getMDCount(), 1) << describe.body;
    const kelString control = sdp.getMD(0)->r_control;
    ASSERT_FALSE(control.empty());
    ASSERT_EQ(control.find(u"://"), kelString::npos) << "expected a relative control";

    const Answer setup = c->call(kelRTSP_SETUP, f_uri, control, kTransport);
    ASSERT_EQ(setup.status, 200);
    ASSERT_FALSE(setup.session.empty());
    const kelString session = u"Session: " + utf8ToUtf16(setup.session);
    EXPECT_EQ(c->call(kelRTSP_PLAY, f_uri, u"", session).status, 200);

    // Thirty seconds of silence by the clock bring a keep-alive, which the
    // server answers.
    const size_t before = c->count();
    ASSERT_TRUE(kelTestAdvanceUntil(
        clock, [&] { return c->count() > before; }, kelRTSPKeepAliveMs + 5000, 1000, 100));
    EXPECT_EQ(c->at(before).req, kelRTSP_GET_PARAMETER);
    EXPECT_EQ(c->at(before).status, 200);

    EXPECT_EQ(c->call(kelRTSP_TEARDOWN, f_uri, u"", session).status, 200);
}

TEST_F(kelRTSPClientGstInteropTest, AnAbsoluteControlIsUsedAsItIs)
{
    kelOwned<Client> c(kelCreate<Client>(kelString(u"kelRTPSClient/1.1")));
    const Answer describe = c->call(kelRTSP_DESCRIBE, f_uri, u"", u"");
    ASSERT_EQ(describe.status, 200);
    kelSDPParser sdp;
    sdp.applyPayload(describe.body);
    ASSERT_EQ(sdp.getMDCount(), 1);
    std::string base = describe.contentBase.empty() ? utf16ToUtf8(f_uri) + "/" : describe.contentBase;
    if (base.back() != '/') base += '/';
    const kelString absolute = utf8ToUtf16(base) + sdp.getMD(0)->r_control;
    const Answer setup = c->call(kelRTSP_SETUP, f_uri, absolute, kTransport);
    EXPECT_EQ(setup.status, 200) << utf16ToUtf8(absolute);
    EXPECT_FALSE(setup.session.empty());
    EXPECT_EQ(c->call(kelRTSP_TEARDOWN, f_uri, u"", u"Session: " + utf8ToUtf16(setup.session)).status, 200);
}
