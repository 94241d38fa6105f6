#include "components/kelIpByteOrder.h"

#include <cstdlib>
#include <utility>

namespace {

int16_t sampleAt(const uint8_t* p, bool swap) noexcept
{
    const uint16_t v =
        swap ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
    return static_cast<int16_t>(v);
}

} // namespace

kelIpByteOrder::Reading kelIpByteOrder::detect(const uint8_t* data, size_t len) noexcept
{
    if (data == nullptr || len < 5) return kAsIs;
    // The same number of samples for every reading.
    const size_t samples = (len - 1) / 2;
    int64_t sums[4] = {0, 0, 0, 0};
    for (int reading = 0; reading < 4; ++reading) {
        const uint8_t* p = data + (reading >= kSkipByte ? 1 : 0);
        const bool swap = (reading & 1) != 0;
        int previous = sampleAt(p, swap);
        for (size_t i = 1; i < samples; ++i) {
            const int current = sampleAt(p + 2 * i, swap);
            sums[reading] += std::abs(current - previous);
            previous = current;
        }
    }
    int best = 0;
    for (int reading = 1; reading < 4; ++reading)
        if (sums[reading] < sums[best]) best = reading;
    return static_cast<Reading>(best);
}

void kelIpByteOrder::reset() noexcept
{
    f_held.clear();
    f_started = false;
    f_detected = false;
    f_reading = kAsIs;
}

void kelIpByteOrder::process(tkelmtlStreamByteOrder mode, const uint8_t* data, size_t len,
                             std::vector<uint8_t>& out)
{
    out.clear();
    if (mode == kelsbo_dontCare) {
        if (data != nullptr) out.assign(data, data + len);
        return;
    }
    if (data != nullptr) f_held.insert(f_held.end(), data, data + len);
    if (!f_started && f_held.size() <= kStartBytes) return;
    f_started = true;

    size_t from = 0;
    if (mode == kelsbo_autoDetectCont || (mode == kelsbo_autoDetectOnce && !f_detected)) {
        f_reading = detect(f_held.data(), f_held.size());
        f_detected = true;
        // One byte off: drop that byte once; the stream is aligned after it.
        if (f_reading >= kSkipByte) from = 1;
    }
    const bool swap = mode == kelsbo_swap || (mode != kelsbo_swap && (f_reading & 1) != 0);
    const size_t whole = ((f_held.size() - from) / 4) * 4;
    out.assign(f_held.begin() + from, f_held.begin() + from + whole);
    if (swap)
        for (size_t i = 0; i + 1 < out.size(); i += 2)
            std::swap(out[i], out[i + 1]);
    f_held.erase(f_held.begin(), f_held.begin() + from + whole);
    if (mode == kelsbo_autoDetectOnce && f_reading >= kSkipByte)
        f_reading = static_cast<Reading>(f_reading - 2);
}
