// Framework requests: creation, parameters and buffers, completion and its
// ownership rules, cancellation, forwarding, and sending to I/O targets.
#include "platform/wdf/request.h"

#include "platform/platform.h"
#include "platform/wdf/device.h"
#include "platform/wdf/iotarget.h"
#include "platform/wdf/queue.h"
#include "platform/wdf/wdf_memory.h"

#include <algorithm>

namespace platform::wdf {

void Request::OnDelete()
{
    // A request of the framework's deleted before it was completed: its IRP
    // must still end, or its sender waits for ever.
    if (!Incoming || Irp == nullptr || RequestState == State::Completed || RequestState == State::Sent) {
        return;
    }
    if (RequestState == State::Presented) {
        GetVerifier().Report(VerifierRule::RequestOwnership, "a request was still held by its driver when its device went");
    }
    PIRP irp = Irp;
    Irp = nullptr;
    RequestState = State::Completed;
    irp->CancelRoutine = nullptr;
    irp->PlatformRequest = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void Request::OnDestroy()
{
    if (SentTo != nullptr) {
        auto& sent = SentTo->Sent;
        sent.erase(std::remove(sent.begin(), sent.end(), this), sent.end());
    }
    if (Irp != nullptr && Irp->PlatformRequest == this) {
        Irp->PlatformRequest = nullptr;
    }
    if (FreesIrp && Irp != nullptr) {
        IoFreeIrp(Irp);
    }
    Irp = nullptr;
}

Request* ResolveRequest(WDFREQUEST handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Request>(handle, ObjectKind::Request, operation);
}

namespace {

ObjectTable& Objects() { return Platform::Current().Objects(); }

WDF_REQUEST_TYPE TypeOf(UCHAR majorFunction)
{
    switch (majorFunction) {
    case IRP_MJ_CREATE: return WdfRequestTypeCreate;
    case IRP_MJ_CLOSE: return WdfRequestTypeClose;
    case IRP_MJ_READ: return WdfRequestTypeRead;
    case IRP_MJ_WRITE: return WdfRequestTypeWrite;
    case IRP_MJ_QUERY_INFORMATION: return WdfRequestTypeQueryInformation;
    case IRP_MJ_SET_INFORMATION: return WdfRequestTypeSetInformation;
    case IRP_MJ_FLUSH_BUFFERS: return WdfRequestTypeFlushBuffers;
    case IRP_MJ_DEVICE_CONTROL: return WdfRequestTypeDeviceControl;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return WdfRequestTypeDeviceControlInternal;
    case IRP_MJ_CLEANUP: return WdfRequestTypeCleanup;
    case IRP_MJ_PNP: return WdfRequestTypePnp;
    default: return WdfRequestTypeOther;
    }
}

void ReportOwnership(const std::string& message) { GetVerifier().Report(VerifierRule::RequestOwnership, message); }

// The driver may act on a request only while it owns it.
bool DriverOwns(const Request& request, const char* operation)
{
    if (request.RequestState == Request::State::Presented || request.RequestState == Request::State::Idle) {
        return true;
    }
    const char* where = request.RequestState == Request::State::Queued  ? "is in a queue"
                        : request.RequestState == Request::State::Sent ? "is sent to an I/O target"
                                                                       : "is completed";
    ReportOwnership(std::string(operation) + " on a request that " + where);
    return false;
}

// The IRP went back up: the framework hands the request back to its driver.
NTSTATUS SendCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* request = static_cast<Request*>(Context);
    auto& dispatcher = Platform::Current().Dispatcher();
    if (request->TimeoutEvent) {
        dispatcher.Cancel(*request->TimeoutEvent);
        request->TimeoutEvent.reset();
    }
    request->Status = Irp->IoStatus.Status;
    request->Done = true;
    request->RequestState = request->Incoming ? Request::State::Presented : Request::State::Idle;
    if (request->SentTo != nullptr) {
        auto& sent = request->SentTo->Sent;
        sent.erase(std::remove(sent.begin(), sent.end(), request), sent.end());
    }
    Irp->PlatformRequest = request;
    auto& params = request->CompletionParams;
    params = WDF_REQUEST_COMPLETION_PARAMS{};
    params.Size = sizeof(params);
    params.IoStatus = Irp->IoStatus;
    if (PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp)) {
        params.Type = TypeOf(next->MajorFunction);
        params.Parameters.Others.Argument1 = next->Parameters.Others.Argument1;
        params.Parameters.Others.Argument2 = next->Parameters.Others.Argument2;
        params.Parameters.Others.Argument3 = next->Parameters.Others.Argument3;
        params.Parameters.Others.Argument4 = next->Parameters.Others.Argument4;
    }
    if (request->UsbCompletion.Type != WdfUsbRequestTypeInvalid && request->UrbStorage != nullptr) {
        const auto* urb = reinterpret_cast<const URB*>(request->UrbStorage.get());
        request->UsbCompletion.UsbdStatus = urb->UrbHeader.Status;
        if (request->UsbCompletion.Type == WdfUsbRequestTypePipeRead) {
            request->UsbCompletion.Parameters.PipeRead.Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        } else if (request->UsbCompletion.Type == WdfUsbRequestTypePipeWrite) {
            request->UsbCompletion.Parameters.PipeWrite.Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
        params.Parameters.Usb.Completion = &request->UsbCompletion;
    }
    if (request->CompletionRoutine != nullptr) {
        const auto routine = request->CompletionRoutine;
        const auto target = request->SentTo != nullptr ? static_cast<WDFIOTARGET>(request->SentTo->Handle()) : nullptr;
        InvokeDriverCallback(*request, [&] { routine(request->AsHandle(), target, &params, request->CompletionContext); });
    } else if (request->Incoming) {
        // Sent with no completion routine: the framework completes it.
        FinishIncoming(*request, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelOnTimeout(Request& request)
{
    request.TimeoutEvent.reset();
    if (request.RequestState == Request::State::Sent) {
        IoCancelIrp(request.Irp);
    }
}

// Runs a queued or presented request's cancellation for the framework.
void FrameworkCancel(PDEVICE_OBJECT, PIRP Irp)
{
    auto* request = static_cast<Request*>(Irp->PlatformRequest);
    if (request == nullptr) {
        return;
    }
    const WDFREQUEST handle = request->AsHandle();
    Platform::Current().Dispatcher().Post(
        [handle] {
            auto* r = static_cast<Request*>(Objects().Lookup(handle, ObjectKind::Request));
            if (r == nullptr || r->IsDeleted()) {
                return;
            }
            if (r->RequestState == Request::State::Queued && r->CurrentQueue != nullptr) {
                Queue* queue = r->CurrentQueue;
                auto& pending = queue->Pending;
                pending.erase(std::remove(pending.begin(), pending.end(), r), pending.end());
                r->RequestState = Request::State::Presented;
                if (queue->Config.EvtIoCanceledOnQueue != nullptr) {
                    const auto callback = queue->Config.EvtIoCanceledOnQueue;
                    InvokeDriverCallback(*queue, [&] { callback(static_cast<WDFQUEUE>(queue->Handle()), handle); });
                } else {
                    FinishIncoming(*r, STATUS_CANCELLED, 0);
                }
                return;
            }
            if (r->RequestState == Request::State::Presented && r->CancelRoutine != nullptr) {
                const auto routine = r->CancelRoutine;
                r->CancelRoutine = nullptr;
                InvokeDriverCallback(*r, [&] { routine(handle); });
            }
        },
        "request cancel");
}

} // namespace

void ReceiveIrp(Device& device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const WDF_REQUEST_TYPE type = TypeOf(stack->MajorFunction);
    const bool fileRequest = type == WdfRequestTypeCreate || type == WdfRequestTypeCleanup || type == WdfRequestTypeClose;
    Queue* queue = QueueFor(device, type);
    if (fileRequest && (device.HasFileObjectConfig || device.Exclusive)) {
        HandleFileRequest(device, irp);
        return;
    }
    if (fileRequest && (queue == nullptr || queue == device.DefaultQueue) &&
        std::none_of(device.DispatchQueues.begin(), device.DispatchQueues.end(),
                     [type](const auto& route) { return route.first == type; })) {
        // Opening and closing a handle is the framework's business unless a
        // queue is configured for it.
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    if (queue == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    auto request = std::make_unique<Request>();
    request->Irp = irp;
    request->Incoming = true;
    request->Owner = &device;
    request->SetDriverMayDelete(false);
    Request* raw = request.get();
    if (!NT_SUCCESS(Objects().Insert(std::move(request), device.HasRequestAttributes ? &device.RequestAttributes : nullptr,
                                     &device))) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    irp->PlatformRequest = raw;
    irp->CancelRoutine = FrameworkCancel;
    queue->Enqueue(*raw);
}

PIRP DetachIncoming(Request& request)
{
    if (request.CurrentQueue != nullptr) {
        Queue* queue = request.CurrentQueue;
        request.CurrentQueue = nullptr;
        queue->Released(request);
    }
    request.RequestState = Request::State::Completed;
    PIRP irp = request.Irp;
    irp->CancelRoutine = nullptr;
    irp->PlatformRequest = nullptr;
    request.Irp = nullptr;
    Objects().Delete(request);
    return irp;
}

void FinishIncoming(Request& request, NTSTATUS status, ULONG_PTR information)
{
    if (request.CreatingFile != nullptr) {
        FileCreateFinished(request, status);
    }
    PIRP irp = DetachIncoming(request);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Device;
using platform::wdf::Queue;
using platform::wdf::Request;

NTSTATUS WdfRequestCreateFromIrp(PWDF_OBJECT_ATTRIBUTES RequestAttributes, PIRP Irp, BOOLEAN RequestFreesIrp,
                                 WDFREQUEST* RequestHandle)
{
    if (RequestHandle == nullptr || Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RequestHandle = nullptr;
    if (auto failure = Platform::Current().Faults().Take("WdfRequestCreateFromIrp")) {
        return *failure;
    }
    auto request = std::make_unique<Request>();
    request->Irp = Irp;
    request->FreesIrp = RequestFreesIrp != FALSE;
    Request* raw = request.get();
    const NTSTATUS status = platform::wdf::Objects().Insert(std::move(request), RequestAttributes);
    if (NT_SUCCESS(status)) {
        *RequestHandle = raw->AsHandle();
    }
    return status;
}

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* RequestHandle)
{
    if (RequestHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RequestHandle = nullptr;
    CHAR stackSize = 1;
    if (IoTarget != nullptr) {
        platform::wdf::IoTarget* target = platform::wdf::ResolveIoTarget(IoTarget, "WdfRequestCreate");
        if (target == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        if (target->Target != nullptr) {
            stackSize = target->Target->StackSize;
        }
    }
    if (auto failure = Platform::Current().Faults().Take("WdfRequestCreate")) {
        return *failure;
    }
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto request = std::make_unique<Request>();
    request->Irp = irp;
    request->FreesIrp = true;
    Request* raw = request.get();
    const NTSTATUS status = platform::wdf::Objects().Insert(std::move(request), RequestAttributes);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    irp->PlatformRequest = raw;
    *RequestHandle = raw->AsHandle();
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST RequestHandle, PWDF_REQUEST_REUSE_PARAMS ReuseParams)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestReuse");
    if (request == nullptr || ReuseParams == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->Incoming || request->RequestState == Request::State::Sent) {
        platform::wdf::ReportOwnership("WdfRequestReuse of a request that is not the driver's own or is sent");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoReuseIrp(request->Irp, ReuseParams->Status);
    request->Irp->PlatformRequest = request;
    request->RequestState = Request::State::Idle;
    request->Status = ReuseParams->Status;
    request->Formatted = false;
    request->Done = false;
    request->SentTo = nullptr;
    request->CompletionParams = WDF_REQUEST_COMPLETION_PARAMS{};
    request->UsbCompletion = WDF_USB_REQUEST_COMPLETION_PARAMS{};
    return STATUS_SUCCESS;
}

void WdfRequestWdmFormatUsingStackLocation(WDFREQUEST RequestHandle, PIO_STACK_LOCATION Stack)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestWdmFormatUsingStackLocation");
    if (request == nullptr || Stack == nullptr || !platform::wdf::DriverOwns(*request, "WdfRequestWdmFormatUsingStackLocation")) {
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->Irp);
    if (next == nullptr) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfRequestWdmFormatUsingStackLocation on an IRP with no location left");
        return;
    }
    *next = *Stack;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
    request->Formatted = true;
}

void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestFormatRequestUsingCurrentType");
    if (request == nullptr || !platform::wdf::DriverOwns(*request, "WdfRequestFormatRequestUsingCurrentType")) {
        return;
    }
    if (IoGetCurrentIrpStackLocation(request->Irp) == nullptr || IoGetNextIrpStackLocation(request->Irp) == nullptr) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfRequestFormatRequestUsingCurrentType on an IRP with no location left");
        return;
    }
    IoCopyCurrentIrpStackLocationToNext(request->Irp);
    request->Formatted = true;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST RequestHandle, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    PVOID CompletionContext)
{
    if (Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestSetCompletionRoutine")) {
        request->CompletionRoutine = CompletionRoutine;
        request->CompletionContext = CompletionContext;
    }
}

void WdfRequestGetCompletionParams(WDFREQUEST RequestHandle, PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestGetCompletionParams");
    if (request != nullptr && Params != nullptr) {
        *Params = request->CompletionParams;
    }
}

BOOLEAN WdfRequestSend(WDFREQUEST RequestHandle, WDFIOTARGET TargetHandle, PWDF_REQUEST_SEND_OPTIONS Options)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestSend");
    if (request == nullptr) {
        return FALSE;
    }
    platform::wdf::IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfRequestSend");
    if (target == nullptr) {
        request->Status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    if (!platform::wdf::DriverOwns(*request, "WdfRequestSend")) {
        return FALSE;
    }
    const ULONG flags = Options != nullptr ? Options->Flags : 0;
    if (target->Target == nullptr || !target->Accepts(flags)) {
        request->Status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0) {
        if (!request->Incoming) {
            platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                           "send-and-forget of a request that did not come from a queue");
            request->Status = STATUS_INVALID_DEVICE_REQUEST;
            return FALSE;
        }
        // The IRP goes on with the location this device received it in; the
        // request is no longer the driver's, nor the framework's.
        PIRP irp = platform::wdf::DetachIncoming(*request);
        IoSkipCurrentIrpStackLocation(irp);
        IoCallDriver(target->Target, irp);
        return TRUE;
    }
    if (!request->Formatted) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter, "WdfRequestSend of a request never formatted");
        request->Status = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }
    request->SentTo = target;
    request->Done = false;
    request->Status = STATUS_PENDING;
    request->RequestState = Request::State::Sent;
    request->Irp->PlatformRequest = nullptr;
    if ((flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0) {
        // The completion routine stays the driver's business: a synchronous
        // send returns with the request back in the driver's hands.
        const auto routine = request->CompletionRoutine;
        request->CompletionRoutine = nullptr;
        request->Status = platform::wdf::SendIrpSynchronously(target->Target, request->Irp,
                                                             platform::wdf::SendTimeout(Options));
        request->CompletionRoutine = routine;
        request->Done = true;
        request->RequestState = request->Incoming ? Request::State::Presented : Request::State::Idle;
        request->Irp->PlatformRequest = request;
        return NT_SUCCESS(request->Status) ? TRUE : FALSE;
    }
    IoSetCompletionRoutine(request->Irp, platform::wdf::SendCompletion, request, TRUE, TRUE, TRUE);
    target->Sent.push_back(request);
    if (const auto timeout = platform::wdf::SendTimeout(Options)) {
        const WDFREQUEST handle = request->AsHandle();
        request->TimeoutEvent = Platform::Current().Dispatcher().PostAfter(
            *timeout,
            [handle] {
                if (auto* r = static_cast<Request*>(
                        platform::wdf::Objects().Lookup(handle, platform::wdf::ObjectKind::Request))) {
                    platform::wdf::CancelOnTimeout(*r);
                }
            },
            "send time-out");
    }
    IoCallDriver(target->Target, request->Irp);
    return TRUE;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestGetStatus");
    return request != nullptr ? request->Status : STATUS_INVALID_HANDLE;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestWdmGetIrp");
    return request != nullptr ? request->Irp : nullptr;
}

void WdfRequestGetParameters(WDFREQUEST RequestHandle, PWDF_REQUEST_PARAMETERS Parameters)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestGetParameters");
    if (request == nullptr || Parameters == nullptr) {
        return;
    }
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    PIO_STACK_LOCATION stack = request->Irp != nullptr ? IoGetCurrentIrpStackLocation(request->Irp) : nullptr;
    if (stack == nullptr) {
        return;
    }
    Parameters->Type = platform::wdf::TypeOf(stack->MajorFunction);
    Parameters->MinorFunction = stack->MinorFunction;
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
        Parameters->Parameters.Read.Length = stack->Parameters.Read.Length;
        Parameters->Parameters.Read.Key = stack->Parameters.Read.Key;
        Parameters->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset;
        break;
    case IRP_MJ_WRITE:
        Parameters->Parameters.Write.Length = stack->Parameters.Write.Length;
        Parameters->Parameters.Write.Key = stack->Parameters.Write.Key;
        Parameters->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        Parameters->Parameters.DeviceIoControl.InputBufferLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        Parameters->Parameters.DeviceIoControl.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        Parameters->Parameters.DeviceIoControl.Type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        break;
    default:
        // Internal controls carry their arguments in the Others slots; the
        // control code shares the third one.
        Parameters->Parameters.Others.Arg1 = stack->Parameters.Others.Argument1;
        Parameters->Parameters.Others.Arg2 = stack->Parameters.Others.Argument2;
        Parameters->Parameters.Others.Arg3 = stack->Parameters.Others.Argument3;
        Parameters->Parameters.Others.Arg4 = stack->Parameters.Others.Argument4;
        break;
    }
}

void WdfRequestCompleteWithInformation(WDFREQUEST RequestHandle, NTSTATUS Status, ULONG_PTR Information)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestComplete");
    if (request == nullptr) {
        return;
    }
    if (!request->Incoming) {
        platform::wdf::ReportOwnership("WdfRequestComplete of a request the driver made itself");
        return;
    }
    if (!platform::wdf::DriverOwns(*request, "WdfRequestComplete")) {
        return;
    }
    platform::wdf::FinishIncoming(*request, Status, Information);
}

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    ULONG_PTR information = 0;
    if (platform::wdf::Request* request = platform::wdf::ResolveRequest(Request, "WdfRequestComplete")) {
        if (request->Irp != nullptr) {
            information = request->Irp->IoStatus.Information;
        }
    } else {
        return;
    }
    WdfRequestCompleteWithInformation(Request, Status, information);
}

