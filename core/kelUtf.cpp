#include "core/kelUtf.h"

#include "platform/kelUtf8.h"

// The codec itself lives in platform/kelUtf8 so that the platform layers
// (ini files, the URL splitter) read UTF-8 exactly as the rest of the library.
static_assert(kelReplacementChar == kelUtf8Replacement);

std::string codePointToUtf8(int32_t cp)
{
    if (cp < 0) return {};
    char bytes[6];
    return std::string(bytes, kelUtf8Put(bytes, static_cast<uint32_t>(cp)));
}

std::string utf16ToUtf8(std::u16string_view text)
{
    return kelUtf16ToUtf8(text);
}

kelString utf8ToUtf16(const void* bytes, size_t len)
{
    return kelUtf8ToUtf16(static_cast<const uint8_t*>(bytes), len);
}

kelString utf8ToUtf16(std::string_view bytes)
{
    return utf8ToUtf16(bytes.data(), bytes.size());
}
