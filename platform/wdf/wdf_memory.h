// Framework memory objects: a buffer of fixed size from a pool, with its pool
// tag, or a driver's own buffer described by a memory object. Copies in and
// out are checked against the buffer's bounds.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         std::size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer);
NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     std::size_t BufferSize, WDFMEMORY* Memory);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, std::size_t* BufferSize);
// STATUS_BUFFER_TOO_SMALL when the range lies outside the memory; nothing is copied then.
NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, std::size_t SourceOffset, PVOID Buffer,
                               std::size_t NumBytesToCopyTo);
NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, std::size_t DestinationOffset,
                                 PVOID Buffer, std::size_t NumBytesToCopyFrom);

namespace platform::wdf {
// Pool facts of a memory object, for tests and the verifier.
struct MemoryFacts {
    POOL_TYPE PoolType;
    ULONG PoolTag;
    bool Preallocated;
};
bool GetMemoryFacts(WDFMEMORY Memory, MemoryFacts* facts);
} // namespace platform::wdf
