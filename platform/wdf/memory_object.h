// Inside the platform: memory objects the framework itself fills (string
// queries and the like), which may be empty.
#pragma once

#include "platform/wdf/object.h"
#include "platform/wdf/wdf_memory.h"

#include <span>

namespace platform::wdf {

NTSTATUS CreateMemoryObject(PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent,
                            std::span<const std::byte> contents, ULONG poolTag, WDFMEMORY* memory);

} // namespace platform::wdf
