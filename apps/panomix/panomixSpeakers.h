#pragma once
// The 18 loudspeaker positions, the surround configurations built from
// them and the texts the main window shows about them. Pure data and
// routines: any thread.
//
// The speaker table's order is also the channel order of the output: a
// multichannel chunk carries the present speakers in table order.

#include "core/kelTypes.h"

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kelSpeakerCount = 18;

struct kelSpeakerNameMask
{
    const char16_t* r_name;
    uint32_t r_mask;           // the platform's speaker position bit
    const char16_t* r_caption; // the caption of the speaker's check box
};

extern const std::array<kelSpeakerNameMask, kelSpeakerCount> kelSpeakers;

struct panomixConfiguration
{
    const char16_t* text;
    uint32_t mask; // 0: all 18 positions
};

inline constexpr intptr_t panomixConfigCount = 10;
inline constexpr intptr_t panomixCustomConfig = 9;
// Items 0-8; item 9 ("Custom ... >") takes its mask from the window.
extern const std::array<panomixConfiguration, panomixConfigCount> panomixConfigurations;

// True when `mask` is 0 (all positions) or holds speaker `index`'s bit.
bool mappedTo(uint32_t mask, intptr_t index) noexcept;
// The number of speakers a mask makes present (18 for 0).
intptr_t speakerCountOf(uint32_t mask) noexcept;
// The configuration item whose mask equals `mask`; the custom item for any
// other.
intptr_t configIndexOfMask(uint32_t mask) noexcept;

// Output channel -> speaker index, -1 for a channel with no speaker:
// channel k carries the k-th present speaker in table order.
using panomixChannelMap = std::array<intptr_t, kelSpeakerCount>;
panomixChannelMap buildChannelMap(uint32_t mask) noexcept;

// The number in decimal with its digits grouped by three with a blank
// ("176 400"), whatever the locale.
kelString groupedDecimal(int64_t value);
// "<n> channel[s]; <bytes/sec grouped> bytes/sec".
kelString channelLabelText(intptr_t channels, int64_t bytesPerSecond);
// "Mixed: <grouped> samples".
kelString mixedLabelText(int64_t totalMixed);

// The sampling rates offered, and the rate a text stands for: its number,
// or 44100 when it is not a number or not a rate a device can be asked for
// (0, negative or above 384000).
extern const std::array<uint32_t, 7> panomixSamplingRates;
inline constexpr uint32_t panomixDefaultRate = 44100;
inline constexpr int64_t panomixMaxRate = 384000;
uint32_t samplingRateOf(const kelString& text) noexcept;
uint32_t samplingRateOf(int64_t value) noexcept;
