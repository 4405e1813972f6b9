// Wait locks and spin locks. Ownership is kept per execution context: the
// test's thread and every dispatched event are contexts of their own. On the
// virtual dispatcher all contexts share one thread, so a lock held by another
// context of the same thread belongs to code suspended below the caller in a
// wait: it cannot be released before the caller returns, and waiting for it
// is a deadlock the verifier reports. Contexts on other threads (the
// real-time dispatcher) are waited for.
#include "platform/platform.h"
#include "platform/wdf/wdf_sync.h"

#include <condition_variable>
#include <thread>

namespace platform::wdf {
namespace {

class Lock : public Object {
public:
    explicit Lock(ObjectKind kind) : Object(kind) {}

    std::mutex Mutex;
    std::condition_variable Released;
    std::uint64_t OwnerContext = 0;
    std::thread::id OwnerThread;
    int Depth = 0;
    // Contexts of other threads waiting for the release. A release with
    // none (always so on the virtual dispatcher) has nobody to wake.
    int Waiters = 0;
};

enum class Take { Acquired, Recursion, Deadlock, TimedOut };

// Tries to make the current context the owner; waits for another thread's
// release when Wait allows it.
Take TakeLock(Lock& lock, bool mayWait)
{
    const std::uint64_t self = ExecutionContext::Current().Id;
    std::unique_lock guard(lock.Mutex);
    if (lock.Depth > 0 && lock.OwnerContext == self) {
        ++lock.Depth;
        return Take::Recursion;
    }
    if (lock.Depth > 0 && lock.OwnerThread == std::this_thread::get_id()) {
        return Take::Deadlock;
    }
    if (lock.Depth > 0) {
        if (!mayWait) {
            return Take::TimedOut;
        }
        ++lock.Waiters;
        lock.Released.wait(guard, [&] { return lock.Depth == 0; });
        --lock.Waiters;
    }
    lock.OwnerContext = self;
    lock.OwnerThread = std::this_thread::get_id();
    lock.Depth = 1;
    return Take::Acquired;
}

bool GiveLock(Lock& lock, const char* operation)
{
    const std::uint64_t self = ExecutionContext::Current().Id;
    bool waiters = false;
    {
        std::lock_guard guard(lock.Mutex);
        if (lock.Depth == 0 || lock.OwnerContext != self) {
            GetVerifier().Report(VerifierRule::LockNotOwned,
                                 std::string(operation) + " released a lock that this context does not hold");
            return false;
        }
        if (--lock.Depth > 0) {
            return true;
        }
        lock.OwnerContext = 0;
        waiters = lock.Waiters > 0;
    }
    if (waiters) {
        lock.Released.notify_one();
    }
    return true;
}

template <class Handle>
NTSTATUS CreateLock(ObjectKind kind, PWDF_OBJECT_ATTRIBUTES attributes, Handle* handle, const char* operation)
{
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = nullptr;
    if (auto failure = Platform::Current().Faults().Take(operation)) {
        return *failure;
    }
    auto lock = std::make_unique<Lock>(kind);
    Lock* raw = lock.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(lock), attributes);
    if (NT_SUCCESS(status)) {
        *handle = static_cast<Handle>(raw->Handle());
    }
    return status;
}

} // namespace
} // namespace platform::wdf

using platform::ExecutionContext;
using platform::GetVerifier;
using platform::Platform;
using platform::VerifierRule;
using platform::wdf::Lock;
using platform::wdf::ObjectKind;
using platform::wdf::Take;

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* WaitLock)
{
    return platform::wdf::CreateLock(ObjectKind::WaitLock, LockAttributes, WaitLock, "WdfWaitLockCreate");
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK WaitLock, PLONGLONG Timeout)
{
    Lock* lock = Platform::Current().Objects().ResolveAs<Lock>(WaitLock, ObjectKind::WaitLock, "WdfWaitLockAcquire");
    if (lock == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    const bool isTry = Timeout != nullptr && *Timeout == 0;
    if (!isTry && ExecutionContext::Current().SpinLocksHeld > 0) {
        GetVerifier().Report(VerifierRule::WaitAtRaisedLevel, "WdfWaitLockAcquire may wait while a spin lock is held");
    }
    switch (platform::wdf::TakeLock(*lock, Timeout == nullptr)) {
    case Take::Acquired:
        return STATUS_SUCCESS;
    case Take::Recursion:
        GetVerifier().Report(VerifierRule::LockRecursion, "WdfWaitLockAcquire of a wait lock this context holds");
        return STATUS_SUCCESS;
    case Take::Deadlock:
        if (Timeout != nullptr) {
            // Nobody can release it within the time-out: the time passes.
            const platform::Ticks wait = *Timeout < 0 ? -*Timeout : 0;
            auto& dispatcher = Platform::Current().Dispatcher();
            dispatcher.WaitUntil([] { return false; }, dispatcher.Now() + wait);
            return STATUS_TIMEOUT;
        }
        GetVerifier().Report(VerifierRule::Deadlock,
                             "WdfWaitLockAcquire waits for a lock held by code that is waiting itself");
        return STATUS_SUCCESS;
    case Take::TimedOut:
        return STATUS_TIMEOUT;
    }
    return STATUS_SUCCESS;
}

void WdfWaitLockRelease(WDFWAITLOCK WaitLock)
{
    Lock* lock = Platform::Current().Objects().ResolveAs<Lock>(WaitLock, ObjectKind::WaitLock, "WdfWaitLockRelease");
    if (lock != nullptr) {
        platform::wdf::GiveLock(*lock, "WdfWaitLockRelease");
    }
}

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    return platform::wdf::CreateLock(ObjectKind::SpinLock, SpinLockAttributes, SpinLock, "WdfSpinLockCreate");
}

void WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    Lock* lock = Platform::Current().Objects().ResolveAs<Lock>(SpinLock, ObjectKind::SpinLock, "WdfSpinLockAcquire");
    if (lock == nullptr) {
        return;
    }
    switch (platform::wdf::TakeLock(*lock, true)) {
    case Take::Acquired:
        ++ExecutionContext::Current().SpinLocksHeld;
        return;
    case Take::Recursion:
        // On a real machine the processor spins for ever here.
        GetVerifier().Report(VerifierRule::LockRecursion, "WdfSpinLockAcquire of a spin lock this context holds");
        return;
    case Take::Deadlock:
    case Take::TimedOut:
        GetVerifier().Report(VerifierRule::Deadlock,
                             "WdfSpinLockAcquire spins on a lock held by code that is waiting itself");
        return;
    }
}

void WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    Lock* lock = Platform::Current().Objects().ResolveAs<Lock>(SpinLock, ObjectKind::SpinLock, "WdfSpinLockRelease");
    if (lock == nullptr) {
        return;
    }
    const bool wasOuter = [&] {
        std::lock_guard guard(lock->Mutex);
        return lock->Depth == 1 && lock->OwnerContext == ExecutionContext::Current().Id;
    }();
    if (platform::wdf::GiveLock(*lock, "WdfSpinLockRelease") && wasOuter) {
        --ExecutionContext::Current().SpinLocksHeld;
    }
}
