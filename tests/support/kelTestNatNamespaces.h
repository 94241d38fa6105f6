#pragma once
// Two network namespaces a test makes for a NAT: a client side holding
// 10.77.0.1/24 and a server side holding 10.77.0.2/24, joined by a veth
// pair, both loopbacks up. The test brings its own nftables rules for the
// client side (written against clientLink) and any further `ip` steps
// (addresses, routes); coturn's STUN-only server runs in the server side on
// request. Both namespaces go, with everything in them, when the object
// goes. Needs root, ip and nft.

#include "tests/support/kelTestProcess.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

class kelTestNatNamespaces
{
public:
    static constexpr const char* kClientAddress = "10.77.0.1";
    static constexpr const char* kServerAddress = "10.77.0.2";

    // `tag` (three letters or so) names the namespaces and links of one
    // test; the PID keeps two runs apart.
    explicit kelTestNatNamespaces(const std::string& tag)
        : client(tag + "c" + std::to_string(::getpid())), server(tag + "s" + std::to_string(::getpid())),
          clientLink(tag + "vc" + std::to_string(::getpid())),
          serverLink(tag + "vs" + std::to_string(::getpid()))
    {}
    kelTestNatNamespaces(const kelTestNatNamespaces&) = delete;
    kelTestNatNamespaces& operator=(const kelTestNatNamespaces&) = delete;
    ~kelTestNatNamespaces()
    {
        if (!f_made) return;
        (void)run({"ip", "netns", "del", client});
        (void)run({"ip", "netns", "del", server});
    }

    // Why the namespaces and coturn cannot run here, or empty when they can.
    static std::string missing()
    {
        for (const char* tool : {"ip", "nft", "turnserver"})
            if (!kelTestProcess::available(tool))
                return std::string(tool) +
                       " is not installed (scripts/install-deps installs iproute2, nftables, coturn)";
        if (::geteuid() != 0) return "network namespaces and nftables need root";
        return {};
    }

    // Makes the namespaces and the link, runs `extraSteps` (commands such
    // as {"ip", "-n", server, ...}), then loads `nftRules` in the client
    // side from dir/nat.nft. False when a step failed.
    bool make(const std::string& dir, const std::string& nftRules,
              const std::vector<std::vector<std::string>>& extraSteps = {})
    {
        if (run({"ip", "netns", "add", client}) != 0) return false;
        f_made = true;
        std::ofstream(dir + "/nat.nft") << nftRules;
        std::vector<std::vector<std::string>> steps = {
            {"ip", "netns", "add", server},
            {"ip", "link", "add", clientLink, "netns", client, "type", "veth", "peer", "name", serverLink,
             "netns", server},
            {"ip", "-n", client, "addr", "add", std::string(kClientAddress) + "/24", "dev", clientLink},
            {"ip", "-n", server, "addr", "add", std::string(kServerAddress) + "/24", "dev", serverLink},
            {"ip", "-n", client, "link", "set", clientLink, "up"},
            {"ip", "-n", server, "link", "set", serverLink, "up"},
            {"ip", "-n", client, "link", "set", "lo", "up"},
            {"ip", "-n", server, "link", "set", "lo", "up"},
        };
        steps.insert(steps.end(), extraSteps.begin(), extraSteps.end());
        steps.push_back({"ip", "netns", "exec", client, "nft", "-f", dir + "/nat.nft"});
        for (const auto& s : steps)
            if (run(s) != 0) return false;
        return true;
    }

    // Moves the calling thread into the client side: the sockets and
    // threads it makes from then on stay there.
    bool enterClient() const
    {
        const int fd = ::open(("/var/run/netns/" + client).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        return entered;
    }

    // Starts coturn, STUN only, on `address`:3478 in the server side, its
    // log in dir/turn.log. It takes a moment to listen: the test asks until
    // it answers.
    bool startStunServer(kelTestProcess& turn, const std::string& address, const std::string& dir) const
    {
        return turn.start({"ip", "netns", "exec", server, "turnserver", "-n", "--stun-only", "-L", address,
                           "-p", "3478", "--no-cli", "--no-tls", "--no-dtls", "--log-file", "stdout",
                           "--pidfile", dir + "/turn.pid"},
                          dir + "/turn.log");
    }

    const std::string client, server, clientLink, serverLink;

private:
    static int run(const std::vector<std::string>& args) { return kelTestProcess::runToEnd(args, 20000); }

    bool f_made = false;
};
