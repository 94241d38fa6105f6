#pragma once
// kelIdList: a list whose items carry a signed 64-bit id (getId), kept in a
// parallel id array, index-aligned with the items, for fast lookup by id.
// Sorted id lists order by id and look ids up by binary search. Items with
// an id already in the list are refused unless allowDuplicateId() is set.
//
// A concrete id list chooses the item kind (usually uldt_obj or uldt_record,
// both owned) and implements getId(). getId() runs with the list's write or
// read lock held, on the calling thread; it must not use other lists' locks.

#include "core/kelList.h"

class kelIdList : public kelList
{
public:
    ~kelIdList() override;

    // Index of an item with `id` at or after `startingIndex` (the first one
    // when unsorted; sorted lists search by halves), -1 when there is none or
    // the lock failed.
    intptr_t indexOfId(int64_t id, intptr_t startingIndex = 0) noexcept;
    // get(indexOfId(id, startingIndex)).
    void* itemById(int64_t id, intptr_t startingIndex = 0) noexcept;
    bool removeById(int64_t id, uintptr_t doFree) noexcept;
    // Recomputes every id with getId(); returns count() (0 when the lock
    // failed). Call after changing the ids of items in the list.
    intptr_t updateIds() noexcept;
    // Recomputes the id of one item; false when out of range or not locked.
    bool updateId(intptr_t index) noexcept;

    bool allowDuplicateId() const noexcept { return f_allowDI.load(std::memory_order_relaxed); }
    void setAllowDuplicateId(bool value) noexcept { f_allowDI.store(value, std::memory_order_relaxed); }
    // The stored id of item `index` without locking (caller holds the lock);
    // -1 past the end.
    int64_t idAt(intptr_t index) const noexcept;

    kelString _classID() const override { return u"kelIdList"; }

protected:
    kelIdList(kelListDataType dataType, bool sorted);

    virtual int64_t getId(void* item) noexcept = 0;

    void doSetCapacity(uintptr_t value, bool force) noexcept override;
    void notifyBeforeRemove(intptr_t index) noexcept override;
    intptr_t doAdd(void* item) noexcept override;
    intptr_t doInsert(intptr_t index, void* item, bool keepSorted) noexcept override;
    bool doSetItem(intptr_t index, void* item, bool clearSorted, uintptr_t doFree) noexcept override;
    void doReverse() noexcept override;
    int compare(void* a, void* b) noexcept override;
    void swapItems(intptr_t i, intptr_t j) noexcept override;
    void rawItemsChanged() noexcept override;

private:
    bool growIds(uintptr_t capacity, bool force) noexcept;
    void recomputeIds() noexcept;
    // getId() of an item that may be null (-1).
    int64_t idOf(void* item) noexcept { return item ? getId(item) : -1; }

    std::atomic<bool> f_allowDI{false};
    int64_t* f_idList64 = nullptr; // f_idAllocated entries
    uintptr_t f_idAllocated = 0;
    uintptr_t f_idList64Capacity = 0;
};
