#include "components/kelProcessAcm.h"

#include "audio/kelMsAcm.h"

#include <memory>
#include <mutex>

namespace {

struct ProcessAcm
{
    std::unique_ptr<kelMsAcm> acm{new (std::nothrow) kelMsAcm()};
    std::once_flag enumerated;
};

// A function-local static: made by the first caller while the others wait,
// destroyed at exit before the platform registry the constructor set up
// (which finished being made first).
ProcessAcm& processAcm() noexcept
{
    static ProcessAcm instance;
    return instance;
}

} // namespace

kelMsAcm* kelProcessAcm() noexcept
{
    return processAcm().acm.get();
}

void kelEnumerateAcmDriversOnce(kelMsAcm* acm) noexcept
{
    if (!acm) return;
    ProcessAcm& shared = processAcm();
    if (acm == shared.acm.get()) {
        std::call_once(shared.enumerated, [acm] { (void)acm->enumDrivers(0); });
        return;
    }
    if (acm->getDriverCount() == 0) (void)acm->enumDrivers(0);
}
