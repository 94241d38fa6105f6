// The receiver inside a duplex: no socket, RTCP or thread of its own. The
// duplex's transmitter receives on the socket it sends from and feeds every
// packet here, where it passes the same checks as on a socket of ours: RTP
// only from the URI's host and port, and from one SSRC.
#include "streaming/kelIPReceiver.h"

#include "net/rtp/kelRTPHeader.h"
#include "net/rtp/kelRTPReceiver.h"

#include <vector>

bool TkelIPReceiver::openMastered()
{
    makeRTPReceiver(true, protocol() == kelIPProtoRAW, true);
    if (!rec()) return false;
    applyRTPOptions();
    rec()->setExpectedSource(uriHost(), uriPort());
    rec()->setTextPayloadType(redundantTextType());
    prepareFedReceiver();
    // The transmitter's socket reaches the peer; there are no holes of ours
    // to punch (the peer is a static destination of the transmitter).
    f_noHoles.store(true);
    setRemoteAddresses(socketType(), uriHost(), uriPort(), kelString{});
    return true;
}

void TkelIPReceiver::receiveFromMaster(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload,
                                       size_t size)
{
    if (!rec() || header == nullptr || payload == nullptr || payload < header) return;
    // The packet again as it came, without the padding the transmitter's
    // receiver already took off (the checks would look for it).
    const size_t headerSize = static_cast<size_t>(payload - header);
    if (headerSize > 16 * 1024 || size > 64 * 1024) return;
    std::vector<uint8_t> packet(header, payload + size);
    if (!packet.empty() && headerSize >= kelRTPHeaderSize)
        packet[0] = static_cast<uint8_t>(packet[0] & ~0x20u);
    rec()->processDatagram(from, packet.data(), packet.size());
}
