// Wait-on-mask events: the application selects events and waits for them;
// the reader, the write path and the function's notifications report them.
// Events that occur while no wait is pending are kept for the next wait.
// WaitMaskSyncSpinLock guards the mask, the history and the pending wait;
// requests are completed only after it is released, and whoever takes the
// wait out of CurrentWaitOnMaskRequest completes it.
#include "base/serial/serial.h"

namespace X9TR_DRIVER_NAMESPACE {

namespace {

constexpr ULONG SERIAL_EV_VALID = 0x7FF;

void CompleteWait(WDFREQUEST Request, NTSTATUS Status, ULONG Events)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    *static_cast<PULONG>(requestContext->Buffer) = Events;
    requestContext->Information = sizeof(ULONG);
    requestContext->Status = Status;
    CompleteRequest(Request, Status, requestContext->Information);
}

} // namespace

NTSTATUS SetMask(PDEVICE_CONTEXT Context, ULONG NewMask)
{
    if ((NewMask & ~SERIAL_EV_VALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // A new mask ends the pending wait with no events.
    WdfSpinLockAcquire(Context->WaitMaskSyncSpinLock);
    WDFREQUEST pending = Context->CurrentWaitOnMaskRequest;
    Context->CurrentWaitOnMaskRequest = nullptr;
    WdfSpinLockRelease(Context->WaitMaskSyncSpinLock);
    if (pending != nullptr) {
        ClearCancelRoutine(pending);
        CompleteWait(pending, STATUS_SUCCESS, 0);
    }

    WdfSpinLockAcquire(Context->WaitMaskSyncSpinLock);
    Context->HistoryMask &= NewMask;
    Context->WaitMask = NewMask;
    WdfSpinLockRelease(Context->WaitMaskSyncSpinLock);
    return STATUS_SUCCESS;
}

void StartWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    *static_cast<PULONG>(requestContext->Buffer) = 0;
    requestContext->Information = sizeof(ULONG);

    ULONG history = 0;
    BOOLEAN refused = FALSE;
    BOOLEAN cancelled = FALSE;
    WdfSpinLockAcquire(Context->WaitMaskSyncSpinLock);
    if (Context->WaitMask == 0 || Context->CurrentWaitOnMaskRequest != nullptr) {
        // Nothing to wait for, or one wait already pending.
        refused = TRUE;
    } else if (Context->HistoryMask == 0) {
        if (NT_SUCCESS(SetCancelRoutine(Request, EvtWaitOnMaskCancel))) {
            Context->CurrentWaitOnMaskRequest = Request;
        } else {
            // Cancelled before it could wait: ended below as its cancel routine would.
            cancelled = TRUE;
        }
    } else {
        history = Context->HistoryMask;
        Context->HistoryMask = 0;
    }
    WdfSpinLockRelease(Context->WaitMaskSyncSpinLock);

    if (refused) {
        requestContext->Status = STATUS_INVALID_PARAMETER;
        CompleteRequest(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
    } else if (cancelled) {
        requestContext->Status = STATUS_CANCELLED;
        CompleteRequest(Request, STATUS_CANCELLED, requestContext->Information);
    } else if (history != 0) {
        CompleteWait(Request, STATUS_SUCCESS, history);
    }
}

void CompleteWaitOnMask(PDEVICE_CONTEXT Context, ULONG Events)
{
    WDFREQUEST wait = nullptr;
    ULONG history = 0;
    WdfSpinLockAcquire(Context->WaitMaskSyncSpinLock);
    Context->HistoryMask |= Events & Context->WaitMask;
    if (Context->CurrentWaitOnMaskRequest != nullptr && Context->HistoryMask != 0) {
        wait = Context->CurrentWaitOnMaskRequest;
        history = Context->HistoryMask;
        Context->CurrentWaitOnMaskRequest = nullptr;
        Context->HistoryMask = 0;
    }
    WdfSpinLockRelease(Context->WaitMaskSyncSpinLock);
    if (wait != nullptr) {
        ClearCancelRoutine(wait);
        CompleteWait(wait, STATUS_SUCCESS, history);
    }
}

void CancelWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST)
{
    WdfSpinLockAcquire(Context->WaitMaskSyncSpinLock);
    WDFREQUEST wait = Context->CurrentWaitOnMaskRequest;
    Context->CurrentWaitOnMaskRequest = nullptr;
    WdfSpinLockRelease(Context->WaitMaskSyncSpinLock);
    if (wait == nullptr) {
        return; // completed already
    }
    ClearCancelRoutine(wait);
    PREQUEST_CONTEXT requestContext = GetRequestContext(wait);
    requestContext->Status = STATUS_CANCELLED;
    CompleteRequest(wait, STATUS_CANCELLED, requestContext->Information);
}

void EvtWaitOnMaskCancel(WDFREQUEST Request)
{
    WDFQUEUE queue = WdfRequestGetIoQueue(Request);
    if (queue == nullptr) {
        return;
    }
    CancelWaitOnMask(DeviceGetContext(WdfIoQueueGetDevice(queue)), Request);
}

BOOLEAN StopWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request, ULONG ActionFlags)
{
    if (Request != Context->CurrentWaitOnMaskRequest) {
        return FALSE;
    }
    if ((ActionFlags & WdfRequestStopActionSuspend) != 0) {
        StopOrResumeWaitOnMask(Context, Request, TRUE);
    } else if ((ActionFlags & WdfRequestStopActionPurge) != 0) {
        CancelWaitOnMask(Context, Request);
    }
    return TRUE;
}

BOOLEAN ResumeWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    if (Request != Context->CurrentWaitOnMaskRequest) {
        return FALSE;
    }
    StopOrResumeWaitOnMask(Context, Request, FALSE);
    return TRUE;
}

void StopOrResumeWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request, BOOLEAN Stop)
{
    WDFREQUEST cancelled = nullptr;
    WdfSpinLockAcquire(Context->WaitMaskSyncSpinLock);
    WDFREQUEST wait = Context->CurrentWaitOnMaskRequest;
    if (wait != nullptr) {
        PREQUEST_CONTEXT requestContext = GetRequestContext(wait);
        if (Stop) {
            requestContext->SavedCancelRoutine = requestContext->CancelRoutine;
            ClearCancelRoutine(wait);
            WdfRequestStopAcknowledge(Request, FALSE);
        } else {
            if (requestContext->SavedCancelRoutine != nullptr &&
                !NT_SUCCESS(SetCancelRoutine(wait, requestContext->SavedCancelRoutine))) {
                // Cancelled while the queue was stopped: the wait ends now.
                Context->CurrentWaitOnMaskRequest = nullptr;
                cancelled = wait;
            }
            requestContext->SavedCancelRoutine = nullptr;
        }
    }
    WdfSpinLockRelease(Context->WaitMaskSyncSpinLock);
    if (cancelled != nullptr) {
        PREQUEST_CONTEXT requestContext = GetRequestContext(cancelled);
        requestContext->Status = STATUS_CANCELLED;
        CompleteRequest(cancelled, STATUS_CANCELLED, requestContext->Information);
    }
}

} // namespace X9TR_DRIVER_NAMESPACE
