#pragma once
// TkelIPTransmitter: the sending end of the IP streaming pair. Written data
// goes out in the current encoding; sendText() sends real-time text.
//
// For rtp, udp and tcp URIs it runs one RTP transmitter, the root, bound to
// the URI's address. Receivers announce themselves with hole packets and
// become destinations of the root on their own.
//
// Threads. open/close and the properties belong to the window thread;
// sendText may come from any thread; doWrite runs on the provider's thread.
// The root is swapped and used under one guard, so a send never meets a
// root being replaced. A replaced root is parked and freed on the next idle
// tick or at close, never from inside one of its own callbacks.
//
// Make with kelCreate, free with kelFree.

#include "net/rtp/kelRTPTransmitter.h"
#include "streaming/kelIPStreamer.h"

#include <cstdint>
#include <mutex>
#include <vector>

inline constexpr int32_t kelS_OK = 0;
inline constexpr int32_t kelE_FAIL = static_cast<int32_t>(0x80004005u);

// The payload type of real-time text.
inline constexpr intptr_t kelRTPPayloadT140 = 113;

class TkelIPTransmitter : public kelIPStreamer
{
public:
    explicit TkelIPTransmitter(kelComponent* owner = nullptr);
    ~TkelIPTransmitter() override;

    // Sends `text` as one real-time text packet: UTF-8, marker clear, the
    // timestamp advanced by the number of UTF-16 code units (so a character
    // outside the BMP advances it by 2 and travels whole). Payload type 113
    // with customPayloadAware, else the root's own. kelE_FAIL for an empty
    // text or while the root is not active; kelS_OK otherwise. Any thread.
    int32_t sendText(const kelString& text);

    // Besides the base: unless the URI names a multicast group, bind2port
    // and bind2ip become the URI's port and host. Window thread.
    void setURI(const kelString& value) override;

    bool autoAddDestFromHolePacket() const noexcept { return f_autoAddDest.load(); }
    void setAutoAddDestFromHolePacket(bool value) noexcept { f_autoAddDest.store(value); }
    // Destinations of the root; 0 without one.
    intptr_t destCount();
    // The running RTP timestamp of the root; 0 without one.
    uint32_t rootTimestamp();
    // The local RTP port of the root, "<none>" without one.
    kelString rootPortLocal();

    kelString _classID() const override { return u"TkelIPTransmitter"; }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    bool doOpen() override;
    void doClose() override;
    void onIdle() override;
    void applyRTPOptions() override;
    kelRTCPstack* getRTCP() override;
    void beforeDestruction() override;

private:
    // Under f_rootGuard.
    bool openRoot();
    void parkRoot();
    void freeParked();
    intptr_t transmitLocked(uint32_t samples, const uint8_t* data, size_t len, bool marker, intptr_t payload);

    std::atomic<bool> f_autoAddDest{true};
    std::recursive_mutex f_rootGuard;
    kelOwned<kelRTPTransmitter> f_root;
    // Byte-swapped L16 for the wire; under f_rootGuard.
    std::vector<uint8_t> f_swapBuf;
    std::mutex f_parkGuard;
    std::vector<kelOwned<kelRTPTransmitter>> f_parked;
};
