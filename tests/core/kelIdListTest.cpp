#include "core/kelIdList.h"

#include "kelListTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

std::vector<int64_t> ids(kelIdList& list)
{
    std::vector<int64_t> out;
    for (intptr_t i = 0; i < list.count(); ++i) {
        out.push_back(list.idAt(i));
        EXPECT_EQ(list.idAt(i), kelTrackedItem::of(list.get(i))->f_id) << "id array out of step at " << i;
    }
    return out;
}

} // namespace

TEST(kelIdListTest, RefusesASecondItemWithAnExistingIdUnlessAllowed)
{
    std::atomic<int> frees{0};
    kelTrackedIdList list(false);
    EXPECT_EQ(list.add(new kelTrackedItem(&frees, 7)), 0);
    auto* dup = new kelTrackedItem(&frees, 7);
    EXPECT_EQ(list.add(dup), -1);
    EXPECT_EQ(list.count(), 1);
    list.setAllowDuplicateId(true);
    EXPECT_EQ(list.add(dup), 1);
    EXPECT_EQ(list.indexOfId(7, 1), 1);
    EXPECT_EQ(list.indexOfId(7, 2), -1);
    EXPECT_EQ(frees, 0);
}

TEST(kelIdListTest, SortedListFindsIdsByHalvesAndKeepsIdsWithItems)
{
    std::atomic<int> frees{0};
    kelTrackedIdList list(true);
    for (int64_t id : {int64_t{50}, int64_t{-3}, int64_t{20}, int64_t{1} << 40, int64_t{0}})
        list.add(new kelTrackedItem(&frees, id));
    EXPECT_EQ(ids(list), (std::vector<int64_t>{-3, 0, 20, 50, int64_t{1} << 40}));
    EXPECT_EQ(list.indexOfId(20), 2);
    EXPECT_EQ(list.indexOfId(int64_t{1} << 40), 4);
    EXPECT_EQ(list.indexOfId(21), -1);
    EXPECT_EQ(list.indexOfId(-3, 1), -1); // searches from the starting index
    EXPECT_EQ(kelTrackedItem::of(list.itemById(50))->f_id, 50);
    EXPECT_EQ(list.itemById(51), nullptr);

    EXPECT_TRUE(list.removeById(0, 2));
    EXPECT_EQ(frees, 1);
    EXPECT_FALSE(list.removeById(0, 2));
    EXPECT_EQ(ids(list), (std::vector<int64_t>{-3, 20, 50, int64_t{1} << 40}));
    EXPECT_EQ(list.idAt(list.count()), -1);
}

TEST(kelIdListTest, InsertRemoveReverseAndSortKeepTheIdArrayAligned)
{
    std::atomic<int> frees{0};
    kelTrackedIdList list(false);
    for (int64_t id : {int64_t{5}, int64_t{1}, int64_t{4}})
        list.add(new kelTrackedItem(&frees, id));
    EXPECT_EQ(list.insert(1, new kelTrackedItem(&frees, 9)), 1);
    EXPECT_EQ(ids(list), (std::vector<int64_t>{5, 9, 1, 4}));
    EXPECT_EQ(list.insert(9, static_cast<kelObject*>(nullptr)), -2);
    EXPECT_TRUE(list.removeByIndex(0, 2));
    EXPECT_EQ(ids(list), (std::vector<int64_t>{9, 1, 4}));
    list.reverse();
    EXPECT_EQ(ids(list), (std::vector<int64_t>{4, 1, 9}));
    EXPECT_TRUE(list.setItem(1, new kelTrackedItem(&frees, 3), 2));
    EXPECT_EQ(frees, 2);
    EXPECT_EQ(ids(list), (std::vector<int64_t>{4, 3, 9}));
    EXPECT_TRUE(list.sort());
    EXPECT_EQ(ids(list), (std::vector<int64_t>{3, 4, 9}));
    EXPECT_EQ(list.indexOfId(9), 2);
}

TEST(kelIdListTest, UpdateIdsPicksUpChangedIds)
{
    std::atomic<int> frees{0};
    kelTrackedIdList list(false);
    auto* a = new kelTrackedItem(&frees, 1);
    list.add(a);
    a->f_id = 10;
    EXPECT_EQ(list.indexOfId(10), -1);
    EXPECT_EQ(list.updateIds(), 1);
    EXPECT_EQ(list.indexOfId(10), 0);
}

TEST(kelIdListTest, RawCopiesRecomputeTheIdArray)
{
    std::atomic<int> frees{0};
    kelObjectList source(false, false);
    auto* a = new kelTrackedItem(&frees, 11);
    auto* b = new kelTrackedItem(&frees, 12);
    source.add(a);
    source.add(b);
    {
        kelTrackedIdList list(false);
        list.setAutoFree(false); // the copies are not the list's to free
        EXPECT_EQ(list.assign(source), 2);
        EXPECT_EQ(ids(list), (std::vector<int64_t>{11, 12}));
        EXPECT_EQ(list.indexOfId(12), 1);
        kelObject* raw[1] = {a};
        EXPECT_EQ(list.copyFrom(raw, sizeof raw, kelco_insert, 0), 1);
        EXPECT_EQ(ids(list), (std::vector<int64_t>{11, 11, 12}));
    }
    EXPECT_EQ(frees, 0);
    source.clear(1);
    EXPECT_EQ(frees, 2);
}
