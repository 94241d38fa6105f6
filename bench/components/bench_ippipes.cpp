// The IP pipes on the loopback against other programs moving the same
// bytes, in rounds A B A B in one run (kelBenchRatios.h):
//  - raw_tcp_256MiB: 256 MiB through a raw TCP client and server pipe pair
//    against a socat pair (/dev/zero, readbytes -> TCP -> /dev/null, 64 KiB
//    blocks like ours); goal:
//    at least 1.2x socat's MiB_per_s;
//  - pcm_tcp / pcm_udp: 60 s of 48 kHz stereo 16-bit PCM in 20 ms blocks
//    through packet-mode pipes against GStreamer's tcpclientsink ->
//    tcpserversrc and udpsink -> udpsrc with the same PCM (audiotestsrc
//    silence); goal: at most 0.7x its cpu_ms_per_audio_s (both ends counted
//    on both sides; GStreamer's counts making the silence, ours nothing).
// Everything goes to 127.0.0.1 on ports found free.
#include "kelBenchChild.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"

#include "components/kelMT_socks.h"
#include "pipes/kelMT_pipe.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kRawBytes = 256ull << 20;
constexpr uint32_t kRawBlock = 64 * 1024;
constexpr int kAudioSeconds = 60;
constexpr uint32_t kPcmBlock = 48000 / 50 * 4; // 20 ms of 48 kHz stereo S16

