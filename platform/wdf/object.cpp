// The object table, object lifetimes and the generic object operations.
#include "platform/wdf/object.h"

#include "platform/platform.h"
#include "platform/wdf/wdf_object.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace platform::wdf {

namespace {

thread_local Object* currentDriver = nullptr;

// Context pointers back to their objects, for WdfObjectContextGetObject.
std::mutex contextMapMutex;
std::unordered_map<const void*, Object*> contextOwners;

std::string Describe(const Object& object)
{
    char text[96];
    std::snprintf(text, sizeof(text), "%s object %p", ObjectKindName(object.Kind()), object.Handle());
    return text;
}

} // namespace

const char* ObjectKindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Generic: return "generic";
    case ObjectKind::Driver: return "driver";
    case ObjectKind::Device: return "device";
    case ObjectKind::Collection: return "collection";
    case ObjectKind::Memory: return "memory";
    case ObjectKind::String: return "string";
    case ObjectKind::RegistryKey: return "registry key";
    case ObjectKind::WaitLock: return "wait lock";
    case ObjectKind::SpinLock: return "spin lock";
    case ObjectKind::Queue: return "queue";
    case ObjectKind::Request: return "request";
    case ObjectKind::Timer: return "timer";
    case ObjectKind::WorkItem: return "work item";
    case ObjectKind::IoTarget: return "I/O target";
    case ObjectKind::UsbDevice: return "USB device";
    case ObjectKind::UsbInterface: return "USB interface";
    case ObjectKind::UsbPipe: return "USB pipe";
    case ObjectKind::ChildList: return "child list";
    case ObjectKind::FileObject: return "file object";
    case ObjectKind::WmiProvider: return "WMI provider";
    case ObjectKind::WmiInstance: return "WMI instance";
    }
    return "object";
}

Object* CurrentDriver() { return currentDriver; }

DriverScope::DriverScope(Object* driver) : previous_(currentDriver) { currentDriver = driver; }
DriverScope::~DriverScope() { currentDriver = previous_; }

Object::Object(ObjectKind kind) : kind_(kind) {}

Object::~Object()
{
    if (contexts_.empty()) {
        return;
    }
    std::lock_guard lock(contextMapMutex);
    for (const auto& context : contexts_) {
        contextOwners.erase(context.Storage.get());
    }
}

PVOID Object::FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const
{
    if (type == nullptr) {
        return nullptr;
    }
    const auto* unique = type->UniqueType != nullptr ? type->UniqueType : type;
    for (const auto& context : contexts_) {
        if (context.Type == unique) {
            return context.Storage.get();
        }
    }
    return nullptr;
}

