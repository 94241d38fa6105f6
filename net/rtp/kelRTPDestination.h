#pragma once
// kelRTPDestination: one address a kelRTPTransmitter sends to.
//
// Its scope follows the RTP address: multicast for 224-239.x.x.x (own
// multicast socket, joined at open), broadcast when the last octet is 255
// (own UDP socket with SO_BROADCAST), otherwise unicast, sent through the
// transmitter's shared RTP socket so that replies reach the same port. RTCP
// goes through the transmitter's RTCP stack when it has one.
//
// A destination sees its transmitter only through a kelRTPSendContext: the
// shared sockets, the local binding and the clock of its sign-of-life mark.
//
// The transmitter keeps destinations in its list and read-locks one while
// sending through it; opening, closing and removal take the write lock.
// Sends through the own socket are serialised by the destination.

#include "core/kelObject.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class kelRTPSendContext;
class kelUdpSocket;
class kelMulticastSocket;

enum kelRTPDestScope : intptr_t {
    kelrds_unicast = 0,
    kelrds_broadcast = 1,
    kelrds_multicast = 2,
};

class kelRTPDestination : public kelObject
{
public:
    // `addrRTCP` null: the RTP address with port + 1. Opens at once when
    // `doOpen` (in afterConstruction; make it with kelCreate). `trans`, the
    // context it sends through, must outlive the destination; null leaves
    // it with its own sockets and the system clock only.
    kelRTPDestination(bool dstatic, kelRTPSendContext* trans, const sockaddr_in& addrRTP,
                      const sockaddr_in* addrRTCP, bool doOpen, intptr_t ttl, uint32_t recSSRC);
    ~kelRTPDestination() override;

    // Marks the destination alive and gets its sockets ready. True when open.
    bool openDest() noexcept;
    void closeDest() noexcept;
    // One packet: 10038 when not open, 0 and nothing sent when disabled,
    // else the send result. Any thread, with the destination read-locked.
    int transmit(const uint8_t* data, size_t len, bool isRTCP) noexcept;
    // The RTP (or RTCP) address has `addr`'s IP and, unless `checkIPOnly`,
    // its port when both ports are nonzero.
    bool sameAddr(bool isRTP, const sockaddr_in& addr, bool checkIPOnly) const noexcept;

    kelRTPDestScope scope() const noexcept { return f_scope; }
    const sockaddr_in* addrRTP() const noexcept { return &f_destAddrRTP; }
    const sockaddr_in* addrRTCP() const noexcept { return &f_destAddrRTCP; }
    uint32_t recSSRC() const noexcept { return f_recSSRC.load(); }
    void setRecSSRC(uint32_t ssrc) noexcept { f_recSSRC.store(ssrc); }
    bool enabled() const noexcept { return f_enabled.load(); }
    void setEnabled(bool value) noexcept { f_enabled.store(value); }
    bool dstatic() const noexcept { return f_dstatic; }
    bool isOpen() const noexcept { return f_isOpen.load(); }
    intptr_t ttl() const noexcept { return f_ttl.load(); }
    // Stored and applied to the multicast socket.
    void setTtl(intptr_t ttl) noexcept;
    // Last sign of life (a report about us, or the open), on the context's
    // clock.
    uint64_t lastRRTM() const noexcept { return f_lastRRTM.load(); }
    void setLastRRTM(uint64_t tm) noexcept { f_lastRRTM.store(tm); }
    // A report from the destination's own RTCP address arrived at `tm`.
    void markReported(uint64_t tm) noexcept
    {
        f_lastRRTM.store(tm);
        f_reported.store(true);
    }
    // Whether any report from its own address ever arrived.
    bool reported() const noexcept { return f_reported.load(); }
    // Learnt from a hole packet (not configured): such destinations are
    // bounded in number and the first to make room.
    bool learnt() const noexcept { return f_learnt.load(); }
    void setLearnt(bool value) noexcept { f_learnt.store(value); }

    kelString _classID() const override { return u"kelRTPDestination"; }

protected:
    void afterConstruction() override;

private:
    uint64_t nowMs() const noexcept;

    kelRTPSendContext* f_trans;
    std::unique_ptr<kelMulticastSocket> f_msocket;
    std::unique_ptr<kelUdpSocket> f_bsocket;
    kelString f_mgroup;
    sockaddr_in f_destAddrRTP{};
    sockaddr_in f_destAddrRTCP{};
    kelRTPDestScope f_scope = kelrds_unicast;
    std::atomic<uint32_t> f_recSSRC;
    std::atomic<bool> f_isOpen{false};
    std::atomic<bool> f_enabled{true};
    std::atomic<intptr_t> f_ttl;
    bool f_dstatic;
    std::atomic<uint64_t> f_lastRRTM{0};
    std::atomic<bool> f_reported{false};
    std::atomic<bool> f_learnt{false};
    bool f_openAtCreation;
    // Guards the own sockets: open and close against sends, and sends of
    // several threads against each other.
    std::mutex f_socketGuard;
};
