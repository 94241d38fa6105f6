// G.711 payloads: every byte expands, and the expanded value compresses back
// to a code that expands to the same value (companding is idempotent after
// one pass). The input read as samples compresses without fault.
#include "codecs/kelG711.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<int16_t> samples(size);
    std::vector<uint8_t> codes(size);
    std::vector<int16_t> again(size);
    for (int law = 0; law < 2; ++law) {
        (law == 0 ? alawExpand : ulawExpand)(size, data, samples.data());
        (law == 0 ? alawCompress : ulawCompress)(size, samples.data(), codes.data());
        (law == 0 ? alawExpand : ulawExpand)(size, codes.data(), again.data());
        if (samples != again) std::abort();
    }
    std::vector<int16_t> raw(size / 2);
    if (!raw.empty()) std::memcpy(raw.data(), data, raw.size() * 2);
    std::vector<uint8_t> out(raw.size());
    alawCompress(raw.size(), raw.data(), out.data());
    ulawCompress(raw.size(), raw.data(), out.data());
    return 0;
}
