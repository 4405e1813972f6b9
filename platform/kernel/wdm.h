// The WDM objects that driver code names: the driver object handed to the
// entry point and device objects. Only the members drivers read are here.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/unicode.h"

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;

using DRIVER_INITIALIZE = NTSTATUS(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
using PDRIVER_INITIALIZE = DRIVER_INITIALIZE*;
using DRIVER_UNLOAD = void(PDRIVER_OBJECT DriverObject);
using PDRIVER_UNLOAD = DRIVER_UNLOAD*;

struct DRIVER_OBJECT {
    PDEVICE_OBJECT DeviceObject;
    UNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
};

namespace platform {
class IrpHandler;
}

struct DEVICE_OBJECT {
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT AttachedDevice; // the device above in the stack
    ULONG DeviceType;
    CHAR StackSize;                // locations an IRP sent here needs
    PVOID DeviceExtension;
    // The platform's side: who handles IRPs sent here, and the device below.
    platform::IrpHandler* Handler;
    PDEVICE_OBJECT LowerDevice;
};

// What an open handle is to the devices it reaches.
struct FILE_OBJECT {
    PDEVICE_OBJECT DeviceObject;
    PVOID FsContext;
    PVOID FsContext2;
    UNICODE_STRING FileName;
};
using PFILE_OBJECT = FILE_OBJECT*;

// Device types.
inline constexpr ULONG FILE_DEVICE_BUS_EXTENDER = 0x0000002A;
inline constexpr ULONG FILE_DEVICE_SERIAL_PORT = 0x0000001B;
inline constexpr ULONG FILE_DEVICE_UNKNOWN = 0x00000022;

// The system's counts of devices by kind; serial port drivers keep SerialCount.
struct CONFIGURATION_INFORMATION {
    ULONG DiskCount;
    ULONG FloppyCount;
    ULONG CdRomCount;
    ULONG TapeCount;
    ULONG ScsiPortCount;
    ULONG SerialCount;
    ULONG ParallelCount;
};
using PCONFIGURATION_INFORMATION = CONFIGURATION_INFORMATION*;
PCONFIGURATION_INFORMATION IoGetConfigurationInformation();
