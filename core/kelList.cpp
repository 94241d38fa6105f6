#include "core/kelList.h"

#include "core/kelCheck.h"
#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "core/kelStringList.h"
#include "platform/kelOnlyThread.h"
#include "platform/kelPlatformThread.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

// Largest capacity figure: the slot count stays within 32 bits (the limit
// capacityFor() has).
constexpr uintptr_t kMaxCapacity = 0xFFFFFF00u;
// Slot memory above this many slots is given back when the list empties.
constexpr uintptr_t kKeepMemorySlots = 4096;

// Lock timeouts of the operations that do not use the list's own.
constexpr intptr_t kAddTimeout = 300;
constexpr intptr_t kGetTimeout = 100;
constexpr intptr_t kClearTimeout = 200;
constexpr intptr_t kCopyTimeout = 100;
constexpr intptr_t kLookupTimeout = 100;

void reportHandlerFailure(const char* which) noexcept
{
    logCaught(std::string("kelList ") + which + " handler");
}

// Length-first comparison of two string blocks; a missing block equals
// anything.
int compareBlocks(const void* a, const void* b) noexcept
{
    if (!a || !b) return 0;
    uint32_t la = 0;
    uint32_t lb = 0;
    std::memcpy(&la, a, 4);
    std::memcpy(&lb, b, 4);
    if (la != lb) return la < lb ? -1 : 1;
    const auto* ua = reinterpret_cast<const char16_t*>(static_cast<const uint8_t*>(a) + 4);
    const auto* ub = reinterpret_cast<const char16_t*>(static_cast<const uint8_t*>(b) + 4);
    for (uint32_t i = 0; i < la / 2; ++i)
        if (ua[i] != ub[i]) return ua[i] < ub[i] ? -1 : 1;
    return 0;
}

template <class T> int threeWay(T a, T b) noexcept
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The calling thread's id, fetched once per thread: the list compares it on
// every nested hold, which is several times per operation.
uint32_t selfId() noexcept
{
    thread_local uint32_t id = 0;
    if (id == 0) id = kelCurrentThreadId();
    return id;
}

// The list's binary search over slots of one plain type, with the result of
// the halving through compare() (classicFind): the index of the equal item it
// stops on, or else the insertion point (forInsert) or -1.
template <class T> intptr_t classicFind(const T* slots, intptr_t n, T item, bool forInsert) noexcept
{
    intptr_t lo = 0;
    intptr_t hi = n - 1;
    while (lo <= hi) {
        const intptr_t mid = lo + (hi - lo) / 2;
        const T v = slots[mid];
        if (v == item) return mid;
        if (v < item)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return forInsert ? lo : -1;
}

// The same result by a faster route. A search without a taken branch per
// step finds the first slot not below the item: where it is absent, that is
// the insertion point the halving ends on, and where it occurs once, the
// index the halving stops on. Only an item stored more than once needs the
// halving itself, which decides which of the equal slots it reports.
template <class T> intptr_t findInSlots(const T* slots, intptr_t n, T item, bool forInsert) noexcept
{
    if (n <= 0) return forInsert ? 0 : -1;
    const T* base = slots;
    intptr_t len = n;
    while (len > 1) {
        const intptr_t half = len / 2;
        base = base[half - 1] < item ? base + half : base;
        len -= half;
    }
    const intptr_t first = (base - slots) + (*base < item ? 1 : 0);
    if (first == n || slots[first] != item) return forInsert ? first : -1;
    if (first + 1 == n || slots[first + 1] != item) return first;
    return classicFind(slots, n, item, forInsert);
}

} // namespace

