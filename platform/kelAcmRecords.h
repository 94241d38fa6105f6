#pragma once
// The audio compression manager's records, handles, messages and codes, with
// the platform's names, field order and widths on a 64-bit build: DWORD is
// uint32_t, a pointer, handle or DWORD_PTR is 8 bytes, text is char16_t (the
// "W" records) or char (the "A" records). Records are naturally aligned, as
// the platform lays them out; each carries a static_assert on its size.
//
// Both the layer (kelAcmApi.h) and every driver (built in or installable)
// speak in these records: a driver is a handler with the kelDriverProc
// signature that answers the DRV_* and ACMDM_* messages below.
//
// Every record that a caller hands in starts with its own size (cbStruct,
// cbwfx, ...); neither the layer nor a driver reads or writes past it.

#include "platform/kelMMResult.h"
#include "platform/kelWaveRecords.h"

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 8, "the compression manager's records are laid out for 64-bit builds");

// --- handles -----------------------------------------------------------------
// Tokens the layer hands out; never dereferenced. A token is never reused, so
// a stale one is refused (MMSYSERR_INVALHANDLE) like a foreign one.
struct kelAcmHandle;
using HACMDRIVERID = kelAcmHandle*; // a registered driver
using HACMDRIVER = kelAcmHandle*;   // an open instance of a registered driver
using HACMSTREAM = kelAcmHandle*;   // a conversion stream
using HACMOBJ = kelAcmHandle*;      // any of the three (acmMetrics)
using HDRVR = kelAcmHandle*;        // an installable driver opened by file name

// --- results -----------------------------------------------------------------
inline constexpr MMRESULT ACMERR_BASE = 512;
inline constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
inline constexpr MMRESULT ACMERR_BUSY = 513;
inline constexpr MMRESULT ACMERR_UNPREPARED = 514;
inline constexpr MMRESULT ACMERR_CANCELED = 515;

// --- driver messages -----------------------------------------------------------
// The driver handler: `driverId` is what the driver answered to DRV_OPEN (0
// before that), `driver` the handle the message came through. The answer is
// an MMRESULT for the ACMDM_* messages; DRV_LOAD, DRV_ENABLE and DRV_CLOSE
// answer non-zero for success, DRV_OPEN the new driver id (0: refused).
using kelDriverProc = intptr_t (*)(uintptr_t driverId, HDRVR driver, uint32_t message, intptr_t lParam1,
                                   intptr_t lParam2);
// The name an installable driver's shared object exports its handler under.
inline constexpr const char* kelDriverProcName = "DriverProc";

inline constexpr uint32_t DRV_LOAD = 0x0001;
inline constexpr uint32_t DRV_ENABLE = 0x0002;
inline constexpr uint32_t DRV_OPEN = 0x0003; // lParam2: ACMDRVOPENDESCW* or 0
inline constexpr uint32_t DRV_CLOSE = 0x0004;
inline constexpr uint32_t DRV_DISABLE = 0x0005;
inline constexpr uint32_t DRV_FREE = 0x0006;
inline constexpr uint32_t DRV_CONFIGURE = 0x0007;
inline constexpr uint32_t DRV_QUERYCONFIGURE = 0x0008;
inline constexpr uint32_t DRV_INSTALL = 0x0009;
inline constexpr uint32_t DRV_REMOVE = 0x000A;
inline constexpr uint32_t DRV_USER = 0x4000;

inline constexpr uint32_t ACMDM_USER = DRV_USER;
inline constexpr uint32_t ACMDM_RESERVED_LOW = DRV_USER + 0x2000;
inline constexpr uint32_t ACMDM_RESERVED_HIGH = DRV_USER + 0x2FFF;
inline constexpr uint32_t ACMDM_BASE = ACMDM_RESERVED_LOW;
// lParam1 / lParam2 of each message:
inline constexpr uint32_t ACMDM_DRIVER_NOTIFY = ACMDM_BASE + 1;
inline constexpr uint32_t ACMDM_DRIVER_DETAILS = ACMDM_BASE + 10; // ACMDRIVERDETAILSW*, 0
inline constexpr uint32_t ACMDM_DRIVER_ABOUT = ACMDM_BASE + 11;   // window, 0
inline constexpr uint32_t ACMDM_FORMATTAG_DETAILS =
    ACMDM_BASE + 25; // ACMFORMATTAGDETAILSW*, ACM_FORMATTAGDETAILSF_*
