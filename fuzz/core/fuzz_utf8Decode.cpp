// utf8ToUtf16 on arbitrary bytes: no out-of-bounds read, never a 0 that the
// input did not hold; what it decodes re-encodes and
// decodes to the same text. The strict decoder, where it accepts the bytes,
// gives the same text, which encodes strictly back to the very bytes.

#include "core/kelUtf.h"
#include "platform/kelUtf8.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Decode from an exact-size heap copy so ASan sees any read past the end.
    auto* copy = new uint8_t[size ? size : 1];
    std::copy_n(data, size, copy);
    const kelString text = utf8ToUtf16(copy, size);
    kelString strictText;
    const bool wellFormed = kelUtf8ToUtf16Strict(copy, size, strictText);
    delete[] copy;
    if (wellFormed) {
        std::string back;
        if (strictText != text || !kelUtf16ToUtf8Strict(strictText, back)) std::abort();
        if (back.size() != size || !std::equal(back.begin(), back.end(), reinterpret_cast<const char*>(data)))
            std::abort();
    }

    const auto zerosIn = std::count(data, data + size, uint8_t(0));
    if (std::count(text.begin(), text.end(), char16_t(0)) != zerosIn) std::abort();
    if (utf8ToUtf16(utf16ToUtf8(text)) != text) std::abort();
    return 0;
}
