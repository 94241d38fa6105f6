#include "core/kelClock.h"

#include "platform/kelMonotonic.h"

namespace {

class SystemClock final : public kelClock
{
public:
    uint64_t nowUs() const noexcept override { return kelMonotonicUs(); }
};

} // namespace

const kelClock& kelClock::system() noexcept
{
    static const SystemClock clock;
    return clock;
}

void kelManualClock::setMs(uint64_t ms) noexcept
{
    const uint64_t target = ms * 1000u;
    uint64_t current = f_us.load(std::memory_order_acquire);
    while (current < target && !f_us.compare_exchange_weak(current, target, std::memory_order_acq_rel)) {
    }
}