inline constexpr uint32_t ACMDM_FORMAT_DETAILS = ACMDM_BASE + 26; // ACMFORMATDETAILSW*, ACM_FORMATDETAILSF_*
inline constexpr uint32_t ACMDM_FORMAT_SUGGEST = ACMDM_BASE + 27; // ACMDRVFORMATSUGGEST*, 0
inline constexpr uint32_t ACMDM_FILTERTAG_DETAILS = ACMDM_BASE + 50;
inline constexpr uint32_t ACMDM_FILTER_DETAILS = ACMDM_BASE + 51;
inline constexpr uint32_t ACMDM_STREAM_OPEN = ACMDM_BASE + 76;  // ACMDRVSTREAMINSTANCE*, 0
inline constexpr uint32_t ACMDM_STREAM_CLOSE = ACMDM_BASE + 77; // ACMDRVSTREAMINSTANCE*, 0
inline constexpr uint32_t ACMDM_STREAM_SIZE = ACMDM_BASE + 78;  // ACMDRVSTREAMINSTANCE*, ACMDRVSTREAMSIZE*
inline constexpr uint32_t ACMDM_STREAM_CONVERT =
    ACMDM_BASE + 79;                                            // ACMDRVSTREAMINSTANCE*, ACMDRVSTREAMHEADER*
inline constexpr uint32_t ACMDM_STREAM_RESET = ACMDM_BASE + 80; // ACMDRVSTREAMINSTANCE*, 0
inline constexpr uint32_t ACMDM_STREAM_PREPARE =
    ACMDM_BASE + 81; // ACMDRVSTREAMINSTANCE*, ACMDRVSTREAMHEADER*
inline constexpr uint32_t ACMDM_STREAM_UNPREPARE =
    ACMDM_BASE + 82; // ACMDRVSTREAMINSTANCE*, ACMDRVSTREAMHEADER*

// --- flags and metrics -----------------------------------------------------------
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_FILTER = 0x00000004;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_HARDWARE = 0x00000008;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_ASYNC = 0x00000010;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_LOCAL = 0x40000000;
inline constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_DISABLED = 0x80000000;

// 'audc', the type of every audio compression driver.
inline constexpr uint32_t ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC = 0x63647561;

inline constexpr uint32_t ACM_DRIVERENUMF_NOLOCAL = 0x40000000;
inline constexpr uint32_t ACM_DRIVERENUMF_DISABLED = 0x80000000;

inline constexpr uint32_t ACM_METRIC_COUNT_DRIVERS = 1;
inline constexpr uint32_t ACM_METRIC_COUNT_CODECS = 2;
inline constexpr uint32_t ACM_METRIC_COUNT_CONVERTERS = 3;
inline constexpr uint32_t ACM_METRIC_COUNT_FILTERS = 4;
inline constexpr uint32_t ACM_METRIC_COUNT_DISABLED = 5;
inline constexpr uint32_t ACM_METRIC_COUNT_HARDWARE = 6;
inline constexpr uint32_t ACM_METRIC_COUNT_LOCAL_DRIVERS = 20;
inline constexpr uint32_t ACM_METRIC_COUNT_LOCAL_CODECS = 21;
inline constexpr uint32_t ACM_METRIC_COUNT_LOCAL_CONVERTERS = 22;
inline constexpr uint32_t ACM_METRIC_COUNT_LOCAL_FILTERS = 23;
inline constexpr uint32_t ACM_METRIC_COUNT_LOCAL_DISABLED = 24;
inline constexpr uint32_t ACM_METRIC_HARDWARE_WAVE_INPUT = 30;
inline constexpr uint32_t ACM_METRIC_HARDWARE_WAVE_OUTPUT = 31;
inline constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;
inline constexpr uint32_t ACM_METRIC_MAX_SIZE_FILTER = 51;
inline constexpr uint32_t ACM_METRIC_DRIVER_SUPPORT = 100;
inline constexpr uint32_t ACM_METRIC_DRIVER_PRIORITY = 101;

inline constexpr uint32_t ACM_FORMATTAGDETAILSF_INDEX = 0x0;
inline constexpr uint32_t ACM_FORMATTAGDETAILSF_FORMATTAG = 0x1;
inline constexpr uint32_t ACM_FORMATTAGDETAILSF_LARGESTSIZE = 0x2;
inline constexpr uint32_t ACM_FORMATDETAILSF_INDEX = 0x0;
inline constexpr uint32_t ACM_FORMATDETAILSF_FORMAT = 0x1;

inline constexpr uint32_t ACM_FORMATENUMF_WFORMATTAG = 0x00010000;
inline constexpr uint32_t ACM_FORMATENUMF_NCHANNELS = 0x00020000;
inline constexpr uint32_t ACM_FORMATENUMF_NSAMPLESPERSEC = 0x00040000;
inline constexpr uint32_t ACM_FORMATENUMF_WBITSPERSAMPLE = 0x00080000;
inline constexpr uint32_t ACM_FORMATENUMF_CONVERT = 0x00100000;
inline constexpr uint32_t ACM_FORMATENUMF_SUGGEST = 0x00200000;
inline constexpr uint32_t ACM_FORMATENUMF_HARDWARE = 0x00400000;
inline constexpr uint32_t ACM_FORMATENUMF_INPUT = 0x00800000;
inline constexpr uint32_t ACM_FORMATENUMF_OUTPUT = 0x01000000;

