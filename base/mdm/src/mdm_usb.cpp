// CDC ACM function discovery: the modem port finds the ACM communication
// interface and its data interface in the configuration its child presents,
// checks their functional descriptors (CDC 1.2, PSTN subclass) and keeps the
// interrupt, bulk IN and bulk OUT pipes. Everything is read inside the
// configuration descriptor's bytes.
#include "base/mdm/src/mdm.h"

namespace x9trmdm {

namespace {

constexpr UCHAR CS_INTERFACE = 0x24;
constexpr UCHAR CDC_CALL_MANAGEMENT = 0x01;
constexpr UCHAR CDC_ABSTRACT_CONTROL_MANAGEMENT = 0x02;
constexpr UCHAR CDC_UNION = 0x06;
constexpr UCHAR TRANSFER_TYPE_BULK = 2;
constexpr UCHAR TRANSFER_TYPE_INTERRUPT = 3;

// What the descriptors between one interface descriptor and the next say.
struct InterfaceWalk {
    BOOLEAN InterruptEndpoint = FALSE;
    ULONG BulkEndpoints = 0;
    UCHAR CallCapabilities = 0;
    UCHAR DataInterfaceNumber = 0;
    UCHAR AcmCapabilities = 0;
    UCHAR Subordinates[255] = {};
    ULONG SubordinateCount = 0;
};

// Walks the descriptors after Interface, each by its bLength, up to the
// next interface descriptor, a zero length or one that runs past the end.
void WalkInterface(const UCHAR* Configuration, USHORT TotalLength, const UCHAR* Interface, InterfaceWalk* Walk)
{
    const UCHAR* end = Configuration + TotalLength;
    if (Interface + Interface[0] > end || Interface[0] == 0) {
        return;
    }
    const UCHAR* p = Interface + Interface[0];
    auto left = static_cast<USHORT>(end - p);
    while (left >= 2) {
        const UCHAR length = p[0];
        const UCHAR type = p[1];
        if (length == 0 || length > left || type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 4) {
            const UCHAR transfer = p[3] & 0x3;
            if (transfer == TRANSFER_TYPE_INTERRUPT) {
                Walk->InterruptEndpoint = TRUE;
            } else if (transfer == TRANSFER_TYPE_BULK) {
                ++Walk->BulkEndpoints;
            }
        } else if (type == CS_INTERFACE && length >= 3) {
            const UCHAR subtype = p[2];
            if (subtype == CDC_CALL_MANAGEMENT && length >= 5) {
                Walk->CallCapabilities = p[3];
                Walk->DataInterfaceNumber = p[4];
            } else if (subtype == CDC_ABSTRACT_CONTROL_MANAGEMENT && length >= 4) {
                Walk->AcmCapabilities = p[3];
            } else if (subtype == CDC_UNION && length >= 4) {
                Walk->SubordinateCount = 0;
                for (UCHAR i = 4; i < length; ++i) {
                    Walk->Subordinates[Walk->SubordinateCount++] = p[i];
                }
            }
        }
        p += length;
        left = static_cast<USHORT>(left - length);
    }
}

} // namespace

BOOLEAN MdmGetInterfacesCdcAcm(PMDM_USB_PART UsbPart, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor)
{
    if (UsbPart == nullptr || InterfaceDescriptor == nullptr || UsbPart->ConfigurationDescriptor == nullptr) {
        return FALSE;
    }
    auto* configuration = reinterpret_cast<const UCHAR*>(UsbPart->ConfigurationDescriptor);
    const USHORT total = UsbPart->ConfigurationDescriptor->wTotalLength;
    auto* interface = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    if (interface < configuration || interface + sizeof(USB_INTERFACE_DESCRIPTOR) > configuration + total) {
        return FALSE;
    }

    InterfaceWalk walk;
    WalkInterface(configuration, total, interface, &walk);

    // The device handles call management, over the data class interface;
    // SET/GET_LINE_CODING, SET_CONTROL_LINE_STATE and SERIAL_STATE.
    BOOLEAN accepted = (walk.CallCapabilities & 0x03) == 0x03 && (walk.AcmCapabilities & 0x02) != 0 &&
                       walk.InterruptEndpoint;
    if (accepted && walk.SubordinateCount != 0) {
        BOOLEAN listed = FALSE;
        for (ULONG i = 0; i < walk.SubordinateCount; ++i) {
            listed = listed || walk.Subordinates[i] == walk.DataInterfaceNumber;
        }
        accepted = listed;
    }
    UsbPart->AcmCommFeatureSupported = (walk.AcmCapabilities & 0x01) != 0 ? TRUE : FALSE;
    UsbPart->AcmSendBreakSupported = (walk.AcmCapabilities & 0x04) != 0 ? TRUE : FALSE;
    if (!accepted) {
        return FALSE;
    }

    PUSB_INTERFACE_DESCRIPTOR data = USBD_ParseConfigurationDescriptorEx(
        UsbPart->ConfigurationDescriptor, UsbPart->ConfigurationDescriptor, walk.DataInterfaceNumber, 0, 0x0A, 0x00, 0x00);
    if (data == nullptr) {
        return FALSE;
    }
    InterfaceWalk dataWalk;
    WalkInterface(configuration, total, reinterpret_cast<const UCHAR*>(data), &dataWalk);
    if (dataWalk.BulkEndpoints < 2) {
        return FALSE;
    }
    UsbPart->CommInterfaceDescriptor = InterfaceDescriptor;
    UsbPart->DataInterfaceDescriptor = data;
    return TRUE;
}

BOOLEAN MdmFindCdcAcmInterface(PMDM_USB_PART UsbPart)
{
    // ACM interfaces with AT commands, in configuration order; after a
    // rejected one the search goes on behind its interface descriptor.
    PVOID start = UsbPart->ConfigurationDescriptor;
    for (;;) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(UsbPart->ConfigurationDescriptor, start, -1, -1, 0x02, 0x02, 0x01);
        if (found == nullptr) {
            return FALSE;
        }
        if (MdmGetInterfacesCdcAcm(UsbPart, found)) {
            return TRUE;
        }
        start = reinterpret_cast<PUCHAR>(found) + (found->bLength != 0 ? found->bLength : 1);
    }
}