NTSTATUS Object::AddContext(const WDF_OBJECT_ATTRIBUTES& attributes, PVOID* context)
{
    const auto* type = attributes.ContextTypeInfo;
    if (type == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* unique = type->UniqueType != nullptr ? type->UniqueType : type;
    if (FindContext(unique) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (attributes.ContextSizeOverride != 0 && attributes.ContextSizeOverride < type->ContextSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::size_t bytes = std::max<std::size_t>({type->ContextSize, attributes.ContextSizeOverride, 1});
    const std::size_t units = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    Context added{unique, std::make_unique_for_overwrite<std::max_align_t[]>(units)};
    void* storage = added.Storage.get();
    // Contexts start zeroed, padding included.
    std::memset(storage, 0, units * sizeof(std::max_align_t));
    contexts_.push_back(std::move(added));
    {
        std::lock_guard lock(contextMapMutex);
        contextOwners[storage] = this;
    }
    if (context != nullptr) {
        *context = storage;
    }
    return STATUS_SUCCESS;
}

void Object::AddCallbacks(const WDF_OBJECT_ATTRIBUTES& attributes)
{
    if (attributes.EvtCleanupCallback != nullptr || attributes.EvtDestroyCallback != nullptr) {
        callbacks_.push_back(Callbacks{attributes.EvtCleanupCallback, attributes.EvtDestroyCallback});
    }
}

ObjectTable::ObjectTable() : chunkTable_(std::make_unique<std::atomic<Chunk*>[]>(kMaxChunks)) {}
ObjectTable::~ObjectTable() = default;

WDFOBJECT ObjectTable::MakeHandle(std::uint32_t index, std::uint32_t generation)
{
    static_assert(sizeof(std::uintptr_t) == 8, "handles carry a 32-bit index and a 32-bit generation");
    const std::uintptr_t value = (static_cast<std::uintptr_t>(generation) << 32) | (index + 1u);
    return reinterpret_cast<WDFOBJECT>(value);
}

ObjectTable::Slot* ObjectTable::SlotAt(std::uint32_t index) const
{
    const std::size_t chunk = index / kChunk;
    if (chunk >= kMaxChunks) {
        return nullptr;
    }
    Chunk* slots = chunkTable_[chunk].load(std::memory_order_acquire);
    return slots != nullptr ? &(*slots)[index % kChunk] : nullptr;
}

NTSTATUS ObjectTable::Insert(std::unique_ptr<Object> object, const WDF_OBJECT_ATTRIBUTES* attributes,
                             Object* defaultParent)
{
    Object* parent = defaultParent != nullptr ? defaultParent : CurrentDriver();
    if (attributes != nullptr && attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        GetVerifier().Report(VerifierRule::InvalidParameter, "object attributes with a wrong Size");
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        parent = Resolve(attributes->ParentObject, ObjectKind::Generic, "ParentObject");
        if (parent == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (parent != nullptr && parent->IsDeleted()) {
        GetVerifier().Report(VerifierRule::UseAfterDelete, "an object was created under a deleted parent");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (attributes != nullptr) {
        if (attributes->ContextTypeInfo != nullptr) {
            const NTSTATUS status = object->AddContext(*attributes, nullptr);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        object->AddCallbacks(*attributes);
    }

    // Scope and level come from the attributes or are inherited from the parent.
    const WDF_SYNCHRONIZATION_SCOPE scope =
        attributes != nullptr ? attributes->SynchronizationScope : WdfSynchronizationScopeInheritFromParent;
    const WDF_EXECUTION_LEVEL level =
        attributes != nullptr ? attributes->ExecutionLevel : WdfExecutionLevelInheritFromParent;
    object->synchronizationScope_ = scope == WdfSynchronizationScopeInheritFromParent || scope == WdfSynchronizationScopeInvalid
                                        ? (parent != nullptr ? parent->synchronizationScope_ : WdfSynchronizationScopeNone)
                                        : scope;
    object->executionLevel_ = level == WdfExecutionLevelInheritFromParent || level == WdfExecutionLevelInvalid
                                  ? (parent != nullptr ? parent->executionLevel_ : WdfExecutionLevelPassive)
                                  : level;

    object->parent_ = parent;
    if (object->kind_ == ObjectKind::Driver) {
        object->ownerDriver_ = object.get();
    } else if (parent != nullptr) {
        object->ownerDriver_ = parent->ownerDriver_;
    }

    Object* raw = object.get();
    {
        std::lock_guard lock(mutex_);
        std::uint32_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            index = used_.load(std::memory_order_relaxed);
            if (index / kChunk >= chunks_.size()) {
                if (chunks_.size() == kMaxChunks) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                chunks_.push_back(std::make_unique<Chunk>());
                chunkTable_[chunks_.size() - 1].store(chunks_.back().get(), std::memory_order_release);
            }
            used_.store(index + 1, std::memory_order_release);
        }
        Slot* slot = SlotAt(index);
        raw->slot_ = index;
        raw->handle_ = MakeHandle(index, slot->Generation.load());
        slot->Owned = std::move(object);
        slot->Entry.store(raw);
        ++live_;
        if (parent != nullptr) {
            raw->sibling_ = parent->children_.insert(parent->children_.end(), raw);
        }
    }
    if (parent != nullptr) {
        parent->references_.fetch_add(1);
    }
    return STATUS_SUCCESS;
}

Object* ObjectTable::Resolve(WDFOBJECT handle, ObjectKind kind, const char* operation, bool allowDeleted)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const auto index = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(value >> 32);
    Slot* slot = nullptr;
    if (index != 0 && index - 1 < used_.load(std::memory_order_acquire)) {
        slot = SlotAt(index - 1);
    }
    if (slot == nullptr || generation == 0 || generation > slot->Generation.load()) {
        GetVerifier().Report(VerifierRule::InvalidHandle,
                             std::string(operation) + " was given a value that is no framework handle");
        return nullptr;
    }
    Object* object = slot->Entry.load();
    if (generation != slot->Generation.load() || object == nullptr) {
        GetVerifier().Report(VerifierRule::UseAfterDelete,
                             std::string(operation) + " was given the handle of an object already deleted");
        return nullptr;
    }
    if (kind != ObjectKind::Generic && object->Kind() != kind) {
        GetVerifier().Report(VerifierRule::WrongObjectType,
                             std::string(operation) + " takes a " + ObjectKindName(kind) + " handle, not a " +
                                 ObjectKindName(object->Kind()) + " handle");
        return nullptr;
    }
    if (!allowDeleted && object->IsDeleted()) {
        GetVerifier().Report(VerifierRule::UseAfterDelete,
                             std::string(operation) + " used " + Describe(*object) + " after it was deleted");
        return nullptr;
    }
    return object;
}

Object* ObjectTable::Lookup(WDFOBJECT handle, ObjectKind kind) const
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const auto index = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(value >> 32);
    std::lock_guard lock(mutex_);
    if (index == 0 || index - 1 >= used_) {
        return nullptr;
    }
    const Slot* slot = SlotAt(index - 1);
    Object* object = slot->Entry.load();
    if (object == nullptr || slot->Generation.load() != generation || (kind != ObjectKind::Generic && object->Kind() != kind)) {
        return nullptr;
    }
    return object;
}

void ObjectTable::Delete(Object& object)
{
    if (object.IsDeleted()) {
        GetVerifier().Report(VerifierRule::DoubleDelete, Describe(object) + " was deleted twice");
        return;
    }
    DeleteTree(object);
}

void ObjectTable::DeleteTree(Object& object)
{
    object.state_ = Object::State::Deleting;
    // Children go first, the newest first, so that each child's cleanup still
    // finds its parent whole.
    std::vector<Object*> children;
    {
        std::lock_guard lock(mutex_);
        children.assign(object.children_.begin(), object.children_.end());
    }
    // A deleted child's memory (a string's text, a buffer) stays until its
    // parent's cleanup has run, as the parent's cleanup may still read it.
    std::vector<Object*> held;
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (!(*it)->IsDeleted()) {
            Reference(**it);
            held.push_back(*it);
            DeleteTree(**it);
        }
    }
    object.OnDelete();
    for (const auto& callbacks : object.callbacks_) {
        if (callbacks.Cleanup != nullptr) {
            InvokeDriverCallback(object, [&] { callbacks.Cleanup(object.Handle()); });
        }
    }
    for (Object* child : held) {
        Dereference(*child, "the parent's cleanup");
    }
    object.state_ = Object::State::Deleted;
    if (Object* parent = object.parent_) {
        std::lock_guard lock(mutex_);
        parent->children_.erase(object.sibling_);
    }
    Dereference(object, "delete");
}

void ObjectTable::Reference(Object& object) { object.references_.fetch_add(1); }

void ObjectTable::Dereference(Object& object, const char* operation)
{
    const long before = object.references_.load();
    // While an object lives, its creation reference is the framework's, not a driver's.
    if (before <= (object.IsDeleted() ? 0 : 1) && std::string_view(operation) != "delete") {
        GetVerifier().Report(VerifierRule::ReferenceUnderflow,
                             std::string(operation) + " dropped a reference on " + Describe(object) +
                                 " that nobody took");
        return;
    }
    if (object.references_.fetch_sub(1) == 1) {
        Destroy(object);
    }
}

void ObjectTable::Destroy(Object& object)
{
    for (const auto& callbacks : object.callbacks_) {
        if (callbacks.Destroy != nullptr) {
            InvokeDriverCallback(object, [&] { callbacks.Destroy(object.Handle()); });
        }
    }
    object.OnDestroy();
    Object* parent = object.parent_;
    std::unique_ptr<Object> owned;
    {
        std::lock_guard lock(mutex_);
        Slot* slot = SlotAt(object.slot_);
        slot->Entry.store(nullptr);
        slot->Generation.fetch_add(1);
        if (slot->Generation.load() == 0) {
            slot->Generation.store(1);
        }
        owned = std::move(slot->Owned);
        free_.push_back(object.slot_);
        --live_;
    }
    owned.reset();
    if (parent != nullptr) {
        Dereference(*parent, "delete");
    }
}

std::vector<Object*> ObjectTable::LiveObjects(const Object* driver) const
{
    std::lock_guard lock(mutex_);
    std::vector<Object*> live;
    for (std::uint32_t index = 0; index < used_; ++index) {
        Object* object = SlotAt(index)->Entry.load();
        if (object != nullptr && (driver == nullptr || object->OwnerDriver() == driver)) {
            live.push_back(object);
        }
    }
    return live;
}

std::size_t ObjectTable::Count() const
{
    std::lock_guard lock(mutex_);
    return live_;
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Object;
using platform::wdf::ObjectKind;

namespace {

platform::wdf::ObjectTable& Objects() { return Platform::Current().Objects(); }

} // namespace

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Handle)
{
    if (Handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Handle = nullptr;
    if (auto failure = Platform::Current().Faults().Take("WdfObjectCreate")) {
        return *failure;
    }
    auto object = std::make_unique<Object>(ObjectKind::Generic);
    Object* raw = object.get();
    const NTSTATUS status = Objects().Insert(std::move(object), Attributes);
    if (NT_SUCCESS(status)) {
        *Handle = raw->Handle();
    }
    return status;
}

void WdfObjectDelete(WDFOBJECT Handle)
{
    Object* object = Objects().Resolve(Handle, ObjectKind::Generic, "WdfObjectDelete", true);
    if (object == nullptr) {
        return;
    }
    if (!object->DriverMayDelete()) {
        platform::GetVerifier().Report(platform::VerifierRule::NotDeletable,
                                       std::string("WdfObjectDelete on a ") + ObjectKindName(object->Kind()) +
                                           " object, whose deletion the framework controls");
        return;
    }
    Objects().Delete(*object);
}

void WdfObjectReference(WDFOBJECT Handle) { WdfObjectReferenceWithTag(Handle, nullptr); }

void WdfObjectDereference(WDFOBJECT Handle) { WdfObjectDereferenceWithTag(Handle, nullptr); }

void WdfObjectReferenceWithTag(WDFOBJECT Handle, PVOID)
{
    if (Object* object = Objects().Resolve(Handle, ObjectKind::Generic, "WdfObjectReference", true)) {
        Objects().Reference(*object);
    }
}

void WdfObjectDereferenceWithTag(WDFOBJECT Handle, PVOID)
{
    if (Object* object = Objects().Resolve(Handle, ObjectKind::Generic, "WdfObjectDereference", true)) {
        Objects().Dereference(*object, "WdfObjectDereference");
    }
}

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    // A deleted object's context stays readable while references keep it.
    Object* object = Objects().Resolve(Handle, ObjectKind::Generic, "WdfObjectGetTypedContext", true);
    return object != nullptr ? object->FindContext(TypeInfo) : nullptr;
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context)
{
    if (ContextAttributes == nullptr || Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = nullptr;
    Object* object = Objects().Resolve(Handle, ObjectKind::Generic, "WdfObjectAllocateContext");
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    const NTSTATUS status = object->AddContext(*ContextAttributes, Context);
    if (NT_SUCCESS(status)) {
        object->AddCallbacks(*ContextAttributes);
    }
    return status;
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    std::lock_guard lock(platform::wdf::contextMapMutex);
    const auto found = platform::wdf::contextOwners.find(ContextPointer);
    if (found == platform::wdf::contextOwners.end()) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfObjectContextGetObject was given no context pointer");
        return nullptr;
    }
    return found->second->Handle();
}
