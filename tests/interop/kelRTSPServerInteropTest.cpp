// The RTSP server under real RTSP clients: curl, ffprobe and GStreamer's
// rtspsrc talk to kelRTSPServer on loopback, which serves one SDP. Peers are
// stopped by PID; each skips when it is missing.
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_RTSP.h"
#include "net/protocols/kelRTSPServer.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const std::string kSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=kel\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                         "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/8000/1\r\na=control:track1\r\n";

// Six seconds of 8 kHz L16 silence in RTP packets to 127.0.0.1:`port`, all at
// once (a prober needs packets, not their pace).
void sendRtp(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    for (uint32_t i = 0; i < 300; ++i) {
        uint8_t packet[12 + 320] = {0x80, 96};
        packet[2] = static_cast<uint8_t>(i >> 8);
        packet[3] = static_cast<uint8_t>(i);
        const uint32_t ts = i * 160;
        for (int k = 0; k < 4; ++k)
            packet[4 + k] = static_cast<uint8_t>(ts >> (24 - 8 * k));
        packet[8] = 0x12;
        (void)::sendto(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
}

// The client's RTP port from its SETUP's "client_port=a-b"; 0 when none.
uint16_t clientPort(const kelString& transport)
{
    const std::string t = utf16ToUtf8(transport);
    const size_t at = t.find("client_port=");
    return at == std::string::npos ? 0
                                   : static_cast<uint16_t>(std::strtoul(t.c_str() + at + 12, nullptr, 10));
}

// One SDP at /s; SETUP answers the client's transport with server ports and
// a session; PLAY sends the client some RTP.
void serveOne(intptr_t method, const kelString&, const kelHTTPparser& request, kelRTSPAnswer& answer,
              uint16_t& rtpPort)
{
    if (method == kelRTSP_PLAY && rtpPort != 0) sendRtp(rtpPort);
    if (method == kelRTSP_DESCRIBE) {
        answer.body = kSdp;
        answer.headers = u"Content-Base: " + request.getReqURI() + u"/\r\nContent-Type: application/sdp";
    } else if (method == kelRTSP_SETUP) {
        rtpPort = clientPort(request.getHeaderValue(kelString(u"Transport"), true));
        answer.headers = u"Transport: " + request.getHeaderValue(kelString(u"Transport"), true) +
                         u";server_port=50000-50001\r\nSession: 12345678";
    }
}

// kelRTSPServer on a free loopback port, serving one SDP; every request line
// the server was sent is recorded, for the tests to see how far a client got.
class WireServer : public kelRTSPServer
{
public:
    bool start()
    {
        setOnEvent(
            [this](kelSocks*, kelSocketEvent event, uint32_t, uintptr_t, const void* data, uintptr_t size) {
                if (event == kelseServerData) record(std::string(static_cast<const char*>(data), size));
            });
        const uint16_t port = kelTestFreePortOn("127.0.0.1");
        return open(6, kelString(utf8ToUtf16(std::to_string(port))), u"127.0.0.1") == 0 &&
               kelTestWaitUntil([this] { return active(); }) && boundPort() == port;
    }
    uint16_t port() { return boundPort(); }
    std::string uri() { return "rtsp://127.0.0.1:" + std::to_string(port()) + "/s"; }
    std::vector<std::string> methods()
    {
        std::lock_guard<std::mutex> l(f_m);
        return f_methods;
    }
    bool saw(const std::string& method)
    {
        for (const std::string& m : methods())
            if (m == method) return true;
        return false;
    }

protected:
    void onRequest(intptr_t method, const kelString& peer, const kelHTTPparser& request, kelString& headers,
                   std::string& body, kelString& humanMsg, intptr_t& code) override
    {
        kelRTSPAnswer answer;
        serveOne(method, peer, request, answer, f_rtpPort);
        headers = answer.headers;
        body = answer.body;
        humanMsg = answer.humanMsg;
        code = answer.code;
    }

private:
    void record(const std::string& bytes)
    {
        std::lock_guard<std::mutex> l(f_m);
        for (size_t at = 0; at < bytes.size();) {
            const size_t sp = bytes.find(' ', at);
            const size_t end = bytes.find("\r\n", at);
            if (sp == std::string::npos || end == std::string::npos) break;
            if (sp < end && bytes.compare(at, 5, "CSeq:") != 0 && bytes.find(" RTSP/1.0", at) < end)
                f_methods.push_back(bytes.substr(at, sp - at));
            at = end + 2;
        }
    }

    std::mutex f_m;
    std::vector<std::string> f_methods;
    uint16_t f_rtpPort = 0;
};

// Made by kelCreate and started; freed through kelFree.
struct StartedServer
{
    kelOwned<WireServer> server{kelCreate<WireServer>()};
    StartedServer() { started = server && server->start(); }
    WireServer* operator->() { return server.get(); }
    bool started = false;
};

} // namespace

TEST(kelRTSPServerInteropTest, CurlTakesTheOptionsAnswer)
{
    if (!kelTestProcess::available("curl")) GTEST_SKIP() << "curl not installed";
    StartedServer server;
    ASSERT_TRUE(server.started);
    // curl fails on an answer whose CSeq is not its request's.
    const auto out = kelTestProcess::filter("curl -s -i -m 10 " + server->uri(), "");
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->rfind("RTSP/1.0 200 OK\r\nPublic: OPTIONS, DESCRIBE, SETUP,", 0), 0u) << *out;
    EXPECT_EQ(server->methods(), std::vector<std::string>{"OPTIONS"});
}

TEST(kelRTSPServerInteropTest, FfprobeReadsTheDescriptionOverUdp)
{
    if (!kelTestProcess::available("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    StartedServer server;
    ASSERT_TRUE(server.started);
    const auto out = kelTestProcess::filter("timeout 60 ffprobe -v error -rtsp_transport udp -show_entries "
                                            "stream=codec_name,sample_rate -of compact " +
                                                server->uri(),
                                            "");
    EXPECT_TRUE(server->saw("DESCRIBE"));
    EXPECT_TRUE(server->saw("SETUP"));
    EXPECT_TRUE(server->saw("PLAY"));
    ASSERT_TRUE(out.has_value());
    EXPECT_NE(out->find("codec_name=pcm_s16be"), std::string::npos) << *out;
}

TEST(kelRTSPServerInteropTest, RtspsrcGetsPastOptionsToSetupAndPlay)
{
    if (!kelTestProcess::available("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 not installed";
    StartedServer server;
    ASSERT_TRUE(server.started);
    kelTempDir dir;
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(
        {"gst-launch-1.0", "-q", "rtspsrc", "location=" + server->uri(), "protocols=udp", "!", "fakesink"},
        dir.file("gst.log")));
    EXPECT_TRUE(kelTestWaitUntil([&] { return server->saw("PLAY"); }, 20000)) << gst.log();
    EXPECT_TRUE(server->saw("SETUP"));
    EXPECT_EQ(gst.log().find("does not support SETUP"), std::string::npos);
}

TEST(kelRTSPServerInteropTest, TwoPipelinedOptionsAreBothAnswered)
{
    StartedServer server;
    ASSERT_TRUE(server.started);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(server->port());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string two = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nOPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n";
    ASSERT_EQ(::send(fd, two.data(), two.size(), MSG_NOSIGNAL), static_cast<ssize_t>(two.size()));
    std::string got;
    ASSERT_TRUE(kelTestWaitUntil([&] {
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.find("CSeq: 2\r\n") != std::string::npos;
    }));
    ::close(fd);
    EXPECT_LT(got.find("CSeq: 1\r\n"), got.find("CSeq: 2\r\n"));
}
