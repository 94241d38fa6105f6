#include "net/sockets/kelSocksThread.h"

#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "net/sockets/kelSocks.h"
#include "net/sockets/kelSocksPacketStormThread.h"

#include <algorithm>

namespace {

thread_local const kelSocks* t_socks = nullptr;

// Removals asked for by event handlers on this thread; they run once the
// outermost handler has returned.
struct kelSocksRequestedRemoval
{
    kelSocksThread* thread;
    uint32_t connId;
    bool byOwner;
};
thread_local int t_handlerDepth = 0;
thread_local std::vector<kelSocksRequestedRemoval>* t_removals = nullptr;

} // namespace

kelSocksThreadScope::kelSocksThreadScope(const kelSocksThread* thread) noexcept : f_previous(t_socks)
{
    if (thread) t_socks = thread->socks();
}

kelSocksThreadScope::~kelSocksThreadScope()
{
    t_socks = f_previous;
}

bool kelSocksThreadScope::onThreadOf(const kelSocks* socks) noexcept
{
    return socks && t_socks == socks;
}

kelSocksThread::kelSocksThread(kelSocks* socks, uint32_t id) : kelThread(false), f_id(id), f_socks(socks)
{
    setDefaultStopTimeout(30000);
}

kelSocksThread::~kelSocksThread() = default;

const kelClock& kelSocksThread::clock() const noexcept
{
    return f_socks ? f_socks->clock() : kelClock::system();
}

int kelSocksThread::sendDataAsynch(uint32_t, const void*, uint32_t, bool*, int64_t) noexcept
{
    return WSAENOTCONN;
}

const sockaddr_in* kelSocksThread::getRemoteHostAddr(uint32_t connId) noexcept
{
    if (!f_connections.lock(true, 1000)) return nullptr;
    kelSocksConnection* c = nullptr;
    if (f_isServer)
        c = f_connections.get_connection(connId);
    else if (f_connections.count() > 0)
        c = f_connections.connectionAt(0);
    const sockaddr_in* a = c ? c->paddr() : nullptr;
    f_connections.unlockRO();
    return a;
}

bool kelSocksThread::isFatalSocketError(int code) noexcept
{
    switch (code) {
    case 1222:
    case 1223:
    case 1225:
    case 1226:
    case 1229:
    case 1231:
    case 1232:
    case 1233:
    case 1234:
    case 1235:
    case 1236:
    case 1238:
    case 1241:
    case 1243:
    case WSAEINVAL:
    case WSAENOTSOCK:
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAESHUTDOWN:
    case WSAEHOSTDOWN:
    case WSANOTINITIALISED:
        return true;
    default:
        return false;
    }
}

bool kelSocksThread::checkSocketError(int code, const sockaddr_in* addr, bool stopOnFatal) noexcept
{
    if (f_isServer && addr && addr->sin_addr.s_addr != 0) {
        if (kelSocksConnection* c = holdConnectionByAddr(*addr)) {
            retire(c, false);
            c->release();
        }
    }
    const bool fatal = isFatalSocketError(code);
    if (fatal && stopOnFatal) {
        f_socketError.store(code);
        askStop();
    }
    return fatal;
}

void kelSocksThread::raise(kelSocketEvent event, uintptr_t connId, const void* data, uintptr_t size) noexcept
{
    if (!f_socks) return;
    ++t_handlerDepth;
    try {
        f_socks->raiseEvent(event, f_id, connId, data, size);
    } catch (...) {
        logCaught("kelSocks::raiseEvent");
    }
    if (--t_handlerDepth > 0 || !t_removals) return;
    std::vector<kelSocksRequestedRemoval> asked;
    asked.swap(*t_removals);
    delete t_removals;
    t_removals = nullptr;
    for (const kelSocksRequestedRemoval& r : asked)
        r.thread->runRemoval(r.connId, r.byOwner);
}

void kelSocksThread::runRemoval(uint32_t connId, bool byOwner) noexcept
{
    if (kelSocksConnection* c = holdConnection(connId)) {
        retire(c, byOwner);
        c->release();
    }
    if (!f_isServer && f_connections.count() == 0) askStop();
}

void kelSocksThread::deliverPacket(kelSocketEvent event, uint32_t connId, const void* data,
                                   uint32_t size) noexcept
{
    raise(event, (connId & kelSocksConnIdMask) | kelSocksDataTag, data, size);
}

// --- pool claims ------------------------------------------------------------------

