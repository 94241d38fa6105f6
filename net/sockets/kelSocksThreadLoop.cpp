// The body of a plain socket thread: start-up, the serving loops of the four
// kinds (TCP and UDP, server and client) and the end of a run. Each loop
// waits in poll() on its sockets and the thread's wake descriptor, so a stop
// or a removal asked for from an event handler ends the wait at once.
#include "net/sockets/kelSocksThread.h"

#include "net/sockets/kelSocks.h"
#include "net/sockets/kelSocksPacketStormThread.h"
#include "net/sockets/kelUdpSocket.h"
#include "platform/kelSocketApi.h"

#include <poll.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int64_t kIdleWaitMs = 400;
constexpr int64_t kBusyWaitMs = 4;
// Larger TCP reads gain nothing and cost buffer memory.
constexpr uint32_t kMaxStreamRead = 65536;

} // namespace

int kelSocksThread::pollWithWake(pollfd* fds, size_t count, int64_t wait) noexcept
{
    const int wake = wakeFd();
    fds[count] = {wake, POLLIN, 0};
    const int n = ::poll(fds, static_cast<nfds_t>(count + (wake >= 0 ? 1 : 0)), kelPollTimeout(wait));
    if (wake >= 0 && (fds[count].revents & POLLIN)) consumeWake();
    return n;
}

