#pragma once
// kelRTPReceiver: binds (UDP, multicast) or connects / listens (TCP) its
// socket, reads datagrams or the TCP stream on its own thread, checks and
// strips RTP headers, runs the RTCP bookkeeping and hands payloads to
// onRTPData.
//
// The receive loop waits in poll() on the socket and the thread's wake
// descriptor, so a stop request ends it at once. TCP is always raw (the
// stream carries no packet boundaries). On UDP, STUN goes to onSTUN and
// RTCP (from rtcp-mux peers) to the RTCP stack, or is dropped without one;
// other input that is not RTP turns the receiver raw after five such
// datagrams in a row, unless RTP came first (a stream that sent RTP stays
// RTP whatever else arrives).
//
// A receiver told where its transmitter sends from (setExpectedSource)
// takes RTP only from there, and only from one SSRC, the first heard: the
// rest is counted as foreign and dropped, so a stranger's packet can
// neither speak in the stream nor decide its format. A new SSRC from the
// transmitter's address takes over when the current one said BYE or has
// sent nothing for a second (a restarted transmitter; onTransmitterChanged
// tells). The transmitter's packets pass a short reorder window
// (kelRTPReorderWindow): a packet ahead of a missing one waits for it up to
// 60 ms or three later packets (text, which comes seldom and can wait, up
// to a second), and a packet already delivered is dropped. Unless bind2ip
// names an address (empty and "0.0.0.0" name none), such a unicast receiver
// binds the local address that routes to the transmitter, not every
// interface; its RTCP socket binds the same.
//
// A receiver that belongs to a kelRTPTransmitter shares its socket with it
// (one UDP port both sends and receives) and forwards every hook to its
// owner's hook of the same name (kelRTPReceiverOwner, below) after its own
// (empty) work.
//
// Make with kelCreate, free with kelFree. start() binds and starts the RTCP
// stack (startIn runs before start returns); stop() ends the loop, closes
// the socket and stops the stack.

#include "net/rtp/kelRTPHeader.h"
#include "net/rtp/kelRTPReorderWindow.h"
#include "net/rtp/kelRTPStreamer.h"

#include <atomic>
#include <vector>

class kelTcpSocket;

// The hooks a receiver passes on to the object it belongs to (the
// transmitter whose socket it shares). Each runs on the thread that raised
// the receiver's hook of the same name (see kelRTPStreamer), after the
// receiver's own work; the empty defaults let an owner take only what it
// needs.
class kelRTPReceiverOwner
{
public:
    virtual ~kelRTPReceiverOwner() = default;

    // The clock rate, Hz, of the timestamps in the RTP the owner sends
    // through the receiver's socket; 0 when unknown. Any thread.
    virtual uint32_t rtpSendClockRate() const noexcept { return 0; }

    virtual void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload,
                           size_t payloadSize, size_t packetSize)
    {
        (void)from, (void)header, (void)payload, (void)payloadSize, (void)packetSize;
    }
    virtual void onRTCPReport(const uint8_t* data, size_t size) { (void)data, (void)size; }
    virtual void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size)
    {
        (void)ssrc, (void)from, (void)packet, (void)size;
    }
    virtual void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) { (void)ssrc, (void)item; }
    virtual void onMemberGone(const rtp_site_info* member, bool timedOut) { (void)member, (void)timedOut; }
    virtual void onIdle(bool timerExpired) { (void)timerExpired; }
    // A STUN message that arrived at the receiver's socket; `data` lives
    // during the call only.
    virtual void onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size)
    {
        (void)from, (void)data, (void)size;
    }
    virtual void onRTCPApp(const sockaddr_in& from, uint32_t ssrc, uint8_t subtype, const char* name,
                           const uint8_t* data, size_t size)
    {
        (void)from, (void)ssrc, (void)subtype, (void)name, (void)data, (void)size;
    }
};

class kelRTPReceiver : public kelRTPStreamer
{
public:
    // `bind2port`: local port (UDP, multicast, TCP server) or the remote
    // port (TCP client); "0" or empty for any. `ip`: the remote host (TCP
    // client), the multicast group, or empty. `bind2ip`: local address,
    // empty for any. `transmitter`: the owner whose hooks get ours, or null;
    // it must outlive the receiver.
    // TCP (`isUDP` false) forces raw mode; a TCP receiver listens when `ip`
    // is empty or "0.0.0.0", otherwise it connects to `ip`.
    kelRTPReceiver(const kelString& bind2port, const kelString& ip, bool isRAW, const kelString& bind2ip,
                   kelRTPReceiverOwner* transmitter, bool isUDP, bool noRTCP, intptr_t ttl);
    // A receiver without socket and RTCP, fed through processDatagram by its
    // owner.
    explicit kelRTPReceiver(bool isRAW);
    ~kelRTPReceiver() override;

