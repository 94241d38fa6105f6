#include "net/sockets/kelIOCPSockets.h"

#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "net/sockets/kelSocks.h"
#include "net/sockets/kelUdpSocket.h"

#include <algorithm>
#include <new>

namespace {

constexpr intptr_t kWorkerWaitMs = 200;

// An accepted handle in a socket object of its own.
class kelAdoptedSocket : public kelSocket
{
public:
    explicit kelAdoptedSocket(kelSocketHandle h) noexcept
        : kelSocket(kelAF_INET, kelIPPROTO_TCP, kelSOCK_STREAM, true)
    {
        f_socket = h;
        f_bound = true;
    }
};

kelCPOpKind kindOf(kelIOCPOverlapped::Operation op) noexcept
{
    switch (op) {
    case kelIOCPOverlapped::Accept:
        return kelcpAccept;
    case kelIOCPOverlapped::Receive:
        return kelcpRecv;
    case kelIOCPOverlapped::Send:
        return kelcpSend;
    case kelIOCPOverlapped::ReceiveFrom:
        return kelcpRecvFrom;
    case kelIOCPOverlapped::SendTo:
        return kelcpSendTo;
    }
    return kelcpRecv;
}

} // namespace

// --- kelIOCPOLList ------------------------------------------------------------------

kelIOCPOLList::kelIOCPOLList(kelIOCPSocksThread* owner) : kelRecordList(true, false), f_owner(owner) {}

kelIOCPOLList::~kelIOCPOLList()
{
    clear(2, true);
}

void kelIOCPOLList::releaseItem(intptr_t index, uintptr_t doFree) noexcept
{
    auto* rec = static_cast<kelIOCPOverlapped*>(itemAt(index));
    if (rec && wantsFree(doFree)) f_owner->releaseRecord(rec);
}

// --- kelIOCPSockWorkerThread ------------------------------------------------------------

kelIOCPSockWorkerThread::kelIOCPSockWorkerThread(kelIOCPSocksThread* master, kelIOCPClass* port,
                                                 uint32_t index) noexcept
    : kelIOCPWorkerThread(port, false, kelThreadPriorityTimeCritical, kWorkerWaitMs), f_index(index),
      f_master(master)
{}

intptr_t kelIOCPSockWorkerThread::execute(uintptr_t globalIndex)
{
    kelSocksThreadScope scope(f_master);
    f_mark = f_master->clock().nowMs();
    return kelIOCPWorkerThread::execute(globalIndex);
}

void kelIOCPSockWorkerThread::account(uint64_t waitedFrom, uint64_t workedFrom) noexcept
{
    const uint64_t now = f_master->clock().nowMs();
    f_waiting += workedFrom - std::min(workedFrom, waitedFrom);
    f_working += now - std::min(now, workedFrom);
    f_mark = now;
    const uint64_t total = f_waiting + f_working;
    f_busy.store(total ? static_cast<intptr_t>(f_working * 100 / total) : 0, std::memory_order_relaxed);
}

void kelIOCPSockWorkerThread::onCompletion(uint32_t, uintptr_t, kelCPOperation* overlapped) noexcept
{
    const uint64_t from = f_mark, start = f_master->clock().nowMs();
    if (overlapped) f_master->handleCompletion(this, overlapped, overlapped->error);
    account(from, start);
}

void kelIOCPSockWorkerThread::onCompletionError(uintptr_t, kelCPOperation* overlapped, int error) noexcept
{
    const uint64_t from = f_mark, start = f_master->clock().nowMs();
    if (overlapped) f_master->handleCompletion(this, overlapped, error);
    account(from, start);
}

// --- kelIOCPSocksThread: records -----------------------------------------------------------

kelIOCPSocksThread::kelIOCPSocksThread(kelSocks* socks, uint32_t id)
    : kelSocksThread(socks, id), f_olist(this)
{}

kelIOCPSocksThread::~kelIOCPSocksThread() = default;

size_t kelIOCPSocksThread::workersFor(intptr_t processors) noexcept
{
    return static_cast<size_t>(std::min<intptr_t>(256, std::max<intptr_t>(processors, 1) * 2 + 1));
}

kelIOCPOverlapped* kelIOCPSocksThread::newRecord(kelIOCPOverlapped::Operation op, kelSocksConnection* conn,
                                                 size_t bufSize) noexcept
{
    auto* rec = new (std::nothrow) kelIOCPOverlapped;
    if (!rec) return nullptr;
    try {
        rec->op.buffer.resize(bufSize);
    } catch (...) {
        delete rec;
        return nullptr;
    }
    if (conn && !conn->hold()) {
        delete rec;
        return nullptr;
    }
    rec->operation = op;
    rec->op.kind = kindOf(op);
    rec->op.context = rec;
    rec->conn = conn;
    rec->connection = conn != nullptr;
    rec->connId = conn ? conn->connId() : 0;
    rec->udpParty = conn && f_proto == kelIPPROTO_UDP && isServer();
    if (f_olist.add(static_cast<void*>(rec)) < 0) {
        if (conn) conn->release();
        delete rec;
        return nullptr;
    }
    return rec;
}

