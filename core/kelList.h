#pragma once
// kelList: the library's one collection type. A growable contiguous array of
// items of one fixed kind, guarded by the kelObject lock it inherits, with an
// auto-reset data event that is signalled whenever items arrive.
//
// Every operation locks the list itself (write for changes, read for
// lookups), so a list may be shared between threads without further locking.
// Callers that need several operations to be atomic wrap them in
// lock() ... unlockRO()/unlockWO(); the lock is re-entrant for its holder.
//
// Items are pointer-sized values handed around as void*:
//  - uldt_int32: a signed 32-bit value (4-byte slots), widened to pointer size;
//  - uldt_int64: a signed 64-bit value;
//  - uldt_ptr: a raw pointer, never freed by kelList (kelRecordList frees it);
//  - uldt_string: a string block (see kelStringList), freed with the list;
//  - uldt_record: a memory block from std::malloc/calloc, freed with std::free;
//  - uldt_obj: a kelObject*, destroyed through kelFree.
// Owned kinds are freed on removal according to `doFree`: 0 never, 1 always,
// 2 when autoFree() is true; any other value never.
//
// Pointers returned by get() stay valid only while nobody removes the item:
// hold the list lock around their use, or use lockObject() for objects.

#include "core/kelCheck.h"
#include "core/kelEvent.h"
#include "core/kelObject.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

static_assert(sizeof(void*) == 8, "list slots assume 64-bit pointers");

// Stored as a 32-bit value.
enum kelListDataType : int32_t {
    uldt_int32 = 0,
    uldt_int64 = 1,
    uldt_ptr = 2,
    uldt_string = 3,
    uldt_record = 4,
    uldt_obj = 5,
};

enum kelListCopyOpEnum : int32_t {
    kelco_add = 0,
    kelco_replaceExisting = 1,
    kelco_insert = 2,
    kelco_assign = 3,
};

// A lock timeout meaning "use the list's own timeout()".
inline constexpr intptr_t c_listTimeoutDefault = -1002;

// Fired (on the thread that removes or replaces, with the list's write lock
// held) before an item is released; the handler may change `doFree`, and the
// value it leaves decides whether the item is freed.
using kelListOnItemReleaseEvent = std::function<void(intptr_t index, uintptr_t& doFree)>;
// Fired (same thread, same lock) before the item at `index` is removed.
using kelListOnItemBeforeRemoveEvent = std::function<void(intptr_t index)>;

class kelList : public kelObject
{
public:
    kelList(kelListDataType dataType, bool sorted);
    ~kelList() override;

    // --- locking ---------------------------------------------------------
    // True when taken (always, without locking, when singleThreaded()).
    // `timeout` c_listTimeoutDefault uses timeout(). Pair each success with
    // unlockRO()/unlockWO() (both release the newest hold), not with
    // kelObject's own release.
    [[nodiscard]] bool lock(bool ro, intptr_t timeout = c_listTimeoutDefault) noexcept;
    void unlockRO() noexcept;
    void unlockWO() noexcept;

    // The object at `index`, acquired with `ro` within `timeout` ms; null
    // when there is no item, it is being destroyed or its lock could not be
    // taken. The list is held read-only (100 ms) until the object's lock is
    // settled, so nobody can remove and free the object in between. Release
    // the object with kelObject::releaseOf(). An owning list that frees the
    // object waits up to timeout() for such holders to release it first.
    kelObject* lockObject(intptr_t index, bool ro, intptr_t timeout) noexcept;

    // --- item access ----------------------------------------------------
    // Append, or insert in order when sorted(). Returns the index, negative
    // when the item was not added (-1: lock failed). `itsok` has no effect.
    intptr_t add(void* item, bool itsok = false) noexcept;
    intptr_t add(kelObject* item) noexcept { return add(static_cast<void*>(item)); }
    intptr_t add(std::nullptr_t) noexcept { return add(static_cast<void*>(nullptr)); }
    intptr_t add(int64_t item) noexcept;
    intptr_t add(int32_t item) noexcept;

    // Insert at `index` (0..count()); clears sorted(). Returns `index`, -1
    // when `index` > count(), -2 when the lock failed.
    intptr_t insert(intptr_t index, void* item) noexcept;
    intptr_t insert(intptr_t index, kelObject* item) noexcept
    {
        return insert(index, static_cast<void*>(item));
    }
    intptr_t insert(intptr_t index, int64_t item) noexcept;
    intptr_t insert(intptr_t index, int32_t item) noexcept;

