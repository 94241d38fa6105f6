#include "components/kelmtlInOutIpPipe.h"

#include "components/kelMtIdeSocks.h"
#include "components/kelWaveFormatBlock.h"
#include "components/kelmtlIpPacketsStack.h"
#include "core/kelCreate.h"
#include "core/kelTick.h"
#include "core/kelUtf.h"
#include "net/sockets/kelSockAddr.h"
#include "net/sockets/kelSocket.h"
#include "net/sockets/kelSocksThread.h"
#include "platform/kelPlatformThread.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

namespace {

kelString latin1ToText(const uint8_t* data, size_t len)
{
    kelString text;
    text.reserve(len);
    for (size_t i = 0; i < len; ++i)
        text.push_back(static_cast<char16_t>(data[i]));
    return text;
}

template <class Handler, class... Args>
void raiseSafely(const Handler& handler, const char* where, Args&&... args)
{
    if (!handler) return;
    try {
        handler(std::forward<Args>(args)...);
    } catch (...) {
        kelReportHookFailure(where);
    }
}

} // namespace

kelmtlInOutIpPipe::kelmtlInOutIpPipe(kelComponent* owner)
    : kelmtlInOutPipe(owner), f_pool(new PoolSlot[kSendPoolSlots])
{
    f_socks = kelMtIdeSocksShared();
    if (f_socks != nullptr) {
        f_socks->clients().add(this);
        f_registered = true;
    }
}

kelmtlInOutIpPipe::~kelmtlInOutIpPipe() = default;

void kelmtlInOutIpPipe::detachFromSocks()
{
    close(kActivateTimeout);
    performClose();
    if (f_registered) f_socks->clients().remove(this);
    f_registered = false;
}

void kelmtlInOutIpPipe::beforeDestruction()
{
    detachFromSocks();
    kelmtlInOutPipe::beforeDestruction();
}

// --- properties -----------------------------------------------------------------

kelString kelmtlInOutIpPipe::port() const
{
    std::lock_guard lock(f_propertyGuard);
    return f_port;
}

void kelmtlInOutIpPipe::setPort(const kelString& value)
{
    std::lock_guard lock(f_propertyGuard);
    f_port = value;
}

kelString kelmtlInOutIpPipe::bindTo() const
{
    std::lock_guard lock(f_propertyGuard);
    return f_bindToIP;
}

void kelmtlInOutIpPipe::setBindTo(const kelString& value)
{
    std::lock_guard lock(f_propertyGuard);
    f_bindToIP = value;
}

kelString kelmtlInOutIpPipe::host() const
{
    std::lock_guard lock(f_propertyGuard);
    return f_host;
}

void kelmtlInOutIpPipe::setHostValue(const kelString& value)
{
    std::lock_guard lock(f_propertyGuard);
    f_host = value;
}

kelString kelmtlInOutIpPipe::bindToPortValue() const
{
    std::lock_guard lock(f_propertyGuard);
    return f_bindToPort;
}

void kelmtlInOutIpPipe::setBindToPortValue(const kelString& value)
{
    std::lock_guard lock(f_propertyGuard);
    f_bindToPort = value;
}

int kelmtlInOutIpPipe::portNumber() const
{
    const std::string text = utf16ToUtf8(port());
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > 65535) return 0;
    }
    return value;
}

bool kelmtlInOutIpPipe::useIOCPSocketsModel() const noexcept
{
    return f_socks != nullptr && f_socks->isIOCP();
}

void kelmtlInOutIpPipe::setUseIOCPSocketsModel(bool value) noexcept
{
    if (f_socks != nullptr) f_socks->setIsIOCP(value);
}

std::vector<uint8_t> kelmtlInOutIpPipe::localFormat() const
{
    std::lock_guard lock(f_formatGuard);
    return f_localFormat;
}

std::vector<uint8_t> kelmtlInOutIpPipe::remoteFormat() const
{
    std::lock_guard lock(f_formatGuard);
    return f_remoteFormat;
}

kelString kelmtlInOutIpPipe::getHostAddr(uint32_t connId)
{
    const uint32_t id = socksId();
    if (f_socks == nullptr || id == 0) return {};
    kelSocksConnection* c = f_socks->getConnection(id, connId, 100, true);
    if (c == nullptr) return {};
    const sockaddr_in a = *c->paddr();
    c->release();
    return ipN2str(a.sin_addr.s_addr) + u":" + utf8ToUtf16(std::to_string(ntohs(a.sin_port)));
}