int kelSocksThread::connectClient() noexcept
{
    kelSocket* s = f_socket.get();
    if (s->getSocket(true) == kelInvalidSocket) return kelWSAGetLastError();
    if (s->socketType() == kelSOCK_DGRAM) return s->connect();
    // Non-blocking, so that a stop ends a connect the peer does not answer.
    uint32_t on = 1;
    (void)s->ioctl(kelFIONBIO, &on);
    int rc = s->connect();
    if (rc == 0 || rc == WSAEWOULDBLOCK) {
        rc = WSAETIMEDOUT;
        while (!shouldStop()) {
            pollfd fds[2] = {{static_cast<int>(s->handle()), POLLOUT, 0}, {}};
            if (pollWithWake(fds, 1, 100) <= 0 || !(fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) continue;
            int err = 0;
            int len = sizeof err;
            rc = kelGetSockOpt(s->handle(), kelSOL_SOCKET, kelSO_ERROR, &err, &len) == 0
                     ? err
                     : kelWSAGetLastError();
            break;
        }
    }
    uint32_t off = 0;
    (void)s->ioctl(kelFIONBIO, &off);
    return rc;
}

int kelSocksThread::startUp() noexcept
{
    kelSocket* s = f_socket.get();
    if (f_isServer) {
        const int rc = s->socketType() == kelSOCK_STREAM ? s->listen(static_cast<int>(f_backlog))
                                                         : s->bindSocketToPort(s->getPortInt());
        if (rc != 0) return rc;
        if (!s->isActive()) return WSAEINVAL;
        raise(kelseThreadAdjustSocketOptions, static_cast<uintptr_t>(s->handle()), reinterpret_cast<void*>(1),
              0);
        raise(kelseServerListen, 0, nullptr, 0);
        return 0;
    }
    const int rc = connectClient();
    f_socketError.store(rc);
    if (rc != 0 || shouldStop()) return rc != 0 ? rc : WSAEINTR;
    auto* c = new (std::nothrow) kelSocksConnection(this, static_cast<uint32_t>(f_lastConnectionIdInt.load()),
                                                    s, false, nullptr, clock().nowMs());
    if (!addConnection(c)) return WSAENOBUFS;
    f_lastConnectionIdInt.fetch_add(1);
    return 0;
}

intptr_t kelSocksThread::execute(uintptr_t)
{
    kelSocksThreadScope scope(this);
    if (!f_socket) return -1;
    f_lastConnectionIdInt.store(kFirstConnectionId);
    f_initDone.setState(false);
    startStorm();
    const int err = startUp();
    if (!shouldStop()) {
        f_initDone.setState(true);
        if (f_psThread) (void)f_psThread->start(10000);
    }
    bool clientStarted = false;
    if (err != 0 || !f_psThread) {
        raise(kelseThreadStartupError, f_isServer ? 3999 : 4000, nullptr, 0);
    } else {
        const bool stream = f_socket->socketType() == kelSOCK_STREAM;
        const uint32_t bufSize = stream ? std::min(f_socket->getMTU(), kMaxStreamRead) : 4096;
        if (!f_isServer) {
            clientStarted = true;
            raise(kelseThreadAdjustSocketOptions, static_cast<uintptr_t>(f_socket->handle()),
                  reinterpret_cast<void*>(1), 0);
            raise(kelseClientConnect, static_cast<uintptr_t>(f_lastConnectionIdInt.load() - 1), nullptr, 0);
        }
        if (f_isServer && stream)
            serveTcpServer(bufSize);
        else if (f_isServer)
            serveUdpServer();
        else
            serveClient(bufSize);
    }
    // A run that ends by itself (the peer left) delivers what arrived before
    // its end; the owner's stop drops it.
    endStorm(!f_isServer);
    if (clientStarted)
        raise(kelseClientDisconnect, static_cast<uintptr_t>(f_lastConnectionIdInt.load() - 1), nullptr, 0);
    removeAllConnections();
    if (f_isServer) raise(kelseServerStop, 0, nullptr, 0);
    finishRun();
    return 0;
}

bool kelSocksThread::readStream(kelSocksConnection* conn, uint32_t bufSize, int& code, bool& gotData) noexcept
{
    const kelSocketHandle h = conn->threadSocket()->handle();
    uint32_t pending = 0;
    (void)kelIoctlSocket(h, kelFIONREAD, &pending);
    const uint32_t want = std::clamp<uint32_t>(pending, 1, bufSize);
    kelSocksStormBuffer* b = f_psThread->bufferGet(want);
    // No buffer: the data stays with the socket (and the peer waits) until
    // the owner has taken what is queued.
    if (!b) return true;
    const int n = kelRecv(h, b->data, static_cast<int>(want), kelMSG_TRY);
    if (n > 0) {
        b->length = static_cast<uint32_t>(n);
        conn->setLpStamp(clock().nowMs());
        if (!f_psThread->newPacket(conn->connId(), b)) f_psThread->bufferRelease(b);
        gotData = true;
        return true;
    }
    f_psThread->bufferRelease(b);
    if (n == 0) {
        code = WSAESHUTDOWN;
        return false;
    }
    code = kelWSAGetLastError();
    return code == WSAEWOULDBLOCK || code == WSAEINTR;
}

void kelSocksThread::serveTcpServer(uint32_t bufSize) noexcept
{
    int64_t wait = kIdleWaitMs;
    std::vector<kelSocksConnection*> held;
    std::vector<pollfd> fds;
    while (!shouldStop()) {
        runRequestedRemovals();
        held.clear();
        if (f_connections.lock(true, 1000)) {
            for (intptr_t i = 0, n = f_connections.count(); i < n; ++i) {
                kelSocksConnection* c = f_connections.connectionAt(i);
                if (c && c->hold()) held.push_back(c);
            }
            f_connections.unlockRO();
        }
        fds.assign(held.size() + 2, pollfd{});
        fds[0] = {static_cast<int>(f_socket->handle()), POLLIN, 0};
        for (size_t i = 0; i < held.size(); ++i)
            fds[i + 1] = {static_cast<int>(held[i]->threadSocket()->handle()), POLLIN, 0};
        // One poll serves the listener and every connection: the pass waits
        // as long as the per-connection waits would add up to.
        const int64_t passWait =
            held.empty() ? kIdleWaitMs : std::min(kIdleWaitMs, wait * static_cast<int64_t>(held.size()));
        const int ready = pollWithWake(fds.data(), held.size() + 1, passWait);
        bool gotData = false;
        if (ready > 0) {
            for (size_t i = 0; i < held.size() && !shouldStop(); ++i) {
                if (!(fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP))) continue;
                int code = 0;
                if (!readStream(held[i], bufSize, code, gotData) &&
                    (checkSocketError(code, nullptr, false) || code == WSAESHUTDOWN))
                    retire(held[i], false);
            }
            if (fds[0].revents & POLLIN) {
                intptr_t result = 0;
                std::unique_ptr<kelSocket> peer = f_socket->accept(result, 0);
                if (peer) {
                    sockaddr_in addr{};
                    (void)kelGetPeerName(peer->handle(), &addr);
                    const kelSocketHandle h = peer->handle();
                    auto* c = new (std::nothrow) kelSocksConnection(this, nextConnectionId(), peer.get(),
                                                                    true, &addr, clock().nowMs());
                    if (c) (void)peer.release();
                    if (addConnection(c)) {
                        raise(kelseThreadAdjustSocketOptions, static_cast<uintptr_t>(h), nullptr, 0);
                        raise(kelseServerConnect, c->connId(), nullptr, 0);
                    }
                }
            }
        }
        for (kelSocksConnection* c : held)
            c->release();
        if (gotData) {
            wait = kBusyWaitMs;
        } else {
            const size_t n = static_cast<size_t>(std::max<intptr_t>(f_connections.count(), 1));
            wait = kIdleWaitMs / static_cast<int64_t>(n);
            f_lastConnWait.store(wait, std::memory_order_relaxed);
        }
    }
}