// Holds the list lock for one operation (nothing when single-threaded).
// The hooks nest (an add holds the lock, then the insert and store hooks
// take it again), so the cheap cases are handled here without a call: a
// single-threaded list takes no lock, and a thread that already holds the
// write lock only counts one more nested hold. Otherwise it does what lock()
// and unlock() do, asking for the calling thread's id once for both.
//
// A `quiet` operation runs the list's own code only (no handler, no
// subclass hook). In a process that has never had a second thread, such an
// operation that finds the lock free leaves it alone: nothing but the caller
// could see the hold, and nothing it runs could start the thread that would.
struct kelList::Guard
{
    Guard(kelList* list, bool ro, intptr_t timeout, bool quiet = false) noexcept : f_list(list)
    {
        if (list->f_singleThreaded || (quiet && unseen(*list))) {
            f_hold = Hold::Free;
            return;
        }
        f_self = selfId();
        if (list->f_writer.load(std::memory_order_relaxed) == f_self) {
            ++list->f_nested;
            f_hold = Hold::Nested;
            return;
        }
        if (!list->acquire(ro, list->effective(timeout), false)) return;
        if (!ro) {
            list->f_nested = 0;
            list->f_writer.store(f_self, std::memory_order_relaxed);
        }
        f_hold = Hold::Own;
    }
    ~Guard()
    {
        if (f_hold == Hold::Nested)
            --f_list->f_nested;
        else if (f_hold == Hold::Own)
            f_list->unlockAs(f_self);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    explicit operator bool() const noexcept { return f_hold != Hold::None; }

    enum class Hold : uint8_t { None, Free, Nested, Own };
    kelList* f_list;
    uint32_t f_self = 0;
    Hold f_hold = Hold::None;

    // True while the process has only ever had the calling thread and
    // nobody holds `list` (a thread that ended holding it still counts).
    static bool unseen(const kelList& list) noexcept
    {
        return kelOnlyThread() && list.writeCount() == 0 && list.readCount() == 0;
    }

    // True when `list` is one of the library's lists that leave every hook
    // as kelList has it (they differ only in the kind of item and what is
    // freed), so an operation may do the hooks' work itself instead of
    // calling them. The type's identity is compared, not its name: a false
    // answer only means the hooks are called.
    static bool plainHooks(const kelList& list) noexcept
    {
        const std::type_info& type = typeid(list);
        return &type == &typeid(kelList) || &type == &typeid(kelRecordList) ||
               &type == &typeid(kelObjectList) || &type == &typeid(kelStringList);
    }

    // True when removing items from `list` runs no code but the removal: no
    // handler is set, nothing is to be freed, and the release and removal
    // hooks are the base class's own (a subclass may have overridden them).
    // Such removals need not visit the items one by one. (Kept here, beside
    // the other per-operation shortcut, as only this file uses it.)
    static bool removalsUnobserved(const kelList& list, uintptr_t doFree) noexcept
    {
        if (list.f_onItemBeforeRemove || list.f_onItemRelease) return false;
        const kelListDataType type = list.f_dataType;
        const bool freesNothing = !list.wantsFree(doFree) || type == uldt_int32 || type == uldt_int64 ||
                                  (type == uldt_ptr && !list.f_freesPointers);
        return freesNothing && plainHooks(list);
    }
};

kelList::kelList(kelListDataType dataType, bool sorted)
    : f_autoFree(dataType == uldt_record || dataType == uldt_obj), f_dataType(dataType),
      f_dataItemSize(dataType == uldt_int32 ? 4 : 8), f_sorted(sorted)
{}

kelList::~kelList()
{
    // Nobody may use a list that is being destroyed, so its lock is no
    // longer needed (and could not be had if a caller leaked a hold).
    f_singleThreaded = true;
    clear(2, true);
    std::free(f_slots);
}

// --- locking ----------------------------------------------------------------

intptr_t kelList::effective(intptr_t timeout) const noexcept
{
    return timeout == c_listTimeoutDefault ? f_timeout.load(std::memory_order_relaxed) : timeout;
}

// Operations nest (add locks, then the insert and store hooks lock again), so
// a thread that already holds the write lock through lock() only counts its
// nested holds instead of going through kelObject's bookkeeping each time.
// Releases come last-in first-out, so the outermost write hold is the one
// released when no nested hold is left.
bool kelList::lock(bool ro, intptr_t timeout) noexcept
{
    if (f_singleThreaded) return true;
    const uint32_t self = selfId();
    if (f_writer.load(std::memory_order_relaxed) == self) {
        ++f_nested;
        return true;
    }
    if (!acquire(ro, effective(timeout), false)) return false;
    if (!ro) {
        f_nested = 0;
        f_writer.store(self, std::memory_order_relaxed);
    }
    return true;
}

void kelList::unlock() noexcept
{
    if (f_singleThreaded) return;
    unlockAs(selfId());
}

void kelList::unlockAs(uint32_t self) noexcept
{
    if (f_writer.load(std::memory_order_relaxed) == self) {
        if (f_nested > 0) {
            --f_nested;
            return;
        }
        f_writer.store(0, std::memory_order_relaxed);
    }
    releaseWO();
}

void kelList::unlockRO() noexcept
{
    unlock();
}

void kelList::unlockWO() noexcept
{
    unlock();
}

kelObject* kelList::lockObject(intptr_t index, bool ro, intptr_t timeout) noexcept
{
    if (f_dataType != uldt_obj) return nullptr;
    Guard guard(this, true, kLookupTimeout);
    if (!guard || index < 0 || index >= count()) return nullptr;
    auto* obj = static_cast<kelObject*>(itemAt(index));
    if (!obj || obj->destroying()) return nullptr;
    // Taken while the list is still held: removing (and freeing) the object
    // needs the list's write lock, so the object outlives this call.
    if (!obj->acquire(ro, effective(timeout), false)) return nullptr;
    return obj;
}

bool lockList(kelList* list, bool ro, intptr_t timeout) noexcept
{
    return list && list->lock(ro, timeout);
}

bool lockNonEmptyList(kelList* list, bool ro, intptr_t timeout) noexcept
{
    if (!list || list->count() <= 0) return false;
    if (!list->lock(ro, timeout)) return false;
    if (list->count() > 0) return true;
    list->unlockWO();
    return false;
}

void unlockListRO(kelList* list) noexcept
{
    if (list) list->unlockRO();
}

void unlockListWO(kelList* list) noexcept
{
    if (list) list->unlockWO();
}

// --- slots ------------------------------------------------------------------

void* kelList::getListPtrAt(intptr_t index) noexcept
{
    if (!f_slots || index < 0 || static_cast<uintptr_t>(index) >= f_allocated) return nullptr;
    return f_slots + index * f_dataItemSize;
}

void kelList::doSetCapacity(uintptr_t value, bool force) noexcept
{
    Guard guard(this, false, c_listTimeoutDefault);
    if (!guard) return;
    value = std::max<uintptr_t>(value, static_cast<uintptr_t>(count()));
    const uintptr_t cap = capacityFor(value);
    if (cap > kMaxCapacity) return;
    if (cap == 0) {
        if (force || f_allocated > kKeepMemorySlots) {
            std::free(f_slots);
            f_slots = nullptr;
            f_allocated = 0;
        }
        f_capacity.store(0, std::memory_order_relaxed);
        return;
    }
    const auto size = static_cast<uintptr_t>(f_dataItemSize);
    if (cap > f_allocated) {
        // The memory grows by half at least, so that a list filled one item
        // at a time is not copied once per capacity step; the capacity figure
        // still moves in its steps.
        const uintptr_t ahead = std::min(capacityFor(f_allocated + f_allocated / 2), kMaxCapacity);
        const uintptr_t slots = std::max(cap, ahead);
        auto* grown = static_cast<uint8_t*>(std::realloc(f_slots, slots * size));
        if (!grown) return;
        std::memset(grown + f_allocated * size, 0, (slots - f_allocated) * size);
        f_slots = grown;
        f_allocated = slots;
    } else if (cap * 4 <= f_allocated) {
        // Shrink to twice the need, so adding and removing around a step
        // boundary does not reallocate on every call.
        const uintptr_t keep = cap * 2;
        auto* shrunk = static_cast<uint8_t*>(std::realloc(f_slots, keep * size));
        if (shrunk) {
            f_slots = shrunk;
            f_allocated = keep;
        }
    }
    f_capacity.store(cap, std::memory_order_relaxed);
}

void kelList::setCapacity(uintptr_t value) noexcept
{
    Guard guard(this, false, c_listTimeoutDefault);
    if (guard) doSetCapacity(value, false);
}

// --- release ------------------------------------------------------------------

bool kelList::wantsFree(uintptr_t doFree) const noexcept
{
    return doFree == 1 || (doFree == 2 && autoFree());
}

void kelList::disposeItem(void* item) noexcept
{
    switch (f_dataType) {
    case uldt_record:
    case uldt_string:
        std::free(item);
        break;
    case uldt_ptr:
        if (f_freesPointers) std::free(item);
        break;
    case uldt_obj: {
        // A thread that locked the object through lockObject() may still be
        // using it: wait (up to the list's timeout) for it to let go. The
        // slot is already empty, so no new holder can find it here.
        auto* obj = static_cast<kelObject*>(item);
        if (obj->acquire(false, timeout(), false)) obj->releaseWO();
        kelFree(obj);
        break;
    }
    default:
        break;
    }
}

void kelList::releaseItem(intptr_t index, uintptr_t doFree) noexcept
{
    if (index < 0 || index >= count()) return;
    void* item = itemAt(index);
    if (!item) return; // an empty slot has nothing to release
    if (f_onItemRelease) {
        try {
            f_onItemRelease(index, doFree);
        } catch (...) {
            reportHandlerFailure("onItemRelease");
        }
    }
    // The slot is cleared before the item is freed, so a destructor that
    // looks for its item in this list cannot find (and free) it again.
    storeAt(index, nullptr);
    if (wantsFree(doFree)) disposeItem(item);
}

void kelList::notifyBeforeRemove(intptr_t index) noexcept
{
    if (!f_onItemBeforeRemove) return;
    try {
        f_onItemBeforeRemove(index);
    } catch (...) {
        reportHandlerFailure("onItemBeforeRemove");
    }
}

// --- adding -------------------------------------------------------------------

intptr_t kelList::binaryFind(void* item, bool forInsert) noexcept
{
    const intptr_t n = count();
    if (!f_customOrder) {
        // The kinds' own orderings, as compare() has them (strings excepted).
        switch (f_dataType) {
        case uldt_int32:
            return findInSlots(reinterpret_cast<const int32_t*>(f_slots), n,
                               static_cast<int32_t>(reinterpret_cast<intptr_t>(item)), forInsert);
        case uldt_int64:
            return findInSlots(reinterpret_cast<const int64_t*>(f_slots), n,
                               static_cast<int64_t>(reinterpret_cast<intptr_t>(item)), forInsert);
        case uldt_ptr:
        case uldt_record:
        case uldt_obj:
            return findInSlots(reinterpret_cast<const uintptr_t*>(f_slots), n,
                               reinterpret_cast<uintptr_t>(item), forInsert);
        default:
            break;
        }
    }
    intptr_t lo = 0;
    intptr_t hi = n - 1;
    while (lo <= hi) {
        const intptr_t mid = lo + (hi - lo) / 2;
        const int c = compare(itemAt(mid), item);
        if (c < 0)
            lo = mid + 1;
        else if (c > 0)
            hi = mid - 1;
        else
            return mid;
    }
    return forInsert ? lo : -1;
}

intptr_t kelList::doAdd(void* item) noexcept
{
    Guard guard(this, false, kAddTimeout);
    if (!guard) return -1;
    intptr_t position = count();
    if (sorted() && position > 0) position = binaryFind(item, true);
    return doInsert(position, item, true);
}

intptr_t kelList::doInsert(intptr_t index, void* item, bool keepSorted) noexcept
{
    Guard guard(this, false, kAddTimeout);
    if (!guard) return -2;
    if (index < 0 || index > count()) return -1;
    return insertHeld(index, item, keepSorted, Guard::plainHooks(*this));
}

intptr_t kelList::insertHeld(intptr_t index, void* item, bool keepSorted, bool plain) noexcept
{
    const intptr_t n = count();
    // Within the current step the capacity stays as it is: the hook runs
    // only when the figure would change.
    const auto need = static_cast<uintptr_t>(n + 1);
    if (f_allocated < need || capacityFor(need) != capacity()) {
        if (plain)
            kelList::doSetCapacity(need, false);
        else
            doSetCapacity(need, false);
    }
    if (capacity() < need || f_allocated < need) return -2;
    // An append moves nothing; the library calls for a move of no bytes and
    // a fill of one slot cost more than the rest of the append.
    if (index < n)
        std::memmove(f_slots + (index + 1) * f_dataItemSize, f_slots + index * f_dataItemSize,
                     static_cast<size_t>(n - index) * static_cast<size_t>(f_dataItemSize));
    if (plain) {
        // What the store hook does for an empty slot.
        storeAt(index, item);
        f_count.store(n + 1, std::memory_order_relaxed);
        if (!keepSorted) f_sorted.store(false, std::memory_order_relaxed);
    } else {
        storeAt(index, nullptr); // an empty slot: the store hook has nothing to release
        f_count.store(n + 1, std::memory_order_relaxed);
        doSetItem(index, item, !keepSorted, 2);
    }
    signalData();
    return index;
}

// The add hook's work without its call where nobody overrides it: one lock
// for the whole add instead of one per nested hook.
intptr_t kelList::add(void* item, bool /*itsok*/) noexcept
{
    if (!Guard::plainHooks(*this)) return doAdd(item);
    Guard guard(this, false, kAddTimeout, true);
    if (!guard) return -1;
    const intptr_t n = count();
    return insertHeld(sorted() && n > 0 ? binaryFind(item, true) : n, item, true, true);
}

intptr_t kelList::add(int64_t item) noexcept
{
    return add(reinterpret_cast<void*>(static_cast<intptr_t>(item)));
}

intptr_t kelList::add(int32_t item) noexcept
{
    return add(reinterpret_cast<void*>(static_cast<intptr_t>(item)));
}

intptr_t kelList::insert(intptr_t index, void* item) noexcept
{
    return doInsert(index, item, false);
}

intptr_t kelList::insert(intptr_t index, int64_t item) noexcept
{
    return doInsert(index, reinterpret_cast<void*>(static_cast<intptr_t>(item)), false);
}

intptr_t kelList::insert(intptr_t index, int32_t item) noexcept
{
    return doInsert(index, reinterpret_cast<void*>(static_cast<intptr_t>(item)), false);
}

// --- reading ------------------------------------------------------------------

void* kelList::get(intptr_t index) noexcept
{
    Guard guard(this, true, kGetTimeout, true);
    if (!guard || index < 0 || index >= count()) return nullptr;
    if (f_dataType == uldt_int64) return f_slots + index * f_dataItemSize;
    return itemAt(index);
}

int64_t kelList::getInt(intptr_t index) noexcept
{
    Guard guard(this, true, kGetTimeout, true);
    if (!guard || index < 0 || index >= count()) return 0;
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(itemAt(index)));
}

