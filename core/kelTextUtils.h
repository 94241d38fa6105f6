#pragma once
// ASCII case handling, trimming, comparison and padding of UTF-16 and 8-bit
// strings. Pure routines; any thread.

#include "core/kelTypes.h"

#include <cstddef>
#include <string>
#include <string_view>

// Removes characters with a code of 32 or less from the left and/or right end.
kelString trimText(std::u16string_view text, bool left = true, bool right = true);
std::string trimText(std::string_view text, bool left = true, bool right = true);

// Change only the letters a-z / A-Z.
kelString upperAscii(std::u16string_view text);
kelString lowerAscii(std::u16string_view text);
std::string upperAscii(std::string_view text);
std::string lowerAscii(std::string_view text);

// Lower-cases an 8-bit string. Only A-Z change, so UTF-8 text stays intact.
std::string lower8(std::string_view text);

// -1, 0 or 1. A shorter string is smaller; strings of equal length compare
// code unit by code unit (with `ignoreCase`, A-Z count as a-z).
int compareText(std::u16string_view a, std::u16string_view b, bool ignoreCase = false);
int compareText(std::string_view a, std::string_view b, bool ignoreCase = false);

// Equal after lower-casing A-Z, and after trimming both ends when `trim`.
bool textEquals(std::u16string_view a, std::u16string_view b, bool trim = false);
bool textEquals(std::string_view a, std::string_view b, bool trim = false);

// Pads `text` with `padChar` on the left (`padLeft`) or right up to |width|
// characters; with `cut`, a longer text is cut to |width| keeping its right
// end (`padLeft`) or its left end.
kelString padText(std::u16string_view text, int width, char16_t padChar = u' ', bool padLeft = true,
                  bool cut = false);
std::string padText(std::string_view text, int width, char padChar = ' ', bool padLeft = true,
                    bool cut = false);

// `count` copies of `ch` (none for count <= 0).
kelString repeatChar(char16_t ch, int count);
std::string repeatChar(char ch, int count);

// 1-based position of the last character of `text` that occurs in `chars`;
// 0 when none does.
size_t lastCharPos(std::u16string_view chars, std::u16string_view text);
size_t lastCharPos(std::string_view chars, std::string_view text);

// Copies up to `maxChars` code units of `text` and a terminating 0 into
// `buffer`, which must hold maxChars + 1 units. Returns the units copied (0
// for a null buffer, which is left alone).
size_t copyToBuffer(std::u16string_view text, char16_t* buffer, size_t maxChars);
size_t copyToBuffer(std::string_view text, char* buffer, size_t maxChars);
