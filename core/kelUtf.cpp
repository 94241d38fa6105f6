#include "core/kelUtf.h"

namespace {

// Writes one code point at `o` (room for six bytes) and returns the end.
char* putUtf8(char* o, uint32_t cp)
{
    if (cp < 0x80) {
        *o = static_cast<char>(cp);
        return o + 1;
    }
    // Number of bytes and the lead byte's marker bits.
    int n;
    uint32_t lead;
    if (cp < 0x800) {
        n = 2;
        lead = 0xC0;
    } else if (cp < 0x10000) {
        n = 3;
        lead = 0xE0;
    } else if (cp < 0x200000) {
        n = 4;
        lead = 0xF0;
    } else if (cp < 0x4000000) {
        n = 5;
        lead = 0xF8;
    } else {
        n = 6;
        lead = 0xFC;
    }
    for (int k = n - 1; k > 0; --k) {
        o[k] = static_cast<char>(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    o[0] = static_cast<char>(lead | cp);
    return o + n;
}

constexpr bool isHighSurrogate(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool isLowSurrogate(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

std::string codePointToUtf8(int32_t cp)
{
    if (cp < 0) return {};
    char bytes[6];
    return std::string(bytes, putUtf8(bytes, static_cast<uint32_t>(cp)));
}

std::string utf16ToUtf8(std::u16string_view text)
{
    // Three bytes per unit at most: a pair takes four for two units.
    std::string out(text.size() * 3, '\0');
    char* o = out.data();
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (u < 0x80) {
            *o++ = static_cast<char>(u);
        } else if (isHighSurrogate(u) && i + 1 < n && isLowSurrogate(text[i + 1])) {
            o = putUtf8(o, (static_cast<uint32_t>(u) << 10) + text[i + 1] - 56613888u);
            ++i;
        } else {
            o = putUtf8(o, u);
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

kelString utf8ToUtf16(const void* bytes, size_t len)
{
    kelString out;
    if (bytes == nullptr || len == 0) return out;
    const auto* p = static_cast<const uint8_t*>(bytes);
    // One unit per byte at most: a four-byte form gives two.
    out.resize(len);
    char16_t* o = out.data();
    size_t i = 0;
    while (i < len) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            *o++ = b;
            ++i;
            continue;
        }
        size_t n;
        uint32_t cp, least;
        if (b < 0xC0 || b >= 0xFE) {
            // A stray continuation byte, or 0xFE/0xFF which start nothing.
            *o++ = kelReplacementChar;
            ++i;
            continue;
        } else if (b < 0xE0) {
            n = 2, cp = b & 0x1Fu, least = 0x80;
        } else if (b < 0xF0) {
            n = 3, cp = b & 0x0Fu, least = 0x800;
        } else if (b < 0xF8) {
            n = 4, cp = b & 0x07u, least = 0x10000;
        } else if (b < 0xFC) {
            n = 5, cp = b & 0x03u, least = 0x200000;
        } else {
            n = 6, cp = b & 0x01u, least = 0x4000000;
        }
        size_t k = 1;
        while (k < n && i + k < len && (p[i + k] & 0xC0) == 0x80) {
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
            ++k;
        }
        if (k < n) {
            // Cut off by the end or by a byte that is no continuation: that
            // byte starts the next character.
            *o++ = kelReplacementChar;
            i += k;
            continue;
        }
        i += n;
        if (cp < least || cp > 0x10FFFF) {
            // Overlong forms (C0 80 would smuggle in a 0) and code points
            // that UTF-16 cannot carry.
            *o++ = kelReplacementChar;
        } else if (cp > 0xFFFF) {
            cp -= 0x10000;
            *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            *o++ = static_cast<char16_t>(cp);
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

kelString utf8ToUtf16(std::string_view bytes)
{
    return utf8ToUtf16(bytes.data(), bytes.size());
}
