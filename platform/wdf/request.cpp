// Framework requests wrapped around IRPs, formatted and sent to I/O targets.
#include "platform/wdf/request.h"

#include "platform/platform.h"
#include "platform/wdf/iotarget.h"

namespace platform::wdf {

void Request::OnDestroy()
{
    if (FreesIrp && Irp != nullptr) {
        IoFreeIrp(Irp);
        Irp = nullptr;
    }
}

Request* ResolveRequest(WDFREQUEST handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Request>(handle, ObjectKind::Request, operation);
}

namespace {

NTSTATUS AsyncCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* request = static_cast<Request*>(Context);
    request->Status = Irp->IoStatus.Status;
    request->Done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

} // namespace platform::wdf

using platform::Platform;
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
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(request), RequestAttributes);
    if (NT_SUCCESS(status)) {
        *RequestHandle = static_cast<WDFREQUEST>(raw->Handle());
    }
    return status;
}

void WdfRequestWdmFormatUsingStackLocation(WDFREQUEST RequestHandle, PIO_STACK_LOCATION Stack)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestWdmFormatUsingStackLocation");
    if (request == nullptr || Stack == nullptr) {
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

BOOLEAN WdfRequestSend(WDFREQUEST RequestHandle, WDFIOTARGET TargetHandle, PWDF_REQUEST_SEND_OPTIONS Options)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestSend");
    platform::wdf::IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfRequestSend");
    if (request == nullptr || target == nullptr) {
        if (request != nullptr) {
            request->Status = STATUS_INVALID_PARAMETER;
        }
        return FALSE;
    }
    if (request->Sent && !request->Done) {
        platform::GetVerifier().Report(platform::VerifierRule::RequestOwnership,
                                       "WdfRequestSend of a request that is already sent");
        return FALSE;
    }
    if (target->Target == nullptr) {
        request->Status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    const ULONG flags = Options != nullptr ? Options->Flags : 0;
    request->Sent = true;
    request->Done = false;
    request->Status = STATUS_PENDING;
    if ((flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0) {
        std::optional<platform::Ticks> timeout;
        if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && Options->Timeout != 0) {
            timeout = Options->Timeout < 0 ? -Options->Timeout
                                           : Options->Timeout - Platform::Current().Dispatcher().Now();
        }
        request->Status = platform::wdf::SendIrpSynchronously(target->Target, request->Irp, timeout);
        request->Done = true;
        return NT_SUCCESS(request->Status) ? TRUE : FALSE;
    }
    IoSetCompletionRoutine(request->Irp, platform::wdf::AsyncCompletion, request, TRUE, TRUE, TRUE);
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
