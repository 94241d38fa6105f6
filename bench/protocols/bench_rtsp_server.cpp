// Our RTSP server beside GStreamer's (tests/interop/kelRTSPGstServer.py,
// started here on 127.0.0.1): 16 keep-alive connections each ask OPTIONS,
// then DESCRIBE, in turn, every one waiting for its answer before the next
// request. The time compared is the wall time of a pass of 16 x 100 pairs.
// Goal: ours at least 1.5x GStreamer's requests per second.
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_RTSP.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr int kConnections = 16;
constexpr int kPairs = 100;

const std::string kSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=kel\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                         "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/8000/1\r\na=control:track1\r\n";

class SdpServer : public kelRTSPServer
{
protected:
    void onRequest(intptr_t method, const kelString&, const kelHTTPparser&, kelString&, std::string& body,
                   kelString&, intptr_t&) override
    {
        if (method == kelRTSP_DESCRIBE) body = kSdp;
    }
};

struct Servers
{
    kelOwned<SdpServer> ours{kelCreate<SdpServer>()};
    kelTempDir dir;
    kelTestProcess gst;
    uint16_t ourPort = 0;
    uint16_t gstPort = 0;
};

Servers& servers()
{
    static Servers s;
    static bool done = false;
    if (done) return s;
    done = true;
    const uint16_t port = kelTestFreePortOn("127.0.0.1");
    if (s.ours->open(6, utf8ToUtf16(std::to_string(port)), u"127.0.0.1") == 0 &&
        kelTestWaitUntil([&] { return s.ours->active(); }))
        s.ourPort = port;
    if (kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                  "import gi; gi.require_version('GstRtspServer', '1.0'); "
                                  "from gi.repository import GstRtspServer"},
                                 20000) == 0 &&
        s.gst.start({"/usr/bin/python3", KEL_SOURCE_DIR "/tests/interop/kelRTSPGstServer.py"},
                    s.dir.file("gst.log"))) {
        if (const auto line = s.gst.waitLine("PORT ", 20000))
            s.gstPort = static_cast<uint16_t>(std::stoi(line->substr(5)));
    }
    return s;
}

int connectTo(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends one request and reads its whole answer (header, then the body its
// Content-Length announces); false when the connection broke.
bool ask(int fd, const std::string& request, std::string& pending)
{
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return false;
    for (;;) {
        const size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t body = 0;
            const size_t cl = pending.find("Content-Length: ");
            if (cl != std::string::npos && cl < end) body = std::stoul(pending.substr(cl + 16));
            if (pending.size() >= end + 4 + body) {
                pending.erase(0, end + 4 + body);
                return true;
            }
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        pending.append(buf, size_t(n));
    }
}

void requests(benchmark::State& state, uint16_t port)
{
    if (port == 0) {
        state.SkipWithError("server not available (GStreamer's needs python3-gi and its RTSP server)");
        return;
    }
    std::vector<int> fds;
    for (int i = 0; i < kConnections; ++i)
        fds.push_back(connectTo(port));
    std::vector<std::string> pending(kConnections);
    int cseq = 0;
    const std::string uri = "rtsp://127.0.0.1:" + std::to_string(port) + "/s";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int pair = 0; pair < kPairs; ++pair) {
            for (int c = 0; c < kConnections; ++c) {
                const std::string options =
                    "OPTIONS " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq) + "\r\n\r\n";
                const std::string describe = "DESCRIBE " + uri +
                                             " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq) +
                                             "\r\nAccept: application/sdp\r\n\r\n";
                if (fds[c] < 0 || !ask(fds[c], options, pending[c]) || !ask(fds[c], describe, pending[c])) {
                    state.SkipWithError("a connection broke");
                    for (int fd : fds)
                        if (fd >= 0) ::close(fd);
                    return;
                }
            }
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    state.SetItemsProcessed(state.iterations() * kConnections * kPairs * 2);
}

void requestsKel(benchmark::State& state)
{
    requests(state, servers().ourPort);
}

void requestsGst(benchmark::State& state)
{
    requests(state, servers().gstPort);
}

} // namespace

BENCHMARK(requestsKel)->Name("options-describe/kel")->UseManualTime()->Iterations(kelBenchIterations(5));
BENCHMARK(requestsGst)
    ->Name("options-describe/reference")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(5));

KEL_BENCH_MAIN_WITH_RATIOS("reference")
