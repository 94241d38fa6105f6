#include "core/kelList.h"

#include "core/kelTick.h"
#include "kelListTestSupport.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Holds `obj`'s lock on another thread until the holder is destroyed.
class Holder
{
public:
    Holder(kelObject* obj, bool ro) : f_obj(obj)
    {
        f_thread = std::thread([this, ro] {
            f_took = f_obj->acquire(ro, 1000);
            f_ready = true;
            while (!f_letGo)
                kelSleepMs(1);
            if (f_took) f_obj->releaseWO();
        });
        while (!f_ready)
            kelSleepMs(1);
    }
    ~Holder()
    {
        f_letGo = true;
        f_thread.join();
    }
    bool took() const { return f_took; }

private:
    kelObject* f_obj;
    std::thread f_thread;
    std::atomic<bool> f_ready{false}, f_letGo{false}, f_took{false};
};

// Waits up to 5 s for `cond`.
template <class F> bool eventually(F cond)
{
    const uint64_t start = tickNow();
    while (!cond()) {
        if (ticksSince(start) > 5000) return false;
        kelSleepMs(1);
    }
    return true;
}

std::vector<int32_t> ints(kelList& list)
{
    std::vector<int32_t> out;
    for (intptr_t i = 0; i < list.count(); ++i)
        out.push_back(static_cast<int32_t>(list.getInt(i)));
    return out;
}

} // namespace

TEST(kelListTest, CapacityGrowsInStepsAndKeepsSmallMemoryWhenEmptied)
{
    kelList list(uldt_int32, false);
    EXPECT_EQ(list.capacity(), 0u);
    EXPECT_EQ(list.add(int32_t{7}), 0);
    EXPECT_EQ(list.capacity(), 256u);
    EXPECT_TRUE(list.removeByIndex(0, 0));
    EXPECT_EQ(list.capacity(), 0u);
    EXPECT_NE(list.getListPtrAt(0), nullptr); // memory kept

    for (int32_t i = 0; i < 257; ++i)
        list.add(i);
    EXPECT_EQ(list.capacity(), 512u);
    list.setCapacity(3); // never below the items held
    EXPECT_EQ(list.capacity(), 512u);
    EXPECT_EQ(list.getInt(256), 256);
}

TEST(kelListTest, ListThatGrewPast4096SlotsReleasesItsMemoryWhenCleared)
{
    kelList list(uldt_int64, false);
    for (int64_t i = 0; i < 5000; ++i)
        list.add(i);
    EXPECT_EQ(list.capacity(), 5120u);
    list.clear(0, false);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.capacity(), 0u);
    EXPECT_EQ(list.getListPtrAt(0), nullptr);

    kelList small(uldt_int32, false);
    small.add(int32_t{1});
    small.clear(0, true); // forced
    EXPECT_EQ(small.getListPtrAt(0), nullptr);
}

TEST(kelListTest, SortedInt32ListOrdersSignedValuesAndFindsByHalves)
{
    kelList list(uldt_int32, true);
    list.add(int32_t{5});
    list.add(int32_t{1});
    list.add(int32_t{3});
    list.add(int32_t{-2});
    EXPECT_EQ(ints(list), (std::vector<int32_t>{-2, 1, 3, 5}));
    EXPECT_EQ(list.indexOf(int32_t{3}), 2);
    EXPECT_EQ(list.indexOf(int32_t{4}), -1);
    EXPECT_TRUE(list.sorted());
    EXPECT_TRUE(list.setItem(0, int32_t{9}, 0));
    EXPECT_FALSE(list.sorted());
    EXPECT_EQ(list.indexOf(int32_t{9}), 0); // linear again
    EXPECT_TRUE(list.sort());
    EXPECT_EQ(ints(list), (std::vector<int32_t>{1, 3, 5, 9}));
}

