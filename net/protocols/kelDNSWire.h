#pragma once
// DNS message wire format (RFC 1035 section 4): header, names, character
// strings, requests and the check that a datagram answers a request. Pure
// routines on bytes: no socket, thread or clock; any thread.
//
//   0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15
//  +--+-----------+--+--+--+--+--------+-----------+
//  |                      ID                       |  bytes 0-1
//  |QR|  Opcode   |AA|TC|RD|RA|   Z    |   RCODE   |  bytes 2-3
//  |                    QDCOUNT                    |  bytes 4-5
//  |                    ANCOUNT                    |  bytes 6-7
//  |                    NSCOUNT                    |  bytes 8-9
//  |                    ARCOUNT                    |  bytes 10-11
//  +-----------------------------------------------+
//  question: QNAME, QTYPE (16), QCLASS (16)
//  record:   NAME, TYPE (16), CLASS (16), TTL (32), RDLENGTH (16), RDATA
//
// Names are length-prefixed labels ending in a zero byte, or a compression
// pointer (two bytes, top bits 11) to an earlier name. Decoding accepts a
// pointer only when it points before the name it is part of, so every jump
// goes backwards and decoding ends; label bytes 64 ... 191 (the reserved
// label types), 127 jumps or a name over 255 bytes are malformed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kelDNSHeaderSize = 12;
// A question is written only while it ends at or below this offset, so a
// request fits the classic UDP message.
inline constexpr size_t kelDNSUdpMessageMax = 512;
// The largest message a TCP length prefix can announce.
inline constexpr size_t kelDNSMessageMax = 65535;
inline constexpr size_t kelDNSNameMax = 255;
inline constexpr size_t kelDNSLabelMax = 63;
inline constexpr int kelDNSMaxJumps = 126;

// Header flag bits of bytes 2-3 taken as one 16-bit value.
inline constexpr uint16_t kelDNSFlagQR = 0x8000;
inline constexpr uint16_t kelDNSFlagTC = 0x0200;
inline constexpr uint16_t kelDNSFlagRD = 0x0100;

struct kelDNS_HDR
{
    uint16_t r_ID = 0;
    uint16_t r_QR_OPCODE_AATCRD_RA_Z_RCODE = 0;
    uint16_t r_QDCOUNT = 0;
    uint16_t r_ANCOUNT = 0;
    uint16_t r_NSCOUNT = 0;
    uint16_t r_ARCOUNT = 0;

    int opcode() const noexcept { return (r_QR_OPCODE_AATCRD_RA_Z_RCODE >> 11) & 0x0F; }
    int rcode() const noexcept { return r_QR_OPCODE_AATCRD_RA_Z_RCODE & 0x0F; }
    bool isResponse() const noexcept { return (r_QR_OPCODE_AATCRD_RA_Z_RCODE & kelDNSFlagQR) != 0; }
    bool truncated() const noexcept { return (r_QR_OPCODE_AATCRD_RA_Z_RCODE & kelDNSFlagTC) != 0; }
};

// False when fewer than 12 bytes are given.
bool dnsReadHeader(const uint8_t* msg, size_t len, kelDNS_HDR& hdr) noexcept;

// Appends `name` as labels and the closing zero byte; empty labels (a
// trailing dot, doubled dots) are skipped, so "." and "" encode as the root.
// False, with nothing appended, for a label over 63 bytes or a name over 255.
bool dnsEncodeName(std::string_view name, std::vector<uint8_t>& out);

// Decodes the name at `ofs` of `msg` (`len` bytes). Its own bytes (labels up
// to the zero byte or the first pointer) must end at or before `limit`;
// what a pointer leads to may lie anywhere before it. `next` receives the
// offset after the name's own bytes. The root comes back as ".", other names
// without the trailing dot. False for malformed input (see above).
bool dnsDecodeName(const uint8_t* msg, size_t len, size_t ofs, size_t limit, std::string& name, size_t& next);

// One character-string: a length byte and that many bytes, all before
// `limit`. Advances `ofs`; false, `ofs` unchanged, when it does not fit.
bool dnsReadString(const uint8_t* msg, size_t limit, size_t& ofs, std::string& text);

// A request message: header (id, opcode, RD) and one question per
// non-empty trimmed name, each written only while it ends within 512 bytes.
// QDCOUNT counts the questions written. `written` receives the names that
// went in. Returns the message length (12 when no question fit).
size_t dnsBuildRequest(uint16_t id, int opCode, bool recurse, const std::vector<std::string>& names,
                       uint16_t qtype, uint16_t qclass, std::vector<uint8_t>& out,
                       std::vector<std::string>* written = nullptr);

// Whether `resp` answers `req` (RFC 1035 section 7.3): a response (QR) with
// the request's id and opcode whose question section repeats the request's
// questions (names compared without regard to ASCII case).
bool dnsAnswersRequest(const uint8_t* req, size_t reqLen, const uint8_t* resp, size_t respLen) noexcept;

// ASCII case-insensitive name comparison; a trailing dot is ignored.
bool dnsSameName(std::string_view a, std::string_view b) noexcept;
