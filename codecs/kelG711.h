#pragma once
// G.711 A-law and µ-law companding of signed 16-bit linear samples, with the
// exact rounding of the ITU-T G.191 reference tools (which differs from some
// popular coders for a few µ-law inputs). Stateless pure routines: any
// thread, any number at once.
//
// Each routine converts `count` values from `in` to `out`; `out` must hold
// `count` values. Absent buffers or a zero count do nothing.

#include <cstddef>
#include <cstdint>

void alawCompress(size_t count, const int16_t* samples, uint8_t* out) noexcept;
void ulawCompress(size_t count, const int16_t* samples, uint8_t* out) noexcept;
void alawExpand(size_t count, const uint8_t* bytes, int16_t* out) noexcept;
void ulawExpand(size_t count, const uint8_t* bytes, int16_t* out) noexcept;

// Single values, for callers that convert as they go.
uint8_t alawCompressSample(int16_t sample) noexcept;
uint8_t ulawCompressSample(int16_t sample) noexcept;
int16_t alawExpandSample(uint8_t code) noexcept;
int16_t ulawExpandSample(uint8_t code) noexcept;
