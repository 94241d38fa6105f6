// One 8 kHz L16 stream (20 ms packets) to 256 RTSP sessions on 127.0.0.1:
// our transmitter beside GStreamer's RTSP server with a shared media
// (kelGstRTSPFanout.py). Every session is set up and played by RTSP over a
// connection of its own; one sink process (kel_udp_sink) holds all 256
// client port pairs and counts the RTP that reaches them. A run sets the
// sessions up, measures for a while and tears them down again, so only one
// server sends at a time.
//
// The time column is the server's processor time (user and system) per
// 10000 packets delivered: our process, GStreamer's process. Rounds run
// A B, B A, ... and the ratio printed is the median of the round ratios.
// Goal: ours at least 1.3x GStreamer's packets per processor second, a
// time ratio of 0.77 or less.
#include "kelBenchClock.h"
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestL16Feeder.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRTSPPeer.h"
#include "tests/support/kelTestWait.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSessions = 256;
constexpr double kPacketsPerUnit = 10000;
constexpr auto kWindow = std::chrono::milliseconds(2000);

struct Bench
{
    kelTempDir dir;
    kelTestProcess sink;
    std::vector<uint16_t> ports;
    uint16_t ourPort = 0;
    kelOwned<TkelIPTransmitter> ours;
    std::unique_ptr<kelTestL16Feeder> feeder;
    kelTestProcess gst;
    uint16_t gstPort = 0;
    size_t countLines = 0;

    uint64_t count()
    {
        if (!sink.send("count")) return 0;
        const auto line = sink.waitLine("COUNT ", 10000, ++countLines);
        return line ? std::stoull(line->substr(6)) : 0;
    }
};

Bench& bench()
{
    static Bench b;
    static bool done = false;
    if (done) return b;
    done = true;
    if (b.sink.startWithInput({KEL_UDP_SINK, std::to_string(kSessions)}, b.dir.file("sink.log"))) {
        if (const auto line = b.sink.waitLine("PORTS ", 20000)) {
            std::istringstream in(line->substr(6));
            for (unsigned p; in >> p;)
                b.ports.push_back(uint16_t(p));
        }
    }
    b.ours = kelTestRTSPTransmitter(b.ourPort);
    if (b.ours) {
        b.ours->setMaxRTSPSessions(kSessions);
        b.feeder = std::make_unique<kelTestL16Feeder>(*b.ours);
        b.feeder->start();
    }
    if (kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                  "import gi; gi.require_version('GstRtspServer', '1.0'); "
                                  "from gi.repository import GstRtspServer"},
                                 20000) == 0 &&
        b.gst.start({"/usr/bin/python3", KEL_SOURCE_DIR "/bench/streaming/kelGstRTSPFanout.py"},
                    b.dir.file("gst.log"))) {
        if (const auto line = b.gst.waitLine("PORT ", 20000))
            b.gstPort = uint16_t(std::stoi(line->substr(5)));
    }
    return b;
}

// The user and system time of process `pid` so far, in ns.
uint64_t processCpuNs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return (utime + stime) * 1000000000u / uint64_t(sysconf(_SC_CLK_TCK));
}

// Sets up and plays one session per sink port on `port`; the connections
// and their session ids. Empty when a session could not be had.
bool setUp(uint16_t port, std::vector<std::unique_ptr<kelTestRTSPConnection>>& conns,
           std::vector<std::string>& sessions)
{
    const std::string uri = "rtsp://127.0.0.1:" + std::to_string(port) + "/s";
    for (uint16_t p : bench().ports) {
        auto c = std::make_unique<kelTestRTSPConnection>(port);
        const std::string answer =
            c->ask("SETUP " + uri + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" +
                   std::to_string(p) + "-" + std::to_string(p + 1) + "\r\n\r\n");
        std::string session = kelTestRTSPConnection::header(answer, "Session");
        session = session.substr(0, session.find(';'));
        if (session.empty()) return false;
        // GStreamer's server plays the aggregate URI.
        if (c->ask("PLAY " + uri + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session +
                   "\r\nRange: npt=0.000-\r\n\r\n")
                .rfind("RTSP/1.0 200", 0) != 0)
            return false;
        conns.push_back(std::move(c));
        sessions.push_back(session);
    }
    return true;
}

void tearDown(uint16_t port, std::vector<std::unique_ptr<kelTestRTSPConnection>>& conns,
              const std::vector<std::string>& sessions)
{
    const std::string uri = "rtsp://127.0.0.1:" + std::to_string(port) + "/s";
    for (size_t i = 0; i < sessions.size(); ++i)
        (void)conns[i]->ask("TEARDOWN " + uri + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + sessions[i] +
                            "\r\n\r\n");
    conns.clear();
}

void fanOut(benchmark::State& state, uint16_t port, pid_t pid)
{
    Bench& b = bench();
    if (b.ports.size() != size_t(kSessions)) {
        state.SkipWithError("the sink process did not start");
        return;
    }
    if (port == 0) {
        state.SkipWithError("server not available (GStreamer's needs python3-gi and its RTSP server)");
        return;
    }
    std::vector<std::unique_ptr<kelTestRTSPConnection>> conns;
    std::vector<std::string> sessions;
    if (!setUp(port, conns, sessions)) {
        tearDown(port, conns, sessions);
        state.SkipWithError("the sessions could not be set up");
        return;
    }
    // The first packets of every session have gone out before measuring.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint64_t packets = 0;
    for (auto _ : state) {
        const uint64_t c0 = b.count();
        const uint64_t cpu0 = pid == 0 ? kelBenchProcessCpuNs() : processCpuNs(pid);
        std::this_thread::sleep_for(kWindow);
        const uint64_t c1 = b.count();
        const uint64_t cpu1 = pid == 0 ? kelBenchProcessCpuNs() : processCpuNs(pid);
        const uint64_t got = c1 > c0 ? c1 - c0 : 0;
        packets += got;
        if (got == 0) {
            state.SkipWithError("no packet reached the sink");
            break;
        }
        state.SetIterationTime(double(cpu1 - cpu0) / 1e9 / (double(got) / kPacketsPerUnit));
    }
    tearDown(port, conns, sessions);
    state.counters["packets"] = double(packets);
}

void fanOutKel(benchmark::State& state)
{
    fanOut(state, bench().ourPort, 0);
}

void fanOutGst(benchmark::State& state)
{
    fanOut(state, bench().gstPort, bench().gst.pid());
}

} // namespace

BENCHMARK(fanOutKel)->Name("rtsp-fanout-256/kel")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(fanOutGst)->Name("rtsp-fanout-256/reference")->UseManualTime()->Iterations(kelBenchIterations(3));

KEL_BENCH_MAIN_WITH_RATIOS("reference")
