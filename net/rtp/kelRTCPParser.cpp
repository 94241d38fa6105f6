#include "net/rtp/kelRTCPParser.h"

#include "core/kelByteOrder.h"
#include "net/rtp/kelRTPHeader.h"

#include <algorithm>
#include <cstring>

namespace {

// Bytes of the packet that carry content: a padded packet ends with a count
// of padding bytes; a count that does not fit leaves the packet as it is.
size_t contentSize(const uint8_t* p, size_t size, size_t headerBytes, bool padding) noexcept
{
    if (!padding || size < headerBytes) return size;
    const size_t pad = p[size - 1];
    if (pad == 0 || pad > size - headerBytes) return size;
    return size - pad;
}

void readSDES(const uint8_t* p, size_t size, kelRTCPPacketView& out) noexcept
{
    if (size < 8 || out.count == 0) return;
    out.hasSSRC = true;
    out.ssrc = kelLoadBE32(p + 4);
    // Items of the first chunk until the end item (type 0); an item whose
    // header or text would cross the packet's end is not read.
    size_t at = 8;
    while (at < size && p[at] != 0) {
        if (size - at < 2) return;
        const size_t len = p[at + 1];
        if (len > size - at - 2) return;
        if (p[at] == kelSDES_CNAME && out.cname == nullptr) {
            out.cname = p + at + 2;
            out.cnameLength = static_cast<uint8_t>(len);
        }
        at += len + 2;
    }
}

} // namespace

uint32_t kelRTCPPacketView::byeSSRC(unsigned i) const noexcept
{
    return i < byeCount ? kelLoadBE32(byeSSRCs + 4 * i) : 0;
}

bool kelRTCPPacketView::isApp(const char* name4) const noexcept
{
    return type == kelrtcp_APP && hasSSRC && std::memcmp(appName, name4, 4) == 0;
}

bool kelRTCPReader::next(kelRTCPPacketView& out) noexcept
{
    if (f_offset >= f_size) return false;
    const uint8_t* p = f_data + f_offset;
    const size_t left = f_size - f_offset;
    const bool first = f_offset == 0;
    if (left < kelRTCPHeaderSize || !rtpIsVersion2(p[0]) || (first && (p[0] & 0x20))) {
        f_malformed = true;
        return false;
    }
    const size_t size = (size_t(kelLoadBE16(p + 2)) + 1) * 4;
    if (size > left) {
        f_malformed = true;
        return false;
    }
    f_offset += size;

    out = kelRTCPPacketView{};
    out.packet = p;
    out.size = size;
    out.type = p[1];
    out.count = p[0] & 0x1F;
    out.padding = (p[0] & 0x20) != 0;

    switch (out.type) {
    case kelrtcp_SR:
    case kelrtcp_RR: {
        const size_t fixed = out.type == kelrtcp_SR ? kelRTCPSRSize : kelRTCPRRSize;
        if (size < fixed) break;
        out.hasSSRC = true;
        out.ssrc = kelLoadBE32(p + 4);
        if (out.type == kelrtcp_SR) out.ntp = ntpRead(p + 8);
        const size_t body = contentSize(p, size, fixed, out.padding) - fixed;
        out.blocks = p + fixed;
        out.blockCount = static_cast<unsigned>(std::min<size_t>(out.count, body / kelRTCPBlockSize));
        break;
    }
    case kelrtcp_SDES:
        readSDES(p, contentSize(p, size, 8, out.padding), out);
        break;
    case kelrtcp_BYE:
        if (size >= kelRTCPByeSize && out.count > 0) {
            out.hasSSRC = true;
            out.ssrc = kelLoadBE32(p + 4);
            // The optional reason follows the list; padding ends the packet.
            const size_t body = contentSize(p, size, kelRTCPByeSize, out.padding) - kelRTCPHeaderSize;
            out.byeSSRCs = p + kelRTCPHeaderSize;
            out.byeCount = static_cast<unsigned>(std::min<size_t>(out.count, body / 4));
        }
        break;
    case kelrtcp_APP:
        if (size >= kelRTCPAppHeaderSize) {
            out.hasSSRC = true;
            out.ssrc = kelLoadBE32(p + 4);
            std::memcpy(out.appName, p + 8, 4);
            out.appData = p + kelRTCPAppHeaderSize;
            out.appDataSize = contentSize(p, size, kelRTCPAppHeaderSize, out.padding) - kelRTCPAppHeaderSize;
        }
        break;
    default:
        break;
    }
    return true;
}

bool rtcpLooksLikeRTCP(const uint8_t* data, size_t size) noexcept
{
    return data != nullptr && size >= kelRTCPHeaderSize && rtpIsVersion2(data[0]) && !(data[0] & 0x20) &&
           data[1] >= kelrtcp_SR && data[1] <= kelrtcp_APP;
}
