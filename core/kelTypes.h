#pragma once
// Basic types shared by the whole library.

#include <cstdint>
#include <string>

// A UTF-16 string; 8-bit strings are std::string.
using kelString = std::u16string;

// Booleans kept as numbers or text: true is all ones.
inline constexpr int32_t kelTrue = -1;
inline constexpr int32_t kelFalse = 0;
