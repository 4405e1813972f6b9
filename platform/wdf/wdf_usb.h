// The framework's USB target device: a function driver's view of the USB
// device below it. Every operation leaves the driver as URBs sent down the
// device's stack.
#pragma once

#include "platform/usb/usbdi.h"
#include "platform/wdf/wdf_request.h"
#include "platform/wdf/wdf_types.h"

struct WDFUSBDEVICE__ {};
using WDFUSBDEVICE = WDFUSBDEVICE__*;
struct WDFUSBINTERFACE__ {};
using WDFUSBINTERFACE = WDFUSBINTERFACE__*;
struct WDFUSBPIPE__ {};
using WDFUSBPIPE = WDFUSBPIPE__*;
using BYTE = UCHAR;

enum WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
};

enum WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb,
};

// What a completed USB request reports.
struct WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            std::size_t Length;
            std::size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            std::size_t Length;
            std::size_t Offset;
        } PipeRead;
        struct {
            PURB Buffer;
        } PipeUrb;
    } Parameters;
};
using PWDF_USB_REQUEST_COMPLETION_PARAMS = WDF_USB_REQUEST_COMPLETION_PARAMS*;

enum WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
};

struct WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
};
using PWDF_USB_INTERFACE_SETTING_PAIR = WDF_USB_INTERFACE_SETTING_PAIR*;

struct WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
};
using PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS = WDF_USB_DEVICE_SELECT_CONFIG_PARAMS*;

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    *Params = WDF_USB_DEVICE_SELECT_CONFIG_PARAMS{};
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params,
                                                                         UCHAR NumberInterfaces,
                                                                         PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs)
{
    *Params = WDF_USB_DEVICE_SELECT_CONFIG_PARAMS{};
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
    Params->Types.MultiInterface.Pairs = SettingPairs;
}

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor,
    PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors, ULONG NumInterfaceDescriptors)
{
    *Params = WDF_USB_DEVICE_SELECT_CONFIG_PARAMS{};
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor;
    Params->Types.Descriptor.ConfigurationDescriptor = ConfigDescriptor;
    Params->Types.Descriptor.InterfaceDescriptors = InterfaceDescriptors;
    Params->Types.Descriptor.NumInterfaceDescriptors = NumInterfaceDescriptors;
}

// Reads the device and configuration descriptors; the target lives as long as its parent.
NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice);
void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
// With no buffer: STATUS_BUFFER_TOO_SMALL and the size. With a buffer of at
// least the size: the descriptor and its size.
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength);
// A memory object holding the string's characters (no header, no NUL added).
NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes,
                                               WDFMEMORY* StringMemory, PUSHORT NumCharacters, UCHAR StringIndex,
                                               USHORT LangID);
NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
USBD_CONFIGURATION_HANDLE WdfUsbTargetDeviceWdmGetConfigurationHandle(WDFUSBDEVICE UsbDevice);
NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb);

struct WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
};
using PWDF_USB_PIPE_INFORMATION = WDF_USB_PIPE_INFORMATION*;

inline void WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info)
{
    *Info = WDF_USB_PIPE_INFORMATION{};
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
// The interfaces of the selected configuration, in the order they were selected.
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);
BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE UsbInterface);
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo);
void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe);
WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe);
void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe);
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);
USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe);

struct WDFMEMORY_OFFSET {
    std::size_t BufferOffset;
    std::size_t BufferLength;
};
using PWDFMEMORY_OFFSET = WDFMEMORY_OFFSET*;

// Formats Request as a bulk or interrupt transfer on the pipe into (read)
// or from (write) Memory, the whole memory or the part Offset names.
NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset);
NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset);
NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions);
NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions);

// A control transfer's setup packet as the framework builds it.
union WDF_USB_CONTROL_SETUP_PACKET {
    struct {
        union {
            struct {
                BYTE Recipient : 2;
                BYTE Reserved : 3;
                BYTE Type : 2;
                BYTE Dir : 1;
            } Request;
            BYTE Byte;
        } bm;
        BYTE bRequest;
        union {
            struct {
                BYTE LowByte;
                BYTE HiByte;
            } Bytes;
            USHORT Value;
        } wValue;
        union {
            struct {
                BYTE LowByte;
                BYTE HiByte;
            } Bytes;
            USHORT Value;
        } wIndex;
        USHORT wLength;
    } Packet;
    struct {
        BYTE Bytes[8];
    } Generic;
};
using PWDF_USB_CONTROL_SETUP_PACKET = WDF_USB_CONTROL_SETUP_PACKET*;
static_assert(sizeof(WDF_USB_CONTROL_SETUP_PACKET) == 8);

enum WDF_USB_BMREQUEST_DIRECTION { BmRequestHostToDevice = 0, BmRequestDeviceToHost = 1 };
enum WDF_USB_BMREQUEST_TYPE { BmRequestStandard = 0, BmRequestClass = 1, BmRequestVendor = 2 };
enum WDF_USB_BMREQUEST_RECIPIENT { BmRequestToDevice = 0, BmRequestToInterface = 1, BmRequestToEndpoint = 2, BmRequestToOther = 3 };

