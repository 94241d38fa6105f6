#pragma once
// STUN message wire format (RFC 5389 sections 6 and 15): Binding requests
// and the reading of their answers. Pure routines: no socket, thread or
// clock; any thread.
//
//   0                   1                   2                   3
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |0 0|     STUN Message Type     |         Message Length        |
//  |                  Magic Cookie 0x2112A442                      |
//  |                 Transaction ID (96 bits)                      |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  attributes: type (16), length (16), value padded to 4 bytes
//
// The message length counts the attribute bytes after the 20-byte header.

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr size_t kelSTUNHeaderSize = 20;
inline constexpr uint32_t kelSTUNCookie = 0x2112A442;
inline constexpr size_t kelSTUNTransactionSize = 12;
inline constexpr uint16_t kelSTUNBindingRequest = 0x0001;
inline constexpr uint16_t kelSTUNBindingSuccess = 0x0101;
inline constexpr uint16_t kelSTUNBindingError = 0x0111;
inline constexpr uint16_t kelSTUNAttrMappedAddress = 0x0001;
inline constexpr uint16_t kelSTUNAttrErrorCode = 0x0009;
inline constexpr uint16_t kelSTUNAttrXorMappedAddress = 0x0020;

struct kelSTUN_hdr
{
    uint16_t r_msgType = 0;
    uint16_t r_msgLen = 0;
    uint32_t r_cookie = 0;
    uint8_t r_transactionID[kelSTUNTransactionSize] = {};
};

// False unless `len` holds a header whose first two bits are 0 and whose
// cookie is the magic one.
bool stunReadHeader(const uint8_t* msg, size_t len, kelSTUN_hdr& hdr) noexcept;

// A Binding request with transaction id `txn` and the attributes given
// (copied after the header, the length rounded up to 4). Returns its size.
size_t stunBuildRequest(const uint8_t* txn, const uint8_t* attrs, size_t attrsLen, std::vector<uint8_t>& out);

// The size of the whole message that starts at `msg` (20 + its length),
// for framing a TCP stream: 0 while fewer than 20 bytes are there, -1 when
// the bytes are no STUN message (the stream cannot be framed).
intptr_t stunFrameSize(const uint8_t* msg, size_t len) noexcept;

// Whether `resp` carries the cookie and transaction id of `req` (the 16
// bytes from offset 4).
bool stunSameTransaction(const uint8_t* req, const uint8_t* resp, size_t respLen) noexcept;

// What an answer says. code 200: a Binding success response with an IPv4
// mapped address (the later of MAPPED-ADDRESS and XOR-MAPPED-ADDRESS), ip in
// host order; an error response gives its ERROR-CODE (300 ... 699), any
// other answer 400 with no address. Attributes are read only within both
// the message length and the bytes given.
struct kelSTUNResult
{
    int code = 400;
    uint32_t ip = 0;
    uint16_t port = 0;
};
kelSTUNResult stunReadAnswer(const uint8_t* msg, size_t len) noexcept;
