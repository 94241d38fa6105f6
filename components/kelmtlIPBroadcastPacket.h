#pragma once
// The broadcast pipes' datagrams: one UDP datagram per packet, multi-byte
// fields little-endian. Pure routines (no socket, thread or clock), shared by
// the pipes, the tests and the fuzzer.
//
// Byte 0 of every packet is its checksum: the four bytes of the library CRC
// (initial value 0xFFFFFFFF) of the whole datagram with byte 0 taken as 0,
// XORed together. Bits 7-6 of byte 1 give the type.
//
// Type 0, stream format, 20 bytes:
//   1      bits 7-6 = 0, bit 5 = format changed, bits 1-0 = format index
//   2-3    format tag (low 16 bits)
//   4-5    samples per second (low 16 bits)
//   6      bits per sample
//   7      channels
//   8-11   samples per second, all 32 bits: 88.2 and 96 kHz do not fit
//          bytes 4-5, so a receiver takes this value when its low 16 bits
//          match them (a sender that leaves it 0 is read from bytes 4-5)
//   12-19  0
//
// Type 1, stream data, payload length + 18 bytes:
//   1      bits 7-6 = 1, bits 5-0 = payload length bits 13-8
//   2      payload length bits 7-0
//   3      bit 0 = channel/media (0 = audio), bit 1 = first piece of a
//          written block, bits 3-2 = format index, bits 7-4 = sequence (0-15)
//   4...   payload, 1 to 16383 bytes
//   then   14 bytes, 0
//
// Type 2 is 18 bytes; type 3 is (bytes 2-3) + 18 bytes. They are checked
// and ignored; this library sends neither.

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t kelBroadcastDefaultPort = 17380;
inline constexpr size_t kelBroadcastFormatSize = 20;
inline constexpr size_t kelBroadcastDataOverhead = 18;
inline constexpr size_t kelBroadcastDataHeader = 4;
inline constexpr size_t kelBroadcastMaxPayload = 16383;
inline constexpr size_t kelBroadcastMaxDatagram = kelBroadcastMaxPayload + kelBroadcastDataOverhead;
// Type 3's length field is 16 bits.
inline constexpr size_t kelBroadcastMaxAnyDatagram = 65535 + kelBroadcastDataOverhead;

enum kelBroadcastPacketType : uint8_t {
    kelbpt_format = 0,
    kelbpt_data = 1,
    kelbpt_type2 = 2,
    kelbpt_type3 = 3,
};

struct kelBroadcastFormat
{
    bool changed = false;
    uint8_t index = 0; // 0-3
    uint16_t tag = 1;
    uint32_t samplesPerSec = 44100;
    uint8_t bitsPerSample = 16;
    uint8_t numChannels = 2;
};

struct kelBroadcastData
{
    uint8_t channelMedia = 0; // 0 = audio
    bool firstPiece = false;
    uint8_t index = 0;    // 0-3
    uint8_t sequence = 0; // 0-15
    const uint8_t* payload = nullptr;
    size_t length = 0;
};

struct kelBroadcastPacket
{
    kelBroadcastPacketType type = kelbpt_format;
    kelBroadcastFormat format; // type 0
    kelBroadcastData data;     // type 1; payload points into the datagram
};

// The checksum byte of a datagram of `len` bytes (byte 0 read as 0). 0 for
// an empty one.
uint8_t kelBroadcastChecksum(const uint8_t* datagram, size_t len) noexcept;

// Writes the 20-byte format packet into `out`; returns 20.
size_t kelBuildBroadcastFormat(const kelBroadcastFormat& format, uint8_t* out) noexcept;

// Writes a data packet of `data.length` payload bytes into `out`, which must
// hold data.length + 18 bytes. Returns its size; 0 (nothing written) for no
// payload or one over 16383 bytes.
size_t kelBuildBroadcastData(const kelBroadcastData& data, uint8_t* out) noexcept;

// The size a datagram must have, from its first three bytes; 0 when fewer
// than three bytes are given.
size_t kelBroadcastExpectedSize(const uint8_t* datagram, size_t len) noexcept;

// Reads a datagram. False, `out` untouched, for one of 2 bytes or fewer, of
// another size than its type and length fields give, with a wrong checksum,
// or a data packet without payload. A data packet's payload points into `datagram`.
bool kelParseBroadcastPacket(const uint8_t* datagram, size_t len, kelBroadcastPacket& out) noexcept;
