// The composite bus driver: its contexts, its identification description
// and the routines its parts call on one another. The driver owns the whole
// USB handset, cuts its configuration into functions and makes one child
// device per enabled function.
#pragma once

#include "platform/wdf.h"

namespace x9trbus {

inline constexpr ULONG BUS_POOL_TAG = MakePoolTag("BUS ");

struct DRIVER_CONTEXT {
    WDFCOLLECTION ParentDeviceCollection;
    WDFWAITLOCK ParentDeviceCollectionLock;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT, GetDriverContext)

struct PARENT_FDO_CONTEXT {
    WDFDEVICE Device;
    PDEVICE_OBJECT DeviceObject;
    ULONG InstanceNumber;
    BOOLEAN EnumerationPending;
    DEVICE_CAPABILITIES DeviceCapabilities;
    USB_BUS_INTERFACE_USBDI_V1 UsbBusInterface;
    WDFUSBDEVICE UsbDevice;
    USB_DEVICE_DESCRIPTOR UsbDeviceDescriptor;
    USHORT LangId;
    UNICODE_STRING ProductString;
    UNICODE_STRING SerialNum;
    PUCHAR ConfigurationDescriptor;
    USHORT ConfigurationDescriptorSize;
    UCHAR NumberOfInterfaces;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    WDFCOLLECTION IdDescriptionCollection;
    WDF_POWER_DEVICE_STATE DevicePowerState;
    WDFQUEUE DefaultQueue;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PARENT_FDO_CONTEXT, GetParentFdoContext)

struct CHILD_PDO_CONTEXT {
    WDFDEVICE Device;
    PDEVICE_OBJECT DeviceObject;
    WDF_POWER_DEVICE_STATE DevicePowerState;
    WDFDEVICE ParentDevice;
    WDFQUEUE ParentQueue;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CHILD_PDO_CONTEXT, GetChildPdoContext)

// One function of the handset. The child list copies and compares it byte
// for byte, so every instance is zeroed before its fields are set.
struct CHILD_IDENTIFICATION_DESCRIPTION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header;
    BOOLEAN Disabled;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR InterfaceNumber;
    UNICODE_STRING FunctionDescription;
    PUCHAR DeviceDescriptor;
    PUCHAR ConfigurationDescriptor;
    USHORT ConfigurationDescriptorLength;
};
using PCHILD_IDENTIFICATION_DESCRIPTION = CHILD_IDENTIFICATION_DESCRIPTION*;
static_assert(sizeof(void*) != 8 || sizeof(CHILD_IDENTIFICATION_DESCRIPTION) == 56);
static_assert(sizeof(void*) != 4 || sizeof(CHILD_IDENTIFICATION_DESCRIPTION) == 32);

// Entry, parent lifecycle.
DRIVER_INITIALIZE DriverEntry;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDriverContextCleanup;
EVT_WDF_DRIVER_DEVICE_ADD EvtDeviceAdd;
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtPrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY ParentFdoEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT ParentFdoEvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL ParentFdoEvtDeviceSurpriseRemoval;
EVT_WDF_DEVICE_QUERY_REMOVE ParentFdoEvtDeviceQueryRemove;
EVT_WDF_DEVICE_QUERY_STOP ParentFdoEvtDeviceQueryStop;
EVT_WDF_DEVICE_RELATIONS_QUERY ParentFdoEvtDeviceRelationsQuery;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceContextCleanup;
NTSTATUS BusUsbInit(WDFDEVICE Device);
void BusRemoveChildren(WDFDEVICE Device);

// Function discovery.
NTSTATUS BusUsbSetConfiguration(WDFDEVICE Device);
void BusInitChildList(PWDFDEVICE_INIT DeviceInit);
NTSTATUS BusEnumerateChildren(WDFDEVICE Device);
NTSTATUS BusGenerateIdentificationDescriptions(WDFDEVICE Device, WDFCOLLECTION Collection);
PUSB_COMMON_DESCRIPTOR BusFindNextFunctionDescriptor(PUCHAR ConfigurationDescriptor, ULONG Size, PUCHAR Start);
BOOLEAN BusGenerateIdDescriptionFromInterfaceAssociation(WDFDEVICE Device, PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR Iad,
                                                        WDFCOLLECTION Collection, PUSHORT ConsumedLength);
BOOLEAN BusGenerateIdDescriptionFromCdcInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                 WDFCOLLECTION Collection);
BOOLEAN BusGenerateIdDescriptionFromVendorSpecificInterface(WDFDEVICE Device,
                                                            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                            WDFCOLLECTION Collection);
BOOLEAN BusGenerateIdDescriptionMscInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                             WDFCOLLECTION Collection);

// Child devices.
EVT_WDF_CHILD_LIST_CREATE_DEVICE BusEvtChildListCreateDevice;
EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED BusEvtChildListDeviceReenumerated;
EVT_WDF_DEVICE_D0_ENTRY ChildPdoEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT ChildPdoEvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL ChildPdoEvtDeviceSurpriseRemoval;
EVT_WDF_DEVICE_QUERY_REMOVE ChildPdoEvtDeviceQueryRemove;
EVT_WDF_DEVICE_QUERY_STOP ChildPdoEvtDeviceQueryStop;

// Request forwarding.
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL ChildPdoEvtIoInternalDeviceControl;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ChildPdoEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_DEFAULT ChildPdoEvtIoDefault;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL ParentFdoEvtIoInternalDeviceControl;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ParentFdoEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_DEFAULT ParentFdoEvtIoDefault;
NTSTATUS ParentFdoForwardRequestThenCompleteIfError(WDFDEVICE Device, WDFREQUEST Request);

// Trace settings read at driver entry; trace output carries no behaviour.
extern ULONG BusDebugLevel;
extern ULONG BusDebugFlag;

} // namespace x9trbus