inline constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_TYPEMASK = 0x00FF0000;

inline constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x1;
inline constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x2;
inline constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x4;

inline constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x0;
inline constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x1;

// Conversion flags. BLOCKALIGN: only whole blocks are converted and the rest
// of the source is reported unused. END: the stream ends here, so the tail is
// converted too (a last partial block padded with silence) and whatever the
// driver still holds comes out. START: the first conversion after open or
// reset.
inline constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x04;
inline constexpr uint32_t ACM_STREAMCONVERTF_START = 0x10;
inline constexpr uint32_t ACM_STREAMCONVERTF_END = 0x20;

inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

// --- records -----------------------------------------------------------------
inline constexpr unsigned ACMDRIVERDETAILS_SHORTNAME_CHARS = 32;
inline constexpr unsigned ACMDRIVERDETAILS_LONGNAME_CHARS = 128;
inline constexpr unsigned ACMDRIVERDETAILS_COPYRIGHT_CHARS = 80;
inline constexpr unsigned ACMDRIVERDETAILS_LICENSING_CHARS = 128;
inline constexpr unsigned ACMDRIVERDETAILS_FEATURES_CHARS = 512;
inline constexpr unsigned ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;
inline constexpr unsigned ACMFORMATDETAILS_FORMAT_CHARS = 128;

struct ACMDRIVERDETAILSW
{
    uint32_t cbStruct;
    uint32_t fccType;
    uint32_t fccComp;
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vdwACM;
    uint32_t vdwDriver;
    uint32_t fdwSupport;
    uint32_t cFormatTags;
    uint32_t cFilterTags;
    uintptr_t hicon;
    char16_t szShortName[ACMDRIVERDETAILS_SHORTNAME_CHARS];
    char16_t szLongName[ACMDRIVERDETAILS_LONGNAME_CHARS];
    char16_t szCopyright[ACMDRIVERDETAILS_COPYRIGHT_CHARS];
    char16_t szLicensing[ACMDRIVERDETAILS_LICENSING_CHARS];
    char16_t szFeatures[ACMDRIVERDETAILS_FEATURES_CHARS];
};

struct ACMFORMATTAGDETAILSA
{
    uint32_t cbStruct;
    uint32_t dwFormatTagIndex;
    uint32_t dwFormatTag;
    uint32_t cbFormatSize; // the tag's largest format record
    uint32_t fdwSupport;
    uint32_t cStandardFormats;
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};

// What a driver answers to ACMDM_FORMATTAG_DETAILS.
struct ACMFORMATTAGDETAILSW
{
    uint32_t cbStruct;
    uint32_t dwFormatTagIndex;
    uint32_t dwFormatTag;
    uint32_t cbFormatSize;
    uint32_t fdwSupport;
    uint32_t cStandardFormats;
    char16_t szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};

struct ACMFORMATDETAILSA
{
    uint32_t cbStruct;
    uint32_t dwFormatIndex;
    uint32_t dwFormatTag;
    uint32_t fdwSupport;
    WAVEFORMATEX* pwfx;
    uint32_t cbwfx; // in: the room at pwfx; reported: the record's size
    char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
};

// What a driver answers to ACMDM_FORMAT_DETAILS.
struct ACMFORMATDETAILSW
{
    uint32_t cbStruct;
    uint32_t dwFormatIndex;
    uint32_t dwFormatTag;
    uint32_t fdwSupport;
    WAVEFORMATEX* pwfx;
    uint32_t cbwfx;
    char16_t szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
};

// One conversion: the caller's buffers and what the driver used of them.
inline constexpr unsigned kelAcmDriverReserved = 15; // 10 on 32-bit builds
struct ACMSTREAMHEADER
{
    uint32_t cbStruct;
    uint32_t fdwStatus;
    uintptr_t dwUser;
    uint8_t* pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;
    uintptr_t dwSrcUser;
    uint8_t* pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;
    uintptr_t dwDstUser;
    uint32_t dwReservedDriver[kelAcmDriverReserved];
};

