// Feeds arbitrary redundant text payloads to the text receiver: each one
// after a byte of length and two of sequence number. What a packet adds
// can never be more than its payload and one lost-text mark, and a
// payload it refuses adds nothing. A payload whose layout passes as
// redundancy of the text type is one the receiver takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "streaming/kelT140Receive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelT140Receive rx;
    std::string shown;
    size_t at = 0;
    while (size - at >= 3) {
        const size_t len = data[at];
        const auto seq = static_cast<uint16_t>(data[at + 1] << 8 | data[at + 2]);
        at += 3;
        const size_t take = len < size - at ? len : size - at;
        const size_t before = shown.size();
        const bool isText = kelT140IsRedundantText(data + at, take, 98);
        const bool ok = rx.receiveRedundant(1, seq, seq * 300u, data + at, take, 98, shown);
        if (isText && !ok) std::abort();
        if (!ok && shown.size() != before) std::abort();
        if (shown.size() - before > take + 3) std::abort();
        at += take;
    }
    return 0;
}
