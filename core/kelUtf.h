#pragma once
// UTF-8 <-> UTF-16 conversion. Pure routines; any thread.
//
// The encoder writes the long forms of the original UTF-8 definition (up to
// six bytes, code points up to 0x7FFFFFFF) and passes unpaired surrogates
// through as three-byte forms, so a surrogate pair split across two texts
// (two real-time text packets, say) joins again on the far side. The decoder
// accepts what the encoder writes and turns everything else (truncated
// sequences, stray continuation bytes, overlong forms, 0xFE/0xFF) into
// U+FFFD, never into 0: a decoded text is never cut short by a bad byte.

#include "core/kelTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char16_t kelReplacementChar = 0xFFFD;

// One code point as UTF-8: 1 byte up to 0x7F, 2 up to 0x7FF, 3 up to 0xFFFF,
// 4 up to 0x1FFFFF, 5 up to 0x3FFFFFF, 6 up to 0x7FFFFFFF. Negative values
// give an empty string.
std::string codePointToUtf8(int32_t cp);

// A high surrogate followed by a low surrogate (DC00-DFFF) is one code point;
// every other code unit, unpaired surrogates included, is encoded as is.
std::string utf16ToUtf8(std::u16string_view text);

// Decodes 1- to 6-byte sequences; code points above 0xFFFF become surrogate
// pairs, those above 0x10FFFF (which have none) U+FFFD. A byte-order mark is
// decoded like any other character.
kelString utf8ToUtf16(std::string_view bytes);
kelString utf8ToUtf16(const void* bytes, size_t len);