void kelIOCPSocksThread::releaseRecord(kelIOCPOverlapped* rec) noexcept
{
    if (rec->holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (rec->done.load()) f_olDoneCount.fetch_sub(1);
    kelSocksConnection* conn = rec->conn;
    delete rec;
    if (conn) conn->release();
}

int kelIOCPSocksThread::post(kelIOCPOverlapped* rec, kelSocketHandle fd) noexcept
{
    kelCompletionPort* port = f_port ? f_port->handle() : nullptr;
    if (!port || rec->done.load()) return WSAENOTSOCK;
    rec->holds.fetch_add(1, std::memory_order_acq_rel);
    rec->socket = fd;
    rec->acquiredAt = clock().nowMs();
    if (rec->acquired.fetch_add(1) == 0) f_olAcquiredCount.fetch_add(1);
    const int rc = port->start(static_cast<int>(fd), &rec->op);
    if (rc != 0) {
        if (rec->acquired.fetch_sub(1) == 1) f_olAcquiredCount.fetch_sub(1);
        releaseRecord(rec);
    }
    return rc;
}

void kelIOCPSocksThread::removeRecord(kelIOCPOverlapped* rec) noexcept
{
    rec->holds.fetch_add(1, std::memory_order_acq_rel);
    finishRecord(rec);
}

void kelIOCPSocksThread::finishRecord(kelIOCPOverlapped* rec) noexcept
{
    if (!rec->done.exchange(true)) f_olDoneCount.fetch_add(1);
    // The caller's hold outlives the list's release, so freeing (and a
    // connection's end) never runs under the list's lock.
    (void)f_olist.removeItem(static_cast<void*>(rec), 2);
    releaseRecord(rec);
}

// --- completions ----------------------------------------------------------------------------

void kelIOCPSocksThread::handleCompletion(kelIOCPSockWorkerThread* worker, kelCPOperation* op,
                                          int error) noexcept
{
    auto* rec = static_cast<kelIOCPOverlapped*>(op->context);
    if (!rec) return;
    if (rec->acquired.fetch_sub(1) == 1) f_olAcquiredCount.fetch_sub(1);
    if (error == kelCPOperationAborted || rec->done.load() || !f_ready.load()) {
        finishRecord(rec);
        return;
    }
    switch (rec->operation) {
    case kelIOCPOverlapped::Accept:
        onAccept(rec, error);
        break;
    case kelIOCPOverlapped::Receive:
        onReceive(rec, error);
        break;
    case kelIOCPOverlapped::ReceiveFrom:
        onReceiveFrom(worker, rec, error);
        break;
    case kelIOCPOverlapped::Send:
    case kelIOCPOverlapped::SendTo:
        onSend(rec, error);
        break;
    }
}

void kelIOCPSocksThread::onAccept(kelIOCPOverlapped* rec, int error) noexcept
{
    if (error == 0 && rec->op.accepted >= 0) {
        const kelSocketHandle h = rec->op.accepted;
        sockaddr_in peer{};
        (void)kelGetPeerName(h, &peer);
        auto* sock = new (std::nothrow) kelAdoptedSocket(h);
        if (!sock) kelCloseSocket(h);
        auto* c = sock ? new (std::nothrow)
                             kelSocksConnection(this, nextConnectionId(), sock, true, &peer, clock().nowMs())
                       : nullptr;
        if (sock && !c) delete sock;
        // Held for this completion beside the list's hold.
        if (c && c->hold() && !addConnection(c)) {
            c->release();
            c = nullptr;
        }
        if (c) {
            raise(kelseThreadAdjustSocketOptions, static_cast<uintptr_t>(h), nullptr, 0);
            raise(kelseServerConnect, c->connId(), nullptr, 0);
            kelIOCPOverlapped* r =
                f_port->associate(h, f_id) ? newRecord(kelIOCPOverlapped::Receive, c, kMaxTcpData) : nullptr;
            if (!r) {
                retire(c, false);
            } else if (post(r, h) != 0) {
                removeRecord(r);
                retire(c, false);
            }
            c->release();
        }
    }
    if (post(rec, f_s) != 0)
        finishRecord(rec);
    else
        releaseRecord(rec);
}

void kelIOCPSocksThread::onReceive(kelIOCPOverlapped* rec, int error) noexcept
{
    kelSocksConnection* c = rec->conn;
    const uint32_t bytes = rec->op.transferred;
    const bool datagram = f_proto == kelIPPROTO_UDP;
    if (!c || error != 0 || (bytes == 0 && !datagram)) {
        // The peer closed or reset: what it sent before was delivered, in
        // order, by the completions before this one.
        if (isServer() && c) {
            retire(c, false);
        } else {
            f_socketError.store(error ? error : WSAESHUTDOWN);
            askStop();
        }
        finishRecord(rec);
        return;
    }
    if (bytes > 0) {
        c->setLpStamp(clock().nowMs());
        raise(isServer() ? kelseServerData : kelseClientData, c->connId(), rec->op.buffer.data(), bytes);
    }
    if (post(rec, rec->socket) != 0)
        finishRecord(rec);
    else
        releaseRecord(rec);
}

void kelIOCPSocksThread::onReceiveFrom(kelIOCPSockWorkerThread* worker, kelIOCPOverlapped* rec,
                                       int error) noexcept
{
    const uint32_t bytes = rec->op.transferred;
    if (error != 0) {
        (void)checkSocketError(error, &rec->op.addr, false);
    } else if (bytes > 0) {
        const sockaddr_in from = rec->op.addr;
        kelSocksConnection* c = holdConnectionByAddr(from);
        if (!c) {
            if (connections().count() >= maxUdpParties()) evictLongestSilent();
            c = new (std::nothrow)
                kelSocksConnection(this, nextConnectionId(), f_socket.get(), false, &from, clock().nowMs());
            if (c && c->hold() && !addConnection(c)) {
                c->release();
                c = nullptr;
            }
            if (c) raise(kelseServerConnect, c->connId(), &from, sizeof from);
            if (c && c->isDestroying()) {
                c->release();
                c = nullptr;
            }
        }
        if (c) {
            c->setLpStamp(clock().nowMs());
            const uintptr_t tagged =
                (static_cast<uintptr_t>(worker ? worker->index() & 0xFF : 0) << 24) | c->connId();
            raise(kelseServerData, tagged, rec->op.buffer.data(), bytes);
            c->release();
        }
    }
    if (post(rec, f_s) != 0)
        finishRecord(rec);
    else
        releaseRecord(rec);
}

void kelIOCPSocksThread::onSend(kelIOCPOverlapped* rec, int error) noexcept
{
    kelSocksConnection* c = rec->conn;
    if (c) c->f_sendRecords.fetch_sub(1);
    if (error != 0 && c) {
        if (isServer() && f_proto == kelIPPROTO_TCP) {
            retire(c, false);
        } else if (!isServer()) {
            f_socketError.store(error);
            askStop();
        }
    }
    finishRecord(rec);
}

void kelIOCPSocksThread::onRetired(kelSocksConnection* conn) noexcept
{
    // An accepted socket leaves the port: its started operations end with
    // 995, their records go, and the last of them finishes the connection.
    if (f_port && conn->f_ownedSocket) (void)f_port->dissociate(conn->threadSocket()->handle());
}

// --- sends ------------------------------------------------------------------------------------

int kelIOCPSocksThread::sendDataAsynch(uint32_t connId, const void* data, uint32_t size, bool* asynch,
                                       int64_t) noexcept
{
    if (asynch) *asynch = false;
    if (!f_ready.load()) return WSAENOTCONN;
    if (f_proto != kelIPPROTO_TCP && f_proto != kelIPPROTO_UDP) return WSAEFAULT;
    if (size > f_maxDataSize) return WSAEMSGSIZE;
    kelSocksConnection* c = nullptr;
    if (isServer()) {
        c = holdConnection(connId);
    } else if (connections().lock(true, 1000)) {
        if (connections().count() > 0) c = connections().connectionAt(0);
        if (c && !c->hold()) c = nullptr;
        connections().unlockRO();
    }
    if (!c) return WSAENOTCONN;
    int rc = 0;
    if (c->f_sendRecords.fetch_add(1) >= kMaxSendRecords) {
        c->f_sendRecords.fetch_sub(1);
        rc = WSAENOBUFS;
    } else {
        const bool udpServer = isServer() && f_proto == kelIPPROTO_UDP;
        kelIOCPOverlapped* r =
            newRecord(udpServer ? kelIOCPOverlapped::SendTo : kelIOCPOverlapped::Send, c, 0);
        if (!r) {
            c->f_sendRecords.fetch_sub(1);
            rc = WSAENOBUFS;
        } else {
            try {
                r->op.buffer.assign(static_cast<const uint8_t*>(data),
                                    static_cast<const uint8_t*>(data) + size);
            } catch (...) {
            }
            r->op.addr = *c->paddr();
            const kelSocketHandle fd = c->threadSocket()->handle();
            rc = r->op.buffer.size() == size ? post(r, fd) : WSAENOBUFS;
            if (rc != 0) {
                c->f_sendRecords.fetch_sub(1);
                removeRecord(r);
            } else if (asynch) {
                *asynch = true;
            }
        }
    }
    c->release();
    return rc;
}

const sockaddr_in* kelIOCPSocksThread::getRemoteHostAddr(uint32_t connId) noexcept
{
    return kelSocksThread::getRemoteHostAddr(connId);
}
