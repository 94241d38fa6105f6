// The body of a completion-port socket thread: start-up (port, workers,
// socket, first operations), the watch loop (removals asked for, UDP
// time-outs, sends stuck on a peer that reads nothing) and the end of a run.
#include "net/sockets/kelIOCPSockets.h"

#include "core/kelCreate.h"
#include "net/sockets/kelSocks.h"
#include "net/sockets/kelUdpSocket.h"

#include <new>
#include <vector>

namespace {

constexpr int64_t kLoopMs = 400;

} // namespace

int kelIOCPSocksThread::startServer() noexcept
{
    kelSocket* s = f_socket.get();
    int rc;
    if (f_proto == kelIPPROTO_TCP) {
        rc = s->listen(static_cast<int>(f_backlog));
    } else {
        rc = s->bindSocketToPort(s->getPortInt());
        if (rc == 0) {
            (void)s->setRcvBufSize(40000);
            (void)s->setSndBufSize(40000);
        }
    }
    if (rc == 0 && !s->isActive()) rc = WSAEINVAL;
    return rc;
}

int kelIOCPSocksThread::startClient() noexcept
{
    const int rc = connectClient();
    if (rc == 0) (void)f_socket->setRcvBufSize(16000);
    return rc;
}

intptr_t kelIOCPSocksThread::execute(uintptr_t)
{
    kelSocksThreadScope scope(this);
    if (!f_socket) return -1;
    f_proto = f_socket->socketProtocol();
    f_maxDataSize = f_proto == kelIPPROTO_TCP ? kMaxTcpData : kMaxUdpData;
    f_lastConnectionIdInt.store(isServer() ? 5500 : 5600);
    f_initDone.setState(false);
    f_port.reset(new (std::nothrow) kelIOCPClass(0));
    if (f_port && f_port->handle()) {
        const size_t n = workersFor(f_port->numProcessors());
        for (size_t i = 0; i < n; ++i) {
            auto* w = kelCreate<kelIOCPSockWorkerThread>(this, f_port.get(), static_cast<uint32_t>(i + 1));
            if (w) f_pool.push_back(w);
        }
    }
    int err = !f_port || !f_port->handle() || f_pool.empty() ? WSAENOBUFS : 0;
    if (err == 0) err = isServer() ? startServer() : startClient();
    f_socketError.store(err);
    f_s = f_socket->handle();
    if (err == 0 && !f_port->associate(f_s, f_id)) err = WSAEINVAL;
    uint32_t clientConnId = 0;
    if (err == 0 && !shouldStop()) {
        f_ready.store(true);
        f_initDone.setState(true);
        if (isServer()) {
            raise(kelseThreadAdjustSocketOptions, static_cast<uintptr_t>(f_s), reinterpret_cast<void*>(1), 0);
            raise(kelseServerListen, 0, nullptr, 0);
            // UDP: one receive per worker is pending; the port still serves
            // the socket to one worker at a time, in order.
            const size_t receives = f_proto == kelIPPROTO_TCP ? 1 : f_pool.size();
            for (size_t i = 0; i < receives; ++i) {
                kelIOCPOverlapped* r = newRecord(f_proto == kelIPPROTO_TCP ? kelIOCPOverlapped::Accept
                                                                           : kelIOCPOverlapped::ReceiveFrom,
                                                 nullptr, f_proto == kelIPPROTO_TCP ? 0 : f_maxDataSize);
                if (!r) continue;
                r->op.sizeFromPending = true;
                if (post(r, f_s) != 0)
                    removeRecord(r);
                else if (i > 0)
                    ++f_spawnCount;
            }
        } else {
            auto* c = new (std::nothrow)
                kelSocksConnection(this, nextConnectionId(), f_socket.get(), false, nullptr, clock().nowMs());
            if (c && addConnection(c)) {
                clientConnId = c->connId();
                raise(kelseThreadAdjustSocketOptions, static_cast<uintptr_t>(f_s), reinterpret_cast<void*>(1),
                      0);
                raise(kelseClientConnect, clientConnId, nullptr, 0);
                kelIOCPOverlapped* r = newRecord(kelIOCPOverlapped::Receive, c, f_maxDataSize);
                if (r) r->op.sizeFromPending = true;
                if (r && post(r, f_s) != 0) removeRecord(r);
            }
        }
        for (kelIOCPSockWorkerThread* w : f_pool)
            (void)w->start(10000);
        while (!shouldStop()) {
            runRequestedRemovals();
            expireUdpParties();
            failStuckSends();
            (void)sleepThread(kLoopMs);
        }
    } else if (err != 0) {
        f_startupError = err;
        raise(kelseThreadStartupError, static_cast<uintptr_t>(f_lastConnectionIdInt.load()), &f_startupError,
              sizeof f_startupError);
    }
    f_ready.store(false);
    if (clientConnId) raise(kelseClientDisconnect, clientConnId, nullptr, 0);
    endRun();
    if (isServer()) raise(kelseServerStop, 0, nullptr, 0);
    finishRun();
    return 0;
}

