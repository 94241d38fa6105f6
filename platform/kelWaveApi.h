#pragma once
// The wave audio calls (waveIn*, waveOut*) with the platform's names, codes
// and records. Every call answers a result code, 0 on success; nothing
// throws. Finished buffers come back through the completion callback given
// at open, on the device's own thread, in the order they were queued; a
// callback may call back into this layer (queue the next buffer, reset,
// even close the device).
//
// Device ids: 0 is the virtual device (always present, see
// kelVirtualWave.h); 1 and up are the ALSA devices; WAVE_MAPPER is ALSA's
// "default" device, or the virtual device when ALSA has none.

#include "platform/kelMMResult.h"
#include "platform/kelWaveRecords.h"

#include <cstdint>

struct kelWaveHandle;
using HWAVEOUT = kelWaveHandle*;
using HWAVEIN = kelWaveHandle*;

// Called with the handle, the message, the instance data given at open and,
// for WOM_DONE / WIM_DATA, the finished header as the first parameter.
using kelWaveCallback = void (*)(kelWaveHandle* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                 uintptr_t param2);

inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;
inline constexpr MMRESULT WAVERR_SYNC = 35;

inline constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;

// Open flags.
inline constexpr uint32_t WAVE_FORMAT_QUERY = 0x1;
inline constexpr uint32_t WAVE_MAPPED = 0x4;
inline constexpr uint32_t WAVE_FORMAT_DIRECT = 0x8;
inline constexpr uint32_t CALLBACK_NULL = 0;
inline constexpr uint32_t CALLBACK_FUNCTION = 0x30000;
inline constexpr uint32_t CALLBACK_TYPEMASK = 0x70000;

// Callback messages.
inline constexpr uint32_t WOM_OPEN = 0x3BB;
inline constexpr uint32_t WOM_CLOSE = 0x3BC;
inline constexpr uint32_t WOM_DONE = 0x3BD;
inline constexpr uint32_t WIM_OPEN = 0x3BE;
inline constexpr uint32_t WIM_CLOSE = 0x3BF;
inline constexpr uint32_t WIM_DATA = 0x3C0;

// Header flags.
inline constexpr uint32_t WHDR_DONE = 0x1;
inline constexpr uint32_t WHDR_PREPARED = 0x2;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

// Position kinds; only samples and bytes are kept, other kinds are answered
// in samples (with wType changed), as the platform does.
inline constexpr uint32_t TIME_MS = 0x1;
inline constexpr uint32_t TIME_SAMPLES = 0x2;
inline constexpr uint32_t TIME_BYTES = 0x4;

struct MMTIME
{
    uint32_t wType;
    union {
        uint32_t ms;
        uint32_t sample;
        uint32_t cb;
        uint32_t ticks;
    } u;
};

inline constexpr unsigned MAXPNAMELEN = 32;

struct WAVEOUTCAPSW
{
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    uint32_t dwFormats;
    uint16_t wChannels;
    uint16_t wReserved1;
    uint32_t dwSupport;
};

struct WAVEINCAPSW
{
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    uint32_t dwFormats;
    uint16_t wChannels;
    uint16_t wReserved1;
};

// Capability bits: every PCM format of 11.025, 22.05, 44.1 and 96 kHz, mono
// and stereo, 8 and 16 bits.
inline constexpr uint32_t kelWaveAllStandardFormats = 0x000FFFFFu;
inline constexpr uint32_t WAVECAPS_SAMPLEACCURATE = 0x20;

uint32_t waveOutGetNumDevs() noexcept;
MMRESULT waveOutGetDevCapsW(uintptr_t deviceId, WAVEOUTCAPSW* caps, uint32_t capsSize) noexcept;
MMRESULT waveOutGetErrorTextW(MMRESULT error, char16_t* text, uint32_t textChars) noexcept;
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format, uintptr_t callback,
                     uintptr_t instance, uint32_t flags) noexcept;
MMRESULT waveOutClose(HWAVEOUT handle) noexcept;
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) noexcept;
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) noexcept;
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) noexcept;
MMRESULT waveOutPause(HWAVEOUT handle) noexcept;
MMRESULT waveOutRestart(HWAVEOUT handle) noexcept;
MMRESULT waveOutReset(HWAVEOUT handle) noexcept;
MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t timeSize) noexcept;

uint32_t waveInGetNumDevs() noexcept;
MMRESULT waveInGetDevCapsW(uintptr_t deviceId, WAVEINCAPSW* caps, uint32_t capsSize) noexcept;
MMRESULT waveInGetErrorTextW(MMRESULT error, char16_t* text, uint32_t textChars) noexcept;
MMRESULT waveInOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format, uintptr_t callback,
                    uintptr_t instance, uint32_t flags) noexcept;
MMRESULT waveInClose(HWAVEIN handle) noexcept;
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) noexcept;
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) noexcept;
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) noexcept;
MMRESULT waveInStart(HWAVEIN handle) noexcept;
MMRESULT waveInStop(HWAVEIN handle) noexcept;
MMRESULT waveInReset(HWAVEIN handle) noexcept;
MMRESULT waveInGetPosition(HWAVEIN handle, MMTIME* time, uint32_t timeSize) noexcept;
