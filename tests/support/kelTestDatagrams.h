#pragma once
// Golden datagrams of the protocols that share a media port: STUN binding
// requests, RTCP compounds, a DTLS record and real-time text RTP. Each is
// one byte array, used both to feed receivers and to check what they saw.

#include <cstdint>
#include <string>
#include <vector>

using kelTestBytes = std::vector<uint8_t>;

// A binding request exactly as a third-party STUN client sent it to a
// loopback port: type 0x0001, length 0, the magic cookie, a random
// transaction id, no attributes.
inline const kelTestBytes kelTestSTUNBindingRequest = {
    0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42, 0x26, 0xF1,
    0x7F, 0xCC, 0xC8, 0x18, 0x1F, 0x77, 0x6C, 0xD6, 0x8B, 0x31,
};

// A binding request laid out as an ICE connectivity check: SOFTWARE,
// PRIORITY, ICE-CONTROLLED, USERNAME (padded), MESSAGE-INTEGRITY and
// FINGERPRINT after the header; 88 bytes of attributes.
inline const kelTestBytes kelTestSTUNConnectivityCheck = {
    0x00, 0x01, 0x00, 0x58, 0x21, 0x12, 0xA4, 0x42, 0xB7, 0xE7, 0xA7, 0x01, 0xBC, 0x34, 0xD6, 0x86,
    0xFA, 0x87, 0xDF, 0xAE, 0x80, 0x22, 0x00, 0x10, 0x53, 0x54, 0x55, 0x4E, 0x20, 0x74, 0x65, 0x73,
    0x74, 0x20, 0x63, 0x6C, 0x69, 0x65, 0x6E, 0x74, 0x00, 0x24, 0x00, 0x04, 0x6E, 0x00, 0x01, 0xFF,
    0x80, 0x29, 0x00, 0x08, 0x93, 0x2F, 0xF9, 0xB1, 0x51, 0x26, 0x3B, 0x36, 0x00, 0x06, 0x00, 0x09,
    0x65, 0x76, 0x74, 0x6A, 0x3A, 0x68, 0x36, 0x76, 0x59, 0x20, 0x20, 0x20, 0x00, 0x08, 0x00, 0x14,
    0x9A, 0xEA, 0xA7, 0x0C, 0xBF, 0xD8, 0xCB, 0x56, 0x78, 0x1E, 0xF2, 0xB5, 0xB2, 0xD3, 0xF2, 0x49,
    0xC1, 0xB5, 0x71, 0xA2, 0x80, 0x28, 0x00, 0x04, 0xE5, 0x7A, 0x3B, 0xCF,
};

// The golden binding request with transaction id bytes 8-11 replaced by
// `n`, so a run of requests can be told apart.
inline kelTestBytes kelTestSTUNBindingRequestNumbered(uint32_t n)
{
    kelTestBytes b = kelTestSTUNBindingRequest;
    b[8] = static_cast<uint8_t>(n >> 24);
    b[9] = static_cast<uint8_t>(n >> 16);
    b[10] = static_cast<uint8_t>(n >> 8);
    b[11] = static_cast<uint8_t>(n);
    return b;
}

// The CNAME the RTCP compounds below carry, and their sender's SSRC.
inline const std::string kelTestRTCPCName = "peer@127.0.0.1";
inline constexpr uint32_t kelTestRTCPSSRC = 0x11223344;

// An empty receiver report (type 201, no blocks) followed by an SDES with
// the CNAME: the compound a receiving peer sends.
inline const kelTestBytes kelTestRTCPReceiverReport = {
    0x80, 0xC9, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44,                            // RR, 8 bytes
    0x81, 0xCA, 0x00, 0x06, 0x11, 0x22, 0x33, 0x44, 0x01, 0x0E,                // SDES, CNAME of 14
    'p',  'e',  'e',  'r',  '@',  '1',  '2',  '7',  '.',  '0',  '.', '0', '.', //
    '1',  0x00, 0x00, 0x00, 0x00,                                              // end, padding
};

// A sender report (type 200) with no blocks, then the same SDES.
inline const kelTestBytes kelTestRTCPSenderReport = {
    0x80, 0xC8, 0x00, 0x06, 0x11, 0x22, 0x33, 0x44,             // SR header, SSRC
    0xE9, 0x5A, 0x3C, 0x00, 0x80, 0x00, 0x00, 0x00,             // NTP time
    0x00, 0x01, 0xE2, 0x40, 0x00, 0x00, 0x00, 0x0A,             // RTP time, packets
    0x00, 0x00, 0x03, 0xE8,                                     // octets
    0x81, 0xCA, 0x00, 0x06, 0x11, 0x22, 0x33, 0x44, 0x01, 0x0E, // SDES, CNAME of 14
    'p',  'e',  'e',  'r',  '@',  '1',  '2',  '7',  '.',  '0',  '.', '0', '.', '1', 0x00, 0x00, 0x00, 0x00,
};

// The start of a DTLS 1.2 ClientHello record: content type 22, version
// 0xFEFD, epoch 0, sequence 0, length 0x2C.
inline const kelTestBytes kelTestDTLSClientHello = {
    0x16, 0xFE, 0xFD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00,
    0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0xFE, 0xFD, 0x00, 0x00, 0x00, 0x00,
};

// A real-time text packet: version 2, payload type 113, `text` as its UTF-8
// payload.
inline kelTestBytes kelTestRTPTextPacket(uint16_t seq, const std::string& text, uint32_t ssrc = 0x0BADCAFE,
                                         bool marker = false)
{
    kelTestBytes p = {0x80,
                      static_cast<uint8_t>((marker ? 0x80 : 0x00) | 113),
                      static_cast<uint8_t>(seq >> 8),
                      static_cast<uint8_t>(seq),
                      0x00,
                      0x00,
                      static_cast<uint8_t>(seq >> 8),
                      static_cast<uint8_t>(seq),
                      static_cast<uint8_t>(ssrc >> 24),
                      static_cast<uint8_t>(ssrc >> 16),
                      static_cast<uint8_t>(ssrc >> 8),
                      static_cast<uint8_t>(ssrc)};
    p.insert(p.end(), text.begin(), text.end());
    return p;
}
