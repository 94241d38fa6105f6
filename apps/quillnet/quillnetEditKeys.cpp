#include "apps/quillnet/quillnetEditKeys.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Virtual-key code and code character of every editing key.
constexpr std::array<std::pair<uint16_t, char16_t>, 10> kEditKeys = {{
    {quillnetVkDelete, 10},
    {quillnetVkLeft, 11},
    {quillnetVkRight, 12},
    {quillnetVkDown, 13},
    {quillnetVkUp, 14},
    {quillnetVkInsert, 15},
    {quillnetVkEnd, 16},
    {quillnetVkHome, 17},
    {quillnetVkPageUp, 18},
    {quillnetVkPageDown, 19},
}};

} // namespace

char16_t quillnetCodeOfVirtualKey(uint16_t virtualKey) noexcept
{
    for (const auto& [vk, code] : kEditKeys)
        if (vk == virtualKey) return code;
    return 0;
}

uint16_t quillnetVirtualKeyOfCode(char16_t code) noexcept
{
    for (const auto& [vk, c] : kEditKeys)
        if (c == code) return vk;
    return 0;
}

kelString quillnetEncodeEditKey(uint16_t virtualKey)
{
    const char16_t code = quillnetCodeOfVirtualKey(virtualKey);
    if (code == 0) return {};
    return kelString{quillnetEscapeChar, code};
}

std::vector<quillnetReplay> quillnetDecodeText(std::u16string_view text)
{
    const size_t end = std::min(text.find(u'\0'), text.size());
    std::vector<quillnetReplay> edits;
    for (size_t i = 0; i < end; ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < end && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                edits.push_back({false, c, text[i + 1]});
                ++i;
            }
            continue;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) continue;
        if (c != quillnetEscapeChar) {
            edits.push_back({false, c});
            continue;
        }
        if (i + 1 >= end) break;
        const uint16_t vk = quillnetVirtualKeyOfCode(text[++i]);
        if (vk != 0) edits.push_back({true, vk});
    }
    return edits;
}
