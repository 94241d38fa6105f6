#pragma once
// kelSocksConnection: one remote party of a socket thread (an accepted TCP
// connection, a UDP source address of a server, or a client's peer);
// kelSocketsConnections: a thread's parties, keyed by connection id.
//
// A connection lives while someone holds it. The list holds it while it is
// listed; kelSocks::getConnection(..., needAcquire) and the socket thread
// hold it while they use it. Removal takes it out of the list and marks it
// destroying, so no new hold is granted; the last release then finishes it:
// its queued packets are dropped when the owner removed it, a server raises
// kelseServerDisconnect, and an accepted socket is closed. Whoever releases
// last does this, on its own thread.

#include "core/kelIdList.h"
#include "core/kelObject.h"
#include "net/sockets/kelSocket.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>

class kelSocksThread;

class kelSocksConnection : public kelObject
{
public:
    // `socket` is the thread's own (not owned) or, with `ownsSocket`, an
    // accepted one the connection closes when it is finished. `addr` is
    // copied; null takes the socket's getSockAddr. Starts with one hold (the
    // list's).
    kelSocksConnection(kelSocksThread* thread, uint32_t connId, kelSocket* socket, bool ownsSocket,
                       const sockaddr_in* addr, uint64_t nowMs) noexcept;
    ~kelSocksConnection() override;

    // Sends all of `data` within `timeout` ms. A UDP server's party gets one
    // sendto its address; a TCP connection is sent to until every byte went:
    // a peer that takes nothing more within `timeout` fails the send with
    // 10055 and removes the connection. 0, 10055, 10060 when another send
    // held the connection for the whole timeout, or the socket error code.
    // Any thread.
    int send(const void* data, uint32_t size, bool noCheck = false, int64_t timeout = 1000) noexcept;
    // Port and address equal to `addr`.
    bool compareAddr(const sockaddr_in& addr) const noexcept;
    bool okToWrite(int64_t timeout, bool noCheckState = false) noexcept;

    // A further hold; false once the connection is being removed.
    [[nodiscard]] bool hold() noexcept;
    // Leaves a hold (one taken by hold() or by an acquiring lookup); the
    // last one finishes the connection, which must not be touched after.
    void release() noexcept;

    kelSocksThread* thread() const noexcept { return f_thread; }
    kelSocket* threadSocket() const noexcept { return f_threadSocket; }
    const sockaddr_in* paddr() const noexcept { return &f_addr; }
    uint32_t connId() const noexcept { return f_connId; }
    bool isDestroying() const noexcept { return f_destroying.load(std::memory_order_acquire); }
    // Clock time of the last packet received.
    uint64_t lpStamp() const noexcept { return f_lpStamp.load(std::memory_order_relaxed); }
    void setLpStamp(uint64_t ms) noexcept { f_lpStamp.store(ms, std::memory_order_relaxed); }
    kelString _classID() const override { return u"kelSocksConnection"; }

private:
    friend class kelSocksThread;
    friend class kelSocketsConnections;
    friend class kelIOCPSocksThread;

    int sendStream(const uint8_t* data, uint32_t size, int64_t timeout) noexcept;
    // Marks the connection removed; `dropPending` drops its queued packets
    // when it is finished (the owner's removal).
    void markRemoved(bool dropPending) noexcept;

    kelSocksThread* f_thread;
    kelSocket* f_threadSocket;
    std::unique_ptr<kelSocket> f_ownedSocket;
    sockaddr_in f_addr{};
    uint32_t f_connId;
    std::atomic<bool> f_destroying{false};
    std::atomic<bool> f_dropPending{false};
    std::atomic<uint64_t> f_lpStamp;
    std::atomic<int32_t> f_holds{1};
    // Port mode: send records still pending.
    std::atomic<int32_t> f_sendRecords{0};
};

// The parties of one socket thread. Removing an item leaves the list's hold
// on it (see kelSocksConnection), so a connection outlives its entry while
// someone still uses it.
class kelSocketsConnections : public kelIdList
{
public:
    kelSocketsConnections();
    ~kelSocketsConnections() override;

    // The listed connection `connId`, or null; valid while the list's lock
    // is held or a hold is taken on it.
    kelSocksConnection* get_connection(uint32_t connId) noexcept;
    // The listed connection whose address is `addr`, or null (same rule).
    kelSocksConnection* findByAddr(const sockaddr_in& addr) noexcept;
    kelSocksConnection* connectionAt(intptr_t index) noexcept
    {
        return static_cast<kelSocksConnection*>(get(index));
    }
    kelString _classID() const override { return u"kelSocketsConnections"; }

protected:
    int64_t getId(void* item) noexcept override;
    void releaseItem(intptr_t index, uintptr_t doFree) noexcept override;
};
