#pragma once
// kelmtlInOutIpPipe: the common base of the IP client and server pipes. It
// carries a media stream and its format between two processes over TCP or
// UDP: in packet mode (kelsm_MT) through the packet protocol of
// kelIpPacketWire.h, in raw mode (kelsm_RAW) as the bare stream bytes. It
// owns the byte-order processing of raw streams, the send-buffer pool and
// the link to the shared socket manager (kelMtIdeSocks), whose events it
// receives.
//
// Make and free pipes with kelCreate / kelFree.
//
// Threads. Properties are set, and the pipe opened, closed and linked, on
// the owner's thread. Socket events arrive on the shared manager's threads;
// TCP packets are delivered on the packet threads, UDP and raw data on the
// manager's data threads; every event of the pipe is raised on the thread
// that delivered what it reports. A close asked for from inside one of the
// pipe's own events is carried out when that event's handling returns.
// Send operations may be called from any thread.

#include "components/kelIpByteOrder.h"
#include "components/kelIpPacketWire.h"
#include "core/kelClock.h"
#include "net/sockets/kelSocketEvent.h"
#include "pipes/kelmtlInOutPipe.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class kelmtlInOutIpPipe;
class kelMtIdeSocks;

enum kelIpSendResult : int { kelsr_OK = 0, kelsr_fail = 1 };

// A socket event of the pipe's socket thread (connection id: low 24 bits).
using kelmtlIpSocketEvent = std::function<void(kelmtlInOutIpPipe* sender, uint32_t connId,
                                               kelSocketEvent event, const void* data, uintptr_t len)>;
// A packet received from connection `connId`.
using kelmtlIpPacketEvent = std::function<void(kelmtlInOutIpPipe* sender, uint32_t connId, uint8_t cmd,
                                               const void* data, uint32_t len)>;
// User data received (onUserData) or a packet sent (onDataSent).
using kelmtlIpDataEvent =
    std::function<void(kelmtlInOutIpPipe* sender, uint32_t connId, const void* data, uint32_t len)>;
using kelmtlIpTextEvent =
    std::function<void(kelmtlInOutIpPipe* sender, uint32_t connId, const kelString& text)>;
using kelmtlIpConnectEvent = std::function<void(kelmtlInOutIpPipe* sender, uint32_t connId, bool connected)>;
using kelmtlIpAcceptEvent = std::function<void(kelmtlInOutIpPipe* sender, uint32_t connId, bool& accept)>;

class kelmtlIpPacketsStack;

class kelmtlInOutIpPipe : public kelmtlInOutPipe
{
public:
    static constexpr size_t kSendPoolSlots = 4096;
    static constexpr int64_t kDataTimeout = 80;
    static constexpr int64_t kRawTimeout = 50;
    static constexpr intptr_t kByteOrderLockMs = 50;

    explicit kelmtlInOutIpPipe(kelComponent* owner = nullptr);
    ~kelmtlInOutIpPipe() override;

    // --- sending (any thread) ---------------------------------------------------
    // One packet of `cmd` to connection `connId` (0: every connection of a
    // server). kelsr_OK or kelsr_fail (no socket thread, unknown or dead
    // connection, no buffer, socket failure).
    int sendPacket(uint32_t connId, uint8_t cmd, const void* data, uint32_t len, int64_t timeout);
    // User data (command 35); empty data is not sent (kelsr_fail).
    int sendData(uint32_t connId, const void* data, uint32_t len);
    // Text (command 34), one byte per character: characters above 255
    // become '?'. Empty text is not sent.
    int sendText(uint32_t connId, const kelString& text);

    // 0 after open; 1 after the socket thread failed to start.
    intptr_t getErrorCode() const noexcept { return f_errorCode.load(); }
    // The remote address of `connId` (of the client's connection) as the
    // socket manager reports it, dotted quad and port; empty when unknown.
    kelString getHostAddr(uint32_t connId);
    kelString getHostInfo(uint32_t connId) { return getHostAddr(connId); }
    // The shared manager's completion-port mode.
    bool useIOCPSocketsModel() const noexcept;
    void setUseIOCPSocketsModel(bool value) noexcept;

