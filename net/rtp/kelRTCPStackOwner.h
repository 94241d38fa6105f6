#pragma once
// kelRTCPStackOwner: what an RTCP session and the stack around it need of
// the streamer that owns them, and the hooks through which they tell it what
// happened.

#include "core/kelTypes.h"
#include "net/rtp/kelRTCPSiteInfo.h"
#include "net/rtp/kelRTPPayloadTypes.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum kelRTCPTransport : int32_t {
    kelrtcp_udp = 0,
    kelrtcp_multicast = 1,
    kelrtcp_tcp = 2,
};

// The hooks have empty defaults; they are called on the stack's threads (see
// each) with no lock of the session or the stack held, and exceptions they
// raise are caught and dropped.
class kelRTCPStackOwner
{
public:
    virtual ~kelRTCPStackOwner() = default;

    // Own SSRC and the CNAME sent in SDES. Any stack thread.
    virtual uint32_t rtcpSSRC() const noexcept = 0;
    virtual std::string rtcpCNAME() const = 0;
    // The socket kind of the streamer: the stack's socket is of the same kind.
    virtual kelRTCPTransport rtcpTransport() const noexcept { return kelrtcp_udp; }
    // A receiver's bind address (the stack binds there too); empty for
    // others, whose stack binds to any address.
    virtual kelString rtcpBindIP() const { return {}; }
    // The multicast group a receiver joins, and the TTL of multicast sends.
    virtual kelString rtcpGroup() const { return {}; }
    virtual int rtcpTTL() const noexcept { return 1; }
    // The timestamp clock, Hz, of received RTP of payload type `pt`, which
    // the interarrival jitter is counted in; 0 when unknown (no jitter is
    // then measured). Streamer's receive thread.
    virtual uint32_t rtcpClockRate(uint8_t pt) const noexcept { return rtpPayloadClockRate(pt); }
    // True while the streamer has lent its sockets to another part: the
    // receive loop then leaves the socket alone.
    virtual bool rtcpSocketsRented() const noexcept { return false; }

    // Idle thread: a compound report was built and sent to the known
    // members; the owner may send it to its own destinations too. `data`
    // lives during the call.
    virtual void onRTCPReport(const uint8_t* data, size_t size) { (void)data, (void)size; }
    // Receive thread: a whole RTCP datagram, with its first packet's SSRC.
    virtual void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size)
    {
        (void)ssrc, (void)from, (void)packet, (void)size;
    }
    // Receive thread: a CNAME arrived.
    virtual void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) { (void)ssrc, (void)item; }
    // A member said BYE (receive thread, timedOut false) or timed out (idle
    // thread, true). `member` is a copy, valid during the call.
    virtual void onMemberGone(const rtp_site_info* member, bool timedOut) { (void)member, (void)timedOut; }
    // Idle thread, every 100 ms; `timerExpired` when the report timer ran
    // out in this tick.
    virtual void onIdle(bool timerExpired) { (void)timerExpired; }
    // Application-defined packets other than "_RTT" (receive thread).
    virtual void onRTCPApp(const sockaddr_in& from, uint32_t ssrc, uint8_t subtype, const char* name,
                           const uint8_t* data, size_t size)
    {
        (void)from, (void)ssrc, (void)subtype, (void)name, (void)data, (void)size;
    }
};
