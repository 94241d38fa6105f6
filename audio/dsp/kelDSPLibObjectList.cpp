#include "audio/dsp/kelDSPLibObjectList.h"

#include <algorithm>

intptr_t kelDSPLibObjectList::add(kelDspHandle obj)
{
    f_items.push_back(obj);
    return count() - 1;
}

kelDspHandle kelDSPLibObjectList::get(intptr_t index) const noexcept
{
    return index >= 0 && index < count() ? f_items[static_cast<size_t>(index)] : 0;
}

intptr_t kelDSPLibObjectList::indexOf(kelDspHandle obj) const noexcept
{
    if (!obj) return -1;
    const auto it = std::find(f_items.begin(), f_items.end(), obj);
    return it == f_items.end() ? -1 : static_cast<intptr_t>(it - f_items.begin());
}

bool kelDSPLibObjectList::removeByIndex(intptr_t index) noexcept
{
    if (index < 0 || index >= count()) return false;
    const kelDspHandle obj = f_items[static_cast<size_t>(index)];
    f_items.erase(f_items.begin() + index);
    if (obj && f_root) (void)f_root->destroyObject(obj); // errors ignored
    return true;
}

void kelDSPLibObjectList::clear() noexcept
{
    while (count() > 0)
        removeByIndex(count() - 1);
}
