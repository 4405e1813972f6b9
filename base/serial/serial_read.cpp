// Read requests: the port holds at most one read, CurrentReadRequest, and
// whoever takes it out of there under ReadSyncSpinLock completes it, after
// releasing the lock.
#include "base/serial/serial.h"

#include <algorithm>
#include <cstdint>

namespace X9TR_DRIVER_NAMESPACE {

namespace {

// The longest relative due time the read timers can take, in 100 ns units
// (about 29,000 years): a total time-out of more milliseconds waits that long.
constexpr std::uint64_t kLongestReadTimeoutMs = INT64_MAX / 10000;

LONGLONG RelativeMs(std::uint64_t milliseconds)
{
    return -static_cast<LONGLONG>(std::min(milliseconds, kLongestReadTimeoutMs)) * 10000;
}

} // namespace

void EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, std::size_t Length)
{
    PDEVICE_CONTEXT context = DeviceGetContext(WdfIoQueueGetDevice(Queue));
    if (RejectIfErrorAbort(context, Request) != STATUS_SUCCESS) {
        return;
    }
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->RequestType = static_cast<ULONG>(parameters.Type);
    requestContext->Length = static_cast<ULONG>(Length);
    requestContext->Status = STATUS_SUCCESS;
    requestContext->Information = 0;
    StartIoRead(context, Request);
}

void StartIoRead(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    PVOID buffer = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, requestContext->Length, &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        requestContext->Status = status;
        CompleteRequest(Request, status, 0);
        return;
    }
    requestContext->Buffer = buffer;
    CancelTimer(Context->ReadRequestTotalTimer);
    CancelTimer(Context->ReadRequestIntervalTimer);

    // The time-outs of this read, from the port's SERIAL_TIMEOUTS.
    const ULONG interval = Context->Timeouts.ReadIntervalTimeout;
    const ULONG multiplier = Context->Timeouts.ReadTotalTimeoutMultiplier;
    const ULONG constant = Context->Timeouts.ReadTotalTimeoutConstant;
    BOOLEAN useTotal = FALSE;
    BOOLEAN useInterval = FALSE;
    BOOLEAN returnWithWhatsPresent = FALSE;
    BOOLEAN os2ssreturn = FALSE;
    BOOLEAN crunchDownToOne = FALSE;
    ULONG multiplierUsed = 0;
    requestContext->IntervalTime = 0;
    if (interval != 0 && interval != MAXULONG) {
        useInterval = TRUE;
        requestContext->IntervalTime = RelativeMs(interval);
    }
    if (interval == MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            returnWithWhatsPresent = TRUE;
        } else if (constant != MAXULONG) {
            useTotal = TRUE;
            os2ssreturn = TRUE;
            if (multiplier == MAXULONG) {
                crunchDownToOne = TRUE;
            } else {
                multiplierUsed = multiplier;
            }
        }
    } else if (multiplier != 0 || constant != 0) {
        useTotal = TRUE;
        multiplierUsed = multiplier;
    }
    LONGLONG totalTime = 0;
    if (useTotal) {
        // ULONG times ULONG plus ULONG fits in 64 unsigned bits.
        totalTime = RelativeMs(static_cast<std::uint64_t>(multiplierUsed) * requestContext->Length + constant);
    }

    BOOLEAN waiting = FALSE;
    BOOLEAN cancelled = FALSE;
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    // Buffered data first, oldest memory first.
    while (requestContext->Length > requestContext->Information) {
        WDFMEMORY memory = static_cast<WDFMEMORY>(WdfCollectionGetFirstItem(Context->Usb.ReadMemoryCollection));
        if (memory == nullptr) {
            break;
        }
        PUSB_MEMORY_CONTEXT memoryContext = GetUsbMemoryContext(memory);
        const ULONG wanted = requestContext->Length - static_cast<ULONG>(requestContext->Information);
        const ULONG n = std::min(memoryContext->Length, wanted);
        WdfMemoryCopyToBuffer(memory, memoryContext->Offset, static_cast<PUCHAR>(buffer) + requestContext->Information,
                              n);
        memoryContext->Length -= n;
        memoryContext->Offset += n;
        requestContext->Information += n;
        if (memoryContext->Length == 0) {
            WdfCollectionRemove(Context->Usb.ReadMemoryCollection, memory);
            WdfCollectionAdd(Context->Usb.FreeReadMemoryCollection, memory);
        }
    }
    if (!returnWithWhatsPresent && requestContext->Length > requestContext->Information &&
        (!os2ssreturn || requestContext->Information == 0)) {
        if (crunchDownToOne) {
            requestContext->Length = 1;
        }
        if (NT_SUCCESS(SetCancelRoutine(Request, EvtIoReadCancel))) {
            if (useTotal) {
                SetTimer(Context->ReadRequestTotalTimer, totalTime);
            }
            if (useInterval) {
                SetTimer(Context->ReadRequestIntervalTimer, requestContext->IntervalTime);
            }
            Context->CurrentReadRequest = Request;
            waiting = TRUE;
        } else {
            // Cancelled before it could wait: it ends with what it has.
            cancelled = TRUE;
        }
    }
    WdfSpinLockRelease(Context->ReadSyncSpinLock);

    // Memories freed above may let new bulk-in reads go out.
    KickUsbRead(Context);
    if (waiting) {
        return;
    }
    requestContext->Status = cancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
    CompleteRequest(Request, requestContext->Status, requestContext->Information);
}

void EvtIoReadStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    PDEVICE_CONTEXT context = DeviceGetContext(WdfIoQueueGetDevice(Queue));
    if ((ActionFlags & WdfRequestStopActionSuspend) != 0) {
        StopOrResumeIoRead(context, Request, TRUE);
    } else if ((ActionFlags & WdfRequestStopActionPurge) != 0) {
        CancelIoRead(context, Request, STATUS_CANCELLED);
    }
}

void EvtIoReadResume(WDFQUEUE Queue, WDFREQUEST Request)
{
    StopOrResumeIoRead(DeviceGetContext(WdfIoQueueGetDevice(Queue)), Request, FALSE);
}

void StopOrResumeIoRead(PDEVICE_CONTEXT Context, WDFREQUEST Request, BOOLEAN Stop)
{
    WDFREQUEST cancelled = nullptr;
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    WDFREQUEST current = Context->CurrentReadRequest;
    if (current != nullptr) {
        PREQUEST_CONTEXT requestContext = GetRequestContext(current);
        if (Stop) {
            requestContext->SavedCancelRoutine = requestContext->CancelRoutine;
            ClearCancelRoutine(current);
            WdfRequestStopAcknowledge(Request, FALSE);
        } else {
            if (requestContext->SavedCancelRoutine != nullptr &&
                !NT_SUCCESS(SetCancelRoutine(current, requestContext->SavedCancelRoutine))) {
                // Cancelled while the queue was stopped: the read ends now.
                Context->CurrentReadRequest = nullptr;
                cancelled = current;
            }
            requestContext->SavedCancelRoutine = nullptr;
        }
    }
    WdfSpinLockRelease(Context->ReadSyncSpinLock);
    if (cancelled != nullptr) {
        CancelTimer(Context->ReadRequestIntervalTimer);
        CancelTimer(Context->ReadRequestTotalTimer);
        PREQUEST_CONTEXT requestContext = GetRequestContext(cancelled);
        requestContext->Status = STATUS_CANCELLED;
        CompleteRequest(cancelled, STATUS_CANCELLED, requestContext->Information);
    }
}

void CancelIoRead(PDEVICE_CONTEXT Context, WDFREQUEST, NTSTATUS Status)
{
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    WDFREQUEST current = Context->CurrentReadRequest;
    Context->CurrentReadRequest = nullptr;
    WdfSpinLockRelease(Context->ReadSyncSpinLock);
    if (current == nullptr) {
        return;
    }
    ClearCancelRoutine(current);
    CancelTimer(Context->ReadRequestIntervalTimer);
    CancelTimer(Context->ReadRequestTotalTimer);
    PREQUEST_CONTEXT requestContext = GetRequestContext(current);
    requestContext->Status = Status;
    // The bytes delivered so far stay delivered.
    CompleteRequest(current, Status, requestContext->Information);
}

void EvtIoReadCancel(WDFREQUEST Request)
{
    WDFQUEUE queue = WdfRequestGetIoQueue(Request);
    if (queue == nullptr) {
        return;
    }
    CancelIoRead(DeviceGetContext(WdfIoQueueGetDevice(queue)), Request, STATUS_CANCELLED);
}

} // namespace X9TR_DRIVER_NAMESPACE

namespace X9TR_DRIVER_NAMESPACE {

// The read timers are children of the device; their expiry ends the held
// read with STATUS_TIMEOUT (a success) and the bytes it has.
void EvtReadRequestTotalTimerFunc(WDFTIMER Timer)
{
    PDEVICE_CONTEXT context = DeviceGetContext(static_cast<WDFDEVICE>(WdfTimerGetParentObject(Timer)));
    CancelIoRead(context, nullptr, STATUS_TIMEOUT);
}

void EvtReadRequestIntervalTimerFunc(WDFTIMER Timer)
{
    PDEVICE_CONTEXT context = DeviceGetContext(static_cast<WDFDEVICE>(WdfTimerGetParentObject(Timer)));
    CancelIoRead(context, nullptr, STATUS_TIMEOUT);
}

} // namespace X9TR_DRIVER_NAMESPACE
