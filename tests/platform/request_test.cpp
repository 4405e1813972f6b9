// Requests reaching a framework device: presentation by dispatch type,
// completion exactly once, forwarding between queues, zero-length requests,
// cancellation of requests waiting in a queue, and the device's
// synchronisation of its queue callbacks.
#include "platform/wdf/device.h"
#include "platform/wdf/queue.h"
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::VerifierCapture;
using platform::VerifierRule;
using x9tr::test::DriverWorld;

// What the queue callbacks did, and what a test wants them to do.
struct Script {
    std::vector<WDFREQUEST> Presented;
    bool CompleteAtOnce = true;
    bool ForwardThenComplete = false;
    WDFQUEUE ForwardTo = nullptr;
    int Depth = 0;
    int MaxDepth = 0;
};
Script script;

void EvtIoDefault(WDFQUEUE, WDFREQUEST Request)
{
    script.Presented.push_back(Request);
    if (script.ForwardThenComplete) {
        EXPECT_EQ(WdfRequestForwardToIoQueue(Request, script.ForwardTo), STATUS_SUCCESS);
        WdfRequestComplete(Request, STATUS_SUCCESS); // no longer ours: the verifier speaks
        return;
    }
    if (script.CompleteAtOnce) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 7);
    }
}

void EvtIoRead(WDFQUEUE, WDFREQUEST Request, std::size_t)
{
    ++script.Depth;
    script.MaxDepth = std::max(script.MaxDepth, script.Depth);
    script.Presented.push_back(Request);
    --script.Depth;
}

class Requests : public testing::Test {
protected:
    void SetUp() override { script = Script{}; }

    WDFDEVICE MakeDevice(WDF_IO_QUEUE_DISPATCH_TYPE type, WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeNone)
    {
        WDFDEVICE device = world.CreateDevice(u"TEST\\DEVICE\\0");
        world.AsDriver([&] {
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, type);
            config.EvtIoDefault = EvtIoDefault;
            config.EvtIoRead = EvtIoRead;
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.SynchronizationScope = scope;
            EXPECT_EQ(WdfIoQueueCreate(device, &config, &attributes, &queue), STATUS_SUCCESS);
            return 0;
        });
        return device;
    }

    // Sends an IRP of this major function to the device; the caller frees it.
    PIRP Send(WDFDEVICE device, UCHAR major, ULONG length = 16)
    {
        PIRP irp = IoAllocateIrp(2, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->Parameters.Read.Length = length;
        IoSetCompletionRoutine(irp, Completed, nullptr, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_PENDING;
        IoCallDriver(WdfDeviceWdmGetDeviceObject(device), irp);
        return irp;
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

    DriverWorld world;
    WDFQUEUE queue = nullptr;
};

TEST_F(Requests, CompletedOnceWithStatusAndInformation)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchParallel);
    PIRP irp = Send(device, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    // The request is gone with its completion: a second one is caught.
    VerifierCapture capture;
    WdfRequestComplete(script.Presented.at(0), STATUS_SUCCESS);
    EXPECT_TRUE(capture.Saw(VerifierRule::UseAfterDelete));
    IoFreeIrp(irp);
}

TEST_F(Requests, ForwardedThenCompletedIsCaught)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchParallel);
    world.AsDriver([&] {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &script.ForwardTo), STATUS_SUCCESS);
        return 0;
    });
    script.ForwardThenComplete = true;
    PIRP irp = nullptr;
    {
        VerifierCapture capture;
        irp = Send(device, IRP_MJ_DEVICE_CONTROL);
        EXPECT_TRUE(capture.Saw(VerifierRule::RequestOwnership));
    }
    // The forwarded request waits in the manual queue, untouched.
    EXPECT_EQ(irp->IoStatus.Status, STATUS_PENDING);
    WDFREQUEST waiting = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(script.ForwardTo, &waiting), STATUS_SUCCESS);
    WdfRequestComplete(waiting, STATUS_CANCELLED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

TEST_F(Requests, SequentialQueuePresentsOneAtATime)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchSequential);
    script.CompleteAtOnce = false;
    PIRP first = Send(device, IRP_MJ_DEVICE_CONTROL);
    PIRP second = Send(device, IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(script.Presented.size(), 1u);
    WdfRequestComplete(script.Presented[0], STATUS_SUCCESS);
    ASSERT_EQ(script.Presented.size(), 2u);
    WdfRequestComplete(script.Presented[1], STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(second->IoStatus.Status, STATUS_UNSUCCESSFUL);
    IoFreeIrp(first);
    IoFreeIrp(second);
}

TEST_F(Requests, ZeroLengthReadsEndInTheFramework)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchParallel);
    PIRP irp = Send(device, IRP_MJ_READ, 0);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_TRUE(script.Presented.empty());
    IoFreeIrp(irp);
}

