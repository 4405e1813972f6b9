// I/O targets and synchronous IRP sends.
#include "platform/wdf/iotarget.h"

#include "platform/platform.h"
#include "platform/wdf/request.h"

#include <algorithm>

namespace platform::wdf {

namespace {

struct SyncWait {
    bool Done = false;
};

NTSTATUS SyncCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    static_cast<SyncWait*>(Context)->Done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

std::optional<Ticks> SendTimeout(const WDF_REQUEST_SEND_OPTIONS* options)
{
    if (options == nullptr || (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) == 0 || options->Timeout == 0) {
        return std::nullopt;
    }
    const Ticks timeout =
        options->Timeout < 0 ? -options->Timeout : options->Timeout - Platform::Current().Dispatcher().Now();
    return std::max<Ticks>(timeout, 0);
}

IoTarget* ResolveIoTarget(WDFIOTARGET handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<IoTarget>(handle, ObjectKind::IoTarget, operation);
}

NTSTATUS SendIrpSynchronously(PDEVICE_OBJECT device, PIRP irp, std::optional<Ticks> timeout)
{
    SyncWait wait;
    IoSetCompletionRoutine(irp, SyncCompletion, &wait, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    auto& dispatcher = Platform::Current().Dispatcher();
    std::optional<Ticks> deadline;
    if (timeout) {
        deadline = dispatcher.Now() + *timeout;
    }
    if (!dispatcher.WaitUntil([&] { return wait.Done; }, deadline)) {
        // The time-out passed: cancel, then wait for the IRP to come back.
        IoCancelIrp(irp);
        dispatcher.WaitUntil([&] { return wait.Done; }, std::nullopt);
        if (!wait.Done) {
            return STATUS_IO_TIMEOUT;
        }
        if (irp->IoStatus.Status == STATUS_CANCELLED) {
            irp->IoStatus.Status = STATUS_IO_TIMEOUT;
        }
    }
    return irp->IoStatus.Status;
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::IoTarget;

NTSTATUS WdfIoTargetStart(WDFIOTARGET TargetHandle)
{
    IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfIoTargetStart");
    if (target == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (target->TargetState == IoTarget::State::Closed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfIoTargetStart")) {
        return *failure;
    }
    target->TargetState = IoTarget::State::Started;
    return target->OnStart();
}

namespace {

void EndSentIo(IoTarget& target, bool cancel, bool wait)
{
    if (cancel) {
        // Each cancel may complete at once; take a copy of what is out.
        const auto sent = target.Sent;
        for (auto* request : sent) {
            if (std::find(target.Sent.begin(), target.Sent.end(), request) != target.Sent.end()) {
                IoCancelIrp(request->Irp);
            }
        }
    }
    if (wait) {
        Platform::Current().Dispatcher().WaitUntil([&target] { return target.Sent.empty(); }, std::nullopt);
    }
}

} // namespace

void WdfIoTargetStop(WDFIOTARGET TargetHandle, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfIoTargetStop");
    if (target == nullptr) {
        return;
    }
    if (target->TargetState == IoTarget::State::Started) {
        target->TargetState = IoTarget::State::Stopped;
    }
    target->OnStop();
    EndSentIo(*target, Action == WdfIoTargetCancelSentIo, Action != WdfIoTargetLeaveSentIoPending);
}

void WdfIoTargetPurge(WDFIOTARGET TargetHandle, WDF_IO_TARGET_PURGE_IO_ACTION Action)
{
    IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfIoTargetPurge");
    if (target == nullptr) {
        return;
    }
    target->TargetState = IoTarget::State::Purged;
    target->OnStop();
    EndSentIo(*target, true, Action == WdfIoTargetPurgeIoAndWait);
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET TargetHandle)
{
    IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfIoTargetGetState");
    if (target == nullptr) {
        return WdfIoTargetStateUndefined;
    }
    switch (target->TargetState) {
    case IoTarget::State::Started: return WdfIoTargetStarted;
    case IoTarget::State::Stopped: return WdfIoTargetStopped;
    case IoTarget::State::Purged: return WdfIoTargetPurged;
    case IoTarget::State::Closed: return WdfIoTargetClosed;
    }
    return WdfIoTargetStateUndefined;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET TargetHandle)
{
    IoTarget* target = platform::wdf::ResolveIoTarget(TargetHandle, "WdfIoTargetGetDevice");
    for (platform::wdf::Object* at = target; at != nullptr; at = at->Parent()) {
        if (at->Kind() == platform::wdf::ObjectKind::Device) {
            return static_cast<WDFDEVICE>(at->Handle());
        }
    }
    return nullptr;
}
