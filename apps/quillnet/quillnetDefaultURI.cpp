#include "apps/quillnet/quillnetDefaultURI.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <string>

bool quillnetIsPrivateIPv4(uint32_t address) noexcept
{
    return (address >> 24) == 10 || (address >> 20) == ((172u << 4) | 1u) ||
           (address >> 16) == ((192u << 8) | 168u);
}

kelString quillnetDefaultURIFor(const std::vector<uint32_t>& addresses)
{
    uint32_t chosen = 0x7F000001u;
    for (uint32_t a : addresses) {
        if (quillnetIsPrivateIPv4(a)) {
            chosen = a;
            break;
        }
    }
    const std::string text = "rtp://" + std::to_string(chosen >> 24) + "." +
                             std::to_string((chosen >> 16) & 0xFF) + "." +
                             std::to_string((chosen >> 8) & 0xFF) + "." + std::to_string(chosen & 0xFF) +
                             ":" + std::to_string(quillnetDefaultPort);
    return kelString(text.begin(), text.end());
}

std::vector<uint32_t> quillnetInterfaceAddresses()
{
    std::vector<uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        addresses.push_back(ntohl(in->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return addresses;
}

kelString quillnetDefaultURI()
{
    return quillnetDefaultURIFor(quillnetInterfaceAddresses());
}
