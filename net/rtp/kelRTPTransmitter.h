#pragma once
// kelRTPTransmitter: builds RTP packets and sends them to a list of
// kelRTPDestination objects. It is not a thread: transmit, retransmit and
// destination management run on the caller's thread. It owns an internal
// kelRTPReceiver bound to its local port, so one UDP socket sends and
// receives, and RTCP flows both ways through the receiver's RTCP stack.
//
// Destinations come from the creation (a remote peer or multicast group),
// from destAdd, and from the network: a comfort-noise packet (payload type
// 13) opens a path through address translators and makes its sender a
// dynamic destination. So does what a standard endpoint sends from the port
// it wants our media at: RTP of any payload type, a STUN Binding check, or
// RTCP from the odd port above it (then RTP goes to the port below); not on
// a multicast or translating transmitter, whose senders are not its
// receivers. Such learnt destinations are bounded in number
// (maxLearntDestinations; the one silent the longest makes room) and in
// rate (learntDestinationsPerSecond), so forged hole packets cannot turn
// the transmitter into an amplifier. Destinations whose own RTCP address
// sends no reports about us for 25 s are closed (static) or removed
// (dynamic); multicast and broadcast destinations are exempt, since reports
// on them come from unicast addresses of the members.
//
// Hooks (virtual, below) run on the receiver's thread (onRTPData) and on the
// RTCP stack's threads (the others), concurrently with the caller's sends.
// The internal receiver reaches them as its kelRTPReceiverOwner; each
// destination sees the transmitter only as its kelRTPSendContext.
//
// Make with kelCreate, free with kelFree (the free closes first).

#include "core/kelCreate.h"
#include "core/kelList.h"
#include "core/kelObject.h"
#include "core/kelTypes.h"
#include "net/rtp/kelRTCPstack.h"
#include "net/rtp/kelRTPDestination.h"
#include "net/rtp/kelRTPHeader.h"
#include "net/rtp/kelRTPPayloadTypes.h"
#include "net/rtp/kelRTPReceiver.h"
#include "net/rtp/kelRTPSendContext.h"

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class kelRTPTransmitter;

// Asked before a destination is added from the network or by destAdd; set
// `accept` false to refuse it. Runs on the thread that adds.
using kelRTPOnAddDestination =
    std::function<void(kelRTPTransmitter* sender, bool fromHole, const sockaddr_in& destRTP,
                       const sockaddr_in& destRTCP, bool& accept)>;

class kelRTPTransmitter : public kelObject, public kelRTPSendContext, public kelRTPReceiverOwner
{
public:
    // `bind2ip` / `mgroup` and `bind2port` choose local or remote: a local
    // address (0, loopback, one of this machine's, or port 0) binds the
    // internal receiver there; a remote one (a peer or, with `mgroup`, a
    // group) becomes a static destination (RTP port, RTCP port + 1) and the
    // receiver binds to any port.
    kelRTPTransmitter(intptr_t payload, bool isRAW, bool noRTCP, const kelString& bind2ip,
                      const kelString& bind2port, const kelString& mgroup, intptr_t ttl);
    ~kelRTPTransmitter() override;

    // Starts the receiver and opens the destinations; returns active().
    // Caller's thread (not a hook).
    bool open() noexcept;
    // Closes the destinations and stops the receiver; with `clearAllDest`
    // the destinations are removed too.
    void close(bool clearAllDest = false) noexcept;
    bool active() const noexcept;
    void setActive(bool value) noexcept;

    // Builds an RTP packet (or, raw, sends `data` as it is) and sends it to
    // `addr`, or to every destination. `samplesDelta` advances the
    // timestamp in units of the sampling rate; `tpayload` < 0 uses the
    // configured payload type. Returns the bytes sent (summed over the
    // destinations); 0 while paused or closed.
    intptr_t transmit(uint32_t samplesDelta, const uint8_t* data, size_t len, bool marker = false,
                      intptr_t tpayload = -1, const sockaddr_in* addr = nullptr,
                      const uint8_t* prebufData = nullptr, size_t prebufDataLen = 0,
                      bool updateWeSent = true) noexcept;
    // Sends a finished packet to every enabled destination; the sum of the
    // bytes of successful sends. With `updateWeSent` the packet counts once
    // in our sender reports, whatever the number of destinations.
    intptr_t retransmit(const uint8_t* data, size_t len, bool updateWeSent, bool isRTCP) noexcept;
    // One packet to one address: RTP through the receiver's socket, RTCP
    // through the RTCP stack. 0 when paused; 10038 without an address or a
    // receiver; else the send result (errors are kept in socketError).
    int sendTo(const sockaddr_in* addr, const uint8_t* data, size_t len, bool isRTCP,
               bool ownPacket) noexcept;