    // Null when out of range or the lock failed. A 32-bit item comes widened
    // to pointer size; for uldt_int64 the result points at the value inside
    // the list (valid only under the list lock); otherwise the stored pointer.
    void* get(intptr_t index) noexcept;
    kelObject* getObject(intptr_t index) noexcept { return static_cast<kelObject*>(get(index)); }
    // The item's value as a number (0 when out of range or the lock failed).
    int64_t getInt(intptr_t index) noexcept;
    // Address of slot `index`, without locking; null past the slot memory.
    void* getListPtrAt(intptr_t index) noexcept;

    // Index of the item, -1 when absent or the lock failed. Sorted lists use
    // a binary search over their ordering (so an id list finds an item with
    // the same id).
    intptr_t indexOf(void* item) noexcept;
    intptr_t indexOf(kelObject* item) noexcept { return indexOf(static_cast<void*>(item)); }
    intptr_t indexOf(int64_t item) noexcept;
    intptr_t indexOf(int32_t item) noexcept;

    // Release the old item per `doFree`, store the new one, clear sorted().
    // False when out of range or the lock failed.
    bool setItem(intptr_t index, void* item, uintptr_t doFree) noexcept;
    bool setItem(intptr_t index, kelObject* item, uintptr_t doFree) noexcept
    {
        return setItem(index, static_cast<void*>(item), doFree);
    }
    bool setItem(intptr_t index, int64_t item, uintptr_t doFree) noexcept;
    bool setItem(intptr_t index, int32_t item, uintptr_t doFree) noexcept;
    bool internalSetItem(intptr_t index, void* value) noexcept { return setItem(index, value, 2); }

    // False when out of range, not found or the lock failed.
    bool removeByIndex(intptr_t index, uintptr_t doFree) noexcept;
    bool removeItem(void* item, uintptr_t doFree) noexcept;
    bool removeItem(kelObject* item, uintptr_t doFree) noexcept
    {
        return removeItem(static_cast<void*>(item), doFree);
    }
    bool removeItem(int64_t item, uintptr_t doFree) noexcept;
    bool removeItem(int32_t item, uintptr_t doFree) noexcept;
    // Removes the first (true) or last item with doFree 2; true when the
    // list had an item and could be locked.
    bool removeFromEdge(bool removeFromBegining) noexcept;
    // Removes every item, last first; nothing happens when the lock (write,
    // 200 ms) fails. `force` releases the slot memory too.
    void clear(uintptr_t doFree = 2, bool force = false) noexcept;

    void setCapacity(uintptr_t value) noexcept;

    // Copies the raw slots of `list` (no item is released, freed or
    // duplicated: for lists that do not own their items). Returns the source
    // count; 0 when either lock failed or the slot sizes differ.
    intptr_t assign(kelList& list) noexcept;
    // Raw slot copy; see kelListCopyOpEnum. `list` holds slot values; a
    // negative `listSize` means the buffer starts with its item count (32-bit
    // for uldt_int32 lists, 64-bit otherwise), else `listSize` is in bytes.
    // Returns the number of items copied.
    intptr_t copyFrom(const void* list, intptr_t listSize, kelListCopyOpEnum copyOperation,
                      intptr_t startIndex = 0) noexcept;
    intptr_t copyFrom(kelList& list, kelListCopyOpEnum copyOperation, intptr_t startIndex = 0) noexcept;

    void reverse() noexcept;
    // Sorts by the list's ordering; returns sorted().
    bool sort() noexcept;

    // Sets the data event when count() > 0, resets it otherwise.
    bool checkDataEvent() noexcept;
    // Waits on the data event (auto-reset: a success consumes the signal).
    [[nodiscard]] bool waitForData(int64_t timeout) noexcept { return f_dataEvent.waitFor(timeout); }
    kelEvent& dataEvent() noexcept { return f_dataEvent; }

