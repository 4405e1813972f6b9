// USB 2.0 chapter 9 descriptors and requests, and the CDC descriptor codes,
// in their published byte layouts. Descriptors are packed records: a
// driver may overlay one on bytes it has checked to be long enough.
#pragma once

#include "platform/kernel/ntdef.h"

#pragma pack(push, 1)

struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};
using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;

struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);

struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);

struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);

struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
};
using PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR = USB_INTERFACE_ASSOCIATION_DESCRIPTOR*;
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);

struct USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
};

// The eight bytes of a control transfer's setup stage.
struct USB_DEFAULT_PIPE_SETUP_PACKET {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
};
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);

#pragma pack(pop)

// Descriptor types.
inline constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
inline constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
inline constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
inline constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
inline constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
inline constexpr UCHAR USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06;
inline constexpr UCHAR USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE = 0x07;
inline constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;
inline constexpr UCHAR USB_CS_INTERFACE_DESCRIPTOR_TYPE = 0x24;
inline constexpr UCHAR USB_CS_ENDPOINT_DESCRIPTOR_TYPE = 0x25;

// Standard requests.
inline constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
inline constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
inline constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
inline constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
inline constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
inline constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
inline constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
inline constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
inline constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
inline constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
inline constexpr USHORT USB_FEATURE_ENDPOINT_STALL = 0x0000;

// bmRequestType parts.
inline constexpr UCHAR BMREQUEST_HOST_TO_DEVICE = 0x00;
inline constexpr UCHAR BMREQUEST_DEVICE_TO_HOST = 0x80;
inline constexpr UCHAR BMREQUEST_STANDARD = 0x00;
inline constexpr UCHAR BMREQUEST_CLASS = 0x20;
inline constexpr UCHAR BMREQUEST_VENDOR = 0x40;
inline constexpr UCHAR BMREQUEST_TO_DEVICE = 0x00;
inline constexpr UCHAR BMREQUEST_TO_INTERFACE = 0x01;
inline constexpr UCHAR BMREQUEST_TO_ENDPOINT = 0x02;
inline constexpr UCHAR BMREQUEST_TO_OTHER = 0x03;

// Endpoint address and attribute bits.
inline constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
inline constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
inline constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
inline constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
inline constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }

// Class codes.
inline constexpr UCHAR USB_DEVICE_CLASS_COMMUNICATIONS = 0x02;
inline constexpr UCHAR USB_DEVICE_CLASS_HUMAN_INTERFACE = 0x03;
inline constexpr UCHAR USB_DEVICE_CLASS_STORAGE = 0x08;
inline constexpr UCHAR USB_DEVICE_CLASS_CDC_DATA = 0x0A;
inline constexpr UCHAR USB_DEVICE_CLASS_MISCELLANEOUS = 0xEF;
inline constexpr UCHAR USB_DEVICE_CLASS_VENDOR_SPECIFIC = 0xFF;

// CDC 1.2 subclasses and functional descriptor subtypes.
inline constexpr UCHAR USB_CDC_SUBCLASS_ACM = 0x02;
inline constexpr UCHAR USB_CDC_SUBCLASS_ECM = 0x06;
inline constexpr UCHAR USB_CDC_SUBCLASS_MDLM = 0x0A;
inline constexpr UCHAR USB_CDC_SUBCLASS_NCM = 0x0D;
inline constexpr UCHAR USB_CDC_HEADER_SUBTYPE = 0x00;
inline constexpr UCHAR USB_CDC_CALL_MANAGEMENT_SUBTYPE = 0x01;
inline constexpr UCHAR USB_CDC_ACM_SUBTYPE = 0x02;
inline constexpr UCHAR USB_CDC_UNION_SUBTYPE = 0x06;
inline constexpr UCHAR USB_CDC_ETHERNET_SUBTYPE = 0x0F;
inline constexpr UCHAR USB_CDC_MDLM_SUBTYPE = 0x12;
inline constexpr UCHAR USB_CDC_MDLM_DETAIL_SUBTYPE = 0x13;
inline constexpr UCHAR USB_CDC_NCM_SUBTYPE = 0x1A;