intptr_t kelList::indexOf(void* item) noexcept
{
    // Only the search by halves may call a hook (the ordering).
    Guard guard(this, true, c_listTimeoutDefault, !sorted() || Guard::plainHooks(*this));
    if (!guard) return -1;
    const intptr_t n = count();
    if (sorted()) return n > 0 ? binaryFind(item, false) : -1;
    if (f_dataItemSize == 4) {
        const auto want = static_cast<int32_t>(reinterpret_cast<intptr_t>(item));
        const auto* slots = reinterpret_cast<const int32_t*>(f_slots);
        for (intptr_t i = 0; i < n; ++i)
            if (slots[i] == want) return i;
        return -1;
    }
    const auto* slots = reinterpret_cast<void* const*>(f_slots);
    for (intptr_t i = 0; i < n; ++i)
        if (slots[i] == item) return i;
    return -1;
}

intptr_t kelList::indexOf(int64_t item) noexcept
{
    return indexOf(reinterpret_cast<void*>(static_cast<intptr_t>(item)));
}

intptr_t kelList::indexOf(int32_t item) noexcept
{
    return indexOf(reinterpret_cast<void*>(static_cast<intptr_t>(item)));
}

// --- replacing and removing -----------------------------------------------------

bool kelList::doSetItem(intptr_t index, void* item, bool clearSorted, uintptr_t doFree) noexcept
{
    Guard guard(this, false, c_listTimeoutDefault);
    if (!guard || index < 0 || index >= count()) return false;
    // Storing the item a slot already holds must not free it first; an
    // empty slot (a fresh insert) has nothing to release.
    const void* old = itemAt(index);
    if (old != item && old != nullptr) releaseItem(index, doFree);
    storeAt(index, item);
    if (clearSorted) f_sorted.store(false, std::memory_order_relaxed);
    return true;
}

