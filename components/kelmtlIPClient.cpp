#include "components/kelmtlIPClient.h"

#include "components/kelMtIdeSocks.h"
#include "components/kelmtlIpPacketsStack.h"
#include "core/kelUtf.h"

#include <cstring>

namespace {

int parsePort(const kelString& text)
{
    int value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return 0;
        value = value * 10 + (c - u'0');
        if (value > 65535) return 0;
    }
    return value;
}

} // namespace

kelmtlIPClient::kelmtlIPClient(kelComponent* owner)
    : kelmtlInOutIpPipe(owner), f_clientPacketStack(kelCreate<kelmtlIpPacketsStack>(this, 0u))
{}

kelmtlIPClient::~kelmtlIPClient() = default;

void kelmtlIPClient::beforeDestruction()
{
    detachFromSocks();
    // The stack's thread calls into this pipe: it stops before the pipe goes.
    f_clientPacketStack.reset();
    kelmtlInOutIpPipe::beforeDestruction();
}

uint32_t kelmtlIPClient::createSocketThread()
{
    if (socks() == nullptr) return 0;
    return socks()->createConnection(host(), portNumber(), proto() == kelpt_TCP ? 6 : 17, false, bindTo(),
                                     parsePort(bindToPortValue()), useIOCPSocketsModel());
}

void kelmtlIPClient::prepareOpen()
{
    f_connId = 0;
    f_isConnected = false;
    if (f_clientPacketStack) {
        // The thread of the last connection was only asked to stop.
        (void)f_clientPacketStack->stop(3000);
        f_clientPacketStack->reset();
        f_clientPacketStack->setConnId(0);
    }
}

void kelmtlIPClient::afterClose()
{
    f_isConnected = false;
    f_connId = 0;
    if (f_clientPacketStack) {
        f_clientPacketStack->setQueueMode(kelmtlIpPacketsStack::kQueueNone);
        f_clientPacketStack->askStop();
    }
}

int kelmtlIPClient::sendToConnections(uint32_t, uint8_t cmd, const void* data, uint32_t len, int64_t timeout)
{
    if (!f_clientPacketStack || f_connId.load() == 0) return kelsr_fail;
    return f_clientPacketStack->send(cmd, data, len, timeout);
}

void kelmtlIPClient::sayGoodbye()
{
    if (streamingMode() == kelsm_MT && f_isConnected.load())
        (void)sendToConnections(f_connId.load(), kelIpCmdGoodbye, nullptr, 0, kGoodbyeTimeout);
}

uint32_t kelmtlIPClient::doWrite(const void* data, uint32_t len, kelmtlInOutPipe*)
{
    if (!f_isConnected.load() || data == nullptr || len == 0) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    if (streamByteOrderOutput() == kelsbo_dontCare)
        return sendToConnections(f_connId.load(), kelIpCmdData, p, len, kDataTimeout) == kelsr_OK ? len : 0;
    std::vector<uint8_t> out;
    if (!processOutput(p, len, out)) return 0;
    if (out.empty()) return len;
    return sendToConnections(f_connId.load(), kelIpCmdData, out.data(), static_cast<uint32_t>(out.size()),
                             kDataTimeout) == kelsr_OK
               ? len
               : 0;
}

void kelmtlIPClient::sendPing()
{
    const uint32_t interval = f_pingInterval.load();
    if (interval == 0) return;
    const uint64_t now = clock().nowMs();
    const uint64_t mark = f_pingMark.load();
    if (clock().msSince(mark) <= interval) return;
    uint8_t bytes[8];
    std::memcpy(bytes, &mark, sizeof bytes);
    (void)sendData(0, bytes, sizeof bytes);
    f_pingMark = now;
}

bool kelmtlIPClient::handleSocketEvent(kelSocketEvent event, uint32_t, uintptr_t connId, const void* data,
                                       uintptr_t size)
{
    const uint32_t conn = kelSocksConnId(connId);
    switch (event) {
    case kelseClientConnect:
        f_connId = conn;
        f_isConnected = true;
        f_pingMark = clock().nowMs();
        f_clientPacketStack->setConnId(conn);
        if (proto() == kelpt_TCP && streamingMode() == kelsm_MT) {
            f_clientPacketStack->setQueueMode(kelmtlIpPacketsStack::kQueueOwnThread);
            (void)f_clientPacketStack->start(10000);
        }
        if (f_onClientConnect) f_onClientConnect(this, conn, true);
        if (streamingMode() == kelsm_MT)
            (void)sendToConnections(conn, kelIpCmdHello, nullptr, 0, kDataTimeout);
        break;
    case kelseClientData:
        f_clientPacketStack->receive(static_cast<const uint8_t*>(data), size);
        sendPing();
        break;
    case kelseClientDisconnect:
        if (f_onClientDisconnect) f_onClientDisconnect(this, conn, false);
        f_clientPacketStack->setQueueMode(kelmtlIpPacketsStack::kQueueNone);
        f_clientPacketStack->askStop();
        if (f_isConnected.load() && !closingNow()) requestClose();
        f_isConnected = false;
        f_connId = 0;
        f_clientPacketStack->setConnId(0);
        clearSocksId();
        break;
    default:
        break;
    }
    return true;
}

void kelmtlIPClient::handlePacket(uint32_t connId, uint8_t cmd, const uint8_t* data, size_t len)
{
    kelmtlInOutIpPipe::handlePacket(connId, cmd, data, len);
    switch (cmd) {
    case kelIpCmdHello: {
        const std::vector<uint8_t> format = localFormatCopy();
        (void)sendToConnections(connId, kelIpCmdFormat, format.data(), static_cast<uint32_t>(format.size()),
                                kDataTimeout);
        break;
    }
    case kelIpCmdGoodbye:
    case kelIpCmdRefused: {
        const uint32_t id = socksId();
        f_isConnected = false;
        requestClose();
        if (id != 0 && socks() != nullptr) (void)socks()->removeConnection(id, connId);
        break;
    }
    default:
        break;
    }
}
