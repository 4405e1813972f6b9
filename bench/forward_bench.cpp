// Bulk OUT transfers from a function driver on a child of the default
// handset, through the child and the parent to the handset and back, per
// second. Beside it, the same URB sent straight to the hub port below the
// parent (no child, no parent, no framework request): what forwarding adds
// is the difference. The handset keeps every OUT transfer it takes, so a
// long run grows by the transfers' bytes.
#include "bench/verifier_watch.h"
#include "handset/default_handset.h"
#include "tools/function_driver.h"
#include "tools/machine.h"

#include <benchmark/benchmark.h>

#include <array>
#include <memory>

namespace {

constexpr std::size_t kTransferBytes = 64;

struct Rig {
    Rig()
    {
        x9tr::MachineOptions options;
        options.ExtraImages = {x9tr::test::FunctionDriverImage()};
        options.ExtraManifests = {x9tr::test::FunctionDriverManifest({u"USB\\Vid_0abc&Pid_1d2e&Mi_05"})};
        machine = std::make_unique<x9tr::Machine>(options);
        parent = machine->Plug(std::make_unique<handset::Handset>(handset::DefaultHandsetProfile()));
        machine->Settle();
        if (parent->Children.size() == 5 && parent->Children[3]->Fdo != nullptr) {
            pipe = x9tr::test::PipeFor(parent->Children[3]->Fdo, 0x06);
        }
    }

    std::unique_ptr<x9tr::Machine> machine;
    platform::pnp::DeviceNode* parent = nullptr;
    WDFUSBPIPE pipe = nullptr;
};

void Done(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, PVOID context) { *static_cast<bool*>(context) = true; }

void BM_ForwardedBulkWrite(benchmark::State& state)
{
    x9tr::bench::VerifierWatch watch(state);
    {
        Rig rig;
        if (rig.pipe == nullptr) {
            state.SkipWithError("the vendor function has no bulk OUT pipe");
            return;
        }
        auto& dispatcher = rig.machine->World().Dispatcher();
        const WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(rig.pipe);
        std::array<std::byte, kTransferBytes> bytes{};
        WDFREQUEST request = nullptr;
        WDFMEMORY memory = nullptr;
        WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request);
        WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, bytes.data(), bytes.size(), &memory);
        bool done = false;
        for (auto _ : state) {
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            WdfRequestReuse(request, &reuse);
            WdfUsbTargetPipeFormatRequestForWrite(rig.pipe, request, memory, nullptr);
            WdfRequestSetCompletionRoutine(request, Done, &done);
            done = false;
            WdfRequestSend(request, target, nullptr);
            while (!done && dispatcher.RunOne()) {
            }
            if (!NT_SUCCESS(WdfRequestGetStatus(request))) {
                state.SkipWithError("a forwarded write failed");
                break;
            }
        }
        WdfObjectDelete(request);
        WdfObjectDelete(memory);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kTransferBytes));

}
BENCHMARK(BM_ForwardedBulkWrite);

NTSTATUS IrpDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    *static_cast<bool*>(context) = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void BM_Baseline_BulkWriteStraightToThePort(benchmark::State& state)
{
    x9tr::bench::VerifierWatch watch(state);
    {
        Rig rig;
        if (rig.pipe == nullptr) {
            state.SkipWithError("the vendor function has no bulk OUT pipe");
            return;
        }
        auto& dispatcher = rig.machine->World().Dispatcher();
        PDEVICE_OBJECT port = rig.parent->Pdo;
        std::array<std::byte, kTransferBytes> bytes{};
        PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
        URB urb{};
        bool done = false;
        for (auto _ : state) {
            IoReuseIrp(irp, STATUS_SUCCESS);
            urb = URB{};
            auto& transfer = urb.UrbBulkOrInterruptTransfer;
            transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
            transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            transfer.PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(rig.pipe);
            transfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
            transfer.TransferBuffer = bytes.data();
            transfer.TransferBufferLength = kTransferBytes;
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = &urb;
            IoSetCompletionRoutine(irp, IrpDone, &done, TRUE, TRUE, TRUE);
            done = false;
            IoCallDriver(port, irp);
            while (!done && dispatcher.RunOne()) {
            }
        }
        IoFreeIrp(irp);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kTransferBytes));

}
BENCHMARK(BM_Baseline_BulkWriteStraightToThePort);

} // namespace
