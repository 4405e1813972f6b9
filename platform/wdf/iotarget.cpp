// I/O targets and synchronous IRP sends.
#include "platform/wdf/iotarget.h"

#include "platform/platform.h"

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
