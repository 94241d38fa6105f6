#pragma once
// Strict decimal numbers of protocol texts (status codes, lengths, ports,
// SDP fields).

#include <cstdint>
#include <limits>
#include <string_view>

// The value of a text of decimal digits only; -1 when it is empty, holds
// anything else (signs and blanks included) or does not fit.
inline intptr_t kelParseDecimal(std::u16string_view text) noexcept
{
    if (text.empty()) return -1;
    intptr_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return -1;
        const int digit = c - u'0';
        if (value > (std::numeric_limits<intptr_t>::max() - digit) / 10) return -1;
        value = value * 10 + digit;
    }
    return value;
}