bool kelList::setItem(intptr_t index, void* item, uintptr_t doFree) noexcept
{
    return doSetItem(index, item, true, doFree);
}

bool kelList::setItem(intptr_t index, int64_t item, uintptr_t doFree) noexcept
{
    return doSetItem(index, reinterpret_cast<void*>(static_cast<intptr_t>(item)), true, doFree);
}

bool kelList::setItem(intptr_t index, int32_t item, uintptr_t doFree) noexcept
{
    return doSetItem(index, reinterpret_cast<void*>(static_cast<intptr_t>(item)), true, doFree);
}

bool kelList::removeByIndex(intptr_t index, uintptr_t doFree) noexcept
{
    const bool unobserved = Guard::removalsUnobserved(*this, doFree);
    Guard guard(this, false, c_listTimeoutDefault, unobserved);
    if (!guard || index < 0 || index >= count()) return false;
    if (!unobserved) {
        notifyBeforeRemove(index);
        releaseItem(index, doFree);
    }
    const intptr_t n = count();
    if (index >= n) return true; // a release handler emptied the list meanwhile
    if (index < n - 1)
        std::memmove(f_slots + index * f_dataItemSize, f_slots + (index + 1) * f_dataItemSize,
                     static_cast<size_t>(n - index - 1) * static_cast<size_t>(f_dataItemSize));
    storeAt(n - 1, nullptr);
    f_count.store(n - 1, std::memory_order_relaxed);
    // Within the current step the capacity stays as it is (as on insert).
    if (capacityFor(static_cast<uintptr_t>(n - 1)) != capacity())
        doSetCapacity(static_cast<uintptr_t>(n - 1), false);
    if (n - 1 == 0) resetData();
    return true;
}

