// Raw stream bytes through the byte-order processing in every mode, in
// blocks of random sizes: nothing comes out until more than 100 bytes came,
// then every output is whole 4-byte groups with under 4 bytes held; bytes
// are only ever dropped one at a time by a one-byte-off detection; and
// swapping puts out exactly the swapped input.

#include "components/kelMT_socks.h"
#include "fuzz/kelFuzzInput.h"

#include <cstdlib>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelFuzzInput in{data, size};
    const auto mode = static_cast<tkelmtlStreamByteOrder>(in.take(1) % 4);
    kelIpByteOrder order;
    std::vector<uint8_t> out, all, input;
    size_t taken = 0, calls = 0;
    bool started = false;
    while (in.at < size) {
        const size_t n = std::min(static_cast<size_t>(in.take(1)) + 1, size - std::min(in.at, size));
        const uint8_t* block = data + in.at;
        in.at += n;
        taken += n;
        input.insert(input.end(), block, block + n);
        ++calls;
        order.process(mode, block, n, out);
        all.insert(all.end(), out.begin(), out.end());
        if (mode == kelsbo_dontCare) {
            check(out.size() == n);
            continue;
        }
        started = started || taken > kelIpByteOrder::kStartBytes;
        if (!started) check(out.empty());
        if (started) check(order.held() < 4);
        check(out.size() % 4 == 0);
        check(all.size() + order.held() <= taken);
        // At most one byte dropped per call, only by detection.
        check(taken - all.size() - order.held() <= (mode == kelsbo_swap ? 0 : calls));
    }
    if (mode == kelsbo_swap) {
        for (size_t i = 0; i + 1 < all.size(); i += 2)
            check(all[i] == input[i + 1] && all[i + 1] == input[i]);
    }
    return 0;
}
