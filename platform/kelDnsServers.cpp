#include "platform/kelDnsServers.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

struct Override
{
    std::mutex lock;
    std::optional<std::string> servers;
};

Override& override_() noexcept
{
    static Override o;
    return o;
}

std::vector<std::string> splitEntries(std::string_view text)
{
    std::vector<std::string> out;
    std::string cur;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == ',' || c == ' ' || c == '\t') {
            if (!cur.empty()) out.push_back(std::move(cur));
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

bool isDottedQuad(const std::string& s)
{
    in_addr a{};
    return ::inet_pton(AF_INET, s.c_str(), &a) == 1;
}

} // namespace

bool kelSplitDnsServer(std::string_view entry, std::string& address, uint16_t& port)
{
    const size_t colon = entry.find(':');
    std::string host(entry.substr(0, colon));
    uint16_t p = kelDnsDefaultPort;
    if (colon != std::string_view::npos) {
        const std::string_view digits = entry.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return false;
        unsigned long v = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + static_cast<unsigned long>(c - '0');
        }
        if (v == 0 || v > 65535) return false;
        p = static_cast<uint16_t>(v);
    }
    if (!isDottedQuad(host)) return false;
    address = std::move(host);
    port = p;
    return true;
}

std::vector<std::string> kelParseResolvConf(std::string_view text)
{
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string value;
        if (!(words >> keyword) || keyword != "nameserver" || !(words >> value)) continue;
        // resolv.conf names no ports; an address with one is not a server line.
        if (isDottedQuad(value)) out.push_back(value);
    }
    return out;
}

std::vector<std::string> kelDnsServers()
{
    {
        Override& o = override_();
        std::lock_guard<std::mutex> guard(o.lock);
        if (o.servers) return splitEntries(*o.servers);
    }
    std::ifstream in("/etc/resolv.conf");
    std::stringstream ss;
    ss << in.rdbuf();
    return kelParseResolvConf(ss.str());
}

void kelSetDnsServersOverride(const char* servers) noexcept
{
    Override& o = override_();
    try {
        std::lock_guard<std::mutex> guard(o.lock);
        o.servers = std::string(servers != nullptr ? servers : "");
    } catch (...) {
        // Out of memory: the old setting stays.
    }
}

void kelClearDnsServersOverride() noexcept
{
    Override& o = override_();
    std::lock_guard<std::mutex> guard(o.lock);
    o.servers.reset();
}

bool kelDnsServersOverride(std::string& servers)
{
    Override& o = override_();
    std::lock_guard<std::mutex> guard(o.lock);
    if (!o.servers) return false;
    servers = *o.servers;
    return true;
}
