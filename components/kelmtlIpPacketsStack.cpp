#include "components/kelmtlIpPacketsStack.h"

#include "components/kelmtlInOutIpPipe.h"

#include <algorithm>

kelmtlIpPacketsStack::kelmtlIpPacketsStack(kelmtlInOutIpPipe* master, uint32_t connId)
    : kelThread(false, kelThreadPriorityNormal), f_master(master), f_connId(connId)
{}

kelmtlIpPacketsStack::~kelmtlIpPacketsStack() = default;

void kelmtlIpPacketsStack::reset()
{
    {
        kelLock lock(&f_sendGuard, false, 1000);
        f_seqNum = 1;
    }
    f_formatSent = false;
    f_formatReceived = false;
    {
        std::lock_guard lock(f_receiveGuard);
        f_tcp.reset(1);
        f_udp.reset(1);
    }
    std::lock_guard lock(f_queueGuard);
    f_packets.clear();
    f_queuedBytes = 0;
}

uint16_t kelmtlIpPacketsStack::nextSeq() noexcept
{
    const uint32_t seq = f_seqNum;
    f_seqNum = seq + 1 >= 0x7FFFFFFFu ? 0 : seq + 1;
    return static_cast<uint16_t>(seq & 0xFFFFu);
}

int kelmtlIpPacketsStack::send(uint8_t cmd, const void* data, uint32_t len, int64_t timeout)
{
    const bool raw = f_master->streamingMode() == kelsm_RAW;
    const bool streamData = kelIpIsDataCmd(cmd);
    if (streamData) {
        if (f_formatSent.load() && (f_clientOptions.load() & kOptionSend) == 0) return kelsr_OK;
        if (!f_formatSent.load() && !raw) return kelsr_fail;
    } else if (raw) {
        return kelsr_fail;
    }
    kelLock lock(&f_sendGuard, false, static_cast<intptr_t>(std::max<int64_t>(timeout, 0) + 66));
    if (!lock) return kelsr_fail;

    const auto* p = static_cast<const uint8_t*>(data);
    if (raw) {
        const int r = f_master->transmit(connId(), 0, cmd, p, len, timeout);
        if (r == kelsr_OK) f_formatSent = true;
        return r;
    }
    const uint32_t datagram = kelIpDatagramSize(f_master->f_mtu.load(), len);
    const size_t most = kelIpMaxPacketPayload(datagram);
    // Over UDP every datagram is handled on its own, so only stream data may
    // take more than one.
    const bool udp = f_master->proto() == kelpt_UDP;
    if (!streamData && (len > most || (udp && kelIpPieceCount(len, datagram) > 1))) return kelsr_fail;
    size_t done = 0;
    do {
        const size_t part = std::min<size_t>(most, len - done);
        if (f_master->transmit(connId(), nextSeq(), cmd, p ? p + done : nullptr, part, timeout) != kelsr_OK)
            return kelsr_fail;
        done += part;
    } while (done < len);
    if (kelIpIsFormatCmd(cmd)) f_formatSent = true;
    return kelsr_OK;
}

void kelmtlIpPacketsStack::receive(const uint8_t* data, size_t len)
{
    if (data == nullptr || len == 0) return;
    if (f_master->streamingMode() == kelsm_RAW) {
        f_master->handlePacket(connId(), kelIpCmdData, data, len);
        return;
    }
    if (f_master->proto() == kelpt_UDP) {
        receiveDatagram(data, len);
        return;
    }
    std::lock_guard lock(f_receiveGuard);
    f_tcp.feed(data, len, [this](uint8_t cmd, uint16_t, const uint8_t* payload, size_t size) {
        enqueue(cmd, payload, size);
    });
}

