#pragma once
// The audio compression manager calls, with the platform's names, records
// and codes (global names, like the wave calls of kelWaveApi.h). Every call
// becomes one or more driver messages (DRV_*, ACMDM_*) to a handler with the
// kelDriverProc signature, so the built-in drivers (registered through
// kelAcmRegistry.h) and installable drivers (shared objects opened by file
// name that export "DriverProc") take the same path.
//
// Results are MMRESULT codes, 0 on success; nothing throws. A handle that
// this layer did not hand out, one already closed, or one of the wrong kind
// answers MMSYSERR_INVALHANDLE (5). Every call may be made from any thread;
// enumeration callbacks run on the caller's thread with no lock of the
// layer held, so they may call back into the layer. Conversions on one
// stream are serialised; different streams convert in parallel.
//
// Records passed in are read and written only within the size they give
// (cbStruct, cbwfx, cbwfxDst): a size too small for the call's fields
// answers MMSYSERR_INVALPARAM (11).

#include "platform/kelAcmRecords.h"

#include <cstdint>

// Called once per driver; false stops the enumeration.
using ACMDRIVERENUMCB = bool (*)(HACMDRIVERID driverId, uintptr_t instance, uint32_t support);
// Called once per format tag / format, with the caller's record filled in
// (for formats, pafd->cbwfx is the size of the record reported at pwfx);
// false stops the enumeration.
using ACMFORMATTAGENUMCBA = bool (*)(HACMDRIVERID driverId, ACMFORMATTAGDETAILSA* paftd, uintptr_t instance,
                                     uint32_t support);
using ACMFORMATENUMCBA = bool (*)(HACMDRIVERID driverId, ACMFORMATDETAILSA* pafd, uintptr_t instance,
                                  uint32_t support);

// 0xMMmmBBBB: major, minor, build.
uint32_t acmGetVersion() noexcept;

// One metric as a uint32_t at `metric`. A null `object` asks the whole
// manager: the ACM_METRIC_COUNT_* counts, and ACM_METRIC_MAX_SIZE_FORMAT (the
// largest format record of any driver). A driver id, open driver or stream
// answers ACM_METRIC_MAX_SIZE_FORMAT and ACM_METRIC_DRIVER_SUPPORT for its
// driver. Other metrics: MMSYSERR_NOTSUPPORTED.
MMRESULT acmMetrics(HACMOBJ object, uint32_t metricIndex, void* metric) noexcept;

