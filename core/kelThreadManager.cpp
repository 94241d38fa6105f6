#include "core/kelThreadManager.h"

#include "core/kelCreate.h"
#include "core/kelList.h"
#include "core/kelThread.h"

kelThreadManager::kelThreadManager(bool master)
    : f_threads(std::make_unique<kelList>(uldt_ptr, false)), f_master(master)
{}

kelThreadManager::~kelThreadManager()
{
    clear();
}

intptr_t kelThreadManager::add(kelThread* thread) noexcept
{
    if (!thread) return -1;
    const intptr_t index = f_threads->add(static_cast<void*>(thread));
    return index < 0 ? -1 : index;
}

kelThread* kelThreadManager::get(intptr_t index) const noexcept
{
    return static_cast<kelThread*>(f_threads->get(index));
}

bool kelThreadManager::remove(intptr_t index) noexcept
{
    return f_threads->removeByIndex(index, 0);
}

intptr_t kelThreadManager::getCount() const noexcept
{
    return f_threads->count();
}

// Runs `op` on every present thread of a snapshot of the count, under the
// manager's read lock; returns how many reported success.
template <class Op> intptr_t kelThreadManager::forEach(Op op) noexcept
{
    kelLock lock(this, true, 1000);
    if (!lock) return 0;
    const intptr_t count = f_threads->count();
    intptr_t succeeded = 0;
    for (intptr_t i = 0; i < count; ++i) {
        if (kelThread* thread = get(i))
            if (op(thread)) ++succeeded;
    }
    return succeeded;
}

intptr_t kelThreadManager::start() noexcept
{
    return forEach([](kelThread* t) { return t->start(10000); });
}

bool kelThreadManager::stop(intptr_t timeout) noexcept
{
    // Everyone is asked first, so the waits below overlap.
    forEach([](kelThread* t) { return t->stop(0, false); });
    intptr_t present = 0;
    const intptr_t stopped = forEach([&](kelThread* t) {
        ++present;
        return t->stop(timeout, false);
    });
    return stopped == present;
}

intptr_t kelThreadManager::pause() noexcept
{
    return forEach([](kelThread* t) { return t->pause(); });
}

intptr_t kelThreadManager::resume() noexcept
{
    return forEach([](kelThread* t) { return t->resume(); });
}

void kelThreadManager::clear() noexcept
{
    stop(kelThread::kDefaultTimeout);
    if (f_master) {
        forEach([](kelThread* t) {
            kelFree(t);
            return true;
        });
    }
    f_threads->clear(0, false);
}
