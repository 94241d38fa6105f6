#pragma once
// RTP payload type numbers: the 7-bit field of the RTP header. The static
// types are those of RTP/AVP (RFC 3551) and comfort noise (RFC 3389); the
// custom types 110..121 are fixed dynamic types of this library, which both
// of our ends know without an SDP mapping (with customPayloadAware).
//
// These are wire numbers; the encoding codes of streaming/kelRTPMap.h are a
// numbering of encoding names and are not interchangeable with them.

#include <cstdint>

// Static RTP/AVP types.
inline constexpr uint8_t kelRTPPayloadPCMU = 0;
inline constexpr uint8_t kelRTPPayloadGSM = 3;
inline constexpr uint8_t kelRTPPayloadG723 = 4;
inline constexpr uint8_t kelRTPPayloadDVI4_8000 = 5;
inline constexpr uint8_t kelRTPPayloadDVI4_16000 = 6;
inline constexpr uint8_t kelRTPPayloadLPC = 7;
inline constexpr uint8_t kelRTPPayloadPCMA = 8;
inline constexpr uint8_t kelRTPPayloadL16Stereo = 10; // 44100 Hz, two channels
inline constexpr uint8_t kelRTPPayloadL16Mono = 11;   // 44100 Hz, one channel
inline constexpr uint8_t kelRTPPayloadQCELP = 12;
// Comfort noise, which doubles as the path-opening ping.
inline constexpr uint8_t kelRTPPayloadCN = 13;
inline constexpr uint8_t kelRTPPayloadMPA = 14;
inline constexpr uint8_t kelRTPPayloadG728 = 15;
inline constexpr uint8_t kelRTPPayloadDVI4_11025 = 16;
inline constexpr uint8_t kelRTPPayloadDVI4_22050 = 17;
inline constexpr uint8_t kelRTPPayloadG729 = 18;

// Types 96..127 mean only what an SDP mapping (or our custom table) says.
inline constexpr uint8_t kelRTPPayloadDynamicFirst = 96;
inline constexpr uint8_t kelRTPPayloadDynamicLast = 127;

// Our custom dynamic types.
inline constexpr uint8_t kelRTPPayloadCustomFirst = 110;
inline constexpr uint8_t kelRTPPayloadSpeex8000 = 110;
inline constexpr uint8_t kelRTPPayloadSpeex16000 = 111;
inline constexpr uint8_t kelRTPPayloadSpeex32000 = 112;
// Real-time text: UTF-8 in the payload, one packet per text sent.
inline constexpr uint8_t kelRTPPayloadT140 = 113;
inline constexpr uint8_t kelRTPPayloadVorbis = 114;
inline constexpr uint8_t kelRTPPayloadVDVI = 115;
inline constexpr uint8_t kelRTPPayloadCELT16000 = 116;
inline constexpr uint8_t kelRTPPayloadCELT24000 = 117;
inline constexpr uint8_t kelRTPPayloadCELT48000 = 118; // two channels
inline constexpr uint8_t kelRTPPayloadGSM49 = 119;
inline constexpr uint8_t kelRTPPayloadG7221_24 = 120; // 16000 Hz, 24 kbit/s
inline constexpr uint8_t kelRTPPayloadG7221_48 = 121; // 32000 Hz, 48 kbit/s
inline constexpr uint8_t kelRTPPayloadCustomLast = 121;

// The RTP timestamp clock of a payload type, Hz: the static RTP/AVP rates,
// real-time text's millisecond clock and the rates of our custom types. 0
// for a type whose clock only an SDP mapping could tell.
constexpr uint32_t rtpPayloadClockRate(uint8_t pt) noexcept
{
    switch (pt) {
    case kelRTPPayloadDVI4_16000:
        return 16000;
    case kelRTPPayloadL16Stereo:
    case kelRTPPayloadL16Mono:
        return 44100;
    case kelRTPPayloadMPA:
        return 90000;
    case kelRTPPayloadDVI4_11025:
        return 11025;
    case kelRTPPayloadDVI4_22050:
        return 22050;
    case kelRTPPayloadSpeex16000:
    case kelRTPPayloadCELT16000:
    case kelRTPPayloadG7221_24:
        return 16000;
    case kelRTPPayloadSpeex32000:
    case kelRTPPayloadG7221_48:
        return 32000;
    case kelRTPPayloadT140:
        return 1000;
    case kelRTPPayloadCELT24000:
        return 24000;
    case kelRTPPayloadCELT48000:
        return 48000;
    case kelRTPPayloadSpeex8000:
    case kelRTPPayloadVDVI:
    case kelRTPPayloadGSM49:
        return 8000;
    default:
        // The rest of the static audio types run at 8000 Hz.
        return pt <= kelRTPPayloadG729 ? 8000 : 0;
    }
}
