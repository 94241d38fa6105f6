// Parses arbitrary bytes as a session description and walks the result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/protocols/kelSDPParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelSDPParser sdp;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    sdp.applyPayload(text);
    size_t total = 0;
    for (intptr_t i = 0; i < sdp.getMDCount(); ++i) {
        kelSDPMediaDescription* md = sdp.getMD(i);
        if (!md) std::abort();
        total += md->r_type.size() + md->r_rtpmap.size() + md->r_fmtp.size() + md->r_a.size();
        if (md->r_c.r_numberOfAddresses < 1) std::abort();
    }
    if (sdp.f_c.r_numberOfAddresses < 1) std::abort();
    // Parsing again from scratch gives the same result.
    intptr_t count = sdp.getMDCount();
    sdp.applyPayload(text);
    if (sdp.getMDCount() != count) std::abort();
    (void)total;
    return 0;
}
