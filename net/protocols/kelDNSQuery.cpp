#include "net/protocols/kelDNSQuery.h"

#include "core/kelByteOrder.h"
#include "core/kelUtf.h"
#include "net/protocols/kelDNSWire.h"
#include "net/sockets/kelSockets.h"
#include "platform/kelDnsServers.h"

#include <arpa/inet.h>

namespace {

// Datagrams judged per pass, so a flood cannot hold the thread.
constexpr int kDatagramsPerPass = 64;

} // namespace

kelDNSQuery::kelDNSQuery(uint16_t id, std::vector<std::string> dnsServers,
                         const std::vector<std::string>& resources, int qtype, int opCode, int qClass,
                         bool recurse, kelDNS_transport transport)
    : f_id(id), f_dnsServers(std::move(dnsServers)), f_qtype(qtype), f_opCode(opCode), f_qClass(qClass),
      f_recurse(recurse), f_transport(transport)
{
    std::vector<uint8_t> msg;
    f_reqSize = dnsBuildRequest(id, opCode, recurse, resources, static_cast<uint16_t>(qtype),
                                static_cast<uint16_t>(qClass), msg, &f_resources);
    f_req.resize(2);
    kelStoreBE16(f_req.data(), static_cast<uint16_t>(f_reqSize));
    f_req.insert(f_req.end(), msg.begin(), msg.end());
}

kelDNSQuery::~kelDNSQuery() = default;

kelDNSRR* kelDNSQuery::getRR(intptr_t rindex, intptr_t index) const noexcept
{
    if (index < 0 || index > 3 || rindex < 0) return nullptr;
    const auto& s = f_sections.s[index];
    return static_cast<size_t>(rindex) < s.size() ? s[static_cast<size_t>(rindex)].get() : nullptr;
}

intptr_t kelDNSQuery::count(intptr_t index) const noexcept
{
    return index >= 0 && index <= 3 ? static_cast<intptr_t>(f_sections.s[index].size()) : 0;
}

bool kelDNSQuery::canSwitch(bool viaTcp) const noexcept
{
    return (f_transport == kelDnsTR_UDP_then_TCP && !viaTcp) ||
           (f_transport == kelDnsTR_TCP_then_UDP && viaTcp);
}

kelDNSVerdict kelDNSQuery::takeMessage(const uint8_t* msg, size_t len, bool viaTcp) noexcept
{
    try {
        if (!dnsAnswersRequest(req(), f_reqSize, msg, len)) return kelDNSNoAnswer;
        kelDNS_HDR hdr;
        dnsReadHeader(msg, len, hdr);
        const int rcode = hdr.rcode();
        // Server failure, not implemented, refused: the other transport may
        // fare better; a truncated datagram will come whole over TCP.
        if (((!viaTcp && hdr.truncated()) || rcode == 2 || rcode == 4 || rcode == 5) && canSwitch(viaTcp)) {
            f_respCode = rcode;
            return kelDNSStartOver;
        }
        // Records point into the kept copy, so parse that one.
        std::vector<uint8_t> copy(msg, msg + len);
        kelDNSSections sections;
        if (!dnsParseMessage(copy.data(), copy.size(), sections)) return kelDNSNoAnswer;
        f_buf = std::move(copy);
        for (int k = 0; k < 4; ++k)
            f_sections.s[k] = std::move(sections.s[k]);
        f_resp = f_buf.data();
        f_respSize = f_buf.size();
        f_respCode = rcode;
        f_status = 0;
        return kelDNSAnswered;
    } catch (...) {
        return kelDNSNoAnswer;
    }
}

bool kelDNSQuery::serverAddr(sockaddr_in& addr) noexcept
{
    if (f_dnsServers.empty()) return false;
    const std::string& entry = f_dnsServers.front();
    std::string host;
    uint16_t port = kelDnsDefaultPort;
    if (!kelSplitDnsServer(entry, host, port)) {
        // A name, not an address: resolve it (its error is the status).
        const size_t colon = entry.find(':');
        kelString ip;
        const int err = lookupHost(utf8ToUtf16(entry.substr(0, colon)), ip);
        if (err != 0) {
            f_status = err;
            return false;
        }
        host = utf16ToUtf8(ip);
        if (colon != std::string::npos) {
            std::string dummy;
            if (!kelSplitDnsServer(host + entry.substr(colon), dummy, port)) {
                f_status = -3;
                return false;
            }
        }
    }
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        f_status = -3;
        return false;
    }
    return true;
}

bool kelDNSQuery::issue(uint64_t nowMs) noexcept
{
    if (f_issuedCount >= kelDNSMaxAttempts) {
        f_status = -3;
        return false;
    }
    switch (f_transport) {
    case kelDnsTR_UDP:
        return issueUdp(nowMs);
    case kelDnsTR_TCP:
        return issueTcp(nowMs);
    case kelDnsTR_UDP_then_TCP:
        return f_sockU ? issueTcp(nowMs) : issueUdp(nowMs);
    case kelDnsTR_TCP_then_UDP:
        return f_sockT ? issueUdp(nowMs) : issueTcp(nowMs);
    }
    f_status = -3;
    return false;
}

