// The bulk-in reader and the receive buffer. While the port is open and in
// D0, two read requests keep reading from the function's bulk IN pipe into
// a pool of equally sized memories made at open; received data waits there
// for a read request. The pool is counted in memories, one transfer each.
// Nothing allocates on the data path: memories move between the free and
// the filled collection, and the two requests are reused.
#include "base/serial/serial.h"

#include <algorithm>
#include <cstring>

namespace X9TR_DRIVER_NAMESPACE {

namespace {

ULONG FilledCount(PDEVICE_CONTEXT Context) { return WdfCollectionGetCount(Context->Usb.ReadMemoryCollection); }

// Takes an idle request and a free memory (ReadSyncSpinLock held), both or
// neither, and records the request as in flight before it is sent, so that
// a completion that comes at once finds it there.
BOOLEAN TakeRequestAndMemory(PDEVICE_CONTEXT Context, WDFREQUEST* Request, WDFMEMORY* Memory)
{
    auto request = static_cast<WDFREQUEST>(WdfCollectionGetFirstItem(Context->Usb.ReadRequestCollection));
    auto memory = static_cast<WDFMEMORY>(WdfCollectionGetFirstItem(Context->Usb.FreeReadMemoryCollection));
    if (request == nullptr || memory == nullptr) {
        return FALSE;
    }
    WdfCollectionRemove(Context->Usb.ReadRequestCollection, request);
    WdfCollectionRemove(Context->Usb.FreeReadMemoryCollection, memory);
    WdfCollectionAdd(Context->Usb.PendingReadRequestCollection, request);
    *Request = request;
    *Memory = memory;
    return TRUE;
}

} // namespace

ULONG SerialReceiveHoldBits(const SERIAL_HANDFLOW* HandFlow)
{
    ULONG holdBits = 0;
    if ((HandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        holdBits |= SERIAL_RX_DTR;
    }
    if ((HandFlow->FlowReplace & SERIAL_AUTO_RECEIVE) != 0) {
        holdBits |= SERIAL_RX_XOFF;
    }
    if ((HandFlow->FlowReplace & SERIAL_RTS_HANDSHAKE) != 0) {
        holdBits |= SERIAL_RX_RTS;
    }
    return holdBits;
}

NTSTATUS SerialCreateReadMemory(PDEVICE_CONTEXT Context, WDFMEMORY* Memory)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<USB_MEMORY_CONTEXT>(&attributes);
    attributes.ParentObject = Context->Device;
    return WdfMemoryCreate(&attributes, NonPagedPool, SERIAL_POOL_TAG, Context->Usb.ReadSize, Memory, nullptr);
}

void SerialComputeReadBufferSizes(PDEVICE_CONTEXT Context)
{
    Context->ReadBufferSize = Context->Usb.ReadMemoryLimitNum * Context->Usb.ReadSize;
    // 13/16 of the buffer: the SERIAL_EV_RX80FULL threshold.
    Context->ReadBufferPt8Size = (Context->ReadBufferSize >> 2) * 3 + (Context->ReadBufferSize >> 4);
    Context->Usb.ReadMemoryPt8Num = Context->Usb.ReadSize != 0 ? Context->ReadBufferPt8Size / Context->Usb.ReadSize : 0;
}

NTSTATUS SerialGrowReadBuffer(PDEVICE_CONTEXT Context, ULONG InSize)
{
    if (InSize <= Context->ReadBufferSize) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    const ULONGLONG readSize = Context->Usb.ReadSize;
    if (readSize == 0) {
        // No receive buffer without an open port.
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONGLONG needed = (static_cast<ULONGLONG>(InSize) + readSize - 1) / readSize;
    if (needed * readSize > MAXULONG) {
        // The buffer's size in bytes must fit ReadBufferSize.
        return STATUS_INVALID_PARAMETER;
    }
    if (needed > Context->Usb.ReadMemoryLimitNum) {
        const auto more = static_cast<ULONG>(needed - Context->Usb.ReadMemoryLimitNum);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Context->Device;
        WDFCOLLECTION created = nullptr;
        status = WdfCollectionCreate(&attributes, &created);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        for (ULONG i = 0; i < more && NT_SUCCESS(status); ++i) {
            WDFMEMORY memory = nullptr;
            status = SerialCreateReadMemory(Context, &memory);
            if (NT_SUCCESS(status)) {
                status = WdfCollectionAdd(created, memory);
                if (!NT_SUCCESS(status)) {
                    WdfObjectDelete(memory);
                }
            }
        }
        if (NT_SUCCESS(status)) {
            WdfSpinLockAcquire(Context->ReadSyncSpinLock);
            ULONG added = 0;
            for (; added < more; ++added) {
                status = WdfCollectionAdd(Context->Usb.FreeReadMemoryCollection, WdfCollectionGetItem(created, added));
                if (!NT_SUCCESS(status)) {
                    break;
                }
            }
            if (NT_SUCCESS(status)) {
                Context->Usb.ReadMemoryLimitNum += more;
            } else {
                for (ULONG i = 0; i < added; ++i) {
                    WdfCollectionRemove(Context->Usb.FreeReadMemoryCollection, WdfCollectionGetItem(created, i));
                }
            }
            WdfSpinLockRelease(Context->ReadSyncSpinLock);
        }
        if (!NT_SUCCESS(status)) {
            while (WdfCollectionGetCount(created) != 0) {
                WDFOBJECT memory = WdfCollectionGetFirstItem(created);
                WdfCollectionRemove(created, memory);
                WdfObjectDelete(memory);
            }
        }
        WdfObjectDelete(created);
    }
    SerialComputeReadBufferSizes(Context);
    return status;
}

NTSTATUS KickUsbRead(PDEVICE_CONTEXT Context)
{
    if (Context->Usb.ReadPipeStopped || Context->Usb.ResetPipePending) {
        return STATUS_SUCCESS;
    }
    WDFREQUEST request = nullptr;
    WDFMEMORY memory = nullptr;
    LONG budget = 2;

    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    const ULONG holdBits = SerialReceiveHoldBits(&Context->HandFlow);
    if (holdBits != 0) {
        // Flow control holds the device's data on its side: no read goes out
        // that the buffer could not keep.
        const ULONG filled = FilledCount(Context);
        const ULONG inFlight = WdfCollectionGetCount(Context->Usb.PendingReadRequestCollection);
        if (filled == Context->Usb.ReadMemoryLimitNum) {
            Context->RXHolding |= holdBits;
        } else {
            Context->RXHolding &= ~holdBits;
        }
        budget = static_cast<LONG>(Context->Usb.ReadMemoryLimitNum) - static_cast<LONG>(inFlight) -
                 static_cast<LONG>(filled);
    }
    BOOLEAN have = budget > 0 ? TakeRequestAndMemory(Context, &request, &memory) : FALSE;
    WdfSpinLockRelease(Context->ReadSyncSpinLock);

    while (have) {
        NTSTATUS status = WdfUsbTargetPipeFormatRequestForRead(Context->Usb.BulkInputPipe, request, memory, nullptr);
        if (NT_SUCCESS(status)) {
            WdfRequestSetCompletionRoutine(request, UsbTargetPipeReadCompletionRoutine, memory);
            if (!WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(Context->Usb.BulkInputPipe), nullptr)) {
                status = WdfRequestGetStatus(request);
            }
        }
        if (!NT_SUCCESS(status)) {
            WdfSpinLockAcquire(Context->ReadSyncSpinLock);
            WdfCollectionRemove(Context->Usb.PendingReadRequestCollection, request);
            WdfCollectionAdd(Context->Usb.ReadRequestCollection, request);
            WdfCollectionAdd(Context->Usb.FreeReadMemoryCollection, memory);
            WdfSpinLockRelease(Context->ReadSyncSpinLock);
            return status;
        }
        --budget;
        if (Context->Usb.ReadPipeStopped || Context->Usb.ResetPipePending || budget <= 0) {
            break;
        }
        WdfSpinLockAcquire(Context->ReadSyncSpinLock);
        have = TakeRequestAndMemory(Context, &request, &memory);
        WdfSpinLockRelease(Context->ReadSyncSpinLock);
    }
    return STATUS_SUCCESS;
}

void FlushReadMemoryCollection(PDEVICE_CONTEXT Context)
{
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    while (WDFOBJECT memory = WdfCollectionGetFirstItem(Context->Usb.ReadMemoryCollection)) {
        WdfCollectionRemove(Context->Usb.ReadMemoryCollection, memory);
        WdfCollectionAdd(Context->Usb.FreeReadMemoryCollection, memory);
    }
    WdfSpinLockRelease(Context->ReadSyncSpinLock);
}

void UpdateUsbReadHandFlow(PDEVICE_CONTEXT Context, const SERIAL_HANDFLOW* HandFlow)
{
    // The reads beyond what the buffer can still take are cancelled after
    // the lock is released: a cancel may complete a read on this thread,
    // and the completion takes the lock.
    WDFREQUEST cancel[2] = {};
    ULONG cancelCount = 0;

    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    const ULONG holdBits = SerialReceiveHoldBits(HandFlow);
    const ULONG filled = FilledCount(Context);
    if (holdBits != 0) {
        LONG room = static_cast<LONG>(Context->Usb.ReadMemoryLimitNum) - static_cast<LONG>(filled);
        const ULONG inFlight = WdfCollectionGetCount(Context->Usb.PendingReadRequestCollection);
        for (ULONG i = 0; i < inFlight; ++i) {
            if (room > 0) {
                --room;
                continue;
            }
            auto request = static_cast<WDFREQUEST>(WdfCollectionGetItem(Context->Usb.PendingReadRequestCollection, i));
            if (cancelCount < std::size(cancel)) {
                WdfObjectReference(request);
                cancel[cancelCount++] = request;
            }
        }
    }
    if (filled == Context->Usb.ReadMemoryLimitNum && holdBits != 0) {
        Context->RXHolding |= holdBits;
    } else {
        Context->RXHolding &= ~holdBits;
    }
    // Hold reasons the new hand-flow no longer has end, the DSR hold too.
    Context->RXHolding &= holdBits;
    const ULONG rxHolding = Context->RXHolding;
    WdfSpinLockRelease(Context->ReadSyncSpinLock);

    for (ULONG i = 0; i < cancelCount; ++i) {
        WdfRequestCancelSentRequest(cancel[i]);
        WdfObjectDereference(cancel[i]);
    }
    if (rxHolding == 0) {
        KickUsbRead(Context);
    }
}

void UsbTargetPipeReadCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                                        WDFCONTEXT MemoryContext)
{
    PDEVICE_CONTEXT context = DeviceGetContext(WdfIoTargetGetDevice(Target));
    auto memory = static_cast<WDFMEMORY>(MemoryContext);
    const NTSTATUS transfer = Params->IoStatus.Status;
    ULONG events = 0;
    ULONG length = 0;

    if (NT_SUCCESS(transfer) || transfer == STATUS_CANCELLED) {
        std::size_t transferred = Params->Parameters.Usb.Completion != nullptr
                                      ? Params->Parameters.Usb.Completion->Parameters.PipeRead.Length
                                      : Params->IoStatus.Information;
        // Never more than the memory holds, whatever the stack reports.
        transferred = std::min<std::size_t>(transferred, context->Usb.ReadSize);
        length = static_cast<ULONG>(transferred);
    }
    if (NT_SUCCESS(transfer)) {
        // Every completed transfer counts as receiving, a zero-length one too.
        events |= SERIAL_EV_RXCHAR;
        context->Usb.ErrorCount = 0;
    } else if (transfer == STATUS_CANCELLED) {
        // Stopped (power-down, a pipe reset, receive flow control) in the
        // middle of a transfer: the packets that had come are the handset's
        // data all the same, and are kept like a transfer's.
        if (length != 0) {
            events |= SERIAL_EV_RXCHAR;
        }
    } else {
        BOOLEAN reset = FALSE;
        WdfSpinLockAcquire(context->ReadSyncSpinLock);
        if (transfer == STATUS_DEVICE_NOT_CONNECTED || transfer == STATUS_NO_SUCH_DEVICE) {
            context->Usb.ReadPipeStopped = TRUE;
        } else if (context->Usb.ErrorCount >= 5) {
            context->Usb.ReadPipeStopped = TRUE;
        } else {
            ++context->Usb.ErrorCount;
            if (!context->Usb.ResetPipePending) {
                context->Usb.ResetPipePending = TRUE;
                reset = TRUE;
            }
        }
        WdfSpinLockRelease(context->ReadSyncSpinLock);
        if (reset && !NT_SUCCESS(QueueWorkItem(context, &context->Usb, DiagEvtWorkItemResetUsbReadPipe, 0))) {
            // Without the work item nothing would ever clear the flag.
            context->Usb.ResetPipePending = FALSE;
        }
    }

    WdfSpinLockAcquire(context->SyncSpinLock);
    context->PerfStats.ReceivedCount += length;
    context->WmiPerfData.ReceivedCount += length;
    WdfSpinLockRelease(context->SyncSpinLock);

    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(Request, &reuse);

    PUSB_MEMORY_CONTEXT memoryContext = GetUsbMemoryContext(memory);
    memoryContext->Length = length;
    memoryContext->Offset = 0;
    const auto* data = static_cast<const UCHAR*>(WdfMemoryGetBuffer(memory, nullptr));

    if ((context->WaitMask & SERIAL_EV_RXFLAG) != 0 &&
        std::find(data, data + length, context->SpecialChars.EventChar) != data + length) {
        events |= SERIAL_EV_RXFLAG;
    }
    if (context->RXHolding == SERIAL_RX_DSR) {
        // DSR sensitivity with DSR off: counted, never delivered.
        memoryContext->Length = 0;
    }

    WDFREQUEST filledRead = nullptr;
    BOOLEAN overflowed = FALSE;
    WdfSpinLockAcquire(context->ReadSyncSpinLock);
    // The request goes back to idle under the same lock as its memory goes
    // to the buffer, so that a KickUsbRead on another processor never counts
    // the read as done while its data is not yet counted as buffered.
    WdfCollectionRemove(context->Usb.PendingReadRequestCollection, Request);
    WdfCollectionAdd(context->Usb.ReadRequestCollection, Request);
    WDFREQUEST current = context->CurrentReadRequest;
    if (memoryContext->Length != 0 && current != nullptr) {
        PREQUEST_CONTEXT read = GetRequestContext(current);
        const ULONG wanted = read->Length - static_cast<ULONG>(read->Information);
        const ULONG n = std::min(memoryContext->Length, wanted);
        std::memcpy(static_cast<PUCHAR>(read->Buffer) + read->Information, data + memoryContext->Offset, n);
        memoryContext->Length -= n;
        memoryContext->Offset += n;
        read->Information += n;
        if (read->Information == read->Length) {
            context->CurrentReadRequest = nullptr;
            filledRead = current;
        } else if (read->IntervalTime != 0) {
            SetTimer(context->ReadRequestIntervalTimer, read->IntervalTime);
        }
    }
    if (memoryContext->Length == 0) {
        WdfCollectionAdd(context->Usb.FreeReadMemoryCollection, memory);
    } else {
        const ULONG count = FilledCount(context);
        // The most memories the buffer has held: a transfer lost to a full
        // buffer is not one of them.
        if (context->Usb.ReadMemoryMaxCountBuffered == count && count < context->Usb.ReadMemoryLimitNum) {
            context->Usb.ReadMemoryMaxCountBuffered = count + 1;
        }
        if (count + 1 == context->Usb.ReadMemoryPt8Num) {
            events |= SERIAL_EV_RX80FULL;
            WdfCollectionAdd(context->Usb.ReadMemoryCollection, memory);
        } else if (count >= context->Usb.ReadMemoryLimitNum) {
            // The buffer is full: this transfer's data is lost.
            WdfCollectionAdd(context->Usb.FreeReadMemoryCollection, memory);
            overflowed = TRUE;
            context->ErrorWord |= SERIAL_ERROR_QUEUEOVERRUN;
        } else {
            WdfCollectionAdd(context->Usb.ReadMemoryCollection, memory);
        }
    }
    const ULONG lost = overflowed ? memoryContext->Length : 0;
    WdfSpinLockRelease(context->ReadSyncSpinLock);
    if (overflowed) {
        WdfSpinLockAcquire(context->SyncSpinLock);
        context->PerfStats.BufferOverrunErrorCount += lost;
        context->WmiPerfData.BufferOverrunErrorCount += lost;
        WdfSpinLockRelease(context->SyncSpinLock);
    }

    KickUsbRead(context);

    if (filledRead != nullptr) {
        CancelTimer(context->ReadRequestTotalTimer);
        CancelTimer(context->ReadRequestIntervalTimer);
        ClearCancelRoutine(filledRead);
        PREQUEST_CONTEXT read = GetRequestContext(filledRead);
        read->Status = STATUS_SUCCESS;
        CompleteRequest(filledRead, STATUS_SUCCESS, read->Information);
    }
    if (overflowed && (context->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0) {
        PurgeRxAbort(context);
        PurgeTxAbort(context);
    }
    CompleteWaitOnMask(context, events);
}

void DiagEvtWorkItemResetUsbReadPipe(WDFWORKITEM WorkItem)
{
    PWORKITEM_CONTEXT workContext = GetWorkItemContext(WorkItem);
    PDEVICE_CONTEXT context = workContext->DeviceContext;
    if (context != nullptr && workContext->UsbPart != nullptr) {
        WdfWaitLockAcquire(context->WaitLock, nullptr);
        if (context->DeviceOpened) {
            WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(context->Usb.BulkInputPipe);
            WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
            WDF_REQUEST_SEND_OPTIONS options;
            // The pipe's target is stopped: the reset must pass it by.
            WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
            WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(1));
            const NTSTATUS status = WdfUsbTargetPipeResetSynchronously(context->Usb.BulkInputPipe, nullptr, &options);
            context->Usb.ErrorCount = 0;
            context->Usb.ResetPipePending = FALSE;
            if (NT_SUCCESS(status) && !context->Usb.ReadPipeStopped && NT_SUCCESS(WdfIoTargetStart(target))) {
                KickUsbRead(context);
            }
        }
        WdfWaitLockRelease(context->WaitLock);
    }
    WdfObjectDelete(WorkItem);
}

