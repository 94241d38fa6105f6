// Binding requests against coturn's STUN server on 127.0.0.1, one at a
// time: getSTUNMappedAddress beside runs of turnutils_stunclient (one
// request per run). Metric: requests per second (higher is better; the goal
// is at least twice the reference client's).
#include "kelBenchRatios.h"

#include "net/protocols/kelSocks_STUN.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestFiles.h"

#include <chrono>

namespace {

constexpr int kRequests = 100;

struct Peer
{
    kelTempDir dir;
    kelTestTurnserver turn;
    std::string error;

    Peer()
    {
        error = kelTestRootPeerMissing("turnserver", "coturn");
        if (error.empty() && !turn.start(dir.path())) error = "turnserver did not start: " + turn.log();
    }
};

Peer& peer()
{
    static Peer p;
    return p;
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void stunKel(benchmark::State& state)
{
    Peer& p = peer();
    if (!p.error.empty()) {
        state.SkipWithError(p.error.c_str());
        return;
    }
    const std::string port = std::to_string(p.turn.port());
    const kelString sport(port.begin(), port.end());
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRequests; ++i) {
            uint32_t ip = 0;
            uint16_t mapped = 0, bound = 0;
            if (!getSTUNMappedAddress(u"127.0.0.1", ip, mapped, bound, sport, kelSTUNProtoUDP, 5000, false,
                                      nullptr, u"127.0.0.1")) {
                state.SkipWithError("a request failed");
                return;
            }
        }
        total += kRequests / seconds(start);
    }
    state.counters["rps"] = total / double(state.iterations());
}

void stunReference(benchmark::State& state)
{
    Peer& p = peer();
    if (!p.error.empty() || !kelTestProcess::available("turnutils_stunclient")) {
        state.SkipWithError(p.error.empty() ? "turnutils_stunclient is not installed (coturn)"
                                            : p.error.c_str());
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRequests; ++i) {
            if (kelTestProcess::runToEnd({"turnutils_stunclient", "-p", std::to_string(p.turn.port()), "-L",
                                          "127.0.0.1", "127.0.0.1"},
                                         10000) != 0) {
                state.SkipWithError("turnutils_stunclient failed");
                return;
            }
        }
        total += kRequests / seconds(start);
    }
    state.counters["rps"] = total / double(state.iterations());
}

} // namespace

BENCHMARK(stunKel)->Name("binding/kel")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(stunReference)->Name("binding/turnutils")->Iterations(1)->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("turnutils", "rps")
