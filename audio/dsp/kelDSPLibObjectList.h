#pragma once
// kelDSPLibObjectList: the processor handles of a chain, in chain order. A
// handle of 0 is an empty slot (a processor that could not be made). The
// list owns its processors: removing an entry destroys it through the root.
// Guarded by its automat's lock.

#include "audio/dsp/kelDspLibH.h"

#include <vector>

class kelDSPLibObjectList
{
public:
    explicit kelDSPLibObjectList(kelDspLibAbstract* root) noexcept : f_root(root) {}
    ~kelDSPLibObjectList() { clear(); }
    kelDSPLibObjectList(const kelDSPLibObjectList&) = delete;
    kelDSPLibObjectList& operator=(const kelDSPLibObjectList&) = delete;

    intptr_t add(kelDspHandle obj);
    intptr_t count() const noexcept { return static_cast<intptr_t>(f_items.size()); }
    // 0 when out of range.
    kelDspHandle get(intptr_t index) const noexcept;
    // -1 when absent (0 is never found).
    intptr_t indexOf(kelDspHandle obj) const noexcept;
    bool removeByIndex(intptr_t index) noexcept;
    void clear() noexcept;

private:
    kelDspLibAbstract* f_root;
    std::vector<kelDspHandle> f_items;
};
