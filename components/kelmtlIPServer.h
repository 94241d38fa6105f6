#pragma once
// kelmtlIPServer: the server end of IP pipes. It listens (TCP) or is bound
// (UDP) and accepts up to maxClients clients; each gets a packet stack. It
// answers a client's hello with its own and its provider's format, sends
// what is written into it to every client, and hands what clients send on
// to its consumers, whose format is the one the clients sent.
//
// A UDP party the server does not accept is answered only when it says
// hello (any datagram could come from a spoofed address), and a party never
// accepted raises no disconnect event.
//
// Make and free it with kelCreate / kelFree. Threads as kelmtlInOutIpPipe;
// the accept and client events run on the socket thread.

#include "components/kelmtlInOutIpPipe.h"
#include "core/kelCreate.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

class kelmtlIpPacketsStack;
class kelmtlIpPacketsStackMaster;

enum kelIpServerConferenceMode : int32_t { uipscm_oneToMany = 0 };

class kelmtlIPServer : public kelmtlInOutIpPipe
{
public:
    static constexpr int64_t kGoodbyeTimeout = 400;
    static constexpr int64_t kRefuseTimeout = 1000;
    static constexpr int64_t kWriteTimeout = 82;
    static constexpr intptr_t kClientsLockMs = 1004;
    static constexpr size_t kMaxDeadSockets = 200;

    explicit kelmtlIPServer(kelComponent* owner = nullptr);
    ~kelmtlIPServer() override;

    kelIpServerConferenceMode confMode() const noexcept { return uipscm_oneToMany; }
    // The most clients at once; negative: no limit. Default 1.
    intptr_t maxClients() const noexcept { return f_maxClients.load(); }
    void setMaxClients(intptr_t value) noexcept { f_maxClients.store(value); }
    // A silent UDP client is dropped after this many ms (0: never). Default
    // 180000.
    intptr_t udpTimeout() const noexcept { return f_udpTimeout.load(); }
    void setUdpTimeout(intptr_t value) noexcept { f_udpTimeout.store(value); }
    // Each client gets a packet thread of its own (else one thread serves
    // all TCP clients). Set while closed.
    bool psEnabled() const noexcept { return f_psEnabled.load(); }
    void setPsEnabled(bool value) noexcept { f_psEnabled.store(value); }

    void setOnAcceptClient(kelmtlIpAcceptEvent handler) { f_onAcceptClient = std::move(handler); }
    void setOnServerNewClient(kelmtlIpConnectEvent handler) { f_onServerNewClient = std::move(handler); }
    void setOnServerClientDisconnect(kelmtlIpConnectEvent handler)
    {
        f_onServerClientDisconnect = std::move(handler);
    }

    // Per-client options (kelmtlIpPacketsStack::kOption*); -1 / false for an
    // unknown client.
    int64_t getClientOptions(uint32_t connId);
    bool setClientOptions(uint32_t connId, uint32_t options);
    size_t clientCount();
    std::vector<uint32_t> clientIds();
    // The stack of a client (shared, so it stays valid while used).
    std::shared_ptr<kelmtlIpPacketsStack> clientStack(uint32_t connId);
    size_t deadSocketsCount();

    kelString _classID() const override { return u"kelmtlIPServer"; }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    int sendToConnections(uint32_t connId, uint8_t cmd, const void* data, uint32_t len,
                          int64_t timeout) override;
    void sayGoodbye() override;
    void handlePacket(uint32_t connId, uint8_t cmd, const uint8_t* data, size_t len) override;
    uint32_t createSocketThread() override;
    bool handleSocketEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                           uintptr_t size) override;
    void prepareOpen() override;
    void afterClose() override;
    void wakePacketThread() override;
    void beforeDestruction() override;
    // Asks onAcceptClient.
    virtual void acceptClient(uint32_t connId, bool& accept);
    // Raises onServerNewClient / onServerClientDisconnect.
    virtual void clientConnected(uint32_t connId, bool connected);

private:
    using StackPtr = std::shared_ptr<kelmtlIpPacketsStack>;
    std::vector<StackPtr> snapshot(uint32_t connId, intptr_t timeout);
    bool addClient(uint32_t connId);
    bool removeClient(uint32_t connId);
    void refuse(uint32_t connId, bool udp);
    void addDeadSocket(uint32_t connId);
    bool isDeadSocket(uint32_t connId);
    bool deliverPass();
    void retire(StackPtr stack);

    kelObject f_clientsLock;
    std::vector<StackPtr> f_clients; // kelmtPsIdList, guarded by f_clientsLock
    std::atomic<bool> f_psEnabled{false};
    kelOwned<kelmtlIpPacketsStackMaster> f_psMasterThread;
    std::mutex f_deadGuard;
    std::deque<uint32_t> f_deadSockets;
    std::set<uint32_t> f_refusedUdp; // guarded by f_deadGuard
    std::atomic<intptr_t> f_maxClients{1};
    std::atomic<intptr_t> f_udpTimeout{180000};
    std::atomic<bool> f_tryingToRemoveClient{false};
    std::mutex f_retiredGuard;
    std::vector<StackPtr> f_retired;

    kelmtlIpAcceptEvent f_onAcceptClient;
    kelmtlIpConnectEvent f_onServerNewClient;
    kelmtlIpConnectEvent f_onServerClientDisconnect;
};
