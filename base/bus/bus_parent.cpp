// The bus driver's entry point and the life of the parent device: its
// creation, its hardware preparation (capabilities, USB, enumeration), its
// release and its cleanup, with the one piece of cross-device coordination:
// a second parent of the same instance number enumerates its children only
// when the earlier one is cleaned up.
#include "base/bus/bus_driver.h"
#include "base/bus/instance_number.h"

namespace x9trbus {

ULONG BusDebugLevel = 0;
ULONG BusDebugFlag = 0;

namespace {

void BusReadTraceSettings(WDFDRIVER Driver)
{
    WDFKEY key = nullptr;
    if (!NT_SUCCESS(WdfDriverOpenParametersRegistryKey(Driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        return;
    }
    UNICODE_STRING level = RTL_CONSTANT_STRING(u"DebugLevel");
    UNICODE_STRING flag = RTL_CONSTANT_STRING(u"DebugFlag");
    WdfRegistryQueryULong(key, &level, &BusDebugLevel);
    WdfRegistryQueryULong(key, &flag, &BusDebugFlag);
    WdfRegistryClose(key);
}

// Asks the lower stack for the handset's capabilities, synchronously.
NTSTATUS BusQueryCapabilities(PARENT_FDO_CONTEXT* Context)
{
    PIRP irp = IoAllocateIrp(Context->DeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    // A PnP request that nobody answers must not look answered.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfRequestCreateFromIrp(WDF_NO_OBJECT_ATTRIBUTES, irp, TRUE, &request);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    RtlZeroMemory(&Context->DeviceCapabilities, sizeof(Context->DeviceCapabilities));
    Context->DeviceCapabilities.Size = sizeof(DEVICE_CAPABILITIES);
    Context->DeviceCapabilities.Version = 1;
    Context->DeviceCapabilities.Address = 0xFFFFFFFF;
    Context->DeviceCapabilities.UINumber = 0xFFFFFFFF;

    IO_STACK_LOCATION stack;
    RtlZeroMemory(&stack, sizeof(stack));
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack.Parameters.DeviceCapabilities.Capabilities = &Context->DeviceCapabilities;
    WdfRequestWdmFormatUsingStackLocation(request, &stack);

    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    if (!WdfRequestSend(request, WdfDeviceGetIoTarget(Context->Device), &options)) {
        status = WdfRequestGetStatus(request);
    }
    WdfObjectDelete(request);
    return status;
}

} // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<DRIVER_CONTEXT>(&attributes);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;

    WDFDRIVER driver = nullptr;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BusReadTraceSettings(driver);

    DRIVER_CONTEXT* context = GetDriverContext(driver);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfCollectionCreate(&attributes, &context->ParentDeviceCollection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfWaitLockCreate(&attributes, &context->ParentDeviceCollectionLock);
    return status;
}

void EvtDriverContextCleanup(WDFOBJECT) {}

NTSTATUS EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    ULONG instanceNumber = 0;
    NTSTATUS status = GetInstanceNumber(DeviceInit, Driver, &instanceNumber);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_BUS_EXTENDER);

    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    callbacks.EvtDeviceReleaseHardware = EvtReleaseHardware;
    callbacks.EvtDeviceD0Entry = ParentFdoEvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = ParentFdoEvtDeviceD0Exit;
    callbacks.EvtDeviceSurpriseRemoval = ParentFdoEvtDeviceSurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = ParentFdoEvtDeviceQueryRemove;
    callbacks.EvtDeviceQueryStop = ParentFdoEvtDeviceQueryStop;
    callbacks.EvtDeviceRelationsQuery = ParentFdoEvtDeviceRelationsQuery;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);

    BusInitChildList(DeviceInit);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<PARENT_FDO_CONTEXT>(&attributes);
    attributes.EvtCleanupCallback = EvtDeviceContextCleanup;
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = nullptr;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PARENT_FDO_CONTEXT* context = GetParentFdoContext(device);
    context->Device = device;
    context->DeviceObject = WdfDeviceWdmGetDeviceObject(device);
    context->InstanceNumber = instanceNumber;

    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.SurpriseRemovalOK = WdfFalse;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    WDF_DEVICE_POWER_CAPABILITIES powerCaps;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCaps);
    WdfDeviceSetPowerCapabilities(device, &powerCaps);