BOOLEAN MdmGetPipeHandle(PMDM_USB_PART, WDFUSBINTERFACE Interface, WDF_USB_PIPE_TYPE PipeType, BOOLEAN IsInput,
                         WDFUSBPIPE* Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    *Pipe = nullptr;
    const UCHAR count = WdfUsbInterfaceGetNumConfiguredPipes(Interface);
    for (UCHAR index = 0; index < count; ++index) {
        WDF_USB_PIPE_INFORMATION information;
        WDF_USB_PIPE_INFORMATION_INIT(&information);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(Interface, index, &information);
        if (pipe != nullptr && information.PipeType == PipeType &&
            (WdfUsbTargetPipeIsInEndpoint(pipe) ? TRUE : FALSE) == IsInput) {
            *Pipe = pipe;
            if (PipeInformation != nullptr) {
                *PipeInformation = information;
            }
            return TRUE;
        }
    }
    return FALSE;
}

namespace {

NTSTATUS CreateCollectionOnce(WDFDEVICE Device, WDFCOLLECTION* Collection)
{
    if (*Collection != nullptr) {
        return STATUS_SUCCESS;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    return WdfCollectionCreate(&attributes, Collection);
}

// The two bulk-in read requests the port ever has, made with the bulk IN
// pipe as their target and kept in ReadRequestCollection.
NTSTATUS CreateReadRequests(WDFDEVICE Device, PMDM_USB_PART UsbPart)
{
    NTSTATUS status = CreateCollectionOnce(Device, &UsbPart->ReadRequestCollection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Made once; a preparation that failed half way is completed by the next.
    while (WdfCollectionGetCount(UsbPart->ReadRequestCollection) < 2) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Device;
        WDFREQUEST request = nullptr;
        status = WdfRequestCreate(&attributes, WdfUsbTargetPipeGetIoTarget(UsbPart->BulkInputPipe), &request);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WdfCollectionAdd(UsbPart->ReadRequestCollection, request);
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(request);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS MdmUsbInit(WDFDEVICE Device)
{
    PMDM_DEVICE_CONTEXT context = GetMdmDeviceContext(Device);
    PMDM_USB_PART usb = &context->Usb;
    usb->Device = Device;
    NTSTATUS status = STATUS_SUCCESS;
    if (usb->UsbDevice == nullptr) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &usb->UsbDevice);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    WDF_USB_DEVICE_INFORMATION information;
    WDF_USB_DEVICE_INFORMATION_INIT(&information);
    if (NT_SUCCESS(WdfUsbTargetDeviceRetrieveInformation(usb->UsbDevice, &information))) {
        usb->UsbDeviceTraits = information.Traits;
    }
    status = MdmUsbGetInterfaces(Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!NT_SUCCESS(status = CreateCollectionOnce(Device, &usb->ReadMemoryCollection)) ||
        !NT_SUCCESS(status = CreateCollectionOnce(Device, &usb->FreeReadMemoryCollection)) ||
        !NT_SUCCESS(status = CreateReadRequests(Device, usb)) ||
        !NT_SUCCESS(status = CreateCollectionOnce(Device, &usb->PendingReadRequestCollection)) ||
        !NT_SUCCESS(status = CreateCollectionOnce(Device, &usb->WriteRequestCollection)) ||
        !NT_SUCCESS(status = CreateCollectionOnce(Device, &usb->ControlRequestCollection))) {
        return status;
    }
    if (usb->ControlSyncSpinLock == nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Device;
        status = WdfSpinLockCreate(&attributes, &usb->ControlSyncSpinLock);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    WDF_USB_CONTINUOUS_READER_CONFIG reader;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&reader, MdmEvtUsbInterruptPipeReadComplete, usb,
                                          usb->InterruptPipeInfo.MaximumPacketSize);
    reader.HeaderLength = 0;
    reader.TrailerLength = 0;
    reader.NumPendingReads = 1;
    reader.BufferAttributes = WDF_NO_OBJECT_ATTRIBUTES;
    reader.EvtUsbTargetPipeReadersFailed = MdmEvtUsbInterruptPipeReadersFailed;
    return WdfUsbTargetPipeConfigContinuousReader(usb->InterruptPipe, &reader);
}

NTSTATUS MdmUsbGetInterfaces(WDFDEVICE Device)
{
    PMDM_USB_PART usb = &GetMdmDeviceContext(Device)->Usb;
    WdfUsbTargetDeviceGetDeviceDescriptor(usb->UsbDevice, &usb->UsbDeviceDescriptor);
    if (usb->UsbDeviceDescriptor.bDeviceClass != 0x02) {
        return STATUS_UNSUCCESSFUL;
    }

    USHORT size = 0;
    NTSTATUS status = WdfUsbTargetDeviceRetrieveConfigDescriptor(usb->UsbDevice, nullptr, &size);
    if (status != STATUS_BUFFER_TOO_SMALL || size == 0) {
        // A size query cannot succeed without a buffer; if one claims to, nothing was learnt.
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = usb->UsbDevice;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    status = WdfMemoryCreate(&attributes, NonPagedPool, SERIAL_POOL_TAG, size, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(usb->UsbDevice, buffer, &size);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(memory);
        return status;
    }
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        WdfObjectDelete(memory);
        return STATUS_UNSUCCESSFUL;
    }
    usb->ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    // Every walk below ends at wTotalLength; it may not claim more bytes than came back.
    if (usb->ConfigurationDescriptor->wTotalLength > size) {
        usb->ConfigurationDescriptor->wTotalLength = size;
    }

    usb->CommInterfaceDescriptor = nullptr;
    usb->DataInterfaceDescriptor = nullptr;
    if (!MdmFindCdcAcmInterface(usb)) {
        return STATUS_UNSUCCESSFUL;
    }

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
    status = WdfUsbTargetDeviceSelectConfig(usb->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    usb->InterruptPipe = nullptr;
    usb->BulkInputPipe = nullptr;
    usb->BulkOutputPipe = nullptr;
    const UCHAR count = WdfUsbTargetDeviceGetNumInterfaces(usb->UsbDevice);
    for (UCHAR index = 0; index < count; ++index) {
        WDFUSBINTERFACE interface = WdfUsbTargetDeviceGetInterface(usb->UsbDevice, index);
        if (interface == nullptr) {
            continue;
        }
        const BYTE number = WdfUsbInterfaceGetInterfaceNumber(interface);
        WDFUSBPIPE pipe = nullptr;
        WDF_USB_PIPE_INFORMATION information;
        if (number == usb->CommInterfaceDescriptor->bInterfaceNumber) {
            usb->CommInterface = interface;
            usb->InterruptPipe = nullptr;
            if (MdmGetPipeHandle(usb, interface, WdfUsbPipeTypeInterrupt, TRUE, &pipe, &information)) {
                WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
                usb->InterruptPipe = pipe;
                usb->InterruptPipeInfo = information;
            }
        } else if (number == usb->DataInterfaceDescriptor->bInterfaceNumber) {
            usb->DataInterface = interface;
            usb->BulkOutputPipe = nullptr;
            if (MdmGetPipeHandle(usb, interface, WdfUsbPipeTypeBulk, FALSE, &pipe, &information)) {
                WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
                usb->BulkOutputPipe = pipe;
                usb->BulkOutputMaxPacketSize = information.MaximumPacketSize;
            }
            usb->BulkInputPipe = nullptr;
            if (MdmGetPipeHandle(usb, interface, WdfUsbPipeTypeBulk, TRUE, &pipe, &information)) {
                WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
                usb->BulkInputPipe = pipe;
                usb->BulkInputMaxPacketSize = information.MaximumPacketSize;
            }
        }
    }
    if (usb->InterruptPipe == nullptr || usb->BulkOutputPipe == nullptr || usb->BulkInputPipe == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

} // namespace x9trmdm
