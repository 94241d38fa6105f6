#include "components/kelmtlIPBroadcastServer.h"

#include <algorithm>
#include <chrono>
#include <thread>

kelmtlIPBroadcastServer::kelmtlIPBroadcastServer(kelComponent* owner) : kelmtlIPBroadcastPipe(owner) {}

bool kelmtlIPBroadcastServer::doOpen()
{
    if (isActive()) return true;
    if (!kelmtlInOutPipe::doOpen()) return false;
    markFormatChanged();
    f_channelSeqNum = 0;
    f_formatCountdown = 0;
    f_formatIndexCountdown = 0;
    f_packetsSent.store(0);
    f_socket.close(false);
    f_socket.setBindToIP(bindTo());
    (void)f_socket.setBindToPort(u"0");
    // The default send buffer stays: on Linux a size of 0 is the smallest
    // buffer, which would fail sends of large packets.
    int err = f_socket.bind();
    if (err == 0) err = f_socket.setOptBool(kelSO_BROADCAST, true);
    if (err == 0) (void)f_socket.setRcvBufSize(kReceiveBufferBytes);
    f_addr = broadcastSockAddr();
    if (err == 0 && f_addr.sin_port == 0) err = WSAEINVAL;
    f_lastError.store(err);
    if (err != 0) {
        f_socket.close(false);
        return false;
    }
    f_isActive.store(true);
    return true;
}

void kelmtlIPBroadcastServer::doClose()
{
    // Taken so no send is half way through when the socket goes.
    const bool locked = enter(false, kActivateTimeout);
    f_isActive.store(false);
    f_socket.close(false);
    if (locked) leaveWO();
    kelmtlInOutPipe::doClose();
}

int kelmtlIPBroadcastServer::sendDatagram(const uint8_t* bytes, size_t size)
{
    const int err = f_socket.sendto(f_addr, bytes, static_cast<uint32_t>(size));
    if (err != 0) {
        f_lastError.store(err);
        return 1;
    }
    countOutBytes(static_cast<int64_t>(size));
    f_packetsSent.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int kelmtlIPBroadcastServer::sendFormatLocked()
{
    const bool changed = takeFormatChanged();
    // 4 first, then 3, 2, 1 and round again: indexes 3, 2, 1, 0, 3, ...
    if (changed) f_formatIndexCountdown = f_formatIndexCountdown > 1 ? f_formatIndexCountdown - 1 : 4;
    const kelBroadcastWaveFormat w = waveFormat();
    kelBroadcastFormat f;
    f.changed = changed;
    f.index = dataIndex();
    f.tag = static_cast<uint16_t>(w.tag);
    f.samplesPerSec = static_cast<uint32_t>(w.samplesPerSec);
    f.bitsPerSample = static_cast<uint8_t>(w.bitsPerSample);
    f.numChannels = static_cast<uint8_t>(w.numChannels);
    const size_t size = kelBuildBroadcastFormat(f, f_packet);
    return sendDatagram(f_packet, size);
}

int kelmtlIPBroadcastServer::sendAudioStreamFormat()
{
    if (!isActive() || !enter(false, kSendLockTimeout)) return 1;
    const int result = sendFormatLocked();
    leaveWO();
    return result;
}

int kelmtlIPBroadcastServer::sendStreamData(uint8_t channelMedia, const void* data, uint32_t len,
                                            bool isNewChunk)
{
    if (data == nullptr || len == 0 || len > kelBroadcastMaxPayload || !isActive()) return 1;
    if (!enter(false, kSendLockTimeout)) return 1;
    int result = 0;
    // A changed format goes out before any data of it.
    if (f_formatCountdown > 0 && !formatChanged()) {
        --f_formatCountdown;
    } else if (sendFormatLocked() == 0) {
        f_formatCountdown = kFormatEvery;
    } else {
        result = 1;
    }
    if (result == 0 && isActive()) {
        f_channelSeqNum = static_cast<uint8_t>((f_channelSeqNum + 1) & 15);
        kelBroadcastData d;
        d.channelMedia = channelMedia;
        d.firstPiece = isNewChunk;
        d.index = dataIndex();
        d.sequence = f_channelSeqNum;
        d.payload = static_cast<const uint8_t*>(data);
        d.length = len;
        const size_t size = kelBuildBroadcastData(d, f_packet);
        result = sendDatagram(f_packet, size);
    } else {
        result = 1;
    }
    leaveWO();
    return result;
}

uint32_t kelmtlIPBroadcastServer::doWrite(const void* data, uint32_t len, kelmtlInOutPipe*)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sent = 0;
    while (sent < len) {
        const uint32_t piece = std::min<uint32_t>(len - sent, kPieceBytes);
        if (const uint32_t gap = f_pieceGapMs.load(); gap > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        if (sendStreamData(0, bytes + sent, piece, sent == 0) != 0) break;
        sent += piece;
    }
    return sent;
}
