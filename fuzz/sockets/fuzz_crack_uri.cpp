// URIs from users and from peers (RTSP redirects, SDP): crackURI must never
// crash, and what it returns must be pieces of the input.
#include "net/sockets/kelURICrack.h"
#include "core/kelByteOrder.h"

#include "platform/kelUrlSplit.h"

#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

bool isLowerAscii(const kelString& s)
{
    for (const char16_t c : s) {
        if (c >= u'A' && c <= u'Z') return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    // First byte: bit 0 chooses 16-bit code units (else bytes widened, which
    // keeps ASCII structure easy to find), bit 1 asks for decoding.
    const uint8_t mode = data[0];
    kelString uri;
    if (mode & 1) {
        for (size_t i = 1; i + 1 < size; i += 2)
            uri += static_cast<char16_t>(kelLoadLE16(data + i));
    } else {
        for (size_t i = 1; i < size; ++i)
            uri += static_cast<char16_t>(data[i]);
    }
    const uint32_t flags = (mode & 2) ? kelICU_DECODE : 0;
    kelURICrack c;
    if (!crackURI(uri, c, flags)) return 0;
    check(!c.r_scheme.empty() && isLowerAscii(c.r_scheme) && isLowerAscii(c.r_hostName));
    check(c.r_scheme.size() + c.r_hostName.size() <= uri.size() + 7);
    if (!flags) {
        check(c.r_path.empty() || c.r_path[0] == u'/');
        check(c.r_extraInfo.empty() || c.r_extraInfo[0] == u'?' || c.r_extraInfo[0] == u'#');
        check(c.r_path.size() + c.r_extraInfo.size() + c.r_userName.size() + c.r_password.size() <=
              uri.size());
    }
    return 0;
}
