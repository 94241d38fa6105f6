#pragma once
// kelmtlIPBroadcastServer: sends what is written into it as broadcast data
// packets, with the stream format in packets of its own: one before the
// first data packet, one before every 17th after it, and one before the
// next data packet whenever the format changed.
//
// Format indexes: each change of format takes the next index of the cycle
// 3, 2, 1, 0, 3, ..., carried by the format packet (with its changed bit)
// and by every data packet that follows, so a client never plays data with
// the format of another index.
//
// Threads: write() and the send calls run on the writer's thread, under the
// pipe's lock (100 ms); open and close on the window thread.

#include "components/kelmtlIPBroadcastPipe.h"

#include <atomic>
#include <cstdint>

class kelmtlIPBroadcastServer : public kelmtlIPBroadcastPipe
{
public:
    static constexpr size_t kPieceBytes = 1400;
    static constexpr int kFormatEvery = 16;
    static constexpr intptr_t kSendLockTimeout = 100;

    explicit kelmtlIPBroadcastServer(kelComponent* owner = nullptr);

    // Sends `len` bytes (1 to 16383) as one data packet on channel
    // `channelMedia` (0 = audio), preceded by a format packet when one is
    // due. 0 sent; 1 for no data, a length over 16383, a closed pipe, a busy
    // lock or a failed send.
    int sendStreamData(uint8_t channelMedia, const void* data, uint32_t len, bool isNewChunk);
    // Sends the format packet now; 0 or 1 as above.
    int sendAudioStreamFormat();

    uint64_t packetsSent() const noexcept { return f_packetsSent.load(std::memory_order_relaxed); }
    // The socket error of the last failed send or open (0 when none).
    int lastError() const noexcept { return f_lastError.load(); }

    // The socket handle while open, -1 when closed (for tests of its
    // options). Not while another thread opens or closes the pipe.
    intptr_t socketHandle() const noexcept { return f_socket.handle(); }

    // Pause before each piece of a written block, so receivers with small
    // buffers keep up (1 ms by default; 0 sends back to back).
    void setPieceGapMs(uint32_t value) noexcept { f_pieceGapMs.store(value); }

    kelString _classID() const override { return u"kelmtlIPBroadcastServer"; }

protected:
    bool doOpen() override;
    void doClose() override;
    // Cuts the block into pieces of at most 1400 bytes, each sent as a data
    // packet (the first flagged as the start of the block). Returns the bytes
    // sent before the first failure.
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;

private:
    // Under the lock. 0 or 1.
    int sendFormatLocked();
    int sendDatagram(const uint8_t* bytes, size_t size);
    uint8_t dataIndex() const noexcept { return static_cast<uint8_t>((f_formatIndexCountdown - 1) & 3); }

    // The destination, fixed at open (the port text is resolved once).
    sockaddr_in f_addr{};
    int f_formatCountdown = 0;
    int f_formatIndexCountdown = 0;
    uint8_t f_channelSeqNum = 0;
    std::atomic<uint64_t> f_packetsSent{0};
    std::atomic<int> f_lastError{0};
    std::atomic<uint32_t> f_pieceGapMs{1};
    uint8_t f_packet[kelBroadcastMaxDatagram] = {};
};