// --- sending --------------------------------------------------------------------

kelmtlInOutIpPipe::PoolSlot* kelmtlInOutIpPipe::takeSlot() noexcept
{
    for (size_t i = 0; i < kSendPoolSlots; ++i) {
        PoolSlot& slot = f_pool[i];
        if (slot.inUse.fetch_add(1, std::memory_order_acq_rel) != 0) {
            slot.inUse.fetch_sub(1, std::memory_order_acq_rel);
            continue;
        }
        if (!slot.buffer) {
            slot.buffer.reset(new (std::nothrow) uint8_t[kelIpMaxDatagram]);
            slot.size = slot.buffer ? kelIpMaxDatagram : 0;
        }
        if (slot.size >= kelIpMaxDatagram) return &slot;
        slot.inUse.fetch_sub(1, std::memory_order_acq_rel);
    }
    return nullptr;
}

int kelmtlInOutIpPipe::transmit(uint32_t connId, uint16_t seq, uint8_t cmd, const void* data, size_t len,
                                int64_t timeout)
{
    const uint32_t id = socksId();
    if (f_socks == nullptr || id == 0) return kelsr_fail;
    if (streamingMode() == kelsm_RAW) {
        if (data == nullptr || len == 0 || len > UINT32_MAX) return kelsr_fail;
        if (f_socks->sendData(id, data, static_cast<uint32_t>(len), connId, nullptr, true, kRawTimeout) != 0)
            return kelsr_fail;
    } else {
        const uint32_t datagram = kelIpDatagramSize(f_mtu.load(), len);
        const size_t pieces = kelIpPieceCount(len, datagram);
        if (pieces > kelIpMaxPieces) return kelsr_fail;
        PoolSlot* slot = takeSlot();
        if (slot == nullptr) return kelsr_fail;
        const uint16_t checksum = kelIpChecksum(data, len);
        bool ok = true;
        for (size_t i = 0; i < pieces && ok; ++i) {
            if (socksId() != id) {
                ok = false;
                break;
            }
            const uint32_t size =
                kelIpBuildPiece(cmd, checksum, seq, data, len, datagram, i, slot->buffer.get());
            ok = size != 0 &&
                 f_socks->sendData(id, slot->buffer.get(), size, connId, nullptr, true, timeout) == 0;
        }
        slot->inUse.fetch_sub(1, std::memory_order_acq_rel);
        if (!ok) return kelsr_fail;
    }
    f_outPacketsCount.fetch_add(1, std::memory_order_relaxed);
    f_bytesSent.fetch_add(static_cast<int64_t>(len), std::memory_order_relaxed);
    raiseSafely(f_onDataSent, "onDataSent", this, connId, data, static_cast<uint32_t>(len));
    return kelsr_OK;
}

int kelmtlInOutIpPipe::sendPacket(uint32_t connId, uint8_t cmd, const void* data, uint32_t len,
                                  int64_t timeout)
{
    if (socksId() == 0) return kelsr_fail;
    return sendToConnections(connId, cmd, data, len, timeout);
}

int kelmtlInOutIpPipe::sendData(uint32_t connId, const void* data, uint32_t len)
{
    if (data == nullptr || len == 0) return kelsr_fail;
    return sendPacket(connId, kelIpCmdUser, data, len, kDataTimeout);
}

int kelmtlInOutIpPipe::sendText(uint32_t connId, const kelString& text)
{
    if (text.empty()) return kelsr_fail;
    std::string bytes;
    bytes.reserve(text.size());
    for (char16_t c : text)
        bytes.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return sendPacket(connId, kelIpCmdText, bytes.data(), static_cast<uint32_t>(bytes.size()), kDataTimeout);
}

bool kelmtlInOutIpPipe::processOutput(const uint8_t* data, size_t len, std::vector<uint8_t>& out)
{
    SwapBuffer& b = f_swapSubBuf[1];
    kelLock lock(&b.lock, false, kByteOrderLockMs);
    if (!lock) return false;
    b.order.process(streamByteOrderOutput(), data, len, out);
    return true;
}

