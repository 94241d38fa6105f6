#pragma once
// kelMsAcmDriver: one driver of the compression manager, as its registry
// (kelMsAcm) lists it: a registered driver known by the id enumeration
// reported, or an installable driver loaded from a library, known by the
// handle its loader gave (open from construction, counted by its users).
// It opens the driver on demand, fetches its details once, enumerates its
// format tags and formats into lists it owns, suggests formats and passes
// driver messages.
//
// Made and freed by its registry. Threads: the owner's thread (window or
// component); the reference count may change on any thread. The lists
// lock themselves; their objects live until the next enumeration.

#include "audio/kelMsAcmFormat.h"
#include "core/kelList.h"
#include "core/kelObject.h"
#include "platform/kelAcmApi.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

class kelMsAcm;

class kelMsAcmDriver : public kelObject
{
public:
    // A registered driver (`libName` empty: `id` from enumeration) or an
    // installable one (`id` is the handle of the loaded library). Asks the
    // driver's largest format record (0 when it cannot be had).
    kelMsAcmDriver(kelMsAcm* acm, uintptr_t id, uint32_t support, const kelString& libName);
    // Closes the driver; the lists free their objects.
    ~kelMsAcmDriver() override;

    // 0 when open (installable drivers always are), else the manager's code.
    uint32_t open();
    void close();
    bool isOpen() const noexcept { return f_handle.load() != 0; }
    // Opens when needed; 0 when that fails.
    uintptr_t getHandle();
    // The details, fetched once; null when the driver does not give them.
    const ACMDRIVERDETAILSW* getDetails();
    // Enumerates the format tags and (unless `tagsOnly`) the formats of each
    // into the lists; `pwfx` (null for none; `pwfxSize` bytes held) is the
    // template whose rate, channels and bits the enumeration flags refer
    // to. Does nothing when the last enumeration had the same flags and
    // kind and `force` is clear. The manager's code.
    uint32_t enumFormats(uint32_t flags, bool force, const WAVEFORMATEX* pwfx, bool tagsOnly,
                         size_t pwfxSize = 0);
    intptr_t getFormatTagCount() const noexcept { return f_formatTags.count(); }
    // Valid until the next enumeration; null outside the list.
    kelMsAcmFormatTag* getFormatTag(intptr_t index);
    intptr_t getFormatCount() const noexcept { return f_formats.count(); }
    kelMsAcmFormat* getFormat(intptr_t index);
    // Whether the last enumeration listed `formatTag`.
    bool listsFormatTag(uint32_t formatTag);
    intptr_t sendDriverMessage(uint32_t message, intptr_t lParam1, intptr_t lParam2);
    // Suggests `dst` (a block of `dstSize` bytes) for `src`: rate and
    // channels follow `src`; `flags` add what else must be kept (the tag,
    // the bits). The manager's or driver's code.
    uint32_t suggestCodecFormat(const WAVEFORMATEX* src, size_t srcSize, WAVEFORMATEX* dst, size_t dstSize,
                                uint32_t flags);

    // Users of an installable driver; atomic.
    intptr_t incRef() noexcept { return ++f_refCount; }
    intptr_t decRef() noexcept { return --f_refCount; }
    intptr_t refCount() const noexcept { return f_refCount.load(); }
    // Sets the count to `desired` when it is `expected` (updating
    // `expected` otherwise).
    bool exchangeRef(intptr_t& expected, intptr_t desired) noexcept
    {
        return f_refCount.compare_exchange_strong(expected, desired);
    }

    uintptr_t id() const noexcept { return f_id; }
    bool isInstallable() const noexcept { return f_isInstallable; }
    const kelString& libName() const noexcept { return f_libName; }
    uint32_t support() const noexcept { return f_support.load(); }
    void setSupport(uint32_t value) noexcept { f_support.store(value); }
    uintptr_t maxWaveFormatSize() const noexcept { return f_maxWaveFormatSize; }
    kelMsAcm* acm() const noexcept { return f_acm; }

    kelString _classID() const override { return u"kelMsAcmDriver"; }

private:
    // The enumeration callbacks get the driver or the tag object as their
    // instance value.
    static bool onFormatTag(HACMDRIVERID id, ACMFORMATTAGDETAILSA* details, uintptr_t instance,
                            uint32_t support);
    static bool onFormat(HACMDRIVERID id, ACMFORMATDETAILSA* details, uintptr_t instance, uint32_t support);
    uint32_t enumTagFormats(kelMsAcmFormatTag* tag);

    ACMDRIVERDETAILSW f_details{};
    bool f_detailsValid = false;
    uintptr_t f_id;
    bool f_isInstallable;
    kelString f_libName;
    std::atomic<intptr_t> f_refCount{0};
    std::atomic<uintptr_t> f_handle{0};
    std::atomic<uint32_t> f_support;
    uintptr_t f_maxWaveFormatSize = 0;
    uint32_t f_enumFormatsFlag = 0;
    size_t f_enumRecordSize = 0; // the record of the running format enumeration
    bool f_formatWasEnum = false;
    uint32_t f_formatLastEnumFlags = 0;
    WAVEFORMATEX f_formatLastEnumWave{};
    bool f_formatLastEnumTagsOnly = false;
    kelObjectList f_filters{true};
    kelObjectList f_filterTags{true};
    kelObjectList f_formats{true};
    kelObjectList f_formatTags{true};
    kelMsAcm* f_acm; // the owning registry
};
