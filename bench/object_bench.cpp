// Framework object and collection throughput of the platform layer:
//   - generic objects with a small typed context, created and deleted one at a time;
//   - a parent with N children, built and then deleted as one tree;
//   - a collection: one object added and removed again, with K other items
//     already in it (WdfCollectionRemove looks the item up by handle);
//   - a collection filled with N items, then emptied from the front with
//     WdfCollectionRemoveItem(0).
//
// Every framework benchmark has a BM_Baseline_* twin doing the equivalent work
// with plain C++ (std::make_unique, std::vector push/find/erase) on the same
// counts. Absolute figures move with the machine and its load; the ratio of a
// framework figure to its baseline from the same run is what to compare
// between runs and between revisions.
//
// Each framework benchmark makes its own Platform, deletes everything it
// created before that Platform goes, and fails (instead of printing a figure)
// when the verifier reported anything meanwhile, leaks included.
#include "bench/verifier_watch.h"

#include "platform/platform.h"
#include "platform/wdf.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using x9tr::bench::VerifierWatch;

// A context of the size drivers typically hang on a small object.
struct BENCH_OBJECT_CONTEXT {
    ULONG Sequence;
    ULONG Flags;
    PVOID Owner;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BENCH_OBJECT_CONTEXT, GetBenchObjectContext)

// The arguments of the size-dependent benchmarks: small enough to run in a
// short --benchmark_min_time, large enough that a cost growing faster than N
// shows in the fitted complexity.
void SizeArguments(benchmark::internal::Benchmark* bench)
{
    bench->RangeMultiplier(8)->Range(8, 4096)->Complexity();
}

// Generic objects with a context, created without a parent, then deleted.
NTSTATUS CreateContextObject(WDFOBJECT parent, WDFOBJECT* object)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<BENCH_OBJECT_CONTEXT>(&attributes);
    attributes.ParentObject = parent;
    return WdfObjectCreate(&attributes, object);
}

// ---- Create and delete one object ---------------------------------------

