#include "net/sockets/kelSocks.h"

#include "core/kelCreate.h"
#include "net/sockets/kelIOCPSockets.h"
#include "net/sockets/kelSocksConnection.h"
#include "net/sockets/kelSocksThread.h"
#include "net/sockets/kelUdpSocket.h"
#include "net/sockets/kelWSA.h"

#include <memory>
#include <new>
#include <vector>

namespace {

constexpr intptr_t kListLockMs = 1000;
constexpr intptr_t kClaimLockMs = 4000;
constexpr int64_t kStartMs = 10000;
constexpr int64_t kCloseMs = 2700;

bool knownProtocol(int protocol) noexcept
{
    return protocol == kelIPPROTO_TCP || protocol == kelIPPROTO_UDP;
}

std::unique_ptr<kelSocket> makeSocket(int protocol, bool overlapped) noexcept
{
    if (protocol == kelIPPROTO_TCP)
        return std::unique_ptr<kelSocket>(new (std::nothrow) kelTcpSocket(overlapped));
    return std::unique_ptr<kelSocket>(new (std::nothrow) kelUdpSocket(overlapped));
}

} // namespace

// --- kelSocksThreads -------------------------------------------------------------

kelSocksThreads::kelSocksThreads() : kelIdList(uldt_obj, false)
{
    setAutoFree(true);
    setTimeout(kListLockMs);
}

int64_t kelSocksThreads::getId(void* item) noexcept
{
    return static_cast<kelSocksThread*>(item)->id();
}

// --- kelSocks ------------------------------------------------------------------------

kelSocks::kelSocks(uintptr_t threadsInPool, bool isIOCP) : f_initialPool(threadsInPool), f_initialIOCP(isIOCP)
{}

kelSocks::~kelSocks()
{
    delete f_threads;
}

void kelSocks::afterConstruction()
{
    if (!socketsSharedWSA()) f_master = socketsStartup(0x0202) == 0;
    f_threads = new kelSocksThreads;
    setIsIOCP(f_initialIOCP);
    setPoolSize(f_initialPool);
}

void kelSocks::beforeDestruction()
{
    clear(true, true);
    if (f_threads) {
        f_threads->clear(2, true);
        delete f_threads;
        f_threads = nullptr;
    }
    if (f_master) (void)socketsShutdown();
}

void kelSocks::raiseEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                          uintptr_t size)
{
    if (f_onEvent) f_onEvent(this, event, id, connId, data, size);
}

kelSocksThread* kelSocks::newThread(uint32_t id) noexcept
{
    if (f_isIOCP.load()) return kelCreate<kelIOCPSocksThread>(this, id);
    return kelCreate<kelSocksThread>(this, id);
}

void kelSocks::setPoolSize(uintptr_t threadsInPool) noexcept
{
    if (!f_threads) return;
    if (threadsInPool > kMaxPoolSize) threadsInPool = kMaxPoolSize;
    if (threadsInPool < 1) threadsInPool = 1;
    if (!f_threads->lock(false, 100)) return;
    const uintptr_t old = static_cast<uintptr_t>(f_threads->count());
    if (threadsInPool < old) {
        // Only free threads go; busy ones stay beyond the new size.
        for (intptr_t i = static_cast<intptr_t>(old);
             i-- > 0 && static_cast<uintptr_t>(f_threads->count()) > threadsInPool;) {
            kelSocksThread* t = f_threads->threadAt(i);
            if (t && t->tryClaim()) (void)f_threads->removeByIndex(i, 2);
        }
    } else {
        for (uintptr_t i = old; i < threadsInPool; ++i) {
            const auto id = static_cast<uint32_t>(f_lastThreadID.fetch_add(1));
            kelSocksThread* t = newThread(id);
            if (!t || f_threads->add(static_cast<kelObject*>(t)) < 0) {
                kelFree(t);
                break;
            }
        }
    }
    f_threadPoolSize.store(threadsInPool);
    f_threads->unlockWO();
}

void kelSocks::rebuildPool() noexcept
{
    if (!f_threads) return;
    clear(true, true);
    if (!f_threads->lock(false, kClaimLockMs)) return;
    f_threads->clear(2, true);
    f_threads->unlockWO();
    const uintptr_t size = f_threadPoolSize.load();
    f_threadPoolSize.store(0);
    setPoolSize(size ? size : 1);
}

void kelSocks::setIsRTP(bool value) noexcept
{
    if (f_isRTP.exchange(value) != value) rebuildPool();
}

kelSocksThread* kelSocks::claimFreeThread() noexcept
{
    if (!f_threads || !f_threads->lock(false, kClaimLockMs)) return nullptr;
    kelSocksThread* found = nullptr;
    for (int round = 0; round < 2 && !found; ++round) {
        for (intptr_t i = 0, n = f_threads->count(); i < n && !found; ++i) {
            kelSocksThread* t = f_threads->threadAt(i);
            if (t && t->tryClaim()) found = t;
        }
        const intptr_t n = f_threads->count();
        if (!found && round == 0 && static_cast<uintptr_t>(n) < kMaxPoolSize) {
            const uintptr_t grown = static_cast<uintptr_t>(n + n / 2 + 1);
            const uintptr_t keep = f_threadPoolSize.load();
            setPoolSize(grown);
            if (grown < keep) f_threadPoolSize.store(keep);
        }
    }
    if (found) found->pin();
    f_threads->unlockWO();
    return found;
}

