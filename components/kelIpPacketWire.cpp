#include "components/kelIpPacketWire.h"

#include "core/kelCrc.h"

#include <algorithm>
#include <cstring>

uint16_t kelIpChecksum(const void* payload, size_t len) noexcept
{
    const uint32_t crc = libCrc32(payload, len, kelCrcInitial);
    return static_cast<uint16_t>((crc ^ (crc >> 16)) & 0xFFFFu);
}

void kelIpWriteHeader(const kelIpHeader& header, uint8_t* out) noexcept
{
    out[0] = header.cmd;
    out[1] = static_cast<uint8_t>(header.checksum & 0xFF);
    out[2] = static_cast<uint8_t>(header.checksum >> 8);
    out[3] = static_cast<uint8_t>(header.seq & 0xFF);
    out[4] = static_cast<uint8_t>(header.seq >> 8);
    out[5] =
        static_cast<uint8_t>((header.index & kelIpPieceIndexMask) | (header.last ? kelIpLastPieceFlag : 0));
    out[6] = static_cast<uint8_t>(header.size & 0xFF);
    out[7] = static_cast<uint8_t>(header.size >> 8);
}

bool kelIpReadHeader(const void* data, size_t len, kelIpHeader& out) noexcept
{
    if (data == nullptr || len < kelIpHeaderSize) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    out.cmd = p[0];
    out.checksum = static_cast<uint16_t>(p[1] | (p[2] << 8));
    out.seq = static_cast<uint16_t>(p[3] | (p[4] << 8));
    out.index = p[5] & kelIpPieceIndexMask;
    out.last = (p[5] & kelIpLastPieceFlag) != 0;
    out.size = static_cast<uint16_t>(p[6] | (p[7] << 8));
    return true;
}

uint32_t kelIpDatagramSize(uint32_t mtu, size_t payloadLen) noexcept
{
    const uint32_t limit = mtu <= kelIpHeaderSize ? kelIpMaxDatagram : std::min(mtu, kelIpMaxDatagram);
    const size_t wanted = payloadLen + kelIpHeaderSize;
    return wanted < limit ? static_cast<uint32_t>(wanted) : limit;
}

size_t kelIpPieceCount(size_t payloadLen, uint32_t datagram) noexcept
{
    const size_t piece = datagram > kelIpHeaderSize ? datagram - kelIpHeaderSize : 1;
    return payloadLen == 0 ? 1 : (payloadLen + piece - 1) / piece;
}

size_t kelIpMaxPacketPayload(uint32_t datagram) noexcept
{
    const size_t piece = datagram > kelIpHeaderSize ? datagram - kelIpHeaderSize : 1;
    return piece * kelIpMaxPieces;
}

uint32_t kelIpBuildPiece(uint8_t cmd, uint16_t checksum, uint16_t seq, const void* payload, size_t len,
                         uint32_t datagram, size_t index, uint8_t* out) noexcept
{
    const size_t pieces = kelIpPieceCount(len, datagram);
    if (pieces > kelIpMaxPieces || index >= pieces || datagram < kelIpHeaderSize) return 0;
    if (datagram == kelIpHeaderSize && len != 0) return 0;
    const size_t pieceMax = datagram - kelIpHeaderSize;
    const size_t offset = index * pieceMax;
    const size_t size = std::min(pieceMax, len - std::min(len, offset));
    kelIpHeader h;
    h.cmd = cmd;
    h.checksum = checksum;
    h.seq = seq;
    h.index = static_cast<uint8_t>(index);
    h.last = index + 1 == pieces;
    h.size = static_cast<uint16_t>(size);
    kelIpWriteHeader(h, out);
    if (size != 0) std::memcpy(out + kelIpHeaderSize, static_cast<const uint8_t*>(payload) + offset, size);
    return static_cast<uint32_t>(size + kelIpHeaderSize);
}
