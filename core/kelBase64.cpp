#include "core/kelBase64.h"

#include <array>
#include <cstdint>
#include <type_traits>

namespace {

// Alphabet value of every byte, -1 outside the alphabet.
constexpr std::array<int8_t, 256> makeDecodeTable()
{
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (size_t i = 0; i < kelBase64Alphabet.size(); ++i)
        t[static_cast<uint8_t>(kelBase64Alphabet[i])] = static_cast<int8_t>(i);
    return t;
}

constexpr std::array<int8_t, 256> kDecode = makeDecodeTable();

template <typename C>
std::string decodeT(std::basic_string_view<C> text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t group = 0;
    int count = 0;
    for (const C c : text) {
        const auto u = static_cast<std::make_unsigned_t<C>>(c);
        if (u > 0xFF) continue;
        const int8_t v = kDecode[u];
        if (v < 0) continue;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<char>(group >> 16));
            out.push_back(static_cast<char>(group >> 8));
            out.push_back(static_cast<char>(group));
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out.push_back(static_cast<char>(group >> 4));
    } else if (count == 3) {
        out.push_back(static_cast<char>(group >> 10));
        out.push_back(static_cast<char>(group >> 2));
    }
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

std::string encodeBase64(std::string_view bytes) { return encodeBase64(bytes.data(), bytes.size()); }

std::string decodeBase64(std::string_view text) { return decodeT(text); }
std::string decodeBase64(std::u16string_view text) { return decodeT(text); }
