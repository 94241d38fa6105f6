#include "streaming/kelIPCeltFrames.h"

void kelCeltLengthPrefix(size_t len, std::vector<uint8_t>& out)
{
    out.assign(len / 255, 255);
    out.push_back(static_cast<uint8_t>(len % 255));
}

bool kelCeltSplitFrames(const uint8_t* payload, size_t size, size_t streams,
                        std::vector<kelCeltFrame>& frames)
{
    frames.clear();
    if (payload == nullptr || size == 0 || streams == 0 || streams > kelCeltMaxStreams) return false;
    std::vector<size_t> lengths;
    size_t at = 0;  // length bytes read
    size_t sum = 0; // frame bytes they announce
    // Whole frames (every stream's entry) until the entries and the bytes
    // they announce cover the payload.
    while (at + sum < size) {
        if (lengths.size() >= kelCeltMaxFrames * streams) return false;
        for (size_t s = 0; s < streams; ++s) {
            size_t len = 0;
            for (;;) {
                if (at >= size) return false;
                const uint8_t b = payload[at++];
                len += b;
                if (b != 255) break;
            }
            if (len > size) return false;
            sum += len;
            lengths.push_back(len);
        }
        if (at + sum > size) return false;
    }
    const uint8_t* p = payload + at;
    frames.reserve(lengths.size());
    for (size_t len : lengths) {
        frames.push_back({p, len});
        p += len;
    }
    return true;
}
