// SRV lookups one at a time against dnsmasq on 127.0.0.2: our DNS client
// beside dig answering the same 1,000 names from a batch file. Metric:
// queries per second (higher is better; the goal is at least twice dig's).
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "net/protocols/kelSocks_DNS.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestFiles.h"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

namespace {

constexpr int kNames = 1000;

std::string srvName(int i)
{
    return "_stun._udp.n" + std::to_string(i) + ".example.test";
}

struct Peer
{
    kelTempDir dir;
    kelTestDnsmasq dnsmasq;
    std::string names;
    std::string error;

    Peer()
    {
        error = kelTestRootPeerMissing("dnsmasq", "dnsmasq-base");
        if (!error.empty()) return;
        std::vector<std::string> records;
        for (int i = 0; i < kNames; ++i)
            records.push_back("--srv-host=" + srvName(i) + ",127.0.0.1," + std::to_string(3478 + i % 100) +
                              ",10,5");
        if (!dnsmasq.start(records, dir.path())) error = "dnsmasq did not start: " + dnsmasq.log();
        names = dir.path() + "/names.txt";
        std::ofstream out(names);
        for (int i = 0; i < kNames; ++i)
            out << srvName(i) << " SRV\n";
    }
};

Peer& peer()
{
    static Peer p;
    return p;
}

class Waiter : public kelDNSClient
{
public:
    using kelDNSClient::kelDNSClient;
    std::mutex m;
    std::condition_variable cv;
    int done = 0;
    int answered = 0;

protected:
    void onQueryComplete(kelDNSQuery* q, bool failed) override
    {
        std::lock_guard<std::mutex> g(m);
        ++done;
        answered += !failed && q->count(1) > 0 ? 1 : 0;
        cv.notify_all();
    }
};

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void srvKel(benchmark::State& state)
{
    Peer& p = peer();
    if (!p.error.empty()) {
        state.SkipWithError(p.error.c_str());
        return;
    }
    double total = 0;
    for (auto _ : state) {
        kelOwned<Waiter> client(kelCreate<Waiter>(p.dnsmasq.entry(), kelDnsTR_UDP));
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kNames; ++i) {
            (void)client->query({srvName(i)}, kelDNSType_SRV);
            std::unique_lock<std::mutex> lock(client->m);
            client->cv.wait(lock, [&] { return client->done > i; });
        }
        total += kNames / seconds(start);
        if (client->answered != kNames) {
            state.SkipWithError("not every name was answered");
            return;
        }
    }
    state.counters["qps"] = total / double(state.iterations());
}

void srvDig(benchmark::State& state)
{
    Peer& p = peer();
    if (!p.error.empty() || !kelTestProcess::available("dig")) {
        state.SkipWithError(p.error.empty() ? "dig is not installed (bind9-dnsutils)" : p.error.c_str());
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int rc =
            kelTestProcess::runToEnd({"dig", "@" + std::string(kelTestDnsmasq::kAddress), "-p",
                                      std::to_string(p.dnsmasq.port()), "+noedns", "+tries=1", "-f", p.names},
                                     120000);
        if (rc != 0) {
            state.SkipWithError("dig failed");
            return;
        }
        total += kNames / seconds(start);
    }
    state.counters["qps"] = total / double(state.iterations());
}

} // namespace

BENCHMARK(srvKel)->Name("srv/kel")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(srvDig)->Name("srv/dig")->Iterations(1)->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("dig", "qps")
