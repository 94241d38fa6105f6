// Received datagrams fed to the streamers' input paths: the receiver's RTP
// acceptance and raw switch, and the transmitter's handling of RTP (hole
// packets, translator forwarding) and RTCP (NPNG, keep-alive report blocks).
// Nothing is opened, so nothing is sent.
#include "net/rtp/kelSocks_RTP.h"
#include "net/rtp/kelSocks_SNTP.h"

#include "core/kelByteOrder.h"
#include "core/kelCreate.h"

#include <arpa/inet.h>

namespace {

struct Streamers
{
    // The transmitter's RTCP stack prepares the shared SNTP clock at once:
    // point it at a loopback port where nobody answers.
    bool ntpOnLoopback = (setNTPDefaultServer(u"127.0.0.1", 9), true);
    kelOwned<kelRTPReceiver> receiver{kelCreate<kelRTPReceiver>(false)};
    kelOwned<kelRTPTransmitter> transmitter{kelCreate<kelRTPTransmitter>(
        0, false, false, kelString(u"127.0.0.1"), kelString(u"0"), kelString(), 1)};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Streamers s;
    if (size < 1 || !s.receiver || !s.transmitter) return 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(static_cast<uint16_t>(40000 + data[0]));
    const uint8_t* body = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 3) {
    case 0:
        s.receiver->processDatagram(from, body, n);
        break;
    case 1: {
        kelRTPPacketInfo info;
        if (rtpParsePacket(body, n, info))
            s.transmitter->onRTPData(from, body, body + info.payloadOffset, info.payloadSize, n);
        break;
    }
    default:
        s.transmitter->onRTCPPacket(n >= 8 ? kelLoadBE32(body + 4) : 0, from, body, n);
        break;
    }
    // Hole packets add destinations; keep the list from growing without end.
    if (s.transmitter->destGetCount() > 64) s.transmitter->close(true);
    return 0;
}
