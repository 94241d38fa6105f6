// Echo servers under a load generator of their own process (kel_echo_load):
// connections per second (connect, 16-byte echo, close) and echo bytes per
// second, for the manager in port mode, in thread mode (1,000 connections:
// one thread polls them all), socat's forking echo, and a plain epoll echo
// server (kel_epoll_echo), in interleaved rounds. The reference is socat;
// the goals are port mode at 5x its connection rate and 2x its bytes, and
// at 0.8x the plain epoll server.
//
// KEL_BENCH_ECHO_CONNS=n lowers the 10,000 concurrent connections (the load
// skips when its descriptor limit is below connections + 100).
#include "kelBenchChild.h"
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "net/sockets/kelSockets.h"
#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#ifndef KEL_ECHO_TOOLS
#define KEL_ECHO_TOOLS "."
#endif

namespace {

size_t connections(bool threadMode)
{
    const char* env = std::getenv("KEL_BENCH_ECHO_CONNS");
    const size_t n = env ? static_cast<size_t>(std::atol(env)) : 10000;
    return threadMode ? std::min<size_t>(n, 1000) : n;
}

long loadMs()
{
    return kelBenchQuick() ? 1500 : 3000; // 10,000 connects take a second to settle
}

void raiseFileLimit()
{
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

// An echo server for one run: ours in this process, or another program.
class EchoServer
{
public:
    ~EchoServer()
    {
        if (f_pid > 0) {
            ::kill(f_pid, SIGKILL);
            ::waitpid(f_pid, nullptr, 0);
        }
    }
    bool startManager(bool port)
    {
        raiseFileLimit();
        f_socks.reset(kelCreate<kelSocks>(2, port));
        if (!f_socks || f_socks->isIOCP() != port) return false;
        f_socks->setOnEvent([](kelSocks* s, kelSocketEvent e, uint32_t id, uintptr_t connId, const void* data,
                               uintptr_t size) {
            if (e == kelseServerData)
                (void)s->sendData(id, data, static_cast<uint32_t>(size), kelSocksConnId(connId));
        });
        const uint32_t id = f_socks->createServer(0, kelIPPROTO_TCP, true, 4096, 0, u"127.0.0.1");
        sockaddr_in a{};
        kelSocksThread* t = f_socks->getThreadByID(id);
        if (!t || !t->threadSocket() || !kelTestWait([&] { return t->initDone().isSignaled(); }))
            return false;
        if (t->threadSocket()->getSockAddrBound(a) != 0) return false;
        f_port = ntohs(a.sin_port);
        return true;
    }
    bool startSocat()
    {
        f_port = kelTestFreeTcpPort();
        f_pid = kelBenchSpawnQuiet(
            {"socat", "TCP-LISTEN:" + std::to_string(f_port) + ",bind=127.0.0.1,reuseaddr,fork,backlog=4096",
             "PIPE"});
        return f_pid > 0 && kelTestWait([&] { return kelTestTcpListening(f_port); });
    }
    bool startEpoll()
    {
        int out[2];
        if (::pipe(out) != 0) return false;
        f_pid = ::fork();
        if (f_pid == 0) {
            ::dup2(out[1], 1);
            ::execl(KEL_ECHO_TOOLS "/kel_epoll_echo", "kel_epoll_echo", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char buf[16] = {};
        const ssize_t n = ::read(out[0], buf, sizeof buf - 1);
        ::close(out[0]);
        f_port = n > 0 ? static_cast<uint16_t>(std::atoi(buf)) : 0;
        return f_port != 0;
    }
    uint16_t port() const { return f_port; }

private:
    template <class F> static bool kelTestWait(F f)
    {
        for (int i = 0; i < 5000; ++i) {
            if (f()) return true;
            ::usleep(1000);
        }
        return false;
    }

    kelOwned<kelSocks> f_socks;
    pid_t f_pid = -1;
    uint16_t f_port = 0;
};

// Runs the load generator against `port`; the rate, or -1 (-77: skipped).
double runLoad(uint16_t port, size_t conns, bool connMode)
{
    const std::string cmd = std::string(KEL_ECHO_TOOLS "/kel_echo_load ") + std::to_string(port) + " " +
                            std::to_string(conns) + (connMode ? " conns " : " bytes ") +
                            std::to_string(loadMs());
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    double rate = -1;
    char line[128];
    while (std::fgets(line, sizeof line, p))
        if (std::sscanf(line, "rate %lf", &rate) == 1) break;
    const int status = ::pclose(p);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return -77;
    return rate;
}

void echo(benchmark::State& state, const std::string& subject, bool connMode)
{
    for (auto _ : state) {
        EchoServer server;
        bool ok = false;
        if (subject == "port") ok = server.startManager(true);
        if (subject == "threads") ok = server.startManager(false);
        if (subject == "socat") ok = server.startSocat();
        if (subject == "epoll") ok = server.startEpoll();
        if (!ok) {
            state.SkipWithError(("could not start the " + subject + " echo server").c_str());
            return;
        }
        const double rate = runLoad(server.port(), connections(subject == "threads"), connMode);
        if (rate == -77) {
            state.SkipWithError("descriptor limit below connections + 100");
            return;
        }
        if (rate < 0) {
            state.SkipWithError("the load generator failed");
            return;
        }
        state.counters[connMode ? "conn_per_s" : "bytes_per_s"] = rate;
    }
}

} // namespace

#define KEL_ECHO_CASE(kase, subject, connMode)                                                               \
    BENCHMARK_CAPTURE(echo, kase##_##subject, std::string(#subject), connMode)                               \
        ->Name(#kase "/" #subject)                                                                           \
        ->Iterations(1)                                                                                      \
        ->Unit(benchmark::kMillisecond)

KEL_ECHO_CASE(conns, port, true);
KEL_ECHO_CASE(conns, threads, true);
KEL_ECHO_CASE(conns, socat, true);
KEL_ECHO_CASE(conns, epoll, true);
KEL_ECHO_CASE(bytes, port, false);
KEL_ECHO_CASE(bytes, threads, false);
KEL_ECHO_CASE(bytes, socat, false);
KEL_ECHO_CASE(bytes, epoll, false);

KEL_BENCH_MAIN_WITH_RATIOS("socat", "conn_per_s", "bytes_per_s")
