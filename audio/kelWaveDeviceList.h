#pragma once
// The list of wave devices that a program offers its user (the live input
// list of panomix, say), without a window toolkit: a vector of entries whose
// positions map to device ids. With the mapper the list starts with it
// (device -1, "Wave Mapper") and position k is device k - 1; a list made
// without it is marked as such and position k is device k.
//
// Any thread; the list belongs to its caller.

#include "core/kelTypes.h"

#include <cstdint>
#include <functional>
#include <vector>

struct kelWaveDeviceEntry
{
    // -1 for the mapper.
    intptr_t deviceId = 0;
    kelString name;
};

struct kelWaveDeviceList
{
    // The high bit marks a list made without the mapper entry.
    static constexpr uint32_t kNoMapperTag = 0x80000000u;

    std::vector<kelWaveDeviceEntry> entries;
    uint32_t tag = 0;

    bool hasMapper() const noexcept { return (tag & kNoMapperTag) == 0; }
};

// May rename the entry of `deviceId` in place; false leaves it out.
using kelWaveDeviceListCallback = std::function<bool(intptr_t deviceId, kelString& name)>;

// Clears the list, then adds the mapper (with `includeMapper`) and one entry
// per input (`isInput`) or output device, named by the device's capability
// record, or "WaveIn Device #n" / "WaveOut Device #n" when it has none. A
// callback that throws keeps the entry as it was.
void fillWaveDeviceList(kelWaveDeviceList& list, bool isInput, bool includeMapper,
                        const kelWaveDeviceListCallback& callback = {});

// The device id of list position `index` (-1, the mapper, for position 0 of
// a list with the mapper).
intptr_t deviceIdFromListIndex(const kelWaveDeviceList& list, intptr_t index) noexcept;

// The list position of `deviceID` (-1 or 0xFFFFFFFF for the mapper) in a
// list with or without the mapper entry; -1 when the mapper has none.
intptr_t listIndexFromDeviceId(intptr_t deviceID, bool includeMapper) noexcept;
