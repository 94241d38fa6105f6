#pragma once
// The compression manager's built-in drivers, made from the project's own
// coders, each a driver handler (kelDriverProc) that answers the DRV_* and
// ACMDM_* messages of platform/kelAcmRecords.h:
//
//   driver        maker/product  format tags   converts (same rate both sides)
//   PCM           1 / 38         1             8 <-> 16 bits, mono <-> stereo
//   G.711         1 / 101        6, 7          16-bit PCM <-> A-law, mu-law
//   IMA ADPCM     1 / 102        0x11          16-bit PCM <-> WAV IMA blocks
//   GSM 6.10      1 / 103        0x31          16-bit 8 kHz mono <-> WAV49
//                                              blocks (65 bytes, 320 samples)
//   MPEG layer 3  1 / 104        0x55          decoding when libmpg123.so.0
//                                              loads, encoding when
//                                              libmp3lame.so.0 loads
//
// Conversions follow ACM_STREAMCONVERTF_*: with BLOCKALIGN only whole blocks
// are converted and the rest is reported unused; END converts the tail as
// well (a last partial block padded with silence). Decoders take any bytes;
// no driver writes past the destination it is given (the layer 3 driver
// keeps what does not fit for the next conversion). Opening a stream with
// zero channels or rate, a zero block size or an IMA block too small for its
// header answers ACMERR_NOTPOSSIBLE.

#include "platform/kelAcmRecords.h"

#include <cstdint>

inline constexpr uint16_t kelAcmMakerId = 1;
inline constexpr uint16_t kelAcmPcmProductId = 38;
inline constexpr uint16_t kelAcmG711ProductId = 101;
inline constexpr uint16_t kelAcmImaAdpcmProductId = 102;
inline constexpr uint16_t kelAcmGsmProductId = 103;
inline constexpr uint16_t kelAcmMp3ProductId = 104;

// Registers the built-in drivers with the compression manager, once per
// process (later calls do nothing): PCM, G.711, IMA ADPCM, GSM 6.10 and,
// when one of its libraries loads, MPEG layer 3. Any thread.
void kelAcmRegisterBuiltInDrivers() noexcept;

// The handlers themselves, for callers that talk to one driver directly.
intptr_t kelAcmPcmDriverProc(uintptr_t driverId, HDRVR driver, uint32_t message, intptr_t lParam1,
                             intptr_t lParam2) noexcept;
intptr_t kelAcmG711DriverProc(uintptr_t driverId, HDRVR driver, uint32_t message, intptr_t lParam1,
                              intptr_t lParam2) noexcept;
intptr_t kelAcmImaAdpcmDriverProc(uintptr_t driverId, HDRVR driver, uint32_t message, intptr_t lParam1,
                                  intptr_t lParam2) noexcept;
intptr_t kelAcmGsmDriverProc(uintptr_t driverId, HDRVR driver, uint32_t message, intptr_t lParam1,
                             intptr_t lParam2) noexcept;
intptr_t kelAcmMp3DriverProc(uintptr_t driverId, HDRVR driver, uint32_t message, intptr_t lParam1,
                             intptr_t lParam2) noexcept;

// Whether the layer 3 driver can decode / encode in this process (its
// library loaded).
bool kelAcmMp3CanDecode() noexcept;
bool kelAcmMp3CanEncode() noexcept;