inline void WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                    WDF_USB_BMREQUEST_DIRECTION Direction,
                                                    WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request, USHORT Value,
                                                    USHORT Index)
{
    *Packet = WDF_USB_CONTROL_SETUP_PACKET{};
    Packet->Packet.bm.Request.Dir = static_cast<BYTE>(Direction);
    Packet->Packet.bm.Request.Type = BmRequestClass;
    Packet->Packet.bm.Request.Recipient = static_cast<BYTE>(Recipient);
    Packet->Packet.bRequest = Request;
    Packet->Packet.wValue.Value = Value;
    Packet->Packet.wIndex.Value = Index;
}

inline void WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                     WDF_USB_BMREQUEST_DIRECTION Direction,
                                                     WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request, USHORT Value,
                                                     USHORT Index)
{
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = BmRequestVendor;
}

enum WDF_MEMORY_DESCRIPTOR_TYPE {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
};

struct WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
};
using PWDF_MEMORY_DESCRIPTOR = WDF_MEMORY_DESCRIPTOR*;

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer, ULONG BufferLength)
{
    *Descriptor = WDF_MEMORY_DESCRIPTOR{};
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

// A control transfer on the default pipe, waited for; *BytesTransferred
// receives the bytes of its data stage.
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred);
// Formats Request as that control transfer, with TransferMemory (or none) as its data.
NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                           WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset);
// The USB device's own I/O target (its default pipe).
WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);

// The continuous reader: reads kept pending on an IN pipe while its target
// is started, each completed read handed to the driver and sent again.
using EVT_WDF_USB_READER_COMPLETION_ROUTINE = void(WDFUSBPIPE Pipe, WDFMEMORY Buffer, std::size_t NumBytesTransferred,
                                                   WDFCONTEXT Context);
using PFN_WDF_USB_READER_COMPLETION_ROUTINE = EVT_WDF_USB_READER_COMPLETION_ROUTINE*;
// TRUE: reset the pipe and read again; FALSE: the reader stays stopped.
using EVT_WDF_USB_READERS_FAILED = BOOLEAN(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus);
using PFN_WDF_USB_READERS_FAILED = EVT_WDF_USB_READERS_FAILED*;

struct WDF_USB_CONTINUOUS_READER_CONFIG {
    ULONG Size;
    std::size_t TransferLength;
    std::size_t HeaderLength;
    std::size_t TrailerLength;
    UCHAR NumPendingReads; // 0: the framework's choice (2)
    PWDF_OBJECT_ATTRIBUTES BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
};
using PWDF_USB_CONTINUOUS_READER_CONFIG = WDF_USB_CONTINUOUS_READER_CONFIG*;

inline void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(PWDF_USB_CONTINUOUS_READER_CONFIG Config,
                                                  PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
                                                  WDFCONTEXT EvtUsbTargetPipeReadCompleteContext,
                                                  std::size_t TransferLength)
{
    *Config = WDF_USB_CONTINUOUS_READER_CONFIG{};
    Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
    Config->TransferLength = TransferLength;
    Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
    Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
}

// Configures the pipe's reader once; it reads from the next WdfIoTargetStart
// on, and stops with the target.
NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config);

inline constexpr ULONG WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001;
inline constexpr ULONG WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002;
inline constexpr ULONG WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004;

struct WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
};
using PWDF_USB_DEVICE_INFORMATION = WDF_USB_DEVICE_INFORMATION*;

inline void WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Information)
{
    *Information = WDF_USB_DEVICE_INFORMATION{};
    Information->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

// Self-powered and remote-wake from the configuration, high speed from the
// USB bus interface of the device's stack.
NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information);
// A string's characters into String (no header): with no String only the
// count; STATUS_BUFFER_OVERFLOW when *NumCharacters cannot hold it.
NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                       PUSHORT String, PUSHORT NumCharacters, UCHAR StringIndex, USHORT LangID);
// STATUS_SUCCESS while the device is on its port, else STATUS_DEVICE_NOT_CONNECTED.
NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice);

enum WdfUsbTargetDeviceSelectSettingType {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
};

struct WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
        } Descriptor;
        struct {
            UCHAR SettingIndex;
        } Interface;
        struct {
            PURB Urb;
        } Urb;
    } Types;
};
using PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS = WDF_USB_INTERFACE_SELECT_SETTING_PARAMS*;

inline void WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params,
                                                                 UCHAR SettingIndex)
{
    *Params = WDF_USB_INTERFACE_SELECT_SETTING_PARAMS{};
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    Params->Types.Interface.SettingIndex = SettingIndex;
}

// Selects an alternate setting of the interface; its pipes are replaced by the setting's.
NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params);