    // The children's requests come to this queue.
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.AllowZeroLengthRequests = FALSE;
    queueConfig.EvtIoDefault = ParentFdoEvtIoDefault;
    queueConfig.EvtIoDeviceControl = ParentFdoEvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = ParentFdoEvtIoInternalDeviceControl;
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    status = WdfIoQueueCreate(device, &queueConfig, &queueAttributes, &context->DefaultQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PNP_BUS_INFORMATION busInformation;
    busInformation.BusTypeGuid = GUID_BUS_TYPE_USB;
    busInformation.LegacyBusType = PNPBus;
    busInformation.BusNumber = 0;
    WdfDeviceSetBusInformationForChildren(device, &busInformation);
    return STATUS_SUCCESS;
}

NTSTATUS EvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    NTSTATUS status = BusQueryCapabilities(context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = BusUsbInit(Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    DRIVER_CONTEXT* driverContext = GetDriverContext(WdfGetDriver());
    WdfWaitLockAcquire(driverContext->ParentDeviceCollectionLock, nullptr);

    // A parent prepared again already has its entry: it passes over it, and
    // is not added twice.
    BOOLEAN alreadyListed = FALSE;
    context->EnumerationPending = FALSE;
    const ULONG count = WdfCollectionGetCount(driverContext->ParentDeviceCollection);
    for (ULONG i = 0; i < count; ++i) {
        WDFOBJECT entry = WdfCollectionGetItem(driverContext->ParentDeviceCollection, i);
        if (entry == nullptr) {
            continue;
        }
        if (entry == Device) {
            alreadyListed = TRUE;
            continue;
        }
        if (GetParentFdoContext(entry)->InstanceNumber == context->InstanceNumber) {
            context->EnumerationPending = TRUE;
        }
    }
    if (!alreadyListed) {
        status = WdfCollectionAdd(driverContext->ParentDeviceCollection, Device);
    }
    if (NT_SUCCESS(status)) {
        status = context->EnumerationPending ? STATUS_SUCCESS : BusEnumerateChildren(Device);
    }
    WdfWaitLockRelease(driverContext->ParentDeviceCollectionLock);
    return status;
}

NTSTATUS BusUsbInit(WDFDEVICE Device)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    NTSTATUS status = WdfFdoQueryForInterface(Device, &USB_BUS_INTERFACE_USBDI_GUID,
                                              reinterpret_cast<PINTERFACE>(&context->UsbBusInterface),
                                              sizeof(USB_BUS_INTERFACE_USBDI_V1), USB_BUSIF_USBDI_VERSION_1, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A parent that is prepared again keeps the USB target of its first preparation.
    if (context->UsbDevice == nullptr) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &context->UsbDevice);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return BusUsbSetConfiguration(Device);
}

NTSTATUS EvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    BusRemoveChildren(Device);
    // The bus interface was referenced for this preparation.
    if (context->UsbBusInterface.InterfaceDereference != nullptr) {
        context->UsbBusInterface.InterfaceDereference(context->UsbBusInterface.BusContext);
        context->UsbBusInterface.InterfaceDereference = nullptr;
    }
    if (context->UsbDevice != nullptr) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        WdfUsbTargetDeviceSelectConfig(context->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    }
    return STATUS_SUCCESS;
}

void BusRemoveChildren(WDFDEVICE Device)
{
    // A scan that reports nothing: every child is reported missing.
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(Device);
    WdfChildListBeginScan(list);
    WdfChildListEndScan(list);
}

void EvtDeviceContextCleanup(WDFOBJECT Device)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    DRIVER_CONTEXT* driverContext = GetDriverContext(WdfGetDriver());
    WdfWaitLockAcquire(driverContext->ParentDeviceCollectionLock, nullptr);
    // Only a parent that held its instance lets a waiting one go: one never
    // listed, or itself waiting, hands nothing on.
    BOOLEAN listed = FALSE;
    ULONG count = WdfCollectionGetCount(driverContext->ParentDeviceCollection);
    for (ULONG i = 0; i < count; ++i) {
        listed = listed || WdfCollectionGetItem(driverContext->ParentDeviceCollection, i) == Device;
    }
    WdfCollectionRemove(driverContext->ParentDeviceCollection, Device);
    if (!listed || context->EnumerationPending) {
        WdfWaitLockRelease(driverContext->ParentDeviceCollectionLock);
        return;
    }
    count = WdfCollectionGetCount(driverContext->ParentDeviceCollection);
    for (ULONG i = 0; i < count; ++i) {
        WDFOBJECT entry = WdfCollectionGetItem(driverContext->ParentDeviceCollection, i);
        if (entry == nullptr) {
            continue;
        }
        PARENT_FDO_CONTEXT* other = GetParentFdoContext(entry);
        if (other->InstanceNumber != context->InstanceNumber || !other->EnumerationPending) {
            continue;
        }
        if (NT_SUCCESS(BusEnumerateChildren(static_cast<WDFDEVICE>(entry)))) {
            other->EnumerationPending = FALSE;
            break;
        }
    }
    WdfWaitLockRelease(driverContext->ParentDeviceCollectionLock);
}

NTSTATUS ParentFdoEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE)
{
    GetParentFdoContext(Device)->DevicePowerState = WdfPowerDeviceD0;
    return STATUS_SUCCESS;
}

NTSTATUS ParentFdoEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    GetParentFdoContext(Device)->DevicePowerState = TargetState;
    return STATUS_SUCCESS;
}

void ParentFdoEvtDeviceSurpriseRemoval(WDFDEVICE) {}

NTSTATUS ParentFdoEvtDeviceQueryRemove(WDFDEVICE) { return STATUS_SUCCESS; }

NTSTATUS ParentFdoEvtDeviceQueryStop(WDFDEVICE) { return STATUS_SUCCESS; }

void ParentFdoEvtDeviceRelationsQuery(WDFDEVICE, DEVICE_RELATION_TYPE) {}

} // namespace x9trbus
