#pragma once
// Byte-order processing of a raw 16-bit PCM stream for one direction of an
// IP pipe: pass through, swap the bytes of every 16-bit word, or detect once
// or continuously whether the stream needs a swap or is one byte off.
//
// The processor holds bytes back until more than 100 have come (enough to
// judge the order), then puts out every whole 4 bytes (one 16-bit stereo
// frame) it has, keeping under 4 back for the next call, so the delay never
// grows. When detection finds the stream one byte off, that one byte is
// dropped and the stream stays aligned from then on.
//
// Detection compares four sums of |a - b| over every pair of consecutive
// 16-bit samples: as read, byte-swapped, read from one byte later, and that
// swapped. A smooth signal gives the smallest sum for the right reading (a
// reading one byte off mixes the bytes of neighbouring samples, which by the
// triangle inequality never lowers the sum); the first of equal sums wins,
// so ties keep the stream as it is.
//
// Pure state; fed by one thread at a time (the pipe locks it).

#include "components/kelIpPacketWire.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class kelIpByteOrder
{
public:
    static constexpr size_t kStartBytes = 100;

    // The readings detection chooses between.
    enum Reading : int { kAsIs = 0, kSwap = 1, kSkipByte = 2, kSkipByteSwap = 3 };

    // Processes `len` new bytes in `mode`; `out` receives the bytes to pass
    // on (possibly none). kelsbo_dontCare copies them through unchanged.
    void process(tkelmtlStreamByteOrder mode, const uint8_t* data, size_t len, std::vector<uint8_t>& out);
    void reset() noexcept;

    size_t held() const noexcept { return f_held.size(); }
    bool detectionDone() const noexcept { return f_detected; }
    Reading reading() const noexcept { return f_reading; }

    // The reading `data` looks right in (kAsIs for fewer than 5 bytes).
    static Reading detect(const uint8_t* data, size_t len) noexcept;

private:
    std::vector<uint8_t> f_held;
    bool f_started = false;
    bool f_detected = false;
    Reading f_reading = kAsIs;
};
