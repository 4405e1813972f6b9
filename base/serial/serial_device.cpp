// The port's public names and the requests it answers itself: the device
// name, the COM name from PortName, the \DosDevices link, the SERIALCOMM
// device map entry, the COM port device interface, the serial WMI blocks,
// and flush and file information requests.
#include "base/serial/serial.h"

#include <cstring>

namespace X9TR_DRIVER_NAMESPACE {

namespace {

constexpr ULONG kNameBufferBytes = 256;
constexpr WCHAR kSerialCommKey[] = u"SERIALCOMM";

PDEVICE_CONTEXT WmiContext(WDFWMIINSTANCE Instance) { return DeviceGetContext(WdfWmiInstanceGetDevice(Instance)); }

// A fixed-size block: the buffer must hold all of it.
NTSTATUS AnswerFixedBlock(const void* Block, ULONG Size, ULONG OutBufferSize, PVOID OutBuffer, PULONG BufferUsed)
{
    *BufferUsed = Size;
    if (OutBufferSize < Size) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(OutBuffer, Block, Size);
    return STATUS_SUCCESS;
}

NTSTATUS EvtWmiQueryPortName(WDFWMIINSTANCE Instance, ULONG OutBufferSize, PVOID OutBuffer, PULONG BufferUsed)
{
    WCHAR name[kNameBufferBytes / sizeof(WCHAR)];
    USHORT length = 0;
    NTSTATUS status = SerialReadSymName(WdfWmiInstanceGetDevice(Instance), name, &length);
    if (!NT_SUCCESS(status)) {
        *BufferUsed = 0;
        return status;
    }
    // A counted string: its byte length, then the characters without terminator.
    const ULONG size = static_cast<ULONG>(length) + sizeof(USHORT);
    *BufferUsed = size;
    if (OutBufferSize < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(OutBuffer, &length, sizeof(USHORT));
    std::memcpy(static_cast<PUCHAR>(OutBuffer) + sizeof(USHORT), name, length);
    return STATUS_SUCCESS;
}

NTSTATUS EvtWmiQueryCommInfo(WDFWMIINSTANCE Instance, ULONG OutBufferSize, PVOID OutBuffer, PULONG BufferUsed)
{
    const PDEVICE_CONTEXT context = WmiContext(Instance);
    return AnswerFixedBlock(&context->WmiCommData, sizeof(SERIAL_WMI_COMM_DATA), OutBufferSize, OutBuffer, BufferUsed);
}

NTSTATUS EvtWmiQueryHardwareConfiguration(WDFWMIINSTANCE Instance, ULONG OutBufferSize, PVOID OutBuffer,
                                          PULONG BufferUsed)
{
    const PDEVICE_CONTEXT context = WmiContext(Instance);
    return AnswerFixedBlock(&context->WmiHwData, sizeof(SERIAL_WMI_HW_DATA), OutBufferSize, OutBuffer, BufferUsed);
}

NTSTATUS EvtWmiQueryPerformanceInformation(WDFWMIINSTANCE Instance, ULONG OutBufferSize, PVOID OutBuffer,
                                           PULONG BufferUsed)
{
    const PDEVICE_CONTEXT context = WmiContext(Instance);
    return AnswerFixedBlock(&context->WmiPerfData, sizeof(SERIAL_WMI_PERF_DATA), OutBufferSize, OutBuffer, BufferUsed);
}

// The block is the port's SERIAL_COMMPROP with its provider characters
// word cleared, in a block four bytes longer than the record.
constexpr ULONG kCommPropertiesBlockSize = 68;

NTSTATUS EvtWmiQueryCommProperties(WDFWMIINSTANCE Instance, ULONG OutBufferSize, PVOID OutBuffer, PULONG BufferUsed)
{
    *BufferUsed = kCommPropertiesBlockSize;
    if (OutBufferSize < kCommPropertiesBlockSize) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SERIAL_COMMPROP properties;
    SerialGetProperties(WmiContext(Instance), &properties);
    std::memcpy(OutBuffer, &properties, sizeof(properties));
    const ULONG cleared = 0;
    std::memcpy(static_cast<PUCHAR>(OutBuffer) + 60, &cleared, sizeof(cleared));
    return STATUS_SUCCESS;
}

NTSTATUS CreateWmiInstance(WDFDEVICE Device, const GUID& Block, ULONG MinimumSize,
                           PFN_WDF_WMI_INSTANCE_QUERY_INSTANCE Query)
{
    WDF_WMI_PROVIDER_CONFIG providerConfig;
    WDF_WMI_PROVIDER_CONFIG_INIT(&providerConfig, &Block);
    providerConfig.MinInstanceBufferSize = MinimumSize;
    WDF_WMI_INSTANCE_CONFIG instanceConfig;
    WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(&instanceConfig, &providerConfig);
    instanceConfig.Register = TRUE;
    instanceConfig.EvtWmiInstanceQueryInstance = Query;
    return WdfWmiInstanceCreate(Device, &instanceConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

} // namespace

NTSTATUS SerialReadSymName(WDFDEVICE Device, PWSTR Buffer, PUSHORT Length)
{
    WDFKEY key = nullptr;
    NTSTATUS status =
        WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, u"PortName");
    UNICODE_STRING name{0, static_cast<USHORT>(kNameBufferBytes), Buffer};
    USHORT valueLength = 0;
    status = WdfRegistryQueryUnicodeString(key, &valueName, &valueLength, &name);
    WdfRegistryClose(key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Room is left for the terminating zero; an empty name names no port.
    if (name.Length > kNameBufferBytes - sizeof(WCHAR) || name.Length == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    Buffer[name.Length / sizeof(WCHAR)] = 0;
    *Length = name.Length;
    return STATUS_SUCCESS;
}

NTSTATUS SerialDoExternalNaming(PDEVICE_CONTEXT Context)
{
    WDFDEVICE device = Context->Device;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    WDFSTRING nameString = nullptr;
    NTSTATUS status = WdfStringCreate(nullptr, &attributes, &nameString);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceRetrieveDeviceName(device, nameString);
    }
    if (NT_SUCCESS(status)) {
        WdfStringGetUnicodeString(nameString, &Context->DeviceName);
    }

    WCHAR portName[kNameBufferBytes / sizeof(WCHAR)];
    USHORT portNameLength = 0;
    if (NT_SUCCESS(status)) {
        status = SerialReadSymName(device, portName, &portNameLength);
    }
    if (NT_SUCCESS(status)) {
        // Room for the prefix and every name SerialReadSymName accepts.
        WCHAR linkBuffer[(kNameBufferBytes + sizeof(u"\\DosDevices\\")) / sizeof(WCHAR)];
        UNICODE_STRING link{0, static_cast<USHORT>(sizeof(linkBuffer)), linkBuffer};
        status = RtlUnicodeStringPrintf(&link, u"\\%ws\\%ws", u"DosDevices", portName);
        if (NT_SUCCESS(status)) {
            status = WdfDeviceCreateSymbolicLink(device, &link);
        }
    }
    if (NT_SUCCESS(status)) {
        // The value is named by the device name, which a string object
        // does not terminate: the map key takes a terminated copy.
        std::u16string deviceName(Context->DeviceName.Buffer, Context->DeviceName.Length / sizeof(WCHAR));
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, deviceName.c_str(), REG_SZ, portName,
                                       static_cast<ULONG>(portNameLength) + sizeof(WCHAR));
        if (NT_SUCCESS(status)) {
            Context->CreatedSerialCommEntry = TRUE;
        }
    }
    if (NT_SUCCESS(status)) {
        status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_COMPORT, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        SerialUndoExternalNaming(Context);
        Context->CreatedSerialCommEntry = FALSE;
        Context->DeviceName = UNICODE_STRING{};
        if (nameString != nullptr) {
            WdfObjectDelete(nameString);
        }
    }
    return status;
}

void SerialUndoExternalNaming(PDEVICE_CONTEXT Context)
{
    if (Context->DeviceName.Buffer == nullptr || !Context->CreatedSerialCommEntry) {
        return;
    }
    std::u16string deviceName(Context->DeviceName.Buffer, Context->DeviceName.Length / sizeof(WCHAR));
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, deviceName.c_str());
}

NTSTATUS SerialWmiRegistration(WDFDEVICE Device)
{
    PDEVICE_CONTEXT context = DeviceGetContext(Device);
    context->WmiPerfData = SERIAL_WMI_PERF_DATA{};
    NTSTATUS status = CreateWmiInstance(Device, MSSerial_PortName_GUID, 0, EvtWmiQueryPortName);
    if (NT_SUCCESS(status)) {
        status = CreateWmiInstance(Device, MSSerial_CommInfo_GUID, sizeof(SERIAL_WMI_COMM_DATA), EvtWmiQueryCommInfo);
    }
    if (NT_SUCCESS(status)) {
        status = CreateWmiInstance(Device, MSSerial_HardwareConfiguration_GUID, sizeof(SERIAL_WMI_HW_DATA),
                                   EvtWmiQueryHardwareConfiguration);
    }
    if (NT_SUCCESS(status)) {
        status = CreateWmiInstance(Device, MSSerial_PerformanceInformation_GUID, sizeof(SERIAL_WMI_PERF_DATA),
                                   EvtWmiQueryPerformanceInformation);
    }
    if (NT_SUCCESS(status)) {
        status = CreateWmiInstance(Device, MSSerial_CommProperties_GUID, kCommPropertiesBlockSize,
                                   EvtWmiQueryCommProperties);
    }
    return status;
}

NTSTATUS MjFlushBufferCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoGetCurrentIrpStackLocation(Irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

// A flush becomes a zero-length write, which the framework completes with
// success once the write queue has it.
NTSTATUS EvtMjFlushBuffer(WDFDEVICE Device, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_WRITE;
    stack->Parameters.Write.Length = 0;
    stack->Parameters.Write.Key = 0;
    stack->Parameters.Write.ByteOffset = 0;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, MjFlushBufferCompletion, nullptr, TRUE, TRUE, TRUE);
    return WdfDeviceWdmDispatchPreprocessedIrp(Device, Irp);
}

NTSTATUS EvtSerialQueryInformationFile(WDFDEVICE, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.QueryFile.Length;
    NTSTATUS status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
        if (length < sizeof(FILE_STANDARD_INFORMATION)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            *static_cast<FILE_STANDARD_INFORMATION*>(Irp->SystemBuffer) = FILE_STANDARD_INFORMATION{};
            Irp->IoStatus.Information = sizeof(FILE_STANDARD_INFORMATION);
        }
        break;
    case FilePositionInformation:
        if (length < sizeof(FILE_POSITION_INFORMATION)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            static_cast<FILE_POSITION_INFORMATION*>(Irp->SystemBuffer)->CurrentByteOffset = 0;
            Irp->IoStatus.Information = sizeof(FILE_POSITION_INFORMATION);
        }
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS EvtSerialSetInformationFile(WDFDEVICE, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        // A serial port has no size: accepted and nothing changes.
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

} // namespace X9TR_DRIVER_NAMESPACE
