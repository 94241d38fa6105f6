// kelmtlInOutPipe: links, format propagation and destruction.

#include "pipes/kelmtlInOutPipe.h"

#include "core/kelCheck.h"
#include "core/kelCrc.h"
#include "core/kelList.h"
#include "core/kelTick.h"
#include "pipes/kelDataProxyThread.h"
#include "platform/kelPlatformThread.h"

#include <new>
#include <vector>

namespace {

// Link list items are the pipes themselves, held as objects. The caller of
// pipeAt() holds the list's lock and stays below its count, so the slot is
// read directly instead of through a second, re-entrant lock.
kelmtlInOutPipe* pipeAt(kelObjectList& list, intptr_t index)
{
    KEL_DCHECK(index >= 0 && index < list.count());
    void* const* slot = static_cast<void* const*>(list.getListPtrAt(index));
    return slot ? static_cast<kelmtlInOutPipe*>(static_cast<kelObject*>(*slot)) : nullptr;
}

void* itemOf(const kelmtlInOutPipe* pipe)
{
    return static_cast<kelObject*>(const_cast<kelmtlInOutPipe*>(pipe));
}

// Whether `list` holds `pipe`, as far as can be told within `timeout`. The
// slots are scanned under the one read hold: a nested read could fail while
// a writer waits and would then read as "absent".
enum class Held { no, yes, unknown };

Held holds(kelObjectList& list, const kelmtlInOutPipe* pipe, intptr_t timeout)
{
    if (!list.lock(true, timeout)) return Held::unknown;
    bool found = false;
    const intptr_t count = list.count();
    for (intptr_t i = 0; i < count && !found; ++i)
        found = pipeAt(list, i) == pipe;
    list.unlockRO();
    return found ? Held::yes : Held::no;
}

// holds(), asked again while the list is busy, for up to `patience` ms.
Held settle(kelObjectList& list, const kelmtlInOutPipe* pipe, uint64_t patience)
{
    const uint64_t mark = tickNow();
    Held held = holds(list, pipe, kelmtlInOutPipe::kLinkListTimeout);
    while (held == Held::unknown && ticksSince(mark) <= patience) {
        kelSleepMs(1);
        held = holds(list, pipe, kelmtlInOutPipe::kLinkListTimeout);
    }
    return held;
}

// A copy of the list taken under its write lock; empty when it could not be
// locked.
std::vector<kelmtlInOutPipe*> snapshotOf(kelObjectList& list, intptr_t timeout, bool& locked)
{
    std::vector<kelmtlInOutPipe*> copy;
    locked = list.lock(false, timeout);
    if (!locked) return copy;
    try {
        const intptr_t count = list.count();
        copy.reserve(static_cast<size_t>(count));
        for (intptr_t i = 0; i < count; ++i)
            copy.push_back(pipeAt(list, i));
    } catch (const std::bad_alloc&) {
        copy.clear();
    }
    list.unlockWO();
    return copy;
}

} // namespace

// --- Public forms -----------------------------------------------------------

bool kelmtlInOutPipe::addConsumer(kelmtlInOutPipe* consumer, bool forceNewFormat)
{
    try {
        return doAddConsumer(consumer, forceNewFormat);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doAddConsumer");
        return false;
    }
}

void kelmtlInOutPipe::removeConsumer(kelmtlInOutPipe* consumer)
{
    try {
        doRemoveConsumer(consumer);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doRemoveConsumer");
    }
}

bool kelmtlInOutPipe::addProvider(kelmtlInOutPipe* provider)
{
    try {
        return doAddProvider(provider);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doAddProvider");
        return false;
    }
}

void kelmtlInOutPipe::removeProvider(kelmtlInOutPipe* provider)
{
    try {
        doRemoveProvider(provider);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doRemoveProvider");
    }
}

kelmtlInOutPipe* kelmtlInOutPipe::getConsumer(intptr_t index)
{
    return static_cast<kelmtlInOutPipe*>(static_cast<kelObject*>(f_consumers->get(index)));
}

kelmtlInOutPipe* kelmtlInOutPipe::getProvider(intptr_t index)
{
    return static_cast<kelmtlInOutPipe*>(static_cast<kelObject*>(f_providers->get(index)));
}

intptr_t kelmtlInOutPipe::getConsumerIndex(const kelmtlInOutPipe* value)
{
    return value ? f_consumers->indexOf(itemOf(value)) : -1;
}

intptr_t kelmtlInOutPipe::getProviderIndex(const kelmtlInOutPipe* value)
{
    return value ? f_providers->indexOf(itemOf(value)) : -1;
}

intptr_t kelmtlInOutPipe::consumerCount()
{
    return f_consumers->count();
}