bool kelList::removeItem(void* item, uintptr_t doFree) noexcept
{
    Guard guard(this, false, c_listTimeoutDefault);
    if (!guard) return false;
    const intptr_t index = indexOf(item);
    return index >= 0 && removeByIndex(index, doFree);
}

bool kelList::removeItem(int64_t item, uintptr_t doFree) noexcept
{
    return removeItem(reinterpret_cast<void*>(static_cast<intptr_t>(item)), doFree);
}

bool kelList::removeItem(int32_t item, uintptr_t doFree) noexcept
{
    return removeItem(reinterpret_cast<void*>(static_cast<intptr_t>(item)), doFree);
}

bool kelList::removeFromEdge(bool removeFromBegining) noexcept
{
    if (!lockNonEmptyList(this, false, c_listTimeoutDefault)) return false;
    const bool removed = removeByIndex(removeFromBegining ? 0 : count() - 1, 2);
    unlockWO();
    return removed;
}

void kelList::clear(uintptr_t doFree, bool force) noexcept
{
    Guard guard(this, false, kClearTimeout);
    if (!guard) return;
    if (count() > 0 && Guard::removalsUnobserved(*this, doFree)) {
        std::memset(f_slots, 0, static_cast<size_t>(count()) * static_cast<size_t>(f_dataItemSize));
        f_count.store(0, std::memory_order_relaxed);
    }
    while (count() > 0) {
        const intptr_t last = count() - 1;
        notifyBeforeRemove(last);
        releaseItem(last, doFree);
        if (count() > last) f_count.store(last, std::memory_order_relaxed);
    }
    doSetCapacity(0, force);
    resetData();
}

