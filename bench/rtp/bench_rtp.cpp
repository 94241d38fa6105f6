// Our RTP receiver against a GStreamer "udpsrc ! rtpL16depay" pipeline doing
// the same job, each in a process of its own on 127.0.0.1: take L16 RTP
// packets on a port, strip the header and pass each payload on, here to a
// UDP sink socket of the benchmark. The benchmark sends the packets and
// reads the sink.
//
//  Throughput/<peer>   bursts of 64 packets as fast as the sender goes;
//                      items/s counts delivered packets, "lost" what did not
//                      arrive (a lossy burst is not loss-free throughput)
//  Latency/<peer>      one packet at a time, send to sink; p50 and p99 in us
//  Cpu50pps/<peer>     a 50 packets/s stream for 2 s (0.5 s in a quick run);
//                      the time column is the peer's CPU time over that
//                      stream (all its threads)
//
// Both peers run in alternating rounds; the ratios against "gstreamer"
// (time, p50_us, p99_us) are the medians of the rounds. Our peer is this
// program run as "bench_rtp --peer-receiver <rtp port> <sink port>".
#include "kelBenchChild.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "core/kelParseInt.h"
#include "net/rtp/kelSocks_RTP.h"
#include "net/rtp/kelSocks_SNTP.h"
#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kPayload = 882; // 10 ms of 44.1 kHz mono L16
// A burst fits the default socket receive buffer, which both peers keep.
constexpr int kBurst = 64;

int udpSocket(uint16_t port, uint16_t* bound = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a = kelTestLoopback(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    (void)::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

bool portTaken(uint16_t port)
{
    const int fd = udpSocket(port);
    if (fd < 0) return true;
    ::close(fd);
    return false;
}

// --- the peer run by this program ----------------------------------------------

class ForwardingReceiver : public kelRTPReceiver
{
public:
    ForwardingReceiver(const kelString& port, uint16_t sink)
        : kelRTPReceiver(port, kelString(), false, kelString(u"127.0.0.1"), nullptr, true, false, 1),
          f_sink(kelTestLoopback(sink)), f_fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {}
    ~ForwardingReceiver() override { ::close(f_fd); }
    void onRTPData(const sockaddr_in&, const uint8_t*, const uint8_t* payload, size_t size, size_t) override
    {
        (void)::sendto(f_fd, payload, size, 0, reinterpret_cast<const sockaddr*>(&f_sink), sizeof f_sink);
    }

private:
    sockaddr_in f_sink;
    int f_fd;
};

int runPeerReceiver(const char* port, const char* sink)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const std::string p(port);
    kelOwned<ForwardingReceiver> r(
        kelCreate<ForwardingReceiver>(kelString(p.begin(), p.end()), static_cast<uint16_t>(std::atoi(sink))));
    if (!r || !r->start(10000) || !r->active()) return 1;
    int sig = 0;
    sigwait(&set, &sig);
    return 0;
}

// --- peers as processes --------------------------------------------------------------

struct Peer
{
    pid_t pid = -1;
    uint16_t rtpPort = 0;

    ~Peer() { stop(); }
    void stop()
    {
        if (pid <= 0) return;
        ::kill(pid, SIGINT);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            ::usleep(10000);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // CPU time of all the peer's threads so far, ns.
    uint64_t cpuNs() const
    {
        uint64_t total = 0;
        const std::string dir = "/proc/" + std::to_string(pid) + "/task";
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                if (e->d_name[0] == '.') continue;
                std::ifstream in(dir + "/" + e->d_name + "/schedstat");
                uint64_t ns = 0;
                if (in >> ns) total += ns;
            }
            ::closedir(d);
        }
        return total;
    }
};

std::string selfPath()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool spawn(Peer& peer, const std::vector<std::string>& args)
{
    peer.pid = kelBenchSpawnQuiet(args);
    return peer.pid > 0;
}

// A free RTP port with its RTCP neighbour.
uint16_t freePortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint16_t port = 0;
        const int a = udpSocket(0, &port);
        const bool ok = a >= 0 && port % 2 == 0 && port < 65000 && !portTaken(port + 1);
        ::close(a);
        if (ok) return port;
    }
    return 0;
}

// The harness: a sender of L16 RTP packets and the sink the peer feeds.
struct Harness
{
    int tx = -1;
    int sink = -1;
    uint16_t sinkPort = 0;
    uint16_t seq = 0;
    uint32_t ts = 0;
    Peer peer;
    std::vector<uint8_t> packet = std::vector<uint8_t>(kelRTPHeaderSize + kPayload, 0x11);
    std::vector<uint8_t> in = std::vector<uint8_t>(4096);

    ~Harness()
    {
        peer.stop();
        ::close(tx);
        ::close(sink);
    }

    bool start(const std::string& kind)
    {
        tx = udpSocket(0);
        sink = udpSocket(0, &sinkPort);
        peer.rtpPort = freePortPair();
        if (tx < 0 || sink < 0 || peer.rtpPort == 0) return false;
        const std::string port = std::to_string(peer.rtpPort);
        const std::string sinkText = std::to_string(sinkPort);
        const bool ok =
            kind == "kel"
                ? spawn(peer, {selfPath(), "--peer-receiver", port, sinkText})
                : spawn(peer, {"gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=" + port,
                               "caps=application/x-rtp,media=audio,clock-rate=44100,encoding-name=L16,"
                               "channels=1,payload=11",
                               "!", "rtpL16depay", "!", "udpsink", "host=127.0.0.1", "port=" + sinkText,
                               "sync=false", "async=false"});
        if (!ok) return false;
        // Warm up until a packet makes the round.
        for (int i = 0; i < 500; ++i) {
            if (portTaken(peer.rtpPort)) {
                send();
                if (receive(20) > 0) return true;
            } else {
                ::usleep(10000);
            }
        }
        return false;
    }

