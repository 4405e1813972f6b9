// IRPs: allocation, the stack of locations, sending and completion.
#include "platform/kernel/irp.h"

#include "platform/verifier/verifier.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

// An IRP and its locations in one allocation; the IRP comes first so that
// the pointer handed out is the block's.
struct IrpBlock {
    IRP Irp{};
    std::vector<IO_STACK_LOCATION> Stack;
};
static_assert(offsetof(IrpBlock, Irp) == 0);

} // namespace

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN)
{
    if (StackSize < 1) {
        return nullptr;
    }
    auto block = std::make_unique<IrpBlock>();
    block->Stack.resize(static_cast<std::size_t>(StackSize));
    std::memset(block->Stack.data(), 0, block->Stack.size() * sizeof(IO_STACK_LOCATION));
    block->Irp.StackCount = StackSize;
    block->Irp.CurrentLocation = static_cast<CHAR>(StackSize + 1);
    block->Irp.Stack = block->Stack.data();
    return &block.release()->Irp;
}

void IoFreeIrp(PIRP Irp)
{
    std::unique_ptr<IrpBlock> block(reinterpret_cast<IrpBlock*>(Irp));
}

void IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    std::memset(Irp->Stack, 0, static_cast<std::size_t>(Irp->StackCount) * sizeof(IO_STACK_LOCATION));
    Irp->IoStatus = IO_STATUS_BLOCK{Status, 0};
    Irp->Cancel = FALSE;
    Irp->PendingReturned = FALSE;
    Irp->CancelRoutine = nullptr;
    Irp->PlatformRequest = nullptr;
    Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 1);
}

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) {
        return nullptr;
    }
    return &Irp->Stack[Irp->CurrentLocation - 1];
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation < 2 || Irp->CurrentLocation > Irp->StackCount + 1) {
        return nullptr;
    }
    return &Irp->Stack[Irp->CurrentLocation - 2];
}

void IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (current == nullptr || next == nullptr) {
        return;
    }
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}

void IoSkipCurrentIrpStackLocation(PIRP Irp) { ++Irp->CurrentLocation; }

void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next == nullptr) {
        return;
    }
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = static_cast<UCHAR>((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) |
                                       (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                                       (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
}

void IoMarkIrpPending(PIRP Irp)
{
    if (PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp)) {
        current->Control |= SL_PENDING_RETURNED;
    }
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (Irp->CurrentLocation <= 1) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "IoCallDriver with an IRP that has no stack location left");
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    --Irp->CurrentLocation;
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    current->DeviceObject = DeviceObject;
    if (DeviceObject == nullptr || DeviceObject->Handler == nullptr) {
        Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    return DeviceObject->Handler->DispatchIrp(DeviceObject, Irp);
}

void IoCompleteRequest(PIRP Irp, CHAR)
{
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        const UCHAR control = location->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0 ? TRUE : FALSE;
        ++Irp->CurrentLocation;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = routine != nullptr &&
                            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
        if (invoke) {
            // The routine belongs to the driver above: it sees that driver's device.
            PIO_STACK_LOCATION above = IoGetCurrentIrpStackLocation(Irp);
            PDEVICE_OBJECT device = above != nullptr ? above->DeviceObject : nullptr;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    Irp->Cancel = TRUE;
    const PDRIVER_CANCEL routine = Irp->CancelRoutine;
    Irp->CancelRoutine = nullptr;
    if (routine == nullptr) {
        return FALSE;
    }
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    routine(current != nullptr ? current->DeviceObject : nullptr, Irp);
    return TRUE;
}