uint32_t kelSocks::createServer(int port, int protocol, bool activate, intptr_t backlog,
                                intptr_t udpConnectionTimeout, const kelString& bindToIP,
                                bool overlapped) noexcept
{
    if (!knownProtocol(protocol) || !f_threads || f_threads->count() == 0) return 0;
    std::unique_ptr<kelSocket> s = makeSocket(protocol, overlapped);
    if (!s) return 0;
    (void)s->setPort(port, true);
    s->setBindToIP(bindToIP);
    kelSocksThread* t = claimFreeThread();
    if (!t) return 0;
    t->configure(std::move(s), true);
    t->setBackLog(backlog);
    t->setUdpConnectionTimeout(udpConnectionTimeout);
    (void)t->setPriority(kelThreadPriorityTimeCritical);
    const uint32_t id = t->id();
    if (activate && !t->start(kStartMs)) t->freeUnstarted();
    t->unpin();
    return id;
}

uint32_t kelSocks::createConnection(const kelString& host, int port, int protocol, bool activate,
                                    const kelString& bindToIP, int bindToPort, bool overlapped) noexcept
{
    if (!knownProtocol(protocol) || !f_threads || f_threads->count() == 0) return 0;
    // The connect runs without blocking; the overlapped form counts its
    // "in progress" as begun.
    std::unique_ptr<kelSocket> s = makeSocket(protocol, overlapped || protocol == kelIPPROTO_TCP);
    if (!s) return 0;
    (void)s->setHost(host);
    (void)s->setPort(port, true);
    s->setBindToIP(bindToIP);
    (void)s->setBindToPort(kelString(std::u16string(1, u'0')));
    if (bindToPort > 0) {
        std::string digits = std::to_string(bindToPort);
        (void)s->setBindToPort(kelString(digits.begin(), digits.end()));
    }
    kelSocksThread* t = claimFreeThread();
    if (!t) return 0;
    t->configure(std::move(s), false);
    (void)t->setPriority(kelThreadPriorityHighest);
    const uint32_t id = t->id();
    if (activate && !t->start(kStartMs)) t->freeUnstarted();
    t->unpin();
    return id;
}

kelSocksThread* kelSocks::pinThread(uint32_t id) noexcept
{
    if (!f_threads || !f_threads->lock(true, kListLockMs)) return nullptr;
    auto* t = static_cast<kelSocksThread*>(f_threads->itemById(id));
    if (t) t->pin();
    f_threads->unlockRO();
    return t;
}

bool kelSocks::activate(uint32_t id) noexcept
{
    kelSocksThread* t = pinThread(id);
    if (!t) return false;
    const bool ok = t->claimed() && t->threadSocket() && t->start(kStartMs);
    t->unpin();
    return ok;
}

kelSocksThread* kelSocks::getThreadByID(uint32_t id) noexcept
{
    if (!f_threads || !f_threads->lock(true, kListLockMs)) return nullptr;
    auto* t = static_cast<kelSocksThread*>(f_threads->itemById(id));
    f_threads->unlockRO();
    return t;
}

kelSocksConnection* kelSocks::getConnection(uint32_t id, uint32_t connId, int64_t timeout,
                                            bool needAcquire) noexcept
{
    kelSocksThread* t = pinThread(id);
    if (!t) return nullptr;
    kelSocksConnection* c = nullptr;
    kelSocketsConnections& list = t->connections();
    if (list.lock(true, timeout)) {
        c = list.get_connection(connId & kelSocksConnIdMask);
        if (c && needAcquire && !c->hold()) c = nullptr;
        list.unlockRO();
    }
    t->unpin();
    return c;
}

int kelSocks::sendData(uint32_t id, const void* data, uint32_t size, uint32_t connId, bool* asynch,
                       bool noCheck, int64_t timeout) noexcept
{
    if (asynch) *asynch = false;
    kelSocksThread* t = pinThread(id);
    if (!t) return WSAENOTCONN;
    int rc = WSAENOTCONN;
    if (isIOCP()) {
        rc = t->sendDataAsynch(connId & kelSocksConnIdMask, data, size, asynch, timeout);
    } else if (kelSocksConnection* c = getConnection(id, connId, timeout, true)) {
        rc = c->send(data, size, noCheck, timeout);
        c->release();
    }
    t->unpin();
    return rc;
}

bool kelSocks::removeConnection(uint32_t id, uint32_t connId) noexcept
{
    kelSocksThread* t = pinThread(id);
    if (!t) return false;
    const bool found = t->removeConnection(connId & kelSocksConnIdMask, true);
    const bool closeClient = found && !t->isServer() && t->connections().count() == 0;
    t->unpin();
    if (closeClient) (void)closeThread(id, kCloseMs);
    return found;
}

bool kelSocks::closeThread(uint32_t id, int64_t timeout) noexcept
{
    // The manager's lock only finds the thread; the wait runs without it.
    if (!acquire(false, timeout)) return false;
    kelSocksThread* t = pinThread(id);
    releaseWO();
    if (!t) return false;
    t->ownerStop();
    if (kelSocksThreadScope::onThreadOf(this)) {
        t->askStop();
    } else {
        (void)t->stop(timeout, false);
        t->freeUnstarted();
    }
    t->unpin();
    return true;
}

void kelSocks::clear(bool clearServers, bool clearClients) noexcept
{
    if (!f_threads) return;
    std::vector<uint32_t> ids;
    if (f_threads->lock(true, kClaimLockMs)) {
        for (intptr_t i = 0, n = f_threads->count(); i < n; ++i) {
            kelSocksThread* t = f_threads->threadAt(i);
            if (t && t->claimed() && (t->isServer() ? clearServers : clearClients)) ids.push_back(t->id());
        }
        f_threads->unlockRO();
    }
    for (uint32_t id : ids)
        (void)closeThread(id, kCloseMs);
}

void kelSocks::setIsIOCP(bool value) noexcept
{
    value = value && kelIOCPClass::available();
    if (f_isIOCP.exchange(value) != value) rebuildPool();
}
