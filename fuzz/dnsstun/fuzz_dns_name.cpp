// Names anywhere in a message: decoding ends, stays inside the bytes and
// the limit, and never yields more than a name can hold. Input: a 2-byte
// start offset, a 2-byte limit, then the message.
#include "net/protocols/kelDNSWire.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const size_t ofs = (size_t(data[0]) << 8) | data[1];
    const size_t limit = (size_t(data[2]) << 8) | data[3];
    const uint8_t* msg = data + 4;
    const size_t len = size - 4;
    std::string name;
    size_t next = 0;
    if (!dnsDecodeName(msg, len, ofs, limit, name, next)) return 0;
    // The name's own bytes lie in [ofs, min(limit, len)].
    if (next <= ofs || next > len || next > limit) std::abort();
    // 255 wire bytes hold at most 253 characters of labels and dots.
    if (name.empty() || name.size() > 253) std::abort();
    return 0;
}
