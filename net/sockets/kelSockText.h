#pragma once
// Text at the socket boundary: host names and dotted quads travel as UTF-16
// in the library and as UTF-8 in the operating system's calls.

#include "core/kelTypes.h"

#include <string>

// Unpaired surrogates become U+FFFD.
std::string kelSockToUtf8(const kelString& text);
// Invalid UTF-8 bytes are taken as Latin-1 characters.
kelString kelSockFromUtf8(const std::string& text);
// The string without leading and trailing spaces, tabs and line breaks.
kelString kelSockTrim(const kelString& text);
