#pragma once
// kelRTPStreamer: the common thread base of the RTP receiver (and, through
// the receiver it owns, of the transmitter): one socket, one optional RTCP
// stack, an SSRC, a CNAME and the notification hooks that derived classes
// override.
//
// Threads: the streamer's own thread (a receiver's receive loop) raises
// onRTPData; the RTCP stack's receive thread raises onRTCPPacket,
// onSDESItem, onRTCPApp and BYE-driven onMemberGone; its idle thread raises
// onIdle, onRTCPReport and time-out-driven onMemberGone. Hooks may run
// concurrently with each other and with the owner's calls; exceptions they
// raise are caught at the thread boundaries and dropped.
//
// Make and free streamers with kelCreate / kelFree: the stop that must come
// before destruction runs in beforeDestruction().

#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/rtp/kelRTCPstack.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class kelSocket;

class kelRTPStreamer : public kelThread, public kelRTCPStackOwner
{
public:
    ~kelRTPStreamer() override;

    // While set, the receive loops (the streamer's and its RTCP stack's)
    // leave their sockets alone and sleep in 10 ms steps, so that another
    // part can use the same sockets. Any thread.
    void rentSockets(bool doRent) noexcept { f_socketNoReading.store(doRent); }
    bool socketsRented() const noexcept { return f_socketNoReading.load(); }
    // The streamer's socket while rented out (null otherwise), for the part
    // that borrows it (a STUN query from the RTP port). It stays valid until
    // the thread stops.
    kelSocket* rentedSocket() const noexcept { return socketsRented() ? f_socket.get() : nullptr; }

    // --- properties ---------------------------------------------------------
    uint32_t _SSRC() const noexcept { return f_ssrc.load(); }
    std::string cname8() const;
    bool isRAW() const noexcept { return f_isRAW.load(); }
    bool isUDP() const noexcept { return f_isUDP; }
    bool isMulticast() const noexcept { return f_isMC; }
    bool noRTCP() const noexcept { return f_noRTCP; }
    bool active() const noexcept { return f_active.load(); }
    intptr_t socketError() const noexcept { return f_socketError.load(); }
    kelString userName() const;
    // The user part of the CNAME, used from the next start on.
    void setUserName(const kelString& name);
    // The RTCP stack, null when RTCP is off or the streamer is raw.
    kelRTCPstack* rtcp() const noexcept { return f_rtcp.get(); }
    intptr_t ttl() const noexcept { return f_ttl; }

    // The clock of the streamer and of its RTCP stack; the system clock until
    // set. `clock` must outlive the streamer. Any thread.
    void setClock(const kelClock& clock) noexcept;
    const kelClock& clock() const noexcept { return f_clock.get(); }
    uint64_t now() const noexcept { return f_clock.nowMs(); }

    // --- hooks (empty here) -------------------------------------------------
    // An accepted RTP packet, or a raw datagram (then `header` points to the
    // payload). The blocks are valid only during the call. Receive thread.
    virtual void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload,
                           size_t payloadSize, size_t packetSize);

    // --- what the RTCP stack asks of its owner --------------------------------
    uint32_t rtcpSSRC() const noexcept override { return f_ssrc.load(); }
    std::string rtcpCNAME() const override { return cname8(); }
    kelRTCPTransport rtcpTransport() const noexcept override;
    int rtcpTTL() const noexcept override { return static_cast<int>(f_ttl); }
    bool rtcpSocketsRented() const noexcept override { return f_socketNoReading.load(); }

    kelString _classID() const override { return u"kelRTPStreamer"; }

protected:
    // `priority` is the thread's. The RTCP stack is made unless `noRTCP` or
    // `isRAW`; it prepares the NTP clock at once when `useNTP`.
    kelRTPStreamer(bool isRAW, bool noRTCP, bool isUDP, bool isMC, intptr_t ttl, bool useNTP,
                   intptr_t priority);

    // Takes the class name as the user name (the most derived class is
    // known only now).
    void afterConstruction() override;
    // Stops the thread, then frees the RTCP stack.
    void beforeDestruction() override;
    // Before the stop is granted, wakes a receive blocked on the socket by
    // sending it one byte from a temporary socket (see selfPing).
    bool grantStop() override;
    // The CNAME of this run: user name "@" computer name.
    void startIn() override;

    // One byte from a temporary UDP socket to our own bound address
    // (127.0.0.1 when bound to any), at most once per stop.
    void selfPing() noexcept;

    void setSocketError(intptr_t code) noexcept { f_socketError.store(code); }

    std::atomic<bool> f_noRTCP;
    std::atomic<bool> f_isRAW;
    std::atomic<bool> f_socketNoReading{false};
    std::atomic<uint32_t> f_ssrc{0};
    std::atomic<uint32_t> f_ssrcParent{0};
    mutable std::mutex f_nameGuard;
    std::string f_cname8;
    kelString f_userName;
    bool f_isUDP;
    bool f_isMC;
    std::atomic<bool> f_pingsockInProgress{false};
    std::atomic<bool> f_pingsockDone{false};
    std::unique_ptr<kelSocket> f_socket;
    // Held around every use of f_socket from outside the streamer's own
    // thread (sends) and around its setup and teardown on that thread.
    std::mutex f_socketGuard;
    std::atomic<intptr_t> f_socketError{0};
    intptr_t f_ttl;
    kelOwned<kelRTCPstack> f_rtcp;
    std::atomic<bool> f_active{false};
    kelClockSlot f_clock;
};
