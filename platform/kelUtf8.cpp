#include "platform/kelUtf8.h"

namespace {

constexpr bool isHighSurrogate(uint32_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}

constexpr bool isLowSurrogate(uint32_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

constexpr uint32_t combinePair(char16_t high, char16_t low)
{
    return 0x10000 + ((uint32_t(high) - 0xD800) << 10) + (uint32_t(low) - 0xDC00);
}

} // namespace

void kelUtf16Append(std::u16string& out, uint32_t cp)
{
    if (cp > 0xFFFF) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

kelUtf8Char kelUtf8Read(const uint8_t* p, size_t available) noexcept
{
    const uint8_t b = p[0];
    if (b < 0x80) return {b, 1, kelUtf8Kind::scalar};
    // A stray continuation byte, or 0xFE/0xFF which start nothing.
    if (b < 0xC0 || b >= 0xFE) return {kelUtf8Replacement, 1, kelUtf8Kind::bad};
    size_t n;
    uint32_t cp;
    uint32_t least;
    if (b < 0xE0) {
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
    while (k < n && k < available && (p[k] & 0xC0) == 0x80) {
        cp = (cp << 6) | (p[k] & 0x3Fu);
        ++k;
    }
    if (k < n) return {kelUtf8Replacement, k, kelUtf8Kind::bad};
    // Overlong forms (C0 80 would smuggle in a 0) and code points that
    // UTF-16 cannot carry.
    if (cp < least || cp > 0x10FFFF) return {kelUtf8Replacement, n, kelUtf8Kind::bad};
    if (cp >= 0xD800 && cp <= 0xDFFF) return {cp, n, kelUtf8Kind::surrogate};
    return {cp, n, kelUtf8Kind::scalar};
}

size_t kelUtf8Put(char* out, uint32_t cp) noexcept
{
    if (cp < 0x80) {
        *out = static_cast<char>(cp);
        return 1;
    }
    // Number of bytes and the lead byte's marker bits.
    size_t n;
    uint32_t lead;
    if (cp < 0x800) {
        n = 2, lead = 0xC0;
    } else if (cp < 0x10000) {
        n = 3, lead = 0xE0;
    } else if (cp < 0x200000) {
        n = 4, lead = 0xF0;
    } else if (cp < 0x4000000) {
        n = 5, lead = 0xF8;
    } else {
        n = 6, lead = 0xFC;
    }
    for (size_t k = n - 1; k > 0; --k) {
        out[k] = static_cast<char>(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    out[0] = static_cast<char>(lead | cp);
    return n;
}

std::string kelUtf16ToUtf8(std::u16string_view text)
{
    // Three bytes per unit at most: a pair takes four for two units.
    std::string out(text.size() * 3, '\0');
    char* o = out.data();
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (isHighSurrogate(u) && i + 1 < n && isLowSurrogate(text[i + 1])) {
            o += kelUtf8Put(o, combinePair(u, text[i + 1]));
            ++i;
        } else {
            o += kelUtf8Put(o, u);
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

std::u16string kelUtf8ToUtf16(const uint8_t* bytes, size_t len)
{
    std::u16string out;
    if (bytes == nullptr || len == 0) return out;
    // One unit per byte at most: a four-byte form gives two.
    out.reserve(len);
    size_t i = 0;
    while (i < len) {
        const kelUtf8Char c = kelUtf8Read(bytes + i, len - i);
        kelUtf16Append(out, c.codePoint);
        i += c.length;
    }
    return out;
}

bool kelUtf16ToUtf8Strict(std::u16string_view text, std::string& out)
{
    std::string bytes;
    bytes.reserve(text.size() * 3);
    char buf[6];
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (isHighSurrogate(cp)) {
            if (i + 1 >= text.size() || !isLowSurrogate(text[i + 1])) return false;
            cp = combinePair(text[i], text[i + 1]);
            ++i;
        } else if (isLowSurrogate(cp)) {
            return false;
        }
        bytes.append(buf, kelUtf8Put(buf, cp));
    }
    out += bytes;
    return true;
}

bool kelUtf8ToUtf16Strict(const uint8_t* bytes, size_t len, std::u16string& out)
{
    std::u16string text;
    text.reserve(len);
    size_t i = 0;
    while (i < len) {
        const kelUtf8Char c = kelUtf8Read(bytes + i, len - i);
        if (c.kind != kelUtf8Kind::scalar) return false;
        kelUtf16Append(text, c.codePoint);
        i += c.length;
    }
    out += text;
    return true;
}
