#pragma once
// The packet protocol of the IP client and server pipes: the 8-byte header
// each datagram or TCP unit starts with, the checksum of a packet's payload,
// and the cut of a payload into pieces of one datagram each. Pure routines
// (no sockets, threads or clocks); any thread.
//
//   offset  size  field (little-endian)
//        0     1  command (kelIpCmd)
//        1     2  checksum of the whole, uncut payload (kelIpChecksum)
//        3     2  sequence number: low 16 bits of the sender's counter
//        5     1  bits 0-6: piece index 0..127; bit 7: last piece
//        6     2  payload bytes in this piece
//
// Every piece of one packet carries the packet's command, checksum and
// sequence number. A hello is one empty last piece:
//   01 00 00 01 00 80 00 00   (sequence 1)

#include <cstddef>
#include <cstdint>

enum tkelmtlProtoType : int32_t { kelpt_TCP = 0, kelpt_UDP = 1 };
// Packet protocol, or the bare stream bytes without any header.
enum tkelmtlStreamingMode : int32_t { kelsm_MT = 0, kelsm_RAW = 1 };
enum tkelmtlStreamByteOrder : int32_t {
    kelsbo_dontCare = 0,
    kelsbo_swap = 1,
    kelsbo_autoDetectOnce = 2,
    kelsbo_autoDetectCont = 3,
};

enum kelIpCmd : uint8_t {
    kelIpCmdHello = 1,
    kelIpCmdGoodbye = 2,
    kelIpCmdRefused = 3,
    kelIpCmdFormat = 16,
    kelIpCmdFormatAlt = 17, // taken like 16, never sent
    kelIpCmdData = 32,
    kelIpCmdDataAsIs = 33, // taken like 32 without byte-order processing, never sent
    kelIpCmdText = 34,
    kelIpCmdUser = 35,
};

inline constexpr uint32_t kelIpHeaderSize = 8;
inline constexpr uint32_t kelIpMaxPieces = 128;
inline constexpr uint32_t kelIpMaxDatagram = 2000;
// The largest format block taken from a peer.
inline constexpr uint32_t kelIpMaxFormatSize = 4096;
inline constexpr uint8_t kelIpLastPieceFlag = 0x80;
inline constexpr uint8_t kelIpPieceIndexMask = 0x7F;

inline constexpr bool kelIpIsFormatCmd(uint8_t cmd) noexcept
{
    return cmd == kelIpCmdFormat || cmd == kelIpCmdFormatAlt;
}
inline constexpr bool kelIpIsDataCmd(uint8_t cmd) noexcept
{
    return cmd == kelIpCmdData || cmd == kelIpCmdDataAsIs;
}

struct kelIpHeader
{
    uint8_t cmd = 0;
    uint16_t checksum = 0;
    uint16_t seq = 0;
    uint8_t index = 0;
    bool last = false;
    uint16_t size = 0;
};

// The library CRC of the payload (initial 0xFFFFFFFF) folded to 16 bits:
// crc ^ (crc >> 16), low half. 0 for an empty payload.
uint16_t kelIpChecksum(const void* payload, size_t len) noexcept;

// Writes the 8 header bytes to `out`. The index is taken modulo 128.
void kelIpWriteHeader(const kelIpHeader& header, uint8_t* out) noexcept;
// Reads a header; false when fewer than 8 bytes are given.
bool kelIpReadHeader(const void* data, size_t len, kelIpHeader& out) noexcept;

// The datagram size a packet of `payloadLen` bytes goes out in:
// min(mtu, 2000, payloadLen + 8). An mtu below 9 counts as 2000.
uint32_t kelIpDatagramSize(uint32_t mtu, size_t payloadLen) noexcept;
// The pieces a payload takes in datagrams of `datagram` bytes (at least 1).
size_t kelIpPieceCount(size_t payloadLen, uint32_t datagram) noexcept;
// The most payload one packet carries in datagrams of `datagram` bytes
// (128 pieces).
size_t kelIpMaxPacketPayload(uint32_t datagram) noexcept;

// Writes piece `index` of a packet (header and its share of `payload`) to
// `out`, which holds `datagram` bytes; returns the piece's size, 0 when
// `index` is past the last piece or the packet needs more than 128 pieces.
uint32_t kelIpBuildPiece(uint8_t cmd, uint16_t checksum, uint16_t seq, const void* payload, size_t len,
                         uint32_t datagram, size_t index, uint8_t* out) noexcept;
