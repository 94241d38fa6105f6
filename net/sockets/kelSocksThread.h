#pragma once
// kelSocksThread: one socket served by one thread, for a kelSocks manager.
// A server thread listens (TCP) or is bound (UDP) and keeps a connection per
// accepted socket or per source address; a client thread connects to one
// address and keeps that one connection. Received data goes through the
// run's kelSocksPacketStormThread to the owner; everything else is raised
// as kelSocketEvent codes on this thread (kelSocks.h says which where).
//
// Threads are pooled by the manager: a thread whose run has ended and whose
// socket is gone is free, and is claimed by one createServer or
// createConnection at a time.

#include "core/kelClock.h"
#include "core/kelEvent.h"
#include "core/kelThread.h"
#include "net/sockets/kelSocket.h"
#include "net/sockets/kelSocketEvent.h"
#include "net/sockets/kelSocksConnection.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class kelSocks;
class kelSocksPacketStormThread;
struct kelSocksStormBuffer;

// Marks the calling thread as one of `thread`'s manager's threads for its
// lifetime, so calls back into the manager from event handlers only ask
// instead of waiting for themselves.
class kelSocksThreadScope
{
public:
    explicit kelSocksThreadScope(const kelSocksThread* thread) noexcept;
    ~kelSocksThreadScope();
    kelSocksThreadScope(const kelSocksThreadScope&) = delete;
    kelSocksThreadScope& operator=(const kelSocksThreadScope&) = delete;
    // True on a thread of `socks` (socket, delivery or completion threads).
    static bool onThreadOf(const kelSocks* socks) noexcept;

private:
    const kelSocks* f_previous;
};

class kelSocksThread : public kelThread
{
public:
    // Connection ids of a run start above this value (clients take it).
    static constexpr intptr_t kFirstConnectionId = 4000;
    // Default bound on a UDP server's parties.
    static constexpr intptr_t kDefaultMaxUdpParties = 4096;

    kelSocksThread(kelSocks* socks, uint32_t id);
    ~kelSocksThread() override;

    // Not supported by this kind of thread: 10057. Completion-port threads
    // send through their workers here.
    virtual int sendDataAsynch(uint32_t connId, const void* data, uint32_t size, bool* asynch,
                               int64_t timeout) noexcept;
    // The remote address of `connId` (a server) or of the first connection
    // (a client); null when there is none. Valid while the connection is.
    virtual const sockaddr_in* getRemoteHostAddr(uint32_t connId) noexcept;
    // Removes a connection. `byOwner`: its queued packets are dropped; else
    // (peer closed, timed out) they are delivered before its disconnect
    // event. On one of the manager's threads the removal is only asked for
    // and runs on this thread's next round. True when it was listed.
    virtual bool removeConnection(uint32_t connId, bool byOwner = true) noexcept;

    // The thread's part of a fatal-error check: on a server with an address
    // the party of that address is removed whatever the code. True when
    // `code` is fatal; then, with `stopOnFatal`, f_socketError takes it and
    // the thread is asked to stop.
    bool checkSocketError(int code, const sockaddr_in* addr, bool stopOnFatal) noexcept;
    static bool isFatalSocketError(int code) noexcept;

    // Raises `event` through the manager. Any of the manager's threads.
    void raise(kelSocketEvent event, uintptr_t connId, const void* data, uintptr_t size) noexcept;
    // The storm thread's delivery of one packet.
    void deliverPacket(kelSocketEvent event, uint32_t connId, const void* data, uint32_t size) noexcept;

    uint32_t id() const noexcept { return f_id; }
    intptr_t udpConnectionTimeout() const noexcept { return f_udpConnectionTimeout; }
    void setUdpConnectionTimeout(intptr_t ms) noexcept { f_udpConnectionTimeout = ms; }
    intptr_t backLog() const noexcept { return f_backlog; }
    void setBackLog(intptr_t value) noexcept { f_backlog = value; }
    // The most UDP parties a server keeps; a new source beyond it removes
    // the longest silent one.
    intptr_t maxUdpParties() const noexcept { return f_maxUdpParties; }
    void setMaxUdpParties(intptr_t value) noexcept { f_maxUdpParties = value < 1 ? 1 : value; }
    kelSocket* threadSocket() const noexcept { return f_socket.get(); }
    int socketError() const noexcept { return f_socketError.load(); }
    bool isServer() const noexcept { return f_isServer; }
    kelSocks* socks() const noexcept { return f_socks; }
    kelEvent& initDone() noexcept { return f_initDone; }
    kelSocketsConnections& connections() noexcept { return f_connections; }
    const kelClock& clock() const noexcept;
    // Datagrams dropped because the delivery buffers were full.
    uint64_t droppedDatagrams() const noexcept { return f_dropped.load(std::memory_order_relaxed); }
    // The per-connection wait of the last idle TCP server pass (ms).
    int64_t lastConnectionWait() const noexcept { return f_lastConnWait.load(std::memory_order_relaxed); }

