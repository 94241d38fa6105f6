#pragma once
// The editing-key encoding of the typed-text stream. A key that edits
// without producing a character travels as two characters: 127, then the
// code character of the key. Keys are named by their virtual-key codes, the
// numbers both ends agree on; the window maps them to and from its
// toolkit's keys.

#include "core/kelTypes.h"

#include <cstdint>
#include <string_view>
#include <vector>

inline constexpr char16_t quillnetEscapeChar = 127;

// Virtual-key codes of the ten editing keys.
inline constexpr uint16_t quillnetVkPageUp = 33;
inline constexpr uint16_t quillnetVkPageDown = 34;
inline constexpr uint16_t quillnetVkEnd = 35;
inline constexpr uint16_t quillnetVkHome = 36;
inline constexpr uint16_t quillnetVkLeft = 37;
inline constexpr uint16_t quillnetVkUp = 38;
inline constexpr uint16_t quillnetVkRight = 39;
inline constexpr uint16_t quillnetVkDown = 40;
inline constexpr uint16_t quillnetVkInsert = 45;
inline constexpr uint16_t quillnetVkDelete = 46;

// The code character of an editing key, 0 for any other key.
char16_t quillnetCodeOfVirtualKey(uint16_t virtualKey) noexcept;
// The editing key of a code character, 0 for any other character.
uint16_t quillnetVirtualKeyOfCode(char16_t code) noexcept;
// The two-character text of an editing key; empty for any other key.
kelString quillnetEncodeEditKey(uint16_t virtualKey);

// One edit a received text asks for: a typed character or an editing key.
struct quillnetReplay
{
    bool keyDown = false; // an editing key (value is its virtual-key code)
    char16_t value = 0;   // the character, or the virtual-key code
    char16_t low = 0;     // the second half of a character outside the BMP, else 0

    bool operator==(const quillnetReplay&) const = default;
};

// The edits of a received text, in order, up to its first NUL: every
// character other than 127 is typed as it is (a surrogate pair as one
// character; half a pair, which no box can show, is skipped); 127 and a
// known code character make one editing key; 127 and an unknown character
// are both skipped; a 127 at the end is ignored.
std::vector<quillnetReplay> quillnetDecodeText(std::u16string_view text);
