#include "core/kelBase64.h"

#include <array>
#include <cstdint>
#include <type_traits>

namespace {

// Alphabet value of every byte, -1 outside the alphabet.
constexpr std::array<int8_t, 256> makeDecodeTable()
{
    std::array<int8_t, 256> t{};
    for (auto& v : t)
        v = -1;
    for (size_t i = 0; i < kelBase64Alphabet.size(); ++i)
        t[static_cast<uint8_t>(kelBase64Alphabet[i])] = static_cast<int8_t>(i);
    return t;
}

constexpr std::array<int8_t, 256> kDecode = makeDecodeTable();

template <typename C> std::string decodeT(std::basic_string_view<C> text)
{
    std::string out(text.size() / 4 * 3 + 3, '\0');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    const auto value = [](C c) -> int {
        const auto u = static_cast<std::make_unsigned_t<C>>(c);
        return u > 0xFF ? -1 : kDecode[u];
    };
    const size_t n = text.size();
    size_t i = 0;
    uint32_t group = 0;
    int count = 0;
    while (i < n) {
        // Whole groups of four alphabet characters: the common case.
        if (count == 0) {
            while (i + 4 <= n) {
                const int a = value(text[i]), b = value(text[i + 1]), c = value(text[i + 2]),
                          d = value(text[i + 3]);
                if ((a | b | c | d) < 0) break;
                const uint32_t g =
                    (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
                *o++ = static_cast<uint8_t>(g >> 16);
                *o++ = static_cast<uint8_t>(g >> 8);
                *o++ = static_cast<uint8_t>(g);
                i += 4;
            }
            if (i >= n) break;
        }
        const int v = value(text[i++]);
        if (v < 0) continue;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            *o++ = static_cast<uint8_t>(group >> 16);
            *o++ = static_cast<uint8_t>(group >> 8);
            *o++ = static_cast<uint8_t>(group);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        *o++ = static_cast<uint8_t>(group >> 4);
    } else if (count == 3) {
        *o++ = static_cast<uint8_t>(group >> 10);
        *o++ = static_cast<uint8_t>(group >> 2);
    }
    out.resize(static_cast<size_t>(o - reinterpret_cast<uint8_t*>(out.data())));
    return out;
}

} // namespace

std::string encodeBase64(const void* data, size_t len)
{
    std::string out;
    if (data == nullptr || len == 0) return out;
    const auto* p = static_cast<const uint8_t*>(data);
    out.resize((len + 2) / 3 * 4);
    char* o = out.data();
    const char* a = kelBase64Alphabet.data();
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t g = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        *o++ = a[g >> 18];
        *o++ = a[(g >> 12) & 0x3F];
        *o++ = a[(g >> 6) & 0x3F];
        *o++ = a[g & 0x3F];
    }
    if (len - i == 1) {
        const uint32_t g = uint32_t(p[i]) << 16;
        *o++ = a[g >> 18];
        *o++ = a[(g >> 12) & 0x3F];
        *o++ = '=';
        *o++ = '=';
    } else if (len - i == 2) {
        const uint32_t g = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        *o++ = a[g >> 18];
        *o++ = a[(g >> 12) & 0x3F];
        *o++ = a[(g >> 6) & 0x3F];
        *o++ = '=';
    }
    return out;
}

std::string encodeBase64(std::string_view bytes)
{
    return encodeBase64(bytes.data(), bytes.size());
}

std::string decodeBase64(std::string_view text)
{
    return decodeT(text);
}
std::string decodeBase64(std::u16string_view text)
{
    return decodeT(text);
}
