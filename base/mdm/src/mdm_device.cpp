// The modem port device: driver entry, the port device on the ACM child
// with its queues, locks and timers, preparation, power transitions, and
// the opening and closing of the port by an application.
#include "base/bus/instance_number.h"
#include "base/mdm/src/mdm.h"

namespace x9trmdm {

namespace {

constexpr ULONG kNameBufferBytes = 256;
constexpr ULONG kFullSpeedReadSize = 0x4C0;  // 1216
constexpr ULONG kHighSpeedReadSize = 0x1A00; // 6656
constexpr ULONG kReadMemoryLimit = 1024;
constexpr LONGLONG kPipeTimeout = -10'000'000; // 1 s, relative

EVT_WDF_DRIVER_DEVICE_ADD EvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDriverContextCleanup;
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtPrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL MdmEvtDeviceSurpriseRemoval;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceContextCleanup;
EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE EvtFileClose;

ULONG DebugLevel;
ULONG DebugFlag;

void ReadDebugSettings(WDFDRIVER Driver)
{
    WDFKEY key = nullptr;
    if (!NT_SUCCESS(WdfDriverOpenParametersRegistryKey(Driver, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        return;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"DebugLevel");
    WdfRegistryQueryULong(key, &name, &DebugLevel);
    RtlInitUnicodeString(&name, u"DebugFlag");
    WdfRegistryQueryULong(key, &name, &DebugFlag);
    WdfRegistryClose(key);
}

void EvtDriverContextCleanup(WDFOBJECT) {}

NTSTATUS CreatePortQueues(WDFDEVICE Device, PMDM_DEVICE_CONTEXT Context)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    config.EvtIoInternalDeviceControl = EvtIoInternalDeviceControl;
    config.EvtIoStop = EvtIoDefaultStop;
    config.EvtIoResume = EvtIoDefaultResume;
    WDFQUEUE defaultQueue = nullptr;
    NTSTATUS status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &defaultQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = MdmEvtIoDeviceControl2nd;
    config.EvtIoStop = MdmEvtIoDeviceControl2ndStop;
    config.EvtIoResume = MdmEvtIoDeviceControl2ndResume;
    status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Context->DeviceControl2IoQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoRead = EvtIoRead;
    config.EvtIoStop = EvtIoReadStop;
    config.EvtIoResume = EvtIoReadResume;
    status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Context->ReadIoQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = EvtIoWrite;
    config.EvtIoStop = EvtIoWriteStop;
    config.EvtIoResume = EvtIoWriteResume;
    status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Context->WriteIoQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceConfigureRequestDispatching(Device, Context->ReadIoQueue, WdfRequestTypeRead);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WdfDeviceConfigureRequestDispatching(Device, Context->WriteIoQueue, WdfRequestTypeWrite);
}

NTSTATUS CreatePortLocksAndTimers(WDFDEVICE Device, PMDM_DEVICE_CONTEXT Context)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = STATUS_SUCCESS;
    for (WDFSPINLOCK* lock : {&Context->SyncSpinLock, &Context->ReadSyncSpinLock, &Context->WriteSyncSpinLock,
                              &Context->WaitMaskSyncSpinLock}) {
        status = WdfSpinLockCreate(&attributes, lock);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    status = WdfWaitLockCreate(&attributes, &Context->WaitLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_TIMER_CONFIG timerConfig;
    WDF_TIMER_CONFIG_INIT(&timerConfig, EvtReadRequestTotalTimerFunc);
    timerConfig.AutomaticSerialization = TRUE;
    status = WdfTimerCreate(&timerConfig, &attributes, &Context->ReadRequestTotalTimer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_TIMER_CONFIG_INIT(&timerConfig, EvtReadRequestIntervalTimerFunc);
    timerConfig.AutomaticSerialization = TRUE;
    return WdfTimerCreate(&timerConfig, &attributes, &Context->ReadRequestIntervalTimer);
}

NTSTATUS EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    ULONG instanceNumber = 0;
    NTSTATUS status = GetInstanceNumber(DeviceInit, Driver, &instanceNumber);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WCHAR nameBuffer[kNameBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING deviceName{0, static_cast<USHORT>(sizeof(nameBuffer)), nameBuffer};
    status = RtlUnicodeStringPrintf(&deviceName, u"%ws%ws%d", u"\\Device\\", u"X9TRmdm", instanceNumber);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING sddl;
    // System all access; administrators and everyone read and write.
    RtlInitUnicodeString(&sddl, u"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)(A;;GRGW;;;WD)");
    status = WdfDeviceInitAssignSDDLString(DeviceInit, &sddl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<REQUEST_CONTEXT>(&requestAttributes);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = EvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = EvtDeviceD0Exit;
    callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    callbacks.EvtDeviceReleaseHardware = EvtReleaseHardware;
    callbacks.EvtDeviceSurpriseRemoval = MdmEvtDeviceSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, EvtFileClose, WDF_NO_EVENT_CALLBACK);
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
    fileAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);

    struct {
        UCHAR MajorFunction;
        PFN_WDFDEVICE_WDM_IRP_PREPROCESS Callback;
    } const preprocess[] = {
        {IRP_MJ_FLUSH_BUFFERS, EvtMjFlushBuffer},
        {IRP_MJ_QUERY_INFORMATION, EvtSerialQueryInformationFile},
        {IRP_MJ_SET_INFORMATION, EvtSerialSetInformationFile},
    };
    for (const auto& entry : preprocess) {
        status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, entry.Callback, entry.MajorFunction, nullptr, 0);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<MDM_DEVICE_CONTEXT>(&attributes);
    attributes.EvtCleanupCallback = EvtDeviceContextCleanup;
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = nullptr;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(device);
    context->DriverObject = WdfDriverWdmGetDriverObject(Driver);
    context->Device = device;
    context->DeviceObject = WdfDeviceWdmGetDeviceObject(device);
    context->DeviceOpened = FALSE;

    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.SurpriseRemovalOK = WdfTrue;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(device, &capabilities);

    if (!NT_SUCCESS(status = CreatePortQueues(device, context)) ||
        !NT_SUCCESS(status = CreatePortLocksAndTimers(device, context)) ||
        !NT_SUCCESS(status = SerialWmiRegistration(device)) ||
        !NT_SUCCESS(status = SerialDoExternalNaming(context))) {
        return status;
    }
    IoGetConfigurationInformation()->SerialCount++;
    context->CountedInSerialCount = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS EvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST)
{
    // The serial state is reset whatever the function's setup says.
    const NTSTATUS status = MdmUsbInit(Device);
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(Device);
    MarkClose(context);
    context->CurrentReadRequest = nullptr;
    context->CurrentWaitOnMaskRequest = nullptr;
    context->CurrentPowerState = SERIAL_POWER_D3;
    SerialEmuInit(context);
    return status;
}

NTSTATUS EvtReleaseHardware(WDFDEVICE, WDFCMRESLIST) { return STATUS_SUCCESS; }

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(Device);
    context->CurrentPowerState = SERIAL_POWER_D0;
    NTSTATUS status = MdmD0EntryInterruptPipe(context);
    if (NT_SUCCESS(status) && IsDeviceOpened(context)) {
        status = StartUsbRead(context);
    }
    if (!NT_SUCCESS(status)) {
        context->CurrentPowerState = static_cast<ULONG>(PreviousState);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(Device);
    NTSTATUS status = STATUS_SUCCESS;
    // StopUsbRead keeps the pipe-reset work item from restarting the reader.
    if (IsDeviceOpened(context)) {
        status = StopUsbRead(context);
    }
    MdmD0ExitInterruptPipe(context);
    context->CurrentPowerState = static_cast<ULONG>(TargetState);
    return status;
}

void MdmEvtDeviceSurpriseRemoval(WDFDEVICE) {}

void EvtDeviceContextCleanup(WDFOBJECT Object)
{
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(static_cast<WDFDEVICE>(Object));
    if (context->CountedInSerialCount) {
        IoGetConfigurationInformation()->SerialCount--;
        context->CountedInSerialCount = FALSE;
    }
    SerialUndoExternalNaming(context);
}

void DeleteFreeReadMemories(PMDM_DEVICE_CONTEXT Context)
{
    while (WDFOBJECT memory = WdfCollectionGetFirstItem(Context->Usb.FreeReadMemoryCollection)) {
        WdfCollectionRemove(Context->Usb.FreeReadMemoryCollection, memory);
        WdfObjectDelete(memory);
    }
}

// An open that failed part way is taken back: the port is closed again, its
// memories freed and stop and remove allowed, so that the application can
// try again and the device can go.
void UndoPartialOpen(PMDM_DEVICE_CONTEXT Context, BOOLEAN StopRemoveRefused)
{
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    Context->Usb.ReadPipeStopped = TRUE;
    WdfSpinLockRelease(Context->ReadSyncSpinLock);
    if (StopRemoveRefused) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Context->Usb.BulkInputPipe), WdfIoTargetCancelSentIo);
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Context->Usb.BulkOutputPipe), WdfIoTargetCancelSentIo);
    }
    MarkClose(Context);
    FlushReadMemoryCollection(Context);
    DeleteFreeReadMemories(Context);
    if (StopRemoveRefused) {
        WdfDeviceSetStaticStopRemove(Context->Device, TRUE);
    }
}

