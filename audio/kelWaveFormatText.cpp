#include "audio/kelWaveFormatText.h"

#include "core/kelParseInt.h"

#include <cstring>
#include <iterator>

namespace {

struct kelTagName
{
    uint32_t first;
    uint32_t last;
    const char16_t* name;
};

constexpr kelTagName tagNames[] = {
    {1, 1, u"PCM"},         {2, 2, u"ADPCM"},       {3, 3, u"IEEEF"},         {6, 6, u"ALaw"},
    {7, 7, u"MuLaw"},       {8, 8, u"DTS"},         {17, 17, u"IMA"},         {34, 34, u"DSP.TS"},
    {49, 49, u"GSM"},       {66, 66, u"G.723"},     {80, 80, u"MPEG"},        {85, 85, u"MP3"},
    {112, 115, u"VOXW"},    {304, 306, u"ACELP"},   {352, 352, u"MSA"},       {1025, 1025, u"ICM"},
    {26447, 26449, u"OGG"}, {26479, 26481, u"OGG"}, {41225, 41225, u"SPEEX"},
};

// Indexed by code; the codes 512 to 515 follow.
constexpr const char16_t* mmErrors[] = {
    nullptr,
    u"unspecified error",
    u"device ID out of range",
    u"driver failed enable",
    u"device already allocated",
    u"device handle is invalid",
    u"no device driver present",
    u"memory allocation error",
    u"function isn't supported",
    u"error value out of range",
    u"invalid flag passed",
    u"invalid parameter passed",
    u"handle being used simultaneously on another thread (eg callback)",
    u"specified alias not found",
    u"bad registry database",
    u"registry key not found",
    u"registry read error",
    u"registry write error",
    u"registry delete error",
    u"registry value not found",
    u"driver does not call DriverCallback",
};

constexpr const char16_t* mmErrors512[] = {u"NOT POSSIBLE", u"BUSY", u"UNPREPARED", u"CANCELED"};

} // namespace

kelString formatTagName(uint32_t tag)
{
    for (const kelTagName& entry : tagNames)
        if (tag >= entry.first && tag <= entry.last) return entry.name;
    return u"#" + formatUnsigned(tag);
}

kelString pcmFormatDescription(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t numChannels)
{
    // A space as the split character stands for the locale's separator.
    kelString text = formatUnsigned(samplesPerSec, 10, 3, u' ') + u" Hz; ";
    if (bitsPerSample != 0) text += formatUnsigned(bitsPerSample) + u" Bit; ";
    if (numChannels == 1)
        text += u"Mono";
    else if (numChannels == 2)
        text += u"Stereo";
    else
        text += formatUnsigned(numChannels) + u" channels";
    return text;
}

kelString formatDescription(const WAVEFORMATEX* format, size_t formatSize)
{
    if (format == nullptr || formatSize < sizeof(WAVEFORMATEX)) return {};
    WAVEFORMATEX header;
    std::memcpy(&header, format, sizeof header);
    return formatTagName(header.wFormatTag) + u": " +
           pcmFormatDescription(header.nSamplesPerSec, header.wBitsPerSample, header.nChannels);
}

kelString mmErrorText(uint32_t code)
{
    if (code >= 1 && code < std::size(mmErrors)) return mmErrors[code];
    if (code >= 512 && code < 512 + std::size(mmErrors512)) return mmErrors512[code - 512];
    return u"unknown error code";
}

kelString mmErrorTextWithCode(uint32_t code)
{
    return formatUnsigned(code) + u": " + mmErrorText(code) + u".";
}