    // --- for the manager ---------------------------------------------------
    // Claims a free thread (no socket, no run left); one caller wins.
    bool tryClaim() noexcept;
    void unclaim() noexcept;
    bool claimed() const noexcept { return f_claimed.load(); }
    // Gives the claimed thread its socket and role.
    void configure(std::unique_ptr<kelSocket> socket, bool isServer) noexcept;
    // Pins keep the manager from freeing the thread while a caller uses it
    // outside the thread list's lock.
    void pin() noexcept { f_pins.fetch_add(1); }
    void unpin() noexcept { f_pins.fetch_sub(1); }
    bool pinned() const noexcept { return f_pins.load() != 0; }
    // The owner stops the thread: queued packets are dropped, not delivered.
    void ownerStop() noexcept;
    // A thread that never ran gives its socket back.
    void freeUnstarted() noexcept;

    kelString _classID() const override { return u"kelSocksThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

    // Connection ids: the next one, within 24 bits, skipping 0 and ids in
    // use.
    uint32_t nextConnectionId() noexcept;
    // A listed connection with one hold taken for the caller, or null.
    kelSocksConnection* holdConnection(uint32_t connId) noexcept;
    kelSocksConnection* holdConnectionByAddr(const sockaddr_in& addr) noexcept;
    // Lists a new connection; false (and freed) when the list refused it.
    bool addConnection(kelSocksConnection* conn) noexcept;
    // Takes `conn` out of the list; see removeConnection.
    void retire(kelSocksConnection* conn, bool byOwner) noexcept;
    // Removes every connection (the owner's removal).
    void removeAllConnections() noexcept;
    // Runs the removals asked for from the manager's threads.
    void runRequestedRemovals() noexcept;
    void runRemoval(uint32_t connId, bool byOwner) noexcept;
    // Called by the connection's last release.
    void connectionFinished(kelSocksConnection* conn) noexcept;
    kelSocksPacketStormThread* storm() const noexcept { return f_psThread; }
    void startStorm() noexcept;
    // Drains the storm thread unless the owner stops us, then frees it.
    void endStorm(bool drain) noexcept;
    bool ownerStopped() const noexcept { return f_ownerStop.load(); }
    // Ends the run: frees the socket and frees the thread for the pool.
    void finishRun() noexcept;
    // UDP servers: parties silent past the time-out, and the cap.
    void expireUdpParties() noexcept;
    void evictLongestSilent() noexcept;

    uint32_t f_id;
    intptr_t f_udpConnectionTimeout = 0;
    intptr_t f_backlog = 5;
    intptr_t f_maxUdpParties = kDefaultMaxUdpParties;
    bool f_isServer = false;
    std::atomic<intptr_t> f_lastConnectionIdInt{kFirstConnectionId};
    kelSocks* f_socks;
    std::atomic<int> f_socketError{0};
    std::unique_ptr<kelSocket> f_socket;
    kelEvent f_initDone{true, false};
    kelSocketsConnections f_connections;
    kelSocksPacketStormThread* f_psThread = nullptr;
    // Guards f_psThread against the run's end while another thread uses it.
    kelObject f_stormGuard;
    std::atomic<bool> f_claimed{false};
    std::atomic<int> f_pins{0};
    std::atomic<bool> f_ownerStop{false};
    std::atomic<uint64_t> f_dropped{0};
    std::atomic<int64_t> f_lastConnWait{400};
    // Removals asked for from the manager's threads (under f_stormGuard).
    std::vector<uint32_t> f_requestedRemovals;
    std::atomic<bool> f_removalsPending{false};
    intptr_t f_udpScanAt = 0;

    // Called once `conn` left the list (outside its lock): port mode
    // dissociates an accepted socket here so its operations end.
    virtual void onRetired(kelSocksConnection* conn) noexcept { (void)conn; }
    // Connects the client socket without blocking the thread; ends on stop.
    // 0 or the error code.
    int connectClient() noexcept;

private:
    friend class kelSocksConnection;
    friend class kelSocksPacketStormThread;

    int startUp() noexcept;
    void serveTcpServer(uint32_t bufSize) noexcept;
    void serveUdpServer() noexcept;
    void serveClient(uint32_t bufSize) noexcept;
    // Reads what `conn` has into a delivery buffer. False when the
    // connection is to be removed (error or end of stream, `code` set).
    bool readStream(kelSocksConnection* conn, uint32_t bufSize, int& code, bool& gotData) noexcept;
    // Polls `fds` and the wake descriptor for up to `wait` ms.
    int pollWithWake(struct pollfd* fds, size_t count, int64_t wait) noexcept;
    std::vector<uint8_t> f_scratch;
};
