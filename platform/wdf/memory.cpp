// Framework memory objects.
#include "platform/platform.h"
#include "platform/wdf/memory_object.h"
#include "platform/wdf/wdf_memory.h"

#include <algorithm>

#include <cstring>

namespace platform::wdf {
namespace {

// Fresh pool memory is filled with this byte, so that a driver reading what
// it never wrote sees the same, recognisable bytes on every run.
constexpr unsigned char kFreshPoolFill = 0xA5;

class Memory final : public Object {
public:
    Memory() : Object(ObjectKind::Memory) {}

    std::unique_ptr<std::byte[]> Owned;
    std::byte* Buffer = nullptr;
    std::size_t Size = 0;
    MemoryFacts Facts{};
};

Memory* Resolve(WDFMEMORY handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Memory>(handle, ObjectKind::Memory, operation);
}

bool InBounds(const Memory& memory, std::size_t offset, std::size_t count)
{
    return offset <= memory.Size && count <= memory.Size - offset;
}

} // namespace

NTSTATUS CreateMemoryObject(PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent,
                            std::span<const std::byte> contents, ULONG poolTag, WDFMEMORY* handle)
{
    auto memory = std::make_unique<Memory>();
    memory->Owned = std::make_unique_for_overwrite<std::byte[]>(std::max<std::size_t>(contents.size(), 1));
    if (!contents.empty()) {
        std::memcpy(memory->Owned.get(), contents.data(), contents.size());
    }
    memory->Buffer = memory->Owned.get();
    memory->Size = contents.size();
    memory->Facts = {NonPagedPool, poolTag, false};
    Memory* raw = memory.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(memory), attributes, defaultParent);
    if (NT_SUCCESS(status)) {
        *handle = static_cast<WDFMEMORY>(raw->Handle());
    }
    return status;
}

bool GetMemoryFacts(WDFMEMORY handle, MemoryFacts* facts)
{
    Memory* memory = Resolve(handle, "GetMemoryFacts");
    if (memory == nullptr) {
        return false;
    }
    *facts = memory->Facts;
    return true;
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Memory;

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         std::size_t BufferSize, WDFMEMORY* MemoryHandle, PVOID* Buffer)
{
    if (MemoryHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *MemoryHandle = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfMemoryCreate")) {
        return *failure;
    }
    auto memory = std::make_unique<Memory>();
    memory->Owned = std::make_unique_for_overwrite<std::byte[]>(BufferSize);
    std::memset(memory->Owned.get(), platform::wdf::kFreshPoolFill, BufferSize);
    memory->Buffer = memory->Owned.get();
    memory->Size = BufferSize;
    memory->Facts = {PoolType, PoolTag, false};
    Memory* raw = memory.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(memory), Attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *MemoryHandle = static_cast<WDFMEMORY>(raw->Handle());
    if (Buffer != nullptr) {
        *Buffer = raw->Buffer;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, std::size_t BufferSize,
                                     WDFMEMORY* MemoryHandle)
{
    if (MemoryHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *MemoryHandle = nullptr;
    if (Buffer == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfMemoryCreatePreallocated")) {
        return *failure;
    }
    auto memory = std::make_unique<Memory>();
    memory->Buffer = static_cast<std::byte*>(Buffer);
    memory->Size = BufferSize;
    memory->Facts = {NonPagedPool, 0, true};
    Memory* raw = memory.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(memory), Attributes);
    if (NT_SUCCESS(status)) {
        *MemoryHandle = static_cast<WDFMEMORY>(raw->Handle());
    }
    return status;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY MemoryHandle, std::size_t* BufferSize)
{
    Memory* memory = platform::wdf::Resolve(MemoryHandle, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) {
        *BufferSize = memory != nullptr ? memory->Size : 0;
    }
    return memory != nullptr ? memory->Buffer : nullptr;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, std::size_t SourceOffset, PVOID Buffer,
                               std::size_t NumBytesToCopyTo)
{
    Memory* memory = platform::wdf::Resolve(SourceMemory, "WdfMemoryCopyToBuffer");
    if (memory == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!platform::wdf::InBounds(*memory, SourceOffset, NumBytesToCopyTo)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(Buffer, memory->Buffer + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, std::size_t DestinationOffset, PVOID Buffer,
                                 std::size_t NumBytesToCopyFrom)
{
    Memory* memory = platform::wdf::Resolve(DestinationMemory, "WdfMemoryCopyFromBuffer");
    if (memory == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!platform::wdf::InBounds(*memory, DestinationOffset, NumBytesToCopyFrom)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(memory->Buffer + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}
