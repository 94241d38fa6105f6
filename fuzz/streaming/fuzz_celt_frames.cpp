// Splits arbitrary payloads into CELT frames for a stream count the first
// byte chooses. A split that succeeds must cover the payload exactly: the
// frames lie inside it, in order, behind the length bytes, within the
// frame limit. The prefix written for a length must split back into it.
#include "streaming/kelIPCeltFrames.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const size_t streams = data[0] % 20;
    const uint8_t* payload = data + 1;
    const size_t n = size - 1;
    std::vector<kelCeltFrame> frames;
    if (kelCeltSplitFrames(payload, n, streams, frames)) {
        if (frames.empty() || frames.size() > kelCeltMaxFrames * streams || frames.size() % streams != 0)
            std::abort();
        const uint8_t* next = frames.front().data;
        for (const kelCeltFrame& f : frames) {
            if (f.data != next || f.data < payload || f.data + f.len > payload + n) std::abort();
            next = f.data + f.len;
        }
        if (next != payload + n) std::abort();
    } else if (!frames.empty()) {
        std::abort();
    }
    // The prefix of a frame as long as this payload.
    std::vector<uint8_t> one;
    kelCeltLengthPrefix(n, one);
    one.insert(one.end(), payload, payload + n);
    if (n > 0 &&
        (!kelCeltSplitFrames(one.data(), one.size(), 1, frames) || frames.size() != 1 || frames[0].len != n))
        std::abort();
    return 0;
}