void WdfRequestSetInformation(WDFREQUEST RequestHandle, ULONG_PTR Information)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestSetInformation");
    if (request != nullptr && request->Irp != nullptr) {
        request->Irp->IoStatus.Information = Information;
    }
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestGetInformation");
    return request != nullptr && request->Irp != nullptr ? request->Irp->IoStatus.Information : 0;
}

namespace {

NTSTATUS RetrieveBuffer(WDFREQUEST RequestHandle, bool input, std::size_t minimum, PVOID* Buffer, std::size_t* Length,
                        const char* operation)
{
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (Length != nullptr) {
        *Length = 0;
    }
    Request* request = platform::wdf::ResolveRequest(RequestHandle, operation);
    if (request == nullptr || request->Irp == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp);
    if (stack == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::size_t length = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
        if (input) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        length = stack->Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE:
        if (!input) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        length = stack->Parameters.Write.Length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        length = input ? stack->Parameters.DeviceIoControl.InputBufferLength
                       : stack->Parameters.DeviceIoControl.OutputBufferLength;
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID buffer = request->Irp->SystemBuffer;
    if (buffer == nullptr || length == 0 || length < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = buffer;
    if (Length != nullptr) {
        *Length = length;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize, PVOID* Buffer,
                                       std::size_t* Length)
{
    return RetrieveBuffer(Request, true, MinimumRequiredSize, Buffer, Length, "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize, PVOID* Buffer,
                                        std::size_t* Length)
{
    return RetrieveBuffer(Request, false, MinimumRequiredSize, Buffer, Length, "WdfRequestRetrieveOutputBuffer");
}

NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST RequestHandle, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestMarkCancelableEx");
    if (request == nullptr || EvtRequestCancel == nullptr || !request->Incoming ||
        !platform::wdf::DriverOwns(*request, "WdfRequestMarkCancelableEx")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->Irp->Cancel) {
        return STATUS_CANCELLED;
    }
    request->CancelRoutine = EvtRequestCancel;
    request->Irp->CancelRoutine = platform::wdf::FrameworkCancel;
    return STATUS_SUCCESS;
}

void WdfRequestMarkCancelable(WDFREQUEST RequestHandle, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestMarkCancelable");
    if (request == nullptr || EvtRequestCancel == nullptr || !request->Incoming ||
        !platform::wdf::DriverOwns(*request, "WdfRequestMarkCancelable")) {
        return;
    }
    request->CancelRoutine = EvtRequestCancel;
    if (request->Irp->Cancel) {
        // Cancelled already: the callback runs later, not on the marking thread.
        platform::wdf::FrameworkCancel(nullptr, request->Irp);
        return;
    }
    request->Irp->CancelRoutine = platform::wdf::FrameworkCancel;
}

NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestUnmarkCancelable");
    if (request == nullptr || request->Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->CancelRoutine == nullptr || request->Irp->Cancel) {
        request->CancelRoutine = nullptr;
        return STATUS_CANCELLED;
    }
    request->CancelRoutine = nullptr;
    request->Irp->CancelRoutine = nullptr;
    return STATUS_SUCCESS;
}

BOOLEAN WdfRequestIsCanceled(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestIsCanceled");
    return request != nullptr && request->Irp != nullptr && request->Irp->Cancel ? TRUE : FALSE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestCancelSentRequest");
    if (request == nullptr || request->RequestState != Request::State::Sent) {
        return FALSE;
    }
    return IoCancelIrp(request->Irp);
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST RequestHandle)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestGetIoQueue");
    if (request == nullptr || request->CurrentQueue == nullptr) {
        return nullptr;
    }
    return static_cast<WDFQUEUE>(request->CurrentQueue->Handle());
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST RequestHandle, WDFQUEUE DestinationQueue)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestForwardToIoQueue");
    Queue* destination = platform::wdf::ResolveQueue(DestinationQueue, "WdfRequestForwardToIoQueue");
    if (request == nullptr || destination == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!request->Incoming || request->RequestState != Request::State::Presented) {
        platform::wdf::ReportOwnership("WdfRequestForwardToIoQueue of a request the driver does not hold from a queue");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (destination->Owner != request->Owner || destination == request->CurrentQueue) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!destination->Accepting) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfRequestForwardToIoQueue")) {
        return *failure;
    }
    if (request->CurrentQueue != nullptr) {
        Queue* source = request->CurrentQueue;
        request->CurrentQueue = nullptr;
        source->Released(*request);
    }
    destination->Enqueue(*request);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestForwardToParentDeviceIoQueue(WDFREQUEST RequestHandle, WDFQUEUE ParentDeviceQueue,
                                                PWDF_REQUEST_FORWARD_OPTIONS ForwardOptions)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestForwardToParentDeviceIoQueue");
    Queue* parentQueue = platform::wdf::ResolveQueue(ParentDeviceQueue, "WdfRequestForwardToParentDeviceIoQueue");
    if (request == nullptr || parentQueue == nullptr || ForwardOptions == nullptr ||
        ForwardOptions->Size != sizeof(WDF_REQUEST_FORWARD_OPTIONS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!request->Incoming || request->RequestState != Request::State::Presented) {
        platform::wdf::ReportOwnership("WdfRequestForwardToParentDeviceIoQueue of a request the driver does not hold");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Device* child = request->Owner;
    if (child == nullptr || !child->Identity.AllowForwardingToParent || child->ParentDevice == nullptr ||
        parentQueue->Owner != child->ParentDevice) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!parentQueue->Accepting) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfRequestForwardToParentDeviceIoQueue")) {
        return *failure;
    }
    PIRP irp = request->Irp;
    if (IoGetNextIrpStackLocation(irp) == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The IRP moves down to the parent as if sent to it; the child's request
    // is no longer anyone's.
    IoCopyCurrentIrpStackLocationToNext(irp);
    --irp->CurrentLocation;
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = &parentQueue->Owner->DeviceObject;
    platform::wdf::DetachIncoming(*request);

    auto forwarded = std::make_unique<Request>();
    forwarded->Irp = irp;
    forwarded->Incoming = true;
    Device* parent = parentQueue->Owner;
    forwarded->Owner = parent;
    forwarded->SetDriverMayDelete(false);
    Request* raw = forwarded.get();
    NTSTATUS status = platform::wdf::Objects().Insert(
        std::move(forwarded), parent->HasRequestAttributes ? &parent->RequestAttributes : nullptr, parent);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS; // the IRP left the child: its end is the parent's
    }
    irp->PlatformRequest = raw;
    irp->CancelRoutine = platform::wdf::FrameworkCancel;
    parentQueue->Enqueue(*raw);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestAllocateTimer(WDFREQUEST RequestHandle)
{
    if (platform::wdf::ResolveRequest(RequestHandle, "WdfRequestAllocateTimer") == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Time-outs run on the dispatcher; a failure can still be asked for.
    if (auto failure = Platform::Current().Faults().Take("WdfRequestAllocateTimer")) {
        return *failure;
    }
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS RetrieveMemory(WDFREQUEST RequestHandle, bool input, WDFMEMORY* Memory, const char* operation)
{
    if (Memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    PVOID buffer = nullptr;
    std::size_t length = 0;
    const NTSTATUS status = RetrieveBuffer(RequestHandle, input, 1, &buffer, &length, operation);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The memory object describes the request's own buffer and goes with the request.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = RequestHandle;
    return WdfMemoryCreatePreallocated(&attributes, buffer, length, Memory);
}

} // namespace

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return RetrieveMemory(Request, true, Memory, "WdfRequestRetrieveInputMemory");
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return RetrieveMemory(Request, false, Memory, "WdfRequestRetrieveOutputMemory");
}
