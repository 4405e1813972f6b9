// The modem port's device context as the serial core sees it: the serial
// half followed by the CDC ACM function's USB part.
#pragma once

#include "base/serial/serial.h"

namespace x9trmdm {

inline constexpr ULONG SERIAL_POOL_TAG = MakePoolTag("MDM ");

// The ACM function: its descriptors, interfaces and pipes, the receive
// buffer of the bulk-in reader and the requests with the device.
struct MDM_USB_PART {
    WDFDEVICE Device;
    WDFUSBDEVICE UsbDevice;
    ULONG UsbDeviceTraits;
    USB_DEVICE_DESCRIPTOR UsbDeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_INTERFACE_DESCRIPTOR CommInterfaceDescriptor;
    WDFUSBINTERFACE CommInterface;
    BOOLEAN AcmCommFeatureSupported;
    BOOLEAN AcmSendBreakSupported;
    UCHAR LineCoding[7];
    WDFUSBPIPE InterruptPipe;
    WDF_USB_PIPE_INFORMATION InterruptPipeInfo;
    USHORT UartState;
    PUSB_INTERFACE_DESCRIPTOR DataInterfaceDescriptor;
    WDFUSBINTERFACE DataInterface;
    WDFUSBPIPE BulkInputPipe;
    ULONG BulkInputMaxPacketSize;
    WDFUSBPIPE BulkOutputPipe;
    ULONG BulkOutputMaxPacketSize;
    ULONG ReadSize;
    ULONG ReadMemoryLimitNum;
    ULONG ReadMemoryPt8Num;
    WDFCOLLECTION FreeReadMemoryCollection;
    WDFCOLLECTION ReadMemoryCollection;
    ULONG ReadMemoryMaxCountBuffered;
    BOOLEAN ReadPipeStopped;
    BOOLEAN ResetPipePending;
    ULONG ErrorCount;
    WDFCOLLECTION ReadRequestCollection;
    WDFCOLLECTION PendingReadRequestCollection;
    WDFCOLLECTION WriteRequestCollection;
    WDFCOLLECTION ControlRequestCollection;
    WDFSPINLOCK ControlSyncSpinLock;
};
using PMDM_USB_PART = MDM_USB_PART*;

struct DEVICE_CONTEXT : SERIAL_DEVICE_STATE {
    MDM_USB_PART Usb;
};
using MDM_DEVICE_CONTEXT = DEVICE_CONTEXT;
using PMDM_DEVICE_CONTEXT = MDM_DEVICE_CONTEXT*;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(MDM_DEVICE_CONTEXT, GetMdmDeviceContext)

inline PMDM_DEVICE_CONTEXT DeviceGetContext(WDFDEVICE Device) { return GetMdmDeviceContext(Device); }

} // namespace x9trmdm
