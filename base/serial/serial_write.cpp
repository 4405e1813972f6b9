// Writes and the immediate character: each write goes as it stands, without
// a copy, to the function's bulk OUT pipe and is completed when the device
// has taken it; a transfer of a whole number of packets ends with a
// zero-length packet. WriteRequestCollection holds what is with the device.
#include "base/serial/serial.h"

namespace X9TR_DRIVER_NAMESPACE {

namespace {

PDEVICE_CONTEXT QueueContext(WDFQUEUE Queue) { return DeviceGetContext(WdfIoQueueGetDevice(Queue)); }

// The write time-out in force for a transfer of Length bytes, in 100 ns
// units (relative), or 0 for none.
LONGLONG WriteTimeout(PDEVICE_CONTEXT Context, ULONG Length)
{
    const ULONGLONG multiplier = Context->Timeouts.WriteTotalTimeoutMultiplier;
    const ULONGLONG constant = Context->Timeouts.WriteTotalTimeoutConstant;
    if (multiplier == 0 && constant == 0) {
        return 0;
    }
    return static_cast<LONGLONG>(Length * multiplier + constant) * -10000;
}

void RemoveWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    WdfCollectionRemove(Context->Usb.WriteRequestCollection, Request);
    WdfSpinLockRelease(Context->WriteSyncSpinLock);
}

BOOLEAN InWriteCollection(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    const ULONG count = WdfCollectionGetCount(Context->Usb.WriteRequestCollection);
    for (ULONG i = 0; i < count; ++i) {
        if (WdfCollectionGetItem(Context->Usb.WriteRequestCollection, i) == Request) {
            return TRUE;
        }
    }
    return FALSE;
}

// A write or an immediate character the port holds, suspended (the transfer
// stays with the device) or purged (the transfer is cancelled).
void StopHeldWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request, ULONG ActionFlags)
{
    if ((ActionFlags & WdfRequestStopActionSuspend) != 0) {
        StopOrResumeIoWrite(Context, Request, TRUE);
    } else if ((ActionFlags & WdfRequestStopActionPurge) != 0) {
        CancelIoWrite(Context, Request);
    }
}

BOOLEAN SendWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request, LONGLONG Timeout)
{
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    if (Timeout != 0) {
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, Timeout);
    }
    return WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(Context->Usb.BulkOutputPipe), &options);
}

} // namespace

void EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, std::size_t Length)
{
    PDEVICE_CONTEXT context = QueueContext(Queue);
    if (RejectIfErrorAbort(context, Request) != STATUS_SUCCESS) {
        return;
    }
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->RequestType = SERIAL_REQUEST_WRITE;
    requestContext->Length = static_cast<ULONG>(Length);
    requestContext->Status = STATUS_SUCCESS;
    requestContext->Information = 0;
    if (Length == 0) {
        CompleteRequest(Request, STATUS_SUCCESS, 0);
        return;
    }
    StartIoWrite(context, Request);
}

void StartIoWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    WDFMEMORY memory = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputMemory(Request, &memory);
    if (!NT_SUCCESS(status)) {
        CompleteRequest(Request, status, 0);
        return;
    }
    const ULONG packet = Context->Usb.BulkOutputMaxPacketSize;
    requestContext->SendZeroLengthPacket = packet != 0 && requestContext->Length % packet == 0 ? TRUE : FALSE;

    status = WdfUsbTargetPipeFormatRequestForWrite(Context->Usb.BulkOutputPipe, Request, memory, nullptr);
    if (!NT_SUCCESS(status)) {
        CompleteRequest(Request, status, 0);
        return;
    }
    WdfRequestSetCompletionRoutine(Request, EvtRequestWriteCompletionRoutine, Context);
    const LONGLONG timeout = WriteTimeout(Context, requestContext->Length);

    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    status = WdfCollectionAdd(Context->Usb.WriteRequestCollection, Request);
    WdfSpinLockRelease(Context->WriteSyncSpinLock);
    if (!NT_SUCCESS(status)) {
        CompleteRequest(Request, status, 0);
        return;
    }
    if (!SendWrite(Context, Request, timeout)) {
        status = WdfRequestGetStatus(Request);
        RemoveWrite(Context, Request);
        CompleteRequest(Request, status, 0);
    }
}

