#include "core/kelParseInt.h"

#include "core/kelUtilsState.h"

#include <algorithm>

namespace {

// Bases run up to 69: the alphabet holds exactly the digits 0-68.
constexpr int kMaxBase = 70;
static_assert(kelDigitAlphabet.size() == kMaxBase - 1);

// Digits of `value` in `base`, grouped from the right by `sep` every `split`
// digits. `value` is non-zero and 1 < base < 70.
template <typename Str> Str groupedDigits(uint64_t value, int base, int split, const Str& sep)
{
    Str out;
    int inGroup = 0;
    while (value != 0) {
        if (split > 0 && inGroup == split) {
            out.append(sep.rbegin(), sep.rend());
            inGroup = 0;
        }
        out.push_back(
            static_cast<typename Str::value_type>(kelDigitAlphabet[value % static_cast<unsigned>(base)]));
        value /= static_cast<unsigned>(base);
        ++inGroup;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

template <typename Str>
Str formatMagnitude(uint64_t magnitude, bool negative, int base, int split,
                    typename Str::value_type splitChar, const Str& localeSep)
{
    using C = typename Str::value_type;
    if (magnitude == 0) return Str(1, C('0'));
    if (base <= 1 || base >= kMaxBase) return {};
    const Str sep = splitChar == C(' ') ? localeSep : Str(1, splitChar);
    Str digits = groupedDigits(magnitude, base, split, sep);
    if (negative) digits.insert(digits.begin(), C('-'));
    return digits;
}

// Two's complement magnitude: also right for INT64_MIN.
uint64_t magnitudeOf(int64_t value)
{
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

template <typename C> int digitValue(C c)
{
    if (c >= C('0') && c <= C('9')) return int(c - C('0'));
    if (c >= C('A') && c <= C('Z')) return int(c - C('A')) + 10;
    if (c >= C('a') && c <= C('z')) return int(c - C('a')) + 10;
    return -1;
}

// A digit counts only in a base that has it: "loud" is no decimal number.
template <typename C> int digitValue(C c, int base)
{
    const int d = digitValue(c);
    return d < base ? d : -1;
}

template <typename C>
int64_t parseText(std::basic_string_view<C> text, int64_t defValue, int base, bool ignoreErrors)
{
    if (text.empty() || base < 2 || base > 36) return defValue;
    while (!text.empty() && text.front() == C(' '))
        text.remove_prefix(1);
    while (!text.empty() && text.back() == C(' '))
        text.remove_suffix(1);
    if (text.empty()) return defValue;

    if (base == 10) {
        if (text.front() == C('$')) {
            text.remove_prefix(1);
            base = 16;
        } else if (text.back() == C('h') || text.back() == C('H')) {
            text.remove_suffix(1);
            base = 16;
        } else if (text.size() >= 2 && text[0] == C('0') && (text[1] == C('x') || text[1] == C('X'))) {
            text.remove_prefix(2);
            base = 16;
        }
        if (base == 16 && text.empty()) return defValue;
    }

    bool negative = false;
    bool sawZero = false;
    if (base <= 16) {
        while (!text.empty()) {
            const C c = text.front();
            if (c == C('+')) {
                negative = false;
            } else if (c == C('-')) {
                negative = true;
            } else if (c == C('0')) {
                sawZero = true; // leading zeros carry no value
            } else if (digitValue(c) >= 0) {
                break;
            } else {
                return defValue;
            }
            text.remove_prefix(1);
        }
    }

    // Only the digits left of the leftmost invalid character can count.
    size_t end = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if (digitValue(text[i], base) < 0) {
            if (!ignoreErrors) return defValue;
            end = i;
            break;
        }
    }
    // Even when errors are ignored, a text must hold at least one digit.
    if (end == 0 && !sawZero) return defValue;

    // Left to right gives the same sum as the right-to-left reading, but leading
    // zeros of the bigger bases cannot overflow a running weight.
    uint64_t value = 0;
    for (size_t i = 0; i < end; ++i) {
        if (__builtin_mul_overflow(value, static_cast<uint64_t>(base), &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(digitValue(text[i])), &value))
            return defValue;
    }
    if (negative) value = 0 - value;
    return static_cast<int64_t>(value);
}

template <typename C> int64_t parseZ(const C* text, int64_t defValue, int base, bool ignoreErrors)
{
    if (text == nullptr) return defValue;
    return parseText(std::basic_string_view<C>(text), defValue, base, ignoreErrors);
}

} // namespace

kelString formatInteger(int64_t value, int base, int split, char16_t splitChar)
{
    return formatMagnitude<kelString>(magnitudeOf(value), value < 0, base, split, splitChar,
                                      thousandSeparator());
}

kelString formatUnsigned(uint64_t value, int base, int split, char16_t splitChar)
{
    return formatMagnitude<kelString>(value, false, base, split, splitChar, thousandSeparator());
}

std::string formatInteger8(int64_t value, int base, int split, char splitChar)
{
    return formatMagnitude<std::string>(magnitudeOf(value), value < 0, base, split, splitChar,
                                        thousandSeparator8());
}

std::string formatUnsigned8(uint64_t value, int base, int split, char splitChar)
{
    return formatMagnitude<std::string>(value, false, base, split, splitChar, thousandSeparator8());
}

int64_t parseInteger(std::u16string_view text, int64_t defValue, int base, bool ignoreErrors)
{
    return parseText(text, defValue, base, ignoreErrors);
}

int64_t parseInteger(std::string_view text, int64_t defValue, int base, bool ignoreErrors)
{
    return parseText(text, defValue, base, ignoreErrors);
}

int64_t parseInteger(const char16_t* text, int64_t defValue, int base, bool ignoreErrors)
{
    return parseZ(text, defValue, base, ignoreErrors);
}

int64_t parseInteger(const char* text, int64_t defValue, int base, bool ignoreErrors)
{
    return parseZ(text, defValue, base, ignoreErrors);
}

bool parseBoolean(std::u16string_view text, bool defValue)
{
    return parseText(text, defValue ? kelTrue : kelFalse, 10, false) != 0;
}

bool parseBoolean(std::string_view text, bool defValue)
{
    return parseText(text, defValue ? kelTrue : kelFalse, 10, false) != 0;
}
