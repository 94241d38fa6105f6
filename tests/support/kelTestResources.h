#pragma once
// What a process holds right now: its open descriptors and its threads, as
// /proc/self lists them, and the local addresses its UDP sockets are bound
// to, as ss (iproute2) lists them. A test takes one count before and one
// after a run of work that must give back all it took.

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

struct kelTestResources
{
    size_t descriptors = 0;
    size_t threads = 0;
    // The targets of the descriptors ("socket:[123]", "anon_inode:[eventfd]"),
    // to name what was left over.
    std::vector<std::string> descriptorNames;

    bool operator==(const kelTestResources& other) const
    {
        return descriptors == other.descriptors && threads == other.threads;
    }
};

inline kelTestResources kelTestResourcesNow()
{
    // A sanitizer's runtime starts a thread of its own when the program
    // makes its first one; one made and joined here keeps that thread out
    // of what the work under test seems to leave.
    std::thread([] {}).join();
    kelTestResources r;
    std::error_code ec;
    // The directory iterator holds a descriptor of its own while it runs.
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code lec;
        const std::filesystem::path target = std::filesystem::read_symlink(e.path(), lec);
        if (lec) continue;
        if (target.string().rfind("/proc/", 0) == 0 && target.string().find("/fd") != std::string::npos)
            continue;
        ++r.descriptors;
        r.descriptorNames.push_back(target.string());
    }
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        (void)e;
        ++r.threads;
    }
    return r;
}

// The local addresses ("127.0.0.1") of the UDP sockets bound to `port` on
// this machine; nullopt when ss is not installed.
inline std::optional<std::vector<std::string>> kelTestUdpBoundAddresses(uint16_t port)
{
    if (std::system("command -v ss >/dev/null 2>&1") != 0) return std::nullopt;
    const std::string cmd = "ss -Huan 'sport = :" + std::to_string(port) + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        text.append(buf, n);
    ::pclose(p);
    // State, Recv-Q, Send-Q, then the local address and port.
    std::vector<std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string state, recvQ, sendQ, local;
        if (!(fields >> state >> recvQ >> sendQ >> local)) continue;
        const size_t colon = local.rfind(':');
        if (colon != std::string::npos) out.push_back(local.substr(0, colon));
    }
    return out;
}