// --- raw copies -----------------------------------------------------------------

intptr_t kelList::assign(kelList& list) noexcept
{
    if (&list == this) return count();
    Guard source(&list, true, c_listTimeoutDefault);
    if (!source) return 0;
    Guard self(this, false, c_listTimeoutDefault);
    if (!self || list.f_dataItemSize != f_dataItemSize) return 0;
    const intptr_t n = list.count();
    const intptr_t old = count();
    doSetCapacity(static_cast<uintptr_t>(n), false);
    if (n > 0 && f_allocated < static_cast<uintptr_t>(n)) return 0;
    const auto size = static_cast<size_t>(f_dataItemSize);
    if (n > 0) std::memcpy(f_slots, list.f_slots, static_cast<size_t>(n) * size);
    if (old > n) std::memset(f_slots + n * f_dataItemSize, 0, static_cast<size_t>(old - n) * size);
    f_count.store(n, std::memory_order_relaxed);
    doSetCapacity(static_cast<uintptr_t>(n), false);
    rawItemsChanged();
    if (sorted() && n > 1) quickSort(0, n - 1);
    if (n > 0) signalData();
    return n;
}

intptr_t kelList::doCopyFrom(const void* list, intptr_t listSize, kelListCopyOpEnum copyOperation,
                             intptr_t startIndex) noexcept
{
    if (!list) return 0;
    const auto* src = static_cast<const uint8_t*>(list);
    int64_t n = 0;
    if (listSize < 0) {
        if (f_dataItemSize == 4) {
            int32_t c = 0;
            std::memcpy(&c, src, 4);
            n = c;
            src += 4;
        } else {
            std::memcpy(&n, src, 8);
            src += 8;
        }
    } else {
        n = listSize / f_dataItemSize;
    }
    if (n <= 0) return 0;
    if (static_cast<uint64_t>(n) > kMaxCapacity) return 0;
    Guard guard(this, false, kCopyTimeout);
    if (!guard) return 0;
    const intptr_t cnt = count();
    const intptr_t start = std::clamp<intptr_t>(startIndex, 0, cnt);
    const auto items = static_cast<intptr_t>(n);
    intptr_t newCount = 0;
    switch (copyOperation) {
    case kelco_add:
    case kelco_insert:
        newCount = cnt + items;
        break;
    case kelco_replaceExisting:
        newCount = std::max(cnt, start + items);
        break;
    case kelco_assign:
        newCount = items;
        break;
    default:
        return 0;
    }
    if (static_cast<uintptr_t>(newCount) > kMaxCapacity) return 0;
    doSetCapacity(static_cast<uintptr_t>(std::max(newCount, cnt)), false);
    if (f_allocated < static_cast<uintptr_t>(std::max(newCount, cnt))) return 0;
    const auto size = static_cast<size_t>(f_dataItemSize);
    const size_t bytes = static_cast<size_t>(items) * size;
    switch (copyOperation) {
    case kelco_add:
        std::memcpy(f_slots + cnt * f_dataItemSize, src, bytes);
        break;
    case kelco_assign:
        std::memcpy(f_slots, src, bytes);
        if (cnt > items)
            std::memset(f_slots + items * f_dataItemSize, 0, static_cast<size_t>(cnt - items) * size);
        break;
    case kelco_replaceExisting:
        std::memcpy(f_slots + start * f_dataItemSize, src, bytes);
        break;
    case kelco_insert:
        std::memmove(f_slots + (start + items) * f_dataItemSize, f_slots + start * f_dataItemSize,
                     static_cast<size_t>(cnt - start) * size);
        std::memcpy(f_slots + start * f_dataItemSize, src, bytes);
        break;
    }
    f_count.store(newCount, std::memory_order_relaxed);
    doSetCapacity(static_cast<uintptr_t>(newCount), false);
    rawItemsChanged();
    // A raw copy ignores the order; a sorted list is sorted again so that its
    // lookups by halves keep finding every item.
    if (sorted() && newCount > 1) quickSort(0, newCount - 1);
    if (newCount > 0) signalData();
    return items;
}