// --- activation -----------------------------------------------------------------

bool kelmtlInOutIpPipe::isActive()
{
    return socksId() != 0 && !f_closingNow.load();
}

bool kelmtlInOutIpPipe::doOpen()
{
    (void)kelmtlInOutPipe::doOpen();
    if (isActive()) return true;
    if (f_socks == nullptr) return false;
    f_errorCode = 0;
    f_inPacketsCount = 0;
    f_outPacketsCount = 0;
    f_bytesSent = 0;
    f_bytesReceived = 0;
    f_packetsLost = 0;
    f_formatsRefused = 0;
    f_insideOnPacket = 0;
    f_insideOnPacketMustClose = false;
    for (SwapBuffer& b : f_swapSubBuf) {
        kelLock lock(&b.lock, false, kByteOrderLockMs);
        b.order.reset();
    }
    {
        kelTcpSocket probe;
        f_mtu = probe.getGeneralMTU();
    }
    f_closingNow = false;
    prepareOpen();
    uint32_t id = socksId();
    if (id == 0) {
        id = createSocketThread();
        if (id == 0) return false;
        f_socksId = id;
    }
    return f_socks->activate(id);
}

void kelmtlInOutIpPipe::doClose()
{
    if (kelMtIdeSocksClients::handling(this)) {
        // Inside one of this pipe's events: its thread may be one this close
        // stops, so the work waits until the event's handling returns.
        f_insideOnPacketMustClose = true;
        f_closingNow = true;
    } else {
        performClose();
    }
    kelmtlInOutPipe::doClose();
}

void kelmtlInOutIpPipe::performClose()
{
    std::lock_guard lock(f_closeGuard);
    const uint32_t id = socksId();
    if (id != 0 && f_socks != nullptr) {
        // The goodbye goes while the pipe still counts as open.
        sayGoodbye();
        f_closingNow = true;
        bool closed = f_socks->closeThread(id, 100);
        for (int i = 0; i < 6 && !closed; ++i) {
            kelSleepMs(10);
            closed = f_socks->closeThread(id, 100);
        }
        f_socksId = 0;
    }
    f_closingNow = true;
    afterClose();
}

void kelmtlInOutIpPipe::requestClose()
{
    if (kelMtIdeSocksClients::handling(this)) f_insideOnPacketMustClose = true;
    close(100);
}

void kelmtlInOutIpPipe::unwind()
{
    if (f_insideOnPacket.fetch_sub(1) == 1 && f_insideOnPacketMustClose.exchange(false)) performClose();
}

// --- events -----------------------------------------------------------------------

void kelmtlInOutIpPipe::socketEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                                    uintptr_t size)
{
    f_insideOnPacket.fetch_add(1);
    try {
        onSocketEventCommon(event, id, connId, data, size);
        (void)handleSocketEvent(event, id, connId, data, size);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutIpPipe::socketEvent");
    }
    unwind();
}

void kelmtlInOutIpPipe::onSocketEventCommon(kelSocketEvent event, uint32_t, uintptr_t connId,
                                            const void* data, uintptr_t size)
{
    raiseSafely(f_onSocketEvent, "onSocketEvent", this, kelSocksConnId(connId), event, data, size);
    if (event == kelseThreadStartupError) {
        setErrorCode(1);
        requestClose();
    }
    // The socket's own buffer sizes are kept: on this platform a send
    // buffer of 0 would mean the smallest one, not an unbuffered socket.
}

bool kelmtlInOutIpPipe::handleSocketEvent(kelSocketEvent, uint32_t, uintptr_t, const void*, uintptr_t)
{
    return true;
}

void kelmtlInOutIpPipe::deliverFromStack(kelmtlIpPacketsStack& stack, uint8_t cmd, const uint8_t* data,
                                         size_t len)
{
    f_insideOnPacket.fetch_add(1);
    {
        kelIpPipeHandlingScope scope(this);
        try {
            handlePacket(stack.connId(), cmd, data, len);
        } catch (...) {
            kelReportHookFailure("kelmtlInOutIpPipe::handlePacket");
        }
    }
    unwind();
}