    // The 13-byte comfort-noise ping (payload type 13) to `addr` through our
    // socket, numbered by our RTCP stack's counter when we belong to a
    // transmitter (its media are numbered from the same counter) or else
    // 1, 2, 3 ...: 10038 without a socket, 0 and nothing sent for IP 0, else the
    // send result (an error is also kept in socketError). Any thread.
    int sendRTP_CN_To(const sockaddr_in& addr) noexcept;
    // One datagram through our socket, with a write check of `checkMs`:
    // 0, 10038 without an open socket, or the send error. Any thread.
    int sendDatagram(const sockaddr_in& addr, const uint8_t* data, size_t size, int64_t checkMs) noexcept;
    // The same datagram to each of `count` addresses in as few system calls
    // as it takes; `sent` gets how many went. 0 or the last error.
    int sendDatagrams(const sockaddr_in* addrs, size_t count, const uint8_t* data, size_t size,
                      int64_t checkMs, size_t& sent) noexcept;
    // The SSRC of the next start; 0 for a random one.
    void setNewSSRC(uint32_t newssrc) noexcept { f_ssrcParent.store(newssrc); }
    // Tells the RTCP stack about an RTP packet sent from our socket.
    void onRTPSent(const sockaddr_in& addr, const uint8_t* packet, size_t size) noexcept;

    // Runs a received datagram through the checks and hooks of the receive
    // loop: the one entry of every datagram, whatever carried it. The
    // receive thread, or the owner of a socketless receiver.
    void processDatagram(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept;

    // --- the transmitter --------------------------------------------------
    // Where the stream's transmitter sends from: `host` (a name or an
    // address) and `port` ("0" or empty: any port of that host). An empty
    // host or "0.0.0.0" clears it (any source, no SSRC lock, no reorder
    // window). For a multicast receiver the address is the group: only the
    // SSRC lock and the window apply. Takes effect at the next start.
    void setExpectedSource(const kelString& host, const kelString& port);
    // A payload type that carries text besides 113 (the redundant text
    // type of an SDP), whose packets may wait longer for a missing one; -1
    // for none. Any thread.
    void setTextPayloadType(intptr_t pt) noexcept { f_textPT.store(pt); }
    // The SSRC taken as the transmitter's; 0 before one was heard.
    uint32_t transmitterSSRC() const noexcept { return f_txSSRC.load(); }
    // Datagrams dropped because they came from another address or SSRC.
    uint64_t foreignCount() const noexcept { return f_foreign.load(); }
    // The transmitter's packets dropped as already delivered, and as
    // arriving after their turn was given up.
    uint64_t duplicateCount() const noexcept { return f_duplicates.load(); }
    uint64_t lateCount() const noexcept { return f_late.load(); }
    // The transmitter's packets waiting in the reorder window.
    size_t waitingCount() const noexcept { return f_waiting.load(); }
    // Datagrams that were not RTP, dropped after RTP had been seen.
    uint64_t garbageCount() const noexcept { return f_garbage.load(); }
    // The local address bound by the last start ("0.0.0.0" for any).
    kelString boundIP() const;

    // --- properties ---------------------------------------------------------
    kelString bind2port() const;
    void setBind2port(const kelString& port);
    kelString bind2ip() const;
    void setBind2ip(const kelString& ip);
    // The local port actually bound, "<none>" before.
    kelString portLocal() const;
    bool isServer() const noexcept { return f_isServer; }
    kelRTPReceiverOwner* transmitter() const noexcept { return f_transmitter; }
    // Consecutive datagrams that were not RTP.
    intptr_t brokenCount() const noexcept { return f_broken.load(); }

    // --- hooks ----------------------------------------------------------------
    // A member that has sent no RTP yet, at each expiry of the report timer;
    // null when there are no members. Idle thread. Empty here.
    virtual void onMemberSilent(const rtp_site_info* member);
    // A STUN message that arrived where RTP is read (a peer's connectivity
    // check, or the answer to a request sent from our socket). The receive
    // thread, or whoever feeds processDatagram; `data` lives during the
    // call only, and the hook must not block. Here it goes to the owner
    // (a transmitter learns its sender from it), or is dropped.
    virtual void onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size);
    // The transmitter's SSRC changed from `oldSSRC` to `newSSRC` (a
    // restarted transmitter). The receive thread, before the new SSRC's
    // first packet is delivered; must not block. Empty here.
    virtual void onTransmitterChanged(uint32_t oldSSRC, uint32_t newSSRC);

