#pragma once
// kelmtlIPClient: the client end of an IP pipe. It connects to a server
// (TCP or UDP), greets it with a hello, sends its provider's format once the
// server greeted back, then sends what is written into it as stream data
// and hands what the server sends on to its consumers.
//
// Make and free it with kelCreate / kelFree. Threads as kelmtlInOutIpPipe.
// The pipe is active from open until close while its socket thread runs;
// isConnected() tells whether that thread has its connection.

#include "components/kelmtlInOutIpPipe.h"
#include "core/kelCreate.h"

#include <atomic>
#include <cstdint>

class kelmtlIPClient : public kelmtlInOutIpPipe
{
public:
    static constexpr int64_t kGoodbyeTimeout = 900;

    explicit kelmtlIPClient(kelComponent* owner = nullptr);
    ~kelmtlIPClient() override;

    kelString host() const { return kelmtlInOutIpPipe::host(); }
    void setHost(const kelString& value) { setHostValue(value); }
    kelString bindToPort() const { return bindToPortValue(); }
    void setBindToPort(const kelString& value) { setBindToPortValue(value); }
    // Milliseconds between pings (user data of the 8-byte ping mark) sent as
    // data comes from the server; 0 sends none.
    uint32_t pingInterval() const noexcept { return f_pingInterval.load(); }
    void setPingInterval(uint32_t value) noexcept { f_pingInterval.store(value); }
    void setOnClientConnect(kelmtlIpConnectEvent handler) { f_onClientConnect = std::move(handler); }
    void setOnClientDisconnect(kelmtlIpConnectEvent handler) { f_onClientDisconnect = std::move(handler); }

    bool isConnected() const noexcept { return f_isConnected.load(); }
    uint32_t connId() const noexcept { return f_connId.load(); }
    kelmtlIpPacketsStack* packetStack() const noexcept { return f_clientPacketStack.get(); }

    kelString _classID() const override { return u"kelmtlIPClient"; }

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
    void beforeDestruction() override;

private:
    void sendPing();

    kelOwned<kelmtlIpPacketsStack> f_clientPacketStack;
    std::atomic<uint32_t> f_connId{0};
    std::atomic<bool> f_isConnected{false};
    std::atomic<uint64_t> f_pingMark{0};
    std::atomic<uint32_t> f_pingInterval{0};
    kelmtlIpConnectEvent f_onClientConnect;
    kelmtlIpConnectEvent f_onClientDisconnect;
};
