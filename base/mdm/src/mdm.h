// The modem port driver: the serial core with the CDC ACM function behind
// it. The routines its parts call on one another.
#pragma once

#include "base/mdm/src/mdm_entry.h"
#include "base/serial/serial.h"

namespace x9trmdm {

// CDC ACM function discovery and pipe setup, at every hardware preparation.
NTSTATUS MdmUsbInit(WDFDEVICE Device);
NTSTATUS MdmUsbGetInterfaces(WDFDEVICE Device);
// The ACM communication interface and its data interface are acceptable;
// on TRUE both descriptors are stored in the USB part.
BOOLEAN MdmGetInterfacesCdcAcm(PMDM_USB_PART UsbPart, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor);
// Searches the configuration for the first acceptable ACM interface.
BOOLEAN MdmFindCdcAcmInterface(PMDM_USB_PART UsbPart);
// The first configured pipe of the interface with this type and direction.
BOOLEAN MdmGetPipeHandle(PMDM_USB_PART UsbPart, WDFUSBINTERFACE Interface, WDF_USB_PIPE_TYPE PipeType,
                         BOOLEAN IsInput, WDFUSBPIPE* Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);

// The interrupt pipe's continuous reader and the modem's part of D0 entry and exit.
EVT_WDF_USB_READER_COMPLETION_ROUTINE MdmEvtUsbInterruptPipeReadComplete;
EVT_WDF_USB_READERS_FAILED MdmEvtUsbInterruptPipeReadersFailed;
NTSTATUS MdmD0EntryInterruptPipe(PMDM_DEVICE_CONTEXT Context);
void MdmD0ExitInterruptPipe(PMDM_DEVICE_CONTEXT Context);

// DeviceControl2IoQueue: the control codes that travel to the handset, one at a time.
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL MdmEvtIoDeviceControl2nd;
EVT_WDF_IO_QUEUE_IO_STOP MdmEvtIoDeviceControl2ndStop;
EVT_WDF_IO_QUEUE_IO_RESUME MdmEvtIoDeviceControl2ndResume;

} // namespace x9trmdm