    // --- properties -----------------------------------------------------
    intptr_t count() const noexcept { return f_count.load(std::memory_order_relaxed); }
    uintptr_t capacity() const noexcept { return f_capacity.load(std::memory_order_relaxed); }
    intptr_t timeout() const noexcept { return f_timeout.load(std::memory_order_relaxed); }
    void setTimeout(intptr_t value) noexcept { f_timeout.store(value, std::memory_order_relaxed); }
    bool autoFree() const noexcept { return f_autoFree.load(std::memory_order_relaxed); }
    void setAutoFree(bool value) noexcept { f_autoFree.store(value, std::memory_order_relaxed); }
    // When true the list never locks: for lists guarded by their owner's
    // lock. Set it before the list is shared.
    bool singleThreaded() const noexcept { return f_singleThreaded; }
    void setSingleThreaded(bool value) noexcept { f_singleThreaded = value; }
    // When false, adding and emptying leave the data event alone: for a
    // private list nobody waits on, where setting and resetting it on every
    // change would cost more than the change. Set it before the list is
    // shared; checkDataEvent() still sets the event on request.
    bool signalsData() const noexcept { return f_signalsData; }
    void setSignalsData(bool value) noexcept { f_signalsData = value; }
    bool sorted() const noexcept { return f_sorted.load(std::memory_order_relaxed); }
    kelListDataType dataType() const noexcept { return f_dataType; }
    intptr_t dataItemSize() const noexcept { return f_dataItemSize; }

    // Handlers run on the thread that removes, with the write lock held; they
    // may use the list (the lock is re-entrant) but must not wait for other
    // threads that use it. Exceptions they raise are caught and dropped. Set
    // them before the list is shared.
    void setOnItemRelease(kelListOnItemReleaseEvent handler) { f_onItemRelease = std::move(handler); }
    void setOnItemBeforeRemove(kelListOnItemBeforeRemoveEvent handler)
    {
        f_onItemBeforeRemove = std::move(handler);
    }

    kelString _classID() const override { return u"kelList"; }

protected:
    // Subclass hooks. Each takes the write lock itself (re-entrant) where the
    // public operation above it would. A subclass that overrides releaseItem
    // must call clear(2, true) in its own destructor: the base destructor
    // can no longer reach the override.
    virtual void doSetCapacity(uintptr_t value, bool force) noexcept;
    virtual void releaseItem(intptr_t index, uintptr_t doFree) noexcept;
    virtual void notifyBeforeRemove(intptr_t index) noexcept;
    virtual intptr_t doAdd(void* item) noexcept;
    virtual intptr_t doInsert(intptr_t index, void* item, bool keepSorted) noexcept;
    virtual bool doSetItem(intptr_t index, void* item, bool clearSorted, uintptr_t doFree) noexcept;
    virtual void doReverse() noexcept;
    virtual intptr_t doCopyFrom(const void* list, intptr_t listSize, kelListCopyOpEnum copyOperation,
                                intptr_t startIndex) noexcept;
    // -1, 0 or 1 by the list's ordering. The sorted lookups of the number
    // and pointer kinds compare slot values directly; a subclass that orders
    // its items otherwise calls useCustomOrder() in its constructor.
    virtual int compare(void* a, void* b) noexcept;
    void useCustomOrder() noexcept { f_customOrder = true; }
    // Exchanges items i and j (sort); id lists exchange their ids too.
    virtual void swapItems(intptr_t i, intptr_t j) noexcept;
    // Called with the write lock held after slots were copied in raw.
    virtual void rawItemsChanged() noexcept {}

