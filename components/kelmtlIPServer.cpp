#include "components/kelmtlIPServer.h"

#include "components/kelMtIdeSocks.h"
#include "components/kelmtlIpPacketsStack.h"

#include <algorithm>

kelmtlIPServer::kelmtlIPServer(kelComponent* owner) : kelmtlInOutIpPipe(owner)
{
    setIsFormatProvider(true);
    f_psMasterThread.reset(kelCreate<kelmtlIpPacketsStackMaster>([this] { return deliverPass(); }, [] {}));
}

kelmtlIPServer::~kelmtlIPServer() = default;

void kelmtlIPServer::beforeDestruction()
{
    detachFromSocks();
    f_psMasterThread.reset();
    {
        kelLock lock(&f_clientsLock, false, kClientsLockMs);
        f_clients.clear();
    }
    {
        std::lock_guard lock(f_retiredGuard);
        f_retired.clear();
    }
    kelmtlInOutIpPipe::beforeDestruction();
}

uint32_t kelmtlIPServer::createSocketThread()
{
    if (socks() == nullptr) return 0;
    const intptr_t most = maxClients();
    const intptr_t backlog = most < 0 ? 8 : std::clamp<intptr_t>(most, 1, 8);
    return socks()->createServer(portNumber(), proto() == kelpt_TCP ? 6 : 17, false, backlog, udpTimeout(),
                                 bindTo(), useIOCPSocketsModel());
}

void kelmtlIPServer::prepareOpen()
{
    // The last run's packet thread was only asked to stop.
    if (f_psMasterThread) (void)f_psMasterThread->stop(3000);
    {
        kelLock lock(&f_clientsLock, false, kClientsLockMs);
        f_clients.clear();
    }
    {
        std::lock_guard lock(f_deadGuard);
        f_deadSockets.clear();
        f_refusedUdp.clear();
    }
    std::lock_guard lock(f_retiredGuard);
    f_retired.clear();
}

void kelmtlIPServer::retire(StackPtr stack)
{
    if (!stack) return;
    stack->setQueueMode(kelmtlIpPacketsStack::kQueueNone);
    stack->askStop();
    // A stack with a thread of its own may be the thread running this; it
    // is freed later, from the owner's thread.
    std::lock_guard lock(f_retiredGuard);
    f_retired.push_back(std::move(stack));
}

void kelmtlIPServer::afterClose()
{
    if (f_psMasterThread) {
        f_psMasterThread->askStop();
        f_psMasterThread->wakeUp();
    }
    std::vector<StackPtr> old;
    {
        kelLock lock(&f_clientsLock, false, kClientsLockMs);
        old.swap(f_clients);
    }
    for (StackPtr& s : old)
        retire(std::move(s));
    std::lock_guard lock(f_deadGuard);
    f_deadSockets.clear();
    f_refusedUdp.clear();
}

void kelmtlIPServer::wakePacketThread()
{
    if (f_psMasterThread) f_psMasterThread->wakeUp();
}

std::vector<kelmtlIPServer::StackPtr> kelmtlIPServer::snapshot(uint32_t connId, intptr_t timeout)
{
    std::vector<StackPtr> out;
    kelLock lock(&f_clientsLock, true, timeout);
    if (!lock) return out;
    for (const StackPtr& s : f_clients)
        if (connId == 0 || s->connId() == connId) out.push_back(s);
    return out;
}

kelmtlIPServer::StackPtr kelmtlIPServer::clientStack(uint32_t connId)
{
    std::vector<StackPtr> found = snapshot(connId, kClientsLockMs);
    return found.empty() || connId == 0 ? nullptr : found.front();
}

size_t kelmtlIPServer::clientCount()
{
    kelLock lock(&f_clientsLock, true, kClientsLockMs);
    return lock ? f_clients.size() : 0;
}

std::vector<uint32_t> kelmtlIPServer::clientIds()
{
    std::vector<uint32_t> ids;
    for (const StackPtr& s : snapshot(0, kClientsLockMs))
        ids.push_back(s->connId());
    return ids;
}

