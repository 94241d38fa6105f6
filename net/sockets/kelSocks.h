#pragma once
// kelSocks: a manager of socket threads. It owns a pool of kelSocksThread
// objects (completion-port ones, kelIOCPSocksThread, in isIOCP mode); each
// serves one server or client socket, and the owner learns everything
// through one callback, onEvent (kelSocketEvent.h), raised by the virtual
// raiseEvent. A derived manager (a protocol server) overrides raiseEvent and
// calls the base first.
//
// Threads of the events: kelseServerListen, kelseServerStop,
// kelseServerConnect, kelseClientConnect, kelseClientDisconnect,
// kelseThreadStartupError and kelseThreadAdjustSocketOptions come from the
// socket thread; data events from its delivery thread (thread mode) or a
// completion worker (port mode); kelseServerDisconnect from the thread that
// finishes the connection. A handler may call any operation here; a
// removal or close it asks for runs once the handler returned, and the
// manager never waits for one of its own threads from inside it.
//
// Make and free managers with kelCreate / kelFree.

#include "core/kelClock.h"
#include "core/kelIdList.h"
#include "core/kelObject.h"
#include "net/sockets/kelSocketEvent.h"

#include <atomic>
#include <cstdint>

class kelSocksThread;
class kelSocksConnection;

// The manager's threads, keyed by thread id; owned.
class kelSocksThreads : public kelIdList
{
public:
    kelSocksThreads();
    kelSocksThread* threadAt(intptr_t index) noexcept { return static_cast<kelSocksThread*>(get(index)); }
    kelString _classID() const override { return u"kelSocksThreads"; }

protected:
    int64_t getId(void* item) noexcept override;
};

class kelSocks : public kelObject
{
public:
    static constexpr uint32_t kFirstThreadId = 72;
    static constexpr uintptr_t kMaxPoolSize = 256;

    // The pool size is set (and the threads made) once constructed.
    explicit kelSocks(uintptr_t threadsInPool = 1, bool isIOCP = false);
    ~kelSocks() override;

    // Calls onEvent when assigned. Overrides call this first.
    virtual void raiseEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                            uintptr_t size);

    // 1 ... 256. Shrinking frees free threads only; nothing happens when
    // the thread list is not had within 100 ms.
    void setPoolSize(uintptr_t threadsInPool) noexcept;
    uintptr_t poolSize() const noexcept { return f_threadPoolSize.load(); }
    // Completion-port mode; false whatever is asked when ports are not
    // available. A change removes every thread and rebuilds the pool.
    bool isIOCP() const noexcept { return f_isIOCP.load(); }
    void setIsIOCP(bool value) noexcept;
    bool isRTP() const noexcept { return f_isRTP.load(); }
    void setIsRTP(bool value) noexcept;

    // A server on `port` (0: any) of `bindToIP`, protocol 6 (TCP) or 17
    // (UDP), started at once when `activate`. The thread id, or 0 (other
    // protocols, no thread to be had, lock timeouts).
    uint32_t createServer(int port, int protocol, bool activate = true, intptr_t backlog = 5,
                          intptr_t udpConnectionTimeout = 0, const kelString& bindToIP = u"0.0.0.0",
                          bool overlapped = false) noexcept;
    // A client of `host`:`port`, bound to bindToIP:bindToPort. The connect
    // does not block the thread: it ends with a stop too. The thread id or 0.
    uint32_t createConnection(const kelString& host, int port, int protocol, bool activate = true,
                              const kelString& bindToIP = u"0.0.0.0", int bindToPort = 0,
                              bool overlapped = false) noexcept;
    bool activate(uint32_t id) noexcept;

    // The thread `id` or null. Valid until the pool is rebuilt or shrunk.
    kelSocksThread* getThreadByID(uint32_t id) noexcept;
    // Connection `connId` of thread `id`. With `needAcquire` a hold is
    // taken (null when the connection is being removed) and the caller
    // calls release() on it; without, the pointer is only a hint.
    kelSocksConnection* getConnection(uint32_t id, uint32_t connId, int64_t timeout = 1000,
                                      bool needAcquire = true) noexcept;
    // Sends to connection `connId` of thread `id` (the low 24 bits of a
    // data event's id will do). Port mode sends through the workers and
    // sets *asynch when the send is pending. 0 or an error code: 10057 for
    // an unknown thread or connection.
    int sendData(uint32_t id, const void* data, uint32_t size, uint32_t connId, bool* asynch = nullptr,
                 bool noCheck = false, int64_t timeout = 1000) noexcept;
    // The owner's removal of a connection (its queued data is dropped); a
    // client left without connections is closed. True when it was found.
    bool removeConnection(uint32_t id, uint32_t connId) noexcept;
    // Stops thread `id` within `timeout` ms (from the manager's own threads:
    // asks only). True when the thread exists.
    bool closeThread(uint32_t id, int64_t timeout = 2700) noexcept;
    void clear(bool clearServers, bool clearClients) noexcept;

    // The manager's own lock.
    [[nodiscard]] bool enter(bool ro, intptr_t timeout) noexcept { return acquire(ro, timeout); }
    void leaveRO() noexcept { releaseRO(); }
    void leaveWO() noexcept { releaseWO(); }

    const kelSocksOnEventEvent& onEvent() const noexcept { return f_onEvent; }
    // Set before the threads run.
    void setOnEvent(kelSocksOnEventEvent handler) { f_onEvent = std::move(handler); }
    // The clock of time marks and time-outs; set before the threads run,
    // and it must outlive the manager.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }
    kelSocksThreads* threads() noexcept { return f_threads; }
    bool master() const noexcept { return f_master; }
    kelString _classID() const override { return u"kelSocks"; }

protected:
    void afterConstruction() override;
    void beforeDestruction() override;
    // A new pool thread of the current mode.
    virtual kelSocksThread* newThread(uint32_t id) noexcept;

private:
    // Claims a free thread, growing the pool when none is; null when none
    // can be had.
    kelSocksThread* claimFreeThread() noexcept;
    void rebuildPool() noexcept;
    // Pins thread `id` (see kelSocksThread::pin); null when unknown.
    kelSocksThread* pinThread(uint32_t id) noexcept;

    bool f_master = false;
    std::atomic<uintptr_t> f_threadPoolSize{0};
    std::atomic<intptr_t> f_lastThreadID{kFirstThreadId};
    std::atomic<bool> f_isIOCP{false};
    std::atomic<bool> f_isRTP{false};
    kelSocksThreads* f_threads = nullptr;
    kelSocksOnEventEvent f_onEvent;
    kelClockSlot f_clock;
    uintptr_t f_initialPool;
    bool f_initialIOCP;
};
