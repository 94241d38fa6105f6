#include "platform/kelWaveClock.h"

#include "platform/kelMonotonic.h"

namespace {

class kelWaveMonotonicClock final : public kelWaveClock
{
public:
    uint64_t nowUs() const noexcept override { return kelMonotonicUs(); }
    bool isMonotonic() const noexcept override { return true; }
};

} // namespace

const kelWaveClock& kelWaveClock::monotonic() noexcept
{
    static const kelWaveMonotonicClock clock;
    return clock;
}
