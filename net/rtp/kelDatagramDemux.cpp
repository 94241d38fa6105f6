#include "net/rtp/kelDatagramDemux.h"

#include "core/kelByteOrder.h"
#include "net/rtp/kelRTPHeader.h"

namespace {

// RFC 7983 section 7: the first-byte ranges of the multiplexed protocols.
constexpr uint8_t kSTUNLast = 3;
constexpr uint8_t kDTLSFirst = 20;
constexpr uint8_t kDTLSLast = 63;
// RFC 5761 section 4: RTCP packet types 192-223 sit where RTP would carry
// a marker bit and payload types 64-95, which rtcp-mux peers never send.
constexpr uint8_t kRTCPTypeFirst = 192;
constexpr uint8_t kRTCPTypeLast = 223;

} // namespace

bool kelIsSTUNMessage(const uint8_t* data, size_t size) noexcept
{
    if (data == nullptr || size < kelSTUNHeaderSize || data[0] > kSTUNLast) return false;
    const size_t length = kelLoadBE16(data + 2);
    if (length % 4 != 0 || length != size - kelSTUNHeaderSize) return false;
    return kelLoadBE32(data + 4) == kelSTUNMagicCookie;
}

bool kelIsSTUNBindingCheck(const uint8_t* data, size_t size) noexcept
{
    if (!kelIsSTUNMessage(data, size)) return false;
    const uint16_t type = kelLoadBE16(data);
    return type == 0x0001 || type == 0x0011;
}

kelDatagramKind kelClassifyDatagram(const uint8_t* data, size_t size) noexcept
{
    if (data == nullptr || size == 0) return keldg_other;
    const uint8_t first = data[0];
    if (first <= kSTUNLast) return kelIsSTUNMessage(data, size) ? keldg_stun : keldg_other;
    if (first >= kDTLSFirst && first <= kDTLSLast) return keldg_dtls;
    if (!rtpIsVersion2(first) || size < 2) return keldg_other;
    if (data[1] >= kRTCPTypeFirst && data[1] <= kRTCPTypeLast)
        return size >= kelRTCPMinSize ? keldg_rtcp : keldg_other;
    return size >= kelRTPHeaderSize ? keldg_rtp : keldg_other;
}
