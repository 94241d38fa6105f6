#pragma once
// Base64 with the standard alphabet. Pure routines; any thread.

#include "core/kelTypes.h"

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::string_view kelBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard alphabet, "=" / "==" padding of the last group, no line breaks.
std::string encodeBase64(const void* data, size_t len);
std::string encodeBase64(std::string_view bytes);

// Skips every character outside the alphabet ("=" and line breaks included);
// each group of four alphabet characters gives three bytes, a final group of
// n (2 or 3) characters n - 1 bytes, a final lone character nothing.
std::string decodeBase64(std::string_view text);
std::string decodeBase64(std::u16string_view text);
