#pragma once
// kelList against a std::vector guarded by a std::mutex, one lock per
// operation on both sides: appending, removing from the end and the front,
// linear lookup and sorted insertion of 64-bit values. Included by the two
// list benchmark programs, which differ only in the threads their process
// has.

#include "core/kelList.h"
#include "kelBenchRatios.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

namespace {

constexpr int kItems = 1024;

// The reference: a vector behind a mutex, each call locking once.
class LockedVector
{
public:
    void add(int64_t v)
    {
        std::lock_guard lock(f_mutex);
        f_items.push_back(v);
    }
    void addSorted(int64_t v)
    {
        std::lock_guard lock(f_mutex);
        f_items.insert(std::upper_bound(f_items.begin(), f_items.end(), v), v);
    }
    bool removeLast()
    {
        std::lock_guard lock(f_mutex);
        if (f_items.empty()) return false;
        f_items.pop_back();
        return true;
    }
    bool removeFirst()
    {
        std::lock_guard lock(f_mutex);
        if (f_items.empty()) return false;
        f_items.erase(f_items.begin());
        return true;
    }
    intptr_t indexOf(int64_t v)
    {
        std::lock_guard lock(f_mutex);
        const auto it = std::find(f_items.begin(), f_items.end(), v);
        return it == f_items.end() ? -1 : it - f_items.begin();
    }
    void clear()
    {
        std::lock_guard lock(f_mutex);
        f_items.clear();
    }

private:
    std::mutex f_mutex;
    std::vector<int64_t> f_items;
};

std::vector<int64_t> randomValues()
{
    std::mt19937_64 rng(42);
    std::vector<int64_t> values(kItems);
    for (auto& v : values)
        v = static_cast<int64_t>(rng() >> 1);
    return values;
}

void addKel(benchmark::State& state)
{
    kelList list(uldt_int64, false);
    for (auto _ : state) {
        for (int64_t i = 0; i < kItems; ++i)
            list.add(i);
        list.clear(0);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

void addVector(benchmark::State& state)
{
    LockedVector list;
    for (auto _ : state) {
        for (int64_t i = 0; i < kItems; ++i)
            list.add(i);
        list.clear();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

// Times only the draining: each round refills the list untimed, then calls
// removeOne until it reports that nothing is left.
template <class List, class RemoveOne>
void timeDraining(benchmark::State& state, List& list, RemoveOne removeOne)
{
    for (auto _ : state) {
        state.PauseTiming();
        for (int64_t i = 0; i < kItems; ++i)
            list.add(i);
        state.ResumeTiming();
        while (removeOne()) {
        }
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

void removeLastKel(benchmark::State& state)
{
    kelList list(uldt_int64, false);
    timeDraining(state, list, [&list] { return list.removeByIndex(list.count() - 1, 0); });
}

void removeLastVector(benchmark::State& state)
{
    LockedVector list;
    timeDraining(state, list, [&list] { return list.removeLast(); });
}

void removeFirstKel(benchmark::State& state)
{
    kelList list(uldt_int64, false);
    timeDraining(state, list, [&list] { return list.removeFromEdge(true); });
}

void removeFirstVector(benchmark::State& state)
{
    LockedVector list;
    timeDraining(state, list, [&list] { return list.removeFirst(); });
}

// Looks up the stored values in a scattered order.
template <class List> void timeIndexOf(benchmark::State& state, List& list)
{
    const auto values = randomValues();
    for (int64_t v : values)
        list.add(v);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.indexOf(values[next]));
        next = (next + 97) % values.size();
    }
}

void indexOfKel(benchmark::State& state)
{
    kelList list(uldt_int64, false);
    timeIndexOf(state, list);
}

void indexOfVector(benchmark::State& state)
{
    LockedVector list;
    timeIndexOf(state, list);
}

void sortedInsertKel(benchmark::State& state)
{
    kelList list(uldt_int64, true);
    const auto values = randomValues();
    for (auto _ : state) {
        for (int64_t v : values)
            list.add(v);
        list.clear(0);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

void sortedInsertVector(benchmark::State& state)
{
    LockedVector list;
    const auto values = randomValues();
    for (auto _ : state) {
        for (int64_t v : values)
            list.addSorted(v);
        list.clear();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

} // namespace

BENCHMARK(addKel)->Name("add1024/kelList");
BENCHMARK(addVector)->Name("add1024/std::vector+mutex");
BENCHMARK(removeLastKel)->Name("removeLast1024/kelList");
BENCHMARK(removeLastVector)->Name("removeLast1024/std::vector+mutex");
BENCHMARK(removeFirstKel)->Name("removeFirst1024/kelList");
BENCHMARK(removeFirstVector)->Name("removeFirst1024/std::vector+mutex");
BENCHMARK(indexOfKel)->Name("indexOf1024/kelList");
BENCHMARK(indexOfVector)->Name("indexOf1024/std::vector+mutex");
BENCHMARK(sortedInsertKel)->Name("sortedInsert1024/kelList");
BENCHMARK(sortedInsertVector)->Name("sortedInsert1024/std::vector+mutex");
