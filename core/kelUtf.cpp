#include "core/kelUtf.h"

namespace {

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
        return;
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
    char bytes[6];
    for (int k = n - 1; k > 0; --k) {
        bytes[k] = static_cast<char>(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    bytes[0] = static_cast<char>(lead | cp);
    out.append(bytes, static_cast<size_t>(n));
}

constexpr bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

} // namespace

std::string codePointToUtf8(int32_t cp)
{
    std::string out;
    if (cp >= 0) appendUtf8(out, static_cast<uint32_t>(cp));
    return out;
}

std::string utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (isHighSurrogate(u) && i + 1 < n && isLowSurrogate(text[i + 1])) {
            appendUtf8(out, (static_cast<uint32_t>(u) << 10) + text[i + 1] - 56613888u);
            ++i;
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

kelString utf8ToUtf16(const void* bytes, size_t len)
{
    kelString out;
    if (bytes == nullptr || len == 0) return out;
    const auto* p = static_cast<const uint8_t*>(bytes);
    out.reserve(len);
    size_t i = 0;
    while (i < len) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        size_t n;
        uint32_t cp, least;
        if (b < 0xC0 || b >= 0xFE) {
            // A stray continuation byte, or 0xFE/0xFF which start nothing.
            out.push_back(kelReplacementChar);
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
            out.push_back(kelReplacementChar);
            i += k;
            continue;
        }
        i += n;
        if (cp < least || cp > 0x10FFFF) {
            // Overlong forms (C0 80 would smuggle in a 0) and code points
            // that UTF-16 cannot carry.
            out.push_back(kelReplacementChar);
        } else if (cp > 0xFFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

kelString utf8ToUtf16(std::string_view bytes) { return utf8ToUtf16(bytes.data(), bytes.size()); }