    // --- properties (owner's thread, while closed) -------------------------------
    kelString port() const;
    void setPort(const kelString& value);
    tkelmtlProtoType proto() const noexcept { return f_proto.load(); }
    void setProto(tkelmtlProtoType value) noexcept { f_proto.store(value); }
    kelString bindTo() const;
    void setBindTo(const kelString& value);
    tkelmtlStreamingMode streamingMode() const noexcept { return f_streamingMode.load(); }
    void setStreamingMode(tkelmtlStreamingMode value) noexcept { f_streamingMode.store(value); }
    tkelmtlStreamByteOrder streamByteOrderInput() const noexcept { return f_inStreamByteOrder.load(); }
    void setStreamByteOrderInput(tkelmtlStreamByteOrder value) noexcept { f_inStreamByteOrder.store(value); }
    tkelmtlStreamByteOrder streamByteOrderOutput() const noexcept { return f_outStreamByteOrder.load(); }
    void setStreamByteOrderOutput(tkelmtlStreamByteOrder value) noexcept
    {
        f_outStreamByteOrder.store(value);
    }
    // The clock of ping marks; it must outlive the pipe.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }

    // --- state and statistics (any thread) ----------------------------------------
    uint32_t socksId() const noexcept { return f_socksId.load(); }
    int64_t inPacketsCount() const noexcept { return f_inPacketsCount.load(); }
    int64_t outPacketsCount() const noexcept { return f_outPacketsCount.load(); }
    int64_t bytesSent() const noexcept { return f_bytesSent.load(); }
    int64_t bytesReceived() const noexcept { return f_bytesReceived.load(); }
    // UDP packets found missing (forward gaps of the sequence numbers).
    uint64_t packetsLostCount() const noexcept { return f_packetsLost.load(); }
    // Format blocks from the peer that were not taken (empty, over 4096
    // bytes, or a wave block a wave component would refuse).
    uint64_t formatsRefused() const noexcept { return f_formatsRefused.load(); }
    std::vector<uint8_t> localFormat() const;
    std::vector<uint8_t> remoteFormat() const;

    // --- events (assign before opening) ---------------------------------------------
    void setOnTextData(kelmtlIpTextEvent handler) { f_onTextData = std::move(handler); }
    void setOnUserData(kelmtlIpDataEvent handler) { f_onUserData = std::move(handler); }
    void setOnPacketEvent(kelmtlIpPacketEvent handler) { f_onPacketEvent = std::move(handler); }
    void setOnSocketEvent(kelmtlIpSocketEvent handler) { f_onSocketEvent = std::move(handler); }
    void setOnDataSent(kelmtlIpDataEvent handler) { f_onDataSent = std::move(handler); }

    // --- published pipe members -------------------------------------------------------
    using kelmtlInOutPipe::enableDataProxy;
    using kelmtlInOutPipe::isFormatProvider;
    using kelmtlInOutPipe::setEnableDataProxy;
    using kelmtlInOutPipe::setIsFormatProvider;
    using kelmtlInOutPipe::setOnDataAvailable;
    using kelmtlInOutPipe::setOnFormatChangeAfter;
    using kelmtlInOutPipe::setOnFormatChangeBefore;

    // The shared manager's event for this pipe's socket thread. Called by
    // kelMtIdeSocks on its threads.
    void socketEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data, uintptr_t size);

    kelString _classID() const override { return u"kelmtlInOutIpPipe"; }

