// The USB driver interface: URBs and the structures inside them, URB
// functions, the USB internal control codes, the USB bus interface and the
// descriptor parsing routines. Layouts follow the published ones for the
// build's pointer width (the x64 sizes are checked below).
#pragma once

#include "platform/kernel/irp.h"
#include "platform/usb/peripheral.h"
#include "platform/usb/usb100.h"

struct MDL;
using PMDL = MDL*;

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE { UsbdPipeTypeControl, UsbdPipeTypeIsochronous, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt };

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

union URB;
using PURB = URB*;

struct _URB_SELECT_INTERFACE {
    _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // null: deconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_CONTROL_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_TRANSFER_EX {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    ULONG Timeout;
    _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_INTERFACE_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Interface;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};

union URB {
    _URB_HEADER UrbHeader;
    _URB_SELECT_INTERFACE UrbSelectInterface;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_CONTROL_TRANSFER UrbControlTransfer;
    _URB_CONTROL_TRANSFER_EX UrbControlTransferEx;
    _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
    _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    _URB_CONTROL_GET_INTERFACE_REQUEST UrbControlGetInterfaceRequest;
    _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
};

static_assert(sizeof(void*) != 8 || sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(sizeof(void*) != 8 || sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(sizeof(void*) != 8 || sizeof(_URB_HEADER) == 24);
static_assert(sizeof(void*) != 8 || sizeof(_URB_SELECT_INTERFACE) == 80);

// Size of a select-interface URB whose interface has Pipes pipes.
constexpr std::size_t GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG pipes)
{
    return sizeof(_URB_SELECT_INTERFACE) + (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION) -
           (pipes == 0 ? sizeof(USBD_PIPE_INFORMATION) : 0);
}
constexpr std::size_t GET_USBD_INTERFACE_SIZE(ULONG pipes)
{
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION) -
           (pipes == 0 ? sizeof(USBD_PIPE_INFORMATION) : 0);
}

// URB functions.
inline constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
inline constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
inline constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
inline constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
inline constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
inline constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
inline constexpr USHORT URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE = 0x000C;
inline constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_DEVICE = 0x000D;
inline constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_INTERFACE = 0x000E;
inline constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_ENDPOINT = 0x000F;
inline constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE = 0x0010;
inline constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE = 0x0011;
inline constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT = 0x0012;
inline constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013;
inline constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_INTERFACE = 0x0014;
inline constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_ENDPOINT = 0x0015;
inline constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
inline constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
inline constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
inline constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
inline constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
inline constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
inline constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;
inline constexpr USHORT URB_FUNCTION_RESET_PIPE = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
inline constexpr USHORT URB_FUNCTION_CLASS_OTHER = 0x001F;
inline constexpr USHORT URB_FUNCTION_VENDOR_OTHER = 0x0020;
inline constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_OTHER = 0x0021;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT = 0x0024;
inline constexpr USHORT URB_FUNCTION_GET_CONFIGURATION = 0x0026;
inline constexpr USHORT URB_FUNCTION_GET_INTERFACE = 0x0027;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE = 0x0028;
inline constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE = 0x0030;
inline constexpr USHORT URB_FUNCTION_SYNC_CLEAR_STALL = 0x0031;
inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER_EX = 0x0032;

// Transfer flags.
inline constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0x00000000;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x00000001;
inline constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x00000002;
inline constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 0x00000004;
inline constexpr ULONG USBD_DEFAULT_PIPE_TRANSFER = 0x00000008;

// More USBD statuses.
inline constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR = static_cast<USBD_STATUS>(0x80000F00);
inline constexpr USBD_STATUS USBD_STATUS_BUFFER_TOO_SMALL = static_cast<USBD_STATUS>(0xC0003000);
inline constexpr USBD_STATUS USBD_STATUS_TIMEOUT = static_cast<USBD_STATUS>(0xC0006000);
inline constexpr USBD_STATUS USBD_STATUS_INSUFFICIENT_RESOURCES = static_cast<USBD_STATUS>(0xC0001000);