// Every enabled driver in registration order (disabled ones too with
// ACM_DRIVERENUMF_DISABLED).
MMRESULT acmDriverEnum(ACMDRIVERENUMCB callback, uintptr_t instance, uint32_t flags) noexcept;
// Opens an instance of a registered driver (DRV_OPEN); `flags` must be 0.
MMRESULT acmDriverOpen(HACMDRIVER* driver, HACMDRIVERID driverId, uint32_t flags) noexcept;
// ACMERR_BUSY while a stream of the instance is open.
MMRESULT acmDriverClose(HACMDRIVER driver, uint32_t flags) noexcept;
// The driver's details, cut to details->cbStruct bytes (at least 4); a
// driver id or an open driver.
MMRESULT acmDriverDetailsW(HACMDRIVERID driverId, ACMDRIVERDETAILSW* details, uint32_t flags) noexcept;
// A driver's own messages (ACMDM_USER up to ACMDM_RESERVED_LOW, and
// DRV_CONFIGURE / DRV_QUERYCONFIGURE) to an open driver or driver id; the
// manager's own messages answer MMSYSERR_INVALPARAM. The answer is the
// driver's.
intptr_t acmDriverMessage(HACMDRIVER driver, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept;

// Installable drivers. OpenDriver loads the shared object at `driverName`
// (a file name, UTF-16), finds its "DriverProc" and sends DRV_LOAD,
// DRV_ENABLE and DRV_OPEN (with `lParam2`); null when any step fails.
// CloseDriver sends DRV_CLOSE, DRV_DISABLE and DRV_FREE and unloads; it
// answers DRV_CLOSE's answer (non-zero: closed), 0 for a bad handle.
// SendDriverMessage hands any message to the driver and answers its answer
// (MMSYSERR_INVALHANDLE for a bad handle). Each OpenDriver is a separate
// handle, even for the same file.
HDRVR OpenDriver(const char16_t* driverName, const char16_t* sectionName, intptr_t lParam2) noexcept;
intptr_t CloseDriver(HDRVR driver, intptr_t lParam1, intptr_t lParam2) noexcept;
intptr_t SendDriverMessage(HDRVR driver, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept;

// A driver's format tags (ACM_FORMATTAGDETAILSF_INDEX 0, 1, ...); a null
// driver enumerates every enabled driver's. paftd->cbStruct must be at least
// 72; `flags` must be 0.
MMRESULT acmFormatTagEnumA(HACMDRIVER driver, ACMFORMATTAGDETAILSA* paftd, ACMFORMATTAGENUMCBA callback,
                           uintptr_t instance, uint32_t flags) noexcept;
// A driver's formats; a null driver enumerates every enabled driver's.
// pafd->pwfx holds pafd->cbwfx bytes (at least 18): on entry its fields
// select formats (ACM_FORMATENUMF_WFORMATTAG, NCHANNELS, NSAMPLESPERSEC,
// WBITSPERSAMPLE: that field must match; CONVERT: formats the record given
// converts to), on each callback it holds the format. A non-zero
// pafd->dwFormatTag limits the enumeration to that tag. SUGGEST, HARDWARE,
// INPUT and OUTPUT answer MMSYSERR_NOTSUPPORTED.
MMRESULT acmFormatEnumA(HACMDRIVER driver, ACMFORMATDETAILSA* pafd, ACMFORMATENUMCBA callback,
                        uintptr_t instance, uint32_t flags) noexcept;
// Fills `dst` (`dstSize` bytes, at least 16: a PCM record may leave out
// cbSize) with a format that `src` converts to, keeping the fields that the
// ACM_FORMATSUGGESTF_* flags name as they are in `dst`. A null driver asks
// every enabled driver in turn. ACMERR_NOTPOSSIBLE when none can.
MMRESULT acmFormatSuggest(HACMDRIVER driver, const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t dstSize,
                          uint32_t flags) noexcept;

// Conversion streams. acmStreamOpen copies both format records (a PCM
// record is read as 16 bytes, others as 18 + cbSize) and asks the driver (or,
// with a null driver, every enabled driver in turn) to open the conversion;
// with ACM_STREAMOPENF_QUERY it only asks and `stream` may be null.
// ACM_STREAMOPENF_ASYNC is not supported (ACMERR_NOTPOSSIBLE); `callback`
// and `instance` are kept for the driver only.
MMRESULT acmStreamOpen(HACMSTREAM* stream, HACMDRIVER driver, const WAVEFORMATEX* src,
                       const WAVEFORMATEX* dst, const WAVEFILTER* filter, uintptr_t callback,
                       uintptr_t instance, uint32_t flags) noexcept;
// The other side's bytes for `inputBytes` bytes of the side that `flags`
// names (ACM_STREAMSIZEF_SOURCE: destination bytes for that much source;
// ACM_STREAMSIZEF_DESTINATION: source bytes that fill that much destination).
MMRESULT acmStreamSize(HACMSTREAM stream, uint32_t inputBytes, uint32_t* outputBytes,
                       uint32_t flags) noexcept;
// A header must be prepared (with the buffers it converts) before it is
// converted; header->cbStruct must be at least 128.
MMRESULT acmStreamPrepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) noexcept;
// Converts the header's source into its destination and reports the bytes
// used on both sides (never more than the buffers hold); the header comes
// back done. Its lengths may not exceed those it was prepared with.
// ACMERR_UNPREPARED for a header not prepared on this stream.
MMRESULT acmStreamConvert(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) noexcept;
MMRESULT acmStreamUnprepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) noexcept;
// Drops what the driver holds of the stream; the next conversion starts
// afresh.
MMRESULT acmStreamReset(HACMSTREAM stream, uint32_t flags) noexcept;
// Closes the stream (its prepared headers are forgotten); when the driver
// refuses, the stream stays open and its answer is returned.
MMRESULT acmStreamClose(HACMSTREAM stream, uint32_t flags) noexcept;
