#include "apps/panomix/panomixSpeakers.h"

#include "core/kelParseInt.h"

#include <bit>

const std::array<kelSpeakerNameMask, kelSpeakerCount> kelSpeakers = {{
    {u"Front Left", 0x1, u"Front Left"},
    {u"Front Right", 0x2, u"Front Right"},
    {u"Front Center", 0x4, u"Front Center"},
    {u"Low Frequency", 0x8, u"Low Frequency"},
    {u"Back Left", 0x10, u"Back Left"},
    {u"Back Right", 0x20, u"Back Right"},
    {u"Front Left of Center", 0x40, u"FL Center"},
    {u"Front Right of Center", 0x80, u"FR Center"},
    {u"Back Center", 0x100, u"Back Center"},
    {u"Side Left", 0x200, u"Side Left"},
    {u"Side Right", 0x400, u"Side Right"},
    {u"Top Center", 0x800, u"Top Center"},
    {u"Top Front Left", 0x1000, u"Top FL"},
    {u"Top Front Center", 0x2000, u"Top Front C"},
    {u"Top Front Right", 0x4000, u"Top FR"},
    {u"Top Back Left", 0x8000, u"Top BL"},
    {u"Top Back Center", 0x10000, u"Top Back C"},
    {u"Top Back Right", 0x20000, u"Top BR"},
}};

const std::array<panomixConfiguration, panomixConfigCount> panomixConfigurations = {{
    {u"Direct Out", 0},
    {u"Mono (Front Center)", 0x4},
    {u"Stereo (Front Left + Front Right)", 0x3},
    {u"Quad (Stereo + Back Left/Right)", 0x33},
    {u"Quad Surround (Stereo + Front/Back Center)", 0x107},
    {u"5.1 (Quad + Front Center + Low Freq)", 0x3F},
    {u"5.1 Surround (5.1 with Side Left/Right)", 0x60F},
    {u"7.1 (5.1 + Front Left/Right of Center)", 0xFF},
    {u"7.1 Surround (5.1 Surround + Back Left/Right)", 0x63F},
    {u"Custom ... >", 0},
}};

const std::array<uint32_t, 7> panomixSamplingRates = {8000, 16000, 22050, 32000, 44100, 48000, 96000};

namespace {
constexpr uint32_t kAllSpeakers = (1u << kelSpeakerCount) - 1;
}

bool mappedTo(uint32_t mask, intptr_t index) noexcept
{
    if (index < 0 || index >= intptr_t(kelSpeakerCount)) return false;
    return mask == 0 || (mask & kelSpeakers[size_t(index)].r_mask) != 0;
}

intptr_t speakerCountOf(uint32_t mask) noexcept
{
    if ((mask & kAllSpeakers) == 0) return intptr_t(kelSpeakerCount);
    return std::popcount(mask & kAllSpeakers);
}

intptr_t configIndexOfMask(uint32_t mask) noexcept
{
    for (intptr_t i = 0; i < panomixCustomConfig; ++i)
        if (panomixConfigurations[size_t(i)].mask == mask) return i;
    return panomixCustomConfig;
}

panomixChannelMap buildChannelMap(uint32_t mask) noexcept
{
    panomixChannelMap map;
    map.fill(-1);
    size_t channel = 0;
    for (size_t s = 0; s < kelSpeakerCount; ++s)
        if (mappedTo(mask, intptr_t(s))) map[channel++] = intptr_t(s);
    return map;
}

kelString groupedDecimal(int64_t value)
{
    const kelString digits = formatInteger(value);
    const size_t sign = (!digits.empty() && digits[0] == u'-') ? 1 : 0;
    kelString out = digits.substr(0, sign);
    const size_t count = digits.size() - sign;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0 && (count - i) % 3 == 0) out += u' ';
        out += digits[sign + i];
    }
    return out;
}

kelString channelLabelText(intptr_t channels, int64_t bytesPerSecond)
{
    kelString text = formatInteger(channels) + u" channel";
    if (channels > 1) text += u"s";
    return text + u"; " + groupedDecimal(bytesPerSecond) + u" bytes/sec";
}

kelString mixedLabelText(int64_t totalMixed)
{
    return u"Mixed: " + groupedDecimal(totalMixed) + u" samples";
}

uint32_t samplingRateOf(int64_t value) noexcept
{
    // A device asked for no rate, a negative one or an absurd one fails or
    // divides by zero; such a rate counts as a text that is not a number.
    if (value <= 0 || value > panomixMaxRate) return panomixDefaultRate;
    return uint32_t(value);
}

uint32_t samplingRateOf(const kelString& text) noexcept
{
    return samplingRateOf(parseInteger(text, panomixDefaultRate));
}
