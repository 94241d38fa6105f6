// Feeds arbitrary datagrams through the IP receiver's payload path, as its
// RTP thread would: the first byte chooses raw or RTP mode and the options,
// the rest is the datagram. Every text raised must be zero-terminated, and
// whatever format a first packet selects must stay a valid block. With
// option 8 each datagram also comes as RTP and as RTCP from the
// transmitter's addresses (its SSRC and BYE bookkeeping); the receiver has
// no socket, so no hole packet leaves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "net/rtp/kelRTPHeader.h"
#include "streaming/kelIPStreaming.h"

namespace {

class kelFuzzReceiver : public TkelIPReceiver
{
public:
    void feed(const uint8_t* data, size_t size, bool raw)
    {
        if (raw) {
            receivePacket(data, data, size, true);
            return;
        }
        kelRTPPacketInfo info;
        if (rtpParsePacket(data, size, info))
            receivePacket(data, data + info.payloadOffset, info.payloadSize, false);
    }
    using TkelIPReceiver::closeDecoders;
    using TkelIPReceiver::openDecoders;
    void knowTransmitter() { setRemoteAddresses(kelIPSocketUDP, u"127.0.0.1", u"5004", {}); }
    void feedFromTransmitter(const uint8_t* data, size_t size)
    {
        const sockaddr_in rtcp = address(5005);
        onRTCPPacket(0, rtcp, data, size);
        kelRTPPacketInfo info;
        if (rtpParsePacket(data, size, info)) noteTransmitterRTP(data);
    }

private:
    static sockaddr_in address(uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }
    void noteTransmitterRTP(const uint8_t* header) { noteRTPFrom(address(5004), header); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t options = data[0];
    kelOwned<kelFuzzReceiver> rx(kelCreate<kelFuzzReceiver>());
    if (!rx) return 0;
    rx->setCustomPayloadAware((options & 2) == 0);
    rx->setDoEncode((options & 4) == 0);
    rx->setIsFormatProvider(true);
    const bool fromTransmitter = (options & 8) != 0;
    if (fromTransmitter) rx->knowTransmitter();
    rx->openDecoders();
    rx->setOnDataAvailable([&rx](kelmtlInOutPipe*, void*, uint32_t len) {
        switch (rx->encoding()) {
        case kelRTPEnc_DVI4:
        case kelRTPEnc_VDVI:
        case kelRTPEnc_GSM:
        case kelRTPEnc_GSM49:
        case kelRTPEnc_MPA:
        case kelRTPEnc_PCMA:
        case kelRTPEnc_PCMU:
        case kelRTPEnc_speex:
        case kelRTPEnc_CELT:
        case kelRTPEnc_G7221:
            if (rx->doEncode() && (len % 2 != 0 || len > kelIPStreamer::kScratchSize)) std::abort();
            break;
        default:
            break;
        }
    });
    rx->setOnText([](kelmtlInOutPipe*, const char16_t* text) {
        size_t n = 0;
        while (text[n] != 0)
            ++n;
        (void)n;
    });
    // The rest holds one or more datagrams, each after a one-byte length.
    size_t at = 1;
    while (at < size) {
        const size_t len = data[at++];
        const size_t take = len < size - at ? len : size - at;
        rx->feed(data + at, take, (options & 1) != 0);
        if (fromTransmitter) rx->feedFromTransmitter(data + at, take);
        at += take;
    }
    rx->closeDecoders();
    if (rx->samplingRate() < 1 || rx->numChannels() < 1 || rx->bitsPerSample() < 1) std::abort();
    return 0;
}