    // --- destinations -----------------------------------------------------
    // Each returns the new destination's index, or -1 (bad address, the RTP
    // address is present already, or acceptDestination refused).
    intptr_t destAdd(bool dstatic, const kelString& remoteHost, const kelString& remotePortRTP,
                     const kelString& remotePortRTCP, bool doOpen, intptr_t ttl = 1, uint32_t recSSRC = 0,
                     bool fromHole = false) noexcept;
    intptr_t destAdd(bool dstatic, const sockaddr_in* addrRTP, const sockaddr_in* addrRTCP, bool doOpen,
                     bool fromHole = false, uint32_t recSSRC = 0) noexcept;
    // "rtp://host:port": RTCP on port + 1.
    intptr_t destAdd(bool dstatic, const kelString& uri, bool doOpen, intptr_t ttl = 1,
                     uint32_t recSSRC = 0) noexcept;
    // Finds the destination by the URI's address and port; enabling a
    // closed one opens it. False when there is none.
    bool destEnable(const kelString& uri, bool doEnable) noexcept;
    // The destination, locked (read when `ro`); release it with
    // kelObject::releaseOf. Null when absent or not lockable in time.
    kelRTPDestination* destGetAcq(intptr_t index, bool ro) noexcept;
    kelRTPDestination* destGetAcq(const sockaddr_in& addrRTP, bool ro) noexcept;
    intptr_t destGetCount() const noexcept { return f_destinations.count(); }
    bool destHas(const sockaddr_in& addrRTP) noexcept;
    bool destRemove(const kelString& uri) noexcept;
    bool destRemove(const sockaddr_in& addrRTP) noexcept;
    bool destRemove(kelRTPDestination* dest) noexcept;

    void setNewSSRC(uint32_t newssrc) noexcept;

    // --- properties ---------------------------------------------------------
    intptr_t payload() const noexcept { return f_payload.load(); }
    // Sets the payload type and its clock: 10 and 11 count at 44100 Hz, 14
    // (MPEG audio) converts to its 90 kHz clock from the stream's sampling
    // rate (44100 until setSamplingRate tells it), every other type counts
    // at 8000 Hz, one tick per sample (real-time text: per UTF-16 unit).
    void setPayload(intptr_t payload) noexcept;
    uint32_t samplingRate() const noexcept { return f_sr.load(); }
    // The stream's real sampling rate, which only the MPEG audio clock
    // needs (other types count samples at their clock rate). 0 forgets it.
    void setSamplingRate(uint32_t rate) noexcept;
    uint32_t RTPclockRate() const noexcept { return f_RTPclockRate.load(); }
    uint32_t rtpSendClockRate() const noexcept override { return RTPclockRate(); }
    intptr_t socketError() const noexcept { return f_socketError.load(); }
    uint32_t _SSRC() const noexcept { return f_receiver ? f_receiver->_SSRC() : 0; }
    uint32_t timestamp() const noexcept { return f_timestamp.load(); }
    bool isRAW() const noexcept { return f_isRAW; }
    bool isTranslator() const noexcept { return f_isTranslator.load(); }
    void setIsTranslator(bool value) noexcept { f_isTranslator.store(value); }
    const kelString& bind2ip() const noexcept override { return f_bind2ip; }
    const kelString& bind2port() const noexcept override { return f_bind2port; }
    kelRTPReceiver* receiver() const noexcept { return f_receiver.get(); }
    kelRTCPstack* rtcp() const noexcept { return f_receiver ? f_receiver->rtcp() : nullptr; }
    bool rtpPing() const noexcept { return f_rtpPing.load(); }
    void setRtpPing(bool value) noexcept { f_rtpPing.store(value); }
    bool paused() const noexcept { return f_paused.load(); }
    void setPaused(bool value) noexcept { f_paused.store(value); }
    intptr_t ttl() const noexcept { return f_ttl; }
    // At most this many destinations learnt from hole packets (at least 1).
    intptr_t maxLearntDestinations() const noexcept { return f_maxLearnt.load(); }
    void setMaxLearntDestinations(intptr_t value) noexcept
    {
        f_maxLearnt.store(std::max<intptr_t>(value, 1));
    }
    // At most this many new learnt destinations in one second of the clock
    // (at least 1).
    intptr_t learntDestinationsPerSecond() const noexcept { return f_learntRate.load(); }
    void setLearntDestinationsPerSecond(intptr_t value) noexcept
    {
        f_learntRate.store(std::max<intptr_t>(value, 1));
    }
    // Hole packets from new addresses that were turned away: over the rate,
    // or with every learnt destination still reporting.
    uint64_t holesRefused() const noexcept { return f_holesRefused.load(); }
    // Set before open; runs on the thread that adds a destination.
    void setOnAddDest(kelRTPOnAddDestination handler) { f_onAddDest = std::move(handler); }

    // The clock of the keep-alive, the receiver and its RTCP stack; the
    // system clock until set. `clock` must outlive the transmitter.
    void setClock(const kelClock& clock) noexcept;
    const kelClock& clock() const noexcept override
    {
        return f_receiver ? f_receiver->clock() : kelClock::system();
    }
    uint64_t now() const noexcept { return clock().nowMs(); }