protected:
    friend class kelmtlIpPacketsStack;

    // --- virtual operations, in the system's slot order ------------------------------------
    // Sends through the stack of `connId` (0: all of a server's).
    virtual int sendToConnections(uint32_t connId, uint8_t cmd, const void* data, uint32_t len,
                                  int64_t timeout) = 0;
    // The part of socket-event handling common to both kinds (above the
    // class-specific handleSocketEvent).
    virtual void onSocketEventCommon(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                                     uintptr_t size);
    // Goodbye to every connection, as the pipe closes.
    virtual void sayGoodbye() = 0;
    // Stream data (32/33): input byte-order processing on 32, then the
    // pipe's new-data path.
    virtual void handleStreamData(uint32_t connId, uint8_t cmd, const uint8_t* data, size_t len);
    // A received packet: counted, onPacketEvent, then by command. Runs on
    // the delivering thread.
    virtual void handlePacket(uint32_t connId, uint8_t cmd, const uint8_t* data, size_t len);
    // UDP packets found missing on `connId`.
    virtual void packetsLost(uint32_t connId, uint32_t count);
    // Makes the socket thread (not started); its id or 0.
    virtual uint32_t createSocketThread() = 0;
    // Class-specific handling of a socket event.
    virtual bool handleSocketEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                                   uintptr_t size);
    // Resets the kind's own state as the pipe opens.
    virtual void prepareOpen() {}
    // The kind's own part of a close, after the socket thread is gone.
    virtual void afterClose() {}
    // Wakes whoever delivers queued packets (the server's master thread).
    virtual void wakePacketThread() {}

    // --- pipe hooks --------------------------------------------------------------------------
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool doOpen() override;
    void doClose() override;
    bool isActive() override;
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;
    void beforeDestruction() override;

    // --- for the kinds and their stacks ----------------------------------------------------
    // Sends one packet, cut into pieces, to `connId` of the socket thread
    // (raw mode: the bytes as they are). kelsr_OK or kelsr_fail; nothing is
    // sent or counted without a socket thread.
    int transmit(uint32_t connId, uint16_t seq, uint8_t cmd, const void* data, size_t len, int64_t timeout);
    // The output byte-order processing of written stream bytes; false when
    // the direction's lock was not had.
    bool processOutput(const uint8_t* data, size_t len, std::vector<uint8_t>& out);
    // Closes the pipe and takes it off the shared manager's list, waiting
    // for events still being handled; after it no event reaches the pipe.
    // A kind calls it first in its beforeDestruction, before freeing what
    // its event handling uses. Owner's thread.
    void detachFromSocks();
    // Asks for a close; from inside one of the pipe's events it happens when
    // the event's handling returns.
    void requestClose();
    // Handling of a packet delivered by a packet thread: marks the thread
    // as inside the pipe's events and carries out a close asked for there.
    void deliverFromStack(kelmtlIpPacketsStack& stack, uint8_t cmd, const uint8_t* data, size_t len);
    kelMtIdeSocks* socks() const noexcept { return f_socks; }
    // The socket thread has ended by itself.
    void clearSocksId() noexcept { f_socksId.store(0); }
    bool closingNow() const noexcept { return f_closingNow.load(); }
    void setErrorCode(intptr_t value) noexcept { f_errorCode.store(value); }
    // The local format to send to a peer.
    std::vector<uint8_t> localFormatCopy() const { return localFormat(); }
    kelString host() const;
    void setHostValue(const kelString& value);
    kelString bindToPortValue() const;
    void setBindToPortValue(const kelString& value);
    int portNumber() const;
    // Raise the pipe's own events (handler exceptions are caught).
    void raiseText(uint32_t connId, const kelString& text);
    void raiseUserData(uint32_t connId, const void* data, uint32_t len);

private:
    struct PoolSlot
    {
        std::atomic<int32_t> inUse{0};
        std::unique_ptr<uint8_t[]> buffer;
        uint32_t size = 0;
    };
    struct SwapBuffer
    {
        kelObject lock;
        kelIpByteOrder order;
    };

    // The real work of a close: goodbye, the socket thread stopped, the
    // kind's clean-up. Any thread but a packet thread's own stop.
    void performClose();
    // After an event's handling: a close asked for inside it.
    void unwind();
    PoolSlot* takeSlot() noexcept;
    bool takeRemoteFormat(const uint8_t* data, size_t len);

    std::atomic<uint32_t> f_socksId{0};
    std::atomic<intptr_t> f_errorCode{0};
    mutable std::mutex f_propertyGuard;
    kelString f_host;
    kelString f_port;
    std::atomic<tkelmtlProtoType> f_proto{kelpt_UDP};
    kelString f_bindToIP{u"0.0.0.0"};
    kelString f_bindToPort{u"0"};
    mutable std::mutex f_formatGuard;
    std::vector<uint8_t> f_localFormat;
    std::vector<uint8_t> f_remoteFormat;
    std::atomic<intptr_t> f_insideOnPacket{0};
    std::atomic<bool> f_insideOnPacketMustClose{false};
    std::unique_ptr<PoolSlot[]> f_pool;
    std::atomic<int64_t> f_inPacketsCount{0};
    std::atomic<int64_t> f_outPacketsCount{0};
    std::atomic<int64_t> f_bytesSent{0};
    std::atomic<int64_t> f_bytesReceived{0};
    std::atomic<uint64_t> f_packetsLost{0};
    std::atomic<uint64_t> f_formatsRefused{0};
    std::atomic<tkelmtlStreamingMode> f_streamingMode{kelsm_MT};
    std::atomic<tkelmtlStreamByteOrder> f_inStreamByteOrder{kelsbo_dontCare};
    std::atomic<tkelmtlStreamByteOrder> f_outStreamByteOrder{kelsbo_dontCare};
    SwapBuffer f_swapSubBuf[2];
    kelMtIdeSocks* f_socks = nullptr;
    std::atomic<bool> f_closingNow{false};
    std::mutex f_closeGuard;
    std::atomic<uint32_t> f_mtu{0};
    kelClockSlot f_clock;
    bool f_registered = false;

    kelmtlIpTextEvent f_onTextData;
    kelmtlIpDataEvent f_onUserData;
    kelmtlIpPacketEvent f_onPacketEvent;
    kelmtlIpSocketEvent f_onSocketEvent;
    kelmtlIpDataEvent f_onDataSent;
};