NTSTATUS StartUsbRead(PDEVICE_CONTEXT Context)
{
    const NTSTATUS status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(Context->Usb.BulkInputPipe));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Context->Usb.ReadPipeStopped = FALSE;
    Context->Usb.ErrorCount = 0;
    return KickUsbRead(Context);
}

NTSTATUS StopUsbRead(PDEVICE_CONTEXT Context)
{
    // The pipe-reset work item looks at ReadPipeStopped under the wait lock:
    // once the flag is set under it, no work item restarts the reader, and one
    // that was restarting it has finished. The lock is not held across the
    // waits below, in which the work item may run and take it.
    WdfWaitLockAcquire(Context->WaitLock, nullptr);
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    Context->Usb.ReadPipeStopped = TRUE;
    WdfSpinLockRelease(Context->ReadSyncSpinLock);
    WdfWaitLockRelease(Context->WaitLock);
    // The reads in flight are cancelled; their completions return the
    // requests and memories to the idle collections.
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Context->Usb.BulkInputPipe), WdfIoTargetCancelSentIo);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(1));
    NTSTATUS status = WdfUsbTargetPipeAbortSynchronously(Context->Usb.BulkInputPipe, nullptr, &options);
    for (int retry = 0; retry < 5 && status == STATUS_INSUFFICIENT_RESOURCES; ++retry) {
        LARGE_INTEGER interval;
        interval.QuadPart = -1'000'000; // 100 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        status = WdfUsbTargetPipeAbortSynchronously(Context->Usb.BulkInputPipe, nullptr, &options);
    }
    return status;
}

} // namespace X9TR_DRIVER_NAMESPACE
