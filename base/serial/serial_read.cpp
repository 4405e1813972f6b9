// Read requests: the port holds at most one read, CurrentReadRequest, and
// whoever takes it out of there under ReadSyncSpinLock completes it, after
// releasing the lock.
#include "base/serial/serial.h"

namespace X9TR_DRIVER_NAMESPACE {

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
