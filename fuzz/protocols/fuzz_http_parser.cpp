// Feeds arbitrary bytes to the HTTP-style reader in chunks, asks every
// question and drops complete messages, checking that sizes stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/protocols/kelHTTPparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    kelHTTPparser p;
    p.setLimits(1024, 4096);
    size_t chunk = 1 + data[0] % 64;
    intptr_t defaultCL = static_cast<int8_t>(data[1]);
    for (size_t at = 2; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        p.feed(data + at, static_cast<intptr_t>(n));
        // Full questions only once a message may be there: asking them after
        // every byte would make the run quadratic in the input.
        if (!p.getPayloadComplete(true, defaultCL) && at + n < size) continue;
        for (int round = 0; round < 4; ++round) {
            (void)p.getReqMethod();
            (void)p.getReqURI();
            (void)p.getReqProtoVersion();
            (void)p.getRespCode();
            intptr_t count = p.getHeaderCount();
            for (intptr_t i = 0; i <= count; ++i) {
                (void)p.getHeaderName(i);
                (void)p.getHeaderValue(i, (i & 1) != 0);
            }
            (void)p.getHeaderValue(kelString(u"content-length"), false);
            if (p.headerSize() > p.dataSize()) std::abort();
            intptr_t payload = p.getPayloadSize();
            if (payload < 0 || static_cast<uintptr_t>(payload) > p.dataSize() - p.headerSize()) std::abort();
            if (p.getPayload().size() != static_cast<size_t>(payload)) std::abort();
            (void)p.getFullHeader();
            (void)p.getPayloadComplete(false, defaultCL);
            uintptr_t before = p.dataSize();
            if (!p.dropIfComplete(defaultCL)) break;
            if (p.dataSize() >= before && before != 0) std::abort();
        }
        if (p.overflow()) p.cleanup();
    }
    return 0;
}
