// A metadata block's values: whatever the bytes, a value is a piece of the
// block without NUL bytes, and a key that is not there gives nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/kelUtf.h"
#include "net/protocols/kelICYWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view block(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"streamtitle", "streamurl"}) {
        const kelString value = kelICYMetadataValue(block, key);
        if (value.find(u'\0') != kelString::npos) std::abort();
        if (utf16ToUtf8(value).size() > size * 3) std::abort();
    }
    // A key whose "key='" is not in the block gives nothing.
    std::string lower(block);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower.find("streamgenre='") == std::string::npos &&
        !kelICYMetadataValue(block, "streamgenre").empty())
        std::abort();
    return 0;
}
