#pragma once
// The panomix engine: the output's surround configuration and sampling
// rate, the sources, the channel map and the feed loop, with no window.
// Tc_form_main shows its state in controls; the tests drive it directly.
//
// Everything runs on the window thread except feedDone, which the output
// raises on its completion thread while playing. The window thread changes
// the configuration, the rate and the sources only while stopped.

#include "apps/panomix/panomixOutput.h"
#include "apps/panomix/panomixSources.h"
#include "apps/panomix/panomixSpeakers.h"
#include "core/kelTypes.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// What showing a mask decided, for the window to mirror in its controls.
struct panomixShownMask
{
    uint32_t mask = 0;
    intptr_t configIndex = 0;
    intptr_t channels = 0;
    std::array<bool, kelSpeakerCount> present{};
};

class panomixEngine
{
public:
    // The output's over-run count: chunks kept in flight.
    static constexpr uintptr_t kOverNum = 6;

    // `output` must not be null. The engine sets itself as the output's
    // feed-done handler.
    panomixEngine(std::unique_ptr<panomixOutput> output, panomixSources::factory make = panomixMakeSource);
    ~panomixEngine();
    panomixEngine(const panomixEngine&) = delete;
    panomixEngine& operator=(const panomixEngine&) = delete;

    panomixOutput& output() noexcept { return *f_output; }
    panomixSources& sources() noexcept { return f_sources; }

    uint32_t customMask() const noexcept { return f_customMask; }
    void setCustomMask(uint32_t mask) noexcept { f_customMask = mask; }

    // Items 0-8 take their mask, item 9 the custom mask; any other index
    // keeps the output's mask. Then shows it.
    panomixShownMask applyConfiguration(intptr_t index);
    // The speakers checked by hand: their mask becomes the custom mask and
    // is shown (none checked gives 0, "Direct Out").
    panomixShownMask checkSpeakers(uint32_t checkedMask);
    // Sets the output's mask and channel count from `mask`.
    panomixShownMask showMask(uint32_t mask);

    // The rate a text stands for (samplingRateOf) becomes the output's and
    // the sources'. Returns the output's rate.
    uint32_t setRateText(const kelString& text);
    // "2 channels; 176 400 bytes/sec" for the output's format.
    kelString channelLabel() const;

    // Opens the output at the rate of `rateText` and then the sources, and
    // starts the feed loop with a flush; false (nothing else changed) when
    // the output does not open.
    bool open(const kelString& rateText);
    // Stops the feed loop, closes the output and the sources.
    void close();
    bool playing() const noexcept { return !f_doneFeeding.load(); }

    // The output's feed-done event: builds the next multichannel chunk in
    // the finished buffer and writes it back. Completion thread.
    void feedDone(uint8_t* data, size_t len) noexcept;

    const panomixChannelMap& channelMap() const noexcept { return f_channelMap; }
    void buildChannelMap() noexcept { f_channelMap = ::buildChannelMap(f_output->pcm_channelMask()); }
    // Samples added since playback opened; any thread.
    int64_t totalMixed() const noexcept { return f_totalMixed.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<panomixOutput> f_output;
    panomixSources f_sources;
    uint32_t f_customMask = 3;
    std::atomic<int64_t> f_totalMixed{0};
    std::atomic<bool> f_doneFeeding{true};
    panomixChannelMap f_channelMap{};
};
