// Received text as the quillnet window decodes it into typed characters
// and editing keys. Checks that every edit is one a text box can apply
// (no 127, no NUL, no half of a surrogate pair, only the ten editing keys)
// and that encoding the edits again decodes to the same edits.

#include "apps/quillnet/quillnetEditKeys.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    const auto edits = quillnetDecodeText(text);
    std::u16string again;
    for (const quillnetReplay& e : edits) {
        if (e.keyDown) {
            if (quillnetCodeOfVirtualKey(e.value) == 0 || e.low != 0) std::abort();
            again += quillnetEncodeEditKey(e.value);
            continue;
        }
        const bool high = e.value >= 0xD800 && e.value <= 0xDBFF;
        if (e.value == 0 || e.value == quillnetEscapeChar || (e.value >= 0xDC00 && e.value <= 0xDFFF))
            std::abort();
        if (high != (e.low >= 0xDC00 && e.low <= 0xDFFF) || (!high && e.low != 0)) std::abort();
        again += e.value;
        if (e.low != 0) again += e.low;
    }
    if (quillnetDecodeText(again) != edits) std::abort();
    return 0;
}