    // --- hooks ------------------------------------------------------------------
    // A compound report of our stack: sent on to the destinations whose RTCP
    // address the stack does not report to itself.
    void onRTCPReport(const uint8_t* data, size_t size) override;
    void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override;
    void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) override;
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) override;
    void onMemberGone(const rtp_site_info* member, bool timedOut) override;
    void onIdle(bool timerExpired) override;
    void onRTCPApp(const sockaddr_in& from, uint32_t ssrc, uint8_t subtype, const char* name,
                   const uint8_t* data, size_t size) override;
    void onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size) override;
    // Asks onAddDest (accept preset to true); true without a handler.
    virtual bool acceptDestination(const sockaddr_in& destRTP, const sockaddr_in& destRTCP, bool fromHole);

    kelString _classID() const override { return u"kelRTPTransmitter"; }

protected:
    virtual bool doOpen();
    virtual void doClose(bool clearAllDest);
    void beforeDestruction() override;

    // The keep-alive: marks destinations that `reporterSSRC` (at `from`)
    // reported about us in `packet`, then closes or removes the silent ones.
    // Without a packet it runs at most every 6 s.
    void checkDestinations(uint32_t reporterSSRC, const sockaddr_in* from, const uint8_t* packet,
                           size_t size) noexcept;

private:
    // The rest of the destinations' send context: the receiver's socket
    // for RTP, the RTCP stack's for RTCP. Reached only through the context.
    int sendRTPDatagram(const sockaddr_in& to, const uint8_t* data, size_t size) noexcept override;
    bool hasRTCPSocket() const noexcept override { return rtcp() != nullptr; }
    int sendRTCPDatagram(const sockaddr_in& to, const uint8_t* data, size_t size) noexcept override;

    bool isLocalBinding(const kelString& address, const kelString& port) const;
    void answerWithPing(uint32_t ssrc) noexcept;
    // Whether media, STUN and reports from a peer make it a destination
    // (comfort-noise pings always do).
    bool learnsFromPeers() const noexcept;
    // Makes the peer at `rtpAddr` a learnt destination, within the bound
    // and the rate. Its RTCP address is `rtcpFrom`, or the one its SSRC
    // reports from on that host, or the RTP port + 1.
    void learnFrom(const sockaddr_in& rtpAddr, const sockaddr_in* rtcpFrom, uint32_t ssrc) noexcept;
    // A report from a peer whose RTP was not heard: RTP on the port below.
    void learnFromReport(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) noexcept;
    // Removes the learnt destination of `ssrc` on the host of `rtpAddr`
    // at another RTP port. Called under f_learnGuard.
    void dropLearntOf(uint32_t ssrc, const sockaddr_in& rtpAddr) noexcept;
    // Room for one more learnt destination within the rate and the bound;
    // drops the learnt destination silent the longest when full.
    bool admitLearnt() noexcept;
    void closeOrRemove(const std::vector<kelRTPDestination*>& gone) noexcept;
    intptr_t indexOfDest(const sockaddr_in& addrRTP, bool checkPort) noexcept;

    bool f_isRAW;
    kelString f_bind2ip;
    kelString f_bind2port;
    // Guards the packet being built and the running timestamp.
    std::mutex f_buildGuard;
    rtp_hdr f_hdr;
    std::atomic<uint32_t> f_timestamp{0};
    std::vector<uint8_t> f_sendBuf;
    std::atomic<bool> f_isTranslator{false};
    std::atomic<intptr_t> f_socketError{0};
    std::atomic<bool> f_paused{false};
    intptr_t f_ttl;
    std::atomic<intptr_t> f_payload{0};
    std::atomic<uint32_t> f_RTPclockRate{8000};
    std::atomic<uint32_t> f_sr{8000};
    std::atomic<uint32_t> f_streamRate{0};
    kelObjectList f_destinations{true, false};
    std::atomic<uint64_t> f_lastDestTOCheckTM{0};
    std::atomic<bool> f_rtpPing{true};
    std::atomic<uint64_t> f_rtpPingTM{0};
    std::atomic<intptr_t> f_maxLearnt{16};
    std::atomic<intptr_t> f_learntRate{4};
    std::atomic<uint64_t> f_holesRefused{0};
    // The rate window of learnt destinations: its start and its count.
    // Guarded by f_learnGuard, with the admission it decides.
    std::mutex f_learnGuard;
    uint64_t f_learnWindow = 0;
    intptr_t f_learntInWindow = 0;
    kelOwned<kelRTPReceiver> f_receiver;
    kelRTPOnAddDestination f_onAddDest;
    // Serialises open and close.
    std::mutex f_stateGuard;
    // Set by an open that started the receiver, until the close.
    std::atomic<bool> f_opened{false};
};