bool kelDNSQuery::issueUdp(uint64_t nowMs) noexcept
{
    ++f_issuedCount;
    f_queryWasTCP = false;
    f_sockT.reset();
    f_buf.clear();
    if (!f_sockU) {
        f_sockU = std::make_unique<kelUdpSocket>();
        if (const int err = f_sockU->bindSocketToPort(0); err != 0) {
            f_status = err;
            return false;
        }
    }
    if (!serverAddr(f_serverAddr)) return false;
    if (const int err = f_sockU->sendto(f_serverAddr, req(), static_cast<uint32_t>(f_reqSize), 0, 200, false);
        err != 0) {
        f_status = err;
        return false;
    }
    f_timeout = nowMs;
    return true;
}

bool kelDNSQuery::issueTcp(uint64_t nowMs) noexcept
{
    ++f_issuedCount;
    f_queryWasTCP = true;
    f_sockU.reset();
    f_buf.clear();
    // A new connection for every attempt: the stream of an earlier one may
    // hold the rest of an old answer.
    f_sockT = std::make_unique<kelTcpSocket>();
    if (!serverAddr(f_serverAddr)) return false;
    if (const int err = f_sockT->connect(&f_serverAddr); err != 0) {
        f_status = err;
        return false;
    }
    if (!f_sockT->okToWrite(200) ||
        f_sockT->send(f_req.data(), static_cast<uint32_t>(2 + f_reqSize), true) != 0) {
        f_status = kelWSAGetLastError() != 0 ? kelWSAGetLastError() : -1;
        return false;
    }
    f_timeout = nowMs;
    return true;
}

int kelDNSQuery::pollFd() const noexcept
{
    if (f_queryWasTCP) return f_sockT ? static_cast<int>(f_sockT->handle()) : -1;
    return f_sockU ? static_cast<int>(f_sockU->handle()) : -1;
}

kelDNSVerdict kelDNSQuery::receive(std::vector<uint8_t>& scratch) noexcept
{
    return f_queryWasTCP ? receiveTcp() : receiveUdp(scratch);
}

kelDNSVerdict kelDNSQuery::receiveUdp(std::vector<uint8_t>& scratch) noexcept
{
    if (!f_sockU) return kelDNSNoAnswer;
    if (scratch.size() < kelDNSMessageMax) scratch.resize(kelDNSMessageMax);
    for (int i = 0; i < kDatagramsPerPass; ++i) {
        sockaddr_in from{};
        const int got =
            f_sockU->recvfrom(&from, scratch.data(), static_cast<int>(scratch.size()), false, 0, 0);
        if (got < 0) return kelDNSNoAnswer;
        // Each datagram stands alone, and only the server asked may answer.
        if (from.sin_addr.s_addr != f_serverAddr.sin_addr.s_addr || from.sin_port != f_serverAddr.sin_port)
            continue;
        const kelDNSVerdict v = takeMessage(scratch.data(), static_cast<size_t>(got), false);
        if (v != kelDNSNoAnswer) return v;
    }
    return kelDNSNoAnswer;
}

kelDNSVerdict kelDNSQuery::receiveTcp() noexcept
{
    if (!f_sockT) return kelDNSNoAnswer;
    try {
        for (int i = 0; i < kDatagramsPerPass; ++i) {
            // Read only up to the end of the message being framed: the
            // buffer never holds more than a prefix and 65535 bytes.
            size_t want = 2;
            if (f_buf.size() >= 2) want = 2 + kelLoadBE16(f_buf.data());
            if (f_buf.size() < want) {
                if (!f_sockT->okToRead(0)) return kelDNSNoAnswer;
                const size_t have = f_buf.size();
                f_buf.resize(want);
                uint32_t size = static_cast<uint32_t>(want - have);
                const int rc = f_sockT->read(f_buf.data() + have, size, 0, true);
                f_buf.resize(have + (rc == 0 ? size : 0));
                if (rc != 0 || size == 0) return kelDNSClosed;
                continue;
            }
            if (want == 2) { // a zero length: nothing to judge
                f_buf.clear();
                continue;
            }
            std::vector<uint8_t> msg(f_buf.begin() + 2, f_buf.begin() + static_cast<ptrdiff_t>(want));
            f_buf.clear();
            const kelDNSVerdict v = takeMessage(msg.data(), msg.size(), true);
            if (v != kelDNSNoAnswer) return v;
        }
    } catch (...) {
        f_buf.clear();
    }
    return kelDNSNoAnswer;
}

bool kelDNSQuery::failOver() noexcept
{
    bool secondTried = true;
    if (f_transport == kelDnsTR_UDP_then_TCP) secondTried = f_sockT != nullptr;
    if (f_transport == kelDnsTR_TCP_then_UDP) secondTried = f_sockU != nullptr;
    f_timeout = 0;
    if (f_status == -3) return false;
    if (!secondTried) {
        f_status = 0;
        return true;
    }
    if (f_dnsServers.size() >= 2) {
        f_dnsServers.erase(f_dnsServers.begin());
        // The next server starts with the first transport again.
        f_sockU.reset();
        f_sockT.reset();
        f_buf.clear();
        f_status = 0;
        return true;
    }
    return false;
}