void kelSocksThread::serveUdpServer() noexcept
{
    auto* udp = static_cast<kelUdpSocket*>(f_socket.get());
    const kelSocketHandle h = udp->handle();
    int64_t wait = kIdleWaitMs;
    while (!shouldStop()) {
        runRequestedRemovals();
        // Time-outs run on busy rounds too: a flood from one source must not
        // keep silent parties alive.
        expireUdpParties();
        pollfd fds[2] = {{static_cast<int>(h), POLLIN, 0}, {}};
        if (pollWithWake(fds, 1, wait) <= 0 || !(fds[0].revents & (POLLIN | POLLERR))) {
            wait = kIdleWaitMs;
            continue;
        }
        // The next datagram's size: an empty one is read and passed over.
        const uint32_t pending = udp->getPendingDataSize(true);
        kelSocksStormBuffer* b = pending ? f_psThread->bufferGet(pending) : nullptr;
        sockaddr_in from{};
        int n;
        if (b) {
            n = udp->recvfrom(&from, b->data, static_cast<int>(pending), true, kelMSG_TRY);
        } else {
            if (f_scratch.size() < 65536) f_scratch.resize(65536);
            n = udp->recvfrom(&from, f_scratch.data(), static_cast<int>(f_scratch.size()), true, kelMSG_TRY);
            if (n > 0) f_dropped.fetch_add(1, std::memory_order_relaxed);
        }
        if (n < 0) {
            const int code = kelWSAGetLastError();
            if (b) f_psThread->bufferRelease(b);
            if (code == WSAEWOULDBLOCK) continue;
            (void)checkSocketError(code, &from, false);
            wait = kIdleWaitMs;
            (void)sleepThread(10);
            continue;
        }
        if (!b || n == 0) {
            if (b) f_psThread->bufferRelease(b);
            continue;
        }
        kelSocksConnection* c = holdConnectionByAddr(from);
        if (!c) {
            if (f_connections.count() >= f_maxUdpParties) evictLongestSilent();
            c = new (std::nothrow)
                kelSocksConnection(this, nextConnectionId(), udp, false, &from, clock().nowMs());
            // A second hold for this round, beside the list's.
            if (c && c->hold() && !addConnection(c)) {
                c->release();
                c = nullptr;
            }
            if (c) raise(kelseServerConnect, c->connId(), &from, sizeof from);
            // The handler may have removed it again.
            if (c && c->isDestroying()) {
                c->release();
                c = nullptr;
            }
        }
        if (!c) {
            f_psThread->bufferRelease(b);
            continue;
        }
        c->setLpStamp(clock().nowMs());
        b->length = static_cast<uint32_t>(n);
        if (!f_psThread->newPacket(c->connId(), b)) f_psThread->bufferRelease(b);
        c->release();
        wait = kBusyWaitMs;
    }
}

void kelSocksThread::serveClient(uint32_t bufSize) noexcept
{
    const bool stream = f_socket->socketType() == kelSOCK_STREAM;
    int64_t wait = kIdleWaitMs;
    while (!shouldStop()) {
        runRequestedRemovals();
        kelSocksConnection* c = holdConnection(static_cast<uint32_t>(f_lastConnectionIdInt.load() - 1));
        if (!c) break;
        pollfd fds[2] = {{static_cast<int>(c->threadSocket()->handle()), POLLIN, 0}, {}};
        if (pollWithWake(fds, 1, wait) <= 0 || !(fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
            c->release();
            wait = kIdleWaitMs;
            continue;
        }
        int code = 0;
        bool gotData = false;
        if (stream) {
            if (!readStream(c, bufSize, code, gotData)) (void)checkSocketError(code, nullptr, true);
        } else {
            const uint32_t pending = f_socket->getPendingDataSize(true);
            kelSocksStormBuffer* b = pending ? f_psThread->bufferGet(pending) : nullptr;
            int n;
            if (b) {
                n = kelRecv(f_socket->handle(), b->data, static_cast<int>(pending), kelMSG_TRY);
            } else {
                if (f_scratch.size() < 65536) f_scratch.resize(65536);
                n = kelRecv(f_socket->handle(), f_scratch.data(), static_cast<int>(f_scratch.size()),
                            kelMSG_TRY);
                if (n > 0) f_dropped.fetch_add(1, std::memory_order_relaxed);
            }
            if (b && n > 0) {
                b->length = static_cast<uint32_t>(n);
                c->setLpStamp(clock().nowMs());
                if (!f_psThread->newPacket(c->connId(), b)) f_psThread->bufferRelease(b);
                gotData = true;
            } else if (b) {
                f_psThread->bufferRelease(b);
            }
            if (n < 0 && kelWSAGetLastError() != WSAEWOULDBLOCK)
                (void)checkSocketError(kelWSAGetLastError(), nullptr, true);
        }
        c->release();
        wait = gotData ? kBusyWaitMs : kIdleWaitMs;
    }
}
