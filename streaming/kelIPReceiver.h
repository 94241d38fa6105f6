#pragma once
// TkelIPReceiver: the receiving end of the IP streaming pair. It receives
// from the address named by its URI and hands payloads on to its consumers
// as a pipe provider; real-time text does not go down the pipe but comes out
// of onText as UTF-16.
//
// For a unicast rtp or udp URI it does not wait passively: it sends hole
// packets to the transmitter (an SDES and an APP "HELO" to its RTCP port, a
// comfort-noise packet to its RTP port), which make the transmitter add it
// as a destination and keep address translators open. They are sent again
// at each report time while the transmitter has sent no RTP, so a receiver
// may start before its transmitter.
//
// Threads. open/close and the properties belong to the window thread.
// Payloads arrive on the RTP receiver's thread; doWrite, the consumers fed
// from it and onText run there (a window must post what it shows). Hole
// repeats run on the RTCP stack's idle thread.
//
// Make with kelCreate, free with kelFree.

#include "streaming/kelIPStreamer.h"
#include "streaming/kelIPStreamerEvents.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

class TkelIPReceiver : public kelIPStreamer
{
public:
    explicit TkelIPReceiver(kelComponent* owner = nullptr);
    ~TkelIPReceiver() override;

    // Raised with each received text (valid only during the call); set
    // while closed.
    void setOnText(kelmtIPReceiverTextEvent handler);

    // The local RTP port bound, "<none>" while there is no RTP receiver.
    kelString portLocal();

    kelString _classID() const override { return u"TkelIPReceiver"; }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    bool doOpen() override;
    void doClose() override;
    kelRTCPstack* getRTCP() override;
    void doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                        intptr_t bitrate) override;
    void onMemberSilent(const rtp_site_info* member) override;
    void setRemoteAddresses(intptr_t kind, const kelString& host, const kelString& portRTP,
                            const kelString& portRTCP) override;
    void beforeDestruction() override;

private:
    class rtpReceiver;
    friend class rtpReceiver;

    // The RTP receiver's thread: one packet (or raw datagram).
    void onPayload(const uint8_t* header, const uint8_t* payload, size_t size);
    void doText(const void* data, size_t len);
    void sendHoles(bool withHELO);

    kelOwned<rtpReceiver> f_rec;
    std::atomic<bool> f_firstPacket{true};
    // Where the holes go: set at open, read by the hole repeats.
    std::mutex f_addrGuard;
    intptr_t f_addrST = 0;
    sockaddr_in f_addrRTP{};
    sockaddr_in f_addrRTCP{};
    std::atomic<bool> f_noHoles{false};
    std::mutex f_eventGuard;
    kelmtIPReceiverTextEvent f_onText;
};