bool kelSocksThread::tryClaim() noexcept
{
    if (bodyActive() || pinned()) return false;
    bool expected = false;
    if (!f_claimed.compare_exchange_strong(expected, true)) return false;
    // A run may have begun its end between the test and the claim: only a
    // thread with nothing left of its last run is handed out.
    if (bodyActive() || f_socket) {
        f_claimed.store(false);
        return false;
    }
    f_ownerStop.store(false);
    f_socketError.store(0);
    return true;
}

void kelSocksThread::unclaim() noexcept
{
    f_socket.reset();
    f_claimed.store(false);
}

void kelSocksThread::configure(std::unique_ptr<kelSocket> socket, bool isServer) noexcept
{
    f_socket = std::move(socket);
    f_isServer = isServer;
}

void kelSocksThread::ownerStop() noexcept
{
    f_ownerStop.store(true);
    kelLock lock(&f_stormGuard, false, 1000);
    if (lock && f_psThread) f_psThread->abortDrain();
}

void kelSocksThread::freeUnstarted() noexcept
{
    if (!bodyActive() && f_claimed.load()) unclaim();
}

// --- connections -------------------------------------------------------------------

uint32_t kelSocksThread::nextConnectionId() noexcept
{
    for (int tries = 0; tries < 64; ++tries) {
        intptr_t id = f_lastConnectionIdInt.fetch_add(1) + 1;
        if ((id & kelSocksConnIdMask) != id) {
            // Past 24 bits: wrap to just above the first id.
            intptr_t cur = id;
            f_lastConnectionIdInt.compare_exchange_strong(cur, kFirstConnectionId);
            continue;
        }
        if (f_connections.indexOfId(id) < 0) return static_cast<uint32_t>(id);
    }
    return static_cast<uint32_t>(f_lastConnectionIdInt.fetch_add(1) + 1) & kelSocksConnIdMask;
}

kelSocksConnection* kelSocksThread::holdConnection(uint32_t connId) noexcept
{
    if (!f_connections.lock(true, 1000)) return nullptr;
    kelSocksConnection* c = f_connections.get_connection(connId);
    if (c && !c->hold()) c = nullptr;
    f_connections.unlockRO();
    return c;
}

kelSocksConnection* kelSocksThread::holdConnectionByAddr(const sockaddr_in& addr) noexcept
{
    if (!f_connections.lock(true, 1000)) return nullptr;
    kelSocksConnection* c = f_connections.findByAddr(addr);
    if (c && !c->hold()) c = nullptr;
    f_connections.unlockRO();
    return c;
}

bool kelSocksThread::addConnection(kelSocksConnection* conn) noexcept
{
    if (!conn) return false;
    if (f_connections.add(static_cast<kelObject*>(conn)) < 0) {
        conn->f_thread = nullptr;
        conn->release();
        return false;
    }
    return true;
}

void kelSocksThread::retire(kelSocksConnection* conn, bool byOwner) noexcept
{
    // The caller's hold keeps the list's release from being the last one, so
    // nothing is finished (no event raised) under the list's lock.
    if (!f_connections.lock(false, 2000)) return;
    const intptr_t at = f_connections.indexOf(static_cast<kelObject*>(conn));
    if (at >= 0) {
        // A hold goes to the delivery thread, which releases it behind the
        // connection's last packet; the owner's removal drops those packets,
        // so nothing waits for them.
        const bool handed = !byOwner && conn->hold();
        conn->markRemoved(byOwner);
        (void)f_connections.removeByIndex(at, 2);
        f_connections.unlockWO();
        onRetired(conn);
        if (handed) {
            kelLock lock(&f_stormGuard, true, 1000);
            if (!(lock && f_psThread && f_psThread->queueRelease(conn))) {
                lock.release();
                conn->release();
            }
        }
        return;
    }
    f_connections.unlockWO();
}

bool kelSocksThread::removeConnection(uint32_t connId, bool byOwner) noexcept
{
    if (t_handlerDepth > 0) {
        // From inside an event handler: the removal runs on this thread once
        // the handler returned.
        if (f_connections.indexOfId(connId) < 0) return false;
        try {
            if (!t_removals) t_removals = new std::vector<kelSocksRequestedRemoval>;
            t_removals->push_back({this, connId, byOwner});
        } catch (...) {
            return false;
        }
        return true;
    }
    if (kelSocksThreadScope::onThreadOf(f_socks) && bodyActive()) {
        kelLock lock(&f_stormGuard, false, 1000);
        if (!lock || f_connections.indexOfId(connId) < 0) return false;
        try {
            f_requestedRemovals.push_back(connId | (byOwner ? 0x80000000u : 0));
        } catch (...) {
            return false;
        }
        f_removalsPending.store(true);
        lock.release();
        wakeUp();
        return true;
    }
    kelSocksConnection* c = holdConnection(connId);
    if (!c) return false;
    retire(c, byOwner);
    c->release();
    return true;
}

