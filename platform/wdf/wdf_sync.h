// Wait locks (passive level, may be waited for with a time-out) and spin
// locks. The verifier checks that a lock is released by the context that
// holds it, never acquired twice by one context, and that nothing waits while
// a spin lock is held.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
// Timeout: null waits without limit; otherwise a relative time in 100 ns
// units (negative, as the kernel writes it), 0 for a try. STATUS_TIMEOUT
// when the lock could not be had in time.
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
void WdfWaitLockRelease(WDFWAITLOCK Lock);

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
void WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
void WdfSpinLockRelease(WDFSPINLOCK SpinLock);
