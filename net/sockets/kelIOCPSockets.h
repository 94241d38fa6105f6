#pragma once
// Completion-port socket threads: kelIOCPSocksThread serves one socket like
// kelSocksThread (same events, ids, sends and removals for the owner) but
// does its I/O as operations completed on a port by a pool of
// kelIOCPSockWorkerThread workers; kelIOCPOLList holds its operation
// records (kelIOCPOverlapped).
//
// Threads of the events: data, connect (servers), disconnect and the end of
// a client's peer come from the workers; listen, stop, start-up error and
// client connect from the socket thread. The port gives a socket to one
// worker at a time, so a connection's data events come in order.

#include "core/kelList.h"
#include "net/sockets/kelIOCP.h"
#include "net/sockets/kelSocksThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class kelIOCPSocksThread;

// One started or reusable operation. It lives while someone holds it: the
// record list while it is listed, a started operation until its completion
// was handled. It holds its connection (when it has one) for its whole life,
// so a party is finished only after its last record.
struct kelIOCPOverlapped
{
    enum Operation : int32_t { Accept = 0, Receive = 1, Send = 2, ReceiveFrom = 3, SendTo = 4 };

    kelCPOperation op; // the port's block; first, so a completion finds its record
    Operation operation = Receive;
    kelSocketHandle socket = kelInvalidSocket;
    kelSocketHandle acceptedSocket = kelInvalidSocket;
    bool connection = false;
    uint32_t connId = 0;
    kelSocksConnection* conn = nullptr;
    std::atomic<int64_t> acquired{0};
    uint64_t acquiredAt = 0; // clock ms the operation was started
    bool udpParty = false;
    std::atomic<bool> done{false};
    std::atomic<int32_t> holds{1};
};

// The records of one thread. Removing one leaves the list's hold on it.
class kelIOCPOLList : public kelRecordList
{
public:
    explicit kelIOCPOLList(kelIOCPSocksThread* owner);
    ~kelIOCPOLList() override;
    kelIOCPOverlapped* recordAt(intptr_t index) noexcept
    {
        return static_cast<kelIOCPOverlapped*>(get(index));
    }
    kelString _classID() const override { return u"kelIOCPOLList"; }

protected:
    void releaseItem(intptr_t index, uintptr_t doFree) noexcept override;

private:
    kelIOCPSocksThread* f_owner;
};

class kelIOCPSockWorkerThread : public kelIOCPWorkerThread
{
public:
    kelIOCPSockWorkerThread(kelIOCPSocksThread* master, kelIOCPClass* port, uint32_t index) noexcept;

    // 1-based position in the pool.
    uint32_t index() const noexcept { return f_index; }
    // Percentage of the time spent on completions (statistics).
    intptr_t busy() const noexcept { return f_busy.load(std::memory_order_relaxed); }
    kelString _classID() const override { return u"kelIOCPSockWorkerThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void onCompletion(uint32_t bytes, uintptr_t key, kelCPOperation* overlapped) noexcept override;
    void onCompletionError(uintptr_t key, kelCPOperation* overlapped, int error) noexcept override;

private:
    void account(uint64_t waitedFrom, uint64_t workedFrom) noexcept;

    uint32_t f_index;
    kelIOCPSocksThread* f_master;
    uint64_t f_waiting = 0;
    uint64_t f_working = 0;
    uint64_t f_mark = 0;
    std::atomic<intptr_t> f_busy{0};
};

class kelIOCPSocksThread : public kelSocksThread
{
public:
    static constexpr uint32_t kMaxTcpData = 4096;
    static constexpr uint32_t kMaxUdpData = 2048;
    // Send records a connection may have pending.
    static constexpr int32_t kMaxSendRecords = 64;
    // A send pending this long on the clock fails its connection.
    static constexpr uint64_t kStuckSendMs = 15000;

    kelIOCPSocksThread(kelSocks* socks, uint32_t id);
    ~kelIOCPSocksThread() override;

    // Copies `data` into a send record and starts it: 0 with *asynch true
    // when it is pending. 10057 when not ready or unknown, 10040 beyond
    // 4096 (TCP) or 2048 (UDP) bytes, 10055 past 64 pending sends of the
    // connection.
    int sendDataAsynch(uint32_t connId, const void* data, uint32_t size, bool* asynch,
                       int64_t timeout) noexcept override;
    const sockaddr_in* getRemoteHostAddr(uint32_t connId) noexcept override;

    // Workers: min(256, processors x 2 + 1).
    size_t poolThreadCount() const noexcept { return f_pool.size(); }
    static size_t workersFor(intptr_t processors) noexcept;
    bool ready() const noexcept { return f_ready.load(); }
    kelIOCPOLList& olist() noexcept { return f_olist; }
    intptr_t olDoneCount() const noexcept { return f_olDoneCount.load(); }
    intptr_t olAcquiredCount() const noexcept { return f_olAcquiredCount.load(); }
    kelString _classID() const override { return u"kelIOCPSocksThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void onRetired(kelSocksConnection* conn) noexcept override;

private:
    friend class kelIOCPSockWorkerThread;
    friend class kelIOCPOLList;

    // A new listed record (one hold: the list's); `conn` is held for it.
    kelIOCPOverlapped* newRecord(kelIOCPOverlapped::Operation op, kelSocksConnection* conn,
                                 size_t bufSize) noexcept;
    // Starts the record's operation on `fd`; on failure the record is
    // finished. 0 or the error code.
    int post(kelIOCPOverlapped* rec, kelSocketHandle fd) noexcept;
    // Ends a record whose operation completed and is not started again.
    void finishRecord(kelIOCPOverlapped* rec) noexcept;
    void releaseRecord(kelIOCPOverlapped* rec) noexcept;
    // Takes a listed record whose operation is not started out of the list.
    void removeRecord(kelIOCPOverlapped* rec) noexcept;
    void handleCompletion(kelIOCPSockWorkerThread* worker, kelCPOperation* op, int error) noexcept;
    void onAccept(kelIOCPOverlapped* rec, int error) noexcept;
    void onReceive(kelIOCPOverlapped* rec, int error) noexcept;
    void onReceiveFrom(kelIOCPSockWorkerThread* worker, kelIOCPOverlapped* rec, int error) noexcept;
    void onSend(kelIOCPOverlapped* rec, int error) noexcept;
    int startServer() noexcept;
    int startClient() noexcept;
    void failStuckSends() noexcept;
    void endRun() noexcept;

    std::unique_ptr<kelIOCPClass> f_port;
    std::vector<kelIOCPSockWorkerThread*> f_pool;
    std::atomic<bool> f_ready{false};
    intptr_t f_spawnCount = 0;
    kelIOCPOLList f_olist;
    std::atomic<intptr_t> f_olDoneCount{0};
    std::atomic<intptr_t> f_olAcquiredCount{0};
    uint32_t f_maxDataSize = kMaxTcpData;
    int f_proto = kelIPPROTO_TCP;
    kelSocketHandle f_s = kelInvalidSocket;
    // The start-up error event's 8-byte value.
    int64_t f_startupError = 0;
    intptr_t f_stuckScanAt = 0;
};
