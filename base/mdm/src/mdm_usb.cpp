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

} // namespace x9trmdm