// The header as a driver sees it (ACMDM_STREAM_PREPARE / CONVERT /
// UNPREPARE).
struct ACMDRVSTREAMHEADER
{
    uint32_t cbStruct;
    uint32_t fdwStatus;
    uintptr_t dwUser;
    uint8_t* pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;
    uintptr_t dwSrcUser;
    uint8_t* pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;
    uintptr_t dwDstUser;
    uint32_t fdwConvert; // ACM_STREAMCONVERTF_*
    ACMDRVSTREAMHEADER* padshNext;
    uint32_t fdwDriver;
    uintptr_t dwDriver;
    uint32_t fdwPrepared;
    uintptr_t dwPrepared;
    uint8_t* pbPreparedSrc;
    uint32_t cbPreparedSrcLength;
    uint8_t* pbPreparedDst;
    uint32_t cbPreparedDstLength;
};

struct WAVEFILTER
{
    uint32_t cbStruct;
    uint32_t dwFilterTag;
    uint32_t fdwFilter;
    uint32_t dwReserved[5];
};

// One stream as a driver sees it; the driver keeps its own state in
// fdwDriver / dwDriver from ACMDM_STREAM_OPEN to ACMDM_STREAM_CLOSE.
struct ACMDRVSTREAMINSTANCE
{
    uint32_t cbStruct;
    WAVEFORMATEX* pwfxSrc;
    WAVEFORMATEX* pwfxDst;
    WAVEFILTER* pwfltr;
    uintptr_t dwCallback;
    uintptr_t dwInstance;
    uint32_t fdwOpen; // ACM_STREAMOPENF_*
    uint32_t fdwDriver;
    uintptr_t dwDriver;
    HACMSTREAM has;
};

struct ACMDRVSTREAMSIZE
{
    uint32_t cbStruct;
    uint32_t fdwSize; // ACM_STREAMSIZEF_*: which length is given
    uint32_t cbSrcLength;
    uint32_t cbDstLength;
};

struct ACMDRVFORMATSUGGEST
{
    uint32_t cbStruct;
    uint32_t fdwSuggest; // ACM_FORMATSUGGESTF_*: which fields of pwfxDst are fixed
    WAVEFORMATEX* pwfxSrc;
    uint32_t cbwfxSrc;
    WAVEFORMATEX* pwfxDst;
    uint32_t cbwfxDst; // the room at pwfxDst
};

// DRV_OPEN's lParam2 when the layer opens a driver; the driver may set
// dwError.
struct ACMDRVOPENDESCW
{
    uint32_t cbStruct;
    uint32_t fccType;
    uint32_t fccComp;
    uint32_t dwVersion;
    uint32_t dwFlags;
    uint32_t dwError;
    const char16_t* pszSectionName;
    const char16_t* pszAliasName;
    uint32_t dnDevNode;
};

// The extra bytes of the compressed formats the built-in drivers speak.
#pragma pack(push, 1)
// IMA ADPCM (0x11) and GSM 6.10 (0x31): cbSize 2, then the samples of one
// block.
struct IMAADPCMWAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
};
struct GSM610WAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
};
// MPEG layer 3 (0x55): cbSize 12.
struct MPEGLAYER3WAVEFORMAT
{
    WAVEFORMATEX wfx;
    uint16_t wID;
    uint32_t fdwFlags;
    uint16_t nBlockSize;
    uint16_t nFramesPerBlock;
    uint16_t nCodecDelay;
};
#pragma pack(pop)

inline constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
inline constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
inline constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
inline constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
inline constexpr uint16_t MPEGLAYER3_ID_MPEG = 1;
inline constexpr uint32_t MPEGLAYER3_FLAG_PADDING_OFF = 2;

static_assert(sizeof(ACMDRIVERDETAILSW) == 1808);
static_assert(offsetof(ACMDRIVERDETAILSW, hicon) == 40);
static_assert(sizeof(ACMFORMATTAGDETAILSA) == 72);
static_assert(sizeof(ACMFORMATTAGDETAILSW) == 120);
static_assert(sizeof(ACMFORMATDETAILSA) == 160);
static_assert(offsetof(ACMFORMATDETAILSA, cbwfx) == 24);
static_assert(sizeof(ACMFORMATDETAILSW) == 288);
static_assert(sizeof(ACMSTREAMHEADER) == 128);
static_assert(offsetof(ACMSTREAMHEADER, dwReservedDriver) == 64);
static_assert(sizeof(ACMDRVSTREAMHEADER) == 144);
static_assert(offsetof(ACMDRVSTREAMHEADER, fdwConvert) == 64);
static_assert(sizeof(WAVEFILTER) == 32);
static_assert(sizeof(ACMDRVSTREAMINSTANCE) == 72);
static_assert(sizeof(ACMDRVSTREAMSIZE) == 16);
static_assert(sizeof(ACMDRVFORMATSUGGEST) == 40);
static_assert(sizeof(ACMDRVOPENDESCW) == 48);
static_assert(sizeof(IMAADPCMWAVEFORMAT) == 20);
static_assert(sizeof(GSM610WAVEFORMAT) == 20);
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);
