#include "net/rtp/kelRTCPInterval.h"

#include "core/kelTimeUtils.h"

#include <algorithm>

kelRTCPIntervalResult rtcpComputeInterval(const kelRTCPIntervalInput& in, uint32_t r) noexcept
{
    kelRTCPIntervalResult out;
    const int64_t bw = std::max<int64_t>(in.rtcpBandwidth, 4);
    const int64_t avgMs = std::max<int64_t>(in.avgRtcpSize, 0) * 1000;
    if (percentPositive(in.senders, in.members) > 25) {
        out.C = avgMs / bw;
        out.n = in.members;
    } else if (!in.weSent) {
        out.C = avgMs / (bw * 75 / 100);
        out.n = in.members - in.senders;
    } else {
        out.C = avgMs / (bw / 4);
        out.n = in.senders;
    }
    out.n = std::max<int64_t>(out.n, 0);
    out.Tmin = in.initial ? 2500 : 5000;
    out.Td = std::max(out.Tmin, out.n * out.C);
    if (in.maxTd > 0) out.Td = std::min(out.Td, std::max(out.Tmin, in.maxTd));
    out.T = static_cast<int64_t>(static_cast<double>(out.Td) * ((r % 100) + 50) / 100 / 1.21828);
    return out;
}