void BM_ObjectCreateDelete(benchmark::State& state)
{
    VerifierWatch watch(state);
    platform::Platform world;

    // Once, untimed: the object really carries a zeroed context of the type.
    {
        WDFOBJECT object = nullptr;
        if (!NT_SUCCESS(CreateContextObject(nullptr, &object))) {
            state.SkipWithError("WdfObjectCreate failed");
            return;
        }
        const BENCH_OBJECT_CONTEXT* context = GetBenchObjectContext(object);
        const bool good = context != nullptr && context->Sequence == 0 && context->Owner == nullptr;
        WdfObjectDelete(object);
        if (!good) {
            state.SkipWithError("the object has no zeroed context");
            return;
        }
    }

    for (auto _ : state) {
        WDFOBJECT object = nullptr;
        const NTSTATUS status = CreateContextObject(nullptr, &object);
        benchmark::DoNotOptimize(object);
        if (!NT_SUCCESS(status)) {
            state.SkipWithError("WdfObjectCreate failed");
            break;
        }
        WdfObjectDelete(object);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ObjectCreateDelete);

void BM_Baseline_UniquePtrCreateDelete(benchmark::State& state)
{
    for (auto _ : state) {
        auto context = std::make_unique<BENCH_OBJECT_CONTEXT>(); // zeroed, as the framework's
        benchmark::DoNotOptimize(context.get());
        context.reset();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_UniquePtrCreateDelete);

// ---- A parent with N children, deleted as one tree ------------------------

// Items are objects: the parent and its N children, each created and deleted.
void BM_ObjectTreeCreateDelete(benchmark::State& state)
{
    VerifierWatch watch(state);
    platform::Platform world;
    const auto children = static_cast<std::size_t>(state.range(0));

    for (auto _ : state) {
        WDFOBJECT parent = nullptr;
        if (!NT_SUCCESS(CreateContextObject(nullptr, &parent))) {
            state.SkipWithError("WdfObjectCreate of the parent failed");
            break;
        }
        bool failed = false;
        for (std::size_t i = 0; i < children; ++i) {
            WDFOBJECT child = nullptr;
            if (!NT_SUCCESS(CreateContextObject(parent, &child))) {
                failed = true;
                break;
            }
            benchmark::DoNotOptimize(child);
        }
        WdfObjectDelete(parent); // the children go with it
        if (failed) {
            state.SkipWithError("WdfObjectCreate of a child failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(children + 1));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ObjectTreeCreateDelete)->Apply(SizeArguments);

void BM_Baseline_UniquePtrTreeCreateDelete(benchmark::State& state)
{
    struct Node {
        BENCH_OBJECT_CONTEXT Context{};
        std::vector<std::unique_ptr<Node>> Children;
    };
    const auto children = static_cast<std::size_t>(state.range(0));

    for (auto _ : state) {
        auto parent = std::make_unique<Node>();
        for (std::size_t i = 0; i < children; ++i) {
            parent->Children.push_back(std::make_unique<Node>());
            benchmark::DoNotOptimize(parent->Children.back().get());
        }
        // Newest first, as the framework deletes children.
        while (!parent->Children.empty()) {
            parent->Children.pop_back();
        }
        parent.reset();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(children + 1));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Baseline_UniquePtrTreeCreateDelete)->Apply(SizeArguments);

// ---- Collection: add one object and remove it, K items already in ---------

// Items are add-and-remove pairs.
void BM_CollectionAddRemove(benchmark::State& state)
{
    VerifierWatch watch(state);
    platform::Platform world;
    const auto others = static_cast<std::size_t>(state.range(0));

    WDFCOLLECTION collection = nullptr;
    if (!NT_SUCCESS(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection))) {
        state.SkipWithError("WdfCollectionCreate failed");
        return;
    }
    // Others + 1 objects: the ones that stay in the collection and the one that comes and goes.
    std::vector<WDFOBJECT> objects(others + 1, nullptr);
    bool ready = true;
    for (std::size_t i = 0; i < objects.size() && ready; ++i) {
        ready = NT_SUCCESS(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &objects[i])) &&
                (i == others || NT_SUCCESS(WdfCollectionAdd(collection, objects[i])));
    }
    const WDFOBJECT item = objects.back();

    if (!ready) {
        state.SkipWithError("setting up the collection failed");
    } else {
        for (auto _ : state) {
            if (!NT_SUCCESS(WdfCollectionAdd(collection, item))) {
                state.SkipWithError("WdfCollectionAdd failed");
                break;
            }
            WdfCollectionRemove(collection, item);
        }
        if (WdfCollectionGetCount(collection) != others) {
            state.SkipWithError("WdfCollectionRemove left the item in the collection");
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetComplexityN(state.range(0));

    WdfObjectDelete(collection); // lets go of the items still in it
    for (WDFOBJECT object : objects) {
        if (object != nullptr) {
            WdfObjectDelete(object);
        }
    }
}
BENCHMARK(BM_CollectionAddRemove)->Arg(0);
BENCHMARK(BM_CollectionAddRemove)->Apply(SizeArguments);

void BM_Baseline_VectorPushFindErase(benchmark::State& state)
{
    const auto others = static_cast<std::size_t>(state.range(0));
    std::vector<std::unique_ptr<int>> owned;
    std::vector<int*> items;
    for (std::size_t i = 0; i <= others; ++i) {
        owned.push_back(std::make_unique<int>(0));
    }
    for (std::size_t i = 0; i < others; ++i) {
        items.push_back(owned[i].get());
    }
    int* const item = owned.back().get();

    for (auto _ : state) {
        items.push_back(item);
        benchmark::DoNotOptimize(items.data());
        const auto found = std::find(items.begin(), items.end(), item);
        if (found != items.end()) {
            items.erase(found);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Baseline_VectorPushFindErase)->Arg(0);
BENCHMARK(BM_Baseline_VectorPushFindErase)->Apply(SizeArguments);

// ---- Collection: add N, then remove them all from the front ---------------

// Items are objects added and removed again.
void BM_CollectionAddThenRemoveFront(benchmark::State& state)
{
    VerifierWatch watch(state);
    platform::Platform world;
    const auto count = static_cast<std::size_t>(state.range(0));

    WDFCOLLECTION collection = nullptr;
    if (!NT_SUCCESS(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection))) {
        state.SkipWithError("WdfCollectionCreate failed");
        return;
    }
    std::vector<WDFOBJECT> objects(count, nullptr);
    bool ready = true;
    for (std::size_t i = 0; i < count && ready; ++i) {
        ready = NT_SUCCESS(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &objects[i]));
    }

    if (!ready) {
        state.SkipWithError("creating the objects failed");
    } else {
        for (auto _ : state) {
            bool added = true;
            for (WDFOBJECT object : objects) {
                if (!NT_SUCCESS(WdfCollectionAdd(collection, object))) {
                    added = false;
                    break;
                }
            }
            for (ULONG left = WdfCollectionGetCount(collection); left > 0; --left) {
                WdfCollectionRemoveItem(collection, 0);
            }
            if (!added) {
                state.SkipWithError("WdfCollectionAdd failed");
                break;
            }
        }
        if (WdfCollectionGetCount(collection) != 0) {
            state.SkipWithError("the collection is not empty after removing every item");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
    state.SetComplexityN(state.range(0));

    WdfObjectDelete(collection);
    for (WDFOBJECT object : objects) {
        if (object != nullptr) {
            WdfObjectDelete(object);
        }
    }
}
BENCHMARK(BM_CollectionAddThenRemoveFront)->Apply(SizeArguments);

void BM_Baseline_VectorPushErase(benchmark::State& state)
{
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::unique_ptr<int>> owned;
    for (std::size_t i = 0; i < count; ++i) {
        owned.push_back(std::make_unique<int>(0));
    }
    std::vector<int*> items;

    for (auto _ : state) {
        for (const auto& object : owned) {
            items.push_back(object.get());
        }
        benchmark::DoNotOptimize(items.data());
        while (!items.empty()) {
            items.erase(items.begin());
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Baseline_VectorPushErase)->Apply(SizeArguments);

} // namespace