intptr_t kelList::copyFrom(const void* list, intptr_t listSize, kelListCopyOpEnum copyOperation,
                           intptr_t startIndex) noexcept
{
    return doCopyFrom(list, listSize, copyOperation, startIndex);
}

intptr_t kelList::copyFrom(kelList& list, kelListCopyOpEnum copyOperation, intptr_t startIndex) noexcept
{
    Guard source(&list, true, c_listTimeoutDefault);
    if (!source || list.f_dataItemSize != f_dataItemSize) return 0;
    const intptr_t n = list.count();
    if (n <= 0) return 0;
    const auto bytes = static_cast<size_t>(n * f_dataItemSize);
    if (&list != this)
        return doCopyFrom(list.f_slots, static_cast<intptr_t>(bytes), copyOperation, startIndex);
    // Copying a list into itself: its slots may move while they are copied.
    try {
        std::vector<uint8_t> snapshot(list.f_slots, list.f_slots + bytes);
        return doCopyFrom(snapshot.data(), static_cast<intptr_t>(bytes), copyOperation, startIndex);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// --- order ------------------------------------------------------------------------

int kelList::compare(void* a, void* b) noexcept
{
    const auto va = reinterpret_cast<intptr_t>(a);
    const auto vb = reinterpret_cast<intptr_t>(b);
    switch (f_dataType) {
    case uldt_int32:
        return threeWay(static_cast<int32_t>(va), static_cast<int32_t>(vb));
    case uldt_int64:
        return threeWay(static_cast<int64_t>(va), static_cast<int64_t>(vb));
    case uldt_string:
        return compareBlocks(a, b);
    default:
        return threeWay(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
    }
}

void kelList::swapItems(intptr_t i, intptr_t j) noexcept
{
    void* a = itemAt(i);
    storeAt(i, itemAt(j));
    storeAt(j, a);
}

// The classic partition with a tracked middle pivot. Its exchanges decide
// where equal keys end up, so the steps are kept as they are; only the
// recursion goes into the smaller part (the parts are independent, so the
// result is the same) to bound the stack depth.
void kelList::quickSort(intptr_t left, intptr_t right) noexcept
{
    const intptr_t n = count();
    while (left < right) {
        intptr_t i = left;
        intptr_t j = right;
        intptr_t p = left + (right - left) / 2;
        do {
            while (i < n && compare(itemAt(i), itemAt(p)) < 0)
                ++i;
            while (compare(itemAt(j), itemAt(p)) > 0)
                --j;
            if (i <= j) {
                if (i != j) swapItems(i, j);
                if (p == i)
                    p = j;
                else if (p == j)
                    p = i;
                ++i;
                --j;
            }
        } while (i <= j);
        if (j - left < right - i) {
            if (left < j) quickSort(left, j);
            left = i;
        } else {
            if (i < right) quickSort(i, right);
            right = j;
        }
    }
}

bool kelList::sort() noexcept
{
    Guard guard(this, false, c_listTimeoutDefault);
    if (!guard) {
        if (count() == 0) f_sorted.store(true, std::memory_order_relaxed);
        return sorted();
    }
    if (count() > 1) quickSort(0, count() - 1);
    f_sorted.store(true, std::memory_order_relaxed);
    return true;
}

void kelList::doReverse() noexcept
{
    Guard guard(this, false, c_listTimeoutDefault);
    if (!guard) return;
    const intptr_t n = count();
    for (intptr_t i = 0; i < n / 2; ++i) {
        void* a = itemAt(i);
        storeAt(i, itemAt(n - 1 - i));
        storeAt(n - 1 - i, a);
    }
}

void kelList::reverse() noexcept
{
    doReverse();
}

void kelList::resetData() noexcept
{
    if (f_signalsData && f_dataEvent.isSignaledNow()) f_dataEvent.setState(false);
}

bool kelList::checkDataEvent() noexcept
{
    const bool has = count() > 0;
    f_dataEvent.setState(has);
    return has;
}

// --- kinds ------------------------------------------------------------------------

kelRecordList::kelRecordList(bool autoFree, bool sorted) : kelList(uldt_ptr, sorted)
{
    setAutoFree(autoFree);
    setFreesPointers(true);
}

void* kelRecordList::allocRecord(size_t size) noexcept
{
    return std::calloc(1, size ? size : 1);
}

void kelRecordList::freeRecord(void* block) noexcept
{
    std::free(block);
}

kelObjectList::kelObjectList(bool autoFree, bool sorted) : kelList(uldt_obj, sorted)
{
    setAutoFree(autoFree);
}