// USB internal control codes and the hub control codes that reach a device's stack.
inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
inline constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO = 0x22000F;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;
inline constexpr ULONG IOCTL_INTERNAL_USB_ENABLE_PORT = 0x220017;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_HUB_COUNT = 0x22001B;
inline constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = 0x22001F;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_HUB_NAME = 0x220020;
inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION = 0x220027;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_BUS_INFO = 0x220420;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME = 0x220424;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_BUSGUID_INFO = 0x220428;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO = 0x22042C;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE = 0x220433;
inline constexpr ULONG IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
inline constexpr ULONG IOCTL_USB_HUB_CYCLE_PORT = 0x220444;

// Port status bits of IOCTL_INTERNAL_USB_GET_PORT_STATUS.
inline constexpr ULONG USBD_PORT_ENABLED = 0x00000001;
inline constexpr ULONG USBD_PORT_CONNECTED = 0x00000002;

// The USB bus interface, queried by GUID.
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xB1A96A13, 0x3DE0, 0x4574, {0x9B, 0x01, 0xC0, 0x8F, 0xEA, 0xB3, 0x18, 0xD6}};
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_0 = 0;
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_1 = 1;

struct USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
};
using PUSBD_VERSION_INFORMATION = USBD_VERSION_INFORMATION*;

using PUSB_BUSIFFN_GETUSBDI_VERSION = void (*)(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                               PULONG HcdCapabilities);
using PUSB_BUSIFFN_QUERY_BUS_TIME = NTSTATUS (*)(PVOID BusContext, PULONG CurrentUsbFrame);
using PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB = NTSTATUS (*)(PVOID BusContext, PURB Urb);
using PUSB_BUSIFFN_QUERY_BUS_INFORMATION = NTSTATUS (*)(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                                        PULONG BusInformationBufferLength,
                                                        PULONG BusInformationActualLength);
using PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED = BOOLEAN (*)(PVOID BusContext);

struct USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
static_assert(sizeof(void*) != 8 || sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(sizeof(void*) != 4 || sizeof(USB_BUS_INTERFACE_USBDI_V1) == 36);

// The first descriptor of type DescriptorType at or after StartPosition that
// lies wholly within the TotalLength bytes at DescriptorBuffer. Null at the
// end, at a descriptor that would run past the end, or at a zero-length
// descriptor of another type (which could not be stepped over).
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);
// The first interface descriptor at or after StartPosition (within the
// configuration's wTotalLength) matching every argument that is not -1.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

// Hub control structures a child answers or its parent reports.
#pragma pack(push, 1)
struct USB_HUB_NAME {
    ULONG ActualLength;
    WCHAR HubName[1];
};
using PUSB_HUB_NAME = USB_HUB_NAME*;

struct USB_HUB_DESCRIPTOR {
    UCHAR bDescriptorLength;
    UCHAR bDescriptorType;
    UCHAR bNumberOfPorts;
    USHORT wHubCharacteristics;
    UCHAR bPowerOnToPowerGood;
    UCHAR bHubControlCurrent;
    UCHAR bRemoveAndPowerMask[64];
};

struct USB_HUB_INFORMATION {
    USB_HUB_DESCRIPTOR HubDescriptor;
    BOOLEAN HubIsBusPowered;
};

struct USB_MI_PARENT_INFORMATION {
    ULONG NumberOfInterfaces;
};

enum USB_HUB_NODE : ULONG { UsbHub = 0, UsbMIParent = 1 };

struct USB_NODE_INFORMATION {
    USB_HUB_NODE NodeType;
    union {
        USB_HUB_INFORMATION HubInformation;
        USB_MI_PARENT_INFORMATION MiParentInformation;
    } u;
};
using PUSB_NODE_INFORMATION = USB_NODE_INFORMATION*;
#pragma pack(pop)
static_assert(sizeof(USB_NODE_INFORMATION) == 76);