void kelmtlIpPacketsStack::receiveDatagram(const uint8_t* data, size_t len)
{
    kelIpHeader h;
    if (!kelIpReadHeader(data, len, h)) return;
    const size_t size = std::min<size_t>(h.size, len - kelIpHeaderSize);
    kelIpUdpSequence::Step step;
    {
        std::lock_guard lock(f_receiveGuard);
        step = f_udp.offer(h.seq);
    }
    if (step.lost != 0) f_master->packetsLost(connId(), step.lost);
    // A packet of another command than stream data is one datagram; a piece
    // of a longer one cannot be taken on its own.
    if (!kelIpIsDataCmd(h.cmd) && !(h.index == 0 && h.last)) return;
    if (kelIpIsFormatCmd(h.cmd)) f_formatReceived = true;
    if (kelIpIsDataCmd(h.cmd) && (f_clientOptions.load() & kOptionReceive) == 0) return;
    f_master->handlePacket(connId(), h.cmd, data + kelIpHeaderSize, size);
}

void kelmtlIpPacketsStack::enqueue(uint8_t cmd, const uint8_t* payload, size_t len)
{
    const QueueMode mode = f_queueMode.load();
    const bool accept = (mode == kQueueOwnThread && status() == keltsRunning) || mode == kQueueMaster;
    if (!accept) return;
    {
        std::lock_guard lock(f_queueGuard);
        if (f_queuedBytes + len > kMaxQueuedBytes) {
            f_droppedBytes.fetch_add(len, std::memory_order_relaxed);
            return;
        }
        f_packets.push_back(Queued{cmd, std::vector<uint8_t>(payload, payload + len)});
        f_queuedBytes += len;
    }
    if (mode == kQueueOwnThread)
        f_dataEvent.setState(true);
    else
        f_master->wakePacketThread();
}

bool kelmtlIpPacketsStack::deliverOne()
{
    Queued packet;
    {
        std::lock_guard lock(f_queueGuard);
        if (f_packets.empty()) return false;
        packet = std::move(f_packets.front());
        f_packets.pop_front();
        f_queuedBytes -= packet.payload.size();
    }
    if (kelIpIsFormatCmd(packet.cmd)) f_formatReceived = true;
    if (kelIpIsDataCmd(packet.cmd) &&
        (!f_formatReceived.load() || (f_clientOptions.load() & kOptionReceive) == 0))
        return true;
    f_master->deliverFromStack(*this, packet.cmd, packet.payload.data(), packet.payload.size());
    return true;
}

intptr_t kelmtlIpPacketsStack::execute(uintptr_t)
{
    while (!shouldStop()) {
        if (!deliverOne()) (void)waitForEvent(f_dataEvent, 100);
    }
    return 0;
}

size_t kelmtlIpPacketsStack::queuedBytes() const
{
    std::lock_guard lock(f_queueGuard);
    return f_queuedBytes;
}

size_t kelmtlIpPacketsStack::queuedPackets() const
{
    std::lock_guard lock(f_queueGuard);
    return f_packets.size();
}

uint64_t kelmtlIpPacketsStack::crcErrors() const
{
    std::lock_guard lock(f_receiveGuard);
    return f_tcp.joiner().crcErrors();
}

uint64_t kelmtlIpPacketsStack::dupCount() const
{
    std::lock_guard lock(f_receiveGuard);
    return f_tcp.joiner().dupCount();
}

uint64_t kelmtlIpPacketsStack::outOfSeq() const
{
    std::lock_guard lock(f_receiveGuard);
    return f_tcp.joiner().outOfSeq();
}

kelmtlIpPacketsStackMaster::kelmtlIpPacketsStackMaster(std::function<bool()> deliver,
                                                       std::function<void()> idle)
    : kelThread(false, kelThreadPriorityNormal), f_deliver(std::move(deliver)), f_idle(std::move(idle))
{}

intptr_t kelmtlIpPacketsStackMaster::execute(uintptr_t)
{
    while (!shouldStop()) {
        if (f_deliver && f_deliver()) continue;
        if (f_idle) f_idle();
        (void)sleepThread(kIdleSleepMs);
    }
    return 0;
}
