#include "core/kelIdList.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr intptr_t kChangeTimeout = 300;
constexpr uintptr_t kKeepMemorySlots = 4096;

} // namespace

kelIdList::kelIdList(kelListDataType dataType, bool sorted) : kelList(dataType, sorted)
{
    // Ordered by getId(), not by the slot values.
    useCustomOrder();
}

kelIdList::~kelIdList()
{
    std::free(f_idList64);
}

int64_t kelIdList::idAt(intptr_t index) const noexcept
{
    if (index < 0 || index >= count()) return -1;
    return f_idList64[index];
}

// The id array follows the item array's capacity figure; new entries hold
// the byte 0xFE until an item claims them.
bool kelIdList::growIds(uintptr_t value, bool force) noexcept
{
    const uintptr_t cap = capacityFor(std::max<uintptr_t>(value, static_cast<uintptr_t>(count())));
    if (cap == 0) {
        if (force || f_idAllocated > kKeepMemorySlots) {
            std::free(f_idList64);
            f_idList64 = nullptr;
            f_idAllocated = 0;
        }
        f_idList64Capacity = 0;
        return true;
    }
    if (cap > f_idAllocated) {
        auto* grown = static_cast<int64_t*>(std::realloc(f_idList64, cap * sizeof(int64_t)));
        if (!grown) return false;
        std::memset(grown + f_idAllocated, 0xFE, (cap - f_idAllocated) * sizeof(int64_t));
        f_idList64 = grown;
        f_idAllocated = cap;
    } else if (cap * 4 <= f_idAllocated) {
        const uintptr_t keep = cap * 2;
        auto* shrunk = static_cast<int64_t*>(std::realloc(f_idList64, keep * sizeof(int64_t)));
        if (shrunk) {
            f_idList64 = shrunk;
            f_idAllocated = keep;
        }
    }
    f_idList64Capacity = cap;
    return true;
}

void kelIdList::doSetCapacity(uintptr_t value, bool force) noexcept
{
    if (!lock(false)) return;
    kelList::doSetCapacity(value, force);
    growIds(value, force);
    unlockWO();
}

void kelIdList::notifyBeforeRemove(intptr_t index) noexcept
{
    const intptr_t n = count();
    if (index >= 0 && index < n) {
        std::memmove(f_idList64 + index, f_idList64 + index + 1,
                     static_cast<size_t>(n - index - 1) * sizeof(int64_t));
        f_idList64[n - 1] = -1;
    }
    kelList::notifyBeforeRemove(index);
}

intptr_t kelIdList::doAdd(void* item) noexcept
{
    if (!lock(false, kChangeTimeout)) return -1;
    intptr_t result = -1;
    if (allowDuplicateId() || indexOfId(idOf(item), 0) < 0) result = kelList::doAdd(item);
    unlockWO();
    return result;
}

intptr_t kelIdList::doInsert(intptr_t index, void* item, bool keepSorted) noexcept
{
    if (!lock(false, kChangeTimeout)) return -1;
    const intptr_t n = count();
    intptr_t result = -2;
    if (index >= 0 && index <= n) {
        doSetCapacity(static_cast<uintptr_t>(n + 1), false);
        if (f_idAllocated >= static_cast<uintptr_t>(n + 1)) {
            std::memmove(f_idList64 + index + 1, f_idList64 + index,
                         static_cast<size_t>(n - index) * sizeof(int64_t));
            f_idList64[index] = -1;
            result = kelList::doInsert(index, item, keepSorted);
            if (result < 0) { // undo the shift
                std::memmove(f_idList64 + index, f_idList64 + index + 1,
                             static_cast<size_t>(n - index) * sizeof(int64_t));
                f_idList64[n] = -1;
            }
        } else {
            result = -1;
        }
    }
    unlockWO();
    return result;
}

bool kelIdList::doSetItem(intptr_t index, void* item, bool clearSorted, uintptr_t doFree) noexcept
{
    if (!lock(false, kChangeTimeout)) return false;
    bool done = false;
    if (index >= 0 && index < count()) {
        f_idList64[index] = idOf(item);
        done = kelList::doSetItem(index, item, clearSorted, doFree);
    }
    unlockWO();
    return done;
}

void kelIdList::doReverse() noexcept
{
    if (!lock(false)) return;
    kelList::doReverse();
    std::reverse(f_idList64, f_idList64 + count());
    unlockWO();
}

int kelIdList::compare(void* a, void* b) noexcept
{
    if (!a || !b) return 0;
    const int64_t ia = getId(a);
    const int64_t ib = getId(b);
    return ia < ib ? -1 : (ib < ia ? 1 : 0);
}

void kelIdList::swapItems(intptr_t i, intptr_t j) noexcept
{
    kelList::swapItems(i, j);
    std::swap(f_idList64[i], f_idList64[j]);
}

void kelIdList::recomputeIds() noexcept
{
    const intptr_t n = count();
    for (intptr_t i = 0; i < n; ++i)
        f_idList64[i] = idOf(itemAt(i));
    for (uintptr_t i = static_cast<uintptr_t>(n); i < f_idAllocated; ++i)
        f_idList64[i] = -1;
}

void kelIdList::rawItemsChanged() noexcept
{
    growIds(static_cast<uintptr_t>(count()), false);
    recomputeIds();
}

intptr_t kelIdList::indexOfId(int64_t id, intptr_t startingIndex) noexcept
{
    if (!lock(true)) return -1;
    const intptr_t n = count();
    intptr_t found = -1;
    if (startingIndex < 0) startingIndex = 0;
    if (startingIndex < n) {
        if (sorted()) {
            intptr_t lo = startingIndex;
            intptr_t hi = n - 1;
            while (lo <= hi) {
                const intptr_t mid = lo + (hi - lo) / 2;
                if (f_idList64[mid] < id)
                    lo = mid + 1;
                else if (f_idList64[mid] > id)
                    hi = mid - 1;
                else {
                    found = mid;
                    break;
                }
            }
        } else {
            for (intptr_t i = startingIndex; i < n; ++i)
                if (f_idList64[i] == id) {
                    found = i;
                    break;
                }
        }
    }
    unlockRO();
    return found;
}

void* kelIdList::itemById(int64_t id, intptr_t startingIndex) noexcept
{
    if (!lock(true)) return nullptr;
    void* item = get(indexOfId(id, startingIndex));
    unlockRO();
    return item;
}

bool kelIdList::removeById(int64_t id, uintptr_t doFree) noexcept
{
    if (!lock(false)) return false;
    const intptr_t index = indexOfId(id, 0);
    const bool removed = index >= 0 && removeByIndex(index, doFree);
    unlockWO();
    return removed;
}

intptr_t kelIdList::updateIds() noexcept
{
    if (!lock(false)) return 0;
    recomputeIds();
    const intptr_t n = count();
    unlockWO();
    return n;
}

bool kelIdList::updateId(intptr_t index) noexcept
{
    if (!lock(false)) return false;
    const bool inRange = index >= 0 && index < count();
    if (inRange) f_idList64[index] = idOf(itemAt(index));
    unlockWO();
    return inRange;
}
