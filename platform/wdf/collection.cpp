// Framework collections.
#include "platform/platform.h"
#include "platform/wdf/wdf_collection.h"

#include <algorithm>
#include <deque>

namespace platform::wdf {
namespace {

class Collection final : public Object {
public:
    Collection() : Object(ObjectKind::Collection) {}

    // A deque: drivers use a collection as a queue (take the first item,
    // add at the end), and taking the first of a vector moves all the others.
    std::deque<Object*> Items;

    // A deleted collection lets go of what it holds.
    void OnDelete() override
    {
        auto items = std::move(Items);
        Items.clear();
        for (Object* item : items) {
            Platform::Current().Objects().Dereference(*item, "WdfCollection delete");
        }
    }
};

Collection* Resolve(WDFCOLLECTION handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Collection>(handle, ObjectKind::Collection, operation);
}

} // namespace
} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Collection;
using platform::wdf::Object;
using platform::wdf::ObjectKind;

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* CollectionHandle)
{
    if (CollectionHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *CollectionHandle = nullptr;
    if (auto failure = Platform::Current().Faults().Take("WdfCollectionCreate")) {
        return *failure;
    }
    auto collection = std::make_unique<Collection>();
    Collection* raw = collection.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(collection), CollectionAttributes);
    if (NT_SUCCESS(status)) {
        *CollectionHandle = static_cast<WDFCOLLECTION>(raw->Handle());
    }
    return status;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION CollectionHandle)
{
    Collection* collection = platform::wdf::Resolve(CollectionHandle, "WdfCollectionGetCount");
    return collection != nullptr ? static_cast<ULONG>(collection->Items.size()) : 0;
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION CollectionHandle, WDFOBJECT ObjectHandle)
{
    Collection* collection = platform::wdf::Resolve(CollectionHandle, "WdfCollectionAdd");
    if (collection == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    auto& objects = Platform::Current().Objects();
    Object* item = objects.Resolve(ObjectHandle, ObjectKind::Generic, "WdfCollectionAdd");
    if (item == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfCollectionAdd")) {
        return *failure;
    }
    objects.Reference(*item);
    collection->Items.push_back(item);
    return STATUS_SUCCESS;
}

void WdfCollectionRemove(WDFCOLLECTION CollectionHandle, WDFOBJECT Item)
{
    Collection* collection = platform::wdf::Resolve(CollectionHandle, "WdfCollectionRemove");
    if (collection == nullptr) {
        return;
    }
    auto found = std::find_if(collection->Items.begin(), collection->Items.end(),
                              [Item](const Object* object) { return object->Handle() == Item; });
    if (found == collection->Items.end()) {
        return; // not in the collection: nothing to remove
    }
    Object* item = *found;
    collection->Items.erase(found);
    Platform::Current().Objects().Dereference(*item, "WdfCollectionRemove");
}

void WdfCollectionRemoveItem(WDFCOLLECTION CollectionHandle, ULONG Index)
{
    Collection* collection = platform::wdf::Resolve(CollectionHandle, "WdfCollectionRemoveItem");
    if (collection == nullptr) {
        return;
    }
    if (Index >= collection->Items.size()) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfCollectionRemoveItem with an index past the end");
        return;
    }
    Object* item = collection->Items[Index];
    collection->Items.erase(collection->Items.begin() + Index);
    Platform::Current().Objects().Dereference(*item, "WdfCollectionRemoveItem");
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION CollectionHandle, ULONG Index)
{
    Collection* collection = platform::wdf::Resolve(CollectionHandle, "WdfCollectionGetItem");
    if (collection == nullptr || Index >= collection->Items.size()) {
        return nullptr;
    }
    return collection->Items[Index]->Handle();
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION CollectionHandle)
{
    return WdfCollectionGetItem(CollectionHandle, 0);
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION CollectionHandle)
{
    Collection* collection = platform::wdf::Resolve(CollectionHandle, "WdfCollectionGetLastItem");
    if (collection == nullptr || collection->Items.empty()) {
        return nullptr;
    }
    return collection->Items.back()->Handle();
}
