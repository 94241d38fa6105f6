#pragma once
// Unpredictable bytes for protocol identifiers (DNS message ids, STUN
// transaction ids): an off-path sender must not be able to guess them, so
// they come from the kernel's generator, not from the time or a counter.
// Any thread.

#include <cstddef>
#include <cstdint>

void kelProtoRandomBytes(uint8_t* out, size_t size) noexcept;
uint32_t kelProtoRandom32() noexcept;
