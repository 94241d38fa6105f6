#pragma once
// Scaffolding for the wave pipe component tests. Header-only: it needs
// kel::components, which only those tests link.
//
//  - kelTestWavePipe: the component base over a kelTestPumpDevice (a
//    device whose thread passes every written chunk on), so the base's
//    format, link and data rules run without a sound device.
//  - kelTestWaveBlock: a provider's 40-byte format block.
//  - kelTestVirtualWaveScope: the virtual wave device paced by a manual
//    clock for the length of a test, its memory sink emptied, and put back
//    to its defaults afterwards.

#include "components/kelMT_wave.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "platform/kelVirtualWave.h"
#include "tests/support/kelTestDevices.h"
#include "tests/support/kelTestWave.h"

#include <atomic>
#include <cstdint>
#include <vector>

class kelTestWavePipe : public kelmtlInOutWavePipe
{
public:
    using kelmtlInOutWavePipe::kelmtlInOutWavePipe;

    kelTestPumpDevice* pump() const noexcept { return dynamic_cast<kelTestPumpDevice*>(device()); }
    // Devices made so far (construction makes the first).
    int devicesMade() const noexcept { return f_made.load(); }
    // Opens of the current device's platform side.
    size_t deviceOpens() const
    {
        size_t n = 0;
        if (kelTestPumpDevice* d = pump())
            for (const std::string& call : d->calls())
                n += call == "doOpenHandle";
        return n;
    }

    using kelmtlInOutWavePipe::checkFormatChange;

protected:
    void createNewDevice() override
    {
        f_made.fetch_add(1);
        installDevice(kelCreate<kelTestPumpDevice>(overNum()));
        kelmtlInOutWavePipe::createNewDevice();
    }

private:
    std::atomic<int> f_made{0};
};

inline std::vector<uint8_t> kelTestWaveBlock(uintptr_t rate, uintptr_t bits, uintptr_t channels,
                                             uintptr_t mask = kelChannelMaskDefault, uintptr_t tag = 1)
{
    kelWaveFormat format;
    format.formatTag = tag;
    format.formatOriginal = {rate, bits, channels};
    format.formatChannelMask = mask;
    std::vector<uint8_t> block;
    kelWriteWaveFormatBlock(format, block);
    return block;
}

class kelTestVirtualWaveScope
{
public:
    kelTestVirtualWaveScope() : f_waveClock(f_clock)
    {
        kelVirtualWave::instance().restoreDefaults();
        kelVirtualWave::instance().setClock(f_waveClock);
    }
    ~kelTestVirtualWaveScope() { kelVirtualWave::instance().restoreDefaults(); }
    kelTestVirtualWaveScope(const kelTestVirtualWaveScope&) = delete;
    kelTestVirtualWaveScope& operator=(const kelTestVirtualWaveScope&) = delete;

    kelManualClock& clock() noexcept { return f_clock; }
    kelVirtualWave& wave() noexcept { return kelVirtualWave::instance(); }

private:
    kelManualClock f_clock;
    kelTestWaveClock f_waveClock;
};
