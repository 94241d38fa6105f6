#pragma once
// The payload vocabulary both ends of a stream agree on: the encoding codes
// (SDP encoding names numbered once for the whole library), the payload
// mapping record kelRTPMap, the static RTP/AVP payload types we know without
// an rtpmap line, our own fixed dynamic types 110..121, and the reading of
// SDP "rtpmap" and "fmtp" values into a mapping.
//
// Pure routines on the caller's data; any thread.

#include "core/kelTypes.h"

#include <cstdint>
#include <string_view>

// Encoding codes. 1..21 are the audio encoding names of RTP/AVP (RFC 3551)
// in alphabetical order; 101..106 are further names of this library.
enum kelRTPEncoding : int32_t {
    kelRTPEnc_unknown = -1,
    kelRTPEnc_DVI4 = 1,
    kelRTPEnc_G722 = 2,
    kelRTPEnc_G723 = 3,
    kelRTPEnc_G726_40 = 4,
    kelRTPEnc_G726_32 = 5,
    kelRTPEnc_G726_24 = 6,
    kelRTPEnc_G726_16 = 7,
    kelRTPEnc_G728 = 8,
    kelRTPEnc_G729 = 9,
    kelRTPEnc_G729D = 10,
    kelRTPEnc_G729E = 11,
    kelRTPEnc_GSM = 12,
    kelRTPEnc_GSM_EFR = 13,
    kelRTPEnc_L8 = 14,
    kelRTPEnc_L16 = 15,
    kelRTPEnc_LPC = 16,
    kelRTPEnc_MPA = 17,
    kelRTPEnc_PCMA = 18,
    kelRTPEnc_PCMU = 19,
    kelRTPEnc_QCELP = 20,
    kelRTPEnc_VDVI = 21,
    kelRTPEnc_speex = 101,
    kelRTPEnc_vorbis = 102,
    kelRTPEnc_t140c = 103, // real-time text: UTF-8 in the payload, no audio
    kelRTPEnc_CELT = 104,
    kelRTPEnc_GSM49 = 105,
    kelRTPEnc_G7221 = 106,
};

// The code of an SDP encoding name: compared without regard to case after
// trimming blanks; -1 for a name we do not know. "t140", the name other
// real-time text software uses, is read as t140c.
int32_t kelRTPEncodingFromName(std::string_view name) noexcept;
int32_t kelRTPEncodingFromName(std::u16string_view name) noexcept;
// The SDP name of a code ("PCMU"), null for a code that has none.
const char* kelRTPEncodingName(int32_t code) noexcept;

// The payload mapping of a stream. The layout is kept as it is shared with
// the RTP layer: 32-bit fields around an 8-character name.
struct kelRTPMap
{
    int32_t r_dynType = 0;     // the RTP payload type this mapping describes
    char r_mediaType[8] = {};  // encoding name, at most 7 characters, zero-terminated
    int32_t r_rtpEncoding = 0; // encoding code
    int32_t r_samplingRate = 0;
    int32_t r_numChannels = 0;
    int32_t r_bitsPerSample = 0; // of the PCM side
    int32_t r_fmt_frameSize = 0; // "frame-size=" of the fmtp line
    int32_t r_fmt_bitrate = 0;   // "bitrate=" of the fmtp line (kbit/s for G.722.1)
};
static_assert(sizeof(kelRTPMap) == 36);

// Copies `name` into r_mediaType, cut to 7 characters.
void kelRTPMapSetName(kelRTPMap& map, std::string_view name) noexcept;

// A format a payload type stands for. -1 in a field means "leave the
// current value as it is".
struct kelRTPPayloadFormat
{
    int32_t encoding = -1;
    int32_t rate = -1;
    int32_t channels = -1;
    int32_t bits = -1;
    int32_t bitrate = -1;
};

// The static RTP/AVP payload types known without an rtpmap line (0, 3..8,
// 10..12, 14..18). False for any other number, with `format` untouched.
bool kelRTPStaticPayload(intptr_t payloadType, kelRTPPayloadFormat& format) noexcept;
// Our fixed dynamic payload types 110..121 (speex, real-time text, vorbis,
// VDVI, CELT, GSM49, G.722.1). False for any other number.
bool kelRTPCustomPayload(intptr_t payloadType, kelRTPPayloadFormat& format) noexcept;

// Reads an rtpmap value (without its "rtpmap:" prefix, such as
// "98 L16/8000/1"; only the text before the first carriage return counts)
// and an fmtp text into `map`:
//   - payload type before the first blank (96 when it is not a number);
//   - encoding name up to the first "/" (cut to 7 characters for
//     r_mediaType, translated to its code, -1 when unknown);
//   - then rate (default 8000) and, after a second "/", channels (default 1);
//   - "frame-size=" and "bitrate=" parameters of the fmtp text, 0 when the
//     text does not give them.
// The text may hold several rtpmap values, one a line: the first is read,
// except that a "red" line (redundancy, a wrapper around another type) is
// passed over for the first line after it that names an encoding.
// False without a blank or without a name; `map` is then left as it was.
// r_bitsPerSample is not touched.
bool kelParseRTPMap(std::u16string_view rtpmap, std::u16string_view fmtp, kelRTPMap& map) noexcept;

// The payload type of the "red" line among the rtpmap values (one a line),
// -1 when there is none.
int32_t kelRTPMapRedundancyType(std::u16string_view rtpmap) noexcept;