uint16_t freePort(int type)
{
    const int s = ::socket(AF_INET, type, 0);
    sockaddr_in a = kelTestLoopback(0);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

kelString text(uint16_t port)
{
    const std::string s = std::to_string(port);
    return kelString(s.begin(), s.end());
}

bool waitFor(const std::function<bool()>& condition, uint64_t ms)
{
    const uint64_t end = kelBenchNowNs() + ms * 1000000u;
    while (!condition()) {
        if (kelBenchNowNs() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A connected client and server pair; the server's consumer counts.
struct PipePair
{
    kelmtlIPServer* server = kelCreate<kelmtlIPServer>();
    kelmtlIPClient* client = kelCreate<kelmtlIPClient>();
    kelTestByteCounter* sink = kelCreate<kelTestByteCounter>();
    bool ok = false;

    PipePair(tkelmtlProtoType proto, tkelmtlStreamingMode mode)
    {
        const uint16_t port = freePort(proto == kelpt_TCP ? SOCK_STREAM : SOCK_DGRAM);
        for (kelmtlInOutIpPipe* p :
             {static_cast<kelmtlInOutIpPipe*>(server), static_cast<kelmtlInOutIpPipe*>(client)}) {
            p->setProto(proto);
            p->setStreamingMode(mode);
            p->setBindTo(u"127.0.0.1");
            p->setPort(text(port));
        }
        client->setHost(u"127.0.0.1");
        (void)server->addConsumer(sink);
        (void)server->open();
        if (proto == kelpt_TCP) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)client->open();
        ok = waitFor([&] { return client->isConnected() && server->clientCount() == 1; }, 5000);
        if (ok && mode == kelsm_MT) ok = waitFor([&] { return client->packetStack()->formatSent(); }, 5000);
    }
    ~PipePair()
    {
        kelFree(client);
        kelFree(server);
        kelFree(sink);
    }
};

void BM_raw_kel(benchmark::State& state)
{
    std::vector<uint8_t> block(kRawBlock, 0);
    for (auto _ : state) {
        PipePair pair(kelpt_TCP, kelsm_RAW);
        if (!pair.ok) {
            state.SkipWithError("pipes did not connect");
            return;
        }
        const uint64_t start = kelBenchNowNs();
        for (uint64_t sent = 0; sent < kRawBytes; sent += kRawBlock)
            if (pair.client->write(block.data(), kRawBlock) != kRawBlock) {
                state.SkipWithError("write failed");
                return;
            }
        if (!waitFor([&] { return pair.sink->count() >= kRawBytes; }, 60000)) {
            state.SkipWithError("bytes lost");
            return;
        }
        const double s = double(kelBenchNowNs() - start) / 1e9;
        state.SetIterationTime(s);
        state.counters["MiB_per_s"] = double(kRawBytes >> 20) / s;
    }
}

void BM_raw_socat(benchmark::State& state)
{
    for (auto _ : state) {
        const std::string port = std::to_string(freePort(SOCK_STREAM));
        const uint64_t start = kelBenchNowNs();
        const pid_t rx =
            kelBenchSpawnQuiet({"socat", "-u", "-b", "65536",
                                "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr", "OPEN:/dev/null"});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const pid_t tx = kelBenchSpawnQuiet({"socat", "-u", "-b", "65536",
                                             "OPEN:/dev/zero,readbytes=" + std::to_string(kRawBytes),
                                             "TCP:127.0.0.1:" + port});
        int status = 0;
        if (rx < 0 || tx < 0 || waitpid(tx, &status, 0) < 0 || waitpid(rx, &status, 0) < 0) {
            state.SkipWithError("socat did not run");
            return;
        }
        const double s = double(kelBenchNowNs() - start) / 1e9;
        state.SetIterationTime(s);
        state.counters["MiB_per_s"] = double(kRawBytes >> 20) / s;
    }
}

void pcmKel(benchmark::State& state, tkelmtlProtoType proto)
{
    const uint64_t total = uint64_t(kAudioSeconds) * 48000 * 4;
    std::vector<uint8_t> block(kPcmBlock, 0);
    for (auto _ : state) {
        PipePair pair(proto, kelsm_MT);
        if (!pair.ok) {
            state.SkipWithError("pipes did not connect");
            return;
        }
        const uint64_t cpu = kelBenchProcessCpuNs();
        const uint64_t start = kelBenchNowNs();
        for (uint64_t sent = 0; sent < total; sent += kPcmBlock) {
            // Over UDP, keep within what the receiving socket buffers.
            while (proto == kelpt_UDP && sent - pair.sink->count() > 64 * 1024)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            (void)pair.client->write(block.data(), kPcmBlock);
        }
        // UDP may lose a datagram: done once nothing more came for 100 ms.
        uint64_t seen = 0, quietSince = kelBenchNowNs();
        (void)waitFor(
            [&] {
                const uint64_t now = pair.sink->count();
                if (now != seen) {
                    seen = now;
                    quietSince = kelBenchNowNs();
                }
                return now >= total || kelBenchNowNs() - quietSince > 100000000u;
            },
            10000);
        state.SetIterationTime(double(kelBenchNowNs() - start) / 1e9);
        state.counters["cpu_ms_per_audio_s"] = double(kelBenchProcessCpuNs() - cpu) / 1e6 / kAudioSeconds;
        state.counters["delivered"] = double(pair.sink->count()) / double(total);
    }
}

void pcmGst(benchmark::State& state, bool tcp)
{
    const std::string buffers = std::to_string(kAudioSeconds * 50);
    const std::string caps = "audio/x-raw,format=S16LE,rate=48000,channels=2";
    for (auto _ : state) {
        const std::string port = std::to_string(freePort(tcp ? SOCK_STREAM : SOCK_DGRAM));
        const double before = kelBenchChildrenCpuUs();
        const uint64_t start = kelBenchNowNs();
        const pid_t rx = tcp ? kelBenchSpawnQuiet({"gst-launch-1.0", "-q", "tcpserversrc", "host=127.0.0.1",
                                                   "port=" + port, "!", "fakesink"})
                             : kelBenchSpawnQuiet({"gst-launch-1.0", "-q", "-e", "udpsrc",
                                                   "address=127.0.0.1", "port=" + port, "!", "fakesink"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::vector<std::string> src{"gst-launch-1.0",
                                           "-q",
                                           "audiotestsrc",
                                           "wave=silence",
                                           "samplesperbuffer=960",
                                           "num-buffers=" + buffers,
                                           "!",
                                           caps,
                                           "!"};
        std::vector<std::string> tx = src;
        if (tcp)
            tx.insert(tx.end(), {"tcpclientsink", "host=127.0.0.1", "port=" + port, "sync=false"});
        else
            tx.insert(tx.end(), {"udpsink", "host=127.0.0.1", "port=" + port, "sync=false"});
        const pid_t sender = kelBenchSpawnQuiet(tx);
        int status = 0;
        if (rx < 0 || sender < 0 || waitpid(sender, &status, 0) < 0) {
            state.SkipWithError("gst-launch-1.0 did not run");
            return;
        }
        if (!tcp) ::kill(rx, SIGINT); // udpsrc sees no end of stream
        while (waitpid(rx, &status, 0) < 0 && errno == EINTR) {
        }
        state.SetIterationTime(double(kelBenchNowNs() - start) / 1e9);
        state.counters["cpu_ms_per_audio_s"] = (kelBenchChildrenCpuUs() - before) / 1e3 / kAudioSeconds;
    }
}

void BM_pcm_tcp_kel(benchmark::State& state)
{
    pcmKel(state, kelpt_TCP);
}
void BM_pcm_udp_kel(benchmark::State& state)
{
    pcmKel(state, kelpt_UDP);
}
void BM_pcm_tcp_gst(benchmark::State& state)
{
    pcmGst(state, true);
}
void BM_pcm_udp_gst(benchmark::State& state)
{
    pcmGst(state, false);
}

} // namespace

BENCHMARK(BM_raw_kel)
    ->Name("raw_tcp_256MiB/kel")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_raw_socat)
    ->Name("raw_tcp_256MiB/reference")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pcm_tcp_kel)->Name("pcm_tcp/kel")->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pcm_tcp_gst)
    ->Name("pcm_tcp/reference")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pcm_udp_kel)->Name("pcm_udp/kel")->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pcm_udp_gst)
    ->Name("pcm_udp/reference")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("reference", "MiB_per_s", "cpu_ms_per_audio_s")