TEST_F(Requests, CancelOfAQueuedRequest)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchSequential);
    script.CompleteAtOnce = false;
    PIRP first = Send(device, IRP_MJ_DEVICE_CONTROL);
    PIRP second = Send(device, IRP_MJ_DEVICE_CONTROL);
    EXPECT_TRUE(IoCancelIrp(second));
    world.World().Dispatcher().RunUntilIdle();
    EXPECT_EQ(second->IoStatus.Status, STATUS_CANCELLED);
    WdfRequestComplete(script.Presented.at(0), STATUS_SUCCESS);
    EXPECT_EQ(script.Presented.size(), 1u); // the cancelled one was never presented
    IoFreeIrp(first);
    IoFreeIrp(second);
}

TEST_F(Requests, MarkCancelableOnACancelledRequestReportsIt)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchParallel);
    script.CompleteAtOnce = false;
    PIRP irp = Send(device, IRP_MJ_DEVICE_CONTROL);
    irp->Cancel = TRUE; // cancelled while the driver held it, before it was marked
    EXPECT_EQ(WdfRequestMarkCancelableEx(script.Presented.at(0), [](WDFREQUEST) { ADD_FAILURE() << "ran"; }),
              STATUS_CANCELLED);
    WdfRequestComplete(script.Presented[0], STATUS_CANCELLED);
    IoFreeIrp(irp);
}

TEST_F(Requests, DeviceScopeRunsOneCallbackAtATime)
{
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchParallel, WdfSynchronizationScopeDevice);
    std::vector<PIRP> irps;
    for (int i = 0; i < 3; ++i) {
        irps.push_back(Send(device, IRP_MJ_READ));
    }
    EXPECT_EQ(script.Presented.size(), 3u);
    EXPECT_EQ(script.MaxDepth, 1);
    for (std::size_t i = 0; i < irps.size(); ++i) {
        WdfRequestComplete(script.Presented[i], STATUS_SUCCESS);
        IoFreeIrp(irps[i]);
    }
}

} // namespace

namespace {

struct REQUEST_NOTE {
    ULONG Marks;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_NOTE, GetRequestNote)

std::vector<ULONG> notesSeen;
std::vector<std::size_t> memorySizes;

void EvtIoDeviceControlWithContext(WDFQUEUE, WDFREQUEST Request, std::size_t, std::size_t, ULONG)
{
    REQUEST_NOTE* note = GetRequestNote(Request);
    notesSeen.push_back(note != nullptr ? note->Marks + 100 : 0);
    WDFMEMORY memory = nullptr;
    if (NT_SUCCESS(WdfRequestRetrieveOutputMemory(Request, &memory))) {
        std::size_t size = 0;
        WdfMemoryGetBuffer(memory, &size);
        memorySizes.push_back(size);
        const UCHAR answer[2] = {0xAB, 0xCD};
        WdfMemoryCopyFromBuffer(memory, 0, const_cast<UCHAR*>(answer), sizeof(answer));
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 2);
}

TEST(RequestAttributes, EveryRequestCarriesTheDevicesContextAndItsBuffersAsMemory)
{
    notesSeen.clear();
    memorySizes.clear();
    DriverWorld world;
    WDFDEVICE device = world.AsDriver([&] {
        auto init = world.DeviceInit(u"TEST\\ATTRIBUTES\\0");
        WDF_OBJECT_ATTRIBUTES requestAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<REQUEST_NOTE>(&requestAttributes);
        WdfDeviceInitSetRequestAttributes(init.get(), &requestAttributes);
        PWDFDEVICE_INIT raw = init.get();
        WDFDEVICE created = nullptr;
        EXPECT_EQ(WdfDeviceCreate(&raw, WDF_NO_OBJECT_ATTRIBUTES, &created), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoDeviceControl = EvtIoDeviceControlWithContext;
        EXPECT_EQ(WdfIoQueueCreate(created, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr), STATUS_SUCCESS);
        return created;
    });
    UCHAR buffer[8] = {};
    PIRP irp = IoAllocateIrp(2, FALSE);
    irp->SystemBuffer = buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(buffer);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
                           TRUE, TRUE, TRUE);
    IoCallDriver(WdfDeviceWdmGetDeviceObject(device), irp);
    EXPECT_EQ(notesSeen, std::vector<ULONG>{100}); // the context is there, zeroed
    EXPECT_EQ(memorySizes, std::vector<std::size_t>{8});
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(irp->IoStatus.Information, 2u);
    IoFreeIrp(irp);
}

} // namespace