TEST(kelListTest, SortedAddPutsAnEqualKeyBeforeTheOneTheSearchMeets)
{
    std::atomic<int> frees{0};
    kelTrackedIdList list(true);
    list.setAllowDuplicateId(true);
    auto tags = [&] {
        std::string s;
        for (intptr_t i = 0; i < list.count(); ++i) {
            const auto* t = kelTrackedItem::of(list.get(i));
            s += std::to_string(t->f_id);
            s += t->f_tag;
        }
        return s;
    };
    list.add(new kelTrackedItem(&frees, 1, 'a'));
    list.add(new kelTrackedItem(&frees, 2, 'x'));
    list.add(new kelTrackedItem(&frees, 1, 'b'));
    list.add(new kelTrackedItem(&frees, 2, 'y'));
    list.add(new kelTrackedItem(&frees, 1, 'c'));
    // 1b lands before 1a (met at index 0), 2y before 2x (met at index 2),
    // and 1c before 1a, which the search meets first at index 1.
    EXPECT_EQ(tags(), "1b1c1a2y2x");
}

TEST(kelListTest, QuickSortPlacesEqualKeysByItsExchanges)
{
    std::atomic<int> frees{0};
    kelTrackedIdList list(false);
    list.setAllowDuplicateId(true);
    list.add(new kelTrackedItem(&frees, 2, 'a'));
    list.add(new kelTrackedItem(&frees, 1, 'a'));
    list.add(new kelTrackedItem(&frees, 2, 'b'));
    list.add(new kelTrackedItem(&frees, 1, 'b'));
    EXPECT_TRUE(list.sort());
    std::string s;
    for (intptr_t i = 0; i < list.count(); ++i) {
        const auto* t = kelTrackedItem::of(list.get(i));
        s += std::to_string(t->f_id);
        s += t->f_tag;
        EXPECT_EQ(list.idAt(i), t->f_id); // ids moved with their items
    }
    // Not a stable order: the first exchange swaps 2a and 1b, the last 2b and 2a.
    EXPECT_EQ(s, "1b1a2a2b");
}

TEST(kelListTest, OutOfRangeOperationsChangeNothing)
{
    kelList list(uldt_int64, false);
    list.add(int64_t{1} << 40);
    EXPECT_FALSE(list.removeByIndex(list.count(), 0));
    EXPECT_FALSE(list.setItem(1, int32_t{5}, 0));
    EXPECT_EQ(list.insert(2, int32_t{5}), -1);
    EXPECT_EQ(list.get(1), nullptr);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(*static_cast<int64_t*>(list.get(0)), int64_t{1} << 40); // points into the list
}

TEST(kelListTest, OwningObjectListFreesEachItemExactlyOnceByDoFree)
{
    std::atomic<int> frees{0};
    {
        kelObjectList list(true, false);
        for (int i = 0; i < 4; ++i)
            list.add(new kelTrackedItem(&frees));
        EXPECT_TRUE(list.removeByIndex(0, 2)); // autoFree
        EXPECT_EQ(frees, 1);
        auto* kept = static_cast<kelTrackedItem*>(list.getObject(0));
        EXPECT_TRUE(list.removeByIndex(0, 0)); // never
        EXPECT_EQ(frees, 1);
        delete kept;
        EXPECT_EQ(frees, 2);
        EXPECT_TRUE(list.removeFromEdge(false)); // doFree 2
        EXPECT_EQ(frees, 3);
        EXPECT_EQ(list.count(), 1);
    } // the last item goes with the list
    EXPECT_EQ(frees, 4);

    frees = 0;
    {
        kelObjectList list(false, false);
        auto* a = new kelTrackedItem(&frees);
        auto* b = new kelTrackedItem(&frees);
        list.add(a);
        list.add(b);
        EXPECT_TRUE(list.removeItem(a, 2)); // autoFree is off
        EXPECT_EQ(frees, 0);
        delete a;
        EXPECT_TRUE(list.removeItem(b, 7)); // unknown values never free
        EXPECT_EQ(frees, 1);
        list.add(b);
        EXPECT_TRUE(list.removeByIndex(0, 1)); // always
        EXPECT_EQ(frees, 2);
    }
    EXPECT_EQ(frees, 2);
}

