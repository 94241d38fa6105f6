#include "core/kelTextUtils.h"

#include <algorithm>
#include <cstdlib>
#include <type_traits>

namespace {

template <typename C> std::basic_string<C> trimT(std::basic_string_view<C> text, bool left, bool right)
{
    size_t begin = 0, end = text.size();
    if (left)
        while (begin < end && static_cast<uint32_t>(text[begin]) <= 32)
            ++begin;
    if (right)
        while (end > begin && static_cast<uint32_t>(text[end - 1]) <= 32)
            --end;
    return std::basic_string<C>(text.substr(begin, end - begin));
}

template <typename C> C lowerC(C c)
{
    return c >= C('A') && c <= C('Z') ? C(c + ('a' - 'A')) : c;
}

template <typename C> C upperC(C c)
{
    return c >= C('a') && c <= C('z') ? C(c - ('a' - 'A')) : c;
}

template <typename C, typename F> std::basic_string<C> mapT(std::basic_string_view<C> text, F f)
{
    std::basic_string<C> out(text);
    for (C& c : out)
        c = f(c);
    return out;
}

template <typename C> int compareT(std::basic_string_view<C> a, std::basic_string_view<C> b, bool ignoreCase)
{
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        // Code units compare unsigned, so bytes above 0x7F sort after ASCII.
        using U = std::make_unsigned_t<C>;
        const U x = static_cast<U>(ignoreCase ? lowerC(a[i]) : a[i]);
        const U y = static_cast<U>(ignoreCase ? lowerC(b[i]) : b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

template <typename C> bool equalsT(std::basic_string_view<C> a, std::basic_string_view<C> b, bool trim)
{
    if (trim) {
        const auto ta = trimT(a, true, true), tb = trimT(b, true, true);
        return compareT<C>(ta, tb, true) == 0;
    }
    return compareT(a, b, true) == 0;
}

template <typename C>
std::basic_string<C> padT(std::basic_string_view<C> text, int width, C padChar, bool padLeft, bool cut)
{
    const size_t w = static_cast<size_t>(std::abs(static_cast<int64_t>(width)));
    if (text.size() >= w) {
        if (!cut || text.size() == w) return std::basic_string<C>(text);
        return std::basic_string<C>(padLeft ? text.substr(text.size() - w) : text.substr(0, w));
    }
    const std::basic_string<C> pad(w - text.size(), padChar);
    return padLeft ? pad + std::basic_string<C>(text) : std::basic_string<C>(text) + pad;
}

template <typename C> size_t lastPosT(std::basic_string_view<C> chars, std::basic_string_view<C> text)
{
    const size_t pos = text.find_last_of(chars);
    return pos == std::basic_string_view<C>::npos ? 0 : pos + 1;
}

template <typename C> size_t copyT(std::basic_string_view<C> text, C* buffer, size_t maxChars)
{
    if (buffer == nullptr) return 0;
    const size_t n = std::min(text.size(), maxChars);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = C(0);
    return n;
}

} // namespace

kelString trimText(std::u16string_view text, bool left, bool right)
{
    return trimT(text, left, right);
}
std::string trimText(std::string_view text, bool left, bool right)
{
    return trimT(text, left, right);
}

kelString upperAscii(std::u16string_view text)
{
    return mapT(text, upperC<char16_t>);
}
kelString lowerAscii(std::u16string_view text)
{
    return mapT(text, lowerC<char16_t>);
}
std::string upperAscii(std::string_view text)
{
    return mapT(text, upperC<char>);
}
std::string lowerAscii(std::string_view text)
{
    return mapT(text, lowerC<char>);
}
std::string lower8(std::string_view text)
{
    return mapT(text, lowerC<char>);
}

int compareText(std::u16string_view a, std::u16string_view b, bool ignoreCase)
{
    return compareT(a, b, ignoreCase);
}

int compareText(std::string_view a, std::string_view b, bool ignoreCase)
{
    return compareT(a, b, ignoreCase);
}

bool textEquals(std::u16string_view a, std::u16string_view b, bool trim)
{
    return equalsT(a, b, trim);
}
bool textEquals(std::string_view a, std::string_view b, bool trim)
{
    return equalsT(a, b, trim);
}

kelString padText(std::u16string_view text, int width, char16_t padChar, bool padLeft, bool cut)
{
    return padT(text, width, padChar, padLeft, cut);
}

std::string padText(std::string_view text, int width, char padChar, bool padLeft, bool cut)
{
    return padT(text, width, padChar, padLeft, cut);
}

kelString repeatChar(char16_t ch, int count)
{
    return count > 0 ? kelString(size_t(count), ch) : kelString();
}
std::string repeatChar(char ch, int count)
{
    return count > 0 ? std::string(size_t(count), ch) : std::string();
}

size_t lastCharPos(std::u16string_view chars, std::u16string_view text)
{
    return lastPosT(chars, text);
}
size_t lastCharPos(std::string_view chars, std::string_view text)
{
    return lastPosT(chars, text);
}

size_t copyToBuffer(std::u16string_view text, char16_t* buffer, size_t maxChars)
{
    return copyT(text, buffer, maxChars);
}

size_t copyToBuffer(std::string_view text, char* buffer, size_t maxChars)
{
    return copyT(text, buffer, maxChars);
}
