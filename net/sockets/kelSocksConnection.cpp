#include "net/sockets/kelSocksConnection.h"

#include "net/sockets/kelSocksThread.h"
#include "net/sockets/kelUdpSocket.h"
#include "platform/kelSocketApi.h"

#include <poll.h>

kelSocksConnection::kelSocksConnection(kelSocksThread* thread, uint32_t connId, kelSocket* socket,
                                       bool ownsSocket, const sockaddr_in* addr, uint64_t nowMs) noexcept
    : f_thread(thread), f_threadSocket(socket), f_connId(connId), f_lpStamp(nowMs)
{
    if (ownsSocket) f_ownedSocket.reset(socket);
    if (addr)
        f_addr = *addr;
    else if (socket)
        (void)socket->getSockAddr(f_addr);
}

kelSocksConnection::~kelSocksConnection() = default;

bool kelSocksConnection::hold() noexcept
{
    int32_t n = f_holds.load(std::memory_order_acquire);
    do {
        if (n <= 0 || isDestroying()) return false;
    } while (!f_holds.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel));
    return true;
}

void kelSocksConnection::release() noexcept
{
    if (f_holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (f_thread)
        f_thread->connectionFinished(this);
    else
        delete this;
}

void kelSocksConnection::markRemoved(bool dropPending) noexcept
{
    f_dropPending.store(dropPending, std::memory_order_relaxed);
    f_destroying.store(true, std::memory_order_release);
}

bool kelSocksConnection::compareAddr(const sockaddr_in& addr) const noexcept
{
    return f_addr.sin_port == addr.sin_port && f_addr.sin_addr.s_addr == addr.sin_addr.s_addr;
}

bool kelSocksConnection::okToWrite(int64_t timeout, bool noCheckState) noexcept
{
    return f_threadSocket && f_threadSocket->okToWrite(timeout, noCheckState);
}

int kelSocksConnection::send(const void* data, uint32_t size, bool noCheck, int64_t timeout) noexcept
{
    if (!f_threadSocket) return WSAENOTCONN;
    const bool udpServer = f_thread && f_thread->isServer() && f_threadSocket->socketType() == kelSOCK_DGRAM;
    if (udpServer) {
        auto* udp = static_cast<kelUdpSocket*>(f_threadSocket);
        return udp->sendto(f_addr, data, size, 0, 0, true);
    }
    if (f_threadSocket->socketType() == kelSOCK_DGRAM) return f_threadSocket->send(data, size, true);
    // One sender at a time, so two messages never interleave on the stream.
    kelLock lock(this, false, timeout);
    if (!lock) return WSAETIMEDOUT;
    const int rc = !noCheck && !f_threadSocket->okToWrite(timeout)
                       ? WSAENOBUFS
                       : sendStream(static_cast<const uint8_t*>(data), size, timeout);
    lock.release();
    if (rc == WSAENOBUFS && f_thread) (void)f_thread->removeConnection(f_connId, false);
    return rc;
}

int kelSocksConnection::sendStream(const uint8_t* data, uint32_t size, int64_t timeout) noexcept
{
    const kelSocketHandle h = f_threadSocket->handle();
    if (h == kelInvalidSocket) return WSAENOTCONN;
    const uint64_t start = tickNow();
    uint32_t sent = 0;
    while (sent < size) {
        const int n = kelSend(h, data + sent, static_cast<int>(size - sent), kelMSG_TRY);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        const int err = n < 0 ? kelWSAGetLastError() : WSAENOBUFS;
        if (err != WSAEWOULDBLOCK) return err;
        const uint64_t spent = ticksSince(start);
        if (timeout >= 0 && spent >= static_cast<uint64_t>(timeout)) return WSAENOBUFS;
        pollfd p{static_cast<int>(h), POLLOUT, 0};
        const int64_t left = timeout < 0 ? 0 : timeout - static_cast<int64_t>(spent);
        (void)::poll(&p, 1, static_cast<int>(left > 100 ? 100 : left));
    }
    return 0;
}

// --- kelSocketsConnections ------------------------------------------------------

kelSocketsConnections::kelSocketsConnections() : kelIdList(uldt_obj, true)
{
    setAutoFree(true);
}

kelSocketsConnections::~kelSocketsConnections()
{
    clear(2, true);
}

int64_t kelSocketsConnections::getId(void* item) noexcept
{
    return static_cast<kelSocksConnection*>(item)->connId();
}

void kelSocketsConnections::releaseItem(intptr_t index, uintptr_t doFree) noexcept
{
    auto* conn = static_cast<kelSocksConnection*>(itemAt(index));
    if (!conn || !wantsFree(doFree)) return;
    if (!conn->isDestroying()) conn->markRemoved(true);
    conn->release();
}

kelSocksConnection* kelSocketsConnections::get_connection(uint32_t connId) noexcept
{
    return static_cast<kelSocksConnection*>(itemById(connId));
}

kelSocksConnection* kelSocketsConnections::findByAddr(const sockaddr_in& addr) noexcept
{
    if (!lock(true)) return nullptr;
    kelSocksConnection* found = nullptr;
    for (intptr_t i = 0, n = count(); i < n && !found; ++i) {
        auto* c = static_cast<kelSocksConnection*>(itemAt(i));
        if (c && c->compareAddr(addr)) found = c;
    }
    unlockRO();
    return found;
}
