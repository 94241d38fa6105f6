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