void EvtRequestWriteCompletionRoutine(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params,
                                      WDFCONTEXT DeviceContext)
{
    auto context = static_cast<PDEVICE_CONTEXT>(DeviceContext);
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    const NTSTATUS transfer = Params->IoStatus.Status;
    ULONG written = 0;
    if (NT_SUCCESS(transfer)) {
        const std::size_t length = Params->Parameters.Usb.Completion != nullptr
                                       ? Params->Parameters.Usb.Completion->Parameters.PipeWrite.Length
                                       : Params->IoStatus.Information;
        written = static_cast<ULONG>(length < requestContext->Length ? length : requestContext->Length);
    }

    WdfSpinLockAcquire(context->SyncSpinLock);
    context->PerfStats.TransmittedCount += written;
    context->WmiPerfData.TransmittedCount += written;
    WdfSpinLockRelease(context->SyncSpinLock);

    requestContext->Information += written;
    requestContext->Status = transfer;

    if (NT_SUCCESS(transfer) && requestContext->SendZeroLengthPacket) {
        // A transfer of whole packets is ended by a zero-length one.
        requestContext->SendZeroLengthPacket = FALSE;
        NTSTATUS status = WdfUsbTargetPipeFormatRequestForWrite(context->Usb.BulkOutputPipe, Request, nullptr, nullptr);
        if (NT_SUCCESS(status)) {
            WdfRequestSetCompletionRoutine(Request, EvtRequestWriteCompletionRoutine, context);
            // The packet's time-out counts it as one byte, with the values now in force.
            if (SendWrite(context, Request, WriteTimeout(context, 1))) {
                return;
            }
            status = WdfRequestGetStatus(Request);
        }
        requestContext->Status = status;
    }

    RemoveWrite(context, Request);
    CompleteRequest(Request, requestContext->Status, requestContext->Information);

    WdfSpinLockAcquire(context->WriteSyncSpinLock);
    const ULONG inFlight = WdfCollectionGetCount(context->Usb.WriteRequestCollection);
    WdfSpinLockRelease(context->WriteSyncSpinLock);
    if (IsIoQueueIdle(context->WriteIoQueue) && inFlight == 0) {
        CompleteWaitOnMask(context, SERIAL_EV_TXEMPTY);
    }
}

void StartImmediateChar(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Information = 0;
    requestContext->Length = 1;
    if (FindRequestImmediateChar(Context) != nullptr) {
        requestContext->Status = STATUS_INVALID_PARAMETER;
        CompleteRequest(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    // Past the write queue and any XOFF hold: the character goes out now.
    StartIoWrite(Context, Request);
}

WDFREQUEST FindRequestImmediateChar(PDEVICE_CONTEXT Context)
{
    WDFREQUEST found = nullptr;
    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    const ULONG count = WdfCollectionGetCount(Context->Usb.WriteRequestCollection);
    for (ULONG i = 0; i < count && found == nullptr; ++i) {
        auto request = static_cast<WDFREQUEST>(WdfCollectionGetItem(Context->Usb.WriteRequestCollection, i));
        PREQUEST_CONTEXT requestContext = GetRequestContext(request);
        if (requestContext->RequestType == SERIAL_REQUEST_DEVICE_CONTROL &&
            requestContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR) {
            found = request;
        }
    }
    WdfSpinLockRelease(Context->WriteSyncSpinLock);
    return found;
}

void EvtIoWriteStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    StopHeldWrite(QueueContext(Queue), Request, ActionFlags);
}

void EvtIoWriteResume(WDFQUEUE Queue, WDFREQUEST Request)
{
    StopOrResumeIoWrite(QueueContext(Queue), Request, FALSE);
}

BOOLEAN StopImmediateChar(PDEVICE_CONTEXT Context, WDFREQUEST Request, ULONG ActionFlags)
{
    if (Request == nullptr || Request != FindRequestImmediateChar(Context)) {
        return FALSE;
    }
    StopHeldWrite(Context, Request, ActionFlags);
    return TRUE;
}

BOOLEAN ResumeImmediateChar(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    if (Request == nullptr || Request != FindRequestImmediateChar(Context)) {
        return FALSE;
    }
    StopOrResumeIoWrite(Context, Request, FALSE);
    return TRUE;
}

BOOLEAN StopOrResumeIoWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request, BOOLEAN Stop)
{
    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    const BOOLEAN found = InWriteCollection(Context, Request);
    if (found && Stop) {
        // The transfer stays with the device.
        WdfRequestStopAcknowledge(Request, FALSE);
    }
    WdfSpinLockRelease(Context->WriteSyncSpinLock);
    return found;
}

BOOLEAN CancelIoWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    const BOOLEAN found = InWriteCollection(Context, Request);
    if (found) {
        // Kept alive until the cancel call has returned.
        WdfObjectReference(Request);
    }
    WdfSpinLockRelease(Context->WriteSyncSpinLock);
    if (!found) {
        return FALSE;
    }
    const BOOLEAN cancelled = WdfRequestCancelSentRequest(Request);
    WdfObjectDereference(Request);
    return cancelled;
}

NTSTATUS PurgeIoWriteRequest(PDEVICE_CONTEXT Context)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    WDFCOLLECTION collected = nullptr;
    NTSTATUS status = WdfCollectionCreate(&attributes, &collected);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    const ULONG count = WdfCollectionGetCount(Context->Usb.WriteRequestCollection);
    for (ULONG i = 0; i < count; ++i) {
        WDFOBJECT request = WdfCollectionGetItem(Context->Usb.WriteRequestCollection, i);
        status = WdfCollectionAdd(collected, request);
        if (NT_SUCCESS(status)) {
            WdfObjectReference(request);
        }
    }
    WdfSpinLockRelease(Context->WriteSyncSpinLock);

    // Cancelled transfers complete through the write completion routine.
    const ULONG taken = WdfCollectionGetCount(collected);
    for (ULONG i = 0; i < taken; ++i) {
        auto request = static_cast<WDFREQUEST>(WdfCollectionGetItem(collected, i));
        WdfRequestCancelSentRequest(request);
        WdfObjectDereference(request);
    }
    WdfObjectDelete(collected);
    return status;
}

} // namespace X9TR_DRIVER_NAMESPACE