void kelIOCPSocksThread::failStuckSends() noexcept
{
    // Only sends can be stuck: a receive waits for a peer that may well be
    // silent, and stays pending as long as it likes.
    const uint64_t now = clock().nowMs();
    std::vector<kelSocksConnection*> stuck;
    if (!f_olist.lock(true, 10)) return;
    const intptr_t n = f_olist.count();
    for (intptr_t k = 0; k < n && k < 64; ++k) {
        if (f_stuckScanAt >= n) f_stuckScanAt = 0;
        kelIOCPOverlapped* r = f_olist.recordAt(f_stuckScanAt++);
        const bool send =
            r && (r->operation == kelIOCPOverlapped::Send || r->operation == kelIOCPOverlapped::SendTo);
        if (send && r->conn && r->acquired.load() > 0 && now - std::min(now, r->acquiredAt) > kStuckSendMs &&
            r->conn->hold())
            stuck.push_back(r->conn);
    }
    f_olist.unlockRO();
    for (kelSocksConnection* c : stuck) {
        if (isServer()) {
            if (f_proto == kelIPPROTO_TCP) retire(c, false);
        } else {
            f_socketError.store(WSAECONNRESET);
            askStop();
        }
        c->release();
    }
}

void kelIOCPSocksThread::endRun() noexcept
{
    kelCompletionPort* port = f_port ? f_port->handle() : nullptr;
    // Every started operation ends with 995: the thread's own socket leaves
    // the port, and so does every accepted one as its connection goes.
    if (port && f_s != kelInvalidSocket) (void)port->dissociate(static_cast<int>(f_s));
    removeAllConnections();
    // The workers finish the aborted records before they stop.
    kelEvent pause(false, false);
    for (int i = 0; i < 2000 && f_olist.count() > 0 && !f_pool.empty(); ++i)
        (void)pause.waitFor(1);
    for (kelIOCPSockWorkerThread* w : f_pool)
        (void)w->stop(566, true);
    for (kelIOCPSockWorkerThread* w : f_pool)
        kelFree(w);
    f_pool.clear();
    // What no worker took is finished here.
    if (port) {
        kelCPCompletion c;
        while (port->wait(c, 0, -1) == 0) {
            if (c.op) handleCompletion(nullptr, c.op, kelCPOperationAborted);
            port->finishServing();
        }
    }
    while (f_olist.count() > 0) {
        kelIOCPOverlapped* r = f_olist.recordAt(0);
        if (!r) break;
        // A record whose operation never completed keeps that hold: drop it.
        if (r->acquired.load() > 0) releaseRecord(r);
        removeRecord(r);
    }
    f_initDone.setState(false);
    f_port.reset();
    f_spawnCount = 0;
    f_s = kelInvalidSocket;
}
