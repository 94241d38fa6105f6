// The IP streaming pair on 127.0.0.1, in one process.
//
//  Latency/udp     reference: the same 13-byte RTP datagram sent from one
//                  plain UDP socket to another, whose reader thread wakes
//                  the sender as onText would; p50 and p99 in us
//  Latency/kel     TkelIPTransmitter::sendText("a") until the receiver's
//                  onText has the text; p50 and p99 in us
//  IdleCpu/kel     an open transmitter/receiver pair that has found each
//                  other and sends nothing, for KEL_BENCH_IDLE_SECONDS
//                  (default 30, 3 in a quick run) s: the process CPU in ms
//                  and in % of one core (the time column is that CPU time)
//
// The time column of the latency cases is the mean latency. The two latency
// cases run in alternating rounds, and the ratios printed at the end (mean,
// p50, p99 against "udp") are the medians of the rounds.
#include "kelBenchClock.h"
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "core/kelTick.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kLatencySamples = 1000;
constexpr int kWaitMs = 1000;

int udpSocket(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = kelTestLoopback(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    (void)::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// An even port on 127.0.0.1 whose successor (RTCP) is free too; 0 if none.
uint16_t freeRTPPort()
{
    for (uint32_t attempt = 0; attempt < 200; ++attempt) {
        const auto port =
            static_cast<uint16_t>((30000 + (::getpid() * 131u + tickNow() + attempt * 34u) % 20000) & ~1u);
        const int a = udpSocket(port);
        const int b = udpSocket(static_cast<uint16_t>(port + 1));
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
        if (a >= 0 && b >= 0) return port;
    }
    return 0;
}

kelString rtpURI(uint16_t port)
{
    const std::string s = "rtp://127.0.0.1:" + std::to_string(port);
    return kelString(s.begin(), s.end());
}

// One arrival at a time: the receiving side calls arrive(), the sender waits.
class kelArrival
{
public:
    void arrive()
    {
        {
            std::lock_guard lock(f_guard);
            ++f_count;
        }
        f_changed.notify_one();
    }
    // Waits until more than `seen` arrivals were counted; false on time-out.
    bool waitBeyond(uint64_t seen, int timeoutMs)
    {
        std::unique_lock lock(f_guard);
        return f_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return f_count > seen; });
    }
    uint64_t count()
    {
        std::lock_guard lock(f_guard);
        return f_count;
    }

private:
    std::mutex f_guard;
    std::condition_variable f_changed;
    uint64_t f_count = 0;
};

void reportLatency(benchmark::State& state, const std::vector<double>& us, int lost)
{
    const kelPercentiles p = kelSamplePercentiles(us);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    state.counters["lost"] = lost;
    if (us.empty()) state.SkipWithError("nothing arrived");
}

// Each round: send(), then wait for the arrival it causes. The microseconds
// of each round go into `us`; the result counts the rounds that timed out.
template <class Send>
int timeRoundTrips(benchmark::State& state, kelArrival& arrival, std::vector<double>& us, Send send)
{
    us.reserve(static_cast<size_t>(state.max_iterations));
    int lost = 0;
    for (auto _ : state) {
        const uint64_t seen = arrival.count();
        const uint64_t t0 = kelBenchNowNs();
        send();
        if (!arrival.waitBeyond(seen, kWaitMs)) {
            ++lost;
            state.SetIterationTime(double(kWaitMs) / 1000.0);
            continue;
        }
        const double t = double(kelBenchNowNs() - t0) / 1000.0;
        us.push_back(t);
        state.SetIterationTime(t / 1e6);
    }
    return lost;
}

void LatencyUdp(benchmark::State& state)
{
    const int rx = udpSocket(0);
    const int tx = udpSocket(0);
    if (rx < 0 || tx < 0) {
        state.SkipWithError("no loopback socket");
        return;
    }
    const sockaddr_in to = kelTestLoopback(boundPort(rx));
    kelArrival arrival;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t buf[2048];
        while (!stop.load()) {
            pollfd p{rx, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0 && ::recv(rx, buf, sizeof buf, 0) > 0) arrival.arrive();
        }
    });
    // The datagram sendText("a") puts on the wire.
    const uint8_t packet[13] = {0x80, kelRTPPayloadT140, 0, 1, 0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78, 'a'};
    std::vector<double> us;
    const int lost = timeRoundTrips(state, arrival, us, [&] {
        (void)::sendto(tx, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
    stop.store(true);
    reader.join();
    ::close(rx);
    ::close(tx);
    reportLatency(state, us, lost);
}

// A transmitter and a receiver on one port that have found each other.
struct kelPair
{
    kelOwned<TkelIPTransmitter> tx{kelCreate<TkelIPTransmitter>()};
    kelOwned<TkelIPReceiver> rx{kelCreate<TkelIPReceiver>()};

    bool open(uint16_t port)
    {
        if (!tx || !rx || port == 0) return false;
        tx->setURI(rtpURI(port));
        rx->setURI(rtpURI(port));
        if (!tx->open() || !rx->open()) return false;
        const uint64_t start = tickNow();
        while (tx->rootDestCount() < 1) {
            if (ticksSince(start) > 10000) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    ~kelPair()
    {
        if (tx) tx->close();
        if (rx) rx->close();
    }
};

void LatencyKel(benchmark::State& state)
{
    kelArrival arrival;
    kelPair pair;
    pair.rx->setOnText([&](kelmtlInOutPipe*, const char16_t*) { arrival.arrive(); });
    if (!pair.open(freeRTPPort())) {
        state.SkipWithError("the pair did not open and find each other on 127.0.0.1");
        return;
    }
    std::vector<double> us;
    const int lost = timeRoundTrips(state, arrival, us, [&] { (void)pair.tx->sendText(u"a"); });
    reportLatency(state, us, lost);
}

double idleSeconds()
{
    const char* text = std::getenv("KEL_BENCH_IDLE_SECONDS");
    const double value = text != nullptr ? std::atof(text) : 0.0;
    if (value > 0) return value;
    return kelBenchQuick() ? 3.0 : 30.0;
}

void IdleCpuKel(benchmark::State& state)
{
    kelPair pair;
    if (!pair.open(freeRTPPort())) {
        state.SkipWithError("the pair did not open and find each other on 127.0.0.1");
        return;
    }
    const double seconds = idleSeconds();
    for (auto _ : state) {
        const uint64_t cpu0 = kelBenchProcessCpuNs();
        const uint64_t wall0 = kelBenchNowNs();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double cpu = double(kelBenchProcessCpuNs() - cpu0) / 1e9;
        const double wall = double(kelBenchNowNs() - wall0) / 1e9;
        state.SetIterationTime(cpu);
        state.counters["cpu_ms"] = cpu * 1000.0;
        state.counters["cpu_pct"] = cpu / wall * 100.0;
        state.counters["seconds"] = wall;
    }
}

} // namespace

BENCHMARK(LatencyUdp)
    ->Name("Latency/udp")
    ->Iterations(kelBenchIterations(kLatencySamples))
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(LatencyKel)
    ->Name("Latency/kel")
    ->Iterations(kelBenchIterations(kLatencySamples))
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(IdleCpuKel)->Name("IdleCpu/kel")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("udp", "p50_us", "p99_us")
