#pragma once
// The frame of the built-in compression drivers: a driver describes itself
// (details, tags, formats, suggestions, which conversions it opens) and
// makes one converter per stream; kelAcmDispatch turns the driver messages
// into those calls, checking every record's size before touching it.
//
// Block converters cut both sides into units (a sample frame, an IMA block,
// a WAV49 pair of GSM frames). A conversion converts the whole units that
// fit both buffers; the tail (less than a unit of source) is converted only
// with ACM_STREAMCONVERTF_END or without ACM_STREAMCONVERTF_BLOCKALIGN, the
// way convertTail() says. Every converter is used by one stream, its calls
// serialised by the layer.

#include "platform/kelAcmRecords.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class kelAcmConverter
{
public:
    virtual ~kelAcmConverter() = default;

    // ACMDM_STREAM_SIZE: whole units of the other side (a partial source
    // unit counts as a whole one; a destination smaller than one unit is
    // ACMERR_NOTPOSSIBLE, as is a size of 0 or an answer above 4 GiB).
    virtual MMRESULT size(ACMDRVSTREAMSIZE& size) noexcept;
    // ACMDM_STREAM_CONVERT: reports the bytes used in the header.
    virtual MMRESULT convert(ACMDRVSTREAMHEADER& header) noexcept;
    // ACMDM_STREAM_RESET: forget any state carried between conversions.
    virtual void reset() noexcept {}

protected:
    kelAcmConverter(uint32_t srcUnit, uint32_t dstUnit) noexcept : f_srcUnit(srcUnit), f_dstUnit(dstUnit) {}

    // Converts `units` whole units from `src` to `dst`.
    virtual void convertUnits(const uint8_t* src, uint8_t* dst, uint32_t units) noexcept = 0;
    // Converts a tail of `bytes` (0 < bytes < a source unit) into `dst`,
    // which has room for at least one destination unit, and answers the
    // bytes written; `taken` says whether the tail counts as used. The base
    // pads the tail with zeros (16-bit silence) and converts it as a whole
    // unit when `f_padTail` is set, and leaves it otherwise (part of a
    // sample frame).
    virtual uint32_t convertTail(const uint8_t* src, uint32_t bytes, uint8_t* dst, bool& taken) noexcept;

    uint32_t f_srcUnit;
    uint32_t f_dstUnit;
    bool f_padTail = false;
};

// One format tag and the formats a driver lists for it.
struct kelAcmTagInfo
{
    uint16_t tag = 0;
    std::u16string name;
    std::vector<std::vector<uint8_t>> formats; // whole records
    uint32_t formatSize = 0;                   // the largest of them
};

class kelAcmDriver
{
public:
    virtual ~kelAcmDriver() = default;

    const ACMDRIVERDETAILSW& details() const noexcept { return f_details; }
    const std::vector<kelAcmTagInfo>& tags() const noexcept { return f_tags; }

    // ACMDM_FORMAT_SUGGEST: `src` is a copy of the source record (at least
    // 18 bytes, cbSize 0 for PCM); `dst` has `dstSize` bytes (at least 16),
    // whose fields named by `flags` are fixed.
    virtual MMRESULT suggest(const std::vector<uint8_t>& src, WAVEFORMATEX* dst, uint32_t dstSize,
                             uint32_t flags) const = 0;
    // ACMDM_STREAM_OPEN on copies of both records (as for suggest): a
    // converter, or null with the reason in `result`.
    virtual std::unique_ptr<kelAcmConverter>
    open(const std::vector<uint8_t>& src, const std::vector<uint8_t>& dst, MMRESULT& result) const = 0;

protected:
    kelAcmDriver(uint16_t productId, const char16_t* shortName, const char16_t* longName, uint32_t support);
    void addTag(uint16_t tag, const char16_t* name, std::vector<std::vector<uint8_t>> formats);

    ACMDRIVERDETAILSW f_details{};
    std::vector<kelAcmTagInfo> f_tags;
};

