// parseInteger on arbitrary 8-bit and UTF-16 text with every base and both
// error modes: no crash, no undefined behaviour, and both text widths agree.

#include "core/kelParseInt.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const int base = data[0] % 40;
    const bool ignoreErrors = data[0] & 0x80;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const int64_t v8 = parseInteger(std::string_view(text), -7, base, ignoreErrors);

    // The same characters widened: the result must not depend on the width.
    std::u16string wide(text.begin(), text.end());
    for (char16_t& c : wide)
        c = static_cast<uint8_t>(c);
    if (parseInteger(std::u16string_view(wide), -7, base, ignoreErrors) != v8) std::abort();

    // What formatInteger writes in base 10 reads back.
    const std::string f = formatInteger8(v8);
    if (parseInteger(std::string_view(f), 0) != v8) std::abort();
    return 0;
}
