#pragma once
// Process-wide state of the utility unit, set up on first use (the library's
// first start-up step) and kept to the end of the process: the performance
// counter, the locale's thousands separator, the message hook. Any thread.

#include "core/kelTypes.h"

#include <cstdint>
#include <functional>
#include <string>

// Counts per second of the high-resolution counter (the monotonic clock in
// nanoseconds), 0 when the platform has none.
uint64_t perfCounterFrequency() noexcept;
// perfCounterFrequency() / 1000.
uint64_t perfCountsPerMs() noexcept;
// True when no high-resolution counter exists.
bool perfCounterMissing() noexcept;
// The counter now.
uint64_t perfCounterNow() noexcept;

// The locale's thousands separator as read at start-up ("," when the locale
// gives none), as UTF-16 and as 8-bit text.
const kelString& thousandSeparator() noexcept;
const std::string& thousandSeparator8() noexcept;

// The library never opens a window: showMessage hands its text to the hook a
// program sets. The hook runs on the calling thread and returns the button
// chosen; exceptions it raises are dropped. Without a hook the message goes
// to standard error as "caption: text" and 0 is returned.
using kelMessageHook =
    std::function<int(const kelString& text, const kelString& caption, uint32_t flags, void* owner)>;
void setMessageHook(kelMessageHook hook);

// Message-box flags the hook may honour.
inline constexpr uint32_t kelMbOk = 0x00;
inline constexpr uint32_t kelMbIconError = 0x10;
inline constexpr uint32_t kelMbIconWarning = 0x30;
inline constexpr uint32_t kelMbIconInfo = 0x40;

int showMessage(const kelString& text, const kelString& caption = {}, uint32_t flags = kelMbOk,
                void* owner = nullptr);
