#pragma once
// The third-party DNS and STUN servers of the interop tests and benchmarks:
// dnsmasq answering only from the records the test gives (no upstream, no
// hosts file, no resolv.conf) on 127.0.0.2, and coturn's STUN-only server on
// 127.0.0.1. Both run as root, on a free port, from the test's own
// arguments, and are stopped by their PID when the object goes. start()
// returns once the server answers.

#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

// A port that UDP and TCP can both bind on `ip` right now; 0 when none.
inline uint16_t kelTestFreePortOn(const char* ip)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &a.sin_addr);
        socklen_t len = sizeof a;
        uint16_t port = 0;
        if (u >= 0 && ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(u, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        if (u >= 0) ::close(u);
        const int t = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool tcpFree = t >= 0 && port != 0 && ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (t >= 0) ::close(t);
        if (tcpFree) return port;
    }
    return 0;
}

// Sends `query` to ip:port over UDP until something answers (each try
// waits 200 ms), for at most `timeoutMs`.
inline bool kelTestUdpAnswers(const char* ip, uint16_t port, const std::vector<uint8_t>& query,
                              uint64_t timeoutMs)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &to.sin_addr);
    const bool ok = kelTestWaitUntil(
        [&] {
            ::sendto(s, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            pollfd p{s, POLLIN, 0};
            return ::poll(&p, 1, 200) > 0;
        },
        timeoutMs);
    ::close(s);
    return ok;
}

// Why a peer cannot run here, or empty when it can.
inline std::string kelTestRootPeerMissing(const std::string& tool, const std::string& package)
{
    if (!kelTestProcess::available(tool))
        return tool + " is not installed (scripts/install-deps installs " + package + ")";
    if (::geteuid() != 0) return tool + " needs root to bind its test address";
    return {};
}

class kelTestDnsmasq
{
public:
    static constexpr const char* kAddress = "127.0.0.2";

    // Serves example.test from `records` (dnsmasq options such as
    // "--srv-host=...", "--txt-record=..."). Its log goes to dir/dnsmasq.log.
    bool start(const std::vector<std::string>& records, const std::string& dir)
    {
        f_port = kelTestFreePortOn(kAddress);
        if (f_port == 0) return false;
        std::vector<std::string> args = {"dnsmasq",
                                         "-d",
                                         "-C",
                                         "/dev/null",
                                         "--no-resolv",
                                         "--no-hosts",
                                         "--bind-interfaces",
                                         std::string("--listen-address=") + kAddress,
                                         "--port=" + std::to_string(f_port),
                                         "--local=/example.test/",
                                         "--pid-file=" + dir + "/dnsmasq.pid",
                                         "--host-record=probe.example.test,127.0.0.1"};
        args.insert(args.end(), records.begin(), records.end());
        if (!f_proc.start(args, dir + "/dnsmasq.log")) return false;
        // An A query for the probe name, id 0x7E57.
        const std::vector<uint8_t> probe = {0x7E, 0x57, 0x01, 0x00, 0,   1,   0,   0,   0,   0,   0,   0,
                                            5,    'p',  'r',  'o',  'b', 'e', 7,   'e', 'x', 'a', 'm', 'p',
                                            'l',  'e',  4,    't',  'e', 's', 't', 0,   0,   1,   0,   1};
        return kelTestUdpAnswers(kAddress, f_port, probe, 10000);
    }
    uint16_t port() const { return f_port; }
    std::string entry() const { return std::string(kAddress) + ":" + std::to_string(f_port); }
    std::string log() const { return f_proc.log(); }

private:
    kelTestProcess f_proc;
    uint16_t f_port = 0;
};

class kelTestTurnserver
{
public:
    // STUN only, UDP and TCP on 127.0.0.1. It takes a second or two to end
    // after the signal, which stop() allows for.
    bool start(const std::string& dir)
    {
        f_port = kelTestFreePortOn("127.0.0.1");
        if (f_port == 0) return false;
        if (!f_proc.start({"turnserver", "-n", "--stun-only", "-L", "127.0.0.1", "-p", std::to_string(f_port),
                           "--no-cli", "--no-tls", "--no-dtls", "--log-file", "stdout", "--pidfile",
                           dir + "/turn.pid"},
                          dir + "/turnserver.log"))
            return false;
        const std::vector<uint8_t> binding = {0, 1, 0, 0, 0x21, 0x12, 0xA4, 0x42, 1,  2,
                                              3, 4, 5, 6, 7,    8,    9,    10,   11, 12};
        return kelTestUdpAnswers("127.0.0.1", f_port, binding, 15000);
    }
    uint16_t port() const { return f_port; }
    std::string log() const { return f_proc.log(); }

private:
    kelTestProcess f_proc;
    uint16_t f_port = 0;
};
