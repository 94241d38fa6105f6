#pragma once
// The far end a receiver punches its holes to, played by two plain sockets
// on 127.0.0.1: the RTP port a receiver's URI names and the RTCP port after
// it. It counts the hole packets that reach it (comfort-noise pings at the
// RTP port, compounds with an APP "HELO" at the RTCP port) and sends what a
// transmitter would, from the addresses a transmitter sends from: RTP from
// its RTP port, RTCP from its RTCP port. Used from the test's own thread.

#include "net/rtp/kelRTPHeader.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class kelTestFakeTransmitter
{
public:
    kelTestFakeTransmitter()
        : f_port(kelTestFreeRTPPort()), f_rtp(f_port), f_rtcp(static_cast<uint16_t>(f_port + 1))
    {}

    bool ok() const { return f_port != 0 && f_rtp.ok() && f_rtcp.ok(); }
    uint16_t port() const { return f_port; }
    // The URI a receiver of this transmitter is given.
    kelString uri() const { return kelTestURI(f_port); }

    // Reads what has reached both ports so far and counts it.
    void drain()
    {
        for (std::vector<uint8_t> d = f_rtp.receive(0); !d.empty(); d = f_rtp.receive(0))
            f_pings += isCNPing(d) ? 1 : 0;
        for (std::vector<uint8_t> d = f_rtcp.receive(0); !d.empty(); d = f_rtcp.receive(0))
            f_helos += holdsHELO(d) ? 1 : 0;
    }
    // Hole packets counted since construction (call drain() first).
    int pings() const { return f_pings; }
    int helos() const { return f_helos; }
    // Drains until at least `n` pings were counted; false when they did not
    // come within `timeoutMs`.
    bool waitForPings(int n, uint64_t timeoutMs = kelTestWaitMs)
    {
        return kelTestWaitUntil(
            [&] {
                drain();
                return f_pings >= n;
            },
            timeoutMs);
    }

    // An RTP packet of payload type `pt` from our RTP port to the receiver
    // bound at `receiverPort`.
    bool sendRTP(uint16_t receiverPort, uint32_t ssrc, uint16_t seq, uint8_t pt = 113,
                 const std::vector<uint8_t>& payload = {'x'}) const
    {
        return f_rtp.sendTo(receiverPort, kelTestRTPPacket(pt, seq, payload, 0, ssrc));
    }
    // Any RTCP datagram from our RTCP port to the receiver's RTCP port.
    bool sendRTCP(uint16_t receiverPort, const std::vector<uint8_t>& datagram) const
    {
        return f_rtcp.sendTo(static_cast<uint16_t>(receiverPort + 1), datagram);
    }

    static bool isCNPing(const std::vector<uint8_t>& d)
    {
        return d.size() == kelRTPCNPingSize && d[0] == 0x80 && (d[1] & 0x7F) == kelRTPPayloadCN;
    }
    static bool holdsHELO(const std::vector<uint8_t>& d)
    {
        for (const kelTestRTCPPart& part : kelTestSplitCompound(d))
            if (part.type == 204 && part.bytes.size() >= 12 &&
                std::memcmp(part.bytes.data() + 8, "HELO", 4) == 0)
                return true;
        return false;
    }

private:
    uint16_t f_port;
    kelTestPeer f_rtp;
    kelTestPeer f_rtcp;
    int f_pings = 0;
    int f_helos = 0;
};
