// The serial core's test port: device add with the port's queues, locks and
// timers, preparation with the core's defaults, and open and close with a
// receive buffer of 1024 memories of 1216 bytes, as a full-speed port has.
#include "tests/serial/test_port.h"

#include "base/serial/serial.h"

namespace x9tr::test {

TestPortFunction& TestFunction()
{
    static TestPortFunction function;
    return function;
}

} // namespace x9tr::test

namespace x9trsertest {

namespace {

using x9tr::test::TestFunction;

void Record(WDFREQUEST Request, const char* routine)
{
    TestFunction().Forwarded.push_back({GetRequestContext(Request)->IoControlCode, routine});
}

// Answers a forwarded request as a device that accepted it would, or with
// the status the test asked for.
void Answer(WDFREQUEST Request, ULONG_PTR Information)
{
    auto& function = TestFunction();
    if (function.HoldForwarded) {
        function.Held.push_back(Request);
        return;
    }
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Status = function.DeviceStatus;
    requestContext->Information = NT_SUCCESS(function.DeviceStatus) ? Information : 0;
    CompleteRequest(Request, requestContext->Status, requestContext->Information);
}

void TestStartSetBaudRate(TEST_PORT_CONTEXT* Context, WDFREQUEST Request)
{
    Record(Request, "StartSetBaudRate");
    if (NT_SUCCESS(TestFunction().DeviceStatus)) {
        Context->CurrentBaud = static_cast<SERIAL_BAUD_RATE*>(GetRequestContext(Request)->Buffer)->BaudRate;
        Context->WmiCommData.BaudRate = Context->CurrentBaud;
    }
    Answer(Request, 0);
}

void TestStartGetBaudRate(TEST_PORT_CONTEXT* Context, WDFREQUEST Request)
{
    Record(Request, "StartGetBaudRate");
    static_cast<SERIAL_BAUD_RATE*>(GetRequestContext(Request)->Buffer)->BaudRate = Context->CurrentBaud;
    Answer(Request, sizeof(SERIAL_BAUD_RATE));
}

void TestStartSetLineControl(TEST_PORT_CONTEXT* Context, WDFREQUEST Request)
{
    Record(Request, "StartSetLineControl");
    if (NT_SUCCESS(TestFunction().DeviceStatus)) {
        SerialEmuUpdateLineControl(Context, static_cast<SERIAL_LINE_CONTROL*>(GetRequestContext(Request)->Buffer));
    }
    Answer(Request, 0);
}

void TestStartGetLineControl(TEST_PORT_CONTEXT* Context, WDFREQUEST Request)
{
    Record(Request, "StartGetLineControl");
    *static_cast<SERIAL_LINE_CONTROL*>(GetRequestContext(Request)->Buffer) = Context->LineControl;
    Answer(Request, sizeof(SERIAL_LINE_CONTROL));
}

void TestStartSetBreakOnOff(TEST_PORT_CONTEXT*, WDFREQUEST Request)
{
    Record(Request, "StartSetBreakOnOff");
    Answer(Request, 0);
}

void TestStartSetOrClearDtrRts(TEST_PORT_CONTEXT* Context, WDFREQUEST Request)
{
    Record(Request, "StartSetOrClearDtrRts");
    if (NT_SUCCESS(TestFunction().DeviceStatus)) {
        switch (GetRequestContext(Request)->IoControlCode) {
        case IOCTL_SERIAL_SET_DTR: Context->ModemControl |= SERIAL_MODEM_CONTROL_DTR; break;
        case IOCTL_SERIAL_CLR_DTR: Context->ModemControl &= ~SERIAL_MODEM_CONTROL_DTR; break;
        case IOCTL_SERIAL_SET_RTS: Context->ModemControl |= SERIAL_MODEM_CONTROL_RTS; break;
        case IOCTL_SERIAL_CLR_RTS: Context->ModemControl &= ~SERIAL_MODEM_CONTROL_RTS; break;
        default: break;
        }
    }
    Answer(Request, 0);
}

void TestStartSetModemControl(TEST_PORT_CONTEXT* Context, WDFREQUEST Request)
{
    Record(Request, "StartSetModemControl");
    if (NT_SUCCESS(TestFunction().DeviceStatus)) {
        Context->ModemControl = *static_cast<PULONG>(GetRequestContext(Request)->Buffer) & 0x3;
    }
    Answer(Request, 0);
}

ULONG TestGetModemStatus(TEST_PORT_CONTEXT*) { return TestFunction().ModemStatus; }

void TestEvtIoDeviceControl2nd(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG)
{
    KickStarter(DeviceGetContext(WdfIoQueueGetDevice(Queue)), Request);
}

NTSTATUS CreateCollection(WDFDEVICE Device, WDFCOLLECTION* Collection)
{
    if (*Collection != nullptr) {
        return STATUS_SUCCESS;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    return WdfCollectionCreate(&attributes, Collection);
}

NTSTATUS TestEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST)
{
    TEST_PORT_CONTEXT* context = DeviceGetContext(Device);
    SerialEmuInit(context);
    context->CurrentPowerState = SERIAL_POWER_D3;
    for (WDFCOLLECTION* collection :
         {&context->Usb.ReadMemoryCollection, &context->Usb.FreeReadMemoryCollection, &context->Usb.ReadRequestCollection,
          &context->Usb.PendingReadRequestCollection, &context->Usb.WriteRequestCollection}) {
        const NTSTATUS status = CreateCollection(Device, collection);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    context->Usb.BulkInputMaxPacketSize = 64;
    context->Usb.BulkOutputMaxPacketSize = 64;
    // No function behind the port: nothing is ever read from a device.
    context->Usb.ReadPipeStopped = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS TestEvtD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE)
{
    DeviceGetContext(Device)->CurrentPowerState = SERIAL_POWER_D0;
    return STATUS_SUCCESS;
}

NTSTATUS TestEvtD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    DeviceGetContext(Device)->CurrentPowerState = static_cast<ULONG>(TargetState);
    return STATUS_SUCCESS;
}

void TestEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT)
{
    TEST_PORT_CONTEXT* context = DeviceGetContext(Device);
    context->Usb.ReadMemoryMaxCountBuffered = 0;
    context->Usb.ReadSize = 1216;
    context->Usb.ReadMemoryLimitNum = 1024;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < context->Usb.ReadMemoryLimitNum + 2 && NT_SUCCESS(status); ++i) {
        WDFMEMORY memory = nullptr;
        status = SerialCreateReadMemory(context, &memory);
        if (NT_SUCCESS(status)) {
            status = WdfCollectionAdd(context->Usb.FreeReadMemoryCollection, memory);
            if (!NT_SUCCESS(status)) {
                WdfObjectDelete(memory);
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    SerialComputeReadBufferSizes(context);
    SerialEmuOpen(context);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void TestEvtFileClose(WDFFILEOBJECT FileObject)
{
    TEST_PORT_CONTEXT* context = DeviceGetContext(WdfFileObjectGetDevice(FileObject));
    SerialEmuClose(context);
    DrainTimers(context);
    FlushReadMemoryCollection(context);
    while (WDFOBJECT memory = WdfCollectionGetFirstItem(context->Usb.FreeReadMemoryCollection)) {
        WdfCollectionRemove(context->Usb.FreeReadMemoryCollection, memory);
        WdfObjectDelete(memory);
    }
}

NTSTATUS CreateQueue(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, WDFQUEUE* Queue)
{
    return WdfIoQueueCreate(Device, Config, WDF_NO_OBJECT_ATTRIBUTES, Queue);
}

NTSTATUS TestEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = TestEvtPrepareHardware;
    callbacks.EvtDeviceD0Entry = TestEvtD0Entry;
    callbacks.EvtDeviceD0Exit = TestEvtD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, x9tr::test::TestPortName);
    NTSTATUS status = WdfDeviceInitAssignName(DeviceInit, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, TestEvtDeviceFileCreate, TestEvtFileClose, nullptr);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<REQUEST_CONTEXT>(&requestAttributes);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<TEST_PORT_CONTEXT>(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = nullptr;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TEST_PORT_CONTEXT* context = DeviceGetContext(device);
    context->Device = device;
    context->DeviceObject = WdfDeviceWdmGetDeviceObject(device);

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    config.EvtIoInternalDeviceControl = EvtIoInternalDeviceControl;
    config.EvtIoStop = EvtIoDefaultStop;
    config.EvtIoResume = EvtIoDefaultResume;
    WDFQUEUE defaultQueue = nullptr;
    if (!NT_SUCCESS(status = CreateQueue(device, &config, &defaultQueue))) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = EvtIoWrite;
    config.EvtIoStop = EvtIoWriteStop;
    config.EvtIoResume = EvtIoWriteResume;
    if (!NT_SUCCESS(status = CreateQueue(device, &config, &context->WriteIoQueue)) ||
        !NT_SUCCESS(status = WdfDeviceConfigureRequestDispatching(device, context->WriteIoQueue, WdfRequestTypeWrite))) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    if (!NT_SUCCESS(status = CreateQueue(device, &config, &context->ReadIoQueue)) ||
        !NT_SUCCESS(status = WdfDeviceConfigureRequestDispatching(device, context->ReadIoQueue, WdfRequestTypeRead))) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = TestEvtIoDeviceControl2nd;
    if (!NT_SUCCESS(status = CreateQueue(device, &config, &context->DeviceControl2IoQueue))) {
        return status;
    }

    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = device;
    for (WDFSPINLOCK* lock : {&context->ReadSyncSpinLock, &context->WriteSyncSpinLock, &context->SyncSpinLock,
                              &context->WaitMaskSyncSpinLock}) {
        if (!NT_SUCCESS(status = WdfSpinLockCreate(&lockAttributes, lock))) {
            return status;
        }
    }
    if (!NT_SUCCESS(status = WdfWaitLockCreate(&lockAttributes, &context->WaitLock))) {
        return status;
    }
    WDF_TIMER_CONFIG timerConfig;
    WDF_TIMER_CONFIG_INIT(&timerConfig, EvtReadRequestTotalTimerFunc);
    if (!NT_SUCCESS(status = WdfTimerCreate(&timerConfig, &lockAttributes, &context->ReadRequestTotalTimer))) {
        return status;
    }
    WDF_TIMER_CONFIG_INIT(&timerConfig, EvtReadRequestIntervalTimerFunc);
    return WdfTimerCreate(&timerConfig, &lockAttributes, &context->ReadRequestIntervalTimer);
}

NTSTATUS TestPortDriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, TestEvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

} // namespace

const SERIAL_PERSONALITY SerialPersonality = {
    TestStartSetBaudRate,    TestStartGetBaudRate,      TestStartSetLineControl,  TestStartGetLineControl,
    TestStartSetBreakOnOff,  TestStartSetOrClearDtrRts, TestStartSetModemControl, TestGetModemStatus,
};

} // namespace x9trsertest

namespace x9tr::test {

platform::pnp::DriverImage TestPortImage() { return {u"X9TRtestser", x9trsertest::TestPortDriverEntry}; }

platform::pnp::Manifest TestPortManifest()
{
    return platform::pnp::Manifest{u"X9TRtestser", u"{4d36e978-e325-11ce-bfc1-08002be10318}",
                                   {u"USB\\Vid_0abc&Pid_1d2e&Mi_00"}, "test"};
}

} // namespace x9tr::test
