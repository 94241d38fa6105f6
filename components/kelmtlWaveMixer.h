#pragma once
// kelmtlWaveMixer: the mixer device (kelWaveMixerDevice) as a pipe
// component. Every provider gets an input stream of its own, which holds
// only that provider's data; the device adds one chunk of every stream per
// cycle and hands the sum to the consumers in the component's format.
//
// Streams follow provider identity, not list position: the pipe keeps its
// providers sorted by address, so a position would move a queued stream to
// another provider whenever one at a lower address is linked or unlinked.
// The streams are kept in linking order and made again, in that order,
// whenever the device is re-created.
//
// One format for all: the first provider's format (or a lone provider's
// new one) becomes the mix format; while another provider is linked, a
// provider offering a differing format is refused, and its data is dropped
// and counted until it offers the mix format again.
//
// Writes that find the provider's stream already holding more than overNum
// chunks are dropped (0), as are writes from a component without a stream.
//
// Threads: linking, properties and open/close on the owner's thread; write
// from each provider's thread. The mixed chunks reach the consumers on the
// device thread (in real time: paced by its timer on the component's clock).

#include "audio/kelWaveMixerDevice.h"
#include "components/kelmtlInOutWavePipe.h"
#include "core/kelObject.h"

#include <atomic>
#include <cstdint>
#include <vector>

class kelmtlWaveMixer : public kelmtlInOutWavePipe
{
public:
    explicit kelmtlWaveMixer(kelComponent* owner = nullptr);
    ~kelmtlWaveMixer() override;

    kelWaveMixerDevice* mixer() const noexcept;

    // The stream index of `provider` (its place in linking order); -1 when
    // it has no stream.
    intptr_t streamIndexOf(const kelmtlInOutPipe* provider);
    // The device's shortfall and level of `provider`'s stream (0 without one).
    int64_t getOOB(const kelmtlInOutPipe* provider);
    uintptr_t getSVolume(const kelmtlInOutPipe* provider);
    // Bytes dropped because their provider offered a format the mix does not
    // have.
    int64_t formatDropBytes() const noexcept { return f_formatDrops.load(); }
    // Bytes dropped because the provider's stream was full.
    int64_t overloadDropBytes() const noexcept { return f_overloadDrops.load(); }

    void setAddSilence(bool value) override;

    kelString _classID() const override { return u"kelmtlWaveMixer"; }

protected:
    void createNewDevice() override;
    void destroyDevice() override;
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    bool doAddProvider(kelmtlInOutPipe* provider) override;
    void doRemoveProvider(kelmtlInOutPipe* provider) override;
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;

private:
    struct Source
    {
        kelmtlInOutPipe* provider;
        kelAbstractStream* stream; // the device's; null while it has none
        bool formatRefused;
    };
    // The sources' streams made again in the device (after it was
    // re-created). f_sourceGuard held for writing.
    void attachStreams(kelWaveMixerDevice* device);
    intptr_t indexOf(const kelmtlInOutPipe* provider) const noexcept;
    // The device's index of source `index`'s stream; -1 without one.
    intptr_t deviceIndexOf(intptr_t index) const noexcept;

    // Read-only for each write, for writing while the sources change.
    kelObject f_sourceGuard;
    std::vector<Source> f_sources; // guarded by f_sourceGuard, in linking order
    std::atomic<int64_t> f_formatDrops{0};
    std::atomic<int64_t> f_overloadDrops{0};
};