    void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override;
    void onRTCPReport(const uint8_t* data, size_t size) override;
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) override;
    void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) override;
    void onMemberGone(const rtp_site_info* member, bool timedOut) override;
    void onIdle(bool timerExpired) override;
    void onRTCPApp(const sockaddr_in& from, uint32_t ssrc, uint8_t subtype, const char* name,
                   const uint8_t* data, size_t size) override;

    kelString rtcpBindIP() const override { return boundIP(); }
    kelString rtcpGroup() const override;

    kelString _classID() const override { return u"kelRTPReceiver"; }

protected:
    void startIn() override;
    intptr_t execute(uintptr_t globalIndex) override;
    void startOut() override;

private:
    void bindUdp() noexcept;
    void startRTCP() noexcept;
    // One poll-and-read round; the byte count, 0 for nothing.
    int receiveUdp(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept;
    int receiveTcp(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept;
    void setPortLocal(const kelString& port);
    // The address to bind: bind2ip when it names one, else the local
    // address that routes to the expected transmitter, else bind2ip as set
    // (any).
    kelString chooseBindIP();
    void resolveExpectedSource() noexcept;
    bool fromTransmitterAddress(const sockaddr_in& from) const noexcept;
    // A datagram that is not RTP.
    void notRTP(const sockaddr_in& from) noexcept;
    // Whether the packet's SSRC is (or now becomes) the transmitter's.
    bool acceptSSRC(uint32_t ssrc, const sockaddr_in& from);
    // Whether the session heard a BYE from `ssrc`, or no longer knows it.
    bool saidBye(uint32_t ssrc) noexcept;
    // An RTP packet of the transmitter's, through the window.
    void fromTransmitter(const sockaddr_in& from, const uint8_t* data, size_t size,
                         const kelRTPPacketInfo& info);
    void deliver(const sockaddr_in& from, const uint8_t* data, size_t size);
    // Hands out what the window holds whose turn has come.
    void deliverReady();
    // How long the receive loop may wait before the window needs it.
    int64_t windowWait(int64_t wait) const noexcept;
    // A new SSRC from the transmitter's address that may not take over yet
    // (the old one's BYE can still be on its way on the RTCP socket): its
    // packets are kept, and go through the window once it does take over,
    // so the first text of a restarted transmitter is not lost.
    void keepContender(const sockaddr_in& from, const uint8_t* data, size_t size, uint32_t ssrc);
    // Tried on every round of the receive loop.
    void retryContender();

    mutable std::mutex f_propGuard;
    kelString f_bind2port;
    kelString f_bind2ip;
    kelString f_ip;
    bool f_isServer = false;
    std::atomic<intptr_t> f_broken{0};
    kelString f_portL = u"<none>";
    kelRTPReceiverOwner* f_transmitter = nullptr;
    // Sequence numbers of our own comfort-noise pings.
    std::atomic<uint32_t> f_pingSeq{0};
    // The transmitter, as set and as resolved at start.
    kelString f_expectHost;
    kelString f_expectPort;
    bool f_lockSSRC = false;
    bool f_filterAddress = false;
    sockaddr_in f_expectAddr{};
    kelString f_boundIP;
    std::atomic<intptr_t> f_textPT{-1};
    // Receive thread: the transmitter's SSRC, its last RTP and its address.
    std::atomic<uint32_t> f_txSSRC{0};
    uint64_t f_txLastMs = 0;
    sockaddr_in f_txFrom{};
    std::atomic<bool> f_seenRTP{false};
    kelRTPReorderWindow f_window;
    // The receive thread's own: the contender's SSRC and packets.
    struct contenderPacket
    {
        sockaddr_in from{};
        uint64_t arrivedMs = 0;
        std::vector<uint8_t> bytes;
    };
    uint32_t f_contenderSSRC = 0;
    std::vector<contenderPacket> f_contender;
    std::atomic<uint64_t> f_foreign{0};
    std::atomic<uint64_t> f_duplicates{0};
    std::atomic<uint64_t> f_late{0};
    std::atomic<uint64_t> f_garbage{0};
    std::atomic<size_t> f_waiting{0};
    // TCP server: the one connection kept.
    std::unique_ptr<kelSocket> f_accepted;
};
