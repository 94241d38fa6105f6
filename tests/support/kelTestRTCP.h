#pragma once
// Scaffolding for tests of the RTCP session and stack: builders of the
// compounds a peer would send, an owner that records its hooks and an
// output that records what would have gone on the wire.

#include "net/rtp/kelRTCPPackets.h"
#include "net/rtp/kelRTCPSession.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

using kelTestBytes = std::vector<uint8_t>;

// A lone RR without blocks, or a lone BYE, from `ssrc` (8 bytes each).
inline kelTestBytes kelTestRTCPRR(uint32_t ssrc)
{
    kelTestBytes b(8);
    kelRTCPWriter w(b.data(), b.size());
    if (!w.beginRR(ssrc)) return {};
    w.closePacket();
    return b;
}

inline kelTestBytes kelTestRTCPBye(uint32_t ssrc)
{
    kelTestBytes b(8);
    kelRTCPWriter w(b.data(), b.size());
    return w.addBYE(ssrc) ? b : kelTestBytes{};
}

// One BYE listing every SSRC of `ssrcs` (at most 31), with no reason.
inline kelTestBytes kelTestRTCPByeOf(const std::vector<uint32_t>& ssrcs)
{
    if (ssrcs.empty() || ssrcs.size() > 31) return {};
    kelTestBytes b{uint8_t(0x80 | ssrcs.size()), 203, 0, uint8_t(ssrcs.size())};
    for (uint32_t ssrc : ssrcs)
        for (int shift = 24; shift >= 0; shift -= 8)
            b.push_back(uint8_t(ssrc >> shift));
    return b;
}

// An SR (NTP 0x11223344.55667788, RTP time 1, 2 packets, 3 octets) and an
// SDES with `cname`.
inline kelTestBytes kelTestRTCPSRWithCname(uint32_t ssrc, const char* cname)
{
    kelTestBytes b(128);
    kelRTCPWriter w(b.data(), b.size());
    if (!w.beginSR(ssrc, kelNTP_timestamp{0x11223344, 0x55667788}, 1, 2, 3) || !w.addSDES(ssrc, cname))
        return {};
    b.resize(w.size());
    return b;
}

// An "_RTT" (or other `name`) APP packet from `ssrc` carrying `rtt`.
inline kelTestBytes kelTestRTCPApp(uint32_t ssrc, uint8_t subtype, const char* name, const kelRTTPayload& rtt)
{
    uint8_t data[kelRTTPayloadSize];
    rtt.write(data);
    kelTestBytes b(32);
    kelRTCPWriter w(b.data(), b.size());
    return w.addAPP(ssrc, subtype, name, data, sizeof data) ? b : kelTestBytes{};
}

// What a side that has not sent RTP puts around a lone packet: an RR
// without blocks and the SDES with `cname`, then `tail` (an APP or a BYE;
// nothing for the CNAME alone).
inline kelTestBytes kelTestRTCPCompound(uint32_t ssrc, const char* cname, const kelTestBytes& tail = {})
{
    kelTestBytes b(8 + rtcpSDESSize(std::string(cname).size()));
    kelRTCPWriter w(b.data(), b.size());
    if (!w.beginRR(ssrc)) return {};
    w.closePacket();
    if (!w.addSDES(ssrc, cname)) return {};
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// Records every owner hook. Thread-safe: stack tests call the hooks from
// the stack's threads.
class kelTestRTCPOwner : public kelRTCPStackOwner
{
public:
    struct Gone
    {
        uint32_t ssrc;
        bool timedOut;
    };

    explicit kelTestRTCPOwner(uint32_t ssrc, std::string cname = "tester@host") : f_ssrc(ssrc), f_cname(cname)
    {}

    uint32_t rtcpSSRC() const noexcept override { return f_ssrc; }
    std::string rtcpCNAME() const override { return f_cname; }
    kelRTCPTransport rtcpTransport() const noexcept override { return transport; }

    void onRTCPReport(const uint8_t* data, size_t size) override
    {
        std::lock_guard<std::mutex> g(guard);
        reports.emplace_back(data, data + size);
    }
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in&, const uint8_t*, size_t) override
    {
        std::lock_guard<std::mutex> g(guard);
        packetSSRCs.push_back(ssrc);
    }
    void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) override
    {
        std::lock_guard<std::mutex> g(guard);
        cnames.push_back(std::to_string(ssrc) + "=" +
                         std::string(reinterpret_cast<const char*>(item.r_data.data()), item.length));
    }
    void onMemberGone(const rtp_site_info* member, bool timedOut) override
    {
        std::lock_guard<std::mutex> g(guard);
        gone.push_back(Gone{member->r_ssrc, timedOut});
    }
    void onIdle(bool timerExpired) override { expiries += timerExpired ? 1 : 0; }
    void onRTCPApp(const sockaddr_in&, uint32_t ssrc, uint8_t, const char* name, const uint8_t*,
                   size_t size) override
    {
        std::lock_guard<std::mutex> g(guard);
        apps.push_back(std::to_string(ssrc) + ":" + std::string(name, 4) + ":" + std::to_string(size));
    }

    kelRTCPTransport transport = kelrtcp_udp;
    std::mutex guard;
    std::vector<kelTestBytes> reports;
    std::vector<uint32_t> packetSSRCs;
    std::vector<std::string> cnames;
    std::vector<Gone> gone;
    std::vector<std::string> apps;
    std::atomic<int> expiries{0};

private:
    uint32_t f_ssrc;
    std::string f_cname;
};

// Records what the session sends instead of sending it; answers with
// `result` (0: sent).
class kelTestRTCPOutput : public kelRTCPOutput
{
public:
    struct Sent
    {
        bool toGroup; // addr was null: the multicast group
        sockaddr_in to;
        kelTestBytes data;
    };

    int sendRTCP(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept override
    {
        std::lock_guard<std::mutex> g(guard);
        sent.push_back(Sent{addr == nullptr, addr ? *addr : sockaddr_in{}, kelTestBytes(data, data + size)});
        return result;
    }
    void rtcpAppSendFailed(int code) noexcept override { failures.push_back(code); }

    int result = 0;
    std::mutex guard;
    std::vector<Sent> sent;
    std::vector<int> failures;
};

// The compound a session with SSRC 0xC0FFEE01 and CNAME "tester@host"
// reports after hearing 0x1111 send sequence numbers 10 ... 19 without 15
// (RTCP from it: an RR, so no LSR): an RR with one block (fraction 1/9 =
// 28/256, 1 lost, highest 19, jitter 0: the packets carried one timestamp
// and arrived at one instant) and the SDES CNAME.
inline const kelTestBytes kelTestGoldenReceiverReport = {
    0x81, 201, 0,    7,    0xC0, 0xFF, 0xEE, 0x01, // RR, one block
    0,    0,   0x11, 0x11,                         // about 0x1111
    28,   0,   0,    1,                            // fraction, cumulative lost
    0,    0,   0,    19,                           // extended highest sequence
    0,    0,   0,    0,                            // jitter
    0,    0,   0,    0,    0,    0,    0,    0,    // LSR, DLSR
    0x81, 202, 0,    5,    0xC0, 0xFF, 0xEE, 0x01, // SDES, one chunk
    1,    11,  't',  'e',  's',  't',  'e',  'r',  '@', 'h', 'o', 's', 't', 0, 0, 0, // end of items, padding
};