TEST(kelListTest, SetItemFreesTheReplacedItemButNotTheSameItemStoredAgain)
{
    std::atomic<int> frees{0};
    kelObjectList list(true, false);
    auto* a = new kelTrackedItem(&frees);
    list.add(a);
    EXPECT_TRUE(list.internalSetItem(0, static_cast<kelObject*>(a)));
    EXPECT_EQ(frees, 0);
    EXPECT_EQ(list.getObject(0), a);
    EXPECT_TRUE(list.setItem(0, new kelTrackedItem(&frees), 2));
    EXPECT_EQ(frees, 1);
    kelObject* second = list.getObject(0);
    list.clear(0);
    EXPECT_EQ(frees, 1);
    delete second;
}

TEST(kelListTest, OnItemReleaseDecidesWhetherTheItemIsFreed)
{
    std::atomic<int> frees{0};
    std::vector<std::pair<intptr_t, uintptr_t>> seen;
    {
        kelObjectList list(true, false);
        uintptr_t verdict = 0;
        list.setOnItemRelease([&](intptr_t index, uintptr_t& doFree) {
            seen.emplace_back(index, doFree);
            doFree = verdict;
        });
        auto* a = new kelTrackedItem(&frees);
        list.add(a);
        list.add(new kelTrackedItem(&frees));
        EXPECT_TRUE(list.removeByIndex(0, 2));
        EXPECT_EQ(frees, 0); // the handler said 0
        delete a;
        frees = 0;
        verdict = 1;
        list.setAutoFree(false);
        EXPECT_TRUE(list.removeByIndex(0, 0));
        EXPECT_EQ(frees, 1); // the handler said 1
        list.add(new kelTrackedItem(&frees));
        list.setOnItemRelease([](intptr_t, uintptr_t&) { throw 1; });
        list.setAutoFree(true);
        EXPECT_TRUE(list.removeByIndex(0, 2)); // a throwing handler leaves the decision as it was
        EXPECT_EQ(frees, 2);
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::pair<intptr_t, uintptr_t>{0, 2}));
    EXPECT_EQ(seen[1], (std::pair<intptr_t, uintptr_t>{0, 0}));
}

TEST(kelListTest, RecordListFreesItsBlocksAndTheDestructorReachesThem)
{
    // Leaks here are reported by the address-sanitizer build.
    kelRecordList list;
    for (int i = 0; i < 3; ++i)
        list.add(kelRecordList::allocRecord(32));
    EXPECT_TRUE(list.removeByIndex(1, 2));
    void* kept = list.get(0);
    EXPECT_TRUE(list.removeByIndex(0, 0));
    kelRecordList::freeRecord(kept);
    EXPECT_EQ(list.count(), 1);
}

TEST(kelListTest, DefaultTimeoutMeansTheListsOwn)
{
    kelList list(uldt_int32, false);
    list.setTimeout(150);
    Holder holder(&list, false);
    ASSERT_TRUE(holder.took());
    uint64_t start = tickNow();
    EXPECT_FALSE(list.lock(true, c_listTimeoutDefault));
    const uint64_t took = ticksSince(start);
    EXPECT_GE(took, 140u);
    EXPECT_LT(took, 5000u);
}

TEST(kelListTest, OperationsUnderContentionTimeOutWithNeutralResults)
{
    kelList list(uldt_int32, false);
    list.add(int32_t{1});
    list.setTimeout(50);
    {
        Holder writer(&list, false);
        ASSERT_TRUE(writer.took());
        uint64_t start = tickNow();
        EXPECT_EQ(list.add(int32_t{2}), -1);
        EXPECT_GE(ticksSince(start), 290u); // add waits 300 ms whatever timeout() says
        start = tickNow();
        EXPECT_EQ(list.get(0), nullptr);
        EXPECT_GE(ticksSince(start), 90u);
        EXPECT_EQ(list.indexOf(int32_t{1}), -1);
        EXPECT_FALSE(list.removeByIndex(0, 0));
        list.clear();
    }
    EXPECT_EQ(ints(list), (std::vector<int32_t>{1}));

    // Readers share: a read hold lets lookups through but keeps changes out.
    Holder reader(&list, true);
    ASSERT_TRUE(reader.took());
    EXPECT_EQ(list.indexOf(int32_t{1}), 0);
    EXPECT_EQ(list.getInt(0), 1);
    EXPECT_FALSE(list.setItem(0, int32_t{4}, 0));
}

