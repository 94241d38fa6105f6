#pragma once
// TkelIPDuplex: a transmitter that owns a receiver on the same URI, so that
// one component sends and receives on one socket (symmetric RTP). Opening
// adds the URI itself as a static destination of the transmitter and opens
// the receiver, which has no socket of its own: every packet the
// transmitter's socket receives is fed to it, and it keeps only RTP from the
// URI's host and port, from one SSRC. The receiver is active exactly while
// the duplex is.
//
// Threads. open/close and the properties belong to the window thread;
// received packets, and so onText and the receiver's consumers, run on the
// transmitter's receiving thread. Link consumers of received data to
// receiver(). Make with kelCreate, free with kelFree.

#include "streaming/kelIPReceiver.h"
#include "streaming/kelIPTransmitter.h"

#include <mutex>

class TkelIPDuplex : public TkelIPTransmitter
{
public:
    explicit TkelIPDuplex(kelComponent* owner = nullptr);
    ~TkelIPDuplex() override;

    // The owned receiver; lives as long as the duplex.
    TkelIPReceiver* receiver() const noexcept { return f_receiver.get(); }
    // Raised with each received text, the duplex as sender.
    void setOnText(kelmtIPReceiverTextEvent handler);

    kelString _classID() const override { return u"TkelIPDuplex"; }

protected:
    // The transmitter's open, the URI as a static destination, then the
    // receiver's open with this duplex's URI, SDP and isFormatProvider (the
    // duplex's first consumer is linked to the receiver as well); the
    // result is the receiver's.
    bool doOpen() override;
    // The receiver first, then the transmitter.
    void doClose() override;
    // Besides the transmitter's: the receiver takes _SSRC and the URI's user
    // name.
    void applyRTPOptions() override;
    void onReceivedPayload(const sockaddr_in& from, const uint8_t* header, const uint8_t* data,
                           size_t len) override;
    void beforeDestruction() override;

private:
    kelOwned<TkelIPReceiver> f_receiver;
    // Guards the handler; it is copied out and called unguarded.
    std::mutex f_textGuard;
    kelmtIPReceiverTextEvent f_onText;
    // Held while a packet is fed; f_feeding is set while the receiver is
    // open, so no packet meets a receiver that is opening or closing.
    std::mutex f_feedGuard;
    bool f_feeding = false;
};