namespace {

std::vector<std::string> powerLog;

void EvtIoStopLogged(WDFQUEUE, WDFREQUEST Request, ULONG ActionFlags)
{
    const bool purge = (ActionFlags & WdfRequestStopActionPurge) != 0;
    powerLog.push_back(purge ? "stop purge" : "stop suspend");
    if (purge) {
        WdfRequestComplete(Request, STATUS_CANCELLED);
    } else {
        WdfRequestStopAcknowledge(Request, FALSE);
    }
}

void EvtIoResumeLogged(WDFQUEUE, WDFREQUEST) { powerLog.push_back("resume"); }

void EvtIoHold(WDFQUEUE, WDFREQUEST) { powerLog.push_back("presented"); }

TEST(QueuePower, HeldRequestsAreSuspendedResumedAndPurged)
{
    powerLog.clear();
    DriverWorld world;
    WDFDEVICE device = world.CreateDevice(u"TEST\\POWER\\0");
    WDFQUEUE queue = nullptr;
    world.AsDriver([&] {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
        config.EvtIoDefault = EvtIoHold;
        config.EvtIoStop = EvtIoStopLogged;
        config.EvtIoResume = EvtIoResumeLogged;
        EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue), STATUS_SUCCESS);
        return 0;
    });
    auto send = [&] {
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; },
                               nullptr, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_PENDING;
        IoCallDriver(WdfDeviceWdmGetDeviceObject(device), irp);
        return irp;
    };
    PIRP held = send();
    PIRP waiting = send(); // sequential: waits behind the first

    auto* internal = world.World().Objects().ResolveAs<platform::wdf::Queue>(queue, platform::wdf::ObjectKind::Queue, "test");
    internal->PowerStop(false);
    ULONG queued = 0;
    ULONG inDriver = 0;
    const WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(queue, &queued, &inDriver);
    EXPECT_EQ(queued, 1u);
    EXPECT_EQ(inDriver, 1u);
    EXPECT_NE(state & WdfIoQueuePnpHeld, 0u);
    internal->PowerResume();
    internal->PowerStop(true);
    EXPECT_EQ(powerLog, (std::vector<std::string>{"presented", "stop suspend", "resume", "stop purge"}));
    EXPECT_EQ(held->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(waiting->IoStatus.Status, STATUS_CANCELLED); // purged from the queue
    IoFreeIrp(held);
    IoFreeIrp(waiting);
}

} // namespace

namespace {

int stopCompletions = 0;
void EvtQueueStopped(WDFQUEUE, WDFCONTEXT Context) { stopCompletions += *static_cast<int*>(Context); }

TEST_F(Requests, AsynchronousStopAndPurgeReportWhenTheDriverHoldsNone)
{
    stopCompletions = 0;
    WDFDEVICE device = MakeDevice(WdfIoQueueDispatchParallel);
    script.CompleteAtOnce = false;
    PIRP held = Send(device, IRP_MJ_DEVICE_CONTROL);
    int one = 1;
    WdfIoQueueStop(queue, EvtQueueStopped, &one);
    PIRP waiting = Send(device, IRP_MJ_DEVICE_CONTROL); // taken, not presented
    world.World().Dispatcher().AdvanceBy(5 * platform::kTicksPerMillisecond);
    EXPECT_EQ(stopCompletions, 0); // the driver still holds one
    EXPECT_EQ(script.Presented.size(), 1u);
    WdfRequestComplete(script.Presented[0], STATUS_SUCCESS);
    world.World().Dispatcher().AdvanceBy(5 * platform::kTicksPerMillisecond);
    EXPECT_EQ(stopCompletions, 1);

    int ten = 10;
    WdfIoQueuePurge(queue, EvtQueueStopped, &ten);
    EXPECT_EQ(waiting->IoStatus.Status, STATUS_CANCELLED);
    world.World().Dispatcher().RunUntilIdle();
    EXPECT_EQ(stopCompletions, 11);
    IoFreeIrp(held);
    IoFreeIrp(waiting);
}

} // namespace
