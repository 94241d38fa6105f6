#include "streaming/kelRTPMap.h"

#include <array>
#include <cstring>
#include <limits>

#include "core/kelParseInt.h"
#include "core/kelTextUtils.h"
#include "net/rtp/kelRTPPayloadTypes.h"

namespace {

struct kelEncodingName
{
    int32_t code;
    const char* name;
};

constexpr std::array<kelEncodingName, 27> kEncodings{{
    {kelRTPEnc_DVI4, "DVI4"},       {kelRTPEnc_G722, "G722"},       {kelRTPEnc_G723, "G723"},
    {kelRTPEnc_G726_40, "G726-40"}, {kelRTPEnc_G726_32, "G726-32"}, {kelRTPEnc_G726_24, "G726-24"},
    {kelRTPEnc_G726_16, "G726-16"}, {kelRTPEnc_G728, "G728"},       {kelRTPEnc_G729, "G729"},
    {kelRTPEnc_G729D, "G729D"},     {kelRTPEnc_G729E, "G729E"},     {kelRTPEnc_GSM, "GSM"},
    {kelRTPEnc_GSM_EFR, "GSM_EFR"}, {kelRTPEnc_L8, "L8"},           {kelRTPEnc_L16, "L16"},
    {kelRTPEnc_LPC, "LPC"},         {kelRTPEnc_MPA, "MPA"},         {kelRTPEnc_PCMA, "PCMA"},
    {kelRTPEnc_PCMU, "PCMU"},       {kelRTPEnc_QCELP, "QCELP"},     {kelRTPEnc_VDVI, "VDVI"},
    {kelRTPEnc_speex, "speex"},     {kelRTPEnc_vorbis, "vorbis"},   {kelRTPEnc_t140c, "t140c"},
    {kelRTPEnc_CELT, "CELT"},       {kelRTPEnc_GSM49, "GSM49"},     {kelRTPEnc_G7221, "G7221"},
}};

struct kelPayloadRow
{
    int32_t payloadType;
    kelRTPPayloadFormat format; // encoding, rate, channels, bits, bitrate
};

// Every static row is mono with a 16-bit PCM side unless it says otherwise;
// MPA leaves rate, channels and bits to the stream.
constexpr std::array<kelPayloadRow, 15> kStatic{{
    {kelRTPPayloadPCMU, {kelRTPEnc_PCMU, 8000, 1, 16, -1}},
    {kelRTPPayloadGSM, {kelRTPEnc_GSM, 8000, 1, 16, -1}},
    {kelRTPPayloadG723, {kelRTPEnc_G723, 8000, 1, 16, -1}},
    {kelRTPPayloadDVI4_8000, {kelRTPEnc_DVI4, 8000, 1, 16, -1}},
    {kelRTPPayloadDVI4_16000, {kelRTPEnc_DVI4, 16000, 1, 16, -1}},
    {kelRTPPayloadLPC, {kelRTPEnc_LPC, 8000, 1, 16, -1}},
    {kelRTPPayloadPCMA, {kelRTPEnc_PCMA, 8000, 1, 16, -1}},
    {kelRTPPayloadL16Stereo, {kelRTPEnc_L16, 44100, 2, 16, -1}},
    {kelRTPPayloadL16Mono, {kelRTPEnc_L16, 44100, 1, 16, -1}},
    {kelRTPPayloadQCELP, {kelRTPEnc_QCELP, 8000, 1, 16, -1}},
    {kelRTPPayloadMPA, {kelRTPEnc_MPA, -1, -1, -1, -1}},
    {kelRTPPayloadG728, {kelRTPEnc_G728, 8000, 1, 16, -1}},
    {kelRTPPayloadDVI4_11025, {kelRTPEnc_DVI4, 11025, 1, 16, -1}},
    {kelRTPPayloadDVI4_22050, {kelRTPEnc_DVI4, 22050, 1, 16, -1}},
    {kelRTPPayloadG729, {kelRTPEnc_G729, 8000, 1, 16, -1}},
}};

constexpr std::array<kelPayloadRow, 12> kCustom{{
    {kelRTPPayloadSpeex8000, {kelRTPEnc_speex, 8000, 1, 16, -1}},
    {kelRTPPayloadSpeex16000, {kelRTPEnc_speex, 16000, 1, 16, -1}},
    {kelRTPPayloadSpeex32000, {kelRTPEnc_speex, 32000, 1, 16, -1}},
    {kelRTPPayloadT140, {kelRTPEnc_t140c, 1000, -1, -1, -1}},
    {kelRTPPayloadVorbis, {kelRTPEnc_vorbis, -1, -1, -1, -1}},
    {kelRTPPayloadVDVI, {kelRTPEnc_VDVI, -1, 1, 16, -1}},
    {kelRTPPayloadCELT16000, {kelRTPEnc_CELT, 16000, 1, 16, -1}},
    {kelRTPPayloadCELT24000, {kelRTPEnc_CELT, 24000, 1, 16, -1}},
    {kelRTPPayloadCELT48000, {kelRTPEnc_CELT, 48000, 2, 16, -1}},
    {kelRTPPayloadGSM49, {kelRTPEnc_GSM49, 8000, 1, 16, -1}},
    {kelRTPPayloadG7221_24, {kelRTPEnc_G7221, 16000, 1, 16, 24}},
    {kelRTPPayloadG7221_48, {kelRTPEnc_G7221, 32000, 1, 16, 48}},
}};

template <size_t N>
bool findRow(const std::array<kelPayloadRow, N>& rows, intptr_t payloadType,
             kelRTPPayloadFormat& format) noexcept
{
    for (const kelPayloadRow& row : rows) {
        if (row.payloadType == payloadType) {
            format = row.format;
            return true;
        }
    }
    return false;
}

// A decimal number kept in 32 bits, or `def` for anything else.
int32_t toInt32(std::u16string_view text, int32_t def) noexcept
{
    const kelString trimmed = trimText(text);
    if (trimmed.empty()) return def;
    for (char16_t c : trimmed) {
        if (c < u'0' || c > u'9') {
            if (c != u'-' && c != u'+') return def;
        }
    }
    const int64_t value = parseInteger(std::u16string_view(trimmed), INT64_MIN);
    if (value == INT64_MIN || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return def;
    }
    return static_cast<int32_t>(value);
}

bool isParamBoundary(char16_t c) noexcept
{
    return c == u' ' || c == u'\t' || c == u';' || c == u'\n';
}

char16_t lowerUnit(char16_t c) noexcept
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// The value of fmtp parameter `key` (which includes its "="): the decimal
// digits right after it, 0 when the key is missing, has no digits or does
// not fit in 32 bits. The key counts only at the start of a parameter after
// the payload type, so "maxaveragebitrate=" is not "bitrate=".
int32_t fmtpNumber(std::u16string_view fmtp, std::u16string_view key) noexcept
{
    for (size_t pos = 1; pos + key.size() <= fmtp.size(); ++pos) {
        if (!isParamBoundary(fmtp[pos - 1])) continue;
        bool same = true;
        for (size_t i = 0; i < key.size() && same; ++i)
            same = lowerUnit(fmtp[pos + i]) == key[i];
        if (!same) continue;
        int64_t value = 0;
        size_t i = pos + key.size();
        if (i >= fmtp.size() || fmtp[i] < u'0' || fmtp[i] > u'9') return 0;
        for (; i < fmtp.size() && fmtp[i] >= u'0' && fmtp[i] <= u'9'; ++i) {
            value = value * 10 + (fmtp[i] - u'0');
            if (value > std::numeric_limits<int32_t>::max()) return 0;
        }
        return static_cast<int32_t>(value);
    }
    return 0;
}

} // namespace

