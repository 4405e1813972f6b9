// Child devices: the identity of each function's child (device, hardware,
// compatible and instance IDs, device text), its capabilities, its queue and
// the USB bus interface it offers its function driver.
#include "base/bus/bus_driver.h"

namespace x9trbus {

namespace {

// Every identity string is formatted into a counted string of at most 512 bytes.
struct ID_BUFFER {
    WCHAR Buffer[256];
    UNICODE_STRING String;

    ID_BUFFER() : Buffer{}, String{0, sizeof(Buffer), Buffer} {}
};

// Printable ASCII other than space, comma and backslash.
BOOLEAN BusIsValidInstanceText(PCUNICODE_STRING Text)
{
    for (USHORT i = 0; i < Text->Length / sizeof(WCHAR); ++i) {
        const WCHAR c = Text->Buffer[i];
        if (c <= 0x20 || c >= 0x7F || c == u',' || c == u'\\') {
            return FALSE;
        }
    }
    return TRUE;
}

} // namespace

NTSTATUS BusEvtChildListCreateDevice(WDFCHILDLIST ChildList,
                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                                     PWDFDEVICE_INIT ChildInit)
{
    auto* description = reinterpret_cast<PCHILD_IDENTIFICATION_DESCRIPTION>(IdentificationDescription);
    WDFDEVICE parent = WdfChildListGetDevice(ChildList);
    PARENT_FDO_CONTEXT* parentContext = GetParentFdoContext(parent);
    const USHORT vid = parentContext->UsbDeviceDescriptor.idVendor;
    const USHORT pid = parentContext->UsbDeviceDescriptor.idProduct;
    const USHORT rev = parentContext->UsbDeviceDescriptor.bcdDevice;
    const UCHAR mi = description->InterfaceNumber;
    const UCHAR c = description->Class;
    const UCHAR s = description->SubClass;
    const UCHAR p = description->Protocol;

    WdfDeviceInitSetDeviceType(ChildInit, FILE_DEVICE_BUS_EXTENDER);

    ID_BUFFER id;
    NTSTATUS status = RtlUnicodeStringPrintf(&id.String, u"USB\\Vid_%04x&Pid_%04x&Mi_%02x", vid, pid, mi);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfPdoInitAssignDeviceID(ChildInit, &id.String);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Hardware IDs, most specific first.
    for (int i = 1; i <= 10; ++i) {
        ID_BUFFER hardware;
        switch (i) {
        case 1: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Rev_%04x&Mi_%02x&Os_NT", vid, pid, rev, mi); break;
        case 2: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Rev_%04x&Mi_%02x", vid, pid, rev, mi); break;
        case 3: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Mi_%02x&Os_NT", vid, pid, mi); break;
        case 4: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Mi_%02x", vid, pid, mi); break;
        case 5: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Prot_%02x&Os_NT", vid, pid, c, s, p); break;
        case 6: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Prot_%02x", vid, pid, c, s, p); break;
        case 7: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Os_NT", vid, pid, c, s); break;
        case 8: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x", vid, pid, c, s); break;
        case 9: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Class_%02x&Os_NT", vid, pid, c); break;
        default: status = RtlUnicodeStringPrintf(&hardware.String, u"USB\\Vid_%04x&Pid_%04x&Class_%02x", vid, pid, c); break;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WdfPdoInitAddHardwareID(ChildInit, &hardware.String);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    for (int i = 1; i <= 3; ++i) {
        ID_BUFFER compatible;
        switch (i) {
        case 1: status = RtlUnicodeStringPrintf(&compatible.String, u"USB\\Class_%02x&SubClass_%02x&Prot_%02x", c, s, p); break;
        case 2: status = RtlUnicodeStringPrintf(&compatible.String, u"USB\\Class_%02x&SubClass_%02x", c, s); break;
        default: status = RtlUnicodeStringPrintf(&compatible.String, u"USB\\Class_%02x", c); break;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WdfPdoInitAddCompatibleID(ChildInit, &compatible.String);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    // The instance ID: the serial number and the interface when the parent
    // reports a unique ID, the interface alone otherwise. A serial number
    // with characters an instance ID cannot hold is no unique ID.
    const BOOLEAN uniqueId =
        parentContext->DeviceCapabilities.UniqueID && BusIsValidInstanceText(&parentContext->SerialNum) ? TRUE : FALSE;
    ID_BUFFER instance;
    if (uniqueId) {
        RtlCopyUnicodeString(&instance.String, &parentContext->SerialNum);
        status = RtlUnicodeStringCatPrintf(&instance.String, u"_%02x", mi);
    } else {
        status = RtlUnicodeStringPrintf(&instance.String, u"%ws", u"");
        if (NT_SUCCESS(status)) {
            status = RtlUnicodeStringCatPrintf(&instance.String, u"%02x", mi);
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfPdoInitAssignInstanceID(ChildInit, &instance.String);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfPdoInitAddDeviceText(ChildInit, &description->FunctionDescription, &parentContext->ProductString,
                                     parentContext->LangId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfPdoInitSetDefaultLocale(ChildInit, parentContext->LangId);
    WdfPdoInitAllowForwardingRequestToParent(ChildInit);

    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = ChildPdoEvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = ChildPdoEvtDeviceD0Exit;
    callbacks.EvtDeviceSurpriseRemoval = ChildPdoEvtDeviceSurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = ChildPdoEvtDeviceQueryRemove;
    callbacks.EvtDeviceQueryStop = ChildPdoEvtDeviceQueryStop;
    WdfDeviceInitSetPnpPowerEventCallbacks(ChildInit, &callbacks);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<CHILD_PDO_CONTEXT>(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE child = nullptr;
    status = WdfDeviceCreate(&ChildInit, &attributes, &child);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    CHILD_PDO_CONTEXT* context = GetChildPdoContext(child);
    context->Device = child;
    context->DeviceObject = WdfDeviceWdmGetDeviceObject(child);
    context->ParentDevice = parent;

    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.Removable = WdfFalse;
    pnpCaps.UniqueID = uniqueId ? WdfTrue : WdfFalse;
    pnpCaps.Address = mi;
    WdfDeviceSetPnpCapabilities(child, &pnpCaps);

    WDF_DEVICE_POWER_CAPABILITIES powerCaps;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCaps);
    powerCaps.DeviceD1 = WdfTrue;
    powerCaps.DeviceD2 = WdfTrue;
    powerCaps.WakeFromD0 = WdfTrue;
    powerCaps.WakeFromD1 = WdfTrue;
    powerCaps.WakeFromD2 = WdfTrue;
    powerCaps.WakeFromD3 = WdfFalse;
    powerCaps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    powerCaps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    powerCaps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    powerCaps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    powerCaps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    powerCaps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    powerCaps.DeviceWake = PowerDeviceD2;
    powerCaps.SystemWake = PowerSystemSleeping3;
    WdfDeviceSetPowerCapabilities(child, &powerCaps);

    context->ParentQueue = parentContext->DefaultQueue;

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.PowerManaged = WdfFalse;
    queueConfig.AllowZeroLengthRequests = FALSE;
    queueConfig.EvtIoDefault = ChildPdoEvtIoDefault;
    queueConfig.EvtIoDeviceControl = ChildPdoEvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = ChildPdoEvtIoInternalDeviceControl;
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    status = WdfIoQueueCreate(child, &queueConfig, &queueAttributes, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_QUERY_INTERFACE_CONFIG interfaceConfig;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&interfaceConfig, reinterpret_cast<PINTERFACE>(&parentContext->UsbBusInterface),
                                    &USB_BUS_INTERFACE_USBDI_GUID, nullptr);
    interfaceConfig.SendQueryToParentStack = FALSE;
    interfaceConfig.ImportInterface = FALSE;
    return WdfDeviceAddQueryInterface(child, &interfaceConfig);
}

BOOLEAN BusEvtChildListDeviceReenumerated(WDFCHILDLIST, WDFDEVICE, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER,
                                          PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER)
{
    return FALSE;
}

NTSTATUS ChildPdoEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE)
{
    GetChildPdoContext(Device)->DevicePowerState = WdfPowerDeviceD0;
    return STATUS_SUCCESS;
}

NTSTATUS ChildPdoEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    GetChildPdoContext(Device)->DevicePowerState = TargetState;
    return STATUS_SUCCESS;
}

void ChildPdoEvtDeviceSurpriseRemoval(WDFDEVICE) {}

NTSTATUS ChildPdoEvtDeviceQueryRemove(WDFDEVICE) { return STATUS_SUCCESS; }

NTSTATUS ChildPdoEvtDeviceQueryStop(WDFDEVICE) { return STATUS_SUCCESS; }

} // namespace x9trbus
