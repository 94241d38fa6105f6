// decodeBase64 on arbitrary text: no crash, the output length follows from
// the count of alphabet characters, and encoding what was decoded gives those
// characters back when the last group is whole.

#include "core/kelBase64.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string bytes = decodeBase64(text);

    std::string kept;
    for (const char c : text)
        if (kelBase64Alphabet.find(c) != std::string_view::npos) kept.push_back(c);
    const size_t rest = kept.size() % 4;
    if (bytes.size() != kept.size() / 4 * 3 + (rest > 1 ? rest - 1 : 0)) std::abort();
    if (rest == 0 && encodeBase64(bytes) != kept) std::abort();
    if (decodeBase64(encodeBase64(bytes)) != bytes) std::abort();
    return 0;
}
