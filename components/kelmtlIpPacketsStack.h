#pragma once
// kelmtlIpPacketsStack: one connection of an IP pipe. It numbers and sends
// the packets for that connection, takes apart what arrives from it (TCP:
// pieces joined into packets and queued; UDP and raw mode: handled at once)
// and, as a thread of its own, delivers the queued packets to the pipe one
// at a time. kelmtlIpPacketsStackMaster is the server's one packet thread
// that delivers from every connection's queue when the connections have no
// threads of their own.
//
// Threads: send() from any thread (serialised per connection); receive()
// from the socket manager's data thread; deliveries on the stack's own
// thread or on the master's. Make and free both with kelCreate / kelFree.

#include "components/kelIpPacketAssembler.h"
#include "core/kelEvent.h"
#include "core/kelThread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class kelmtlInOutIpPipe;

class kelmtlIpPacketsStack : public kelThread
{
public:
    // Client options: deliver stream data from this connection / send
    // stream data to it.
    static constexpr uint32_t kOptionReceive = 1;
    static constexpr uint32_t kOptionSend = 2;
    // Joined packets waiting for delivery, at most; data beyond it is
    // dropped and counted, so a peer faster than the consumer cannot grow
    // the queue without bound.
    static constexpr size_t kMaxQueuedBytes = 4u << 20;

    // Where queued packets go: nowhere (they are dropped), the stack's own
    // thread, or the owner's packet thread (the pipe is woken).
    enum QueueMode : int { kQueueNone = 0, kQueueOwnThread = 1, kQueueMaster = 2 };

    kelmtlIpPacketsStack(kelmtlInOutIpPipe* master, uint32_t connId);
    ~kelmtlIpPacketsStack() override;

    // Sequence counter and expected number back to 1, format flags cleared,
    // held TCP bytes and queued packets dropped.
    void reset();

    // Sends one packet of `cmd`; stream data longer than one packet holds
    // goes out as several. Stream data goes only once the format went (raw
    // mode: always) and only with kOptionSend (without it nothing is sent and
    // 0 returned); other commands only in packet mode. 0 when sent, 1 when
    // not. Waits up to `timeout` + 66 ms for another sender of this
    // connection.
    int send(uint8_t cmd, const void* data, uint32_t len, int64_t timeout);

    // Bytes that came from the connection.
    void receive(const uint8_t* data, size_t len);
    // Delivers the oldest queued packet to the pipe; false when none waits.
    bool deliverOne();

    uint32_t connId() const noexcept { return f_connId.load(); }
    void setConnId(uint32_t value) noexcept { f_connId.store(value); }
    uint32_t clientOptions() const noexcept { return f_clientOptions.load(); }
    void setClientOptions(uint32_t value) noexcept { f_clientOptions.store(value); }
    bool formatSent() const noexcept { return f_formatSent.load(); }
    bool formatReceived() const noexcept { return f_formatReceived.load(); }
    void setQueueMode(QueueMode mode) noexcept { f_queueMode.store(mode); }
    size_t queuedBytes() const;
    size_t queuedPackets() const;
    uint64_t droppedBytes() const noexcept { return f_droppedBytes.load(); }
    // Receive statistics of the TCP reassembly.
    uint64_t crcErrors() const;
    uint64_t dupCount() const;
    uint64_t outOfSeq() const;

    kelString _classID() const override { return u"kelmtlIpPacketsStack"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    struct Queued
    {
        uint8_t cmd;
        std::vector<uint8_t> payload;
    };
    void enqueue(uint8_t cmd, const uint8_t* payload, size_t len);
    void receiveDatagram(const uint8_t* data, size_t len);
    uint16_t nextSeq() noexcept;

    kelmtlInOutIpPipe* f_master;
    std::atomic<uint32_t> f_connId;
    std::atomic<bool> f_formatSent{false};
    std::atomic<bool> f_formatReceived{false};
    std::atomic<uint32_t> f_clientOptions{kOptionReceive | kOptionSend};
    std::atomic<QueueMode> f_queueMode{kQueueNone};

    kelObject f_sendGuard;
    uint32_t f_seqNum = 1; // guarded by f_sendGuard

    // Receive state, used by the one data thread (and reset()).
    mutable std::mutex f_receiveGuard;
    kelIpTcpReassembler f_tcp;
    kelIpUdpSequence f_udp;

    mutable std::mutex f_queueGuard;
    std::deque<Queued> f_packets;
    size_t f_queuedBytes = 0;
    std::atomic<uint64_t> f_droppedBytes{0};
    kelEvent f_dataEvent{false, false};
};

class kelmtlInOutIpPipe;

class kelmtlIpPacketsStackMaster : public kelThread
{
public:
    // Dead connection ids kept at most.
    static constexpr size_t kMaxDeadSockets = 200;
    static constexpr int64_t kIdleSleepMs = 1000;

    // `deliver` runs one pass over the connections and says whether it
    // delivered anything; `idle` runs after a pass that did not.
    kelmtlIpPacketsStackMaster(std::function<bool()> deliver, std::function<void()> idle);
    kelString _classID() const override { return u"kelmtlIpPacketsStackMaster"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    std::function<bool()> f_deliver;
    std::function<void()> f_idle;
};
