// Random sequences of write, read, peek, remove, compress and first-chunk
// removal on a memory stream, checked step by step against a std::deque of
// bytes: same results, same bytes, same size, the data event set exactly
// while data is held, and recycling never growing the chunk cache past its
// limit.

#include "core/kelMemoryStream.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

class Input
{
public:
    Input(const uint8_t* data, size_t size) : f_data(data), f_size(size) {}
    bool empty() const { return f_pos >= f_size; }
    uint8_t byte() { return f_pos < f_size ? f_data[f_pos++] : 0; }
    // Sizes up to a few thousand bytes, small ones more often.
    intptr_t size()
    {
        const uint8_t a = byte();
        return a < 128 ? a : intptr_t(a - 128) * 64 + byte();
    }

private:
    const uint8_t* f_data;
    size_t f_size;
    size_t f_pos = 0;
};

void check(bool ok)
{
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    kelMemoryStream s;
    std::deque<uint8_t> model;
    std::vector<uint8_t> buf(16384);
    uint8_t next = 0;
    while (!in.empty()) {
        const uint8_t op = in.byte() % 8;
        switch (op) {
        case 0:
        case 1: {
            const intptr_t n = in.size();
            for (intptr_t i = 0; i < n; ++i)
                buf[size_t(i)] = next++;
            const intptr_t limit = s.maxSize();
            const bool refused = limit > 0 && n + intptr_t(model.size()) >= limit;
            const intptr_t wrote = s.write(buf.data(), n);
            check(wrote == (n <= 0 || refused ? 0 : n));
            if (wrote > 0) model.insert(model.end(), buf.begin(), buf.begin() + wrote);
            break;
        }
        case 2:
        case 3: {
            const bool remove = op == 2;
            const intptr_t n = in.size();
            const intptr_t cachedBefore = s.cachedChunkCount();
            const intptr_t got = s.read(buf.data(), n, remove);
            check(got == std::min<intptr_t>(n, intptr_t(model.size())));
            check(std::equal(buf.begin(), buf.begin() + got, model.begin()));
            if (remove) {
                model.erase(model.begin(), model.begin() + got);
                // Recycling never grows the cache past its limit (joining
                // chunks may, and a lowered limit does not shrink it).
                check(s.cachedChunkCount() <= std::max(cachedBefore, intptr_t(s.maxCacheSize())));
            }
            break;
        }
        case 4: {
            const intptr_t n = in.size();
            const intptr_t got = s.remove(n);
            check(got == std::min<intptr_t>(n, intptr_t(model.size())));
            model.erase(model.begin(), model.begin() + got);
            break;
        }
        case 5: {
            const intptr_t first = s.compressChunks();
            check(first == intptr_t(model.size()));
            check(s.chunkCount() == (model.empty() ? 0 : 1));
            break;
        }
        case 6: {
            const intptr_t first = s.firstChunkSize();
            check(first <= intptr_t(model.size()) && (first > 0) == !model.empty());
            check(s.firstChunkRemove() == first);
            model.erase(model.begin(), model.begin() + first);
            break;
        }
        default: {
            const uint8_t b = in.byte();
            if (b & 1)
                s.setMaxCacheSize(b >> 4);
            else
                s.setMaxSize(b < 128 ? 0 : intptr_t(b) * 16);
            break;
        }
        }
        check(s.getSize() == intptr_t(model.size()));
        check(s.dataEvent().isSignaled() == !model.empty());
    }
    return 0;
}