void kelSocksThread::runRequestedRemovals() noexcept
{
    if (!f_removalsPending.exchange(false)) return;
    std::vector<uint32_t> ids;
    {
        kelLock lock(&f_stormGuard, false, 1000);
        if (!lock) {
            f_removalsPending.store(true);
            return;
        }
        ids.swap(f_requestedRemovals);
    }
    for (uint32_t v : ids) {
        if (kelSocksConnection* c = holdConnection(v & kelSocksConnIdMask)) {
            retire(c, (v & 0x80000000u) != 0);
            c->release();
        }
    }
    if (!f_isServer && f_connections.count() == 0) askStop();
}

void kelSocksThread::removeAllConnections() noexcept
{
    for (;;) {
        kelSocksConnection* c = nullptr;
        if (f_connections.lock(true, 2000)) {
            if (f_connections.count() > 0) {
                c = f_connections.connectionAt(0);
                if (c && !c->hold()) c = nullptr;
            }
            f_connections.unlockRO();
        }
        if (!c) {
            if (f_connections.count() == 0 || !f_connections.removeByIndex(0, 2)) break;
            continue;
        }
        retire(c, true);
        c->release();
    }
}

void kelSocksThread::connectionFinished(kelSocksConnection* conn) noexcept
{
    if (conn->f_dropPending.load()) {
        kelLock lock(&f_stormGuard, true, 1000);
        if (lock && f_psThread) f_psThread->removeConnection(conn->connId());
    }
    const uint32_t connId = conn->connId();
    const bool server = f_isServer;
    delete conn;
    if (server) raise(kelseServerDisconnect, connId, nullptr, 0);
}

// --- the storm thread of a run ------------------------------------------------------

void kelSocksThread::startStorm() noexcept
{
    kelSocksPacketStormThread* s = kelCreate<kelSocksPacketStormThread>(this);
    kelLock lock(&f_stormGuard, false, 5000);
    f_psThread = s;
}

void kelSocksThread::endStorm(bool drain) noexcept
{
    kelSocksPacketStormThread* s = f_psThread;
    if (!s) return;
    if (drain && !f_ownerStop.load() && s->status() == keltsRunning) (void)s->waitDrained(3000);
    s->stop(3000, true);
    {
        kelLock lock(&f_stormGuard, false, 5000);
        f_psThread = nullptr;
    }
    s->dropAll();
    kelFree(s);
}

void kelSocksThread::finishRun() noexcept
{
    f_socket.reset();
    f_initDone.setState(false);
    {
        kelLock lock(&f_stormGuard, false, 1000);
        f_requestedRemovals.clear();
    }
    f_removalsPending.store(false);
    f_claimed.store(false);
}

// --- UDP parties ---------------------------------------------------------------------

void kelSocksThread::expireUdpParties() noexcept
{
    if (f_udpConnectionTimeout <= 0) return;
    const uint64_t now = clock().nowMs();
    std::vector<kelSocksConnection*> expired;
    if (!f_connections.lock(true, 10)) return;
    const intptr_t n = f_connections.count();
    // A slice per round, continuing where the last one stopped.
    for (intptr_t k = 0; k < n && k < 64; ++k) {
        if (f_udpScanAt >= n) f_udpScanAt = 0;
        kelSocksConnection* c = f_connections.connectionAt(f_udpScanAt++);
        if (c && now - std::min(now, c->lpStamp()) > static_cast<uint64_t>(f_udpConnectionTimeout) &&
            c->hold())
            expired.push_back(c);
    }
    f_connections.unlockRO();
    for (kelSocksConnection* c : expired) {
        retire(c, false);
        c->release();
    }
}

void kelSocksThread::evictLongestSilent() noexcept
{
    kelSocksConnection* oldest = nullptr;
    if (!f_connections.lock(true, 100)) return;
    for (intptr_t i = 0, n = f_connections.count(); i < n; ++i) {
        kelSocksConnection* c = f_connections.connectionAt(i);
        if (c && (!oldest || c->lpStamp() < oldest->lpStamp())) oldest = c;
    }
    if (oldest && !oldest->hold()) oldest = nullptr;
    f_connections.unlockRO();
    if (!oldest) return;
    retire(oldest, false);
    oldest->release();
}