intptr_t kelmtlInOutPipe::providerCount()
{
    return f_providers->count();
}

void kelmtlInOutPipe::setConsumer(kelmtlInOutPipe* value)
{
    if (!f_consumers->lock(false, kSetConsumerTimeout)) return;
    kelmtlInOutPipe* first = getConsumer(0);
    if (value != first) {
        if (first) removeConsumer(first);
        if (value) (void)addConsumer(value, true);
    }
    f_consumers->unlockWO();
}

// --- Linking ----------------------------------------------------------------

// A link is held by both sides or by neither: a side that points at a pipe
// which does not point back would keep a dangling pointer once that pipe is
// freed (freeing unlinks only the pipes it knows). So every change to the
// other side happens while this side's list is write-locked, and this side
// is put back as it was when the other side could not follow (its list was
// busy beyond its timeout).

bool kelmtlInOutPipe::doAddConsumer(kelmtlInOutPipe* consumer, bool forceNewFormat)
{
    if (!consumer || !f_consumers->lock(false, kAddConsumerTimeout)) return false;
    const bool isNew = f_consumers->indexOf(itemOf(consumer)) < 0;
    if (isNew && f_consumers->add(itemOf(consumer)) < 0) {
        f_consumers->unlockWO();
        return false;
    }
    if (consumer->getProviderIndex(this) < 0 && !consumer->addProvider(this) && isNew) {
        (void)f_consumers->removeItem(itemOf(consumer), 0);
        f_consumers->unlockWO();
        return false;
    }
    if (!isNew && !forceNewFormat) {
        f_consumers->unlockWO();
        return true;
    }
    if (forceNewFormat) clearFormatCRC();
    const bool isOpen = active();
    // The format goes out under the write lock, so no block reaches the new
    // consumer before it.
    (void)checkFormatChange(isOpen);
    f_consumers->unlockWO();
    // Opening (or closing) the new consumer may take long: the other
    // consumers keep receiving meanwhile.
    if (isNew) activateConsumers(isOpen, kFollowProviderTimeout);
    return true;
}

bool kelmtlInOutPipe::doAddProvider(kelmtlInOutPipe* provider)
{
    if (!provider || !f_providers->lock(false, kAddProviderTimeout)) return false;
    const bool isNew = f_providers->indexOf(itemOf(provider)) < 0;
    if (isNew && f_providers->add(itemOf(provider)) < 0) {
        f_providers->unlockWO();
        return false;
    }
    bool linked = true;
    if (provider->getConsumerIndex(this) < 0) linked = provider->addConsumer(this, true);
    if (!linked && isNew) (void)f_providers->removeItem(itemOf(provider), 0);
    f_providers->unlockWO();
    return linked;
}

void kelmtlInOutPipe::doRemoveConsumer(kelmtlInOutPipe* consumer)
{
    if (!consumer || !f_consumers->lock(false, kLinkListTimeout)) return;
    const bool removed = f_consumers->removeItem(itemOf(consumer), 0);
    kelObjectList& theirs = *consumer->f_providers;
    if (settle(theirs, this, kActivateTimeout) != Held::no) {
        consumer->removeProvider(this);
        if (removed && settle(theirs, this, kActivateTimeout) != Held::no)
            (void)f_consumers->add(itemOf(consumer));
    }
    f_consumers->unlockWO();
}

void kelmtlInOutPipe::doRemoveProvider(kelmtlInOutPipe* provider)
{
    if (!provider || !f_providers->lock(false, kLinkListTimeout)) return;
    const bool removed = f_providers->removeItem(itemOf(provider), 0);
    kelObjectList& theirs = *provider->f_consumers;
    if (settle(theirs, this, kActivateTimeout) != Held::no) {
        provider->removeConsumer(this);
        if (removed && settle(theirs, this, kActivateTimeout) != Held::no)
            (void)f_providers->add(itemOf(provider));
    }
    f_providers->unlockWO();
}

void kelmtlInOutPipe::componentRemoved(kelComponent* component)
{
    kelComponent::componentRemoved(component);
    auto* pipe = dynamic_cast<kelmtlInOutPipe*>(component);
    if (!pipe || pipe == this) return;
    for (kelObjectList* list : {f_providers.get(), f_consumers.get()}) {
        if (!lockNonEmptyList(list, false, kRemovedTimeout)) continue;
        (void)list->removeItem(itemOf(pipe), 0);
        unlockListWO(list);
    }
}

// --- Format -----------------------------------------------------------------

uint32_t kelmtlInOutPipe::getFormatExchangeData(std::vector<uint8_t>& data)
{
    data.clear();
    return 0;
}

