#pragma once
// Items and lists shared by the list tests.

#include "core/kelIdList.h"
#include "core/kelList.h"

#include <atomic>
#include <cstdint>

// An object that counts its destructions and carries an id and a tag.
class kelTrackedItem : public kelObject
{
public:
    kelTrackedItem(std::atomic<int>* frees, int64_t id = 0, char tag = 0)
        : f_id(id), f_tag(tag), f_frees(frees)
    {}
    ~kelTrackedItem() override
    {
        if (f_frees) f_frees->fetch_add(1);
    }
    int64_t f_id;
    char f_tag;

private:
    std::atomic<int>* f_frees;

public:
    static kelTrackedItem* of(void* item)
    {
        return static_cast<kelTrackedItem*>(static_cast<kelObject*>(item));
    }
};

// An owning id list of kelTrackedItem keyed by f_id.
class kelTrackedIdList : public kelIdList
{
public:
    explicit kelTrackedIdList(bool sorted) : kelIdList(uldt_obj, sorted) {}

protected:
    int64_t getId(void* item) noexcept override { return kelTrackedItem::of(item)->f_id; }
};