TEST(kelListTest, SingleThreadedListNeverLocks)
{
    kelList list(uldt_int32, false);
    list.setSingleThreaded(true);
    Holder holder(&list, false); // a foreign hold does not matter
    ASSERT_TRUE(holder.took());
    EXPECT_EQ(list.add(int32_t{1}), 0);
    EXPECT_EQ(list.indexOf(int32_t{1}), 0);
    EXPECT_TRUE(list.lock(false, 0));
    list.unlockWO();
}

TEST(kelListTest, DataEventSignalsArrivalsOnceAndResetsWhenEmptied)
{
    kelList list(uldt_int32, false);
    EXPECT_FALSE(list.waitForData(0));
    list.add(int32_t{1});
    EXPECT_TRUE(list.waitForData(100));
    EXPECT_FALSE(list.waitForData(20)); // auto-reset: consumed

    list.insert(0, int32_t{2});
    EXPECT_TRUE(list.removeByIndex(0, 0)); // still one item: no reset
    EXPECT_TRUE(list.waitForData(0));
    list.add(int32_t{3});
    list.removeByIndex(0, 0);
    list.removeByIndex(0, 0); // emptied: reset
    EXPECT_FALSE(list.waitForData(0));

    const int32_t raw[2] = {8, 9};
    EXPECT_EQ(list.copyFrom(raw, sizeof raw, kelco_add), 2);
    EXPECT_TRUE(list.waitForData(0));
    list.clear();
    EXPECT_FALSE(list.waitForData(0));
    EXPECT_FALSE(list.checkDataEvent());
    list.add(int32_t{5});
    EXPECT_TRUE(list.checkDataEvent());
    EXPECT_TRUE(list.dataEvent().isSignaled());

    // A private list leaves its event alone, but still sets it on request.
    kelList quiet(uldt_int32, false);
    quiet.setSignalsData(false);
    quiet.add(int32_t{1});
    EXPECT_FALSE(quiet.dataEvent().isSignaled());
    EXPECT_TRUE(quiet.checkDataEvent());
    quiet.clear();
    EXPECT_TRUE(quiet.waitForData(0));
}

TEST(kelListTest, LockObjectKeepsTheListHeldUntilTheObjectIsLocked)
{
    std::atomic<int> frees{0};
    kelObjectList list(true, false);
    auto* obj = new kelTrackedItem(&frees);
    list.add(obj);
    list.setTimeout(20);

    std::atomic<kelObject*> locked{nullptr};
    std::atomic<bool> done{false};
    std::thread locker;
    {
        Holder holder(obj, false);
        ASSERT_TRUE(holder.took());
        locker = std::thread([&] {
            kelObject* got = list.lockObject(0, false, 3000);
            if (got) kelObject::releaseOf(got);
            locked = got;
            done = true;
        });
        // While the locker waits for the object it still holds the list, so
        // the object cannot be removed and freed under it.
        ASSERT_TRUE(eventually([&] { return list.readCount() > 0 || done; }));
        EXPECT_FALSE(list.removeByIndex(0, 2));
        EXPECT_EQ(frees, 0);
    }
    locker.join();
    EXPECT_EQ(locked.load(), obj);
    EXPECT_EQ(list.readCount(), 0);
    EXPECT_TRUE(list.removeByIndex(0, 2));
    EXPECT_EQ(frees, 1);
}

TEST(kelListTest, LockNonEmptyListRequiresAListWithItems)
{
    EXPECT_FALSE(lockList(nullptr, true));
    EXPECT_FALSE(lockNonEmptyList(nullptr, true));
    kelList list(uldt_int32, false);
    EXPECT_TRUE(lockList(&list, true));
    unlockListRO(&list);
    EXPECT_FALSE(lockNonEmptyList(&list, false));
    EXPECT_FALSE(list.removeFromEdge(true));
    list.add(int32_t{1});
    list.add(int32_t{2});
    ASSERT_TRUE(lockNonEmptyList(&list, false));
    unlockListWO(&list);
    EXPECT_EQ(list.writeCount(), 0);
    EXPECT_TRUE(list.removeFromEdge(true));
    EXPECT_EQ(ints(list), (std::vector<int32_t>{2}));
}

