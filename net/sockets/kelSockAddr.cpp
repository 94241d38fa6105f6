#include "net/sockets/kelSockAddr.h"

#include "core/kelObject.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/sockets/kelWSA.h"

#include <arpa/inet.h>

namespace {

struct Block
{
    uint32_t base;
    uint32_t mask;
};

constexpr uint32_t ip4(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

constexpr Block kReserved[] = {
    {ip4(0, 0, 0, 0), 0xFF000000u},     {ip4(10, 0, 0, 0), 0xFF000000u},
    {ip4(127, 0, 0, 0), 0xFF000000u},   {ip4(169, 254, 0, 0), 0xFFFF0000u},
    {ip4(172, 16, 0, 0), 0xFFF00000u},  {ip4(192, 0, 0, 0), 0xFFFFFF00u},
    {ip4(192, 0, 2, 0), 0xFFFFFF00u},   {ip4(192, 168, 0, 0), 0xFFFF0000u},
    {ip4(198, 18, 0, 0), 0xFFFE0000u},  {ip4(198, 51, 100, 0), 0xFFFFFF00u},
    {ip4(203, 0, 113, 0), 0xFFFFFF00u},
};

// A decimal number 0 ... 65535 without sign or spaces, or -1.
int decimalPort(const std::string& s)
{
    if (s.empty() || s.size() > 5) return -1;
    int v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= 65535 ? v : -1;
}

} // namespace

int lookupHost(const kelString& host, kelString& ip, std::vector<kelString>* list)
{
    ip.clear();
    kelLock lock(socketsSharedWSA(), false, 3000);
    if (!lock) return WSATRY_AGAIN;

    const std::string name = utf16ToUtf8(host);
    const uint32_t literal = kelInetAddr(name.c_str());
    if (literal != INADDR_NONE && literal != 0) {
        ip = ipN2str(literal);
        if (list != nullptr) list->push_back(ip);
        return 0;
    }
    std::vector<uint32_t> addrs;
    int err = name.empty() ? kelLocalIPv4Addresses(addrs) : kelResolveHostIPv4(name, addrs);
    if (err != 0) return err;
    if (addrs.empty()) {
        if (!name.empty()) return WSANO_DATA;
        addrs.push_back(htonl(INADDR_LOOPBACK));
    }
    ip = ipN2str(addrs.front());
    if (list != nullptr) {
        for (const uint32_t a : addrs)
            list->push_back(ipN2str(a));
    }
    return 0;
}

int lookupHostAddr(const kelString& host)
{
    kelString ip;
    return lookupHost(host, ip);
}

uint32_t hostToIpH(const kelString& host, uint32_t defaultIp)
{
    kelString ip;
    if (lookupHost(host, ip) != 0) return defaultIp;
    return str2ipH(ip);
}

kelString ipH2str(uint32_t ipH)
{
    return ipN2str(htonl(ipH));
}

kelString ipN2str(uint32_t ipN)
{
    return utf8ToUtf16(kelInetNtoa(ipN));
}

uint32_t str2ipH(const kelString& s)
{
    return ntohl(str2ipN(s));
}

uint32_t str2ipN(const kelString& s)
{
    return kelInetAddr(utf16ToUtf8(s).c_str());
}

bool isMulticastAddrN(uint32_t ipN)
{
    const uint32_t first = ntohl(ipN) >> 24;
    return first >= 224 && first <= 239;
}

bool isMulticastAddr(const kelString& s)
{
    return isMulticastAddrN(str2ipN(s));
}

bool isBroadcastAddrN(uint32_t ipN)
{
    return (ntohl(ipN) & 0xFFu) == 0xFFu;
}

bool isReservedAddrH(uint32_t ipH)
{
    for (const Block& b : kReserved) {
        if ((ipH & b.mask) == b.base) return true;
    }
    return false;
}

int resolvePort(const kelString& s, kelProtoEnt& entry)
{
    const std::string text = utf16ToUtf8(trimText(s));
    if (text.empty()) return -1;
    const int number = decimalPort(text);
    kelProtoEnt found;
    const int err = number >= 0 ? kelGetProtoByNumber(number, found) : kelGetProtoByName(text, found);
    if (err == 0) {
        entry = found;
        return 0;
    }
    if (err == WSANO_DATA && number >= 0) {
        entry = kelProtoEnt{};
        entry.p_proto = static_cast<uint16_t>(number);
        return 0;
    }
    return err;
}

int portFromString(const kelString& s)
{
    kelProtoEnt entry;
    if (resolvePort(s, entry) != 0) return -1;
    return entry.p_proto;
}