bool kelmtlInOutPipe::checkFormatChange(bool restoreActiveState)
{
    const bool provides = isFormatProvider();
    if (!provides || consumerCount() == 0) return provides;
    std::vector<uint8_t> block;
    uint32_t size = 0;
    try {
        size = getFormatExchangeData(block);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::getFormatExchangeData");
        return provides;
    }
    // A hook that reports more than it filled is not trusted past its block.
    if (size > block.size()) size = static_cast<uint32_t>(block.size());
    if (size == 0) return provides;
    const uint32_t crc = libCrc32(block.data(), size, 0xFFFFFFFFu);
    if (crc != f_formatCRC.load(std::memory_order_acquire)) {
        f_formatCRC.store(crc, std::memory_order_release);
        (void)sendFormatToConsumers(block.data(), size, restoreActiveState, this);
    }
    return provides;
}

bool kelmtlInOutPipe::sendFormatToConsumers(const void* data, uint32_t len, bool restoreActiveState,
                                            kelmtlInOutPipe* provider)
{
    // Only a format provider passes formats on; for others there is nothing
    // to refuse.
    if (!isFormatProvider()) return true;
    if (!lockNonEmptyList(f_consumers.get(), true, kSendFormatTimeout)) return false;
    bool accepted = true;
    if (!designing()) {
        const intptr_t count = f_consumers->count();
        for (intptr_t i = 0; i < count; ++i) {
            kelmtlInOutPipe* target = pipeAt(*f_consumers, i);
            if (!target || (target->ignoreProviderOptions() & kelIpoNoFormat)) continue;
            bool took = false;
            try {
                took = target->applyFormat(data, len, provider, restoreActiveState);
            } catch (...) {
                kelReportHookFailure("kelmtlInOutPipe::applyFormat");
            }
            accepted = took && accepted;
        }
    }
    unlockListRO(f_consumers.get());
    return accepted;
}

bool kelmtlInOutPipe::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                  bool restoreActiveState)
{
    if (!fireFormatChangeBefore(provider, data, len)) return false;
    const bool passedOn = sendFormatToConsumers(data, len, restoreActiveState, provider);
    fireFormatChangeAfter(provider, data, len);
    return passedOn;
}

bool kelmtlInOutPipe::fireFormatChangeBefore(kelmtlInOutPipe* provider, const void* data, uint32_t len)
{
    if (!f_beforeFormatChange) return true;
    bool allow = true;
    try {
        f_beforeFormatChange(this, provider, data, len, allow);
    } catch (...) {
        // A handler that failed has not agreed to the change.
        kelReportHookFailure("kelmtlInOutPipe::onFormatChangeBefore");
        return false;
    }
    return allow;
}

void kelmtlInOutPipe::fireFormatChangeAfter(kelmtlInOutPipe* provider, const void* data, uint32_t len)
{
    if (!f_afterFormatChange) return;
    try {
        f_afterFormatChange(this, provider, data, len);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::onFormatChangeAfter");
    }
}

// --- Destruction ------------------------------------------------------------

void kelmtlInOutPipe::beforeDestruction()
{
    close(kActivateTimeout, nullptr);
    if (f_dataProxyThread) f_dataProxyThread->refuse();
    unlinkAll();
    // The proxy calls doWrite(): it must end while the subclass is whole.
    f_dataProxyThread.reset();
    kelComponent::beforeDestruction();
}

void kelmtlInOutPipe::unlinkAll()
{
    // A link left behind would be a dangling pointer in the other
    // component's list, so each side is retried while that list is too busy
    // to be changed (deliveries hold it read-only), however long it takes;
    // a wait past the close timeout is reported once.
    const uint64_t mark = tickNow();
    bool reported = false;
    auto waitMore = [&] {
        if (!reported && ticksSince(mark) > static_cast<uint64_t>(kActivateTimeout)) {
            kelReportHookFailure("kelmtlInOutPipe: unlinking at destruction waits for a busy link list");
            reported = true;
        }
        kelSleepMs(1);
    };
    for (bool providerSide : {true, false}) {
        kelObjectList& own = providerSide ? *f_providers : *f_consumers;
        bool locked = false;
        std::vector<kelmtlInOutPipe*> others = snapshotOf(own, kLinkListTimeout, locked);
        while (!locked) {
            waitMore();
            others = snapshotOf(own, kLinkListTimeout, locked);
        }
        for (kelmtlInOutPipe* other : others) {
            if (!other) continue;
            kelObjectList& theirs = providerSide ? *other->f_consumers : *other->f_providers;
            for (;;) {
                if (providerSide)
                    other->removeConsumer(this);
                else
                    other->removeProvider(this);
                if (holds(theirs, this, kLinkListTimeout) == Held::no) break;
                waitMore();
            }
        }
    }
}