TEST(kelListTest, CopyFromAddsInsertsReplacesAndAssignsRawSlots)
{
    kelList list(uldt_int32, false);
    for (int32_t v : {1, 2, 3})
        list.add(v);
    const int32_t two[2] = {8, 9};
    EXPECT_EQ(list.copyFrom(two, sizeof two, kelco_insert, 1), 2);
    EXPECT_EQ(ints(list), (std::vector<int32_t>{1, 8, 9, 2, 3}));
    EXPECT_EQ(list.copyFrom(two, sizeof two, kelco_replaceExisting, 4), 2);
    EXPECT_EQ(ints(list), (std::vector<int32_t>{1, 8, 9, 2, 8, 9}));
    EXPECT_EQ(list.copyFrom(two, sizeof two, kelco_add, 0), 2);
    EXPECT_EQ(list.count(), 8);
    // A negative size: the buffer starts with a 32-bit count for this kind.
    const int32_t counted[3] = {2, 5, 6};
    EXPECT_EQ(list.copyFrom(counted, -1, kelco_assign, 0), 2);
    EXPECT_EQ(ints(list), (std::vector<int32_t>{5, 6}));
    EXPECT_EQ(list.copyFrom(nullptr, 8, kelco_add), 0);
    EXPECT_EQ(list.copyFrom(two, 0, kelco_add), 0);
    EXPECT_EQ(list.copyFrom(list, kelco_add), 2); // from itself
    EXPECT_EQ(ints(list), (std::vector<int32_t>{5, 6, 5, 6}));

    kelList wide(uldt_int64, false);
    const int64_t counted64[2] = {1, int64_t{1} << 33};
    EXPECT_EQ(wide.copyFrom(counted64, -1, kelco_add), 1); // a 64-bit count here
    EXPECT_EQ(wide.getInt(0), int64_t{1} << 33);
    EXPECT_EQ(wide.assign(list), 0); // slot sizes differ
}

TEST(kelListTest, RawCopyIntoASortedListKeepsItSortedAndSearchable)
{
    kelList list(uldt_int32, true);
    list.add(int32_t{4});
    list.add(int32_t{2});
    const int32_t raw[3] = {9, 1, 3};
    EXPECT_EQ(list.copyFrom(raw, sizeof raw, kelco_add), 3);
    EXPECT_EQ(ints(list), (std::vector<int32_t>{1, 2, 3, 4, 9}));
    EXPECT_EQ(list.indexOf(int32_t{9}), 4);

    kelList source(uldt_int32, false);
    for (int32_t v : {7, 5, 6})
        source.add(v);
    EXPECT_EQ(list.assign(source), 3);
    EXPECT_EQ(ints(list), (std::vector<int32_t>{5, 6, 7}));
    EXPECT_EQ(list.indexOf(int32_t{7}), 2);
    EXPECT_EQ(ints(source), (std::vector<int32_t>{7, 5, 6}));
}

