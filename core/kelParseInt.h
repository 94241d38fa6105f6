#pragma once
// Number <-> text conversion with the library's own rules. Every routine is
// pure and may be called from any thread.

#include "core/kelTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

// The digits formatInteger/formatUnsigned draw from (values 0-68).
inline constexpr std::string_view kelDigitAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz[]<>&$#";

// `value` as text: "0" for 0; otherwise the digits of |value| in `base`
// (1 < base < 70, an empty text for any other base), grouped by inserting
// `splitChar` every `split` digits from the right when split > 0, then "-" in
// front of a negative value. A `splitChar` of space stands for the locale's
// thousands separator (see thousandSeparator()). The most negative value is
// formatted correctly.
kelString formatInteger(int64_t value, int base = 10, int split = 0, char16_t splitChar = u' ');
// The same for an unsigned value.
kelString formatUnsigned(uint64_t value, int base = 10, int split = 0, char16_t splitChar = u' ');
// 8-bit forms; a space `splitChar` gives the locale separator's 8-bit bytes.
std::string formatInteger8(int64_t value, int base = 10, int split = 0, char splitChar = ' ');
std::string formatUnsigned8(uint64_t value, int base = 10, int split = 0, char splitChar = ' ');

// Reads a signed integer:
//  - an empty text, or a base outside 2..36, gives `defValue`; so does a text
//    of blanks only or a bare hexadecimal marker;
//  - leading and trailing spaces are dropped;
//  - in base 10 only, a leading "$", a trailing "h"/"H" or a leading "0x"/"0X"
//    marks a hexadecimal number (the marker is removed, base 16 is used);
//  - in bases up to 16, leading "+", "-" and "0" are consumed (the last sign
//    wins); any other non-alphanumeric lead character gives `defValue`;
//  - the rest are digits: "0"-"9" are 0-9, "A"-"Z" and "a"-"z" are 10-35, and a
//    digit must be below the base ("loud" is no decimal number). Any other
//    character gives `defValue`, unless `ignoreErrors`: then only the digits
//    left of the leftmost such character count (`defValue` when there are
//    none);
//  - a magnitude beyond 64 bits gives `defValue`. Magnitudes up to 2^64 - 1
//    are kept as their 64-bit pattern, so "$FFFFFFFFFFFFFFFF" reads as -1.
int64_t parseInteger(std::u16string_view text, int64_t defValue = 0, int base = 10,
                     bool ignoreErrors = false);
int64_t parseInteger(std::string_view text, int64_t defValue = 0, int base = 10, bool ignoreErrors = false);
// The same for texts held in zero-terminated buffers; a null pointer gives
// `defValue`.
int64_t parseInteger(const char16_t* text, int64_t defValue = 0, int base = 10, bool ignoreErrors = false);
int64_t parseInteger(const char* text, int64_t defValue = 0, int base = 10, bool ignoreErrors = false);

// parseInteger in base 10 with -1 (true) or 0 (false) as the default, then
// "is not zero".
bool parseBoolean(std::u16string_view text, bool defValue);
bool parseBoolean(std::string_view text, bool defValue);