int32_t kelRTPEncodingFromName(std::string_view name) noexcept
{
    const std::string trimmed = trimText(name);
    for (const kelEncodingName& e : kEncodings) {
        if (textEquals(std::string_view(trimmed), std::string_view(e.name))) return e.code;
    }
    if (textEquals(std::string_view(trimmed), std::string_view("t140"))) return kelRTPEnc_t140c;
    return kelRTPEnc_unknown;
}

int32_t kelRTPEncodingFromName(std::u16string_view name) noexcept
{
    std::string narrow;
    for (char16_t c : trimText(name)) {
        if (c > 0x7F) return kelRTPEnc_unknown;
        narrow.push_back(static_cast<char>(c));
    }
    return kelRTPEncodingFromName(std::string_view(narrow));
}

const char* kelRTPEncodingName(int32_t code) noexcept
{
    for (const kelEncodingName& e : kEncodings) {
        if (e.code == code) return e.name;
    }
    return nullptr;
}

void kelRTPMapSetName(kelRTPMap& map, std::string_view name) noexcept
{
    std::memset(map.r_mediaType, 0, sizeof map.r_mediaType);
    std::memcpy(map.r_mediaType, name.data(), std::min(name.size(), sizeof map.r_mediaType - 1));
}

bool kelRTPStaticPayload(intptr_t payloadType, kelRTPPayloadFormat& format) noexcept
{
    return findRow(kStatic, payloadType, format);
}

