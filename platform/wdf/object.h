// The framework object model inside the platform: every framework object is
// an Object held by the ObjectTable and reached through a handle that carries
// the slot's generation, so a stale handle is recognised instead of followed.
//
// Life of an object: created with a reference count of one (the reference
// that WdfObjectDelete gives up) and a reference on its parent. Deletion
// deletes the children first (newest first), runs the object's cleanup
// callback, detaches it from its parent and drops the creation reference.
// When the last reference goes the destroy callback runs, the contexts are
// freed, the parent's reference is dropped and the handle becomes stale.
#pragma once

#include "platform/verifier/verifier.h"
#include "platform/wdf/wdf_types.h"

#include <array>
#include <list>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::wdf {

enum class ObjectKind {
    Generic,
    Driver,
    Device,
    Collection,
    Memory,
    String,
    RegistryKey,
    WaitLock,
    SpinLock,
    Queue,
    Request,
    Timer,
    WorkItem,
    IoTarget,
    UsbDevice,
    UsbInterface,
    UsbPipe,
    ChildList,
    FileObject,
    WmiProvider,
    WmiInstance,
};

const char* ObjectKindName(ObjectKind kind);

class Object {
public:
    explicit Object(ObjectKind kind);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    enum class State { Alive, Deleting, Deleted };

    ObjectKind Kind() const { return kind_; }
    WDFOBJECT Handle() const { return handle_; }
    Object* Parent() const { return parent_; }
    // The framework driver object this object belongs to, or null for an
    // object a test made outside any driver.
    Object* OwnerDriver() const { return ownerDriver_; }
    State CurrentState() const { return state_; }
    bool IsDeleted() const { return state_ != State::Alive; }
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope() const { return synchronizationScope_; }
    WDF_EXECUTION_LEVEL ExecutionLevel() const { return executionLevel_; }

    // False for objects whose deletion the framework itself controls.
    bool DriverMayDelete() const { return driverMayDelete_; }
    void SetDriverMayDelete(bool value) { driverMayDelete_ = value; }

    PVOID FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const;
    NTSTATUS AddContext(const WDF_OBJECT_ATTRIBUTES& attributes, PVOID* context);
    void AddCallbacks(const WDF_OBJECT_ATTRIBUTES& attributes);

    // What happens to the object's own resources when it is deleted (before
    // the cleanup callback) and when its memory goes.
    virtual void OnDelete() {}
    virtual void OnDestroy() {}

private:
    friend class ObjectTable;

    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO Type;
        std::unique_ptr<std::max_align_t[]> Storage;
    };
    struct Callbacks {
        PFN_WDF_OBJECT_CONTEXT_CLEANUP Cleanup;
        PFN_WDF_OBJECT_CONTEXT_DESTROY Destroy;
    };

    ObjectKind kind_;
    WDFOBJECT handle_ = nullptr;
    Object* parent_ = nullptr;
    Object* ownerDriver_ = nullptr;
    std::list<Object*> children_;
    std::list<Object*>::iterator sibling_; // this object's place in its parent's children_
    std::atomic<long> references_{1};
    State state_ = State::Alive;
    bool driverMayDelete_ = true;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope_ = WdfSynchronizationScopeNone;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelPassive;
    std::vector<Context> contexts_;
    std::vector<Callbacks> callbacks_;
    std::uint32_t slot_ = 0;
};

// The table of live objects. One per platform.
class ObjectTable {
public:
    ObjectTable();
    ~ObjectTable();
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    // Enters a new object under Attributes (parent, context, callbacks,
    // scope). Without a parent the object belongs to the driver whose code is
    // running, or to nothing outside a driver. On failure the object is gone.
    NTSTATUS Insert(std::unique_ptr<Object> object, const WDF_OBJECT_ATTRIBUTES* attributes,
                    Object* defaultParent = nullptr);

    // The object behind a handle. Reports to the verifier and returns null
    // for a stale or foreign handle, a handle of another kind (unless Kind is
    // Generic) and, unless AllowDeleted, an object already deleted.
    Object* Resolve(WDFOBJECT handle, ObjectKind kind, const char* operation, bool allowDeleted = false);

    template <class T>
    T* ResolveAs(WDFOBJECT handle, ObjectKind kind, const char* operation, bool allowDeleted = false)
    {
        return static_cast<T*>(Resolve(handle, kind, operation, allowDeleted));
    }

    // The object behind a handle, or null for a stale handle or one of
    // another kind; reports nothing (for the framework's own deferred work).
    Object* Lookup(WDFOBJECT handle, ObjectKind kind) const;

    void Delete(Object& object);
    void Reference(Object& object);
    void Dereference(Object& object, const char* operation);

    // Objects still in the table that belong to Driver (all objects for null).
    std::vector<Object*> LiveObjects(const Object* driver) const;
    std::size_t Count() const;

private:
    struct Slot {
        std::atomic<std::uint32_t> Generation{1};
        std::atomic<Object*> Entry{nullptr};
        std::unique_ptr<Object> Owned;
    };
    static constexpr std::size_t kChunk = 1024;
    using Chunk = std::array<Slot, kChunk>;
    // Slots for at most this many chunks (4M objects alive at once).
    static constexpr std::size_t kMaxChunks = 4096;

    // The slot of an index below used_; null past the chunks made. Needs no lock.
    Slot* SlotAt(std::uint32_t index) const;
    void DeleteTree(Object& object);
    void Destroy(Object& object);
    static WDFOBJECT MakeHandle(std::uint32_t index, std::uint32_t generation);

    mutable std::mutex mutex_;
    // Every framework call resolves a handle, so the lookup takes no lock: a
    // chunk never moves once made, its address is published in a table of
    // fixed size, and used_ grows only over slots already published. The
    // slots' own fields are atomics. The lock guards making chunks, the free
    // list and the parent-child links.
    std::unique_ptr<std::atomic<Chunk*>[]> chunkTable_;
    std::vector<std::unique_ptr<Chunk>> chunks_; // owns what chunkTable_ points to
    std::vector<std::uint32_t> free_;
    std::atomic<std::uint32_t> used_{0};
    std::size_t live_ = 0;
};

// The framework driver whose code is running in this context (set by the
// platform around every call into a driver).
Object* CurrentDriver();

class DriverScope {
public:
    explicit DriverScope(Object* driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    Object* previous_;
};

// Runs a driver callback for Object with Object's driver current.
template <class Fn>
void InvokeDriverCallback(const Object& object, Fn&& fn)
{
    DriverScope scope(object.OwnerDriver());
    fn();
}

} // namespace platform::wdf