int64_t kelmtlIPServer::getClientOptions(uint32_t connId)
{
    const StackPtr s = clientStack(connId);
    return s ? static_cast<int64_t>(s->clientOptions()) : -1;
}

bool kelmtlIPServer::setClientOptions(uint32_t connId, uint32_t options)
{
    const StackPtr s = clientStack(connId);
    if (s) s->setClientOptions(options);
    return s != nullptr;
}

void kelmtlIPServer::addDeadSocket(uint32_t connId)
{
    std::lock_guard lock(f_deadGuard);
    f_deadSockets.push_back(connId);
    while (f_deadSockets.size() > kMaxDeadSockets)
        f_deadSockets.pop_front();
}

bool kelmtlIPServer::isDeadSocket(uint32_t connId)
{
    std::lock_guard lock(f_deadGuard);
    return std::find(f_deadSockets.begin(), f_deadSockets.end(), connId) != f_deadSockets.end();
}

size_t kelmtlIPServer::deadSocketsCount()
{
    std::lock_guard lock(f_deadGuard);
    return f_deadSockets.size();
}

int kelmtlIPServer::sendToConnections(uint32_t connId, uint8_t cmd, const void* data, uint32_t len,
                                      int64_t timeout)
{
    if ((connId != 0 && isDeadSocket(connId)) || f_tryingToRemoveClient.load()) return kelsr_fail;
    const std::vector<StackPtr> targets = snapshot(connId, static_cast<intptr_t>(timeout + 18));
    if (targets.empty()) return kelsr_fail;
    int result = kelsr_fail;
    for (const StackPtr& s : targets)
        result = s->send(cmd, data, len, timeout);
    return result;
}

void kelmtlIPServer::sayGoodbye()
{
    if (streamingMode() == kelsm_MT) (void)sendToConnections(0, kelIpCmdGoodbye, nullptr, 0, kGoodbyeTimeout);
}

uint32_t kelmtlIPServer::doWrite(const void* data, uint32_t len, kelmtlInOutPipe*)
{
    if (!isActive() || data == nullptr || len == 0) return 0;
    return sendToConnections(0, kelIpCmdData, data, len, kWriteTimeout) == kelsr_OK ? len : 0;
}

bool kelmtlIPServer::deliverPass()
{
    bool delivered = false;
    for (const StackPtr& s : snapshot(0, kClientsLockMs))
        delivered = s->deliverOne() || delivered;
    return delivered;
}

void kelmtlIPServer::acceptClient(uint32_t connId, bool& accept)
{
    if (f_onAcceptClient) f_onAcceptClient(this, connId, accept);
}

void kelmtlIPServer::clientConnected(uint32_t connId, bool connected)
{
    auto& handler = connected ? f_onServerNewClient : f_onServerClientDisconnect;
    if (handler) handler(this, connId, connected);
}

bool kelmtlIPServer::addClient(uint32_t connId)
{
    StackPtr created;
    {
        kelLock lock(&f_clientsLock, false, kClientsLockMs);
        if (!lock) return false;
        const intptr_t most = maxClients();
        const bool known = std::any_of(f_clients.begin(), f_clients.end(),
                                       [&](const StackPtr& s) { return s->connId() == connId; });
        if (known || (most >= 0 && static_cast<intptr_t>(f_clients.size()) >= most)) return false;
        created = StackPtr(kelCreate<kelmtlIpPacketsStack>(this, connId), kelFreeDeleter{});
        if (!created) return false;
        created->reset();
        f_clients.push_back(created);
    }
    const bool tcp = proto() == kelpt_TCP && streamingMode() == kelsm_MT;
    if (f_psEnabled.load()) {
        created->setQueueMode(kelmtlIpPacketsStack::kQueueOwnThread);
        (void)created->start(10000);
    } else {
        created->setQueueMode(kelmtlIpPacketsStack::kQueueMaster);
        if (tcp && f_psMasterThread && f_psMasterThread->status() != keltsRunning)
            (void)f_psMasterThread->start(10000);
    }
    return true;
}