// A driver between 16-bit PCM and one coded family: it suggests the coded
// record for PCM and 16-bit PCM of the same rate and channels for a coded
// record, and opens the two directions between records it accepts.
class kelAcmCodecDriver : public kelAcmDriver
{
public:
    MMRESULT suggest(const std::vector<uint8_t>& src, WAVEFORMATEX* dst, uint32_t dstSize,
                     uint32_t flags) const final;
    std::unique_ptr<kelAcmConverter> open(const std::vector<uint8_t>& src, const std::vector<uint8_t>& dst,
                                          MMRESULT& result) const final;

protected:
    using kelAcmDriver::kelAcmDriver;
    // Whether the coded record `coded` is one the driver decodes.
    virtual bool decodes(const std::vector<uint8_t>& coded) const noexcept = 0;
    // Whether 16-bit PCM `pcm` codes into `coded` (of the same rate and
    // channels); by default whenever the record decodes.
    virtual bool encodes(const WAVEFORMATEX& pcm, const std::vector<uint8_t>& coded) const noexcept;
    // The coded record suggested for 16-bit PCM `pcm`, where `fixed` holds
    // the fields `flags` fix; empty when there is none.
    virtual std::vector<uint8_t> codedFor(const WAVEFORMATEX& pcm, const WAVEFORMATEX& fixed,
                                          uint32_t flags) const = 0;
    // The converter between `pcm` and `coded` in the direction `encode`
    // says; null with the reason in `result` when it cannot be made.
    virtual std::unique_ptr<kelAcmConverter> makeConverter(const WAVEFORMATEX& pcm,
                                                           const std::vector<uint8_t>& coded, bool encode,
                                                           MMRESULT& result) const = 0;
};

// A driver handler over one static `Driver`.
template <class Driver>
intptr_t kelAcmDriverProcOf(uintptr_t driverId, uint32_t message, intptr_t lParam1,
                            intptr_t lParam2) noexcept;

// Answers one driver message for `driver`.
intptr_t kelAcmDispatch(const kelAcmDriver& driver, uintptr_t driverId, uint32_t message, intptr_t lParam1,
                        intptr_t lParam2) noexcept;

// --- format helpers ---------------------------------------------------------
// A record of `size` bytes (at least 18) with the header fields set; cbSize is
// size - 18.
std::vector<uint8_t> kelAcmMakeFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                                      uint16_t blockAlign, uint16_t bits, uint32_t size);
std::vector<uint8_t> kelAcmMakePcmFormat(uint16_t channels, uint32_t rate, uint16_t bits);
// Whether `f` is plain PCM with 8 or 16 bits, 1 or 2 channels, a rate and a
// consistent block.
bool kelAcmIsPcm(const WAVEFORMATEX& f, bool sixteenOnly) noexcept;
// Writes a suggestion of `record` into `dst` (`dstSize` bytes): a PCM record
// may lose its cbSize to a 16-byte destination; anything larger than the
// destination is ACMERR_NOTPOSSIBLE.
MMRESULT kelAcmWriteSuggestion(const std::vector<uint8_t>& record, WAVEFORMATEX* dst,
                               uint32_t dstSize) noexcept;
// Whether a suggestion `f` keeps the fields of `fixed` that `flags` name.
bool kelAcmKeepsFixed(const WAVEFORMATEX& f, const WAVEFORMATEX& fixed, uint32_t flags) noexcept;
// The header of a record copy.
WAVEFORMATEX kelAcmHead(const std::vector<uint8_t>& record) noexcept;
// The 16-bit value after the header (wSamplesPerBlock), 0 when cbSize does
// not reach it.
uint16_t kelAcmSamplesPerBlock(const std::vector<uint8_t>& record) noexcept;
// Whether `f` has what every stream needs: channels, a rate and a block.
bool kelAcmHasShape(const WAVEFORMATEX& f) noexcept;

template <class Driver>
intptr_t kelAcmDriverProcOf(uintptr_t driverId, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept
{
    try {
        static const Driver driver;
        return kelAcmDispatch(driver, driverId, message, lParam1, lParam2);
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}