    // Item at `index` without locking or range check (caller holds the lock).
    void* itemAt(intptr_t index) const noexcept;
    void storeAt(intptr_t index, void* item) noexcept;
    // True when `doFree` asks for the item to be freed.
    bool wantsFree(uintptr_t doFree) const noexcept;
    void setDataType(kelListDataType value) noexcept { f_dataType = value; }
    // kelRecordList: uldt_ptr items are memory blocks the list frees.
    void setFreesPointers(bool value) noexcept { f_freesPointers = value; }
    // Capacity figure for a requested count: multiples of 256 within 32 bits
    // (a figure past the limit is never granted).
    static constexpr uintptr_t capacityFor(uintptr_t n) noexcept
    {
        constexpr uintptr_t limit = 0xFFFFFF00u;
        if (n > limit) return limit + 256;
        return (n + 255) & ~static_cast<uintptr_t>(255);
    }

private:
    struct Guard;
    intptr_t binaryFind(void* item, bool forInsert) noexcept;
    // The insert hook's work once locked and checked: `index` is 0..count().
    // `plain`: the store and capacity hooks are kelList's own.
    intptr_t insertHeld(intptr_t index, void* item, bool keepSorted, bool plain) noexcept;
    void quickSort(intptr_t left, intptr_t right) noexcept;
    void disposeItem(void* item) noexcept;
    // Runs with the write lock held. Readers take the items under the list
    // lock, which orders them; the event only wakes, so one that is still
    // signalled (nobody has waited since the last item) needs no new signal.
    void signalData() noexcept
    {
        if (f_signalsData && !f_dataEvent.isSignaledNow()) f_dataEvent.setState(true);
    }
    void resetData() noexcept;
    intptr_t effective(intptr_t timeout) const noexcept;
    void unlock() noexcept;
    // unlock() for the thread with id `self`.
    void unlockAs(uint32_t self) noexcept;

    std::atomic<intptr_t> f_count{0};
    std::atomic<uintptr_t> f_capacity{0};
    std::atomic<intptr_t> f_timeout{1000};
    std::atomic<bool> f_autoFree;
    bool f_singleThreaded = false;
    bool f_signalsData = true;
    kelListDataType f_dataType;
    uint8_t* f_slots = nullptr; // f_allocated slots of f_dataItemSize bytes
    uintptr_t f_allocated = 0;
    intptr_t f_dataItemSize;
    kelEvent f_dataEvent{false, false};
    std::atomic<bool> f_sorted;
    bool f_freesPointers = false;
    bool f_customOrder = false;
    kelListOnItemReleaseEvent f_onItemRelease;
    kelListOnItemBeforeRemoveEvent f_onItemBeforeRemove;
    // The thread holding the write lock through lock(), and the holds it
    // nested inside that one (touched only by that thread).
    std::atomic<uint32_t> f_writer{0};
    intptr_t f_nested = 0;
};

inline void* kelList::itemAt(intptr_t index) const noexcept
{
    KEL_DCHECK(index >= 0 && static_cast<uintptr_t>(index) < f_allocated);
    const uint8_t* slot = f_slots + index * f_dataItemSize;
    if (f_dataItemSize == 4) {
        int32_t v = 0;
        std::memcpy(&v, slot, 4);
        return reinterpret_cast<void*>(static_cast<intptr_t>(v));
    }
    void* p = nullptr;
    std::memcpy(&p, slot, 8);
    return p;
}

inline void kelList::storeAt(intptr_t index, void* item) noexcept
{
    KEL_DCHECK(index >= 0 && static_cast<uintptr_t>(index) < f_allocated);
    uint8_t* slot = f_slots + index * f_dataItemSize;
    if (f_dataItemSize == 4) {
        const auto v = static_cast<int32_t>(reinterpret_cast<intptr_t>(item));
        std::memcpy(slot, &v, 4);
    } else {
        std::memcpy(slot, &item, 8);
    }
}

// Free routines over a list that may be absent.
// True when `list` exists and was locked.
[[nodiscard]] bool lockList(kelList* list, bool ro, intptr_t timeout = c_listTimeoutDefault) noexcept;
// True only when `list` exists, has items, was locked, and still has items
// once locked (otherwise it is unlocked again).
[[nodiscard]] bool lockNonEmptyList(kelList* list, bool ro, intptr_t timeout = c_listTimeoutDefault) noexcept;
void unlockListRO(kelList* list) noexcept;
void unlockListWO(kelList* list) noexcept;

// A list of memory blocks (uldt_ptr items) that it frees with std::free.
class kelRecordList : public kelList
{
public:
    explicit kelRecordList(bool autoFree = true, bool sorted = false);
    // A zero-filled block for a record list, or null.
    static void* allocRecord(size_t size) noexcept;
    static void freeRecord(void* block) noexcept;
    kelString _classID() const override { return u"kelRecordList"; }
};

// A list of kelObject items (uldt_obj), destroyed through kelFree when freed.
class kelObjectList : public kelList
{
public:
    explicit kelObjectList(bool autoFree = true, bool sorted = false);
    kelString _classID() const override { return u"kelObjectList"; }
};
