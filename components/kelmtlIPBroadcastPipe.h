#pragma once
// kelmtlIPBroadcastPipe: the base of the broadcast pipes. A server sends a
// PCM stream as UDP broadcast datagrams (kelmtlIPBroadcastPacket.h) that
// any number of clients on the network receive without a connection; the
// stream's format travels in packets of its own.
//
// The pipe holds one UDP socket, the broadcast address and port it sends to
// or listens on, the local address it binds, and the stream format as four
// wave values. Its format exchange block is the 174-byte wave block (the
// kelWaveFormat at its start, zeros after) with those four values; a
// provider's block is taken like the wave components take theirs (at most
// 4096 bytes, at least the 40 of a kelWaveFormat, values that make a wave
// format and fit the packets: tag below 65536, bits and channels below 256).
//
// Threads: properties are set on the window thread while the pipe is
// closed; the format may be applied from a provider's thread at any time.

#include "components/kelmtlIPBroadcastPacket.h"
#include "core/kelClock.h"
#include "net/sockets/kelUdpSocket.h"
#include "pipes/kelmtlInOutPipe.h"
#include "pipes/kelWaveFormat.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// The four wave values a broadcast stream carries.
struct kelBroadcastWaveFormat
{
    uintptr_t tag = kelWaveFormatTagPCM;
    uintptr_t samplesPerSec = 44100;
    uintptr_t bitsPerSample = 16;
    uintptr_t numChannels = 2;
    bool operator==(const kelBroadcastWaveFormat&) const = default;
};

class kelmtlIPBroadcastPipe : public kelmtlInOutPipe
{
public:
    static constexpr size_t kFormatBlockSize = 174;
    static constexpr size_t kMaxFormatBlock = 4096;
    static constexpr int kReceiveBufferBytes = 20480;

    explicit kelmtlIPBroadcastPipe(kelComponent* owner = nullptr);
    ~kelmtlIPBroadcastPipe() override;

    // The address datagrams go to (server) in host order; -1 (the default)
    // is 255.255.255.255, which leaves through every interface.
    void setBroadcastAddr(int64_t hostlong) noexcept;
    uint32_t broadcastAddr() const noexcept { return f_broadcastH.load(); }

    // Port text (default "17380") and local bind address (default
    // "0.0.0.0"). Applied at the next open.
    kelString port() const;
    virtual void setPort(const kelString& value);
    kelString bindTo() const;
    void setBindTo(const kelString& value);

    kelBroadcastWaveFormat waveFormat() const;
    // Stores the four values; a change marks the format as changed.
    void setWaveFormat(const kelBroadcastWaveFormat& value);

    // The time source of the pipe's logic (the system clock by default); it
    // must outlive the pipe. Set before opening.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }

    // --- published pipe members -------------------------------------------------
    using kelmtlInOutPipe::onDataAvailable;
    using kelmtlInOutPipe::onDataDSP;
    using kelmtlInOutPipe::onFormatChangeAfter;
    using kelmtlInOutPipe::onFormatChangeBefore;
    using kelmtlInOutPipe::setOnDataAvailable;
    using kelmtlInOutPipe::setOnDataDSP;
    using kelmtlInOutPipe::setOnFormatChangeAfter;
    using kelmtlInOutPipe::setOnFormatChangeBefore;

    kelString _classID() const override { return u"kelmtlIPBroadcastPipe"; }

protected:
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool isActive() override { return f_isActive.load(std::memory_order_acquire); }
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;

    // Takes and clears the changed mark.
    bool takeFormatChanged() noexcept { return f_waveFormatChanged.exchange(false); }
    void markFormatChanged() noexcept { f_waveFormatChanged.store(true); }
    bool formatChanged() const noexcept { return f_waveFormatChanged.load(); }

    // The socket and the destination, for the subclass on its sending or
    // receiving thread.
    kelUdpSocket f_socket;
    sockaddr_in broadcastSockAddr() const noexcept;
    // The port number of port(); -1 when it does not resolve.
    int portNumber() const;
    const kelClock& clock() const noexcept { return f_clock.get(); }

    std::atomic<bool> f_isActive{false};

private:
    mutable std::mutex f_guard;
    kelString f_port = u"17380";
    kelString f_bindToIP = u"0.0.0.0";
    kelBroadcastWaveFormat f_wave;
    std::atomic<uint32_t> f_broadcastH{0xFFFFFFFFu};
    std::atomic<bool> f_waveFormatChanged{true};
    kelClockSlot f_clock;
};
