#pragma once
// Tells apart the protocols that share one media port (RFC 7983, with
// RFC 5761 for RTP and RTCP on the same port) from a datagram's bytes alone.
//
//   first byte  | second byte | kind
//   ------------+-------------+------------------------------------------
//     0 ..   3  |             | STUN, when the header checks (below)
//    20 ..  63  |             | DTLS
//   128 .. 191  | 192 .. 223  | RTCP (packet types SR 200, RR 201, SDES,
//               |             | BYE, APP, RTPFB, PSFB ...), 8 bytes or more
//   128 .. 191  | any other   | RTP, 12 bytes or more
//   anything else, or too short                 | other
//
// A STUN message (RFC 5389 section 6) is taken only when its whole 20-byte
// header agrees: the two top bits zero, the message length (bytes 2-3) a
// multiple of 4 that accounts for every byte after the header, and the magic
// cookie 0x2112A442 at bytes 4-7. Anything less is "other", since a
// receiver drops STUN silently but counts other input against the stream.
//
// No socket, thread or clock: callable from any thread on any bytes.

#include <cstddef>
#include <cstdint>

enum kelDatagramKind : uint8_t {
    keldg_other = 0,
    keldg_rtp = 1,
    keldg_rtcp = 2,
    keldg_stun = 3,
    keldg_dtls = 4,
};

inline constexpr uint32_t kelSTUNMagicCookie = 0x2112A442;
inline constexpr size_t kelSTUNHeaderSize = 20;
// The RTCP common header and the sender's SSRC: the least a packet that
// names its sender carries.
inline constexpr size_t kelRTCPMinSize = 8;

// The kind of `size` bytes at `data`; keldg_other for null or empty input.
[[nodiscard]] kelDatagramKind kelClassifyDatagram(const uint8_t* data, size_t size) noexcept;

// True when `data` holds exactly one STUN message with a consistent header.
[[nodiscard]] bool kelIsSTUNMessage(const uint8_t* data, size_t size) noexcept;

// True for a STUN Binding request or indication (message types 0x0001 and
// 0x0011): what a peer sends from its media port as a connectivity check or
// NAT keep-alive. Answers and other methods are not.
[[nodiscard]] bool kelIsSTUNBindingCheck(const uint8_t* data, size_t size) noexcept;