TEST(kelListTest, SortedNumberAndPointerKindsOrderByTheirOwnSignedness)
{
    // 32- and 64-bit items order as signed values, pointers as unsigned
    // addresses (one with the top bit set sorts last). Each add returns where
    // the item now sits, and every stored value is found again.
    struct Case
    {
        kelListDataType type;
        std::vector<int64_t> values; // in the order added
        std::vector<int64_t> sortedValues;
    };
    const int64_t top = INT64_MIN + 5; // as a pointer: above every other here
    const Case cases[] = {
        {uldt_int32, {7, -3, 7, INT32_MIN, 0, INT32_MAX, -3}, {INT32_MIN, -3, -3, 0, 7, 7, INT32_MAX}},
        {uldt_int64, {1LL << 40, -(1LL << 40), 5, INT64_MIN, 5}, {INT64_MIN, -(1LL << 40), 5, 5, 1LL << 40}},
        {uldt_ptr, {16, top, 8, 32, 8}, {8, 8, 16, 32, top}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.type));
        kelList list(c.type, true);
        for (const int64_t v : c.values) {
            const intptr_t at = c.type == uldt_int32 ? list.add(static_cast<int32_t>(v)) : list.add(v);
            ASSERT_GE(at, 0);
            EXPECT_EQ(list.getInt(at), c.type == uldt_int32 ? int64_t(int32_t(v)) : v);
        }
        std::vector<int64_t> got;
        for (intptr_t i = 0; i < list.count(); ++i)
            got.push_back(list.getInt(i));
        EXPECT_EQ(got, c.sortedValues);
        for (const int64_t v : c.values) {
            const intptr_t at =
                c.type == uldt_int32 ? list.indexOf(static_cast<int32_t>(v)) : list.indexOf(v);
            ASSERT_GE(at, 0);
            EXPECT_EQ(list.getInt(at), got[size_t(at)]);
            EXPECT_EQ(got[size_t(at)], v);
        }
        EXPECT_EQ(c.type == uldt_int32 ? list.indexOf(int32_t{6}) : list.indexOf(int64_t{6}), -1);
    }
}

TEST(kelListTest, SortedPlainKindsFindWhatTheHalvingThroughCompareFinds)
{
    // The number and pointer kinds search their slots directly. With many
    // equal keys, which of them an add lands beside and which one indexOf
    // reports must still be what the halving through compare() gives.
    class ComparedList : public kelList
    {
    public:
        explicit ComparedList(kelListDataType type) : kelList(type, true) { useCustomOrder(); }
    };
    std::mt19937 rng(7);
    for (const kelListDataType type : {uldt_int32, uldt_int64, uldt_ptr}) {
        SCOPED_TRACE(int(type));
        kelList direct(type, true);
        ComparedList compared(type);
        const auto value = [&](int64_t v) {
            return type == uldt_ptr ? v << 60 : v - 8;
        }; // signs and top bits
        for (int i = 0; i < 600; ++i) {
            const int64_t v = value(int64_t(rng() % 16));
            if (type == uldt_int32)
                ASSERT_EQ(direct.add(int32_t(v)), compared.add(int32_t(v)));
            else
                ASSERT_EQ(direct.add(v), compared.add(v));
            const int64_t probe = value(int64_t(rng() % 17));
            if (type == uldt_int32)
                ASSERT_EQ(direct.indexOf(int32_t(probe)), compared.indexOf(int32_t(probe)));
            else
                ASSERT_EQ(direct.indexOf(probe), compared.indexOf(probe));
        }
        const int64_t absent = type == uldt_ptr ? (int64_t{5} << 60) | 1 : 100;
        EXPECT_EQ(type == uldt_int32 ? direct.indexOf(int32_t(absent)) : direct.indexOf(absent), -1);
    }
}

TEST(kelListTest, RemovingNumbersStillRunsEveryHandlerAndOverride)
{
    // A list of numbers frees nothing, but whoever watches its removals must
    // still see each one: handlers, or a subclass's own removal hook.
    class Watching : public kelList
    {
    public:
        explicit Watching(std::vector<intptr_t>& seen) : kelList(uldt_int64, false), f_seen(seen) {}

    protected:
        void notifyBeforeRemove(intptr_t index) noexcept override { f_seen.push_back(index); }

    private:
        std::vector<intptr_t>& f_seen;
    };
    // removeByIndex(1) on four items, then clear() from the last item down.
    const std::vector<intptr_t> expected{1, 2, 1, 0};
    for (const bool byHandler : {true, false}) {
        SCOPED_TRACE(byHandler ? "handlers" : "override");
        std::vector<intptr_t> removed, released;
        kelList plain(uldt_int64, false);
        Watching watching(removed);
        kelList& list = byHandler ? plain : static_cast<kelList&>(watching);
        if (byHandler) {
            list.setOnItemBeforeRemove([&](intptr_t index) { removed.push_back(index); });
            list.setOnItemRelease([&](intptr_t index, uintptr_t&) { released.push_back(index); });
        }
        for (int64_t v = 1; v <= 4; ++v)
            list.add(v);
        EXPECT_TRUE(list.removeByIndex(1, 0));
        list.clear(0);
        EXPECT_EQ(removed, expected);
        EXPECT_EQ(released, byHandler ? expected : std::vector<intptr_t>{});
        EXPECT_EQ(list.count(), 0);
    }
}