bool kelmtlIPServer::removeClient(uint32_t connId)
{
    StackPtr removed;
    f_tryingToRemoveClient = true;
    {
        kelLock lock(&f_clientsLock, false, kClientsLockMs);
        if (lock) {
            auto it = std::find_if(f_clients.begin(), f_clients.end(),
                                   [&](const StackPtr& s) { return s->connId() == connId; });
            if (it != f_clients.end()) {
                removed = std::move(*it);
                f_clients.erase(it);
            }
        }
    }
    f_tryingToRemoveClient = false;
    if (!removed) return false;
    if (f_psEnabled.load())
        retire(std::move(removed));
    else
        removed->setQueueMode(kelmtlIpPacketsStack::kQueueNone);
    return true;
}

void kelmtlIPServer::refuse(uint32_t connId, bool udpHello)
{
    const uint32_t id = socksId();
    if (id == 0 || socks() == nullptr) return;
    if (streamingMode() == kelsm_MT && (proto() == kelpt_TCP || udpHello))
        (void)transmit(connId, 1, kelIpCmdRefused, nullptr, 0, kRefuseTimeout);
    (void)socks()->removeConnection(id, connId);
}

bool kelmtlIPServer::handleSocketEvent(kelSocketEvent event, uint32_t, uintptr_t connId, const void* data,
                                       uintptr_t size)
{
    const uint32_t conn = kelSocksConnId(connId);
    switch (event) {
    case kelseServerStop:
        clearSocksId();
        break;
    case kelseServerConnect: {
        const intptr_t most = maxClients();
        bool accept = most < 0 || static_cast<intptr_t>(clientCount()) < most;
        acceptClient(conn, accept);
        if (accept && addClient(conn)) {
            clientConnected(conn, true);
        } else if (proto() == kelpt_UDP) {
            // The reply waits for the party's hello: an answer to any
            // datagram would let a spoofed source aim replies elsewhere.
            std::lock_guard lock(f_deadGuard);
            f_refusedUdp.insert(conn);
        } else {
            refuse(conn, false);
        }
        break;
    }
    case kelseServerData: {
        const StackPtr s = clientStack(conn);
        if (s) {
            s->receive(static_cast<const uint8_t*>(data), size);
            break;
        }
        // A refused party is answered only when it says hello, and only
        // then let go; anything else it sends is dropped, and its silent
        // entry ends with the manager's UDP time-out (or its party bound).
        bool refused;
        {
            std::lock_guard lock(f_deadGuard);
            refused = f_refusedUdp.count(conn) != 0;
        }
        kelIpHeader h;
        if (refused && kelIpReadHeader(data, size, h) && h.cmd == kelIpCmdHello) refuse(conn, true);
        break;
    }
    case kelseServerDisconnect: {
        const StackPtr s = clientStack(conn);
        {
            std::lock_guard lock(f_deadGuard);
            f_refusedUdp.erase(conn);
        }
        if (!s) break; // never accepted: nobody was told of it
        if (proto() == kelpt_UDP && udpTimeout() > 0)
            (void)sendToConnections(conn, kelIpCmdGoodbye, nullptr, 0, kGoodbyeTimeout);
        clientConnected(conn, false);
        (void)removeClient(conn);
        break;
    }
    default:
        break;
    }
    return true;
}

void kelmtlIPServer::handlePacket(uint32_t connId, uint8_t cmd, const uint8_t* data, size_t len)
{
    kelmtlInOutIpPipe::handlePacket(connId, cmd, data, len);
    switch (cmd) {
    case kelIpCmdHello: {
        (void)sendToConnections(connId, kelIpCmdHello, nullptr, 0, kDataTimeout);
        const std::vector<uint8_t> format = localFormatCopy();
        (void)sendToConnections(connId, kelIpCmdFormat, format.data(), static_cast<uint32_t>(format.size()),
                                kDataTimeout);
        break;
    }
    case kelIpCmdGoodbye: {
        addDeadSocket(connId);
        const uint32_t id = socksId();
        if (id != 0 && socks() != nullptr) (void)socks()->removeConnection(id, connId);
        break;
    }
    default:
        break;
    }
}
