#pragma once
// Live captures on the loopback interface with tshark, and reading them back:
// what a test uses to check the bytes and the timing of what really went on
// the wire.

#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

// The fields tshark prints, one line a packet, tab-separated.
inline std::vector<std::vector<std::string>> tsharkFields(const std::string& cmd)
{
    std::vector<std::vector<std::string>> rows;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return rows;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        text.append(buf, n);
    ::pclose(p);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> row;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');)
            row.push_back(f);
        rows.push_back(row);
    }
    return rows;
}

inline std::vector<uint8_t> fromHex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Starts tshark on the loopback interface with capture filter `filter`,
// writing a pcap file that can be read while the capture runs (each packet
// is flushed). With a `count` it ends by itself after that many packets.
// Empty once it captures; otherwise why it does not.
inline std::string startCapture(kelTestProcess& capture, const std::string& filter, size_t count,
                                const std::string& pcap, const std::string& log)
{
    std::vector<std::string> args{"tshark", "-i", "lo", "-n", "-q", "-F", "pcap", "-f", filter, "-w", pcap};
    if (count > 0) args.insert(args.end(), {"-c", std::to_string(count)});
    if (!capture.start(args, log)) return "tshark could not be started";
    const auto started = [&] { return capture.log().find("Capture started") != std::string::npos; };
    (void)kelTestWaitUntil([&] { return started() || capture.exited(); }, 20000);
    if (capture.exited() || !started()) return "tshark cannot capture on lo here: " + capture.log();
    return {};
}
