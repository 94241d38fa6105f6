#pragma once
// The library's one UTF-8 codec, below every user of it. Pure routines; any
// thread.
//
// Two policies over the same reading of a sequence:
//  - lenient (text from peers and users): the encoder writes the long forms
//    of the original UTF-8 definition (up to six bytes) and passes unpaired
//    surrogates through as three-byte forms, so a pair split across two
//    texts joins again on the far side; the decoder takes those forms back
//    and turns everything else into U+FFFD, never into 0 and never cutting
//    the text short;
//  - strict (telling a UTF-8 file from a Latin-1 one): well-formed UTF-8
//    only, shortest forms, no surrogates, at most U+10FFFF; any other input
//    is refused as a whole.
// A byte string the strict decoder accepts decodes to the same text under
// both policies.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char16_t kelUtf8Replacement = 0xFFFD;

enum class kelUtf8Kind : uint8_t {
    scalar,    // a well-formed sequence of a Unicode scalar value
    surrogate, // the three-byte form of a lone surrogate (D800-DFFF)
    bad,       // anything else; codePoint is U+FFFD
};

struct kelUtf8Char
{
    uint32_t codePoint;
    size_t length; // bytes this sequence takes, at least 1
    kelUtf8Kind kind;
};

// Reads the sequence at `p` (`available` > 0 bytes). A bad lead byte (a
// stray continuation, 0xFE, 0xFF) takes one byte; a sequence cut short by
// the end or by a byte that is no continuation takes the bytes before that
// byte, which starts the next sequence; an overlong form or one above
// U+10FFFF takes its full length.
kelUtf8Char kelUtf8Read(const uint8_t* p, size_t available) noexcept;

// Writes one code point (up to 0x7FFFFFFF) at `out`, which has room for six
// bytes; returns the number written: 1 up to 0x7F, 2 up to 0x7FF, 3 up to
// 0xFFFF, 4 up to 0x1FFFFF, 5 up to 0x3FFFFFF, 6 beyond.
size_t kelUtf8Put(char* out, uint32_t codePoint) noexcept;

// Appends one code point (at most U+10FFFF) as one unit or a surrogate pair.
void kelUtf16Append(std::u16string& out, uint32_t codePoint);

// Lenient conversions. A high surrogate followed by a low surrogate is one
// code point; every other unit is encoded as it is.
std::string kelUtf16ToUtf8(std::u16string_view text);
// Code points above 0xFFFF become surrogate pairs; a byte-order mark is
// decoded like any other character.
std::u16string kelUtf8ToUtf16(const uint8_t* bytes, size_t len);

// Strict conversions: append to `out` and return true, or return false
// with `out` unchanged (a lone surrogate in the text, a sequence that is not
// well-formed UTF-8 in the bytes).
bool kelUtf16ToUtf8Strict(std::u16string_view text, std::string& out);
bool kelUtf8ToUtf16Strict(const uint8_t* bytes, size_t len, std::u16string& out);