    void send()
    {
        rtpWriteHeader(packet.data(), false, kelRTPPayloadL16Mono, ++seq, ts += kPayload / 2, 0x0BE4C4ED);
        const uint64_t t = kelBenchNowNs();
        std::memcpy(packet.data() + kelRTPHeaderSize, &t, sizeof t);
        const sockaddr_in to = kelTestLoopback(peer.rtpPort);
        (void)::sendto(tx, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
    }

    // One payload from the sink within `waitMs`: its send time, or 0.
    uint64_t receive(int waitMs)
    {
        pollfd p{sink, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) return 0;
        const ssize_t n = ::recv(sink, in.data(), in.size(), 0);
        uint64_t t = 0;
        if (n >= static_cast<ssize_t>(sizeof t)) std::memcpy(&t, in.data(), sizeof t);
        return t;
    }
};

bool haveGst()
{
    return std::system("command -v gst-launch-1.0 >/dev/null 2>&1") == 0;
}

bool setUp(benchmark::State& state, Harness& h, const std::string& kind)
{
    if (kind == "gstreamer" && !haveGst()) {
        state.SkipWithError("gst-launch-1.0 not installed");
        return false;
    }
    if (!h.start(kind == "gstreamer" ? "gst" : "kel")) {
        state.SkipWithError("peer did not start");
        return false;
    }
    return true;
}

void Throughput(benchmark::State& state, const std::string& kind)
{
    Harness h;
    if (!setUp(state, h, kind)) return;
    int64_t delivered = 0, lost = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i)
            h.send();
        int got = 0;
        while (got < kBurst && h.receive(200) != 0)
            ++got;
        delivered += got;
        lost += kBurst - got;
    }
    state.SetItemsProcessed(delivered);
    state.counters["lost"] = static_cast<double>(lost);
}

void Latency(benchmark::State& state, const std::string& kind)
{
    Harness h;
    if (!setUp(state, h, kind)) return;
    std::vector<double> us;
    us.reserve(2000);
    for (auto _ : state) {
        h.send();
        const uint64_t sent = h.receive(1000);
        if (sent != 0) us.push_back(double(kelBenchNowNs() - sent) / 1000.0);
    }
    if (us.empty()) return;
    const kelPercentiles p = kelSamplePercentiles(std::move(us));
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
}

void Cpu50pps(benchmark::State& state, const std::string& kind)
{
    Harness h;
    if (!setUp(state, h, kind)) return;
    const int packets = kelBenchQuick() ? 25 : 100;
    for (auto _ : state) {
        const uint64_t cpu0 = h.peer.cpuNs();
        const uint64_t start = kelBenchNowNs();
        int got = 0;
        for (int i = 0; i < packets; ++i) {
            h.send();
            if (h.receive(100) != 0) ++got;
            // The next packet 20 ms after the previous one's slot.
            const uint64_t next = start + uint64_t(i + 1) * 20000000u;
            while (kelBenchNowNs() < next)
                ::usleep(static_cast<useconds_t>(std::max<uint64_t>(1, (next - kelBenchNowNs()) / 1000)));
        }
        const double cpu = double(h.peer.cpuNs() - cpu0) / 1e9;
        state.SetIterationTime(cpu);
        state.counters["cpu_pct"] = cpu / (packets * 0.02) * 100.0;
        state.counters["delivered"] = got;
    }
}

} // namespace

BENCHMARK_CAPTURE(Throughput, kel, std::string("kel"))
    ->Name("Throughput/kel")
    ->Iterations(kelBenchIterations(40));
BENCHMARK_CAPTURE(Throughput, gstreamer, std::string("gstreamer"))
    ->Name("Throughput/gstreamer")
    ->Iterations(kelBenchIterations(40));
BENCHMARK_CAPTURE(Latency, kel, std::string("kel"))
    ->Name("Latency/kel")
    ->Iterations(kelBenchIterations(1000));
BENCHMARK_CAPTURE(Latency, gstreamer, std::string("gstreamer"))
    ->Name("Latency/gstreamer")
    ->Iterations(kelBenchIterations(1000));
BENCHMARK_CAPTURE(Cpu50pps, kel, std::string("kel"))->Name("Cpu50pps/kel")->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(Cpu50pps, gstreamer, std::string("gstreamer"))
    ->Name("Cpu50pps/gstreamer")
    ->Iterations(1)
    ->UseManualTime();

int main(int argc, char** argv)
{
    // Sender reports take their time from the shared SNTP clock: here it
    // asks a loopback port where nobody answers, never a public server.
    setNTPDefaultServer(u"127.0.0.1", 9);
    if (argc == 4 && std::strcmp(argv[1], "--peer-receiver") == 0) return runPeerReceiver(argv[2], argv[3]);
    return kelBenchMainWithRatios(argc, argv, {"gstreamer", "p50_us", "p99_us"});
}