bool kelmtlInOutIpPipe::takeRemoteFormat(const uint8_t* data, size_t len)
{
    if (len == 0 || len > kelIpMaxFormatSize) return false;
    if (len >= kelWaveFormatBlockSize) {
        kelWaveFormatBlockContent content;
        if (!kelReadWaveFormatBlock(data, len, content) || content.driverRefused ||
            content.format.formatOriginal.pcmSamplesPerSecond == 0)
            return false;
    }
    std::lock_guard lock(f_formatGuard);
    f_remoteFormat.assign(data, data + len);
    return true;
}

void kelmtlInOutIpPipe::handlePacket(uint32_t connId, uint8_t cmd, const uint8_t* data, size_t len)
{
    f_inPacketsCount.fetch_add(1, std::memory_order_relaxed);
    f_bytesReceived.fetch_add(static_cast<int64_t>(len), std::memory_order_relaxed);
    raiseSafely(f_onPacketEvent, "onPacketEvent", this, connId, cmd, data, static_cast<uint32_t>(len));
    switch (cmd) {
    case kelIpCmdFormat:
    case kelIpCmdFormatAlt:
        if (len == 0) break;
        if (!takeRemoteFormat(data, len)) {
            f_formatsRefused.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        {
            const bool wasActive = active();
            clearFormatCRC();
            (void)applyFormat(data, static_cast<uint32_t>(len), this, wasActive);
            activateConsumers(wasActive, 100);
        }
        break;
    case kelIpCmdData:
    case kelIpCmdDataAsIs:
        handleStreamData(connId, cmd, data, len);
        break;
    case kelIpCmdText:
        if (len != 0) raiseText(connId, latin1ToText(data, len));
        break;
    case kelIpCmdUser:
        raiseUserData(connId, data, static_cast<uint32_t>(len));
        break;
    default:
        break;
    }
}

void kelmtlInOutIpPipe::handleStreamData(uint32_t, uint8_t cmd, const uint8_t* data, size_t len)
{
    if (len == 0) return;
    const tkelmtlStreamByteOrder order = streamByteOrderInput();
    if (cmd == kelIpCmdDataAsIs || order == kelsbo_dontCare) {
        (void)onNewData(const_cast<uint8_t*>(data), static_cast<uint32_t>(len), this);
        return;
    }
    std::vector<uint8_t> out;
    {
        SwapBuffer& b = f_swapSubBuf[0];
        kelLock lock(&b.lock, false, kByteOrderLockMs);
        if (!lock) return;
        b.order.process(order, data, len, out);
    }
    if (!out.empty()) (void)onNewData(out.data(), static_cast<uint32_t>(out.size()), this);
}

void kelmtlInOutIpPipe::packetsLost(uint32_t, uint32_t count)
{
    f_packetsLost.fetch_add(count, std::memory_order_relaxed);
}

void kelmtlInOutIpPipe::raiseText(uint32_t connId, const kelString& text)
{
    raiseSafely(f_onTextData, "onTextData", this, connId, text);
}

void kelmtlInOutIpPipe::raiseUserData(uint32_t connId, const void* data, uint32_t len)
{
    raiseSafely(f_onUserData, "onUserData", this, connId, data, len);
}

// --- format -----------------------------------------------------------------------

bool kelmtlInOutIpPipe::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                    bool restoreActiveState)
{
    if (provider == this) return kelmtlInOutPipe::applyFormat(data, len, provider, restoreActiveState);
    // A provider's format is what this pipe sends: it goes to the peers, not
    // to this pipe's consumers (they get the peer's).
    if (len > kelIpMaxFormatSize || !fireFormatChangeBefore(provider, data, len)) return false;
    {
        std::lock_guard lock(f_formatGuard);
        const auto* p = static_cast<const uint8_t*>(data);
        f_localFormat.assign(p, p + (p ? len : 0));
    }
    if (isActive() && streamingMode() == kelsm_MT)
        (void)sendToConnections(0, kelIpCmdFormat, data, len, kDataTimeout);
    fireFormatChangeAfter(provider, data, len);
    return true;
}

uint32_t kelmtlInOutIpPipe::getFormatExchangeData(std::vector<uint8_t>& data)
{
    std::lock_guard lock(f_formatGuard);
    data = f_remoteFormat;
    return static_cast<uint32_t>(data.size());
}
