// The RTP receiver's loss-free packet rate beside a plain UDP loop, in one
// run: both read the same stream of 172-byte RTP packets (20 ms of G.711)
// from a sender on 127.0.0.1, sent in bursts that wait for the reader, so
// nothing is lost and the rate is the reader's. The receiver does all it
// does for a real stream: the transmitter check, the SSRC lock, the reorder
// window, the session's statistics and the delivery hook.
//
// Rounds interleave the two (see kelBenchRatios.h); the ratio printed is
// the receiver's time per packet over the plain loop's.
#include "kelBenchRatios.h"

#include "core/kelParseInt.h"
#include "net/rtp/kelSocks_RTP.h"
#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr int kBurst = 32;
constexpr size_t kPayload = 160;

int boundSocket(uint16_t* port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = kelTestLoopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

class CountingReceiver : public kelRTPReceiver
{
public:
    using kelRTPReceiver::kelRTPReceiver;
    void onRTPData(const sockaddr_in&, const uint8_t*, const uint8_t*, size_t, size_t) override
    {
        count.fetch_add(1, std::memory_order_release);
    }
    std::atomic<int64_t> count{0};
};

// The plain loop: poll and recvfrom on its own thread, counting.
class PlainLoop
{
public:
    PlainLoop() : f_fd(boundSocket(&f_port))
    {
        f_thread = std::thread([this] { run(); });
    }
    ~PlainLoop()
    {
        f_stop.store(true);
        f_thread.join();
        ::close(f_fd);
    }
    uint16_t port() const { return f_port; }
    std::atomic<int64_t> count{0};

private:
    void run()
    {
        std::vector<uint8_t> buf(65536);
        while (!f_stop.load()) {
            pollfd p{f_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            if (::recvfrom(f_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len) >= 12)
                count.fetch_add(1, std::memory_order_release);
        }
    }
    uint16_t f_port = 0;
    int f_fd;
    std::atomic<bool> f_stop{false};
    std::thread f_thread;
};

// Sends bursts to `port` and waits for `count` to take each in.
void stream(benchmark::State& state, int sender, uint16_t port, const std::atomic<int64_t>& count)
{
    std::vector<uint8_t> packet(kelRTPHeaderSize + kPayload, 0xD5);
    const sockaddr_in to = kelTestLoopback(port);
    uint16_t seq = 1;
    int64_t sent = count.load();
    const int64_t first = sent;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i, ++seq) {
            rtpWriteHeader(packet.data(), false, 0, seq, seq * 160u, 0x0BE4C4);
            (void)::sendto(sender, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to);
        }
        sent += kBurst;
        // A packet the kernel dropped would stall here: give up after a
        // second and report it.
        for (int spin = 0; count.load(std::memory_order_acquire) < sent && spin < 1000000; ++spin)
            if (spin > 100) ::usleep(1);
    }
    const int64_t got = count.load() - first;
    state.SetItemsProcessed(got);
    state.counters["lost"] = static_cast<double>(sent - first - got);
}

void ReceiveRate_kel(benchmark::State& state)
{
    uint16_t senderPort = 0;
    const int sender = boundSocket(&senderPort);
    kelOwned<CountingReceiver> r(kelCreate<CountingReceiver>(
        u"0", kelString(), false, kelString(u"127.0.0.1"), nullptr, true, false, 1));
    if (sender < 0 || !r) {
        state.SkipWithError("no socket");
        return;
    }
    r->setExpectedSource(u"127.0.0.1", formatInteger(senderPort));
    if (!r->start(10000) || !r->active()) {
        state.SkipWithError("receiver did not start");
        ::close(sender);
        return;
    }
    stream(state, sender, static_cast<uint16_t>(parseInteger(r->portLocal(), 0)), r->count);
    (void)r->stop(3000);
    ::close(sender);
}

void ReceiveRate_udp(benchmark::State& state)
{
    uint16_t senderPort = 0;
    const int sender = boundSocket(&senderPort);
    if (sender < 0) {
        state.SkipWithError("no socket");
        return;
    }
    PlainLoop loop;
    stream(state, sender, loop.port(), loop.count);
    ::close(sender);
}

BENCHMARK(ReceiveRate_kel)->Name("ReceiveRate/kel")->Iterations(kelBenchIterations(2000))->UseRealTime();
BENCHMARK(ReceiveRate_udp)->Name("ReceiveRate/udp")->Iterations(kelBenchIterations(2000))->UseRealTime();

} // namespace

KEL_BENCH_MAIN_WITH_RATIOS("udp", "lost")
