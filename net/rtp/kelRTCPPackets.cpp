#include "net/rtp/kelRTCPPackets.h"

#include "core/kelByteOrder.h"

#include <algorithm>
#include <cstring>

void kelRTCPReportBlock::write(uint8_t* out) const noexcept
{
    kelStoreBE32(out, ssrc);
    kelStoreBE32(out + 4, (uint32_t(fractionLost) << 24) | (cumulativeLost & 0x00FFFFFFu));
    kelStoreBE32(out + 8, extendedHighestSeq);
    kelStoreBE32(out + 12, jitter);
    kelStoreBE32(out + 16, lastSR);
    kelStoreBE32(out + 20, delaySinceLastSR);
}

kelRTCPReportBlock kelRTCPReportBlock::read(const uint8_t* in) noexcept
{
    kelRTCPReportBlock b;
    b.ssrc = kelLoadBE32(in);
    const uint32_t lost = kelLoadBE32(in + 4);
    b.fractionLost = static_cast<uint8_t>(lost >> 24);
    b.cumulativeLost = lost & 0x00FFFFFFu;
    b.extendedHighestSeq = kelLoadBE32(in + 8);
    b.jitter = kelLoadBE32(in + 12);
    b.lastSR = kelLoadBE32(in + 16);
    b.delaySinceLastSR = kelLoadBE32(in + 20);
    return b;
}

size_t rtcpSDESSize(size_t cnameLength) noexcept
{
    // Header, SSRC, item type and length, the text and the end byte, padded
    // to the next word: nothing after the padding, so the packet's length
    // ends exactly where a reader's walk of the chunk does.
    const size_t l = std::min<size_t>(cnameLength, 255);
    return (l + 11 + 3) / 4 * 4;
}

size_t rtcpAPPSize(size_t dataLength) noexcept
{
    return kelRTCPAppHeaderSize + (dataLength + 3) / 4 * 4;
}

void kelRTCPWriter::writeHeader(uint8_t* at, uint8_t count, uint8_t type, size_t bytes) noexcept
{
    at[0] = static_cast<uint8_t>(0x80 | (count & 0x1F));
    at[1] = type;
    kelStoreBE16(at + 2, static_cast<uint16_t>(bytes / 4 - 1));
}

bool kelRTCPWriter::beginSR(uint32_t ssrc, const kelNTP_timestamp& ntp, uint32_t rtpTimestamp,
                            uint32_t packetCount, uint32_t octetCount) noexcept
{
    closePacket();
    if (!room(kelRTCPSRSize)) return false;
    uint8_t* p = f_buf + f_size;
    writeHeader(p, 0, kelrtcp_SR, kelRTCPSRSize);
    kelStoreBE32(p + 4, ssrc);
    ntpWrite(p + 8, ntp);
    kelStoreBE32(p + 16, rtpTimestamp);
    kelStoreBE32(p + 20, packetCount);
    kelStoreBE32(p + 24, octetCount);
    f_openAt = f_size;
    f_size += kelRTCPSRSize;
    f_blocks = 0;
    f_open = true;
    return true;
}

bool kelRTCPWriter::beginRR(uint32_t ssrc) noexcept
{
    closePacket();
    if (!room(kelRTCPRRSize)) return false;
    uint8_t* p = f_buf + f_size;
    writeHeader(p, 0, kelrtcp_RR, kelRTCPRRSize);
    kelStoreBE32(p + 4, ssrc);
    f_openAt = f_size;
    f_size += kelRTCPRRSize;
    f_blocks = 0;
    f_open = true;
    return true;
}

bool kelRTCPWriter::addBlock(const kelRTCPReportBlock& block) noexcept
{
    if (!f_open || f_blocks >= kelRTCPMaxBlocks || !room(kelRTCPBlockSize)) return false;
    block.write(f_buf + f_size);
    f_size += kelRTCPBlockSize;
    ++f_blocks;
    // Keep the header valid after every block, so a caller that stops here
    // still holds a well-formed packet.
    writeHeader(f_buf + f_openAt, static_cast<uint8_t>(f_blocks), f_buf[f_openAt + 1], f_size - f_openAt);
    return true;
}

void kelRTCPWriter::closePacket() noexcept
{
    if (!f_open) return;
    writeHeader(f_buf + f_openAt, static_cast<uint8_t>(f_blocks), f_buf[f_openAt + 1], f_size - f_openAt);
    f_open = false;
    f_blocks = 0;
}

bool kelRTCPWriter::addSDES(uint32_t ssrc, std::string_view cname) noexcept
{
    closePacket();
    if (cname.size() > 255) cname = cname.substr(0, 255);
    const size_t total = rtcpSDESSize(cname.size());
    if (!room(total)) return false;
    uint8_t* p = f_buf + f_size;
    std::memset(p, 0, total);
    p[0] = 0x81;
    p[1] = kelrtcp_SDES;
    kelStoreBE16(p + 2, static_cast<uint16_t>(total / 4 - 1));
    kelStoreBE32(p + 4, ssrc);
    p[8] = kelSDES_CNAME;
    p[9] = static_cast<uint8_t>(cname.size());
    if (!cname.empty()) std::memcpy(p + 10, cname.data(), cname.size());
    // The end-of-items byte and the padding are the zeros left by memset.
    f_size += total;
    return true;
}

bool kelRTCPWriter::addBYE(uint32_t ssrc) noexcept
{
    closePacket();
    if (!room(kelRTCPByeSize)) return false;
    uint8_t* p = f_buf + f_size;
    writeHeader(p, 1, kelrtcp_BYE, kelRTCPByeSize);
    kelStoreBE32(p + 4, ssrc);
    f_size += kelRTCPByeSize;
    return true;
}

bool kelRTCPWriter::addAPP(uint32_t ssrc, uint8_t subtype, std::string_view name, const uint8_t* data,
                           size_t dataLength) noexcept
{
    closePacket();
    if (data == nullptr) dataLength = 0;
    const size_t total = rtcpAPPSize(dataLength);
    // The length field holds at most 65535 words.
    if (total / 4 - 1 > 0xFFFF || !room(total)) return false;
    uint8_t* p = f_buf + f_size;
    std::memset(p, 0, total);
    writeHeader(p, subtype, kelrtcp_APP, total);
    kelStoreBE32(p + 4, ssrc);
    for (size_t i = 0; i < 4; ++i)
        p[8 + i] = i < name.size() ? static_cast<uint8_t>(name[i]) : uint8_t(' ');
    if (dataLength > 0) std::memcpy(p + 12, data, dataLength);
    f_size += total;
    return true;
}

void kelRTTPayload::write(uint8_t* out) const noexcept
{
    kelStoreLE64(out, timeMark);
    kelStoreLE32(out + 8, magic);
    kelStoreLE32(out + 12, proberSSRC);
    kelStoreLE32(out + 16, probedSSRC);
}

kelRTTPayload kelRTTPayload::read(const uint8_t* in) noexcept
{
    kelRTTPayload r;
    r.timeMark = kelLoadLE64(in);
    r.magic = kelLoadLE32(in + 8);
    r.proberSSRC = kelLoadLE32(in + 12);
    r.probedSSRC = kelLoadLE32(in + 16);
    return r;
}
