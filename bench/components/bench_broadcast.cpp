// Processor time per megabyte delivered by the broadcast pipes, beside
// socat doing the same carriage: 4 MiB sent as 1,418-byte datagrams to
// 127.255.255.255 and read back by one receiver bound to that address.
//  - broadcast/kel: our server (1,400-byte pieces, 18 bytes of packet each,
//    its 1 ms pause between pieces) and our client in this process; the
//    process's CPU time over the run.
//  - broadcast/socat: `socat -u -b1418 OPEN:file UDP-DATAGRAM:127.255.255.255:P,broadcast`
//    into `socat -u UDP-RECV:P,bind=127.255.255.255,reuseaddr CREATE:file`;
//    the two processes' CPU time.
// cpu_us_per_mb is that time over the megabytes the receiver got (payload
// only), delivered_pct the share of what was sent; the ratio tables compare
// ours with socat's round by round (goal: at most 0.8). socat is skipped
// when it is missing.

#include "kelBenchChild.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"
#include "components/kelMT_socks.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestPipes.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBytes = 4u << 20;
constexpr size_t kDatagram = 1418;
constexpr size_t kPiece = 1400;
constexpr uint32_t kBroadcastH = 0x7FFFFFFFu; // 127.255.255.255

// Ports are spread by process so two benchmark runs side by side do not meet.
uint16_t benchPort(int salt)
{
    return static_cast<uint16_t>(30000 + (::getpid() * 7 + salt) % 20000);
}

kelString portText(uint16_t port)
{
    const std::string s = std::to_string(port);
    return kelString(s.begin(), s.end());
}

std::string scratch(const std::string& name)
{
    return "/tmp/kel-bench-broadcast-" + std::to_string(::getpid()) + "-" + name;
}

struct Run
{
    double cpuUs = -1;
    double delivered = 0;
};

Run kelRun(uint16_t port)
{
    Run run;
    auto client = kelMakeOwned<kelmtlIPBroadcastClient>();
    auto sink = kelMakeOwned<kelTestByteCounter>();
    auto server = kelMakeOwned<kelmtlIPBroadcastServer>();
    client->setPort(portText(port));
    client->setBindTo(u"127.255.255.255");
    (void)client->addConsumer(sink.get());
    server->setPort(portText(port));
    server->setBindTo(u"127.0.0.1");
    server->setBroadcastAddr(kBroadcastH);
    if (!client->open() || !server->open()) return run;
    std::vector<uint8_t> block(kPiece, 0x55);
    const uint64_t cpu0 = kelBenchProcessCpuNs();
    for (size_t sent = 0; sent < kBytes; sent += kPiece)
        if (server->write(block.data(), uint32_t(kPiece)) != kPiece) return run;
    // The last datagrams still in flight.
    for (int i = 0; i < 50 && sink->count() < kBytes; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    run.cpuUs = double(kelBenchProcessCpuNs() - cpu0) / 1e3;
    run.delivered = double(sink->count());
    server->close();
    client->close();
    return run;
}

Run socatRun(uint16_t port)
{
    Run run;
    const std::string source = scratch("src.bin");
    const std::string sinkFile = scratch("sink.bin");
    {
        std::ofstream out(source, std::ios::binary);
        const std::string chunk(kDatagram, '\x55');
        for (size_t n = 0; n < kBytes; n += kPiece)
            out << chunk; // the same number of datagrams as ours
    }
    const double before = kelBenchChildrenCpuUs();
    const std::string p = std::to_string(port);
    const pid_t receiver = kelBenchSpawnQuiet(
        {"socat", "-u", "UDP-RECV:" + p + ",bind=127.255.255.255,reuseaddr", "CREATE:" + sinkFile});
    if (receiver < 0) return run;
    // The receiver must be bound before anything is sent.
    for (int i = 0; i < 500; ++i) {
        struct stat st
        {
        };
        if (::stat(sinkFile.c_str(), &st) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const pid_t sender =
        kelBenchSpawnQuiet({"socat", "-u", "-b" + std::to_string(kDatagram), "OPEN:" + source,
                            "UDP-DATAGRAM:127.255.255.255:" + p + ",broadcast"});
    int status = 0;
    if (sender > 0) (void)waitpid(sender, &status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(receiver, SIGTERM);
    (void)waitpid(receiver, nullptr, 0);
    run.cpuUs = kelBenchChildrenCpuUs() - before;
    struct stat st
    {
    };
    // The receiver keeps the datagrams whole: payload is the packet less its 18 bytes.
    if (::stat(sinkFile.c_str(), &st) == 0) run.delivered = double(st.st_size) / kDatagram * kPiece;
    std::remove(source.c_str());
    std::remove(sinkFile.c_str());
    if (sender < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) run.cpuUs = -1;
    return run;
}

void report(benchmark::State& state, Run (*runOnce)(uint16_t), int salt)
{
    double total = 0, share = 0;
    int n = 0;
    for (auto _ : state) {
        const Run run = runOnce(benchPort(salt + n));
        if (run.cpuUs < 0 || run.delivered <= 0) {
            state.SkipWithError("the run carried nothing");
            return;
        }
        total += run.cpuUs / (run.delivered / 1e6);
        share += run.delivered / double((kBytes + kPiece - 1) / kPiece * kPiece);
        state.SetIterationTime(run.cpuUs / 1e6);
        ++n;
    }
    state.counters["cpu_us_per_mb"] = total / n;
    state.counters["delivered_pct"] = 100 * share / n;
}

void broadcastKel(benchmark::State& state)
{
    report(state, kelRun, 0);
}

void broadcastSocat(benchmark::State& state)
{
    if (std::system("command -v socat >/dev/null 2>&1") != 0) {
        state.SkipWithError("socat is missing");
        return;
    }
    report(state, socatRun, 5000);
}

} // namespace

BENCHMARK(broadcastKel)->Name("broadcast/kel")->UseManualTime()->Iterations(kelBenchIterations(2));
BENCHMARK(broadcastSocat)->Name("broadcast/socat")->UseManualTime()->Iterations(kelBenchIterations(2));
KEL_BENCH_MAIN_WITH_RATIOS("socat", "cpu_us_per_mb")