bool kelRTPCustomPayload(intptr_t payloadType, kelRTPPayloadFormat& format) noexcept
{
    return findRow(kCustom, payloadType, format);
}

namespace {

// The first line of `text` (up to CR or LF) and the rest after its end.
std::u16string_view firstLine(std::u16string_view text, std::u16string_view& rest) noexcept
{
    const size_t end = text.find_first_of(u"\r\n");
    if (end == std::u16string_view::npos) {
        rest = {};
        return text;
    }
    size_t next = end;
    while (next < text.size() && (text[next] == u'\r' || text[next] == u'\n'))
        ++next;
    rest = text.substr(next);
    return text.substr(0, end);
}

// The encoding name of one rtpmap value, blanks trimmed.
kelString rtpmapName(std::u16string_view line)
{
    const size_t blank = line.find(u' ');
    if (blank == std::u16string_view::npos) return {};
    const std::u16string_view rest = line.substr(blank + 1);
    return trimText(rest.substr(0, rest.find(u'/')));
}

bool isRedundancyName(std::u16string_view name) noexcept
{
    return name.size() == 3 && lowerUnit(name[0]) == u'r' && lowerUnit(name[1]) == u'e' &&
           lowerUnit(name[2]) == u'd';
}

} // namespace

int32_t kelRTPMapRedundancyType(std::u16string_view rtpmap) noexcept
{
    while (!rtpmap.empty()) {
        std::u16string_view rest;
        const std::u16string_view line = firstLine(rtpmap, rest);
        if (isRedundancyName(rtpmapName(line))) {
            const int32_t type = toInt32(line.substr(0, line.find(u' ')), -1);
            if (type >= 0 && type <= 127) return type;
        }
        rtpmap = rest;
    }
    return -1;
}

bool kelParseRTPMap(std::u16string_view rtpmap, std::u16string_view fmtp, kelRTPMap& map) noexcept
{
    std::u16string_view more;
    const std::u16string_view first = firstLine(rtpmap, more);
    rtpmap = first;
    if (isRedundancyName(rtpmapName(first))) {
        while (!more.empty()) {
            const std::u16string_view line = firstLine(more, more);
            const kelString name = rtpmapName(line);
            if (!name.empty() && !isRedundancyName(name)) {
                rtpmap = line;
                break;
            }
        }
    }

    const size_t blank = rtpmap.find(u' ');
    if (blank == std::u16string_view::npos) return false;
    const std::u16string_view rest = rtpmap.substr(blank + 1);
    const size_t slash = rest.find(u'/');
    const kelString name = trimText(rest.substr(0, slash));
    if (name.empty()) return false;

    int32_t rate = 8000;
    int32_t channels = 1;
    if (slash != std::u16string_view::npos) {
        const std::u16string_view after = rest.substr(slash + 1);
        const size_t slash2 = after.find(u'/');
        rate = toInt32(after.substr(0, slash2), 8000);
        if (slash2 != std::u16string_view::npos) channels = toInt32(after.substr(slash2 + 1), 1);
    }

    // Only ASCII names have a meaning; anything else is kept as '?' so the
    // stored name stays one byte per character.
    std::string narrow;
    for (char16_t c : name)
        narrow.push_back(c > 0x20 && c < 0x7F ? static_cast<char>(c) : '?');

    map.r_dynType = toInt32(rtpmap.substr(0, blank), 96);
    kelRTPMapSetName(map, narrow);
    map.r_rtpEncoding = kelRTPEncodingFromName(std::u16string_view(name));
    map.r_samplingRate = rate;
    map.r_numChannels = channels;
    map.r_fmt_frameSize = fmtpNumber(fmtp, u"frame-size=");
    map.r_fmt_bitrate = fmtpNumber(fmtp, u"bitrate=");
    return true;
}
