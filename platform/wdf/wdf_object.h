// Framework object operations common to every object: generic objects,
// deletion, references, contexts.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
void WdfObjectDelete(WDFOBJECT Object);
void WdfObjectReference(WDFOBJECT Handle);
void WdfObjectDereference(WDFOBJECT Handle);
void WdfObjectReferenceWithTag(WDFOBJECT Handle, PVOID Tag);
void WdfObjectDereferenceWithTag(WDFOBJECT Handle, PVOID Tag);
// Adds a context of another type to an existing object.
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context);
// The object a context belongs to.
WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer);