void OpenFailed(PMDM_DEVICE_CONTEXT Context, WDFREQUEST Request, NTSTATUS Status, BOOLEAN StopRemoveRefused)
{
    UndoPartialOpen(Context, StopRemoveRefused);
    WdfRequestComplete(Request, Status);
}

ULONG OpenReadSize(const MDM_USB_PART* Usb)
{
    ULONG readSize = (Usb->UsbDeviceTraits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED) != 0 ? kHighSpeedReadSize
                                                                                   : kFullSpeedReadSize;
    const ULONG packet = Usb->BulkInputMaxPacketSize;
    if (packet != 0) {
        // Each transfer is whole packets, so that a short packet always ends it.
        readSize = (readSize + packet - 1) / packet * packet;
    }
    return readSize;
}

void EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT)
{
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(Device);
    PMDM_USB_PART usb = &context->Usb;
    usb->ReadMemoryMaxCountBuffered = 0;
    usb->ReadSize = OpenReadSize(usb);
    usb->ReadMemoryLimitNum = kReadMemoryLimit;

    // The buffer's memories and one for each of the two reads in flight.
    NTSTATUS status = STATUS_SUCCESS;
    ULONG added = 0;
    for (; added < kReadMemoryLimit + 2; ++added) {
        WDFMEMORY memory = nullptr;
        status = SerialCreateReadMemory(context, &memory);
        if (!NT_SUCCESS(status)) {
            break;
        }
        status = WdfCollectionAdd(usb->FreeReadMemoryCollection, memory);
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(memory);
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        usb->ReadMemoryLimitNum = added;
        OpenFailed(context, Request, status, FALSE);
        return;
    }
    SerialComputeReadBufferSizes(context);
    SerialEmuOpen(context);

    WdfDeviceSetStaticStopRemove(Device, FALSE);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(usb->BulkOutputPipe), WdfIoTargetCancelSentIo);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(usb->BulkInputPipe), WdfIoTargetCancelSentIo);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, kPipeTimeout);
    for (WDFUSBPIPE pipe : {usb->BulkOutputPipe, usb->BulkInputPipe}) {
        status = WdfUsbTargetPipeResetSynchronously(pipe, WDF_NO_HANDLE, &options);
        if (!NT_SUCCESS(status)) {
            OpenFailed(context, Request, status, TRUE);
            return;
        }
    }
    usb->ResetPipePending = FALSE;
    status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(usb->BulkOutputPipe));
    if (NT_SUCCESS(status)) {
        status = StartUsbRead(context);
    }
    if (!NT_SUCCESS(status)) {
        OpenFailed(context, Request, status, TRUE);
        return;
    }
    context->TXHolding = 0;
    WdfIoQueueStart(context->WriteIoQueue);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void EvtFileClose(WDFFILEOBJECT FileObject)
{
    WDFDEVICE device = WdfFileObjectGetDevice(FileObject);
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(device);
    PMDM_USB_PART usb = &context->Usb;
    // From here the pipe-reset work item sees the port closed; out of D0 the
    // reader was stopped at D0 exit, in D0 StopUsbRead waits out a work item
    // still running, so none restarts the reader while its memories are freed.
    SerialEmuClose(context);
    const BOOLEAN inD0 = context->CurrentPowerState == SERIAL_POWER_D0;
    if (inD0) {
        StopUsbRead(context);
    }
    FlushReadMemoryCollection(context);
    DeleteFreeReadMemories(context);

    // The most memories ever held, and those of the open that just ended.
    ULONG most = 0;
    if (!SerialGetRegistryKeyValue(device, u"MaxCountUsbReadMemoriesBuffered", &most) ||
        most < usb->ReadMemoryMaxCountBuffered) {
        SerialPutRegistryKeyValue(device, u"MaxCountUsbReadMemoriesBuffered", usb->ReadMemoryMaxCountBuffered);
    }
    SerialPutRegistryKeyValue(device, u"MaxCountUsbReadMemoriesBufferedLastTime", usb->ReadMemoryMaxCountBuffered);

    DrainTimers(context);
    if (inD0) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(usb->BulkOutputPipe), WdfIoTargetCancelSentIo);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options,
                                      WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, kPipeTimeout);
        NTSTATUS status = WdfUsbTargetPipeAbortSynchronously(usb->BulkOutputPipe, WDF_NO_HANDLE, &options);
        for (int retry = 0; retry < 5 && status == STATUS_INSUFFICIENT_RESOURCES; ++retry) {
            LARGE_INTEGER interval;
            interval.QuadPart = -1'000'000; // 100 ms
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            status = WdfUsbTargetPipeAbortSynchronously(usb->BulkOutputPipe, WDF_NO_HANDLE, &options);
        }
        // Class requests still in flight are cancelled with the device target's I/O.
        WDFIOTARGET deviceTarget = WdfUsbTargetDeviceGetIoTarget(usb->UsbDevice);
        WdfIoTargetStop(deviceTarget, WdfIoTargetCancelSentIo);
        WdfIoTargetStart(deviceTarget);
    }
    WdfDeviceSetStaticStopRemove(device, TRUE);
}

} // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;
    WDFDRIVER driver = nullptr;
    const NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (NT_SUCCESS(status)) {
        ReadDebugSettings(driver);
    }
    return status;
}

} // namespace x9trmdm
