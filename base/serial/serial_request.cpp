// Request helpers of the serial core: every part of the port completes,
// cancels, times, forwards and sends its requests through these, and guards
// its entry points with the open check and the error abort rule.
#include "base/serial/serial.h"

namespace X9TR_DRIVER_NAMESPACE {

void CompleteRequest(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    WdfRequestCompleteWithInformation(Request, Status, Information);
}

// Callers hold ReadSyncSpinLock or WaitMaskSyncSpinLock here, and the cancel
// routines take those locks. A request cancelled before it is marked is
// therefore not handed to its cancel routine on this thread: the marking
// reports STATUS_CANCELLED, nothing is recorded, and the caller ends the
// request itself once its lock is released.
NTSTATUS SetCancelRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL Routine)
{
    const NTSTATUS status = WdfRequestMarkCancelableEx(Request, Routine);
    if (NT_SUCCESS(status)) {
        GetRequestContext(Request)->CancelRoutine = Routine;
    }
    return status;
}

NTSTATUS ClearCancelRoutine(WDFREQUEST Request)
{
    const NTSTATUS status = WdfRequestUnmarkCancelable(Request);
    if (NT_SUCCESS(status)) {
        GetRequestContext(Request)->CancelRoutine = nullptr;
    }
    return status;
}

BOOLEAN SetTimer(WDFTIMER Timer, LONGLONG DueTime) { return WdfTimerStart(Timer, DueTime); }

BOOLEAN CancelTimer(WDFTIMER Timer) { return WdfTimerStop(Timer, FALSE); }

void DrainTimers(PDEVICE_CONTEXT Context)
{
    WdfTimerStop(Context->ReadRequestTotalTimer, TRUE);
    WdfTimerStop(Context->ReadRequestIntervalTimer, TRUE);
}

void ForwardRequest(PDEVICE_CONTEXT, WDFREQUEST Request, WDFQUEUE Queue, PFN_SERIAL_START_ROUTINE StartRoutine)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->StartRoutine = StartRoutine;
    const NTSTATUS status = WdfRequestForwardToIoQueue(Request, Queue);
    if (!NT_SUCCESS(status)) {
        requestContext->Status = status;
        CompleteRequest(Request, status, requestContext->Information);
    }
}

void KickStarter(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    PFN_SERIAL_START_ROUTINE start = GetRequestContext(Request)->StartRoutine;
    if (start == nullptr) {
        // Only forwarded requests reach the second queue; one without a
        // start routine would otherwise never be completed.
        CompleteRequest(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    start(Context, Request);
}

NTSTATUS RequestSend(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                     WDFCONTEXT CompletionContext, WDFIOTARGET Target, ULONG Flags, ULONGLONG TimeoutMs)
{
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, Flags);
    if (TimeoutMs != 0) {
        const NTSTATUS status = WdfRequestAllocateTimer(Request);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, static_cast<LONGLONG>(TimeoutMs) * -10000);
    }
    if (CompletionRoutine != nullptr) {
        WdfRequestSetCompletionRoutine(Request, CompletionRoutine, CompletionContext);
    }
    if (!WdfRequestSend(Request, Target, &options) || (Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0) {
        return WdfRequestGetStatus(Request);
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueueWorkItem(PDEVICE_CONTEXT Context, PSERIAL_USB_PART UsbPart, PFN_WDF_WORKITEM Routine, ULONG Parameter)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Routine);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<WORKITEM_CONTEXT>(&attributes);
    attributes.ParentObject = Context->Device;
    WDFWORKITEM workItem = nullptr;
    const NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (NT_SUCCESS(status)) {
        PWORKITEM_CONTEXT workContext = GetWorkItemContext(workItem);
        workContext->DeviceContext = Context;
        workContext->UsbPart = UsbPart;
        workContext->Parameter = Parameter;
        WdfWorkItemEnqueue(workItem);
    }
    return status;
}

BOOLEAN IsIoQueueIdle(WDFQUEUE Queue)
{
    const WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(Queue, nullptr, nullptr);
    return WDF_IO_QUEUE_IDLE(state) ? TRUE : FALSE;
}

NTSTATUS RejectIfNotOpened(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    if (!Context->DeviceOpened) {
        CompleteRequest(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RejectIfErrorAbort(PDEVICE_CONTEXT Context, WDFREQUEST Request)
{
    if (!SerialErrorAbortInForce(Context)) {
        return STATUS_SUCCESS;
    }
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    // Reading the errors is the one way out of the rule.
    if (parameters.Type == WdfRequestTypeDeviceControl &&
        parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
        return STATUS_SUCCESS;
    }
    CompleteRequest(Request, STATUS_CANCELLED, 0);
    return STATUS_CANCELLED;
}

} // namespace X9TR_DRIVER_NAMESPACE
