// Framework collections: ordered lists of object handles. A collection holds
// a reference on every object in it and drops it on removal or deletion.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(WDFCOLLECTION Collection);
NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object);
void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item);
void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index);
// Null for an index past the end.
WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection);