namespace {

// A list whose add, insert and store hooks are its own: it logs each call
// and passes it on.
class HookLog : public kelList
{
public:
    HookLog() : kelList(uldt_int64, false) {}
    std::string f_calls;

protected:
    intptr_t doAdd(void* item) noexcept override
    {
        f_calls += 'a';
        return kelList::doAdd(item);
    }
    intptr_t doInsert(intptr_t index, void* item, bool keepSorted) noexcept override
    {
        f_calls += 'i';
        return kelList::doInsert(index, item, keepSorted);
    }
    bool doSetItem(intptr_t index, void* item, bool clearSorted, uintptr_t doFree) noexcept override
    {
        f_calls += 's';
        return kelList::doSetItem(index, item, clearSorted, doFree);
    }
};

// The shortcuts of an add, a lookup and a removal, against the holds the
// calling thread may have on the list: none, a read hold it upgrades, a write
// hold through lock() it nests in, and a hold nobody recorded (which keeps
// it out). Returns the number of wrong results, each one reported.
int shortcutFaults()
{
    int faults = 0;
    const auto check = [&faults](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "went wrong: %s\n", what);
            ++faults;
        }
    };
    const auto unheld = [](kelList& l) { return l.writeCount() == 0 && l.readCount() == 0; };
    for (const bool sorted : {false, true}) {
        kelList list(uldt_int64, sorted);
        check(list.add(int64_t{30}) == 0 && list.add(int64_t{10}) == (sorted ? 0 : 1), "add when free");
        check(list.getInt(sorted ? 1 : 0) == 30 && list.indexOf(int64_t{10}) == (sorted ? 0 : 1), "lookups");
        check(unheld(list) && list.ownerEntries() == 0, "nothing held after the calls");

        check(list.acquire(true, -1), "read hold");
        check(list.add(int64_t{20}) >= 0 && list.count() == 3, "add upgrades the caller's read hold");
        check(list.readCount() == 1 && list.writeCount() == 0, "the read hold is all that is left");
        check(list.removeByIndex(2, 0) && list.count() == 2, "removal upgrades too");
        list.releaseRO();

        check(list.lock(false, 0), "write hold through lock()");
        check(list.add(int64_t{40}) >= 0 && list.writeCount() == 1, "add nests in the caller's write hold");
        list.unlockWO();
        check(unheld(list), "nothing held after unlock");
    }

    // Overridden hooks run on every add, each once, in their order.
    HookLog log;
    log.add(int64_t{1});
    log.add(int64_t{2});
    check(log.f_calls == "aisais" && log.getInt(1) == 2, "overridden hooks run");

    // A hold without a record (another thread's, for all the list can tell)
    // keeps changes and lookups out. Such a hold cannot be undone, so the
    // list is left behind.
    auto* blocked = new kelList(uldt_int64, false);
    blocked->add(int64_t{5});
    blocked->setTimeout(20);
    blocked->acquire(false);
    check(blocked->get(0) == nullptr && blocked->indexOf(int64_t{5}) == -1, "lookups kept out");
    check(!blocked->removeByIndex(0, 0) && blocked->count() == 1, "removal kept out");
    return faults;
}

} // namespace

TEST(kelListTest, ShortcutsKeepTheLockAndTheHooks)
{
    EXPECT_EQ(shortcutFaults(), 0);
}

// A process that has never had a second thread skips the lock where nothing
// could see it; the same checks run in a fresh process of this program,
// before anything there starts a thread.
TEST(kelListDeathTest, ShortcutsKeepTheLockAndTheHooksInAProcessOfOneThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(shortcutFaults() == 0 ? 0 : 1), testing::ExitedWithCode(0), "");
}
